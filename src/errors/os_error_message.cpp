// The system's message text for an error code, fetched into a buffer on the
// stack and converted to UTF-8, with a fallback text when there is none.
#include "errors/os_error_message.h"

#include <string_view>

#include "platform/platform.h"
#include "text/utf16.h"
#include "text/utf8.h"

namespace tavo {
namespace {

constexpr uint32_t buffer_units = 2048;

std::string fallback(int32_t code, std::string_view reason, std::string_view tail) {
  std::string text = "OS Error ";
  text += std::to_string(code);
  text += reason;
  text += tail;
  return text;
}

bool is_trailing_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// `text` is well-formed UTF-8.
void trim_trailing_space(std::string& text) {
  size_t end = text.size();
  while (end > 0) {
    size_t start = end - 1;
    while (start > 0 && utf8::is_continuation(static_cast<uint8_t>(text[start]))) {
      --start;
    }
    size_t length = 0;
    char32_t c =
        utf8::decode_front(std::string_view(text).substr(start, end - start), length);
    if (!is_trailing_space(c)) {
      break;
    }
    end = start;
  }
  text.resize(end);
}

}  // namespace

std::string os_error_message(int32_t code) {
  platform::Platform& platform = platform::current();
  // On this thread's stack: any number of threads may look texts up at once.
  char16_t buffer[buffer_units] = {};
  uint32_t flags =
      platform::format_message_from_system | platform::format_message_ignore_inserts;
  platform::Module source = nullptr;
  if ((code & platform::facility_nt_bit) != 0) {
    // Only a module that is already loaded; nothing is loaded for this.
    source = platform.get_module_handle_w(u"NTDLL.DLL");
    if (source != nullptr) {
      code &= ~platform::facility_nt_bit;
      flags |= platform::format_message_from_hmodule;
    }
  }
  uint32_t written =
      platform.format_message_w(flags, source, static_cast<uint32_t>(code),
                                platform::lang_system_default, buffer, buffer_units);
  if (written == 0) {
    // Nothing may run between the failed call and this read.
    auto error = static_cast<int32_t>(platform.get_last_error());
    return fallback(code, " (FormatMessageW() returned error ",
                    std::to_string(error) + ")");
  }
  // The buffer holds at most its size, whatever the call claims.
  if (written > buffer_units) {
    written = buffer_units;
  }
  std::string text;
  if (!append_utf16_as_utf8(std::u16string_view(buffer, written),
                            UnpairedSurrogate::Refuse, text)) {
    return fallback(code, " (FormatMessageW() returned invalid UTF-16)", "");
  }
  trim_trailing_space(text);
  return text;
}

}  // namespace tavo

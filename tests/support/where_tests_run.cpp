#include "support/where_tests_run.h"

#if defined(_WIN32)
#include "platform/windows_api.h"
#endif

namespace tavo::testing {

std::u16string as_on_screen(std::u16string_view text) {
  const char16_t* shown = system_facts().non_bmp_on_screen;
  std::u16string screen;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool pair = text[i] >= 0xD800 && text[i] < 0xDC00 && i + 1 < text.size() &&
                      text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000;
    if (!pair || shown == nullptr) {
      screen += text[i];
      continue;
    }
    screen += shown;
    ++i;
  }
  return screen;
}

#if defined(_WIN32)

bool under_wine() {
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

std::string system_message(uint32_t code) {
  wchar_t text[2048];
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), text, 2048, nullptr);
  if (length == 0) {
    return "OS Error " + std::to_string(code) + " (FormatMessageW() returned error " +
           std::to_string(GetLastError()) + ")";
  }
  std::string utf8(length * 3, '\0');
  utf8.resize(WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(),
                                  static_cast<int>(utf8.size()), nullptr, nullptr));
  utf8.erase(utf8.find_last_not_of(" \t\r\n") + 1);
  return utf8;
}

#else

// Outside Windows the tests run on no Wine.
bool under_wine() { return false; }

#endif

}  // namespace tavo::testing

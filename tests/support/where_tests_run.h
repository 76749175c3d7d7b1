// Where the tests run: under Wine or on Windows itself. This is the one place
// that asks, and every expectation that holds under Wine only is a row of
// the table below, Wine's value beside Windows'. The Windows values come
// from the system's documentation and the console host's source, not yet
// from a run; docs/windows.md lists what a first run there must confirm.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavo::testing {

// True under Wine, whose ntdll has an export of its own. Asked once.
bool under_wine();

struct SystemFacts {
  // A device on which every write fails with code 112 (disk full), or null
  // where there is none.
  const wchar_t* full_device;
  // Whether ntdll carries message texts for NTSTATUS values.
  bool ntdll_has_status_texts;
  // What a console screen gives back for a character outside the BMP, or
  // null for the character itself.
  const char16_t* non_bmp_on_screen;
  // How a child names a standard handle that its parent set to
  // INVALID_HANDLE_VALUE (Wine hands it over as NULL).
  const char* invalid_handle_in_child;
};

// clang-format off
//                                full device         ntdll texts  non-BMP on screen  INVALID_HANDLE_VALUE in a child
inline constexpr SystemFacts wine{L"Z:\\dev\\full",   false,       nullptr,           "null"};
inline constexpr SystemFacts windows{nullptr,         true,        u"\uFFFD",         "invalid"};
// clang-format on

inline const SystemFacts& system_facts() { return under_wine() ? wine : windows; }

// Why a test of the full device is skipped.
inline constexpr const char* no_full_device =
    "no device here on which every write fails with disk full (Windows has none)";

// `text` as it is read back from a console screen.
std::u16string as_on_screen(std::u16string_view text);

// What FormatMessageW itself gives for the system error `code` in the
// default language, as the program shows it: UTF-8 without trailing white
// space, or the program's fallback text when there is none.
std::string system_message(uint32_t code);

}  // namespace tavo::testing

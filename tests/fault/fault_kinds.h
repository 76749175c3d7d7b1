// The platform calls that the fault sweep counts, and the faults it applies
// to them. Shared by the program that applies a fault (fault_guess) and the
// driver that chooses them (fault_sweep): a kind is tried only on the calls
// in its mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "platform/platform.h"

namespace tavo::fault {

// One per call of the platform seam, named after it, in the order of its list.
#define TAVO_FAULT_ENUMERATOR(result, name, parameters, arguments, fails) name,
enum class Call : uint8_t { TAVO_PLATFORM_CALLS(TAVO_FAULT_ENUMERATOR) count };
#undef TAVO_FAULT_ENUMERATOR
#define TAVO_FAULT_NAME(result, name, parameters, arguments, fails) #name,
inline constexpr std::string_view call_names[] = {TAVO_PLATFORM_CALLS(TAVO_FAULT_NAME)};
#undef TAVO_FAULT_NAME
// How each call fails (the last column of the seam's list).
enum class Fails : uint8_t { with_code, plainly, never, never_returns };
#define TAVO_FAULT_FAILS(result, name, parameters, arguments, fails) Fails::fails,
inline constexpr Fails call_fails[] = {TAVO_PLATFORM_CALLS(TAVO_FAULT_FAILS)};
#undef TAVO_FAULT_FAILS

// Which standard stream a call worked on, when it worked on one.
enum class Role : uint8_t { none, in, out, err };
inline constexpr char role_letters[] = {'-', 'i', 'o', 'e'};

constexpr uint64_t bit(Call call) { return uint64_t{1} << static_cast<unsigned>(call); }

constexpr uint64_t calls_that_fail(Fails how) {
  uint64_t calls = 0;
  for (size_t i = 0; i < std::size(call_fails); ++i) {
    if (call_fails[i] == how) calls |= bit(static_cast<Call>(i));
  }
  return calls;
}

// Calls that report a system error code of their own.
inline constexpr uint64_t io_calls = calls_that_fail(Fails::with_code);
inline constexpr uint64_t transfers = bit(Call::write_console_w) |
                                      bit(Call::read_console_w) |
                                      bit(Call::nt_write_file) | bit(Call::nt_read_file);
inline constexpr uint64_t conversions =
    bit(Call::multi_byte_to_wide_char) | bit(Call::wide_char_to_multi_byte);
inline constexpr uint64_t nt_transfers =
    bit(Call::nt_write_file) | bit(Call::nt_read_file);
// Calls that fail without a code that matters to the program: null, 0 or
// false, with ERROR_INVALID_PARAMETER as the last error.
inline constexpr uint64_t other_failing = calls_that_fail(Fails::plainly);

enum class Effect : uint8_t {
  code,         // fails with `code` as last error (NTSTATUS for NtWriteFile/NtReadFile)
  handle_null,  // GetStdHandle gives NULL
  handle_invalid,          // GetStdHandle gives INVALID_HANDLE_VALUE, last error 6
  short_one,               // transfers or converts 1 unit
  short_half,              // transfers or converts half of what was asked (or
                           // produced), rounded up: never nothing
  short_zero,              // succeeds with 0 units
  pending_stuck,           // STATUS_PENDING, and still pending after the wait
  pending_done,            // STATUS_PENDING, complete after the wait
  console_aborted,         // ReadConsoleW: 0 units, last error 995
  console_high_surrogate,  // ReadConsoleW: only the unit 0xD83D
  console_ctrl_z,          // ReadConsoleW: only Ctrl+Z
};

// The kinds as the program's rules tell them apart.
enum class Group : uint8_t {
  missing,    // the handle looks missing: NULL, or system code 6
  pipe_gone,  // codes 109 and 232: the other end of a pipe has gone
  code,       // any other code (87 for the calls that simply fail)
  part,       // less than asked, or done after a wait or an aborted read
  zero,       // a transfer of nothing
  ctrl_z,     // a console read of Ctrl+Z alone
  surrogate,  // a console read of a lone high surrogate
  stuck,      // still pending after the wait
  any,        // (in a rule) every group
};

struct FaultKind {
  std::string_view name;
  Effect effect;
  uint32_t code;
  uint64_t calls;
  Group group;
};

inline constexpr FaultKind fault_kinds[] = {
    {"code1", Effect::code, 1, io_calls, Group::code},
    {"code5", Effect::code, 5, io_calls, Group::code},
    {"code6", Effect::code, 6, io_calls, Group::missing},
    {"code8", Effect::code, 8, io_calls, Group::code},
    {"code87", Effect::code, 87, io_calls, Group::code},
    {"code109", Effect::code, 109, io_calls, Group::pipe_gone},
    {"code112", Effect::code, 112, io_calls, Group::code},
    {"code232", Effect::code, 232, io_calls, Group::pipe_gone},
    {"code995", Effect::code, 995, io_calls, Group::code},
    {"fail", Effect::code, 87, other_failing, Group::code},
    {"handle_null", Effect::handle_null, 0, bit(Call::get_std_handle), Group::missing},
    {"handle_invalid", Effect::handle_invalid, 6, bit(Call::get_std_handle),
     Group::missing},
    {"short_one", Effect::short_one, 0, transfers | conversions, Group::part},
    {"short_half", Effect::short_half, 0, transfers | conversions, Group::part},
    {"short_zero", Effect::short_zero, 0, transfers, Group::zero},
    {"pending_stuck", Effect::pending_stuck, 0, nt_transfers, Group::stuck},
    {"pending_done", Effect::pending_done, 0, nt_transfers, Group::part},
    {"console_aborted", Effect::console_aborted, 0, bit(Call::read_console_w),
     Group::part},
    {"console_high_surrogate", Effect::console_high_surrogate, 0,
     bit(Call::read_console_w), Group::surrogate},
    {"console_ctrl_z", Effect::console_ctrl_z, 0, bit(Call::read_console_w),
     Group::ctrl_z},
};

inline constexpr size_t kind_count = std::size(fault_kinds);

inline const FaultKind* find_kind(std::string_view name) {
  for (const FaultKind& kind : fault_kinds) {
    if (kind.name == name) return &kind;
  }
  return nullptr;
}

inline bool applies(const FaultKind& kind, Call call) {
  return (kind.calls & bit(call)) != 0;
}

}  // namespace tavo::fault

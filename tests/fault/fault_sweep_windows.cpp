// The fault sweep: for each setup of standard handles and input, records the
// platform calls of a clean run of fault_guess, then runs it once per
// (call, fault kind that applies to the call) and judges every outcome
// against the ending that the rules give its fault (the table `rules`).
//
//   fault_sweep full [workers] [setup]      every run (of one setup: 1, 2, ...)
//   fault_sweep sample <seed> [workers]     two runs of each (call, stream, kind),
//                                           from an offset that the seed gives, or
//                                           TAVO_FAULT_SAMPLE_OFFSET when set
//   fault_sweep one <setup> <call> <kind>   one run, shown in full
//
// Prints the outcomes by class, the bad ones in detail, and ends with
// "fault sweep: R runs, C calls, K kinds, B bad" (a sample adds
// " (sample offset N)"); exits with 1 when B > 0.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fault/fault_kinds.h"
#include "harness/process_harness.h"
#include "platform/sync.h"
#include "platform/windows_api.h"
#include "support/guess_launch.h"
#include "support/lines.h"
#include "support/test_thread.h"
#include "support/trace_text.h"

namespace {

using namespace tavo::fault;

using tavo::harness::ChildResult;
using tavo::harness::ChildSpec;
using tavo::harness::escaped;
using tavo::harness::hex_status;
using tavo::harness::Input;
using tavo::harness::KeyEvent;
using tavo::harness::Output;
using tavo::testing::dialogue;
using tavo::testing::greeting;
using tavo::testing::lines_of;
using tavo::testing::report_hint;
using tavo::testing::trace_trailer;

constexpr uint32_t status_fail_fast = 0xC0000409u;
constexpr unsigned child_timeout_ms = 15000;

const std::string echo_start = "You guessed: ";
const std::string trace_header = "stack backtrace:\n";
const std::string abort_lines[] = {
    "fatal runtime error: I/O error: operation failed to complete synchronously\n",
    "fatal runtime error: initialization or cleanup bug\n",
    "fatal runtime error: drop of the panic payload panicked\n",
    "thread panicked while processing panic. aborting.\n",
    "thread caused non-unwinding panic. aborting.\n",
};

struct Setup {
  const char* name;
  Input in;
  Output out;
  std::vector<KeyEvent> keys;
  std::optional<std::u16string> backtrace;  // TAVO_BACKTRACE, unset when empty
  std::string line;                         // the first line of the input, as read
  bool refused;  // the line is not UTF-8: the clean run ends in 101

  // Filled by the clean run.
  std::vector<std::pair<Call, Role>> calls;
  std::string screen;       // the clean run's console screen (standard output a console)
  std::string report_line;  // line 1 of the clean run's report, when it refuses
};

Setup make_setup(const char* name, Input in, Output out, std::string line, bool refused,
                 std::vector<KeyEvent> keys = {},
                 std::optional<std::u16string> backtrace = std::nullopt) {
  Setup setup{name,
              std::move(in),
              out,
              std::move(keys),
              std::move(backtrace),
              std::move(line),
              refused,
              {},
              {},
              {}};
  return setup;
}

std::vector<Setup> make_setups() {
  const std::string invalid =
      "4\xFF"
      "2\n";
  std::vector<Setup> setups;
  setups.push_back(
      make_setup("pipe 42", Input::bytes("42\n"), Output::pipe(), "42\n", false));
  setups.push_back(make_setup("pipe invalid UTF-8", Input::bytes(invalid), Output::pipe(),
                              invalid, true));
  setups.push_back(
      make_setup("file", Input::file("42\n"), Output::pipe(), "42\n", false));
  setups.push_back(make_setup("NUL", Input::nul(), Output::pipe(), "", false));
  setups.push_back(make_setup("console typed 42", Input::console(), Output::pipe(),
                              "42\r\n", false, tavo::harness::typed(u"42\r")));
  setups.push_back(make_setup("stdout console", Input::bytes("42\n"), Output::console(),
                              "42\n", false));
  setups.push_back(make_setup("trace, invalid UTF-8", Input::bytes(invalid),
                              Output::pipe(), invalid, true, {}, u"1"));
  return setups;
}

ChildSpec launch_for(const Setup& setup) {
  ChildSpec launch;
  launch.program = tavo::harness::sibling_program(L"fault_guess.exe");
  launch.in = setup.in;
  launch.out = setup.out;
  launch.keys = setup.keys;
  launch.env_changes = {{u"TAVO_BACKTRACE", setup.backtrace},
                        {u"TAVO_FAULT_AT", std::nullopt},
                        {u"TAVO_FAULT_KIND", std::nullopt},
                        {u"TAVO_FAULT_LOG", std::nullopt}};
  launch.timeout_ms = child_timeout_ms;
  return launch;
}

std::u16string widen(std::string_view s) { return std::u16string(s.begin(), s.end()); }

std::string narrow_screen(std::u16string_view screen) { return escaped(screen); }

// ------------------------------------------------------------ classes

enum class Class {
  ok_echo,
  ok_input_ended,
  ok_stdout_missing,
  report,
  report_stderr_fault,
  abort_alone,
  abort_after_report,
  abort_stderr_fault,
  bad_setup,
  bad_hang,
  bad_status,
  bad_stdout,
  bad_stderr,
  bad_road,
  count
};

struct ClassInfo {
  const char* name;
  bool good;
  const char* meaning;
};

const ClassInfo class_info[] = {
    {"ok-echo", true, "status 0, the whole dialogue with the line echoed"},
    {"ok-input-ended", true,
     "status 0, the input ended early: the echo is a shorter prefix"},
    {"ok-stdout-missing", true, "status 0, one write of the dialogue missing"},
    {"report", true, "status 101, well-formed report, standard output a prefix"},
    {"report-stderr-fault", true, "status 101, the report is partly missing or cut"},
    {"abort", true, "0xC0000409, nothing or one fixed line on standard error"},
    {"abort-after-report", true,
     "0xC0000409, a well-formed report then one fixed line (start-up failure, "
     "failure that cannot unwind, allocation failure while reporting)"},
    {"abort-stderr-fault", true, "0xC0000409, a cut report then the fixed line"},
    {"BAD-setup", false, "the harness could not start the child"},
    {"BAD-hang", false, "still running at the timeout"},
    {"BAD-status", false, "a status other than 0, 101 or 0xC0000409"},
    {"BAD-stdout", false, "standard output not a prefix of the dialogue"},
    {"BAD-stderr", false, "standard error malformed for the status"},
    {"BAD-road", false, "an ending, but not the one that the rules give for the fault"},
};
static_assert(std::size(class_info) == static_cast<size_t>(Class::count));

struct Outcome {
  Class cls;
  std::string why;  // for a bad outcome
};

bool is_well_formed_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t n = b < 0x80             ? 1
               : (b & 0xE0) == 0xC0 ? 2
               : (b & 0xF0) == 0xE0 ? 3
               : (b & 0xF8) == 0xF0 ? 4
                                    : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

bool all_digits(std::string_view s) {
  return !s.empty() &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "thread 'NAME' panicked at 'MESSAGE', FILE:LINE:COLUMN\n"
bool is_first_line(std::string_view line) {
  if (!line.starts_with("thread '") || !line.ends_with("\n")) return false;
  if (line.find("' panicked at '") == std::string_view::npos) return false;
  line.remove_suffix(1);
  const size_t cut = line.rfind("', ");
  if (cut == std::string_view::npos) return false;
  std::string_view position = line.substr(cut + 3);
  const size_t column = position.rfind(':');
  if (column == std::string_view::npos || !all_digits(position.substr(column + 1))) {
    return false;
  }
  position = position.substr(0, column);
  const size_t row = position.rfind(':');
  return row != std::string_view::npos && row > 0 &&
         all_digits(position.substr(row + 1)) &&
         position.substr(0, row).find_first_of(" \n") == std::string_view::npos;
}

bool is_frame_line(std::string_view line) {
  if (!line.ends_with("\n")) return false;
  if (line.starts_with("             at ")) return true;
  const size_t colon = line.find(": ");
  if (colon == std::string_view::npos || colon > 4) return false;
  std::string_view number = line.substr(0, colon);
  while (number.starts_with(" ")) number.remove_prefix(1);
  return all_digits(number);
}

// A whole report: line 1, then the hint or a stack trace.
bool is_report(std::string_view err) {
  const size_t end = err.find('\n');
  if (end == std::string_view::npos || !is_first_line(err.substr(0, end + 1)))
    return false;
  const std::string_view rest = err.substr(end + 1);
  if (rest == report_hint) return true;
  if (!rest.starts_with(trace_header) || !rest.ends_with(trace_trailer)) return false;
  const std::string_view frames = rest.substr(
      trace_header.size(), rest.size() - trace_header.size() - trace_trailer.size());
  for (std::string_view line : lines_of(frames)) {
    if (!is_frame_line(line)) return false;
  }
  return true;
}

bool is_allocation_line(std::string_view line) {
  constexpr std::string_view head = "memory allocation of ", tail = " bytes failed\n";
  return line.starts_with(head) && line.ends_with(tail) &&
         line.size() > head.size() + tail.size() &&
         all_digits(line.substr(head.size(), line.size() - head.size() - tail.size()));
}

// What a report or an abort line can look like when one of its writes
// failed: every line begins like one of those texts, nothing else appears.
bool is_damaged_report(std::string_view err) {
  if (!is_well_formed_utf8(err)) return false;
  for (std::string_view line : lines_of(err)) {
    // A write that failed inside a trace leaves its frame entry cut short.
    const bool cut_entry = !line.ends_with("\n") && line.starts_with(" ");
    const bool known = line.starts_with("thread '") || line.starts_with("note: ") ||
                       line.starts_with("stack backtrace:") || is_frame_line(line) ||
                       cut_entry || line.starts_with("fatal runtime error: ") ||
                       line.starts_with("memory allocation of ") ||
                       line.starts_with("' panicked at '") || line.starts_with("', ");
    if (!known) return false;
  }
  return true;
}

// `shorter` is `whole` with one run of bytes taken out.
bool one_run_missing(std::string_view whole, std::string_view shorter) {
  if (shorter.size() >= whole.size()) return false;
  size_t front = 0;
  while (front < shorter.size() && shorter[front] == whole[front]) ++front;
  const std::string_view rest = shorter.substr(front);
  return whole.ends_with(rest);
}

struct Fault {
  Call call;
  Role role;
  const FaultKind* kind;
};

// What the outputs show, for the judgement against the rules.
struct Seen {
  bool out_cut = false;     // standard output with one run of bytes missing
  std::string_view report;  // standard error's report, whole or cut
  std::string_view last;    // the fixed line that ended an abort
};

// How the run ended, from its status and outputs alone.
Outcome observe(const Setup& setup, const ChildResult& r, Seen& s) {
  if (!r.setup_error.empty()) return {Class::bad_setup, r.setup_error};
  if (r.timed_out) return {Class::bad_hang, "timed out"};
  const bool console_out = setup.out.kind == Output::Kind::console;
  // Standard output as the parent sees it; on a console, the screen, whose
  // reference is the clean run's.
  const std::string seen = console_out ? narrow_screen(r.screen) : r.out;
  const std::string whole = console_out ? setup.screen : dialogue(setup.line);
  // The most that a run which does not echo may show.
  const std::string most = console_out     ? setup.screen
                           : setup.refused ? greeting
                                           : dialogue(setup.line);
  s.out_cut = r.exit_status == 0 ? one_run_missing(whole, seen)
                                 : !most.starts_with(seen) && one_run_missing(most, seen);
  const bool out_shown = most.starts_with(seen) || s.out_cut;

  switch (r.exit_status) {
    case 0: {
      if (!r.err.empty())
        return {Class::bad_stderr, "status 0 with text on standard error"};
      if (!setup.refused && seen == whole) return {Class::ok_echo, {}};
      // The echo of what was read before the input ended: on a console
      // screen, whose rows lose their trailing spaces, any prefix that
      // keeps the echo's start; elsewhere the echo ends in its line feed.
      const std::string start = greeting + echo_start;
      if (console_out) {
        constexpr std::string_view shown_start = "You guessed:";
        const size_t echo_at = setup.screen.find(shown_start);
        if (echo_at != std::string::npos && setup.screen.starts_with(seen) &&
            seen.size() >= echo_at + shown_start.size()) {
          return {Class::ok_input_ended, {}};
        }
      } else if (seen.starts_with(start) && seen.ends_with("\n") &&
                 setup.line.starts_with(std::string_view(seen).substr(
                     start.size(), seen.size() - start.size() - 1))) {
        return {Class::ok_input_ended, {}};
      }
      if (s.out_cut) return {Class::ok_stdout_missing, {}};
      return {Class::bad_stdout, "status 0 and standard output not the dialogue"};
    }
    case 101:
      if (!out_shown) return {Class::bad_stdout, "not a prefix of the dialogue"};
      s.report = r.err;
      if (is_report(r.err)) return {Class::report, {}};
      if (is_damaged_report(r.err)) return {Class::report_stderr_fault, {}};
      return {Class::bad_stderr, "status 101 without a well-formed report"};
    case status_fail_fast: {
      if (!out_shown) return {Class::bad_stdout, "not a prefix of the dialogue"};
      if (r.err.empty()) return {Class::abort_alone, {}};
      // The fixed line ends standard error; a write of the report that never
      // completed leaves it behind a cut line.
      std::string_view& last = s.last;
      for (std::string_view line : abort_lines) {
        if (std::string_view(r.err).ends_with(line)) last = line;
      }
      if (last.empty() && is_allocation_line(lines_of(r.err).back())) {
        last = lines_of(r.err).back();
      }
      if (last.empty()) return {Class::bad_stderr, "0xC0000409 without its fixed line"};
      const std::string_view before = s.report =
          std::string_view(r.err).substr(0, r.err.size() - last.size());
      if (before.empty()) return {Class::abort_alone, {}};
      if (is_report(before)) return {Class::abort_after_report, {}};
      // An allocation that fails while the report is written ends it there.
      if (is_allocation_line(last) && before.starts_with("thread '")) {
        return {Class::abort_after_report, {}};
      }
      if (is_damaged_report(before)) return {Class::abort_stderr_fault, {}};
      return {Class::bad_stderr, "0xC0000409 with unexpected text on standard error"};
    }
    default:
      return {Class::bad_status, "status " + hex_status(r.exit_status)};
  }
}

// ------------------------------------------------------------ the rules

// What line 1 of a whole report must contain.
enum class Named : uint8_t {
  none,
  clean,    // the clean run's line 1
  os_code,  // "Os { code: N, " (debug form) for the injected N
  os_text,  // "(os error N)" (display form) for the injected N
  text,     // the rule's text
};

constexpr unsigned ok(Class c) { return 1u << static_cast<unsigned>(c); }
constexpr unsigned echo = ok(Class::ok_echo), ended = ok(Class::ok_input_ended),
                   missing = ok(Class::ok_stdout_missing), report = ok(Class::report),
                   cut = ok(Class::report_stderr_fault), aborted = ok(Class::abort_alone),
                   aborted_after =
                       ok(Class::abort_after_report) | ok(Class::abort_stderr_fault);
// Resolved by setup: the clean run's ending; and on a stream that is a
// console, what the system makes of it as a file (any ending but an abort).
constexpr unsigned clean = 1u << 30, as_file = 1u << 31;

constexpr unsigned in = 1u << static_cast<unsigned>(Role::in),
                   out = 1u << static_cast<unsigned>(Role::out),
                   err = 1u << static_cast<unsigned>(Role::err), any = 15;
constexpr Call any_call = Call::count;

constexpr std::string_view not_synchronous = "fatal runtime error: I/O error: operation";
constexpr std::string_view start_up_bug = "fatal runtime error: initialization";
constexpr std::string_view no_memory = "memory allocation of ";

struct Rule {
  Call call;              // any_call: every call
  unsigned streams;       // the streams the call worked on (a bit per Role)
  Group group;            // Group::any: every kind
  unsigned endings;       // the endings that the rules allow
  Named named;            // what line 1 of a whole report names
  std::string_view text;  // for Named::text
  std::string_view last;  // how the fixed line of an abort begins
};

// The ending of every fault, from the rules of the streams and of start-up.
// The first row that matches the call, its stream and the kind's group
// decides. A call that no row names is one the program can do without
// (lookups, the stack trace's services): the run ends as the clean run, a
// report with the same line 1, though a trace may lose frames.
// clang-format off
const Rule rules[] = {
  // A failed console test makes the handle a file to the program.
  {Call::get_console_mode, any, Group::any, clean | as_file, Named::clean, {}, {}},
  // Standard input: code 6 anywhere, the pipe gone on the file read, a read
  // of nothing and Ctrl+Z end the input; other codes fail the line.
  {Call::wide_char_to_multi_byte, in, Group::any, report, Named::text, "surrogate", {}},
  {any_call, in, Group::missing, ended, Named::none, {}, {}},
  {Call::nt_read_file, in, Group::pipe_gone, ended, Named::none, {}, {}},
  {any_call, in, Group::zero, ended, Named::none, {}, {}},
  {any_call, in, Group::ctrl_z, ended, Named::none, {}, {}},
  {any_call, in, Group::pipe_gone, report, Named::os_code, {}, {}},
  {any_call, in, Group::code, report, Named::os_code, {}, {}},
  {any_call, in, Group::surrogate, report, Named::text, "surrogate", {}},
  // Standard output: code 6 drops that write; other codes fail the print.
  {Call::multi_byte_to_wide_char, out, Group::code, report, Named::text,
   "Unexpected error in MultiByteToWideChar", {}},
  {any_call, out, Group::missing, clean | missing, Named::clean, {}, {}},
  {any_call, out, Group::pipe_gone, report, Named::os_text, {}, {}},
  {any_call, out, Group::code, report, Named::os_text, {}, {}},
  {any_call, out, Group::zero, report, Named::text, "failed to write", {}},
  // A transfer that never completes ends the process after a fixed line.
  {any_call, in | out, Group::stuck, aborted, Named::none, {}, not_synchronous},
  {any_call, err, Group::stuck, aborted | aborted_after, Named::clean, {},
   not_synchronous},
  // A short transfer or conversion: the rest follows.
  {any_call, in | out | err, Group::part, clean, Named::clean, {}, {}},
  // Standard error: the report's own write errors are ignored.
  {any_call, err, Group::any, report | cut, Named::clean, {}, {}},
  // Start-up failures are reported, then end the process.
  {Call::add_vectored_exception_handler, any, Group::any, aborted_after, Named::text,
   "failed to install exception handler", start_up_bug},
  {Call::set_thread_stack_guarantee, any, Group::any, aborted_after, Named::text,
   "failed to reserve stack space", start_up_bug},
  // A memory request that fails ends the process, cutting a report short.
  {Call::heap_alloc, any, Group::any, aborted | aborted_after, Named::none, {},
   no_memory},
  {any_call, any, Group::any, clean, Named::clean, {}, {}},
};
// clang-format on

const Rule& rule_for(const Fault& fault) {
  for (const Rule& rule : rules) {
    if ((rule.call == any_call || rule.call == fault.call) &&
        (rule.streams & (1u << static_cast<unsigned>(fault.role))) != 0 &&
        (rule.group == Group::any || rule.group == fault.kind->group)) {
      return rule;
    }
  }
  return rules[std::size(rules) - 1];
}

// The run's ending, judged against the one that the rules give its fault.
Outcome classify(const Setup& setup, const Fault& fault, const ChildResult& r) {
  Seen s;
  Outcome seen = observe(setup, r, s);
  if (!class_info[static_cast<size_t>(seen.cls)].good) return seen;
  const Rule& rule = rule_for(fault);
  const bool console =
      (fault.role == Role::in && setup.in.kind == Input::Kind::console) ||
      (fault.role == Role::out && setup.out.kind == Output::Kind::console);
  const bool as_a_file = (rule.endings & as_file) != 0 && console;
  unsigned allowed = rule.endings | (as_a_file ? echo | ended | missing | report : 0);
  if ((rule.endings & clean) != 0) allowed |= setup.refused ? report : echo;
  // Without a line, the echo is what the end of the input gives.
  if (setup.line.empty() && (allowed & (echo | ended)) != 0) allowed |= echo | ended;
  // A shorter echo and a dialogue without its last write can look the same.
  if (seen.cls == Class::ok_input_ended && s.out_cut && (allowed & ended) == 0)
    seen.cls = Class::ok_stdout_missing;
  const std::string code = std::to_string(fault.kind->code);
  const std::string_view line1 = s.report.substr(0, s.report.find('\n') + 1);
  const bool named =
      seen.cls != Class::report && seen.cls != Class::abort_after_report ? true
      : as_a_file                                                        ? true
      : rule.named == Named::clean ? !setup.refused || line1 == setup.report_line
      : rule.named == Named::os_code
          ? line1.find("Os { code: " + code + ", ") != std::string_view::npos
      : rule.named == Named::os_text
          ? line1.find("(os error " + code + ")") != std::string_view::npos
          : line1.find(rule.text) != std::string_view::npos;
  std::string wrong;
  if ((allowed & ok(seen.cls)) == 0)
    wrong = "ended as " + std::string(class_info[static_cast<size_t>(seen.cls)].name);
  else if (r.exit_status != 0 && s.out_cut && (allowed & missing) == 0 && !as_a_file)
    wrong = "a write of standard output missing";
  else if (!named)
    wrong = "line 1 does not name what the fault gives";
  else if (!s.last.starts_with(rule.last))
    wrong = "another fixed line";
  if (wrong.empty()) return seen;
  return {Class::bad_road, wrong + " (rule " + std::to_string(&rule - rules) + ")"};
}

// ------------------------------------------------------------ runs

std::wstring log_path(size_t setup) {
  wchar_t dir[MAX_PATH + 1];
  GetTempPathW(MAX_PATH, dir);
  return std::wstring(dir) + L"fault_sweep_" + std::to_wstring(GetCurrentProcessId()) +
         L"_" + std::to_wstring(setup) + L".log";
}

// The clean run of a setup: its calls and (on a console) its screen. False
// when the clean run itself is not what the dialogue gives.
bool record(Setup& setup, size_t index) {
  const std::wstring path = log_path(index);
  ChildSpec launch = launch_for(setup);
  std::u16string wide_path(path.begin(), path.end());
  launch.env_changes.back().second = wide_path;
  const ChildResult r = tavo::harness::run_child(launch);
  setup.screen = narrow_screen(r.screen);
  setup.report_line = r.err.substr(0, r.err.find('\n') + 1);
  std::ifstream log{std::filesystem::path(path)};
  std::string line;
  std::map<std::string, Call, std::less<>> by_name;
  for (size_t i = 0; i < std::size(call_names); ++i) {
    by_name.emplace(std::string(call_names[i]), static_cast<Call>(i));
  }
  while (std::getline(log, line)) {
    std::istringstream fields(line);
    uint64_t number = 0;
    std::string name;
    char role = '-';
    fields >> number >> name >> role;
    const auto found = by_name.find(name);
    if (found == by_name.end() || number != setup.calls.size() + 1) {
      std::printf("%s: unreadable call log line \"%s\"\n", setup.name, line.c_str());
      return false;
    }
    const Role r_role = role == 'i'   ? Role::in
                        : role == 'o' ? Role::out
                        : role == 'e' ? Role::err
                                      : Role::none;
    setup.calls.emplace_back(found->second, r_role);
  }
  log.close();
  std::filesystem::remove(std::filesystem::path(path));
  const bool console_out = setup.out.kind == Output::Kind::console;
  const bool as_expected =
      !r.timed_out && r.setup_error.empty() &&
      (setup.refused ? r.exit_status == 101 && (console_out || r.out == greeting) &&
                           is_report(r.err)
                     : r.exit_status == 0 && r.err.empty() &&
                           (console_out || r.out == dialogue(setup.line)));
  if (!as_expected || setup.calls.empty()) {
    std::printf(
        "%s: the clean run is not the dialogue: status %s, out \"%s\", err \"%s\", "
        "screen \"%s\", %zu calls\n",
        setup.name, hex_status(r.exit_status).c_str(), escaped(r.out).c_str(),
        escaped(r.err).c_str(), setup.screen.c_str(), setup.calls.size());
    return false;
  }
  return true;
}

struct Run {
  size_t setup;
  uint32_t number;  // 1-based call number
  const FaultKind* kind;
};

ChildResult execute(const Setup& setup, const Run& run) {
  ChildSpec launch = launch_for(setup);
  launch.env_changes[1].second = widen(std::to_string(run.number));
  launch.env_changes[2].second = widen(run.kind->name);
  return tavo::harness::run_child(launch);
}

std::string describe(const Setup& setup, const Run& run, const ChildResult& r) {
  const auto& [call, role] = setup.calls[run.number - 1];
  std::string text = std::string(setup.name) + ", call " + std::to_string(run.number) +
                     " " + std::string(call_names[static_cast<size_t>(call)]) + " (" +
                     role_letters[static_cast<size_t>(role)] + "), " +
                     std::string(run.kind->name) + ": status " +
                     hex_status(r.exit_status) + (r.timed_out ? " TIMED OUT" : "") +
                     ", out \"" + escaped(r.out) + "\", err \"" + escaped(r.err) + "\"";
  if (!r.screen.empty()) text += ", screen \"" + escaped(r.screen) + "\"";
  return text;
}

int sweep(bool full, std::string_view seed, unsigned workers, size_t only_setup) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<Setup> setups = make_setups();
  bool clean_ok = true;
  for (size_t i = 0; i < setups.size(); ++i) clean_ok = record(setups[i], i) && clean_ok;

  std::vector<Run> runs;
  size_t calls_total = 0, calls_faultable = 0;
  for (size_t s = 0; s < setups.size(); ++s) {
    if (only_setup != 0 && s + 1 != only_setup) continue;
    const Setup& setup = setups[s];
    calls_total += setup.calls.size();
    for (size_t n = 0; n < setup.calls.size(); ++n) {
      bool any = false;
      for (const FaultKind& kind : fault_kinds) {
        if (!applies(kind, setup.calls[n].first)) continue;
        runs.push_back({s, static_cast<uint32_t>(n + 1), &kind});
        any = true;
      }
      calls_faultable += any ? 1 : 0;
    }
  }
  const size_t all_runs = runs.size();
  // The runs of one (call, stream, kind) are a family. The sample takes two
  // members of each, half the family apart, from a place that the offset
  // moves: every family runs every time, and other offsets reach other
  // members. The offset comes from the seed, or from TAVO_FAULT_SAMPLE_OFFSET
  // (the one that a summary line printed), which runs that sample again.
  uint64_t offset = 14695981039346656037u;  // FNV-1a of the seed
  std::map<std::tuple<Call, Role, const FaultKind*>, std::vector<size_t>> families;
  for (size_t i = 0; i < runs.size(); ++i) {
    const auto& [call, role] = setups[runs[i].setup].calls[runs[i].number - 1];
    families[{call, role, runs[i].kind}].push_back(i);
  }
  if (!full) {
    for (char c : seed)
      offset = (offset ^ static_cast<unsigned char>(c)) * 1099511628211u;
    if (const char* given = std::getenv("TAVO_FAULT_SAMPLE_OFFSET")) {
      offset = std::strtoull(given, nullptr, 10);
    }
    std::vector<Run> picked;
    for (const auto& [family, members] : families) {
      const size_t first = (offset + picked.size()) % members.size();
      picked.push_back(runs[members[first]]);
      if (members.size() > 1)
        picked.push_back(runs[members[(first + members.size() / 2) % members.size()]]);
    }
    runs = std::move(picked);
  }

  std::vector<Outcome> outcomes(runs.size());
  std::atomic<size_t> next{0};
  tavo::platform::SrwLock print;
  std::vector<std::string> bad_details;
  auto work = [&] {
    for (size_t i = next++; i < runs.size(); i = next++) {
      const Setup& setup = setups[runs[i].setup];
      const Run& run = runs[i];
      const ChildResult r = execute(setup, run);
      const auto& [call, role] = setup.calls[run.number - 1];
      outcomes[i] = classify(setup, Fault{call, role, run.kind}, r);
      if (!class_info[static_cast<size_t>(outcomes[i].cls)].good) {
        tavo::platform::ExclusiveGuard lock(print);
        bad_details.push_back(outcomes[i].why + ": " + describe(setup, run, r));
      }
    }
  };
  std::vector<tavo::testing::TestThread> threads;
  for (unsigned w = 0; w < std::max(1u, workers); ++w) threads.emplace_back(work);
  for (tavo::testing::TestThread& t : threads) t.join();

  // The table: classes by setup.
  std::set<std::string_view> kinds_used;
  for (const Run& run : runs) kinds_used.insert(run.kind->name);
  std::vector<std::vector<size_t>> table(setups.size(),
                                         std::vector<size_t>(std::size(class_info)));
  size_t bad = clean_ok ? 0 : 1;
  for (size_t i = 0; i < runs.size(); ++i) {
    ++table[runs[i].setup][static_cast<size_t>(outcomes[i].cls)];
    if (!class_info[static_cast<size_t>(outcomes[i].cls)].good) ++bad;
  }
  for (size_t s = 0; s < setups.size(); ++s) {
    size_t n = 0;
    for (const Run& run : runs) n += run.setup == s ? 1 : 0;
    std::printf("setup \"%s\": %zu calls recorded, %zu runs\n", setups[s].name,
                setups[s].calls.size(), n);
  }
  std::printf("%-22s", "class");
  for (size_t s = 0; s < setups.size(); ++s) std::printf(" %7zu", s + 1);
  std::printf(" %7s\n", "total");
  for (size_t c = 0; c < std::size(class_info); ++c) {
    size_t total = 0;
    for (size_t s = 0; s < setups.size(); ++s) total += table[s][c];
    if (total == 0 && !class_info[c].good) continue;
    std::printf("%-22s", class_info[c].name);
    for (size_t s = 0; s < setups.size(); ++s) std::printf(" %7zu", table[s][c]);
    std::printf(" %7zu\n", total);
  }
  // The same outcomes by fault kind, one letter column per class that occurred.
  std::vector<size_t> seen_classes;
  for (size_t c = 0; c < std::size(class_info); ++c) {
    for (size_t i = 0; i < runs.size(); ++i) {
      if (static_cast<size_t>(outcomes[i].cls) == c) {
        seen_classes.push_back(c);
        break;
      }
    }
  }
  std::printf("\n%-24s", "kind");
  for (size_t c : seen_classes) std::printf(" %20s", class_info[c].name);
  std::printf("\n");
  for (const FaultKind& kind : fault_kinds) {
    if (!kinds_used.contains(kind.name)) continue;
    std::printf("%-24.*s", static_cast<int>(kind.name.size()), kind.name.data());
    for (size_t c : seen_classes) {
      size_t n = 0;
      for (size_t i = 0; i < runs.size(); ++i) {
        n += runs[i].kind == &kind && static_cast<size_t>(outcomes[i].cls) == c ? 1 : 0;
      }
      std::printf(" %20zu", n);
    }
    std::printf("\n");
  }
  std::sort(bad_details.begin(), bad_details.end());
  for (size_t i = 0; i < bad_details.size() && i < 200; ++i) {
    std::printf("BAD %s\n", bad_details[i].c_str());
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%zu of %zu runs made, %zu families, %zu calls recorded, %.0f s\n",
              runs.size(), all_runs, families.size(), calls_total, seconds);
  std::printf("fault sweep: %zu runs, %zu calls, %zu kinds, %zu bad", runs.size(),
              calls_faultable, kinds_used.size(), bad);
  if (full) {
    std::printf("\n");
  } else {
    std::printf(" (sample offset %llu)\n", static_cast<unsigned long long>(offset));
  }
  return bad == 0 ? 0 : 1;
}

int one(size_t setup_index, uint32_t number, const char* kind_name) {
  std::vector<Setup> setups = make_setups();
  const FaultKind* kind = find_kind(kind_name);
  if (setup_index == 0 || setup_index > setups.size() || kind == nullptr) {
    std::puts("no such setup or kind");
    return 2;
  }
  Setup& setup = setups[setup_index - 1];
  if (!record(setup, setup_index - 1) || number == 0 || number > setup.calls.size()) {
    std::puts("no such call");
    return 2;
  }
  const Run run{setup_index - 1, number, kind};
  const ChildResult r = execute(setup, run);
  const auto& [call, role] = setup.calls[number - 1];
  const Outcome o = classify(setup, Fault{call, role, kind}, r);
  std::printf("%s: %s %s\n", class_info[static_cast<size_t>(o.cls)].name, o.why.c_str(),
              describe(setup, run, r).c_str());
  return class_info[static_cast<size_t>(o.cls)].good ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "full") {
    return sweep(true, {}, argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 2,
                 argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 0);
  }
  if (mode == "sample" && argc > 2) {
    return sweep(false, argv[2], argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 2,
                 0);
  }
  if (mode == "one" && argc > 4) {
    return one(std::strtoul(argv[2], nullptr, 10),
               static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)), argv[4]);
  }
  std::fputs(
      "usage: fault_sweep full [workers] [setup number]\n"
      "       fault_sweep sample <seed> [workers]\n"
      "       fault_sweep one <setup> <call> <kind>\n",
      stderr);
  return 2;
}

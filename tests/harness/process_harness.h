// Starts a Windows program with exactly the standard handles, environment and
// console a test asks for, and reports what it wrote and how it ended.
//
//   ChildSpec launch;
//   launch.program = sibling_program(L"guess.exe");
//   launch.in = Input::bytes("42\n");
//   ChildResult r = run_child(launch);     // r.out, r.err, r.exit_status
//
// Console tests that must look at the screen before typing use ConsoleSession:
//   ConsoleSession s(launch);              // launch.in/out/err may be
//   Input/Output::console() s.wait_for_screen(u"Please input your guess.");
//   s.type(typed(u"42\r"));
//   ChildResult r = s.wait();
//
// Standard output and error are drained on their own threads while the child
// runs, so a child that writes much never blocks on a full pipe. A child that
// outlives its timeout is killed; the result then has timed_out set and holds
// whatever the child had written.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavo::harness {

// What the child gets as standard input.
struct Input {
  enum class Kind {
    bytes,        // a pipe holding `data`, writer closed once all is written
    open_pipe,    // a pipe holding `data`, writer kept open until the child ends
    closed_pipe,  // a pipe whose writer is closed before the child starts
    file,         // a temporary file holding `data`, positioned at its start
    nul,          // the NUL device
    null,         // the handle value NULL
    invalid,      // INVALID_HANDLE_VALUE
    console,      // the input of the child's headless console
  };
  Kind kind = Kind::nul;
  std::string data;

  static Input bytes(std::string data) { return {Kind::bytes, std::move(data)}; }
  static Input open_pipe(std::string data = {}) {
    return {Kind::open_pipe, std::move(data)};
  }
  static Input closed_pipe() { return {Kind::closed_pipe, {}}; }
  static Input file(std::string content) { return {Kind::file, std::move(content)}; }
  static Input nul() { return {Kind::nul, {}}; }
  static Input null() { return {Kind::null, {}}; }
  static Input invalid() { return {Kind::invalid, {}}; }
  static Input console() { return {Kind::console, {}}; }
};

// What the child gets as standard output or standard error.
struct Output {
  enum class Kind {
    pipe,         // a pipe drained by the harness; bytes returned
    file,         // a new temporary file; its content is returned
    nul,          // the NUL device
    null,         // the handle value NULL
    invalid,      // INVALID_HANDLE_VALUE
    closed_pipe,  // a pipe whose read end is closed before the child starts
    full,         // a device on which every write fails with "disk full"
    console,      // the screen of the child's headless console
  };
  Kind kind = Kind::pipe;

  static Output pipe() { return {Kind::pipe}; }
  static Output file() { return {Kind::file}; }
  static Output nul() { return {Kind::nul}; }
  static Output null() { return {Kind::null}; }
  static Output invalid() { return {Kind::invalid}; }
  static Output closed_pipe() { return {Kind::closed_pipe}; }
  static Output full() { return {Kind::full}; }
  static Output console() { return {Kind::console}; }
};

// One key press typed into the console: a key-down and a key-up record.
struct KeyEvent {
  char16_t ch = 0;                  // the UTF-16 unit the key produces
  std::uint16_t virtual_key = 0;    // e.g. 0x0D (VK_RETURN); 0 for plain text
  std::uint32_t control_state = 0;  // e.g. 0x0008 (LEFT_CTRL_PRESSED)
};

// Key presses for a text, one per UTF-16 unit (a lone surrogate is typed as
// it is). '\r' and '\n' become Enter; U+001A becomes Ctrl+Z.
std::vector<KeyEvent> typed(std::u16string_view text);
KeyEvent enter();
KeyEvent ctrl_z();

// Environment variable edits, applied in order to a copy of the harness's
// own environment. A missing value removes the variable; an empty value sets
// it to the empty string. Names compare without regard to case.
using EnvChanges = std::vector<std::pair<std::u16string, std::optional<std::u16string>>>;

struct ChildSpec {
  std::wstring program;            // full path of the executable
  std::vector<std::wstring> args;  // quoted by the harness as the C runtime expects
  Input in = Input::nul();
  Output out = Output::pipe();
  Output err = Output::pipe();
  EnvChanges env_changes;
  // A whole environment block instead: "NAME=value" entries, each ending in
  // u'\0' (the harness adds the final terminator). Any UTF-16, valid or not.
  std::optional<std::u16string> raw_environment;
  // Typed into the console once the child has started (needs a console
  // handle in in/out/err).
  std::vector<KeyEvent> keys;
  unsigned timeout_ms = 20000;
};

struct ChildResult {
  std::string out;                // bytes written to standard output (pipe or file)
  std::string err;                // bytes written to standard error (pipe or file)
  std::uint32_t exit_status = 0;  // the full GetExitCodeProcess value
  bool timed_out = false;         // killed after the timeout
  // The console's screen: rows joined with '\n', trailing spaces of each row
  // and trailing empty rows removed. Empty without a console.
  std::u16string screen;
  // Set when the harness itself could not set the child up (the reason).
  std::string setup_error;
};

// Runs a child to its end (or timeout) and reports what it did.
ChildResult run_child(const ChildSpec& launch);

// A child running in a headless console, driven step by step.
//
// The console belongs to a small host program (tavo_console_host.exe, built
// beside every test program) started without a window; the harness attaches
// to it, opens CONIN$ and CONOUT$ and gives them to the child as the handles
// marked console, while the other handles stay exactly as chosen (NULL
// included). The screen therefore outlives a child that ends at once. Only
// one console session may exist per process at a time (a process attaches
// to one console); a second one waits until the first has ended.
class ConsoleSession {
 public:
  explicit ConsoleSession(const ChildSpec& launch);  // starts the child
  ~ConsoleSession();                                 // kills it if still running
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;

  bool started() const;  // false: see wait().setup_error
  void type(const std::vector<KeyEvent>& keys);
  std::u16string screen() const;
  // Waits until the screen contains `text` (true) or the time is up (false).
  bool wait_for_screen(std::u16string_view text, unsigned timeout_ms = 10000) const;
  // Waits for the end of the child (or its timeout) and reports.
  ChildResult wait();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The path of an executable in the folder of the running test program.
std::wstring sibling_program(const wchar_t* file_name);

// Printable forms for test messages: bytes with C-style escapes, UTF-16 as
// UTF-8 with lone surrogates as \uXXXX, a status in hexadecimal.
std::string escaped(std::string_view bytes);
std::string escaped(std::u16string_view text);
std::string hex_status(std::uint32_t status);
void PrintTo(const ChildResult& result, std::ostream* os);

}  // namespace tavo::harness

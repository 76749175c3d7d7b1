// A stack overflow: the handler's line on standard error, and the status the
// platform gives. Wine ends a process whose stack overflowed with status 0,
// since its own last-chance handling runs out of stack too; started under a
// debugger, the second-chance exception is seen and the process ended with
// the exception's code, which is what Windows reports for such a process.
#include <gtest/gtest.h>

#include <string>

#include "harness/process_harness.h"
#include "harness/start_process_windows.h"
#include "platform/windows_api.h"

namespace tavo::harness {
namespace {

constexpr uint32_t exception_stack_overflow = 0xC00000FDu;

struct DebuggedRun {
  bool started = false;
  bool finished = false;
  uint32_t status = 0;
  std::string err;
};

class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  ~OwnedHandle() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Runs the scenario as a debuggee: first-chance exceptions go back to the
// program, a second-chance one ends it with the exception's code.
DebuggedRun run_debugged(const wchar_t* scenario) {
  DebuggedRun run;
  wchar_t directory[MAX_PATH + 1];
  wchar_t path[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH + 1, directory) == 0 ||
      GetTempFileNameW(directory, L"ovf", 0, path) == 0) {
    return run;
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  OwnedHandle err(CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY,
                              nullptr));
  OwnedHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                              0, nullptr));
  if (err.get() == INVALID_HANDLE_VALUE || nul.get() == INVALID_HANDLE_VALUE) {
    return run;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul.get();
  startup.hStdOutput = nul.get();
  startup.hStdError = err.get();
  const std::wstring program = sibling_program(L"frame_scenarios.exe");
  std::wstring command = L"\"" + program + L"\" " + scenario;
  PROCESS_INFORMATION process{};
  if (!start_process(program.c_str(), command.data(), TRUE, DEBUG_ONLY_THIS_PROCESS,
                     nullptr, &startup, &process)) {
    return run;
  }
  run.started = true;
  OwnedHandle process_handle(process.hProcess);
  OwnedHandle thread_handle(process.hThread);

  for (;;) {
    DEBUG_EVENT event{};
    if (!WaitForDebugEvent(&event, 30000)) {
      TerminateProcess(process.hProcess, 0xDEAD);
      break;
    }
    DWORD continuation = DBG_CONTINUE;
    bool exited = false;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        break;
      case EXCEPTION_DEBUG_EVENT: {
        const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
        if (!event.u.Exception.dwFirstChance) {
          TerminateProcess(process.hProcess, record.ExceptionCode);
        } else if (record.ExceptionCode != EXCEPTION_BREAKPOINT) {
          continuation = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      }
      case EXIT_PROCESS_DEBUG_EVENT:
        run.status = event.u.ExitProcess.dwExitCode;
        run.finished = true;
        exited = true;
        break;
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continuation);
    if (exited) break;
  }

  SetFilePointer(err.get(), 0, nullptr, FILE_BEGIN);
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(err.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    run.err.append(buffer, got);
  }
  DeleteFileW(path);
  return run;
}

struct OverflowCase {
  const wchar_t* scenario;
  const char* line;
};

const OverflowCase overflow_cases[] = {
    {L"overflow-main", "\nthread 'main' has overflowed its stack\n"},
    {L"overflow-thread", "\nthread '<unknown>' has overflowed its stack\n"},
};

TEST(StackOverflow, HandlerWritesItsLineAndTheProcessEndsAsUnhandled) {
  for (const OverflowCase& c : overflow_cases) {
    SCOPED_TRACE(c.line);
    ChildSpec launch;
    launch.program = sibling_program(L"frame_scenarios.exe");
    launch.args = {c.scenario};
    ChildResult r = run_child(launch);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, c.line) << escaped(r.err);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.exit_status, 101u) << hex_status(r.exit_status);
  }
}

TEST(StackOverflow, StatusSeenByADebuggerIsTheOverflow) {
  for (const OverflowCase& c : overflow_cases) {
    SCOPED_TRACE(c.line);
    DebuggedRun run = run_debugged(c.scenario);
    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.status, exception_stack_overflow) << hex_status(run.status);
    EXPECT_EQ(run.err, c.line) << escaped(run.err);
  }
}

}  // namespace
}  // namespace tavo::harness

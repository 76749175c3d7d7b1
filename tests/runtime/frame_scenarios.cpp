// A program whose main routine is chosen by its first argument, for the
// process-frame tests: each scenario ends in one of the ways the start
// routine, the fatal reports and the aborts must handle.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "platform/windows_api.h"
#include "runtime/fatal.h"
#include "runtime/fatal_unwind.h"
#include "runtime/overflow.h"
#include "runtime/run_main.h"
#include "runtime/thread_record.h"
#include "streams/stdout.h"
#include "support/fake_platform.h"
#include "support/test_thread.h"

namespace frame_scenario {

using tavo::SourcePosition;

// A fixed position, so that the tests can expect line 1 byte for byte.
constexpr SourcePosition here{"scenario.cpp", 7, 3};

// What a scenario does when the start routine releases a failure's payload
// (see the release at the end of this file); it may raise.
void (*on_payload_release)() = nullptr;

// A static initialiser that raises when the environment asks it to: the
// frame's report must serve it, though run_main has not started.
[[maybe_unused]] const bool raised_early = [] {
  if (std::getenv("TAVO_SCENARIO_RAISE_EARLY") != nullptr) {
    tavo::raise_fatal("raised by a static initialiser", here);
  }
  return false;
}();

// Frames with names of their own, so that a stack trace can be checked for
// them. Each keeps its frame: not inlined, and its call is not its last
// instruction.
[[gnu::noinline]] void frame_scenario_inner(const char* message) {
  tavo::raise_fatal(message, here);
}

[[gnu::noinline]] void frame_scenario_outer(const char* message) {
  frame_scenario_inner(message);
  asm volatile("");
}

// Read at run time, so that the compiler cannot tell that the descent ends
// in a failure at every depth.
volatile bool fail_at_bottom = true;

[[gnu::noinline]] void frame_scenario_descend(int depth) {
  if (depth > 0) {
    frame_scenario_descend(depth - 1);
  } else if (fail_at_bottom) {
    frame_scenario_inner("deep failure");
  }
  asm volatile("");
}

// Text waiting in standard output's buffer: written by the exit clean-up,
// lost by an abort.
void hold_pending_output() { tavo::print_to_stdout("pending"); }

void normal() { hold_pending_output(); }

void fail() {
  hold_pending_output();
  frame_scenario_outer("scenario failure");
}

void fail_deep() { frame_scenario_descend(97); }

void fail_composed() {
  const int number = 42;
  tavo::raise_fatal_format(here, "composed ", number, " text");
}

// An argument that counts how often the message is composed; the count is
// printed when the start routine releases the payload.
int compositions = 0;

struct CountedPiece {
  bool write_to(tavo::TextSink& out) const {
    ++compositions;
    return out.write_str("counted");
  }
};

void compose_once() {
  on_payload_release = [] {
    tavo::print_to_stdout("composed ", compositions, " times\n");
  };
  tavo::raise_fatal_format(here, "a ", CountedPiece{}, " message");
}

void odd_texts() {
  tavo::name_current_thread("it's \"odd\"\nname");
  tavo::raise_fatal("a 'quoted' \"text\"\nsecond line", here);
}

// A failure on a second thread, caught there, then one on the main thread.
void two_failures() {
  tavo::testing::TestThread worker([] {
    try {
      tavo::raise_fatal("first failure", here);
    } catch (tavo::detail::FatalUnwind&) {
      tavo::detail::failure_caught();
    }
  });
  worker.join();
  tavo::raise_fatal("second failure", here);
}

// Raises only when armed: a destructor that always raises is taken by GCC
// for one that never returns, and its frames then lose their clean-ups.
struct RaisesWhenDropped {
  volatile bool armed = true;
  [[gnu::noinline]] ~RaisesWhenDropped() noexcept(false) {
    if (armed) {
      tavo::raise_fatal("failure while unwinding", here);
    }
  }
};

void during_unwinding() {
  hold_pending_output();
  RaisesWhenDropped guard;
  tavo::raise_fatal("first failure", here);
}

// A failure raised by a thread-local destructor, which the platform calls
// when the thread ends: it must not travel on.
struct RaisesAtThreadEnd {
  bool armed = false;
  ~RaisesAtThreadEnd() {
    if (armed) {
      tavo::raise_fatal("raised by a thread-local destructor", here);
    }
  }
};

thread_local RaisesAtThreadEnd at_thread_end;

void thread_local_destructor() {
  hold_pending_output();
  tavo::testing::TestThread([] { at_thread_end.armed = true; }).join();
}

void non_unwinding() {
  hold_pending_output();
  tavo::raise_fatal("must not unwind", here, false);
}

void failing_release() {
  hold_pending_output();
  on_payload_release = [] { tavo::raise_fatal("payload release failed", here); };
  tavo::raise_fatal("released badly", here);
}

// Standard error's handle, looked up for line 1 of the report, raises a
// failure of its own the first time.
struct RaisingStderr final : tavo::testing::FakePlatform {
  bool raised = false;
  Handle get_std_handle(int32_t id) override {
    if (id == tavo::platform::std_error_handle && !raised) {
      raised = true;
      tavo::raise_fatal("raised while reporting", here);
    }
    return FakePlatform::get_std_handle(id);
  }
};

void raise_while_reporting() {
  hold_pending_output();
  static RaisingStderr fake;
  tavo::platform::install(&fake);
  tavo::raise_fatal("outer failure", here);
}

// Recursion without end (as far as the compiler can tell, it might end),
// 4 KB of stack per call.
volatile bool keep_going = true;

[[gnu::noinline]] int frame_scenario_recurse(volatile char* previous) {
  volatile char block[4096];
  block[0] = previous != nullptr ? previous[0] : 1;
  if (!keep_going) {
    return block[0];
  }
  return frame_scenario_recurse(block) + block[1];
}

// Text held by standard output stays unwritten: the overflow ends the
// process without the exit clean-up.
void overflow_main() {
  hold_pending_output();
  frame_scenario_recurse(nullptr);
}

void overflow_thread() {
  tavo::testing::TestThread worker([] {
    // Room for the handler on this thread too.
    uint32_t guarantee = 20480;
    (void)tavo::platform::current().set_thread_stack_guarantee(&guarantee);
    frame_scenario_recurse(nullptr);
  });
  worker.join();
}

// The overflow handler called on a thread whose local storage is gone: a
// thread-local destructor that runs after the thread's record was released
// (made first, it is destroyed last). Its flag is not a member: in the GCC
// build the object's storage may already be released when it runs.
std::atomic<bool> overflow_at_thread_end{false};

struct OverflowsAtThreadEnd {
  void arm() { overflow_at_thread_end = true; }
  ~OverflowsAtThreadEnd() {
    if (overflow_at_thread_end.exchange(false)) {
      EXCEPTION_RECORD record{};
      record.ExceptionCode = 0xC00000FDu;  // EXCEPTION_STACK_OVERFLOW
      EXCEPTION_POINTERS pointers{&record, nullptr};
      (void)tavo::overflow_handler(&pointers);
    }
  }
};

thread_local OverflowsAtThreadEnd overflows_at_end;

void overflow_without_record() {
  hold_pending_output();
  tavo::testing::TestThread([] {
    overflows_at_end.arm();
    (void)tavo::current_thread_record();
  }).join();
}

void impossible_allocation() {
  hold_pending_output();
  void* block = ::operator new (size_t{1} << 46);
  std::printf("allocated %p\n", block);
}

void (*routine_for(std::string_view name))() {
  struct Entry {
    std::string_view name;
    void (*routine)();
  };
  static const Entry entries[] = {
      {"normal", normal},
      {"fail", fail},
      {"fail-deep", fail_deep},
      {"fail-composed", fail_composed},
      {"odd-texts", odd_texts},
      {"compose-once", compose_once},
      {"two-failures", two_failures},
      {"during-unwinding", during_unwinding},
      {"non-unwinding", non_unwinding},
      {"thread-local-destructor", thread_local_destructor},
      {"failing-release", failing_release},
      {"raise-while-reporting", raise_while_reporting},
      {"overflow-main", overflow_main},
      {"overflow-thread", overflow_thread},
      {"impossible-allocation", impossible_allocation},
      {"overflow-without-record", overflow_without_record},
  };
  for (const Entry& entry : entries) {
    if (entry.name == name) {
      return entry.routine;
    }
  }
  return nullptr;
}

// Start-up steps that fail through the platform.
struct NoVectoredHandler final : tavo::testing::FakePlatform {
  void* add_vectored_exception_handler(uint32_t,
                                       tavo::platform::VectoredHandler) override {
    return nullptr;
  }
};

struct OldSystem final : tavo::testing::FakePlatform {
  uint32_t guarantee_asked = 0;
  int kernel_lookups = 0;
  bool set_thread_stack_guarantee(uint32_t* size) override {
    guarantee_asked = *size;
    set_last_error(tavo::platform::error_call_not_implemented);
    return false;
  }
  Module get_module_handle_a(const char* name) override {
    if (std::strcmp(name, "kernel32") == 0) {
      ++kernel_lookups;
    }
    return nullptr;
  }
};

OldSystem old_system;

// This program's own file named by a path longer than MAX_PATH: the path of
// a copy of it that the frame test made in such a folder (the variable
// TAVO_SCENARIO_IMAGE_COPY), the same bytes as the image that runs. Wine
// starts no program by such a path, so the copy does not run itself.
struct LongModulePath final : tavo::testing::FakePlatform {
  uint32_t get_module_file_name_w(Module module, char16_t* buffer,
                                  uint32_t size) override {
    const uint32_t length =
        get_environment_variable_w(u"TAVO_SCENARIO_IMAGE_COPY", buffer, size);
    return length > 0 && length < size
               ? length
               : FakePlatform::get_module_file_name_w(module, buffer, size);
  }
};

void report_old_system() {
  tavo::print_to_stdout("guarantee ", old_system.guarantee_asked, ", kernel32 lookups ",
                        old_system.kernel_lookups, "\n");
}

// The stack guarantee refused for a reason other than an old system.
struct NoGuarantee final : tavo::testing::FakePlatform {
  bool set_thread_stack_guarantee(uint32_t*) override {
    set_last_error(87);  // ERROR_INVALID_PARAMETER
    return false;
  }
};

// Standard output is a console whose text cannot be converted: the exit
// clean-up's flush raises a failure.
struct UnconvertibleConsole final : tavo::testing::FakePlatform {
  bool is_stdout(Handle handle) {
    return handle == FakePlatform::get_std_handle(tavo::platform::std_output_handle);
  }
  bool get_console_mode(Handle handle, uint32_t* mode) override {
    return is_stdout(handle) || FakePlatform::get_console_mode(handle, mode);
  }
  int multi_byte_to_wide_char(uint32_t, uint32_t, const char*, int, char16_t*,
                              int) override {
    return 0;
  }
};

// What start-up passes to SetThreadDescription, or (when `missing`) a system
// without the function, whose lookup leaves the last error 127.
struct DescribedThread final : tavo::testing::FakePlatform {
  bool missing = false;
  static inline tavo::platform::Handle thread = nullptr;
  static inline std::u16string description;
  static int32_t set_thread_description(tavo::platform::Handle target,
                                        const char16_t* text) {
    thread = target;
    description = text;
    return 0;
  }
  tavo::platform::Procedure get_proc_address(Module module, const char* name) override {
    if (std::strcmp(name, "SetThreadDescription") != 0) {
      return FakePlatform::get_proc_address(module, name);
    }
    if (missing) {
      set_last_error(127);  // ERROR_PROC_NOT_FOUND
      return nullptr;
    }
    return reinterpret_cast<tavo::platform::Procedure>(&set_thread_description);
  }
};

DescribedThread described_thread;

void report_description() {
  // Read first: the stand-in for a missing function leaves 120 here.
  const uint32_t last_error = described_thread.get_last_error();
  if (described_thread.missing) {
    tavo::print_to_stdout("last error ", last_error, "\n");
    return;
  }
  const bool current = DescribedThread::thread == described_thread.get_current_thread();
  const std::string name(DescribedThread::description.begin(),
                         DescribedThread::description.end());
  tavo::print_to_stdout("described '", name, "'", current ? " on this thread" : "", "\n");
}

}  // namespace frame_scenario

// Takes the place of the runtime library's release of a payload, which is
// alone in its object so that a program's own definition wins at link time.
void tavo::detail::FatalUnwind::release_payload() {
  if (frame_scenario::on_payload_release != nullptr) {
    frame_scenario::on_payload_release();
  }
  std::string().swap(payload_);
}

int main(int argc, char** argv) {
  using namespace frame_scenario;
  if (argc < 2) {
    std::fputs("usage: frame_scenarios SCENARIO\n", stderr);
    return 2;
  }
  const std::string_view name = argv[1];
  static NoVectoredHandler no_handler;
  static NoGuarantee no_guarantee;
  static UnconvertibleConsole unconvertible_console;
  void (*routine)() = routine_for(name);
  if (name == "startup-handler-fails") {
    tavo::platform::install(&no_handler);
    routine = normal;
  } else if (name == "startup-guarantee-fails") {
    tavo::platform::install(&no_guarantee);
    routine = normal;
  } else if (name == "exit-cleanup-fails") {
    tavo::platform::install(&unconvertible_console);
    routine = normal;
  } else if (name == "startup-description" || name == "startup-no-description") {
    described_thread.missing = name == "startup-no-description";
    tavo::platform::install(&described_thread);
    routine = report_description;
  } else if (name == "fail-long-module-path") {
    static LongModulePath long_path;
    tavo::platform::install(&long_path);
    routine = fail;
  } else if (name == "startup-old-system") {
    tavo::platform::install(&old_system);
    routine = report_old_system;
  }
  if (routine == nullptr) {
    std::fputs("unknown scenario\n", stderr);
    return 2;
  }
  return static_cast<int>(tavo::run_main(routine, argc, argv, 0));
}

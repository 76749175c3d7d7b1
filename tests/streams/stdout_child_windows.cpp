// A program that the standard-output end-to-end tests start. It runs one
// scenario, named by its first argument, as the main routine of the start
// routine, so that the exit step and the fatal report run as in the product.
//
//   held             prints a line, then text without a line feed; returns
//   held-then-fatal  standard error is sent to standard output's handle (so
//                    the order of the two shows in one pipe); prints text
//                    without a line feed, then raises a fatal failure
//   held-then-abort  prints text without a line feed, then aborts
//   print            prints "Guess the numberl!\n" (the test picks the handle)
//   zero-direct      standard output takes 0 bytes per write; prints a line
//   zero-flush       the same; prints text, then a line feed
//   mixed            prints lines, held text and a large text, then returns
//   exit-first       runs the exit step before any print, prints text
//                    without a line feed, then aborts
//   split-at-exit    prints the first byte of a two-byte character (held by
//                    a console), runs the exit step, then prints "x"
//   other-holds      another thread stays inside a print while the main
//                    routine returns
//   threads          8 threads print 2000 multi-piece lines each
//   no-memory        every request for 1024 bytes fails; prints a line
//   formatter-error  prints an argument whose text conversion fails
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "runtime/fatal.h"
#include "runtime/run_main.h"
#include "streams/abort.h"
#include "streams/stdout.h"
#include "support/fake_platform.h"
#include "support/test_thread.h"

namespace {

using tavo::print_to_stdout;

// Standard error written to the standard output handle.
class ErrorsToStdout final : public tavo::testing::FakePlatform {
 public:
  Handle get_std_handle(int32_t id) override {
    return FakePlatform::get_std_handle(
        id == tavo::platform::std_error_handle ? tavo::platform::std_output_handle : id);
  }
};

// Standard output takes nothing: every write reports success and 0 bytes.
class StdoutTakesNothing final : public tavo::testing::FakePlatform {
 public:
  NtStatus nt_write_file(Handle handle, tavo::platform::IoStatusBlock* block,
                         const void* bytes, uint32_t length) override {
    if (handle == FakePlatform::get_std_handle(tavo::platform::std_output_handle)) {
      block->status = 0;
      block->information = 0;
      return 0;
    }
    return FakePlatform::nt_write_file(handle, block, bytes, length);
  }
};

// No memory for a block of standard output's buffer size.
class No1024Bytes final : public tavo::testing::FakePlatform {
 public:
  void* heap_alloc(size_t size) override {
    return size == 1024 ? nullptr : FakePlatform::heap_alloc(size);
  }
};

ErrorsToStdout errors_to_stdout;
No1024Bytes no_1024_bytes;
StdoutTakesNothing stdout_takes_nothing;

// Never set: the thread that waits for it stays inside its print.
tavo::platform::SrwLock never_released;

struct WaitForever {
  bool write_to(tavo::TextSink& out) const {
    static_cast<void>(out.write_str("never "));
    never_released.lock_exclusive();  // held by the main routine forever
    return true;
  }
};

// An argument whose conversion gives up without a failed write.
struct FailingConversion {
  bool write_to(tavo::TextSink&) const { return false; }
};

void formatter_error() { print_to_stdout(FailingConversion{}, "\n"); }

void held() {
  print_to_stdout("Guess the numberl!\n");
  print_to_stdout("Please input your guess: ");
}

void held_then_fatal() {
  print_to_stdout("held before the failure");
  tavo::raise_fatal("the scenario fails", TAVO_HERE);
}

void held_then_abort() {
  print_to_stdout("held before the abort");
  tavo::abort_process();
}

void print() { print_to_stdout("Guess the numberl!\n"); }

void zero_flush() {
  print_to_stdout("held");
  print_to_stdout("\n");
}

void mixed() {
  print_to_stdout("Guess the numberl!\n");
  print_to_stdout("held ");
  print_to_stdout(std::string(3000, 'x'));
  print_to_stdout("You guessed: ", "42\n", "\n");
  print_to_stdout("held at exit");
}

void exit_first() {
  tavo::exit_flush();
  print_to_stdout("written at once");
  tavo::abort_process();
}

void split_at_exit() {
  print_to_stdout("\xC3");
  tavo::exit_flush();
  print_to_stdout("x");
}

void other_holds() {
  print_to_stdout("held by main ");
  never_released.lock_exclusive();
  std::atomic<bool> inside{false};
  tavo::testing::TestThread holder([&inside] {
    struct Mark {
      std::atomic<bool>* inside;
      bool write_to(tavo::TextSink& out) const {
        inside->store(true);
        return out.write_str("holder ");
      }
    };
    print_to_stdout(Mark{&inside}, WaitForever{}, "\n");
  });
  holder.detach();
  while (!inside.load()) {
    tavo::testing::yield_to_other_threads();
  }
}

void threads() {
  std::vector<tavo::testing::TestThread> workers;
  for (int t = 0; t < 8; ++t) {
    workers.emplace_back([t] {
      for (int m = 0; m < 2000; ++m) {
        print_to_stdout("thread ", t, " message ", m, " end\n");
      }
    });
  }
  for (tavo::testing::TestThread& worker : workers) {
    worker.join();
  }
}

struct Scenario {
  const char* name;
  void (*routine)();
  tavo::platform::Platform* platform;
};

const Scenario scenarios[] = {
    {"held", held, nullptr},
    {"held-then-fatal", held_then_fatal, &errors_to_stdout},
    {"held-then-abort", held_then_abort, nullptr},
    {"print", print, nullptr},
    {"zero-direct", print, &stdout_takes_nothing},
    {"zero-flush", zero_flush, &stdout_takes_nothing},
    {"mixed", mixed, nullptr},
    {"exit-first", exit_first, nullptr},
    {"split-at-exit", split_at_exit, nullptr},
    {"other-holds", other_holds, nullptr},
    {"threads", threads, nullptr},
    {"no-memory", print, &no_1024_bytes},
    {"formatter-error", formatter_error, nullptr},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    return 2;
  }
  for (const Scenario& scenario : scenarios) {
    if (std::strcmp(argv[1], scenario.name) == 0) {
      if (scenario.platform != nullptr) {
        tavo::platform::install(scenario.platform);
      }
      return static_cast<int>(tavo::run_main(scenario.routine, argc, argv, 0));
    }
  }
  return 3;
}

// Standard output through the platform seam: every write that reaches
// NtWriteFile is recorded by a fake standard output handle.
#include "streams/stdout.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "runtime/allocation.h"
#include "runtime/fatal_unwind.h"
#include "streams/testing.h"
#include "support/fake_platform.h"
#include "support/string_formatter.h"
#include "support/test_thread.h"
#include "text/deferred_message.h"

namespace tavo {
namespace {

using testing::FakePlatform;
using testing::ScopedPlatform;

const sys::Handle fake_stdout = reinterpret_cast<sys::Handle>(uintptr_t{0x5100});
const sys::Handle fake_stderr = reinterpret_cast<sys::Handle>(uintptr_t{0x5200});
constexpr sys::NtStatus status_disk_full = static_cast<sys::NtStatus>(0xC000007Fu);
constexpr sys::NtStatus status_invalid_handle = static_cast<sys::NtStatus>(0xC0000008u);

// What one NtWriteFile on the fake handle does; by default it takes all.
struct WriteStep {
  enum What { take, fail, invalid_handle, throw_out } what = take;
  size_t count = SIZE_MAX;  // bytes taken
};

// Standard output is a pipe-like handle whose writes are recorded; standard
// output can also be made missing. Everything else goes to the real system.
class RecordingStdout final : public FakePlatform {
 public:
  Handle get_std_handle(int32_t id) override {
    if (id == sys::std_output_handle) {
      return missing ? nullptr : fake_stdout;
    }
    if (id == sys::std_error_handle) {
      return fake_stderr;
    }
    return FakePlatform::get_std_handle(id);
  }
  bool get_console_mode(Handle handle, uint32_t* mode) override {
    if (handle == fake_stdout) {
      return console;
    }
    if (handle == fake_stderr) {
      return false;
    }
    return FakePlatform::get_console_mode(handle, mode);
  }
  // As a console, standard output fails every write with code 6.
  bool write_console_w(Handle handle, const char16_t* units, uint32_t count,
                       uint32_t* written) override {
    if (handle != fake_stdout) {
      return FakePlatform::write_console_w(handle, units, count, written);
    }
    set_last_error(sys::error_invalid_handle);
    return false;
  }
  NtStatus nt_write_file(Handle handle, sys::IoStatusBlock* block, const void* bytes,
                         uint32_t length) override {
    if (handle == fake_stderr) {
      err.append(static_cast<const char*>(bytes), length);
      block->status = 0;
      block->information = length;
      return 0;
    }
    if (handle != fake_stdout) {
      return FakePlatform::nt_write_file(handle, block, bytes, length);
    }
    sys::ExclusiveGuard guard(mutex);
    WriteStep step;
    if (!script.empty()) {
      step = script.front();
      script.pop_front();
    }
    if (record) {
      writes.emplace_back(static_cast<const char*>(bytes), length);
    }
    if (step.what == WriteStep::throw_out) {
      throw std::runtime_error("write never returned");
    }
    const NtStatus status = step.what == WriteStep::fail ? status_disk_full
                            : step.what == WriteStep::invalid_handle
                                ? status_invalid_handle
                                : 0;
    block->status = status;
    block->information =
        step.what == WriteStep::take ? std::min<size_t>(step.count, length) : 0;
    return status;
  }

  std::vector<std::string> taken_writes() {
    sys::ExclusiveGuard guard(mutex);
    return writes;
  }

  sys::SrwLock mutex;
  std::vector<std::string> writes;  // bytes offered, one entry per call
  std::string err;                  // what reached standard error
  std::deque<WriteStep> script;
  bool missing = false;
  bool console = false;
  bool record = true;  // false: count nothing, allocate nothing
};

using Writes = std::vector<std::string>;

// An argument whose text conversion runs a callback first.
template <class F>
struct Around {
  F before;
  std::string_view text;
  bool write_to(TextSink& out) const {
    before();
    return out.write_str(text);
  }
};
template <class F>
Around<F> around(F before, std::string_view text) {
  return {before, text};
}

using tavo::testing::display_text;
using tavo::testing::StringFormatter;

// The message of one text, for a test's own stream.
DeferredMessage text(std::string_view literal) { return DeferredMessage(literal); }

// One message of pieces and arguments into a test's own stream.
template <class... Args>
IoResult<void> write(StdoutStream& stream, const Args&... args) {
  const MessageArgs<Args...> pieces(args...);
  return stream.write_message(pieces.message());
}

class StdoutTest : public ::testing::Test {
 protected:
  RecordingStdout fake;
  ScopedPlatform use{fake};
};

// ---- The process-wide stream, through print_to_stdout ----

TEST_F(StdoutTest, GreetingReachesTheHandleInOneWriteBeforeThePrintReturns) {
  ASSERT_EQ(testing::buffered(stdout_stream()), "");
  print_to_stdout("Guess the numberl!\n");
  EXPECT_EQ(fake.taken_writes(), Writes{"Guess the numberl!\n"});
  EXPECT_EQ(testing::buffered(stdout_stream()), "");
}

TEST_F(StdoutTest, EchoGoesOutInExactlyTwoWrites) {
  const std::string guess = "42\n";
  print_to_stdout("You guessed: ", guess, "\n");
  EXPECT_EQ(fake.taken_writes(), (Writes{"You guessed: 42\n", "\n"}));
}

TEST_F(StdoutTest, TextWithoutLineFeedWaitsForTheNextLineFeed) {
  print_to_stdout("Please input your guess: ");
  print_to_stdout("");
  EXPECT_EQ(fake.taken_writes(), Writes{});
  EXPECT_EQ(testing::buffered(stdout_stream()), "Please input your guess: ");
  print_to_stdout(7, "\n");
  EXPECT_EQ(fake.taken_writes(), Writes{"Please input your guess: 7\n"});
}

TEST_F(StdoutTest, MissingStandardOutputSwallowsEveryPrint) {
  fake.missing = true;
  print_to_stdout("Guess the numberl!\n");  // direct write of a line
  print_to_stdout("held ");                 // buffered
  print_to_stdout(std::string(3000, 'x'));  // flush, then an oversized write
  print_to_stdout("more\n");                // flush
  EXPECT_EQ(fake.taken_writes(), Writes{});
  EXPECT_EQ(testing::buffered(stdout_stream()), "");
}

TEST_F(StdoutTest, PrintFromInsideAnArgumentNestsAtThatPoint) {
  print_to_stdout(
      "outer ",
      around([] { print_to_stdout("inner ", 1, "\n", "after inner "); }, "rest"), "\n");
  EXPECT_EQ(fake.taken_writes(), (Writes{"outer inner 1\n", "after inner rest\n"}));
}

TEST_F(StdoutTest, ConcurrentMessagesArriveWholeAndInOrder) {
  static constexpr int threads = 8;
  static constexpr int messages = 10000;
  std::vector<testing::TestThread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t] {
      for (int m = 0; m < messages; ++m) {
        print_to_stdout("thread ", t, " message ", m, " of ", messages, "\n");
      }
    });
  }
  for (testing::TestThread& worker : workers) {
    worker.join();
  }
  const Writes writes = fake.taken_writes();
  ASSERT_EQ(writes.size(), size_t{threads * messages});
  std::vector<int> next(threads, 0);
  for (const std::string& line : writes) {
    int t = -1;
    int m = -1;
    int total = -1;
    char end = 0;
    ASSERT_EQ(
        std::sscanf(line.c_str(), "thread %d message %d of %d%c", &t, &m, &total, &end),
        4)
        << line;
    ASSERT_TRUE(t >= 0 && t < threads) << line;
    ASSERT_EQ(m, next[t]) << line;
    ASSERT_EQ(line, "thread " + std::to_string(t) + " message " + std::to_string(m) +
                        " of " + std::to_string(messages) + "\n");
    ++next[t];
  }
}

TEST_F(StdoutTest, PrintsAllocateNothing) {
  // The counter must see an allocation, or the check below proves nothing.
  const uint64_t before_probe = allocation_count();
  int* probe = new int(1);
  asm volatile("" : : "r"(probe) : "memory");  // keeps the pair from being elided
  delete probe;
  ASSERT_GT(allocation_count(), before_probe) << "allocations are not counted";

  const std::string guess = "42\n";
  const std::string oversized(1500, 'x');
  fake.record = false;
  print_to_stdout("warm-up\n");
  const uint64_t before = allocation_count();
  for (int i = 0; i < 100; ++i) {
    print_to_stdout("Guess the numberl!\n");
    print_to_stdout("You guessed: ", guess, "\n");
    print_to_stdout("held ", i, " ");
    print_to_stdout(std::string_view(guess), 18446744073709551615u, "\n");
    print_to_stdout(oversized);
  }
  EXPECT_EQ(allocation_count(), before);
}

// ---- A stream of the test's own, to reach the buffer limits and the exit
// step without touching the process-wide one ----

struct SizeCase {
  const char* name;
  std::vector<size_t> sizes;  // texts of that many bytes, no line feed
  Writes expected_writes;
  size_t expected_held;
};

class StdoutSizes : public StdoutTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(StdoutSizes, BufferLimit) {
  StdoutStream stream(StdoutStream::buffer_capacity);
  std::vector<std::string> texts;
  for (size_t i = 0; i < GetParam().sizes.size(); ++i) {
    texts.emplace_back(GetParam().sizes[i], static_cast<char>('a' + i));
    ASSERT_TRUE(stream.write_message(text(texts.back())).ok());
  }
  EXPECT_EQ(fake.taken_writes(), GetParam().expected_writes);
  EXPECT_EQ(testing::buffered(stream).size(), GetParam().expected_held);
}

INSTANTIATE_TEST_SUITE_P(
    Stdout, StdoutSizes,
    ::testing::Values(SizeCase{"1023_held", {1023}, {}, 1023},
                      SizeCase{"1024_direct", {1024}, {std::string(1024, 'a')}, 0},
                      SizeCase{
                          "100_then_1000", {100, 1000}, {std::string(100, 'a')}, 1000},
                      SizeCase{"100_then_924_fits", {100, 924}, {}, 1024}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StdoutTest, HandleThatTakesNothingFailsWithTheRightMessage) {
  StdoutStream stream(StdoutStream::buffer_capacity);
  fake.script = {{WriteStep::take, 0}};
  IoResult<void> direct = stream.write_message(text("line\n"));
  ASSERT_FALSE(direct.ok());
  EXPECT_EQ(direct.error().kind(), IoErrorKind::WriteZero);
  EXPECT_EQ(display_text(direct.error()), "failed to write whole buffer");

  ASSERT_TRUE(stream.write_message(text("held")).ok());
  fake.script = {{WriteStep::take, 0}};
  IoResult<void> flushed = stream.write_message(text("\n"));
  ASSERT_FALSE(flushed.ok());
  EXPECT_EQ(display_text(flushed.error()), "failed to write the buffered data");
}

TEST_F(StdoutTest, FailedPartialFlushIsCompletedByTheExitStepThenOutputIsUnbuffered) {
  StdoutStream stream(StdoutStream::buffer_capacity);
  ASSERT_TRUE(stream.write_message(text("abcdefgh")).ok());
  fake.script = {{WriteStep::take, 3}, {WriteStep::fail}};
  IoResult<void> failed = stream.write_message(text("\n"));
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().raw_os_error(), 112);
  EXPECT_EQ(testing::buffered(stream), "defgh\n");

  stream.flush_and_unbuffer();
  EXPECT_EQ(fake.taken_writes(), (Writes{"abcdefgh\n", "defgh\n", "defgh\n"}));
  EXPECT_EQ(testing::capacity(stream), 0u);
  EXPECT_EQ(testing::buffered(stream), "");

  // From now on every text is written at once, on its own.
  fake.writes.clear();
  ASSERT_TRUE(stream.write_message(text("no line feed")).ok());
  EXPECT_EQ(fake.taken_writes(), Writes{"no line feed"});
}

TEST_F(StdoutTest, ExitStepErrorsAreDropped) {
  StdoutStream stream(StdoutStream::buffer_capacity);
  ASSERT_TRUE(stream.write_message(text("held")).ok());
  fake.script = {{WriteStep::fail}};
  stream.flush_and_unbuffer();  // must not raise
  EXPECT_EQ(fake.taken_writes(), Writes{"held"});
  EXPECT_EQ(testing::capacity(stream), 0u);
}

TEST_F(StdoutTest, ExitStepWritesNothingWhileAnotherThreadHoldsTheLock) {
  StdoutStream stream(StdoutStream::buffer_capacity);
  ASSERT_TRUE(write(stream, "held by main ").ok());
  std::atomic<bool> inside{false};
  std::atomic<bool> release{false};
  testing::TestThread holder([&] {
    auto wait_inside = [&] {
      inside.store(true);
      while (!release.load()) {
        testing::yield_to_other_threads();
      }
    };
    EXPECT_TRUE(write(stream, "holder ", around(wait_inside, "done\n")).ok());
  });
  while (!inside.load()) {
    testing::yield_to_other_threads();
  }
  stream.flush_and_unbuffer();  // must return without waiting
  EXPECT_EQ(fake.taken_writes(), Writes{});
  EXPECT_EQ(testing::capacity(stream), StdoutStream::buffer_capacity);
  release.store(true);
  holder.join();
  // The holder's message completed under the unchanged, buffered rules.
  EXPECT_EQ(fake.taken_writes(), Writes{"held by main holder done\n"});
}

TEST_F(StdoutTest, ExitStepFromInsideAPrintNestsAndFlushes) {
  StdoutStream stream(StdoutStream::buffer_capacity);
  ASSERT_TRUE(
      write(stream, "before ", around([&] { stream.flush_and_unbuffer(); }, "after"))
          .ok());
  EXPECT_EQ(fake.taken_writes(), (Writes{"before ", "after"}));
  EXPECT_EQ(testing::capacity(stream), 0u);
}

// Writes a line, ignores its failure, then runs `after` and claims success.
struct IgnoresFailure {
  std::function<void()> after;
  bool write_to(TextSink& out) const {
    (void)out.write_str("a\n");
    after();
    return true;
  }
};

TEST_F(StdoutTest, EachMessageEndsWithItsOwnError) {
  StdoutStream stream(StdoutStream::buffer_capacity);
  // A print nested in a message that has already failed still writes, and
  // succeeds; the outer message ends with its own error.
  fake.script = {{WriteStep::fail}};
  bool nested_ok = false;
  IoResult<void> outer = write(
      stream, IgnoresFailure{[&] { nested_ok = write(stream, "b\n").ok(); }}, "c\n");
  EXPECT_FALSE(outer.ok());
  EXPECT_TRUE(nested_ok);
  EXPECT_EQ(fake.taken_writes(), (Writes{"a\n", "b\n"}));
  // A message that unwinds after its error leaves none for the next one.
  fake.script = {{WriteStep::fail}};
  EXPECT_THROW((void)write(stream, IgnoresFailure{[] { throw std::runtime_error("x"); }}),
               std::runtime_error);
  EXPECT_TRUE(stream.write_message(text("e\n")).ok());
}

TEST_F(StdoutTest, ExitStepSkipsTheFlushAfterAWriteThatNeverReturned) {
  StdoutStream stream(StdoutStream::buffer_capacity);
  ASSERT_TRUE(stream.write_message(text("held")).ok());
  fake.script = {{WriteStep::throw_out}};
  EXPECT_THROW((void)stream.write_message(text("\n")), std::runtime_error);
  stream.flush_and_unbuffer();  // the lock was released by the unwinding
  EXPECT_EQ(fake.taken_writes(), Writes{"held\n"});
  EXPECT_EQ(testing::capacity(stream), 0u);
  ASSERT_TRUE(stream.write_message(text("x")).ok());
  EXPECT_EQ(fake.taken_writes(), (Writes{"held\n", "x"}));
}

TEST_F(StdoutTest, ExitStepThatUnwindsInsideAPrintLeavesTheLockFree) {
  StdoutStream stream(StdoutStream::buffer_capacity);
  ASSERT_TRUE(stream.write_message(text("held")).ok());
  fake.script = {{WriteStep::throw_out}};
  EXPECT_THROW((void)write(stream, "x", around([&] { stream.flush_and_unbuffer(); }, "")),
               std::runtime_error);
  // Another thread's exit step gives up on a lock that is held; this one
  // finds it free and makes the stream unbuffered.
  testing::TestThread([&] { stream.flush_and_unbuffer(); }).join();
  EXPECT_EQ(testing::capacity(stream), 0u);
}

TEST_F(StdoutTest, WriteFailingWithCode6IsSilentSuccess) {
  for (const bool console : {false, true}) {
    SCOPED_TRACE(console ? "WriteConsoleW fails with 6" : "NtWriteFile: invalid handle");
    fake.console = console;
    fake.script.assign(2, {WriteStep::invalid_handle});
    StdoutStream stream(StdoutStream::buffer_capacity);
    EXPECT_TRUE(stream.write_message(text("direct line\n")).ok());
    ASSERT_TRUE(stream.write_message(text("held")).ok());
    EXPECT_TRUE(stream.write_message(text("\n")).ok());  // the flush
    EXPECT_EQ(testing::buffered(stream), "");
  }
  EXPECT_EQ(fake.taken_writes(), (Writes{"direct line\n", "held\n"}));
}

TEST_F(StdoutTest, NestingPastTheLockCountIsFatal) {
  StdoutStream stream(StdoutStream::buffer_capacity);
  testing::lock_at_limit(stream);
  const std::function<void()> entries[] = {
      [&] { (void)stream.write_message(text("x")); },
      [&] { stream.flush_and_unbuffer(); },
  };
  for (const auto& enter : entries) {
    fake.err.clear();
    try {
      enter();
      ADD_FAILURE() << "nested past the limit";
    } catch (detail::FatalUnwind& failure) {
      EXPECT_EQ(failure.payload(), "lock count overflow in reentrant mutex");
      detail::failure_caught();
    }
    EXPECT_TRUE(fake.err.starts_with(
        "thread '<unnamed>' panicked at 'lock count overflow in reentrant mutex', "))
        << fake.err;
  }
  EXPECT_EQ(testing::buffered(stream), "");
  EXPECT_EQ(testing::capacity(stream), StdoutStream::buffer_capacity);
}

TEST_F(StdoutTest, MissingHandleDuringAFlushCountsTheBytesAsWritten) {
  StdoutStream stream(StdoutStream::buffer_capacity);
  ASSERT_TRUE(stream.write_message(text("held")).ok());
  fake.missing = true;
  ASSERT_TRUE(stream.write_message(text(" and a line\n")).ok());
  EXPECT_EQ(testing::buffered(stream), "");
  fake.missing = false;
  ASSERT_TRUE(stream.write_message(text("next\n")).ok());
  EXPECT_EQ(fake.taken_writes(), Writes{"next\n"});
}

}  // namespace
}  // namespace tavo

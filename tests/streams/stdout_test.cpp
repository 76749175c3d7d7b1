// Standard output through the platform seam: every write that reaches
// NtWriteFile is recorded by a scripted standard output handle.
#include "streams/stdout.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/allocation.h"
#include "runtime/fatal_unwind.h"
#include "support/collecting_sink.h"
#include "support/std_handles_fake.h"
#include "support/stdout_probe.h"
#include "support/test_thread.h"
#include "text/deferred_message.h"

namespace tavo {
namespace {

using testing::outcome;
using testing::ScopedPlatform;
using testing::status_disk_full;
using testing::StdHandlesFake;
using Probe = testing::StdoutProbe;

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
  StdHandlesFake fake;
  ScopedPlatform use{fake};
  // A stream of the test's own, to reach the buffer limits and the exit step
  // without touching the process-wide one.
  StdoutStream stream{StdoutStream::buffer_capacity};
};

// ---- The process-wide stream, through print_to_stdout ----

TEST_F(StdoutTest, GreetingReachesTheHandleInOneWriteBeforeThePrintReturns) {
  ASSERT_EQ(Probe::buffered(stdout_stream()), "");
  print_to_stdout("Guess the numberl!\n");
  EXPECT_EQ(fake.out.writes, Writes{"Guess the numberl!\n"});
  EXPECT_EQ(Probe::buffered(stdout_stream()), "");
}

TEST_F(StdoutTest, EchoGoesOutInExactlyTwoWrites) {
  const std::string guess = "42\n";
  print_to_stdout("You guessed: ", guess, "\n");
  EXPECT_EQ(fake.out.writes, (Writes{"You guessed: 42\n", "\n"}));
}

TEST_F(StdoutTest, TextWithoutLineFeedWaitsForTheNextLineFeed) {
  print_to_stdout("Please input your guess: ");
  print_to_stdout("");
  EXPECT_EQ(fake.out.writes, Writes{});
  EXPECT_EQ(Probe::buffered(stdout_stream()), "Please input your guess: ");
  print_to_stdout(7, "\n");
  EXPECT_EQ(fake.out.writes, Writes{"Please input your guess: 7\n"});
}

TEST_F(StdoutTest, MissingStandardOutputSwallowsEveryPrint) {
  fake.out.given = nullptr;
  print_to_stdout("Guess the numberl!\n");  // direct write of a line
  print_to_stdout("held ");                 // buffered
  print_to_stdout(std::string(3000, 'x'));  // flush, then an oversized write
  print_to_stdout("more\n");                // flush
  EXPECT_EQ(fake.out.writes, Writes{});
  EXPECT_EQ(Probe::buffered(stdout_stream()), "");
}

TEST_F(StdoutTest, PrintFromInsideAnArgumentNestsAtThatPoint) {
  print_to_stdout(
      "outer ",
      around([] { print_to_stdout("inner ", 1, "\n", "after inner "); }, "rest"), "\n");
  EXPECT_EQ(fake.out.writes, (Writes{"outer inner 1\n", "after inner rest\n"}));
}

TEST_F(StdoutTest, ConcurrentMessagesArriveWholeAndInOrder) {
  static constexpr int threads = 8;
  static constexpr int messages = 10000;
  std::vector<tavo::testing::TestThread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t] {
      for (int m = 0; m < messages; ++m) {
        print_to_stdout("thread ", t, " message ", m, " of ", messages, "\n");
      }
    });
  }
  for (tavo::testing::TestThread& worker : workers) {
    worker.join();
  }
  const Writes writes = fake.out.writes;
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
  fake.record = StdHandlesFake::Record::nothing;
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

// ---- The test's own stream ----

struct SizeCase {
  const char* name;
  std::vector<size_t> sizes;  // texts of that many bytes, no line feed
  Writes expected_writes;
  size_t expected_held;
};

class StdoutSizes : public StdoutTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(StdoutSizes, BufferLimit) {
  std::vector<std::string> texts;
  for (size_t i = 0; i < GetParam().sizes.size(); ++i) {
    texts.emplace_back(GetParam().sizes[i], static_cast<char>('a' + i));
    ASSERT_TRUE(stream.write_message(text(texts.back())).ok());
  }
  EXPECT_EQ(fake.out.writes, GetParam().expected_writes);
  EXPECT_EQ(Probe::buffered(stream).size(), GetParam().expected_held);
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
  fake.out.transfers = {{.most = 0}};
  EXPECT_EQ(outcome(stream.write_message(text("line\n"))),
            "WriteZero: failed to write whole buffer");

  ASSERT_TRUE(stream.write_message(text("held")).ok());
  fake.out.transfers = {{.most = 0}};
  EXPECT_EQ(outcome(stream.write_message(text("\n"))),
            "WriteZero: failed to write the buffered data");
}

TEST_F(StdoutTest, FailedPartialFlushIsCompletedByTheExitStepThenOutputIsUnbuffered) {
  ASSERT_TRUE(stream.write_message(text("abcdefgh")).ok());
  fake.out.transfers = {{.most = 3}, {.status = status_disk_full}};
  EXPECT_EQ(outcome(stream.write_message(text("\n"))), "StorageFull 112");
  EXPECT_EQ(Probe::buffered(stream), "defgh\n");

  stream.flush_and_unbuffer();
  EXPECT_EQ(fake.out.writes, (Writes{"abcdefgh\n", "defgh\n", "defgh\n"}));
  EXPECT_EQ(Probe::capacity(stream), 0u);
  EXPECT_EQ(Probe::buffered(stream), "");

  // From now on every text is written at once, on its own.
  fake.out.writes.clear();
  ASSERT_TRUE(stream.write_message(text("no line feed")).ok());
  EXPECT_EQ(fake.out.writes, Writes{"no line feed"});
}

TEST_F(StdoutTest, ExitStepErrorsAreDropped) {
  ASSERT_TRUE(stream.write_message(text("held")).ok());
  fake.out.transfers = {{.status = status_disk_full}};
  stream.flush_and_unbuffer();  // must not raise
  EXPECT_EQ(fake.out.writes, Writes{"held"});
  EXPECT_EQ(Probe::capacity(stream), 0u);
}

TEST_F(StdoutTest, ExitStepWritesNothingWhileAnotherThreadHoldsTheLock) {
  ASSERT_TRUE(write(stream, "held by main ").ok());
  std::atomic<bool> inside{false};
  std::atomic<bool> release{false};
  tavo::testing::TestThread holder([&] {
    auto wait_inside = [&] {
      inside.store(true);
      while (!release.load()) {
        tavo::testing::yield_to_other_threads();
      }
    };
    EXPECT_TRUE(write(stream, "holder ", around(wait_inside, "done\n")).ok());
  });
  while (!inside.load()) {
    tavo::testing::yield_to_other_threads();
  }
  stream.flush_and_unbuffer();  // must return without waiting
  EXPECT_EQ(fake.out.writes, Writes{});
  EXPECT_EQ(Probe::capacity(stream), StdoutStream::buffer_capacity);
  release.store(true);
  holder.join();
  // The holder's message completed under the unchanged, buffered rules.
  EXPECT_EQ(fake.out.writes, Writes{"held by main holder done\n"});
}

TEST_F(StdoutTest, ExitStepFromInsideAPrintNestsAndFlushes) {
  ASSERT_TRUE(
      write(stream, "before ", around([&] { stream.flush_and_unbuffer(); }, "after"))
          .ok());
  EXPECT_EQ(fake.out.writes, (Writes{"before ", "after"}));
  EXPECT_EQ(Probe::capacity(stream), 0u);
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
  // A print nested in a message that has already failed still writes, and
  // succeeds; the outer message ends with its own error.
  fake.out.transfers = {{.status = status_disk_full}};
  bool nested_ok = false;
  IoResult<void> outer = write(
      stream, IgnoresFailure{[&] { nested_ok = write(stream, "b\n").ok(); }}, "c\n");
  EXPECT_FALSE(outer.ok());
  EXPECT_TRUE(nested_ok);
  EXPECT_EQ(fake.out.writes, (Writes{"a\n", "b\n"}));
  // A message that unwinds after its error leaves none for the next one.
  fake.out.transfers = {{.status = status_disk_full}};
  EXPECT_THROW((void)write(stream, IgnoresFailure{[] { throw std::runtime_error("x"); }}),
               std::runtime_error);
  EXPECT_TRUE(stream.write_message(text("e\n")).ok());
}

TEST_F(StdoutTest, ExitStepSkipsTheFlushAfterAWriteThatNeverReturned) {
  ASSERT_TRUE(stream.write_message(text("held")).ok());
  fake.out.transfers = {{.throws = true}};
  EXPECT_THROW((void)stream.write_message(text("\n")), std::runtime_error);
  stream.flush_and_unbuffer();  // the lock was released by the unwinding
  EXPECT_EQ(fake.out.writes, Writes{"held\n"});
  EXPECT_EQ(Probe::capacity(stream), 0u);
  ASSERT_TRUE(stream.write_message(text("x")).ok());
  EXPECT_EQ(fake.out.writes, (Writes{"held\n", "x"}));
}

TEST_F(StdoutTest, ExitStepThatUnwindsInsideAPrintLeavesTheLockFree) {
  ASSERT_TRUE(stream.write_message(text("held")).ok());
  fake.out.transfers = {{.throws = true}};
  EXPECT_THROW((void)write(stream, "x", around([&] { stream.flush_and_unbuffer(); }, "")),
               std::runtime_error);
  // Another thread's exit step gives up on a lock that is held; this one
  // finds it free and makes the stream unbuffered.
  tavo::testing::TestThread([&] { stream.flush_and_unbuffer(); }).join();
  EXPECT_EQ(Probe::capacity(stream), 0u);
}

TEST_F(StdoutTest, WriteFailingWithCode6IsSilentSuccess) {
  for (const bool console : {false, true}) {
    SCOPED_TRACE(console ? "WriteConsoleW fails with 6" : "NtWriteFile: invalid handle");
    fake.out.console = console;
    fake.out.transfers.assign(2, {.status = testing::status_invalid_handle});
    fake.out.console_writes.assign(2, {.error = platform::error_invalid_handle});
    StdoutStream fresh(StdoutStream::buffer_capacity);
    EXPECT_TRUE(fresh.write_message(text("direct line\n")).ok());
    ASSERT_TRUE(fresh.write_message(text("held")).ok());
    EXPECT_TRUE(fresh.write_message(text("\n")).ok());  // the flush
    EXPECT_EQ(Probe::buffered(fresh), "");
  }
  EXPECT_EQ(fake.out.writes, (Writes{"direct line\n", "held\n"}));
  EXPECT_EQ(fake.out.screen, u"");
}

TEST_F(StdoutTest, NestingPastTheLockCountIsFatal) {
  Probe::lock_at_limit(stream);
  const std::function<void()> entries[] = {
      [&] { (void)stream.write_message(text("x")); },
      [&] { stream.flush_and_unbuffer(); },
  };
  for (const auto& enter : entries) {
    fake.err.writes.clear();
    try {
      enter();
      ADD_FAILURE() << "nested past the limit";
    } catch (detail::FatalUnwind& failure) {
      EXPECT_EQ(failure.payload(), "lock count overflow in reentrant mutex");
      detail::failure_caught();
    }
    EXPECT_TRUE(fake.err.written().starts_with(
        "thread '<unnamed>' panicked at 'lock count overflow in reentrant mutex', "))
        << fake.err.written();
  }
  EXPECT_EQ(Probe::buffered(stream), "");
  EXPECT_EQ(Probe::capacity(stream), StdoutStream::buffer_capacity);
}

TEST_F(StdoutTest, MissingHandleDuringAFlushCountsTheBytesAsWritten) {
  ASSERT_TRUE(stream.write_message(text("held")).ok());
  fake.out.given = nullptr;
  ASSERT_TRUE(stream.write_message(text(" and a line\n")).ok());
  EXPECT_EQ(Probe::buffered(stream), "");
  fake.out.given = fake.out.handle;
  ASSERT_TRUE(stream.write_message(text("next\n")).ok());
  EXPECT_EQ(fake.out.writes, Writes{"next\n"});
}

}  // namespace
}  // namespace tavo

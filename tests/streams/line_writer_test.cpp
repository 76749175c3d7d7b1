// The line buffer over a scripted lower writer: which bytes reach the lower
// writer, in which calls, and what stays buffered.
#include "streams/line_writer.h"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "streams/reentrant_lock.h"
#include "support/collecting_sink.h"

namespace tavo {
namespace {

// One call of the lower writer, by the bytes it was offered.
using Call = std::string;

// What one write_some call does; by default it takes everything.
struct Step {
  enum What { take, fail_os, interrupt, throw_out } what = take;
  size_t count = SIZE_MAX;  // bytes taken (take) or OS code (fail_os)
};

class ScriptedWriter final : public RawWriter {
 public:
  IoResult<size_t> write_some(std::string_view bytes) override {
    calls.emplace_back(bytes);
    marks.push_back(observed != nullptr && observed->write_in_progress());
    Step step;
    if (!script.empty()) {
      step = script.front();
      script.pop_front();
    }
    switch (step.what) {
      case Step::fail_os:
        return IoError::from_os_code(static_cast<int32_t>(step.count));
      case Step::interrupt:
        return IoError::from_kind(IoErrorKind::Interrupted);
      case Step::throw_out:
        throw std::runtime_error("unwinding");
      case Step::take:
        break;
    }
    return std::min(step.count, bytes.size());
  }

  std::vector<Call> calls;
  std::vector<bool> marks;  // the writer's mark as each call saw it
  std::deque<Step> script;
  const LineWriter* observed = nullptr;
};

using testing::outcome;

// A 1024-byte line writer with its own storage and a scripted lower writer.
struct Fixture {
  explicit Fixture(size_t capacity = 1024) : writer(storage, capacity, lower) {
    lower.observed = &writer;
  }
  IoResult<void> write(std::string_view text) {
    return writer.finish_message(writer.write_str(text));
  }

  char storage[1024];
  ScriptedWriter lower;
  LineWriter writer;
};

struct SequenceCase {
  const char* name;
  size_t capacity;
  std::vector<std::string> texts;  // handed in one by one
  std::vector<Call> expected_calls;
  std::string expected_buffered;
};

class LineWriterSequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(LineWriterSequence, PassesOnWhatTheRulesSayAndBuffersTheRest) {
  const SequenceCase& c = GetParam();
  Fixture f(c.capacity);
  for (const std::string& text : c.texts) {
    ASSERT_TRUE(f.write(text).ok()) << text.substr(0, 40);
  }
  EXPECT_EQ(f.lower.calls, c.expected_calls);
  EXPECT_EQ(f.writer.buffered(), c.expected_buffered);
}

const std::string k100(100, 'h');
const std::string k1000(1000, 'n');
const std::string k1023(1023, 'a');
const std::string k1024(1024, 'b');
const std::string k2000(2000, 'c');

INSTANTIATE_TEST_SUITE_P(
    Rules, LineWriterSequence,
    ::testing::Values(
        SequenceCase{"greeting_in_one_direct_write",
                     1024,
                     {"Guess the numberl!\n"},
                     {"Guess the numberl!\n"},
                     ""},
        SequenceCase{"echo_in_two_writes",
                     1024,
                     {"You guessed: ", "42\n", "\n"},
                     {"You guessed: 42\n", "\n"},
                     ""},
        SequenceCase{"console_line_echo_keeps_its_carriage_return",
                     1024,
                     {"You guessed: ", "42\r\n", "\n"},
                     {"You guessed: 42\r\n", "\n"},
                     ""},
        SequenceCase{
            "text_without_line_feed_is_buffered", 1024, {"abc", "def"}, {}, "abcdef"},
        SequenceCase{"buffered_text_leaves_with_the_next_line_feed",
                     1024,
                     {"abc", "def\nxy"},
                     {"abcdef\n"},
                     "xy"},
        SequenceCase{"lines_into_empty_buffer_go_direct_and_the_tail_is_buffered",
                     1024,
                     {"one\ntwo\nthr"},
                     {"one\ntwo\n"},
                     "thr"},
        SequenceCase{"1023_bytes_are_buffered", 1024, {k1023}, {}, k1023},
        SequenceCase{"1024_bytes_go_straight_out", 1024, {k1024}, {k1024}, ""},
        SequenceCase{"100_buffered_then_1000_flushes_the_100_first",
                     1024,
                     {k100, k1000},
                     {k100},
                     k1000},
        SequenceCase{"buffered_text_then_oversized_lines",
                     1024,
                     {"ab", k2000 + "\nzz"},
                     {"ab", k2000 + "\n"},
                     "zz"},
        SequenceCase{"lines_that_overflow_the_buffered_text_go_out_in_two_flushes",
                     1024,
                     {k1000, std::string(30, 'l') + "\n"},
                     {k1000, std::string(30, 'l') + "\n"},
                     ""},
        SequenceCase{"oversized_tail_goes_straight_out",
                     1024,
                     {"x\n" + k1024},
                     {"x\n", k1024},
                     ""},
        SequenceCase{"empty_texts_write_nothing", 1024, {"", "", "q", ""}, {}, "q"},
        SequenceCase{"unbuffered_writes_every_text_at_once",
                     0,
                     {"abc", "de\nfg", ""},
                     {"abc", "de\n", "fg"},
                     ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LineWriter, FlushRetriesAfterInterruptedAndFollowsPartialWrites) {
  Fixture f;
  ASSERT_TRUE(f.write("hello, ").ok());
  f.lower.script = {{Step::interrupt}, {Step::take, 3}, {Step::interrupt}, {Step::take}};
  ASSERT_TRUE(f.write("world\n").ok());
  EXPECT_EQ(f.lower.calls, (std::vector<Call>{"hello, world\n", "hello, world\n",
                                              "lo, world\n", "lo, world\n"}));
  EXPECT_EQ(f.writer.buffered(), "");
}

TEST(LineWriter, FailedPartialFlushKeepsTheRestInOrderForTheNextFlush) {
  Fixture f;
  ASSERT_TRUE(f.write("abcdef").ok());
  f.lower.script = {{Step::take, 2}, {Step::fail_os, 112}};
  EXPECT_EQ(outcome(f.write("\n")), "StorageFull 112");
  EXPECT_EQ(f.writer.buffered(), "cdef\n");

  // Text without a line feed must not be added behind a buffered line: the buffered
  // bytes are offered again, exactly those, first.
  f.lower.calls.clear();
  ASSERT_TRUE(f.write("gh").ok());
  EXPECT_EQ(f.lower.calls, (std::vector<Call>{"cdef\n"}));
  EXPECT_EQ(f.writer.buffered(), "gh");
}

TEST(LineWriter, ExplicitFlushOffersExactlyTheBytesLeftByAFailedOne) {
  Fixture f;
  ASSERT_TRUE(f.write("0123456789").ok());
  f.lower.script = {{Step::take, 4}, {Step::take, 1}, {Step::fail_os, 5}};
  ASSERT_FALSE(f.writer.flush_buffer().ok());
  EXPECT_EQ(f.writer.buffered(), "56789");
  f.lower.calls.clear();
  ASSERT_TRUE(f.writer.flush_buffer().ok());
  EXPECT_EQ(f.lower.calls, (std::vector<Call>{"56789"}));
  EXPECT_EQ(f.writer.buffered(), "");
}

TEST(LineWriter, FlushThatTakesNothingFailsWithTheBufferedDataError) {
  Fixture f;
  ASSERT_TRUE(f.write("abc").ok());
  f.lower.script = {{Step::take, 1}, {Step::take, 0}};
  EXPECT_EQ(outcome(f.write("\n")), "WriteZero: failed to write the buffered data");
  EXPECT_EQ(f.writer.buffered(), "bc\n");
}

TEST(LineWriter, OverflowFlushFailureLeavesTheNewTextOut) {
  Fixture f;
  ASSERT_TRUE(f.write(k1000).ok());
  f.lower.script = {{Step::fail_os, 232}};
  ASSERT_FALSE(f.write(k100).ok());
  EXPECT_EQ(f.writer.buffered(), k1000);
}

TEST(LineWriter, FailedDirectLineWriteSkipsTheTail) {
  Fixture f;
  f.lower.script = {{Step::fail_os, 112}};
  EXPECT_EQ(outcome(f.write("line\ntail")), "StorageFull 112");
  EXPECT_EQ(f.lower.calls, (std::vector<Call>{"line\n"}));
  EXPECT_EQ(f.writer.buffered(), "");
}

TEST(LineWriter, WriteInProgressMarkCoversBufferAndOversizedWritesOnly) {
  Fixture f;
  ASSERT_TRUE(f.write("direct line\n").ok());  // straight from the caller
  ASSERT_TRUE(f.write("held").ok());
  ASSERT_TRUE(f.write("\n").ok());   // flush of the buffer
  ASSERT_TRUE(f.write(k1024).ok());  // oversized chunk
  EXPECT_EQ(f.lower.marks, (std::vector<bool>{false, true, true}));
  EXPECT_FALSE(f.writer.write_in_progress());

  // An error return clears it as well.
  f.lower.script = {{Step::fail_os, 112}};
  ASSERT_FALSE(f.write(k1024).ok());
  EXPECT_FALSE(f.writer.write_in_progress());
}

TEST(LineWriter, FlushThatUnwindsKeepsTheMarkAndDropsOnlyTakenBytes) {
  Fixture f;
  ASSERT_TRUE(f.write("abcdef").ok());
  f.lower.script = {{Step::take, 4}, {Step::throw_out}};
  EXPECT_THROW((void)f.writer.flush_buffer(), std::runtime_error);
  EXPECT_TRUE(f.writer.write_in_progress());
  EXPECT_EQ(f.writer.buffered(), "ef");
}

TEST(LineWriter, MakeUnbufferedDropsBufferedBytesAndWritesStraightThrough) {
  Fixture f;
  ASSERT_TRUE(f.write("held").ok());
  f.writer.make_unbuffered();
  EXPECT_EQ(f.writer.buffered(), "");
  EXPECT_EQ(f.writer.capacity(), 0u);
  ASSERT_TRUE(f.write("x").ok());
  EXPECT_EQ(f.lower.calls, (std::vector<Call>{"x"}));
}

TEST(LineWriter, EachTextOfAMessageIsOneLineBufferedWrite) {
  Fixture f;
  ASSERT_TRUE(f.writer.finish_message(write_args(f.writer, "a", "b\n")).ok());
  EXPECT_EQ(f.lower.calls, (std::vector<Call>{"ab\n"}));
}

TEST(LineWriter, AMessageEndsWithTheFirstErrorAndTheNextStartsAfresh) {
  Fixture f;
  f.lower.script = {{Step::fail_os, 112}};
  EXPECT_EQ(outcome(f.writer.finish_message(write_args(f.writer, "x\n", "y\n"))),
            "StorageFull 112");
  EXPECT_EQ(f.lower.calls, (std::vector<Call>{"x\n"}));
  ASSERT_TRUE(f.writer.finish_message(write_args(f.writer, "z\n")).ok());
  EXPECT_EQ(f.lower.calls, (std::vector<Call>{"x\n", "z\n"}));
}

// The overflow of the nesting count is reached through standard output's
// lock (stdout_test, NestingPastTheLockCountIsFatal).
TEST(ReentrantLock, NestsOnTheOwningThreadAndFreesAtTheLastUnlock) {
  ReentrantLock lock;
  bool overflow = true;
  ASSERT_TRUE(lock.try_lock(overflow));
  EXPECT_FALSE(overflow);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(lock.lock()) << i;
  }
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(lock.held_by_current_thread());
    lock.unlock();
  }
  EXPECT_FALSE(lock.held_by_current_thread());
  ASSERT_TRUE(lock.try_lock(overflow));
  lock.unlock();
}

}  // namespace
}  // namespace tavo

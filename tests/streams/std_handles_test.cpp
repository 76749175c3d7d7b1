// The standard-handle layer over scripted standard handles: a console that
// records what reaches its screen, and a file whose NtWriteFile/NtReadFile
// results the test chooses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "streams/console_chunk.h"
#include "streams/std_handle.h"
#include "streams/std_handle_writer.h"
#include "streams/stderr_sink.h"
#include "streams/sync_io.h"
#include "support/collecting_sink.h"
#include "support/std_handles_fake.h"

namespace tavo {
namespace {

using platform::Handle;
using testing::outcome;
using testing::status_disk_full;
using testing::StdHandlesFake;
using Sizes = std::vector<uint32_t>;

class StdHandlesTest : public ::testing::Test {
 protected:
  StdHandlesFake fake;
  testing::ScopedPlatform use{fake};
  const Handle out = fake.out.handle;
  PendingUtf8 pending;
};

void expect_fixed_error(const IoError& error, const MessageRecord& record) {
  EXPECT_EQ(error.word(), reinterpret_cast<uintptr_t>(&record));
  EXPECT_EQ(error.kind(), record.kind);
}

// --- Console -----------------------------------------------------------------

TEST_F(StdHandlesTest, LongAsciiTextGoesToTheConsoleIn4096UnitPieces) {
  fake.out.console = true;
  const std::string text(5000, 'x');
  ASSERT_TRUE(write_all_to_handle(-11, text, pending).ok());
  EXPECT_EQ(fake.out.console_write_sizes, (Sizes{4096, 904}));
  EXPECT_EQ(fake.out.screen, std::u16string(5000, u'x'));
  EXPECT_TRUE(fake.out.writes.empty());
  for (int capacity : fake.conversion_capacities) EXPECT_EQ(capacity, 4096);
  // The handle is looked up for every platform write, never remembered.
  EXPECT_EQ(fake.lookup_ids, (std::vector<int32_t>{-11, -11}));
}

TEST_F(StdHandlesTest, CharacterSplitOverTwoWritesIsShownOnceWhole) {
  fake.out.console = true;
  EXPECT_EQ(outcome(write_std_handle(-11, "\xC3", pending)), "ok 1");
  EXPECT_TRUE(fake.out.console_write_sizes.empty());
  EXPECT_EQ(pending.count, 1);

  EXPECT_EQ(outcome(write_std_handle(-11, "\xA9", pending)), "ok 1");
  EXPECT_EQ(fake.out.screen, u"\u00E9");
  EXPECT_TRUE(pending.empty());
}

TEST_F(StdHandlesTest, HeldByteFollowedByANewCharacterIsDroppedWithAnError) {
  fake.out.console = true;
  ASSERT_TRUE(write_all_to_handle(-11, "\xC3", pending).ok());
  IoResult<size_t> result = write_std_handle(-11, "AB", pending);
  ASSERT_FALSE(result.ok());
  expect_fixed_error(result.error(), message_console_not_utf8);
  EXPECT_TRUE(pending.empty());
  EXPECT_EQ(fake.out.screen, u"");
  // The stream goes on normally afterwards.
  ASSERT_TRUE(write_all_to_handle(-11, "AB", pending).ok());
  EXPECT_EQ(fake.out.screen, u"AB");
}

TEST_F(StdHandlesTest, InvalidByteStopsAConsoleButNotAFile) {
  const std::string text =
      "ab\xFF"
      "cd\n";
  fake.out.console = true;
  IoResult<void> on_console = write_all_to_handle(-11, text, pending);
  ASSERT_FALSE(on_console.ok());
  expect_fixed_error(on_console.error(), message_console_not_utf8);
  EXPECT_EQ(fake.out.screen, u"ab");

  fake.out.console = false;
  ASSERT_TRUE(write_all_to_handle(-11, text, pending).ok());
  EXPECT_EQ(fake.out.writes, std::vector<std::string>{text});
}

TEST_F(StdHandlesTest, FourByteCharacterArrivesWholeHoweverItIsSplit) {
  const std::string grin = "\xF0\x9F\x98\x80";  // U+1F600
  const std::vector<std::vector<size_t>> splits = {
      {1, 1, 1, 1}, {3, 1}, {1, 3}, {2, 2}, {4}};
  for (const auto& split : splits) {
    StdHandlesFake console;
    console.err.console = true;
    testing::ScopedPlatform inner(console);
    PendingUtf8 held;
    size_t at = 0;
    for (size_t n : split) {
      ASSERT_TRUE(write_all_to_handle(-12, grin.substr(at, n), held).ok());
      at += n;
    }
    EXPECT_EQ(console.err.screen, u"\U0001F600") << split.size() << " pieces";
    EXPECT_EQ(console.err.console_write_sizes, Sizes{2});
    EXPECT_TRUE(held.empty());
  }
}

TEST_F(StdHandlesTest, ConsoleStoppingInsideASurrogatePairGetsTheSecondHalf) {
  // The write of the second half counts whatever its outcome.
  for (const bool second_fails : {false, true}) {
    SCOPED_TRACE(second_fails ? "second write fails" : "second write succeeds");
    StdHandlesFake console;
    console.out.console = true;
    console.out.console_writes = {{.most = 2}};  // "a" and the first half of U+1F600
    if (second_fails) console.out.console_writes.push_back({.error = 6});
    testing::ScopedPlatform inner(console);
    // "a" and the whole character, not "b".
    const std::string_view text =
        "a\xF0\x9F\x98\x80"
        "b";
    EXPECT_EQ(outcome(write_std_handle(-11, text, pending)), "ok 5");
    EXPECT_EQ(console.out.console_write_sizes, (Sizes{4, 1}));
    EXPECT_EQ(console.out.screen, second_fails ? u"a\xD83D" : u"a\U0001F600");
  }
}

TEST_F(StdHandlesTest, PartialConsoleWriteReportsTheBytesOfTheUnitsTaken) {
  // "é€x": units of 2, 3 and 1 bytes.
  const std::string text =
      "\xC3\xA9\xE2\x82\xAC"
      "x";
  const struct {
    uint32_t units;
    size_t bytes;
    // Units that the conversion reports; in the last row fewer than the text
    // needs, and only those units were shown.
    int converted = 3;
  } cases[] = {{0, 0}, {1, 2}, {2, 5}, {3, 6}, {3, 5, 2}};
  for (const auto& c : cases) {
    fake.out.console_writes = {{.most = c.units}};
    fake.out.console_write_sizes.clear();
    fake.units_reported_at_most = c.converted;
    EXPECT_EQ(outcome(ConsoleChunkWriter{out}(text)), "ok " + std::to_string(c.bytes))
        << c.units << " units";
    EXPECT_EQ(fake.out.console_write_sizes.size(), 1u);
  }
}

TEST_F(StdHandlesTest, ConsoleWriteFailureGivesTheLastError) {
  fake.out.console = true;
  fake.out.console_writes = {{.error = 6}};
  EXPECT_EQ(outcome(write_std_handle(-11, "hi", pending)), "Uncategorized 6");
}

TEST_F(StdHandlesTest, ConsoleTakingNothingFailsTheWriteAll) {
  fake.out.console = true;
  fake.out.console_writes = {{.most = 0}};
  IoResult<void> result = write_all_to_handle(-11, "hi", pending);
  ASSERT_FALSE(result.ok());
  expect_fixed_error(result.error(), message_write_whole_buffer);
}

TEST_F(StdHandlesTest, ConsoleChunkIsCutAtACharacterBoundary) {
  // 4094 ASCII bytes, then a 3-byte character across the 4096 limit.
  const std::string text = std::string(4094, 'a') + "\xE2\x82\xAC" + "tail";
  EXPECT_EQ(outcome(ConsoleChunkWriter{out}(text)), "ok 4094");
  EXPECT_EQ(fake.out.console_write_sizes, Sizes{4094});
}

// --- Files -------------------------------------------------------------------

TEST_F(StdHandlesTest, HandleTakingNothingFailsWithWriteZero) {
  fake.out.transfers = {{.most = 0}};
  IoResult<void> result = write_all_to_handle(-11, "data", pending);
  ASSERT_FALSE(result.ok());
  expect_fixed_error(result.error(), message_write_whole_buffer);
  EXPECT_EQ(fake.out.writes.size(), 1u);
}

TEST_F(StdHandlesTest, EmptyWritesMakeNoPlatformCall) {
  ASSERT_TRUE(write_all_to_handle(-11, "", pending).ok());
  EXPECT_EQ(outcome(write_std_handle(-12, "", pending)), "ok 0");
  EXPECT_TRUE(fake.lookup_ids.empty());
}

TEST_F(StdHandlesTest, PendingWriteCompletedByTheWaitSucceeds) {
  fake.out.transfers = {{.status = platform::status_pending, .most = 4}};
  EXPECT_EQ(outcome(sync_write(out, "hello", 5)), "ok 4");
  EXPECT_EQ(fake.waited, std::vector<Handle>{out});
}

TEST_F(StdHandlesTest, PendingWriteThatFailsAfterTheWaitGivesItsError) {
  fake.out.transfers = {{.status = platform::status_pending, .later = status_disk_full}};
  EXPECT_EQ(outcome(sync_write(out, "hello", 5)), "StorageFull 112");
}

TEST_F(StdHandlesTest, FailedWriteStatusMapsToItsWindowsCode) {
  fake.out.transfers = {{.status = status_disk_full}};
  EXPECT_EQ(outcome(write_all_to_handle(-11, "x", pending)), "StorageFull 112");
  EXPECT_TRUE(fake.waited.empty());
}

TEST_F(StdHandlesTest, RequestsBeyond4GiBAreTakenInClampedParts) {
  // Nothing is read from the bytes: the platform only sees lengths.
  fake.record = StdHandlesFake::Record::lengths;
  static const char anchor = 0;
  const size_t five_gib = size_t{5} << 30;
  EXPECT_EQ(outcome(sync_write(out, &anchor, five_gib)), "ok 4294967295");

  fake.out.write_lengths.clear();
  ASSERT_TRUE(
      write_all_to_handle(-11, std::string_view(&anchor, five_gib), pending).ok());
  EXPECT_EQ(fake.out.write_lengths,
            (std::vector<uint64_t>{0xFFFFFFFFu, five_gib - 0xFFFFFFFFu}));

  fake.out.transfers = {{}};
  char buffer[1];
  ASSERT_TRUE(sync_read(out, buffer, five_gib).ok());
  EXPECT_EQ(fake.out.read_lengths, std::vector<uint32_t>{0xFFFFFFFFu});
}

TEST_F(StdHandlesTest, ReadsEndOfFileAsZeroWhetherDirectOrAfterTheWait) {
  char buffer[16];
  fake.out.transfers = {{.status = platform::status_end_of_file}};
  EXPECT_EQ(outcome(sync_read(out, buffer, sizeof buffer)), "ok 0");

  fake.out.transfers = {
      {.status = platform::status_pending, .later = platform::status_end_of_file}};
  EXPECT_EQ(outcome(sync_read(out, buffer, sizeof buffer)), "ok 0");

  fake.out.transfers = {{.data = "abc"}};
  EXPECT_EQ(outcome(sync_read(out, buffer, sizeof buffer)), "ok 3");
  EXPECT_EQ(std::string(buffer, 3), "abc");

  fake.out.transfers = {{.status = testing::status_pipe_broken}};
  EXPECT_EQ(outcome(sync_read(out, buffer, sizeof buffer)), "BrokenPipe 109");
}

// --- Handles -----------------------------------------------------------------

TEST_F(StdHandlesTest, LookupReportsMissingAndInvalidHandles) {
  fake.in.given = nullptr;
  EXPECT_EQ(outcome(lookup_std_handle(-10)), "Uncategorized 6");

  fake.err.given = platform::invalid_handle_value();
  fake.lookup_error = 5;
  EXPECT_EQ(outcome(lookup_std_handle(-12)), "PermissionDenied 5");
  // Through a write, the lookup's error is the write's error.
  EXPECT_EQ(outcome(write_all_to_handle(-12, "x", pending)), "PermissionDenied 5");

  IoResult<Handle> found = lookup_std_handle(-11);
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found.value(), out);
  EXPECT_EQ(fake.lookup_ids, (std::vector<int32_t>{-10, -12, -12, -11}));
}

TEST_F(StdHandlesTest, StderrWriterKeepsItsOwnPendingBytes) {
  fake.err.console = true;
  StderrSink writer;
  ASSERT_TRUE(write_formatted(writer, "\xE2\x82").ok());
  EXPECT_TRUE(fake.err.screen.empty());
  ASSERT_TRUE(write_formatted(writer, "\xAC!").ok());
  EXPECT_EQ(fake.err.screen, u"\u20AC!");
  EXPECT_EQ(fake.lookup_ids.front(), -12);
  // A fresh writer starts empty: a continuation byte alone is invalid.
  StderrSink fresh;
  IoResult<void> result = write_formatted(fresh, "\xAC");
  ASSERT_FALSE(result.ok());
  expect_fixed_error(result.error(), message_console_not_utf8);
}

}  // namespace
}  // namespace tavo

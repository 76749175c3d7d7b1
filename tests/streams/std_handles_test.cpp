// The standard-handle layer over a scripted platform: a console that records
// what reaches its screen, and a file whose NtWriteFile/NtReadFile results
// the test chooses.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "support/fake_platform.h"
#include "support/std_handle_writes.h"

namespace tavo {
namespace {

using sys::Handle;
using sys::IoStatusBlock;
using sys::NtStatus;

const Handle fake_handle = reinterpret_cast<Handle>(uintptr_t{0x4440});

constexpr NtStatus status_success = 0;
constexpr NtStatus status_disk_full = static_cast<NtStatus>(0xC000007Fu);

// One platform that plays either a console or a file behind the standard
// handles. Conversions and status mapping use the real system.
struct ScriptedPlatform : testing::FakePlatform {
  // Standard handles.
  Handle std_handle = fake_handle;
  uint32_t last_error = 0;
  int std_handle_calls = 0;
  std::vector<int32_t> std_handle_ids;

  // Console.
  bool console = false;
  bool console_mode_preset_zero = true;
  std::u16string screen;
  std::vector<uint32_t> console_write_sizes;
  std::deque<uint32_t> console_accepts;  // per call: most units taken
  bool console_write_fails = false;
  size_t failing_console_write = 0;  // the number of the one call that fails
  std::vector<int> conversion_capacities;
  int conversion_limit = 4096;  // most units a conversion reports

  // File.
  std::string file;
  std::vector<uint64_t> write_lengths;
  std::deque<NtStatus> write_statuses;  // returned before the default
  bool record_file_bytes = true;
  bool take_nothing = false;
  // What the block holds after a wait (a completed pending transfer).
  NtStatus status_after_wait = status_success;
  uintptr_t information_after_wait = 0;
  IoStatusBlock* pending_block = nullptr;
  std::vector<Handle> waited;
  // Reads.
  std::deque<NtStatus> read_statuses;
  std::string read_data;

  Handle get_std_handle(int32_t id) override {
    ++std_handle_calls;
    std_handle_ids.push_back(id);
    return std_handle;
  }
  uint32_t get_last_error() override { return last_error; }
  bool get_console_mode(Handle h, uint32_t* mode) override {
    EXPECT_EQ(h, fake_handle);
    console_mode_preset_zero = console_mode_preset_zero && *mode == 0;
    if (console) *mode = 0x3;
    return console;
  }
  int multi_byte_to_wide_char(uint32_t cp, uint32_t flags, const char* b, int n,
                              char16_t* u, int capacity) override {
    EXPECT_EQ(cp, 65001u);
    EXPECT_EQ(flags, 8u);
    conversion_capacities.push_back(capacity);
    return std::min(conversion_limit,
                    FakePlatform::multi_byte_to_wide_char(cp, flags, b, n, u, capacity));
  }
  bool write_console_w(Handle h, const char16_t* units, uint32_t count,
                       uint32_t* written) override {
    EXPECT_EQ(h, fake_handle);
    console_write_sizes.push_back(count);
    if (console_write_fails || console_write_sizes.size() == failing_console_write) {
      last_error = 6;
      return false;
    }
    uint32_t take = count;
    if (!console_accepts.empty()) {
      take = std::min(take, console_accepts.front());
      console_accepts.pop_front();
    }
    screen.append(units, take);
    *written = take;
    return true;
  }
  NtStatus nt_write_file(Handle h, IoStatusBlock* block, const void* bytes,
                         uint32_t length) override {
    EXPECT_EQ(h, fake_handle);
    EXPECT_EQ(block->status, sys::status_pending);
    EXPECT_EQ(block->information, 0u);
    write_lengths.push_back(length);
    NtStatus status = status_success;
    if (!write_statuses.empty()) {
      status = write_statuses.front();
      write_statuses.pop_front();
    }
    if (status == sys::status_pending) {
      pending_block = block;  // completed by the wait
      return status;
    }
    if (record_file_bytes && status >= 0 && !take_nothing) {
      file.append(static_cast<const char*>(bytes), length);
    }
    block->status = status;
    block->information = take_nothing || status < 0 ? 0 : length;
    return status;
  }
  NtStatus nt_read_file(Handle h, IoStatusBlock* block, void* buffer,
                        uint32_t length) override {
    EXPECT_EQ(h, fake_handle);
    EXPECT_EQ(block->status, sys::status_pending);
    NtStatus status = status_success;
    if (!read_statuses.empty()) {
      status = read_statuses.front();
      read_statuses.pop_front();
    }
    if (status == sys::status_pending) {
      pending_block = block;
      return status;
    }
    const size_t n = std::min<size_t>(length, read_data.size());
    std::memcpy(buffer, read_data.data(), n);
    block->status = status;
    block->information = n;
    return status;
  }
  uint32_t wait_for_single_object(Handle h, uint32_t ms) override {
    waited.push_back(h);
    EXPECT_EQ(ms, sys::infinite);
    if (pending_block != nullptr) {
      pending_block->status = status_after_wait;
      pending_block->information = information_after_wait;
      pending_block = nullptr;
    }
    return 0;
  }
};

class StdHandlesTest : public ::testing::Test {
 protected:
  ScriptedPlatform fake;
  testing::ScopedPlatform use{fake};
  PendingUtf8 pending;
};

void expect_fixed_error(const IoError& error, const MessageRecord& record) {
  EXPECT_EQ(error.word(), reinterpret_cast<uintptr_t>(&record));
  EXPECT_EQ(error.kind(), record.kind);
}

// --- Console -----------------------------------------------------------------

TEST_F(StdHandlesTest, LongAsciiTextGoesToTheConsoleIn4096UnitPieces) {
  fake.console = true;
  const std::string text(5000, 'x');
  ASSERT_TRUE(write_all_to_handle(-11, text, pending).ok());
  EXPECT_EQ(fake.console_write_sizes, (std::vector<uint32_t>{4096, 904}));
  EXPECT_EQ(fake.screen, std::u16string(5000, u'x'));
  EXPECT_TRUE(fake.write_lengths.empty());
  for (int capacity : fake.conversion_capacities) EXPECT_EQ(capacity, 4096);
  EXPECT_TRUE(fake.console_mode_preset_zero);
  // The handle is looked up for every platform write, never remembered.
  EXPECT_EQ(fake.std_handle_ids, (std::vector<int32_t>{-11, -11}));
}

TEST_F(StdHandlesTest, CharacterSplitOverTwoWritesIsShownOnceWhole) {
  fake.console = true;
  IoResult<size_t> first = write_std_handle(-11, "\xC3", pending);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first.value(), 1u);
  EXPECT_TRUE(fake.console_write_sizes.empty());
  EXPECT_EQ(pending.count, 1);

  IoResult<size_t> second = write_std_handle(-11, "\xA9", pending);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second.value(), 1u);
  EXPECT_EQ(fake.screen, u"\u00E9");
  EXPECT_TRUE(pending.empty());
}

TEST_F(StdHandlesTest, HeldByteFollowedByANewCharacterIsDroppedWithAnError) {
  fake.console = true;
  ASSERT_TRUE(write_all_to_handle(-11, "\xC3", pending).ok());
  IoResult<size_t> result = write_std_handle(-11, "AB", pending);
  ASSERT_FALSE(result.ok());
  expect_fixed_error(result.error(), message_console_not_utf8);
  EXPECT_TRUE(pending.empty());
  EXPECT_EQ(fake.screen, u"");
  // The stream goes on normally afterwards.
  ASSERT_TRUE(write_all_to_handle(-11, "AB", pending).ok());
  EXPECT_EQ(fake.screen, u"AB");
}

TEST_F(StdHandlesTest, InvalidByteStopsAConsoleButNotAFile) {
  const std::string text =
      "ab\xFF"
      "cd\n";
  fake.console = true;
  IoResult<void> on_console = write_all_to_handle(-11, text, pending);
  ASSERT_FALSE(on_console.ok());
  expect_fixed_error(on_console.error(), message_console_not_utf8);
  EXPECT_EQ(fake.screen, u"ab");

  fake.console = false;
  ASSERT_TRUE(write_all_to_handle(-11, text, pending).ok());
  EXPECT_EQ(fake.file, text);
  EXPECT_EQ(fake.write_lengths, (std::vector<uint64_t>{6}));
}

TEST_F(StdHandlesTest, FourByteCharacterArrivesWholeHoweverItIsSplit) {
  const std::string grin = "\xF0\x9F\x98\x80";  // U+1F600
  const std::vector<std::vector<size_t>> splits = {
      {1, 1, 1, 1}, {3, 1}, {1, 3}, {2, 2}, {4}};
  for (const auto& split : splits) {
    ScriptedPlatform console;
    console.console = true;
    testing::ScopedPlatform inner(console);
    PendingUtf8 held;
    size_t at = 0;
    for (size_t n : split) {
      ASSERT_TRUE(write_all_to_handle(-12, grin.substr(at, n), held).ok());
      at += n;
    }
    EXPECT_EQ(console.screen, u"\U0001F600") << split.size() << " pieces";
    EXPECT_EQ(console.console_write_sizes, (std::vector<uint32_t>{2}));
    EXPECT_TRUE(held.empty());
  }
}

TEST_F(StdHandlesTest, ConsoleStoppingInsideASurrogatePairGetsTheSecondHalf) {
  // The write of the second half counts whatever its outcome.
  for (const bool second_fails : {false, true}) {
    SCOPED_TRACE(second_fails ? "second write fails" : "second write succeeds");
    ScriptedPlatform console;
    console.console = true;
    console.console_accepts = {2};  // "a" and the first half of U+1F600
    console.failing_console_write = second_fails ? 2 : 0;
    testing::ScopedPlatform inner(console);
    IoResult<size_t> result = write_std_handle(-11,
                                               "a\xF0\x9F\x98\x80"
                                               "b",
                                               pending);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), 5u);  // "a" and the whole character, not "b"
    EXPECT_EQ(console.console_write_sizes, (std::vector<uint32_t>{4, 1}));
    EXPECT_EQ(console.screen, second_fails ? u"a\xD83D" : u"a\U0001F600");
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
    ScriptedPlatform console;
    console.console = true;
    console.console_accepts = {c.units};
    console.conversion_limit = c.converted;
    testing::ScopedPlatform inner(console);
    IoResult<size_t> result = ConsoleChunkWriter{fake_handle}(text);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), c.bytes) << c.units << " units";
    EXPECT_EQ(console.console_write_sizes.size(), 1u);
  }
}

TEST_F(StdHandlesTest, ConsoleWriteFailureGivesTheLastError) {
  fake.console = true;
  fake.console_write_fails = true;
  IoResult<size_t> result = write_std_handle(-11, "hi", pending);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().raw_os_error(), 6);
}

TEST_F(StdHandlesTest, ConsoleTakingNothingFailsTheWriteAll) {
  fake.console = true;
  fake.console_accepts = {0};
  IoResult<void> result = write_all_to_handle(-11, "hi", pending);
  ASSERT_FALSE(result.ok());
  expect_fixed_error(result.error(), message_write_whole_buffer);
}

TEST_F(StdHandlesTest, ConsoleChunkIsCutAtACharacterBoundary) {
  fake.console = true;
  // 4094 ASCII bytes, then a 3-byte character across the 4096 limit.
  const std::string text = std::string(4094, 'a') + "\xE2\x82\xAC" + "tail";
  IoResult<size_t> result = ConsoleChunkWriter{fake_handle}(text);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value(), 4094u);
  EXPECT_EQ(fake.console_write_sizes, (std::vector<uint32_t>{4094}));
}

// --- Files -------------------------------------------------------------------

TEST_F(StdHandlesTest, HandleTakingNothingFailsWithWriteZero) {
  fake.take_nothing = true;
  IoResult<void> result = write_all_to_handle(-11, "data", pending);
  ASSERT_FALSE(result.ok());
  expect_fixed_error(result.error(), message_write_whole_buffer);
  EXPECT_EQ(fake.write_lengths.size(), 1u);
}

TEST_F(StdHandlesTest, EmptyWritesMakeNoPlatformCall) {
  ASSERT_TRUE(write_all_to_handle(-11, "", pending).ok());
  IoResult<size_t> once = write_std_handle(-12, "", pending);
  ASSERT_TRUE(once.ok());
  EXPECT_EQ(once.value(), 0u);
  EXPECT_EQ(fake.std_handle_calls, 0);
}

TEST_F(StdHandlesTest, PendingWriteCompletedByTheWaitSucceeds) {
  fake.write_statuses = {sys::status_pending};
  fake.information_after_wait = 5;
  IoResult<size_t> result = sync_write(fake_handle, "hello", 5);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value(), 5u);
  EXPECT_EQ(fake.waited, (std::vector<Handle>{fake_handle}));
}

TEST_F(StdHandlesTest, PendingWriteThatFailsAfterTheWaitGivesItsError) {
  fake.write_statuses = {sys::status_pending};
  fake.status_after_wait = status_disk_full;
  IoResult<size_t> result = sync_write(fake_handle, "hello", 5);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().raw_os_error(), 112);
  EXPECT_EQ(result.error().kind(), IoErrorKind::StorageFull);
}

TEST_F(StdHandlesTest, FailedWriteStatusMapsToItsWindowsCode) {
  fake.write_statuses = {status_disk_full};
  IoResult<void> result = write_all_to_handle(-11, "x", pending);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().raw_os_error(), 112);
  EXPECT_TRUE(fake.waited.empty());
}

TEST_F(StdHandlesTest, RequestsBeyond4GiBAreTakenInClampedParts) {
  // Nothing is read from the bytes: the platform only sees lengths.
  fake.record_file_bytes = false;
  static const char anchor = 0;
  const size_t five_gib = size_t{5} << 30;
  IoResult<size_t> once = sync_write(fake_handle, &anchor, five_gib);
  ASSERT_TRUE(once.ok());
  EXPECT_EQ(once.value(), 0xFFFFFFFFu);

  fake.write_lengths.clear();
  ASSERT_TRUE(
      write_all_to_handle(-11, std::string_view(&anchor, five_gib), pending).ok());
  EXPECT_EQ(fake.write_lengths,
            (std::vector<uint64_t>{0xFFFFFFFFu, five_gib - 0xFFFFFFFFu}));

  fake.read_statuses = {status_success};
  char buffer[1];
  ASSERT_TRUE(sync_read(fake_handle, buffer, five_gib).ok());
}

TEST_F(StdHandlesTest, ReadsEndOfFileAsZeroWhetherDirectOrAfterTheWait) {
  char buffer[16];
  fake.read_statuses = {sys::status_end_of_file};
  IoResult<size_t> direct = sync_read(fake_handle, buffer, sizeof buffer);
  ASSERT_TRUE(direct.ok());
  EXPECT_EQ(direct.value(), 0u);

  fake.read_statuses = {sys::status_pending};
  fake.status_after_wait = sys::status_end_of_file;
  IoResult<size_t> waited = sync_read(fake_handle, buffer, sizeof buffer);
  ASSERT_TRUE(waited.ok());
  EXPECT_EQ(waited.value(), 0u);

  fake.read_data = "abc";
  fake.read_statuses = {status_success};
  IoResult<size_t> data = sync_read(fake_handle, buffer, sizeof buffer);
  ASSERT_TRUE(data.ok());
  EXPECT_EQ(std::string(buffer, data.value()), "abc");

  fake.read_statuses = {static_cast<NtStatus>(0xC000014Bu)};  // STATUS_PIPE_BROKEN
  IoResult<size_t> broken = sync_read(fake_handle, buffer, sizeof buffer);
  ASSERT_FALSE(broken.ok());
  EXPECT_EQ(broken.error().raw_os_error(), 109);
  EXPECT_EQ(broken.error().kind(), IoErrorKind::BrokenPipe);
}

// --- Handles -----------------------------------------------------------------

TEST_F(StdHandlesTest, LookupReportsMissingAndInvalidHandles) {
  fake.std_handle = nullptr;
  IoResult<Handle> missing = lookup_std_handle(-10);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().raw_os_error(), 6);

  fake.std_handle = sys::invalid_handle_value();
  fake.last_error = 5;
  IoResult<Handle> invalid = lookup_std_handle(-12);
  ASSERT_FALSE(invalid.ok());
  EXPECT_EQ(invalid.error().raw_os_error(), 5);

  // Through a write, the lookup's error is the write's error.
  IoResult<void> write = write_all_to_handle(-12, "x", pending);
  ASSERT_FALSE(write.ok());
  EXPECT_EQ(write.error().raw_os_error(), 5);

  fake.std_handle = fake_handle;
  IoResult<Handle> found = lookup_std_handle(-11);
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found.value(), fake_handle);
  EXPECT_EQ(fake.std_handle_ids, (std::vector<int32_t>{-10, -12, -12, -11}));
}

TEST_F(StdHandlesTest, StderrWriterKeepsItsOwnPendingBytes) {
  fake.console = true;
  StderrSink writer;
  ASSERT_TRUE(write_formatted(writer, "\xE2\x82").ok());
  EXPECT_TRUE(fake.screen.empty());
  ASSERT_TRUE(write_formatted(writer, "\xAC!").ok());
  EXPECT_EQ(fake.screen, u"\u20AC!");
  EXPECT_EQ(fake.std_handle_ids.front(), -12);
  // A fresh writer starts empty: a continuation byte alone is invalid.
  StderrSink fresh;
  IoResult<void> result = write_formatted(fresh, "\xAC");
  ASSERT_FALSE(result.ok());
  expect_fixed_error(result.error(), message_console_not_utf8);
}

}  // namespace
}  // namespace tavo

// The standard-handle layer against the real system: pipes, files, devices,
// a headless console, and a transfer that never completes (in a child).
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "harness/process_harness.h"
#include "platform/windows_api.h"
#include "streams/console_chunk.h"
#include "streams/std_handle.h"
#include "streams/std_handle_writer.h"
#include "streams/stderr_sink.h"
#include "streams/sync_io.h"
#include "support/collecting_sink.h"
#include "support/trace_text.h"
#include "support/where_tests_run.h"

namespace tavo {
namespace {

using harness::ChildResult;
using harness::ChildSpec;
using harness::escaped;
using harness::hex_status;
using harness::Input;
using harness::Output;
using testing::outcome;

struct OwnedHandle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  explicit OwnedHandle(HANDLE h) : handle(h) {}
  ~OwnedHandle() {
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
};

std::wstring temp_file_path() {
  wchar_t dir[MAX_PATH];
  wchar_t path[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  GetTempFileNameW(dir, L"hdl", 0, path);
  return path;
}

TEST(StdHandlesWineTest, PipeReceivesTheBytesUnchanged) {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
  OwnedHandle reader(read_end), writer(write_end);
  const std::string bytes =
      "ab\xFF"
      "cd\n\r\x00z";
  const std::string count = "ok " + std::to_string(bytes.size());
  EXPECT_EQ(outcome(sync_write(write_end, bytes.data(), bytes.size())), count);
  EXPECT_FALSE(is_console(write_end));

  char buffer[64];
  EXPECT_EQ(outcome(sync_read(read_end, buffer, sizeof buffer)), count);
  EXPECT_EQ(std::string(buffer, bytes.size()), bytes);

  // With the writer gone, reading is a broken pipe, not the end of a file.
  CloseHandle(writer.handle);
  writer.handle = INVALID_HANDLE_VALUE;
  EXPECT_EQ(outcome(sync_read(read_end, buffer, sizeof buffer)), "BrokenPipe 109");
}

TEST(StdHandlesWineTest, FileIsWrittenAtItsPositionAndReadsZeroAtItsEnd) {
  const std::wstring path = temp_file_path();
  {
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
    ASSERT_NE(file.handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(sync_write(file.handle, "first ", 6).ok());
    EXPECT_EQ(outcome(sync_write(file.handle, "second", 6)), "ok 6");

    char buffer[32];
    EXPECT_EQ(outcome(sync_read(file.handle, buffer, sizeof buffer)), "ok 0");

    SetFilePointer(file.handle, 0, nullptr, FILE_BEGIN);
    EXPECT_EQ(outcome(sync_read(file.handle, buffer, sizeof buffer)), "ok 12");
    EXPECT_EQ(std::string(buffer, 12), "first second");
    EXPECT_EQ(outcome(sync_read(file.handle, buffer, sizeof buffer)), "ok 0");
  }
  DeleteFileW(path.c_str());
}

TEST(StdHandlesWineTest, NulDeviceTakesEverythingAndReadsNothing) {
  OwnedHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr));
  ASSERT_NE(nul.handle, INVALID_HANDLE_VALUE);
  const std::string bytes(10000, 'n');
  EXPECT_EQ(outcome(sync_write(nul.handle, bytes.data(), bytes.size())), "ok 10000");
  char buffer[8];
  EXPECT_EQ(outcome(sync_read(nul.handle, buffer, sizeof buffer)), "ok 0");
}

TEST(StdHandlesWineTest, FullDeviceGivesDiskFull) {
  const wchar_t* device = testing::system_facts().full_device;
  if (!device) GTEST_SKIP() << testing::no_full_device;
  OwnedHandle full(CreateFileW(device, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_NE(full.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(outcome(sync_write(full.handle, "x", 1)), "StorageFull 112");
}

// --- Through standard output in a child --------------------------------------

ChildResult run_helper(const char* mode, Output out, Input in = Input::nul()) {
  ChildSpec launch;
  launch.program = harness::sibling_program(L"handles_child.exe");
  launch.args = {std::wstring(mode, mode + std::strlen(mode))};
  launch.in = in;
  launch.out = out;
  return harness::run_child(launch);
}

TEST(StdHandlesWineTest, StandardOutputPassesBytesUnchangedToPipeAndFile) {
  for (Output out : {Output::pipe(), Output::file()}) {
    ChildResult r = run_helper("write-invalid", out);
    ASSERT_EQ(r.setup_error, "");
    EXPECT_EQ(r.exit_status, 0u) << hex_status(r.exit_status);
    EXPECT_EQ(r.out,
              "ab\xFF"
              "cd\n")
        << escaped(r.out);
    EXPECT_EQ(r.err, "ok\n");
  }
}

TEST(StdHandlesWineTest, StandardOutputToTheDevices) {
  const struct {
    Output out;
    const char* err;
  } cases[] = {
      {Output::nul(), "ok\n"},
      {Output::full(), "error StorageFull 112\n"},
      {Output::null(), "error Uncategorized 6\n"},
  };
  const bool full_device = testing::system_facts().full_device != nullptr;
  for (const auto& c : cases) {
    if (c.out.kind == Output::Kind::full && !full_device) continue;  // skipped below
    ChildResult r = run_helper("write-line", c.out);
    ASSERT_EQ(r.setup_error, "");
    EXPECT_EQ(r.err, c.err) << escaped(r.err);
    EXPECT_EQ(r.out, "");
  }
  if (!full_device) GTEST_SKIP() << testing::no_full_device;
}

TEST(StdHandlesWineTest, ConsoleShowsSplitCharactersWhole) {
  ChildSpec launch;
  launch.program = harness::sibling_program(L"handles_child.exe");
  launch.args = {L"console"};
  launch.out = Output::console();
  ChildResult r = harness::run_child(launch);
  ASSERT_EQ(r.setup_error, "");
  EXPECT_EQ(r.exit_status, 0u) << hex_status(r.exit_status);
  EXPECT_EQ(r.screen, testing::as_on_screen(u"plain ASCII\n\u00E9\U0001F600"))
      << escaped(r.screen);
}

TEST(StdHandlesWineTest, TransferStillPendingAfterTheWaitAborts) {
  const std::string line =
      "fatal runtime error: I/O error: operation failed to complete synchronously\n";
  for (const char* mode : {"pending-write", "pending-read"}) {
    ChildResult r = run_helper(mode, Output::pipe(), Input::open_pipe());
    ASSERT_EQ(r.setup_error, "");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0xC0000409u) << mode << " " << hex_status(r.exit_status);
    EXPECT_EQ(r.err, line) << mode << " " << escaped(r.err);
    EXPECT_EQ(r.out, "");
  }
}

TEST(StdHandlesWineTest, AbortWhoseOwnLineCannotBeWrittenEndsWithoutIt) {
  ChildResult r = run_helper("pending-all", Output::pipe());
  ASSERT_EQ(r.setup_error, "");
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0xC0000409u) << hex_status(r.exit_status);
  EXPECT_EQ(r.err, "");
}

TEST(StdHandlesWineTest, FailedConversionIsAFatalFailure) {
  ChildSpec launch;
  launch.program = harness::sibling_program(L"handles_child.exe");
  launch.args = {L"conversion-fails"};
  launch.env_changes = {{u"TAVO_BACKTRACE", std::nullopt}};
  ChildResult r = harness::run_child(launch);
  ASSERT_EQ(r.setup_error, "");
  EXPECT_EQ(r.exit_status, 101u) << hex_status(r.exit_status);
  const std::string head =
      "thread 'main' panicked at 'Unexpected error in MultiByteToWideChar', ";
  const std::string& note = testing::report_hint;
  ASSERT_GT(r.err.size(), head.size() + note.size()) << escaped(r.err);
  EXPECT_EQ(r.err.substr(0, head.size()), head) << escaped(r.err);
  EXPECT_NE(r.err.find("console_chunk.cpp:"), std::string::npos) << escaped(r.err);
  EXPECT_EQ(r.err.substr(r.err.size() - note.size()), note) << escaped(r.err);
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace tavo

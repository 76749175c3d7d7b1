// The error value: its four representations, their kinds, both text forms,
// ownership of a custom payload, failing sinks and what allocates.
#include "errors/io_error.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "errors/formatted_write.h"
#include "errors/quoted.h"
#include "message_platform.h"
#include "support/collecting_sink.h"

// Outside Windows the heap can be made to fail: the next unaligned request
// throws, as the standard allocator does when memory runs out. (On Windows the
// program's own operator new ends the process instead.)
#ifndef _WIN32
namespace {
bool fail_next_request = false;
}  // namespace

void* operator new(std::size_t size) {
  if (fail_next_request) {
    fail_next_request = false;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace tavo {
namespace {

using testing::CollectingSink;
using testing::fake_ntdll;
using testing::MessagePlatform;
using testing::ScopedPlatform;

using testing::debug_text;
using testing::display_text;

// An error object that counts how often it is released.
struct alignas(32) Payload {
  int* releases;
  const char* note;

  Payload(int* r, const char* n) : releases(r), note(n) {}
  Payload(Payload&& other) noexcept : releases(other.releases), note(other.note) {
    other.releases = nullptr;
  }
  ~Payload() {
    if (releases != nullptr) ++*releases;
  }
  bool write_debug(TextSink& out) const {
    return out.write_str("Payload(") && write_quoted(out, note) && out.write_str(")");
  }
  bool write_display(TextSink& out) const {
    return out.write_str("payload: ") && out.write_str(note);
  }
};

TEST(IoErrorTest, StaticMessages) {
  struct Row {
    const MessageRecord& record;
    IoErrorKind kind;
    const char* text;
  };
  const Row rows[] = {
      {message_invalid_utf8, IoErrorKind::InvalidData,
       "stream did not contain valid UTF-8"},
      {message_unpaired_surrogate, IoErrorKind::InvalidData,
       "Windows stdin in console mode does not support non-UTF-16 input; encountered "
       "unpaired surrogate"},
      {message_console_not_utf8, IoErrorKind::InvalidData,
       "Windows stdio in console mode does not support writing non-UTF-8 byte sequences"},
      {message_write_whole_buffer, IoErrorKind::WriteZero,
       "failed to write whole buffer"},
      {message_write_buffered_data, IoErrorKind::WriteZero,
       "failed to write the buffered data"},
      {message_formatter_error, IoErrorKind::Uncategorized, "formatter error"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&row.record) % 8, 0u);
    IoError error = IoError::from_static(row.record);
    EXPECT_EQ(error.kind(), row.kind);
    EXPECT_EQ(error.raw_os_error(), std::nullopt);
    EXPECT_EQ(error.word(), reinterpret_cast<uintptr_t>(&row.record));
    EXPECT_EQ(display_text(error), row.text);
    EXPECT_EQ(debug_text(error), "Error { kind: " + std::string(debug_name(row.kind)) +
                                     ", message: \"" + row.text + "\" }");
  }
}

TEST(IoErrorTest, BareKinds) {
  IoError not_found = IoError::from_kind(IoErrorKind::NotFound);
  EXPECT_EQ(display_text(not_found), "entity not found");
  EXPECT_EQ(debug_text(not_found), "Kind(NotFound)");
  EXPECT_EQ(not_found.word(), 3u);
  for (int n = 0; n < io_error_kind_count; ++n) {
    auto kind = static_cast<IoErrorKind>(n);
    IoError error = IoError::from_kind(kind);
    EXPECT_EQ(error.kind(), kind);
    EXPECT_EQ(error.raw_os_error(), std::nullopt);
    EXPECT_EQ(error.word(), (uint64_t(n) << 32) | 3);
    EXPECT_EQ(display_text(error), description(kind));
    EXPECT_EQ(debug_text(error), "Kind(" + std::string(debug_name(kind)) + ")");
  }
}

TEST(IoErrorTest, ImpossibleKindNumbersReadAsUncategorizedEverywhere) {
  const auto impossible = static_cast<IoErrorKind>(io_error_kind_count);
  static constexpr MessageRecord odd_record{"odd", 3, static_cast<IoErrorKind>(99)};
  int releases = 0;
  struct Row {
    IoError error;
    const char* debug;
  } rows[] = {
      {IoError::from_kind(impossible), "Kind(Uncategorized)"},
      {IoError::from_kind(static_cast<IoErrorKind>(255)), "Kind(Uncategorized)"},
      {IoError::from_static(odd_record),
       R"(Error { kind: Uncategorized, message: "odd" })"},
      {IoError::custom(impossible, Payload(&releases, "p")),
       R"(Custom { kind: Uncategorized, error: Payload("p") })"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.error.kind(), IoErrorKind::Uncategorized) << row.debug;
    EXPECT_EQ(debug_text(row.error), row.debug);
  }
  EXPECT_EQ(display_text(rows[0].error), "uncategorized error");
}

TEST(IoErrorTest, OsCodesKeepTheCodeAndComputeTheKind) {
  const int32_t codes[] = {0,     2,          6,  109,       232,      995,
                           10013, 0x10000002, -1, INT32_MIN, INT32_MAX};
  for (int32_t code : codes) {
    IoError error = IoError::from_os_code(code);
    EXPECT_EQ(error.raw_os_error(), code);
    EXPECT_TRUE(error.is_os_code(code));
    EXPECT_EQ(error.kind(), kind_from_os_code(code));
    EXPECT_EQ(error.word(), (uint64_t(uint32_t(code)) << 32) | 2);
  }
  EXPECT_EQ(IoError::from_os_code(995).kind(), IoErrorKind::TimedOut);
  EXPECT_EQ(IoError::from_os_code(109).kind(), IoErrorKind::BrokenPipe);
  EXPECT_FALSE(IoError::from_kind(IoErrorKind::NotFound).is_os_code(2));
}

struct OsFormCase {
  const char* name;
  int32_t code;
  std::u16string system_text;
  bool lookup_fails;
  bool ntdll;
  std::string display;
  std::string debug;
};

TEST(IoErrorTest, OsCodeFormsAroundTheSystemText) {
  const OsFormCase cases[] = {
      {"plain", 2, u"File not found.\r\n", false, false, "File not found. (os error 2)",
       "Os { code: 2, kind: NotFound, message: \"File not found.\" }"},
      {"quote and backslash", 123, u"Bad \"C:\\x\" name.\r\n", false, false,
       "Bad \"C:\\x\" name. (os error 123)",
       R"(Os { code: 123, kind: InvalidFilename, message: "Bad \"C:\\x\" name." })"},
      {"inner line break", 5, u"Denied.\r\nReally.\r\n", false, false,
       "Denied.\r\nReally. (os error 5)",
       R"(Os { code: 5, kind: PermissionDenied, message: "Denied.\r\nReally." })"},
      {"all white space", 7, u" \r\n\t", false, false, " (os error 7)",
       "Os { code: 7, kind: Uncategorized, message: \"\" }"},
      {"negative", INT32_MIN, u"Odd.", false, false, "Odd. (os error -2147483648)",
       "Os { code: -2147483648, kind: Uncategorized, message: \"Odd.\" }"},
      {"lookup fails", 5, u"", true, false,
       "OS Error 5 (FormatMessageW() returned error 1813) (os error 5)",
       "Os { code: 5, kind: PermissionDenied, message: \"OS Error 5 (FormatMessageW() "
       "returned error 1813)\" }"},
      {"ntdll lookup fails", 0x10000002, u"", true, true,
       "OS Error 2 (FormatMessageW() returned error 1813) (os error 268435458)",
       "Os { code: 268435458, kind: Uncategorized, message: \"OS Error 2 "
       "(FormatMessageW() returned error 1813)\" }"},
      {"not UTF-16", 109, u"Pipe\xDC00", false, false,
       "OS Error 109 (FormatMessageW() returned invalid UTF-16) (os error 109)",
       "Os { code: 109, kind: BrokenPipe, message: \"OS Error 109 (FormatMessageW() "
       "returned invalid UTF-16)\" }"},
  };
  for (const OsFormCase& c : cases) {
    SCOPED_TRACE(c.name);
    MessagePlatform fake;
    fake.text = c.system_text;
    fake.fail = c.lookup_fails;
    fake.last_error = 1813;
    fake.ntdll = c.ntdll ? fake_ntdll() : nullptr;
    ScopedPlatform use(fake);
    IoError error = IoError::from_os_code(c.code);
    EXPECT_EQ(display_text(error), c.display);
    EXPECT_EQ(debug_text(error), c.debug);
    // Nothing is cached: every form asks the system again.
    EXPECT_EQ(fake.format_calls, 2);
  }
}

TEST(IoErrorTest, CustomPayloadFormsAndRelease) {
  int releases = 0;
  {
    IoError error =
        IoError::custom(IoErrorKind::Other, Payload(&releases, "bad \"thing\""));
    EXPECT_EQ(error.word() & 3, 1u);
    EXPECT_EQ(error.kind(), IoErrorKind::Other);
    EXPECT_EQ(error.raw_os_error(), std::nullopt);
    EXPECT_EQ(display_text(error), "payload: bad \"thing\"");
    EXPECT_EQ(debug_text(error),
              R"(Custom { kind: Other, error: Payload("bad \"thing\"") })");
    EXPECT_EQ(releases, 0);
  }
  EXPECT_EQ(releases, 1);
}

TEST(IoErrorTest, OwnershipMovesAndEveryAllocationIsFreedOnce) {
  int first = 0;
  int second = 0;
  MessagePlatform heap;
  ScopedPlatform use(heap);
  testing::AllocationWindow window(heap);
  {
    IoError a = IoError::custom(IoErrorKind::Other, Payload(&first, "a"));
    // The object's storage and the record.
    EXPECT_EQ(window.allocations(), 2u);
    IoError b = std::move(a);
    EXPECT_EQ(a.kind(), IoErrorKind::Uncategorized);
    CollectingSink out;
    EXPECT_TRUE(a.write_debug(out));
    EXPECT_EQ(out.text(), "Kind(Uncategorized)");
    EXPECT_EQ(b.kind(), IoErrorKind::Other);
    IoError c = IoError::custom(IoErrorKind::InvalidInput, Payload(&second, "c"));
    c = std::move(b);  // releases the payload c held
    EXPECT_EQ(second, 1);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(display_text(c), "payload: a");
    IoError& alias = c;
    c = std::move(alias);  // self-assignment keeps the payload
    EXPECT_EQ(first, 0);
    IoResult<int> result(std::move(c));
    IoResult<int> moved(std::move(result));
    EXPECT_FALSE(moved.ok());
    EXPECT_EQ(moved.error().kind(), IoErrorKind::Other);
  }
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(window.allocations(), 4u);
  EXPECT_EQ(window.frees(), 4u);
}

TEST(IoErrorTest, PayloadThatRaisesWhileMovedInLeavesNoAllocation) {
  struct RaisingPayload {
    RaisingPayload() = default;
    RaisingPayload(RaisingPayload&&) { throw 7; }
    bool write_debug(TextSink&) const { return true; }
    bool write_display(TextSink&) const { return true; }
  };
  MessagePlatform heap;
  ScopedPlatform use(heap);
  testing::AllocationWindow window(heap);
  EXPECT_THROW((void)IoError::custom(IoErrorKind::Other, RaisingPayload{}), int);
  EXPECT_EQ(window.allocations(), 1u);  // the object's storage, given back
  EXPECT_EQ(window.frees(), 1u);
}

#ifndef _WIN32
TEST(IoErrorTest, CustomPayloadIsReleasedWhenItsRecordCannotBeMade) {
  // The payload's own storage is an aligned request; the record after it is
  // the unaligned one that fails. The sanitizers see the storage's fate.
  int releases = 0;
  fail_next_request = true;
  EXPECT_THROW((void)IoError::custom(IoErrorKind::Other, Payload(&releases, "p")),
               std::bad_alloc);
  EXPECT_FALSE(fail_next_request);
  EXPECT_EQ(releases, 1);
}
#endif

TEST(IoErrorTest, CustomPayloadWithoutStorageIsReleasedButNotFreed) {
  static int releases = 0;
  static const char object[] = "static object";
  static constexpr CustomErrorOps ops{
      [](void*) { ++releases; },
      0,
      1,
      [](const void* o, TextSink& out) {
        return out.write_str(static_cast<const char*>(o));
      },
      [](const void*, TextSink& out) { return out.write_str("shown"); },
  };
  MessagePlatform heap;
  ScopedPlatform use(heap);
  testing::AllocationWindow window(heap);
  {
    IoError error =
        IoError::custom(IoErrorKind::Unsupported, const_cast<char*>(object), ops);
    CollectingSink out;
    EXPECT_TRUE(error.write_display(out));
    EXPECT_TRUE(error.write_debug(out));
    EXPECT_EQ(out.text(), "shownCustom { kind: Unsupported, error: static object }");
  }
  EXPECT_EQ(releases, 1);
  EXPECT_EQ(window.allocations(), 1u);  // the record only
  EXPECT_EQ(window.frees(), 1u);
}

TEST(IoErrorTest, CreatingPlainValuesAllocatesNothing) {
  MessagePlatform fake;
  fake.last_error = 232;
  ScopedPlatform use(fake);
  testing::AllocationWindow window(fake);
  {
    IoError os = IoError::from_os_code(2);
    IoError last = IoError::last_os_error();
    IoError fixed = IoError::from_static(message_invalid_utf8);
    IoError bare = IoError::from_kind(IoErrorKind::BrokenPipe);
    IoError moved = std::move(os);
    EXPECT_EQ(last.kind(), IoErrorKind::BrokenPipe);
    EXPECT_EQ(moved.kind(), IoErrorKind::NotFound);
    EXPECT_EQ(fixed.kind(), IoErrorKind::InvalidData);
    EXPECT_EQ(bare.kind(), IoErrorKind::BrokenPipe);
    // The forms of these three allocate nothing either.
    CollectingSink out;
    EXPECT_TRUE(fixed.write_debug(out) && fixed.write_display(out) &&
                bare.write_debug(out) && bare.write_display(out));
  }
  EXPECT_EQ(window.allocations(), 0u);
  EXPECT_EQ(window.frees(), 0u);
}

TEST(IoErrorTest, OsCodeFormsFreeTheirText) {
  MessagePlatform fake;
  fake.reserve();
  fake.text = std::u16string(700, u'm') + u"\r\n";
  ScopedPlatform use(fake);
  IoError error = IoError::from_os_code(2);
  testing::AllocationWindow window(fake);
  CollectingSink out;
  EXPECT_TRUE(error.write_display(out));
  EXPECT_TRUE(error.write_debug(out));
  EXPECT_GT(window.allocations(), 0u);
  EXPECT_EQ(window.allocations(), window.frees());
}

// Every form of every representation, cut off at each of its sink calls.
TEST(IoErrorTest, FailingSinkStopsTheFormAtThatCall) {
  MessagePlatform fake;
  fake.reserve();
  fake.text = u"Bad \"x\\y\"\r\n\u0301 text.\r\n";
  ScopedPlatform use(fake);
  int releases = 0;
  std::vector<IoError> errors;
  errors.push_back(IoError::from_os_code(123));
  errors.push_back(IoError::from_os_code(INT32_MIN));
  errors.push_back(IoError::from_static(message_unpaired_surrogate));
  errors.push_back(IoError::from_kind(IoErrorKind::NotFound));
  errors.push_back(IoError::custom(IoErrorKind::Other, Payload(&releases, "p\tq")));

  using Form = bool (IoError::*)(TextSink&) const;
  const Form forms[] = {&IoError::write_display, &IoError::write_debug};
  for (size_t e = 0; e < errors.size(); ++e) {
    for (Form form : forms) {
      CollectingSink full;
      ASSERT_TRUE((errors[e].*form)(full));
      for (int n = 1; n <= full.calls(); ++n) {
        SCOPED_TRACE(::testing::Message() << "error " << e << ", failing call " << n);
        testing::AllocationWindow window(fake);
        CollectingSink out(n);
        EXPECT_FALSE((errors[e].*form)(out));
        EXPECT_EQ(out.calls(), n);
        EXPECT_EQ(out.text(), full.text().substr(0, out.text().size()));
        EXPECT_EQ(window.allocations(), window.frees());
      }
    }
  }
  errors.clear();
  EXPECT_EQ(releases, 1);
}

// The forms through a sink of the layer below: the sink's own error comes back.
class FailingSink final : public ErrorKeepingSink {
 public:
  explicit FailingSink(int fail_at) : fail_at_(fail_at) {}
  bool write_str(std::string_view text) override {
    if (!accepting()) return false;
    if (++calls_ == fail_at_) return keep(IoError::from_os_code(232));
    taken_ += text;
    return true;
  }
  int calls_ = 0;
  std::string taken_;

 private:
  int fail_at_;
};

TEST(IoErrorTest, SinkFailureComesBackUnchanged) {
  IoError error = IoError::from_static(message_invalid_utf8);
  for (int n = 1; n <= 5; ++n) {
    FailingSink sink(n);
    IoResult<void> result = write_formatted(sink, "Failed: ", debug(error));
    ASSERT_FALSE(result.ok()) << n;
    EXPECT_EQ(result.error().raw_os_error(), 232);
    EXPECT_EQ(sink.calls_, n);
  }
  FailingSink sink(0);
  EXPECT_TRUE(write_formatted(sink, "Failed: ", debug(error)).ok());
  EXPECT_EQ(sink.taken_,
            "Failed: Error { kind: InvalidData, message: \"stream did not contain valid "
            "UTF-8\" }");
}

}  // namespace
}  // namespace tavo

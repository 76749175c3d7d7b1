// The formatted write: texts reach the sink one per call, in order; the
// first failure stops the message; a conversion failing on its own gives
// "formatter error"; literals and integers need no heap.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "errors/formatted_write.h"

// Every heap request of this program is counted, so a test can see whether a
// call made one. On Windows the program's own operator new counts them;
// elsewhere this test counts them itself.
#ifdef _WIN32
#include "runtime/allocation.h"
namespace {
uint64_t heap_requests() { return tavo::allocation_count(); }
}  // namespace
#else
namespace {
uint64_t heap_request_count = 0;
uint64_t heap_requests() { return heap_request_count; }
}  // namespace

void* operator new(std::size_t size) {
  ++heap_request_count;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace tavo {
namespace {

// Records each call; fails the call numbered `fail_at` (from 1) and every
// later one. Like every sink, it takes nothing after a failure until the
// message is finished.
struct RecordingSink final : ErrorKeepingSink {
  std::vector<std::string> calls;
  size_t fail_at = 0;

  bool write_str(std::string_view text) override {
    if (!accepting()) return false;
    calls.emplace_back(text);
    if (fail_at != 0 && calls.size() >= fail_at) {
      return keep(IoError::from_os_code(static_cast<int32_t>(1000 + calls.size())));
    }
    return true;
  }
};

// Writes "<", its value, ">" as three pieces.
struct Bracketed {
  int value;
  bool write_to(TextSink& out) const {
    return out.write_str("<") && write_arg(out, value) && out.write_str(">");
  }
};

// A conversion that fails by itself after writing `before` pieces.
struct FailingConversion {
  int before;
  bool write_to(TextSink& out) const {
    for (int i = 0; i < before; ++i) {
      if (!out.write_str("part")) return false;
    }
    return false;
  }
};

// A faulty conversion that ignores a failed piece and claims success.
struct IgnoresFailure {
  bool write_to(TextSink& out) const {
    (void)out.write_str("first");
    (void)out.write_str("second");
    return true;
  }
};

TEST(FormattedWriteTest, EachTextIsOneCallInOrder) {
  RecordingSink sink;
  ASSERT_TRUE(write_formatted(sink, "x = ", -42,
                              ", y = ", uint64_t{18446744073709551615u},
                              std::string_view(""), Bracketed{7}, "\n")
                  .ok());
  EXPECT_EQ(sink.calls,
            (std::vector<std::string>{"x = ", "-42", ", y = ", "18446744073709551615", "",
                                      "<", "7", ">", "\n"}));
}

TEST(FormattedWriteTest, IntegersAreWrittenInDecimal) {
  const struct {
    std::string written;
    std::string expected;
  } cases[] = {
      {[] {
         RecordingSink s;
         (void)write_formatted(s, 0);
         return s.calls[0];
       }(),
       "0"},
      {[] {
         RecordingSink s;
         (void)write_formatted(s, std::numeric_limits<int64_t>::min());
         return s.calls[0];
       }(),
       "-9223372036854775808"},
      {[] {
         RecordingSink s;
         (void)write_formatted(s, std::numeric_limits<int32_t>::min());
         return s.calls[0];
       }(),
       "-2147483648"},
      {[] {
         RecordingSink s;
         (void)write_formatted(s, uint8_t{255});
         return s.calls[0];
       }(),
       "255"},
      {[] {
         RecordingSink s;
         (void)write_formatted(s, int8_t{-128});
         return s.calls[0];
       }(),
       "-128"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.written, c.expected);
}

TEST(FormattedWriteTest, FirstSinkErrorStopsTheMessageAndIsItsResult) {
  // Pieces: "a", "<", "1", ">", "b" (call numbers 1 to 5).
  for (size_t n = 1; n <= 5; ++n) {
    RecordingSink sink;
    sink.fail_at = n;
    IoResult<void> result = write_formatted(sink, "a", Bracketed{1}, "b");
    ASSERT_FALSE(result.ok()) << n;
    EXPECT_EQ(sink.calls.size(), n);
    EXPECT_EQ(result.error().raw_os_error(), static_cast<int32_t>(1000 + n));
  }
}

TEST(FormattedWriteTest, ConversionFailingByItselfGivesFormatterError) {
  for (int before : {0, 2}) {
    RecordingSink sink;
    IoResult<void> result =
        write_formatted(sink, "head", FailingConversion{before}, "tail");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().word(),
              reinterpret_cast<uintptr_t>(&message_formatter_error));
    EXPECT_EQ(result.error().kind(), IoErrorKind::Uncategorized);
    EXPECT_EQ(sink.calls.size(), 1u + before) << "nothing after the failed conversion";
  }
}

TEST(FormattedWriteTest, SinkErrorIsNotHiddenByAConversionThatIgnoresIt) {
  RecordingSink sink;
  sink.fail_at = 1;
  IoResult<void> result = write_formatted(sink, IgnoresFailure{}, "after");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().raw_os_error(), 1001);
  EXPECT_EQ(sink.calls, std::vector<std::string>{"first"});
}

// A sink that stores nothing, so that only the formatting itself could ask
// for memory.
struct CountingSink final : ErrorKeepingSink {
  size_t bytes = 0;
  size_t calls = 0;
  bool write_str(std::string_view text) override {
    bytes += text.size();
    ++calls;
    return true;
  }
};

TEST(FormattedWriteTest, LiteralsAndIntegersNeedNoHeap) {
  // The count does see a request (a direct call, which cannot be elided).
  const uint64_t start = heap_requests();
  static void* volatile probe = nullptr;
  probe = ::operator new(16);
  ::operator delete(probe);
  ASSERT_GT(heap_requests(), start);

  CountingSink sink;
  const uint64_t before = heap_requests();
  IoResult<void> result =
      write_formatted(sink, "memory allocation of ", size_t{123456789}, " bytes failed",
                      -1, 'x' - 'x', "\n");
  const uint64_t after = heap_requests();
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(after, before);
  EXPECT_EQ(sink.calls, 6u);
  EXPECT_EQ(sink.bytes, 21u + 9 + 13 + 2 + 1 + 1);

  // The failure paths need none either.
  CountingSink unused;
  const uint64_t before_failure = heap_requests();
  IoResult<void> failed = write_formatted(unused, "a", FailingConversion{0});
  EXPECT_EQ(heap_requests(), before_failure);
  EXPECT_FALSE(failed.ok());
}

}  // namespace
}  // namespace tavo

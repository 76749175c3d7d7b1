// Stack traces written in-process into a recording sink.
#include "runtime/backtrace.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "platform/symbols.h"
#include "platform/windows_api.h"
#include "support/fake_platform.h"

namespace tavo {
namespace {

const std::string trailer =
    "note: Some details are omitted, run with `TAVO_BACKTRACE=full` for a verbose "
    "backtrace.\n";

// Keeps what it is given; fails every write from the `fail_from`th on.
class RecordingSink final : public ErrorKeepingSink {
 public:
  explicit RecordingSink(int fail_from = -1) : fail_from_(fail_from) {}
  bool write_str(std::string_view text) override {
    if (!accepting()) return false;
    if (fail_from_ >= 0 && writes_ >= fail_from_) {
      return keep(IoError::from_os_code(232));
    }
    ++writes_;
    text_.append(text);
    return true;
  }
  const std::string& text() const { return text_; }
  int writes() const { return writes_; }

 private:
  int fail_from_;
  int writes_ = 0;
  std::string text_;
};

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

volatile bool keep_descending = true;

[[gnu::noinline]] void backtrace_test_descend(int depth, ErrorKeepingSink& sink,
                                              bool full) {
  if (depth > 0 && keep_descending) {
    backtrace_test_descend(depth - 1, sink, full);
  } else {
    write_stack_trace(sink, full);
  }
  asm volatile("");
}

TEST(Backtrace, FullTraceNamesEveryFrameQuickly) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  using std::chrono::steady_clock;
  // The first trace in the process loads the library and this program's
  // symbols; the figure goes to the log, not into an assertion.
  RecordingSink warm_up;
  const auto first = steady_clock::now();
  backtrace_test_descend(1, warm_up, true);
  const auto loading = steady_clock::now() - first;

  RecordingSink sink;
  const auto start = steady_clock::now();
  backtrace_test_descend(100, sink, true);
  const auto elapsed = steady_clock::now() - start;
  EXPECT_EQ(sink.text().rfind("stack backtrace:\n", 0), 0u);
  EXPECT_GE(count(sink.text(), "backtrace_test_descend"), 101u) << sink.text();
  EXPECT_EQ(count(sink.text(), trailer), 0u);
  EXPECT_GT(count(sink.text(), "backtrace_test.cpp:"), 100u);
  std::printf(
      "first trace (library and symbols loaded): %lld ms; full trace of %zu lines: %lld "
      "ms\n",
      static_cast<long long>(duration_cast<milliseconds>(loading).count()),
      count(sink.text(), "\n"),
      static_cast<long long>(duration_cast<milliseconds>(elapsed).count()));
}

TEST(Backtrace, ShortTraceOutsideARaiseShowsNoFrames) {
  // No raise marker on the stack: the window never opens.
  RecordingSink sink;
  backtrace_test_descend(3, sink, false);
  EXPECT_EQ(sink.text(), "stack backtrace:\n" + trailer);
}

// A full trace 4200 frames deep: the count that its note gives (0 when the
// note is missing or malformed).
unsigned deep_trace_left_out() {
  RecordingSink sink;
  backtrace_test_descend(4200, sink, true);
  const std::string& text = sink.text();
  size_t entries = 0;
  for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
    const size_t digits = text.find_first_not_of(' ', at);
    entries += std::isdigit(static_cast<unsigned char>(text[digits])) != 0;
  }
  EXPECT_EQ(entries, 4097u);
  const size_t last_line = text.rfind('\n', text.size() - 2) + 1;
  unsigned left_out = 0;
  char end = 0;
  const int fields = std::sscanf(text.c_str() + last_line,
                                 "note: %u further frames were left out: a full trace "
                                 "shows at most 4097%c",
                                 &left_out, &end);
  EXPECT_EQ(fields, 2) << text.substr(last_line);
  return fields == 2 && end == '.' ? left_out : 0;
}

TEST(Backtrace, FullTraceSaysHowManyFramesItLeftOut) {
  const unsigned left_out = deep_trace_left_out();
  // The descent alone leaves 104 frames out; the test's callers add a few.
  EXPECT_GE(left_out, 104u);
  EXPECT_LE(left_out, 150u);
}

// Past the limit, a stack whose unwinding never ends, whose stack pointer
// leaves the stack, or whose unwind leaves the stack pointer where it was,
// ends the count within the thread's stack.
TEST(Backtrace, CountPastTheLimitStaysOnTheStack) {
  enum class Damage { creeps, leaves, stays };
  struct DamagedStack final : testing::FakePlatform {
    Damage damage = Damage::creeps;
    int unwinds = 0;
    void rtl_virtual_unwind(uint64_t base, uint64_t pc, void* entry,
                            void* context) override {
      auto& registers = *static_cast<CONTEXT*>(context);
      if (++unwinds < 4150) {
        real().rtl_virtual_unwind(base, pc, entry, context);
      } else if (damage == Damage::leaves) {
        registers.Rsp = uint64_t{1} << 63;  // no memory there to read
        registers.Rip = 1;
      } else if (damage == Damage::creeps) {
        registers.Rsp += 8;
      } else if (unwinds > 200000) {
        registers.Rip = 0;  // a walk that went on ends here, far past the bound
      }
    }
  };
  uint64_t low = 0;
  uint64_t high = 0;
  platform::real().get_current_thread_stack_limits(&low, &high);
  const std::pair<Damage, uint64_t> cases[] = {
      {Damage::creeps, (high - low) / 8}, {Damage::leaves, 60}, {Damage::stays, 60}};
  for (const auto& [damage, most] : cases) {
    SCOPED_TRACE(static_cast<int>(damage));
    DamagedStack fake;
    fake.damage = damage;
    testing::ScopedPlatform use(fake);
    const unsigned left_out = deep_trace_left_out();
    EXPECT_GT(left_out, 50u);
    EXPECT_LE(left_out, most);
  }
}

// Stack limits that hold nothing: the walk reads nothing of the stack and
// writes no frame.
TEST(Backtrace, EmptyStackEndsTheWalkBeforeAnyRead) {
  struct NoStack final : testing::FakePlatform {
    uint64_t at = 0;
    int unwinds = 0;
    void get_current_thread_stack_limits(uint64_t* low, uint64_t* high) override {
      *low = at;
      *high = at;
    }
    void rtl_virtual_unwind(uint64_t base, uint64_t pc, void* entry,
                            void* context) override {
      ++unwinds;
      real().rtl_virtual_unwind(base, pc, entry, context);
    }
  };
  uint64_t low = 0;
  uint64_t high = 0;
  platform::real().get_current_thread_stack_limits(&low, &high);
  for (const uint64_t at : {uint64_t{0}, high}) {
    NoStack fake;
    fake.at = at;
    testing::ScopedPlatform use(fake);
    RecordingSink sink;
    backtrace_test_descend(3, sink, true);
    EXPECT_EQ(sink.text(), "stack backtrace:\n") << at;
    EXPECT_EQ(fake.unwinds, 0) << at;
  }
}

// The symbol lookup looks in the program's own folder first, also when the
// system gives no short path or the same one back.
TEST(Backtrace, SymbolSearchPathStartsWithTheProgramsFolder) {
  struct ShortPaths final : testing::FakePlatform {
    bool fails = false;
    uint32_t get_short_path_name_w(const char16_t* path, char16_t* buffer,
                                   uint32_t size) override {
      const std::u16string_view same(path);
      if (fails || same.size() >= size) {
        set_last_error(2);  // ERROR_FILE_NOT_FOUND
        return 0;
      }
      buffer[same.copy(buffer, same.size())] = u'\0';
      return static_cast<uint32_t>(same.size());
    }
  };
  for (const bool fails : {true, false}) {
    ShortPaths fake;
    fake.fails = fails;
    testing::ScopedPlatform use(fake);
    const platform::SymbolPaths paths =
        platform::symbol_paths(u"C:\\Program Files\\tavo\\guess.exe");
    EXPECT_EQ(paths.short_image, nullptr) << fails;
    EXPECT_TRUE(std::u16string_view(paths.search.get())
                    .starts_with(u"C:\\Program Files\\tavo\\;."))
        << fails;
  }
}

TEST(Backtrace, FailedWritesEndTheTrace) {
  RecordingSink header_fails(0);
  backtrace_test_descend(3, header_fails, false);
  EXPECT_EQ(header_fails.writes(), 0);

  // A frame entry fails: no further entries and no trailer.
  RecordingSink entry_fails(3);
  backtrace_test_descend(3, entry_fails, true);
  EXPECT_EQ(entry_fails.writes(), 3);
}

}  // namespace
}  // namespace tavo

// The trace style as the environment gives it, through a scripted
// GetEnvironmentVariableW; the thread records; the allocation counter.
#include "runtime/trace_style.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/allocation.h"
#include "runtime/thread_record.h"
#include "support/fake_platform.h"
#include "support/test_thread.h"

namespace tavo {
namespace {

// The environment variable as the fake system holds it.
struct ScriptedEnvironment final : testing::FakePlatform {
  bool present = false;
  std::u16string value;
  uint32_t failure_code = 0;    // a lookup that fails with this code
  size_t grow_after_first = 0;  // the value grows by this much after call 1
  int calls = 0;
  std::vector<uint32_t> last_error_at_call;
  std::vector<uint32_t> sizes;
  uint32_t last_error = 0xDEADu;

  uint32_t get_last_error() override { return last_error; }
  void set_last_error(uint32_t code) override { last_error = code; }

  uint32_t get_environment_variable_w(const char16_t* name, char16_t* buffer,
                                      uint32_t size) override {
    EXPECT_EQ(std::u16string(name), u"TAVO_BACKTRACE");
    ++calls;
    last_error_at_call.push_back(last_error);
    sizes.push_back(size);
    if (calls == 2 && grow_after_first > 0) {
      value.append(grow_after_first, u'x');
    }
    if (failure_code != 0) {
      last_error = failure_code;
      return 0;
    }
    if (!present) {
      last_error = 203;  // ERROR_ENVVAR_NOT_FOUND
      return 0;
    }
    if (value.size() + 1 > size) {
      return static_cast<uint32_t>(value.size() + 1);
    }
    std::copy(value.begin(), value.end(), buffer);
    buffer[value.size()] = u'\0';
    // The system leaves the last error alone on success.
    return static_cast<uint32_t>(value.size());
  }
};

TraceStyle style_with(ScriptedEnvironment& env) {
  testing::ScopedPlatform use(env);
  return read_trace_style();
}

ScriptedEnvironment set_to(std::u16string value) {
  ScriptedEnvironment env;
  env.present = true;
  env.value = std::move(value);
  return env;
}

TEST(TraceStyle, ValuesCompareByteForByte) {
  struct Case {
    std::u16string value;
    TraceStyle expected;
  };
  const Case cases[] = {
      {u"0", TraceStyle::Off},
      {u"full", TraceStyle::Full},
      {u"1", TraceStyle::Short},
      {u"", TraceStyle::Short},
      {u"FULL", TraceStyle::Short},
      {u"yes", TraceStyle::Short},
      {u" full", TraceStyle::Short},
      {u"full ", TraceStyle::Short},
      {u"0 ", TraceStyle::Short},
      {u"00", TraceStyle::Short},
      {std::u16string(u"full\0", 5), TraceStyle::Short},
      {std::u16string(1, char16_t{0xD800}), TraceStyle::Short},
  };
  for (const Case& c : cases) {
    ScriptedEnvironment env = set_to(c.value);
    EXPECT_EQ(style_with(env), c.expected) << c.value.size() << " units";
  }
}

TEST(TraceStyle, MissingAndFailedLookupsAreOff) {
  ScriptedEnvironment missing;
  EXPECT_EQ(style_with(missing), TraceStyle::Off);
  ScriptedEnvironment failed;
  failed.failure_code = 5;
  EXPECT_EQ(style_with(failed), TraceStyle::Off);
}

TEST(TraceStyle, EmptyValueIsToldFromAFailureByTheLastError) {
  // The empty value gives 0 with the last error untouched: the caller must
  // clear it first, or an error left over from earlier would read as a
  // failed lookup.
  ScriptedEnvironment env = set_to(u"");
  env.last_error = 1234;
  EXPECT_EQ(style_with(env), TraceStyle::Short);
  ASSERT_EQ(env.last_error_at_call.size(), 1u);
  EXPECT_EQ(env.last_error_at_call[0], 0u);
}

TEST(TraceStyle, LongValueIsReadAgainIntoALargerBuffer) {
  ScriptedEnvironment env = set_to(std::u16string(1000, u'f'));
  EXPECT_EQ(style_with(env), TraceStyle::Short);
  ASSERT_EQ(env.calls, 2);
  EXPECT_EQ(env.sizes[1], 1001u);
  EXPECT_EQ(env.last_error_at_call[1], 0u);

  // A value that grows between the two reads is read a third time.
  ScriptedEnvironment growing = set_to(std::u16string(300, u'f'));
  growing.grow_after_first = 50;
  EXPECT_EQ(style_with(growing), TraceStyle::Short);
  EXPECT_EQ(growing.calls, 3);
}

// The only test in this program that asks for the cached style: the cache
// is still unread when it starts.
TEST(TraceStyle, ReadOncePerProcess) {
  ScriptedEnvironment env = set_to(u"full");
  testing::ScopedPlatform use(env);
  EXPECT_EQ(trace_style(), TraceStyle::Full);
  env.present = false;  // a second read would now give Off
  EXPECT_EQ(trace_style(), TraceStyle::Full);
  EXPECT_EQ(env.calls, 1);
}

TEST(ThreadRecord, NamelessOnDemandAndNamedOnRequest) {
  testing::TestThread([] {
    bool available = false;
    EXPECT_EQ(existing_thread_record(available), nullptr);
    EXPECT_TRUE(available);
    ThreadRecord* record = current_thread_record();
    ASSERT_NE(record, nullptr);
    EXPECT_FALSE(record->name().has_value());
    EXPECT_EQ(current_thread_record(), record);  // registered from then on

    name_current_thread(std::string_view("a\0b", 3));
    ASSERT_TRUE(current_thread_record()->name().has_value());
    EXPECT_EQ(*current_thread_record()->name(), std::string_view("a\0b", 3));
  }).join();

  static ThreadRecord shared("shared");
  testing::TestThread([] {
    set_current_thread_record(shared);
    EXPECT_EQ(current_thread_record(), &shared);
    EXPECT_EQ(*shared.name(), "shared");
  }).join();
  // Another thread's record is not this one's.
  testing::TestThread([] { EXPECT_NE(current_thread_record(), &shared); }).join();
}

TEST(Allocation, CounterCountsHeapBlocks) {
  const uint64_t before = allocation_count();
  auto* block = new std::vector<int>(100);
  EXPECT_GE(allocation_count(), before + 2);
  delete block;
  const uint64_t settled = allocation_count();
  std::string small = "sso";
  EXPECT_EQ(allocation_count(), settled);

  struct alignas(64) Wide {
    char bytes[64];
  };
  auto* wide = new Wide();
  EXPECT_EQ(reinterpret_cast<uintptr_t>(wide) % 64, 0u);
  delete wide;
}

}  // namespace
}  // namespace tavo

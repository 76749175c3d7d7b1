// The roads counted in calls: guess.exe's dialogue (src/main.cpp, its entry
// renamed) over a platform that, at every NtReadFile, NtWriteFile and
// WriteConsoleW, writes the full stack of the calling thread to the file
// named by TAVO_ROADS_OUT. Built without optimisation (scripts/roads), every
// call of the source is a frame of its own, so the stacks are the roads.
// With TAVO_ROADS_CONSOLE=1 standard output passes for a console that takes
// every unit (nothing is shown), so that the console's road is recorded.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/backtrace.h"
#include "support/fake_platform.h"

int guess_entry(int argc, char** argv);

namespace {

class TextCollector final : public tavo::ErrorKeepingSink {
 public:
  bool write_str(std::string_view text) override {
    text_.append(text);
    return true;
  }
  std::string text_;
};

class StackRecorder final : public tavo::testing::FakePlatform {
 public:
  NtStatus nt_write_file(Handle h, tavo::platform::IoStatusBlock* b, const void* p,
                         uint32_t n) override {
    record("nt_write_file", h);
    return FakePlatform::nt_write_file(h, b, p, n);
  }
  NtStatus nt_read_file(Handle h, tavo::platform::IoStatusBlock* b, void* p,
                        uint32_t n) override {
    record("nt_read_file", h);
    return FakePlatform::nt_read_file(h, b, p, n);
  }
  bool get_console_mode(Handle h, uint32_t* mode) override {
    if (console_ && h == real().get_std_handle(-11)) {
      *mode = 3;
      return true;
    }
    return FakePlatform::get_console_mode(h, mode);
  }
  bool write_console_w(Handle h, const char16_t* u, uint32_t n, uint32_t* w) override {
    record("write_console_w", h);
    if (console_ && h == real().get_std_handle(-11)) {
      *w = n;
      return true;
    }
    return FakePlatform::write_console_w(h, u, n, w);
  }

  std::string stacks;

 private:
  const bool console_ = std::getenv("TAVO_ROADS_CONSOLE") != nullptr;

  void record(const char* call, Handle handle) {
    const char* stream = handle == real().get_std_handle(-12)   ? "stderr"
                         : handle == real().get_std_handle(-11) ? "stdout"
                                                                : "stdin";
    stacks += std::string("== ") + call + " " + stream + "\n";
    TextCollector trace;
    tavo::write_stack_trace(trace, true);
    stacks += trace.text_;
  }
};

StackRecorder recorder;

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  {
    tavo::testing::ScopedPlatform use(recorder);
    status = guess_entry(argc, argv);
  }
  const char* path = std::getenv("TAVO_ROADS_OUT");
  if (path != nullptr) {
    if (std::FILE* out = std::fopen(path, "wb")) {
      std::fwrite(recorder.stacks.data(), 1, recorder.stacks.size(), out);
      std::fclose(out);
    }
  }
  return status;
}

// A TextSink for tests that keeps what it was given without allocating (so
// allocation counts around it stay exact) and can be told to fail.
#pragma once

#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "text/text_sink.h"

namespace tavo::testing {

class RecordingFormatter final : public TextSink {
 public:
  // `fail_at` is the 1-based call that fails (and every one after it); 0
  // never fails.
  explicit RecordingFormatter(int fail_at = 0) : fail_at_(fail_at) {}

  bool write_str(std::string_view text) override {
    ++calls_;
    if (fail_at_ != 0 && calls_ >= fail_at_) {
      return false;
    }
    if (text.size() > bytes_.size() - size_ || pieces_ == ends_.size()) {
      overflow_ = true;
      return false;
    }
    std::memcpy(bytes_.data() + size_, text.data(), text.size());
    size_ += text.size();
    ends_[pieces_++] = size_;
    return true;
  }

  int calls() const { return calls_; }
  size_t pieces() const { return pieces_; }
  bool overflowed() const { return overflow_; }
  std::string_view text() const { return {bytes_.data(), size_}; }
  std::string_view piece(size_t i) const {
    size_t begin = i == 0 ? 0 : ends_[i - 1];
    return text().substr(begin, ends_[i] - begin);
  }

 private:
  int fail_at_;
  int calls_ = 0;
  bool overflow_ = false;
  std::array<char, 16384> bytes_{};
  size_t size_ = 0;
  std::array<size_t, 256> ends_{};
  size_t pieces_ = 0;
};

// The whole text of a conversion that is expected to succeed.
template <class Write>
std::string written(Write&& write) {
  RecordingFormatter out;
  bool ok = write(out);
  if (!ok || out.overflowed()) {
    return "<failed>";
  }
  return std::string(out.text());
}

}  // namespace tavo::testing

// A TextSink for tests and fuzz targets that keeps every piece it is given in
// fixed storage (so allocation counts around it stay exact) and can be told to
// refuse a call; the whole text of a conversion expected to succeed; and an
// I/O result as one line to compare.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "errors/io_error.h"
#include "text/write_args.h"

namespace tavo::testing {

class CollectingSink final : public TextSink {
 public:
  // `fail_at` is the 1-based call that fails, and every one after it; 0
  // never fails. The storage holds the quoted form of 4096 bytes, the most a
  // fuzz target is given.
  explicit CollectingSink(int fail_at = 0) : fail_at_(fail_at) {}

  bool write_str(std::string_view piece) override {
    ++calls_;
    if (fail_at_ != 0 && calls_ >= fail_at_) return false;
    if (piece.size() > bytes_.size() - size_ || pieces_ == ends_.size()) {
      overflow_ = true;
      return false;
    }
    std::memcpy(bytes_.data() + size_, piece.data(), piece.size());
    size_ += piece.size();
    ends_[pieces_++] = static_cast<uint32_t>(size_);
    return true;
  }

  int calls() const { return calls_; }
  size_t pieces() const { return pieces_; }
  bool overflowed() const { return overflow_; }
  std::string_view text() const { return {bytes_.data(), size_}; }
  std::string_view piece(size_t i) const {
    const size_t begin = i == 0 ? 0 : ends_[i - 1];
    return text().substr(begin, ends_[i] - begin);
  }

 private:
  int fail_at_;
  int calls_ = 0;
  bool overflow_ = false;
  std::array<char, 32768> bytes_{};
  size_t size_ = 0;
  std::array<uint32_t, 8192> ends_{};
  size_t pieces_ = 0;
};

// The whole text `write` gives a sink, or "<failed>".
template <class Write>
std::string written(Write&& write) {
  CollectingSink out;
  const bool ok = write(out);
  return ok && !out.overflowed() ? std::string(out.text()) : "<failed>";
}

inline std::string display_text(const IoError& error) {
  return written([&](TextSink& out) { return error.write_display(out); });
}
inline std::string debug_text(const IoError& error) {
  return written([&](TextSink& out) { return error.write_debug(out); });
}

// "ok", "ok <number>", or the error's kind and its OS code ("<Kind> <code>")
// or, without a code, its display form ("<Kind>: <text>").
template <class T>
std::string outcome(const IoResult<T>& result) {
  if (result.ok()) {
    if constexpr (std::is_arithmetic_v<T>) {
      return "ok " + std::to_string(result.value());
    } else {
      return "ok";
    }
  }
  const IoError& error = result.error();
  const std::string kind(debug_name(error.kind()));
  const auto code = error.raw_os_error();
  return code ? kind + " " + std::to_string(*code) : kind + ": " + display_text(error);
}

}  // namespace tavo::testing

// The error value of every stream operation, and the result type that
// carries either a value or such an error. The sinks that fail with these
// errors, and the formatted write into them, are in errors/formatted_write.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "errors/io_error_kind.h"
#include "text/text_sink.h"

namespace tavo {

// An immutable message record that lives for the whole run. An `IoError` of
// the static-message kind refers to one and never owns it.
struct alignas(8) MessageRecord {
  const char* text;
  size_t length;
  IoErrorKind kind;

  std::string_view message() const { return {text, length}; }
};

// The six fixed messages.
extern const MessageRecord message_invalid_utf8;         // InvalidData
extern const MessageRecord message_unpaired_surrogate;   // InvalidData
extern const MessageRecord message_console_not_utf8;     // InvalidData
extern const MessageRecord message_write_whole_buffer;   // WriteZero
extern const MessageRecord message_write_buffered_data;  // WriteZero
extern const MessageRecord message_formatter_error;      // Uncategorized

// The operations of an owned error object held by a custom-payload error, in
// this order: release, storage size, storage alignment, debug form, display
// form.
struct CustomErrorOps {
  void (*release)(void* object);
  size_t size;
  size_t alignment;
  bool (*write_debug)(const void* object, TextSink& out);
  bool (*write_display)(const void* object, TextSink& out);
};

// One 64-bit word; the two low bits select the representation:
// 00 static message (the record's address), 01 custom payload (address of a
// heap record, plus 1), 10 OS code (code << 32), 11 bare kind (kind << 32).
// Move-only; the moved-from value is a bare `Uncategorized` that owns nothing.
class [[nodiscard]] IoError {
 public:
  static IoError from_os_code(int32_t code) noexcept;
  // The calling thread's last platform error (GetLastError).
  static IoError last_os_error() noexcept;
  static IoError from_kind(IoErrorKind kind) noexcept;
  static IoError from_static(const MessageRecord& record) noexcept;
  // Takes ownership of `object`, which lives on the heap from now on until the
  // error is released; if the error cannot be made, it is released at once.
  static IoError custom(IoErrorKind kind, void* object, const CustomErrorOps& ops);
  // Convenience: any type with `bool write_debug(TextSink&) const` and
  // `bool write_display(TextSink&) const`.
  template <class E>
  static IoError custom(IoErrorKind kind, E&& error);

  IoError(IoError&& other) noexcept : word_(std::exchange(other.word_, moved_from)) {}
  IoError& operator=(IoError&& other) noexcept {
    if (this != &other) {
      release();
      word_ = std::exchange(other.word_, moved_from);
    }
    return *this;
  }
  IoError(const IoError&) = delete;
  IoError& operator=(const IoError&) = delete;
  ~IoError() { release(); }

  IoErrorKind kind() const noexcept;
  // The stored code of an OS-code error; nothing for the other kinds.
  std::optional<int32_t> raw_os_error() const noexcept;
  // True when this error carries the given OS code.
  bool is_os_code(int32_t code) const noexcept { return raw_os_error() == code; }

  // The two text forms. They fail only when `out` does.
  bool write_display(TextSink& out) const;
  bool write_debug(TextSink& out) const;

  uint64_t word() const noexcept { return word_; }

 private:
  explicit IoError(uint64_t word) noexcept : word_(word) {}
  void release() noexcept;
  static constexpr uint64_t moved_from =
      (uint64_t{static_cast<uint8_t>(IoErrorKind::Uncategorized)} << 32) | 3;

  uint64_t word_;
};

static_assert(sizeof(IoError) == 8);

template <class E>
IoError IoError::custom(IoErrorKind kind, E&& error) {
  using T = std::decay_t<E>;
  static constexpr CustomErrorOps ops{
      [](void* object) { static_cast<T*>(object)->~T(); },
      sizeof(T),
      alignof(T),
      [](const void* object, TextSink& out) {
        return static_cast<const T*>(object)->write_debug(out);
      },
      [](const void* object, TextSink& out) {
        return static_cast<const T*>(object)->write_display(out);
      },
  };
  void* storage = ::operator new (sizeof(T), std::align_val_t{alignof(T)});
  T* object;
  try {
    object = new (storage) T(std::forward<E>(error));
  } catch (...) {
    ::operator delete (storage, std::align_val_t{alignof(T)});
    throw;
  }
  return custom(kind, object, ops);
}

// Either a value or an `IoError`. `IoResult<void>` is success or an error.
template <class T>
class [[nodiscard]] IoResult {
 public:
  IoResult(T value) : ok_(true), value_(std::move(value)) {}
  IoResult(IoError error) : ok_(false), error_(std::move(error)) {}
  IoResult(IoResult&& other) noexcept : ok_(other.ok_) {
    if (ok_) {
      new (&value_) T(std::move(other.value_));
    } else {
      new (&error_) IoError(std::move(other.error_));
    }
  }
  IoResult& operator=(IoResult&&) = delete;
  ~IoResult() {
    if (ok_) {
      value_.~T();
    } else {
      error_.~IoError();
    }
  }

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  T& value() { return value_; }
  const T& value() const { return value_; }
  IoError& error() { return error_; }
  const IoError& error() const { return error_; }

 private:
  bool ok_;
  union {
    T value_;
    IoError error_;
  };
};

template <>
class [[nodiscard]] IoResult<void> {
 public:
  IoResult() = default;
  IoResult(IoError error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  IoError& error() { return *error_; }
  const IoError& error() const { return *error_; }

 private:
  std::optional<IoError> error_;
};

}  // namespace tavo

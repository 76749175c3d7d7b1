// The error value: its four representations in one word, the fixed message
// records, and the display and debug forms of each.
#include "errors/io_error.h"

#include <string>

#include "errors/os_error_message.h"
#include "errors/quoted.h"
#include "platform/platform.h"
#include "text/write_args.h"

namespace tavo {
namespace {

constexpr MessageRecord record(std::string_view text, IoErrorKind kind) {
  return {text.data(), text.size(), kind};
}

// The two low bits of the word.
constexpr uint64_t tag_mask = 3;
constexpr uint64_t tag_static = 0;
constexpr uint64_t tag_custom = 1;
constexpr uint64_t tag_os = 2;
constexpr uint64_t tag_kind = 3;

// What a custom-payload error owns besides the object itself.
struct alignas(8) CustomRecord {
  void* object;
  const CustomErrorOps* ops;
  IoErrorKind kind;
};

// A kind number outside the enumeration cannot arise from this program, but
// a value built from one reads as Uncategorized, as its text forms do.
IoErrorKind known_kind(IoErrorKind kind) {
  return static_cast<int>(kind) < io_error_kind_count ? kind : IoErrorKind::Uncategorized;
}

// Runs the object's own release, then gives its storage back.
void release_object(void* object, const CustomErrorOps& ops) noexcept {
  ops.release(object);
  if (ops.size != 0) {
    // Sized deallocation is not always enabled; the unsized form is the
    // same release for the default allocator.
#if defined(__cpp_sized_deallocation)
    ::operator delete (object, ops.size, std::align_val_t{ops.alignment});
#else
    ::operator delete (object, std::align_val_t{ops.alignment});
#endif
  }
}

int32_t high_half(uint64_t word) {
  return static_cast<int32_t>(static_cast<uint32_t>(word >> 32));
}

}  // namespace

constinit const MessageRecord message_invalid_utf8 =
    record("stream did not contain valid UTF-8", IoErrorKind::InvalidData);
constinit const MessageRecord message_unpaired_surrogate = record(
    "Windows stdin in console mode does not support non-UTF-16 input; "
    "encountered unpaired surrogate",
    IoErrorKind::InvalidData);
constinit const MessageRecord message_console_not_utf8 = record(
    "Windows stdio in console mode does not support writing non-UTF-8 byte "
    "sequences",
    IoErrorKind::InvalidData);
constinit const MessageRecord message_write_whole_buffer =
    record("failed to write whole buffer", IoErrorKind::WriteZero);
constinit const MessageRecord message_write_buffered_data =
    record("failed to write the buffered data", IoErrorKind::WriteZero);
constinit const MessageRecord message_formatter_error =
    record("formatter error", IoErrorKind::Uncategorized);

IoError IoError::from_os_code(int32_t code) noexcept {
  return IoError((uint64_t{static_cast<uint32_t>(code)} << 32) | tag_os);
}

IoError IoError::last_os_error() noexcept {
  return from_os_code(static_cast<int32_t>(platform::current().get_last_error()));
}

IoError IoError::from_kind(IoErrorKind kind) noexcept {
  return IoError((uint64_t{static_cast<uint8_t>(kind)} << 32) | tag_kind);
}

IoError IoError::from_static(const MessageRecord& record) noexcept {
  return IoError(reinterpret_cast<uintptr_t>(&record));
}

IoError IoError::custom(IoErrorKind kind, void* object, const CustomErrorOps& ops) {
  CustomRecord* heap;
  try {
    heap = new CustomRecord{object, &ops, kind};
  } catch (...) {
    // The object was handed over already: without a record to own it, it
    // is released here.
    release_object(object, ops);
    throw;
  }
  return IoError(reinterpret_cast<uintptr_t>(heap) | tag_custom);
}

void IoError::release() noexcept {
  if ((word_ & tag_mask) != tag_custom) {
    return;
  }
  auto* heap = reinterpret_cast<CustomRecord*>(word_ - tag_custom);
  release_object(heap->object, *heap->ops);
  delete heap;
  word_ = moved_from;
}

IoErrorKind IoError::kind() const noexcept {
  switch (word_ & tag_mask) {
    case tag_static:
      return known_kind(reinterpret_cast<const MessageRecord*>(word_)->kind);
    case tag_custom:
      return known_kind(reinterpret_cast<const CustomRecord*>(word_ - tag_custom)->kind);
    case tag_os:
      return kind_from_os_code(high_half(word_));
    default:
      return known_kind(static_cast<IoErrorKind>(static_cast<uint8_t>(word_ >> 32)));
  }
}

std::optional<int32_t> IoError::raw_os_error() const noexcept {
  if ((word_ & tag_mask) == tag_os) {
    return high_half(word_);
  }
  return std::nullopt;
}

bool IoError::write_display(TextSink& out) const {
  switch (word_ & tag_mask) {
    case tag_static:
      return out.write_str(reinterpret_cast<const MessageRecord*>(word_)->message());
    case tag_custom: {
      auto* heap = reinterpret_cast<const CustomRecord*>(word_ - tag_custom);
      return heap->ops->write_display(heap->object, out);
    }
    case tag_os: {
      int32_t code = high_half(word_);
      // Looked up afresh on every write; the text is freed on every path.
      std::string message = os_error_message(code);
      return out.write_str(message) && out.write_str(" (os error ") &&
             write_arg(out, code) && out.write_str(")");
    }
    default:
      return out.write_str(description(kind()));
  }
}

bool IoError::write_debug(TextSink& out) const {
  switch (word_ & tag_mask) {
    case tag_static: {
      auto* record = reinterpret_cast<const MessageRecord*>(word_);
      return out.write_str("Error { kind: ") && out.write_str(debug_name(record->kind)) &&
             out.write_str(", message: ") && write_quoted(out, record->message()) &&
             out.write_str(" }");
    }
    case tag_custom: {
      auto* heap = reinterpret_cast<const CustomRecord*>(word_ - tag_custom);
      return out.write_str("Custom { kind: ") && out.write_str(debug_name(heap->kind)) &&
             out.write_str(", error: ") && heap->ops->write_debug(heap->object, out) &&
             out.write_str(" }");
    }
    case tag_os: {
      int32_t code = high_half(word_);
      if (!(out.write_str("Os { code: ") && write_arg(out, code) &&
            out.write_str(", kind: ") &&
            out.write_str(debug_name(kind_from_os_code(code))) &&
            out.write_str(", message: "))) {
        return false;
      }
      std::string message = os_error_message(code);
      return write_quoted(out, message) && out.write_str(" }");
    }
    default:
      return out.write_str("Kind(") && out.write_str(debug_name(kind())) &&
             out.write_str(")");
  }
}

}  // namespace tavo

// Standard output: the process-wide stream, its lock and line buffer over
// the standard handle, the print entry and the exit step.
#include "streams/stdout.h"

#include <atomic>
#include <new>
#include <optional>
#include <utility>

#include "errors/formatted_write.h"
#include "platform/platform.h"
#include "streams/failure.h"

namespace tavo {

// The missing-handle rule, for every platform write to standard output: an
// error with OS code 6, whichever call gave it, takes the bytes as written.
IoResult<size_t> StdoutHandle::write_some(std::string_view bytes) {
  IoResult<size_t> result = write_std_handle(sys::std_output_handle, bytes, pending_);
  if (!result.ok() &&
      result.error().is_os_code(static_cast<int32_t>(sys::error_invalid_handle))) {
    return bytes.size();
  }
  return result;
}

// Holds the stream's lock for a scope, also while a fatal failure unwinds.
class StdoutStream::LockScope {
 public:
  struct Adopt {};

  explicit LockScope(ReentrantLock& lock) : lock_(lock) {
    if (!lock_.lock()) {
      raise_fatal("lock count overflow in reentrant mutex", TAVO_HERE);
    }
  }
  // Takes over the level of the lock that the caller has just taken.
  LockScope(ReentrantLock& lock, Adopt) : lock_(lock) {}
  ~LockScope() { lock_.unlock(); }
  LockScope(const LockScope&) = delete;
  LockScope& operator=(const LockScope&) = delete;

 private:
  ReentrantLock& lock_;
};

StdoutStream::StdoutStream(size_t capacity)
    : storage_(capacity == 0 ? nullptr : static_cast<char*>(::operator new(capacity))),
      writer_(storage_, capacity, handle_) {}

StdoutStream::~StdoutStream() { ::operator delete(storage_); }

namespace {

// The line buffer's error state for one message. A print made from inside an
// argument of another (the lock is re-entrant) has a result of its own: the
// outer message's error, if any, is set aside until it ends. A message that
// unwinds leaves no error behind for the next one.
class MessageScope {
 public:
  explicit MessageScope(ErrorKeepingSink& sink) : sink_(sink), outer_(sink.set_aside_error()) {}
  ~MessageScope() { sink_.restore_error(std::move(outer_)); }
  MessageScope(const MessageScope&) = delete;
  MessageScope& operator=(const MessageScope&) = delete;

 private:
  ErrorKeepingSink& sink_;
  std::optional<IoError> outer_;
};

}  // namespace

IoResult<void> StdoutStream::write_message(const DeferredMessage& message) {
  LockScope lock(lock_);
  MessageScope scope(writer_);
  return writer_.finish_message(message.write_to(writer_));
}

void StdoutStream::flush_and_unbuffer() {
  bool overflow = false;
  if (!lock_.try_lock(overflow)) {
    if (overflow) {
      raise_fatal("lock count overflow in reentrant mutex", TAVO_HERE);
    }
    // Another thread is inside a print; waiting for it could hang the exit.
    return;
  }
  // The flush can end in a fatal failure (the console conversion); nested
  // inside a print, a level kept past it would lock every other thread out.
  LockScope lock(lock_, LockScope::Adopt{});
  // A write that never returned left the buffer in an unknown state with
  // respect to what the handle has already seen: do not repeat it.
  if (!writer_.write_in_progress()) {
    (void)writer_.flush_buffer();
  }
  writer_.make_unbuffered();
  handle_.drop_pending();
}

namespace {

// The process-wide stream lives in static storage and is never destroyed,
// so that output from destructors and other threads late in the exit still
// finds it.
alignas(StdoutStream) unsigned char stream_storage[sizeof(StdoutStream)];

// Set once the exit step has begun: a stream made from then on has no
// buffer, as one made by the exit step itself.
std::atomic<bool> exit_begun{false};

// The stream, made on the first use in the process; `created` tells whether
// this call made it. Another thread arriving during creation waits for it.
StdoutStream& obtain_stream(bool& created) {
  static StdoutStream* const stream = [&] {
    created = true;
    const bool unbuffered = exit_begun.load(std::memory_order_acquire);
    return new (stream_storage)
        StdoutStream(unbuffered ? 0 : StdoutStream::buffer_capacity);
  }();
  return *stream;
}

}  // namespace

StdoutStream& stdout_stream() {
  bool created = false;
  return obtain_stream(created);
}

namespace detail {

void print_message(const DeferredMessage& message) {
  IoResult<void> result = stdout_stream().write_message(message);
  // The lock is free again here: the report must not wait on it.
  if (!result.ok()) {
    raise_fatal_format(TAVO_HERE, "failed printing to stdout: ", display(result.error()));
  }
}

}  // namespace detail

void exit_flush() {
  exit_begun.store(true, std::memory_order_release);
  bool created = false;
  StdoutStream& stream = obtain_stream(created);
  if (created) {
    return;  // Nothing was ever printed, and from now on nothing is buffered.
  }
  stream.flush_and_unbuffer();
}

}  // namespace tavo

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

namespace {

void lock_or_raise(ReentrantLock& lock) {
  if (!lock.lock()) {
    raise_fatal("lock count overflow in reentrant mutex", TAVO_HERE);
  }
}

}  // namespace

// Holds the lock that the caller has just taken for a scope, also while a
// fatal failure unwinds.
class StdoutStream::LockScope {
 public:
  explicit LockScope(ReentrantLock& lock) : lock_(lock) {}
  ~LockScope() { lock_.unlock(); }
  LockScope(const LockScope&) = delete;
  LockScope& operator=(const LockScope&) = delete;

 private:
  ReentrantLock& lock_;
};

StdoutStream::StdoutStream(size_t capacity)
    : storage_(capacity == 0 ? nullptr : static_cast<char*>(::operator new(capacity))),
      handle_(platform::std_output_handle, pending_, MissingHandle::takes_all),
      writer_(storage_, capacity, handle_) {}

StdoutStream::~StdoutStream() { ::operator delete(storage_); }

StdoutStream::Message::Message(StdoutStream& stream) : stream_(stream) {
  lock_or_raise(stream_.lock_);
  outer_ = stream_.writer_.set_aside_error();
}

StdoutStream::Message::~Message() {
  if (open_) {
    // Unwinding: the message's own error goes, the outer one comes back.
    close();
  }
}

void StdoutStream::Message::close() {
  open_ = false;
  stream_.writer_.restore_error(std::move(outer_));
  stream_.lock_.unlock();
}

IoResult<void> StdoutStream::Message::finish(bool written) {
  IoResult<void> result = stream_.writer_.finish_message(written);
  close();
  return result;
}

void StdoutStream::Message::finish_print(bool written) {
  IoResult<void> result = finish(written);
  if (!result.ok()) {
    raise_fatal_format(TAVO_HERE, "failed printing to stdout: ", display(result.error()));
  }
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
  LockScope lock(lock_);
  // A write that never returned left the buffer in an unknown state with
  // respect to what the handle has already seen: do not repeat it.
  if (!writer_.write_in_progress()) {
    (void)writer_.flush_buffer();
  }
  writer_.make_unbuffered();
  pending_.clear();
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

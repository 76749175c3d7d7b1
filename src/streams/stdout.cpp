// Standard output: the process-wide stream, its lock and line buffer over
// the standard handle, the print entry and the exit step.
#include "streams/stdout.h"

#include <new>

#include "errors/formatted_write.h"
#include "platform/platform.h"
#include "streams/failure.h"

namespace tavo {

namespace {

constexpr int32_t stdout_id = sys::std_output_handle;

// A missing standard output (no handle, or one the system calls invalid)
// swallows what is written to it instead of failing the program.
bool is_missing_handle(const IoError& error) {
  return error.is_os_code(static_cast<int32_t>(sys::error_invalid_handle));
}

}  // namespace

// The standard output handle as the line buffer's lower writer, with the
// missing-handle rule applied to every platform write.
class StdoutStream::Raw final : public RawWriter {
 public:
  explicit Raw(PendingUtf8& pending) : pending_(pending) {}

  IoResult<size_t> write_once(std::string_view bytes) override {
    IoResult<size_t> result = write_std_handle(stdout_id, bytes, pending_);
    if (!result.ok() && is_missing_handle(result.error())) {
      return bytes.size();
    }
    return result;
  }

  IoResult<void> write_all(std::string_view bytes) override {
    IoResult<void> result = write_all_to_handle(stdout_id, bytes, pending_);
    if (!result.ok() && is_missing_handle(result.error())) {
      return {};
    }
    return result;
  }

 private:
  PendingUtf8& pending_;
};

// Holds the stream's lock for a scope, also while a fatal failure unwinds.
class StdoutStream::Hold {
 public:
  struct Adopt {};

  explicit Hold(ReentrantLock& lock) : lock_(lock) {
    if (!lock_.lock()) {
      raise_fatal("lock count overflow in reentrant mutex", TAVO_HERE);
    }
  }
  // Takes over the level of the lock that the caller has just taken.
  Hold(ReentrantLock& lock, Adopt) : lock_(lock) {}
  ~Hold() { lock_.unlock(); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  ReentrantLock& lock_;
};

StdoutStream::StdoutStream(size_t capacity)
    : storage_(capacity == 0 ? nullptr : static_cast<char*>(::operator new(capacity))),
      writer_(storage_, capacity) {}

StdoutStream::~StdoutStream() { ::operator delete(storage_); }

IoResult<void> StdoutStream::write_message(const DeferredMessage& message) {
  Hold hold(lock_);
  Raw raw(pending_);
  LineWriterSink sink(writer_, raw);
  SinkFormatter out(sink);
  return out.result(message.write_to(out));
}

void StdoutStream::exit_flush() {
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
  Hold hold(lock_, Hold::Adopt{});
  // A write that never returned left the buffer in an unknown state with
  // respect to what the handle has already seen: do not repeat it.
  if (!writer_.write_in_progress()) {
    Raw raw(pending_);
    (void)writer_.flush_buffer(raw);
  }
  writer_.make_unbuffered();
  pending_ = PendingUtf8{};
}

namespace {

// The process-wide stream lives in static storage and is never destroyed,
// so that output from destructors and other threads late in the exit still
// finds it.
alignas(StdoutStream) unsigned char stream_storage[sizeof(StdoutStream)];

// The stream, made with `capacity` if this is the first use in the process;
// `created` tells whether this call made it. Another thread arriving during
// creation waits for it.
StdoutStream& obtain_stream(size_t capacity, bool& created) {
  static StdoutStream* const stream = [&] {
    created = true;
    return new (stream_storage) StdoutStream(capacity);
  }();
  return *stream;
}

}  // namespace

StdoutStream& stdout_stream() {
  bool created = false;
  return obtain_stream(StdoutStream::buffer_capacity, created);
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
  bool created = false;
  StdoutStream& stream = obtain_stream(0, created);
  if (created) {
    return;  // Nothing was ever printed, and from now on nothing is held.
  }
  stream.exit_flush();
}

}  // namespace tavo

// Standard output: a process-wide, line-buffered, locked stream.
//
//   print_to_stdout("You guessed: ", guess, "\n");
//
// A message is kept together: its texts never interleave with another
// thread's output. Text up to the last line feed reaches the handle before
// the print returns; text after it waits (at most 1024 bytes) for a later
// line feed, an overflow, or the exit step. A missing standard output is not
// an error; any other failure to write is fatal.
#pragma once

#include <cstddef>
#include <string_view>

#include "errors/io_error.h"
#include "streams/line_writer.h"
#include "streams/reentrant_lock.h"
#include "streams/std_handles.h"
#include "text/format.h"

namespace tavo {

// Standard output's handle as the line buffer's lower writer, with the
// stream's pending UTF-8 bytes. A missing standard output (no handle, or one
// the system calls invalid) takes every byte and shows none, instead of
// failing the program.
class StdoutHandle final : public RawWriter {
 public:
  IoResult<size_t> write_some(std::string_view bytes) override;
  // Drops the first bytes of a character still waiting for the rest.
  void drop_pending() { pending_ = PendingUtf8{}; }

 private:
  PendingUtf8 pending_;
};

// The state behind standard output. The program has exactly one, made on
// first use and never destroyed (see stdout_stream()); tests make their own
// to start from a known state. Every platform write goes to standard output.
class StdoutStream {
 public:
  // The usual capacity of the line buffer.
  static constexpr size_t buffer_capacity = 1024;

  // Allocates the buffer (`capacity` bytes, none for 0) once, here. A failed
  // allocation ends the process.
  explicit StdoutStream(size_t capacity);
  StdoutStream(const StdoutStream&) = delete;
  StdoutStream& operator=(const StdoutStream&) = delete;
  // The process-wide stream is never destroyed; a test's stream may be, and
  // then gives its buffer back.
  ~StdoutStream();

  // Writes one message under the lock. Returns the error that stopped it.
  IoResult<void> write_message(const DeferredMessage& message);

  // Writes out what is buffered unless another thread holds the lock or a
  // write never returned, then makes the stream unbuffered. Errors are
  // dropped. The exit step's work on a stream that exists.
  void flush_and_unbuffer();

 private:
  friend struct testing::StdoutProbe;
  class LockScope;

  char* storage_;
  ReentrantLock lock_;
  StdoutHandle handle_;
  LineWriter writer_;
};

// The process's standard output stream, created with the usual buffer on
// first use.
StdoutStream& stdout_stream();

namespace detail {
// Writes one formatted message to standard output; a failure raises
// "failed printing to stdout: {error}" at a place in the stream's code.
void print_message(const DeferredMessage& message);
}  // namespace detail

// Prints the pieces and arguments as one message; the arguments are those of
// the formatted write (strings, integers, objects with write_to).
template <class... Args>
void print_to_stdout(const Args&... args) {
  const MessageArgs<Args...> pieces(args...);
  detail::print_message(pieces.message());
}

// The exit step: writes out what standard output still buffers and makes the
// stream unbuffered for the rest of the process. Called once, by the start
// routine, after the main routine has ended. Never fails and never waits for
// another thread.
void exit_flush();

}  // namespace tavo

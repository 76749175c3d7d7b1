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
#include <optional>
#include <string_view>

#include "errors/io_error.h"
#include "streams/line_writer.h"
#include "streams/reentrant_lock.h"
#include "streams/std_handle_writer.h"
#include "text/write_args.h"

namespace tavo {

// The state behind standard output. The program has exactly one, made on
// first use and never destroyed (see stdout_stream()); tests make their own
// to start from a known state. Every write goes to standard output's handle.
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

  // One message under the stream's lock: the sink its texts are written into
  // and, once they are, its result. A print made from inside an argument of
  // another (the lock is re-entrant) has a result of its own: the outer
  // message's error, if any, is set aside until it ends. A message that
  // unwinds leaves no error behind for the next one.
  class Message {
   public:
    explicit Message(StdoutStream& stream);
    ~Message();
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    TextSink& sink() { return stream_.writer_; }
    // The error that stopped the message, if any, for texts whose writes
    // returned `written`. Releases the lock: call it once, last.
    IoResult<void> finish(bool written);
    // As `finish`, for a print: its failure is raised ("failed printing to
    // stdout: {error}") once the lock is free again, so the report never
    // waits on it.
    void finish_print(bool written);

   private:
    // Puts the outer message's error back and releases the lock.
    void close();

    StdoutStream& stream_;
    std::optional<IoError> outer_;
    bool open_ = true;
  };

  // Writes one message under the lock. Returns the error that stopped it.
  template <class... Args>
  IoResult<void> write_message(const Args&... args) {
    Message message(*this);
    return message.finish((write_arg(message.sink(), args) && ...));
  }

  // Writes out what is buffered unless another thread holds the lock or a
  // write never returned, then makes the stream unbuffered. Errors are
  // dropped. The exit step's work on a stream that exists.
  void flush_and_unbuffer();

 private:
  friend struct testing::StdoutProbe;
  class LockScope;

  char* storage_;
  ReentrantLock lock_;
  PendingUtf8 pending_;
  StdHandleWriter handle_;
  LineWriter writer_;
};

// The process's standard output stream, created with the usual buffer on
// first use.
StdoutStream& stdout_stream();

// Prints the pieces and arguments as one message; the arguments are those of
// the formatted write (strings, integers, objects with write_to). The texts
// go straight into the line buffer.
template <class... Args>
void print_to_stdout(const Args&... args) {
  StdoutStream::Message message(stdout_stream());
  message.finish_print((write_arg(message.sink(), args) && ...));
}

// The exit step: writes out what standard output still buffers and makes the
// stream unbuffered for the rest of the process. Called once, by the start
// routine, after the main routine has ended. Never fails and never waits for
// another thread.
void exit_flush();

}  // namespace tavo

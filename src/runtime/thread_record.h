// How the reports see a thread: its record, which may carry a name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavo {

class ThreadRecord {
 public:
  // A record without a name.
  ThreadRecord() = default;
  explicit ThreadRecord(std::string_view name);
  ThreadRecord(const ThreadRecord&) = delete;
  ThreadRecord& operator=(const ThreadRecord&) = delete;

  // The name without its terminating NUL, if the thread has one.
  std::optional<std::string_view> name() const;

 private:
  // The name followed by a NUL; empty for a nameless record.
  std::string name_with_nul_;
};

// The calling thread's record. A thread that has none gets a nameless record,
// registered from then on and released when the thread ends. Null once the
// thread's local storage has been torn down.
ThreadRecord* current_thread_record();

// The calling thread's record if it has one (no record is created); `false`
// in `available` once the thread's local storage has been torn down.
ThreadRecord* existing_thread_record(bool& available);

// Makes `record` the calling thread's record. The caller keeps ownership and
// keeps the record alive for as long as the thread runs.
void set_current_thread_record(ThreadRecord& record);

// Gives the calling thread a new record with `name`, owned by the thread and
// released when it ends.
void name_current_thread(std::string_view name);

}  // namespace tavo

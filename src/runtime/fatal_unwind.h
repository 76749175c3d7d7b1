// What carries a fatal failure from where it was raised back to the start
// routine, and the failure state that the start routine resets when it
// catches one. Only the process frame uses this header.
#pragma once

#include <string>
#include <string_view>

namespace tavo::detail {

// The exception that travels: it holds the failure's payload, the message
// text composed for the report. Only the start routine catches it.
class FatalUnwind {
 public:
  explicit FatalUnwind(std::string payload) : payload_(std::move(payload)) {}

  std::string_view payload() const { return payload_; }
  // Gives the payload back. Any failure raised while doing so travels out of
  // here like any other. Defined alone in an object of its own
  // (payload_release.cpp), so that a program may link its own release
  // instead.
  void release_payload();

 private:
  std::string payload_;
};

// Called by the start routine when it has caught a failure: takes it off the
// failures in flight and off the thread's count, and clears the thread's
// reporting flag.
void failure_caught() noexcept;

}  // namespace tavo::detail

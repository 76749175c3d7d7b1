// The stack-overflow line, written from the vectored exception handler on
// what is left of the overflowing thread's stack.
#include "runtime/overflow.h"

#include <cstdint>
#include <string_view>

#include "errors/formatted_write.h"
#include "platform/platform.h"
#include "runtime/thread_record.h"
#include "streams/failure.h"
#include "streams/stderr_sink.h"

namespace tavo {

long overflow_handler(void* exception_pointers) noexcept {
  // EXCEPTION_POINTERS starts with the EXCEPTION_RECORD*, which starts with
  // the exception code.
  const uint32_t code = **static_cast<const uint32_t* const*>(exception_pointers);
  if (code != static_cast<uint32_t>(platform::status_stack_overflow)) {
    return platform::exception_continue_search;
  }
  // The stack is nearly gone: look the record up without creating one.
  bool available = false;
  const ThreadRecord* record = existing_thread_record(available);
  if (!available) {
    // Escapes this noexcept handler and so ends the process as a failure
    // that cannot unwind.
    raise_fatal("the thread's record is gone: its local storage has been torn down",
                TAVO_HERE);
  }
  std::string_view name = "<unknown>";
  if (record != nullptr && record->name()) {
    name = *record->name();
  }
  StderrSink writer;
  (void)write_formatted(writer, "\nthread '", name, "' has overflowed its stack\n");
  return platform::exception_continue_search;
}

}  // namespace tavo

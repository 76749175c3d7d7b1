// The line that names a thread whose stack has overflowed.
#pragma once

namespace tavo {

// The vectored exception handler that reports a stack overflow of the
// current thread ("\nthread '{name}' has overflowed its stack\n") and lets
// the platform go on with the exception. `exception_pointers` is an
// EXCEPTION_POINTERS*.
long overflow_handler(void* exception_pointers) noexcept;

}  // namespace tavo

// The C++ runtime's terminate handlers: the one the frame installs when the
// program is loaded, and the default that serves code before it.
#include "runtime/terminate.h"

#include <exception>

#include "streams/abort.h"
#include "streams/failure.h"

namespace tavo {
namespace {

[[noreturn]] void on_terminate() {
  if (std::current_exception() != nullptr) {
    raise_fatal("panic in a function that cannot unwind", TAVO_HERE, false);
  }
  abort_process();
}

}  // namespace
}  // namespace tavo

// The C++ runtime's own default for std::terminate names the type of the
// exception in flight, and for that links its C++ name demangler and, through
// it, MinGW's printf engine: about a third of this program. The frame
// installs `on_terminate` when the program is loaded, ahead of every static
// initialiser of the program (fatal.cpp), so the default serves only code
// that runs before those: the C++ runtime's own start-up, for which the
// fail-fast request is the right end. Defining it here keeps the runtime's
// version out of the link.
namespace __gnu_cxx {
void __verbose_terminate_handler() { tavo::abort_process(); }
}  // namespace __gnu_cxx

namespace tavo::detail {

void install_cannot_unwind_handler() noexcept {
  std::set_terminate(on_terminate);
  // The C++ runtime keeps its per-thread exception state in emulated thread
  // storage, whose first use in the process creates a thread-library key;
  // that takes the library's key lock exclusively. A thread's exit callback
  // holds the same lock while it runs the thread-local destructors, so a
  // failure raised in one of those, were it the process's first, would wait
  // for itself forever instead of ending as one that cannot unwind. Asking
  // for the state here, on the main thread while the program is loaded,
  // makes the key before any thread ends. (The result is kept: the call is declared pure
  // and would go.)
  [[maybe_unused]] volatile int exceptions = std::uncaught_exceptions();
}

}  // namespace tavo::detail

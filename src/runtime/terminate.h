// What ends a failure that escapes code which must not pass failures on.
#pragma once

namespace tavo::detail {

// Makes a failure that escapes code which must not pass failures on (a
// noexcept function, a destructor during unwinding, a thread-local
// destructor, a platform callback) end as "panic in a function that cannot
// unwind": reported, then an abort. Idempotent.
void install_cannot_unwind_handler() noexcept;

}  // namespace tavo::detail

// The release of a caught failure's payload, alone in its object: a program
// that defines this function itself links its own release and not this one
// (the frame tests release through one that can raise).
#include "runtime/fatal_unwind.h"

namespace tavo::detail {

void FatalUnwind::release_payload() { std::string().swap(payload_); }

}  // namespace tavo::detail

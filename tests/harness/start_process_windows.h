// CreateProcessW for test drivers, made dependable on a loaded machine.
#pragma once

#include "platform/windows_api.h"

namespace tavo::harness {

// Takes CreateProcessW's arguments and gives its result. Under load, Wine now
// and then refuses a new process with ERROR_INTERNAL_ERROR (the child died
// before it had finished starting); nothing was created then, and the failure
// says nothing about the program under test, so the same call is made again a
// few times after a short pause. Any other failure is returned at once. The
// child (and this process) get an error mode in which a crash raises no
// error-reporting dialog, so that none can hold a test until its timeout.
BOOL start_process(const wchar_t* program, wchar_t* command_line, BOOL inherit_handles,
                   DWORD flags, void* environment, STARTUPINFOW* startup,
                   PROCESS_INFORMATION* process);

}  // namespace tavo::harness

// The one place that includes the Windows headers. Only the files that
// implement the real platform include this header.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winternl.h>
// Types only: dbghelp is loaded at run time and its functions looked up.
#include <dbghelp.h>

// ntdll exports that the SDK headers available to us do not declare.
extern "C" {
NTSTATUS NTAPI NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                           PVOID apc_context, PIO_STATUS_BLOCK status, PVOID buffer,
                           ULONG length, PLARGE_INTEGER offset, PULONG key);
NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                          PVOID apc_context, PIO_STATUS_BLOCK status, PVOID buffer,
                          ULONG length, PLARGE_INTEGER offset, PULONG key);
}

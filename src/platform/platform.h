// The seam between this program and the operating system.
//
// Every kernel32, ntdll and debug help call that this program makes goes
// through the `Platform` object returned by `current()`. The real one
// forwards to Windows; tests install their own (see tests/support) to script
// results that a real system cannot produce on demand. This header includes no Windows
// header: the types and values below mirror the Win32 ones, and platform_windows.cpp
// holds them against the system's headers.
//
// Locks and thread-local storage are not part of the seam: they never fail.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo::platform {

using Handle = void*;
using Module = void*;
using NtStatus = int32_t;

// Standard handle identifiers for get_std_handle.
inline constexpr int32_t std_input_handle = -10;
inline constexpr int32_t std_output_handle = -11;
inline constexpr int32_t std_error_handle = -12;

inline Handle invalid_handle_value() { return reinterpret_cast<Handle>(~uintptr_t{0}); }

// The Win32 values this program uses by name: error codes, NTSTATUS and
// HRESULT values, arguments of the calls (the UTF-8 code page and the strict
// conversion flags, an endless wait, the fail-fast code, where dbghelp is
// looked for, FormatMessageW's flags and language, the bit that marks an
// NTSTATUS carried as an error code, the symbol options) and what the
// overflow handler returns.
// One row each: type, name, value, and the system's name, against which
// platform_windows.cpp checks the value.
// clang-format off
#define TAVO_MIRRORED_WIN32_VALUES(X) \
  X(uint32_t, error_invalid_handle, 6, ERROR_INVALID_HANDLE) \
  X(uint32_t, error_broken_pipe, 109, ERROR_BROKEN_PIPE) \
  X(uint32_t, error_call_not_implemented, 120, ERROR_CALL_NOT_IMPLEMENTED) \
  X(uint32_t, error_no_data, 232, ERROR_NO_DATA) \
  X(uint32_t, error_operation_aborted, 995, ERROR_OPERATION_ABORTED) \
  X(NtStatus, status_pending, 0x103, STATUS_PENDING) \
  X(NtStatus, status_stack_overflow, 0xC00000FD, STATUS_STACK_OVERFLOW) \
  X(int32_t, e_notimpl, 0x80004001, E_NOTIMPL) \
  X(uint32_t, cp_utf8, 65001, CP_UTF8) \
  X(uint32_t, mb_err_invalid_chars, 0x8, MB_ERR_INVALID_CHARS) \
  X(uint32_t, wc_err_invalid_chars, 0x80, WC_ERR_INVALID_CHARS) \
  X(uint32_t, infinite, 0xFFFFFFFF, INFINITE) \
  X(uint32_t, fast_fail_fatal_app_exit, 7, FAST_FAIL_FATAL_APP_EXIT) \
  X(uint32_t, load_library_search_system32, 0x800, LOAD_LIBRARY_SEARCH_SYSTEM32) \
  X(long, exception_continue_search, 0, EXCEPTION_CONTINUE_SEARCH) \
  X(uint32_t, format_message_ignore_inserts, 0x0200, FORMAT_MESSAGE_IGNORE_INSERTS) \
  X(uint32_t, format_message_from_hmodule, 0x0800, FORMAT_MESSAGE_FROM_HMODULE) \
  X(uint32_t, format_message_from_system, 0x1000, FORMAT_MESSAGE_FROM_SYSTEM) \
  X(int32_t, facility_nt_bit, 0x10000000, FACILITY_NT_BIT) \
  X(uint32_t, lang_system_default, 0x0800, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT)) \
  X(uint32_t, symopt_undname, 0x2, SYMOPT_UNDNAME) \
  X(uint32_t, symopt_deferred_loads, 0x4, SYMOPT_DEFERRED_LOADS) \
  X(uint32_t, symopt_load_lines, 0x10, SYMOPT_LOAD_LINES) \
  /* end */
// clang-format on

#define TAVO_DEFINE_MIRRORED(type, name, value, system) \
  inline constexpr type name = static_cast<type>(value);
TAVO_MIRRORED_WIN32_VALUES(TAVO_DEFINE_MIRRORED)
#undef TAVO_DEFINE_MIRRORED

// The end of a file or pipe; the user-mode headers have no name for it.
inline constexpr NtStatus status_end_of_file = static_cast<NtStatus>(0xC0000011u);

// IO_STATUS_BLOCK.
struct IoStatusBlock {
  union {
    NtStatus status;
    void* pointer;
  };
  uintptr_t information;
};

// CONSOLE_READCONSOLE_CONTROL.
struct ConsoleReadControl {
  uint32_t length;
  uint32_t initial_chars;
  uint32_t ctrl_wakeup_mask;
  uint32_t control_key_state;
};

// PVECTORED_EXCEPTION_HANDLER; the argument is an EXCEPTION_POINTERS*.
using VectoredHandler = long (*)(void* exception_pointers);
// A function found with get_proc_address.
using Procedure = void (*)();

// The functions of the debug help library that the symbol lookup calls,
// found in it with get_proc_address (the library is loaded at run time; no
// import binds it). The sym_ members below call through them.
struct DebugHelp {
  Procedure get_options;        // SymGetOptions
  Procedure set_options;        // SymSetOptions
  Procedure initialize;         // SymInitializeW
  Procedure load_module;        // SymLoadModuleExW
  Procedure from_address;       // SymFromAddrW
  Procedure line_from_address;  // SymGetLineFromAddrW64
};

// The calls of the seam, one row each in the order of a declaration: the
// result, the name, the parameters, the same parameters as arguments (for
// implementations that pass a call on), and how the call fails as the
// program sees it:
//   with_code      fails with a system error code of its own, which the
//                  program acts on or reports;
//   plainly        fails with null, 0 or false (WAIT_FAILED for the wait), and
//                  the program does not depend on the code it leaves;
//   never          has no failure that the program could see;
//   never_returns  does not come back.
// Each row is one Win32 or NT call with the same arguments and result (BOOL
// as bool, DWORD as uint32_t, wide strings as char16_t); a comment says how
// where the mapping is not obvious. The `Platform` interface below is made
// from this list, and so are the test platforms that pass calls on or count
// them (tests/support, tests/fault).
// clang-format off
#define TAVO_PLATFORM_CALLS(X) \
  X(Handle, get_std_handle, (int32_t id), (id), with_code) \
  X(bool, get_console_mode, (Handle console, uint32_t* mode), (console, mode), with_code) \
  X(bool, write_console_w, (Handle console, const char16_t* units, uint32_t count, uint32_t* written), \
    (console, units, count, written), with_code) \
  X(bool, read_console_w, (Handle console, char16_t* units, uint32_t count, uint32_t* read, \
                           ConsoleReadControl* control), \
    (console, units, count, read, control), with_code) \
  /* MultiByteToWideChar / WideCharToMultiByte (no default character). */ \
  X(int, multi_byte_to_wide_char, (uint32_t code_page, uint32_t flags, const char* bytes, \
                                   int byte_count, char16_t* units, int unit_capacity), \
    (code_page, flags, bytes, byte_count, units, unit_capacity), plainly) \
  X(int, wide_char_to_multi_byte, (uint32_t code_page, uint32_t flags, const char16_t* units, \
                                   int unit_count, char* bytes, int byte_capacity), \
    (code_page, flags, units, unit_count, bytes, byte_capacity), plainly) \
  X(uint32_t, get_last_error, (), (), never) \
  X(void, set_last_error, (uint32_t code), (code), never) \
  X(uint32_t, wait_for_single_object, (Handle object, uint32_t milliseconds), \
    (object, milliseconds), plainly) \
  /* NtWriteFile / NtReadFile with no event, APC, byte offset or key: the \
     transfer uses the handle's current position. */ \
  X(NtStatus, nt_write_file, (Handle file, IoStatusBlock* block, const void* bytes, uint32_t length), \
    (file, block, bytes, length), with_code) \
  X(NtStatus, nt_read_file, (Handle file, IoStatusBlock* block, void* bytes, uint32_t length), \
    (file, block, bytes, length), with_code) \
  X(uint32_t, rtl_nt_status_to_dos_error, (NtStatus status), (status), never) \
  /* FormatMessageW without insert arguments. */ \
  X(uint32_t, format_message_w, (uint32_t flags, Module source, uint32_t message_id, \
                                 uint32_t language_id, char16_t* buffer, uint32_t size), \
    (flags, source, message_id, language_id, buffer, size), with_code) \
  X(Module, get_module_handle_w, (const char16_t* name), (name), plainly) \
  X(Module, get_module_handle_a, (const char* name), (name), plainly) \
  X(Procedure, get_proc_address, (Module module, const char* name), (module, name), plainly) \
  /* LoadLibraryExW(name, NULL, flags). */ \
  X(Module, load_library_ex_w, (const char16_t* name, uint32_t flags), (name, flags), plainly) \
  X(uint32_t, get_environment_variable_w, (const char16_t* name, char16_t* buffer, uint32_t size), \
    (name, buffer, size), with_code) \
  X(void*, add_vectored_exception_handler, (uint32_t first, VectoredHandler handler), \
    (first, handler), plainly) \
  X(bool, set_thread_stack_guarantee, (uint32_t* stack_size_in_bytes), (stack_size_in_bytes), \
    plainly) \
  X(Handle, get_current_thread, (), (), never) \
  X(Handle, get_current_process, (), (), never) \
  /* RtlCaptureContext; `context` is a 16-byte aligned CONTEXT. */ \
  X(void, rtl_capture_context, (void* context), (context), never) \
  /* RtlLookupFunctionEntry without a history table: the RUNTIME_FUNCTION \
     for `pc`, or null (a leaf function, or no image at that address). */ \
  X(void*, rtl_lookup_function_entry, (uint64_t pc, uint64_t* image_base), (pc, image_base), \
    plainly) \
  /* RtlVirtualUnwind with UNW_FLAG_NHANDLER: turns `context` (a CONTEXT at \
     `pc` inside the function of `function_entry`) into its caller's. */ \
  X(void, rtl_virtual_unwind, (uint64_t image_base, uint64_t pc, void* function_entry, \
                               void* context), \
    (image_base, pc, function_entry, context), never) \
  X(uint32_t, get_module_file_name_w, (Module module, char16_t* buffer, uint32_t size), \
    (module, buffer, size), plainly) \
  /* HeapAlloc / HeapFree on the process heap (GetProcessHeap), no flags. */ \
  X(void*, heap_alloc, (size_t size), (size), plainly) \
  X(bool, heap_free, (void* block), (block), never) \
  /* The commit limit from GlobalMemoryStatusEx (ullTotalPageFile): no \
     allocation larger than this can succeed. 0 when the call fails. */ \
  X(uint64_t, commit_limit, (), (), plainly) \
  /* The fail-fast request (interrupt 0x29) with `code`. */ \
  X(void, fail_fast, (uint32_t code), (code), never_returns) \
  /* GetCurrentThreadStackLimits: the calling thread's stack is [*low, *high). \
     The call cannot fail; an empty stack stands for a failure, and the stack \
     walk reads nothing past it. */ \
  X(void, get_current_thread_stack_limits, (uint64_t* low, uint64_t* high), (low, high), \
    plainly) \
  X(uint32_t, get_short_path_name_w, (const char16_t* long_path, char16_t* buffer, uint32_t size), \
    (long_path, buffer, size), plainly) \
  /* The debug help library, through the functions of `library`. */ \
  X(uint32_t, sym_get_options, (const DebugHelp& library), (library), never) \
  X(uint32_t, sym_set_options, (const DebugHelp& library, uint32_t options), (library, options), \
    never) \
  X(bool, sym_initialize_w, (const DebugHelp& library, Handle process, const char16_t* search_path, \
                             bool invade), \
    (library, process, search_path, invade), plainly) \
  /* SymLoadModuleExW(process, NULL, image, NULL, base, 0, NULL, 0). */ \
  X(uint64_t, sym_load_module_ex_w, (const DebugHelp& library, Handle process, \
                                     const char16_t* image, uint64_t base), \
    (library, process, image, base), plainly) \
  /* SymFromAddrW: the symbol's name goes to `name` (`capacity` units with \
     the terminating NUL, cut to fit). */ \
  X(bool, sym_from_addr_w, (const DebugHelp& library, Handle process, uint64_t address, \
                            char16_t* name, uint32_t capacity), \
    (library, process, address, name, capacity), plainly) \
  /* SymGetLineFromAddrW64: the file (in the library's memory, valid until \
     its next call) and the line. */ \
  X(bool, sym_get_line_from_addr_w64, (const DebugHelp& library, Handle process, \
                                       uint64_t address, const char16_t** file, uint32_t* line), \
    (library, process, address, file, line), plainly) \
  /* end */
// clang-format on

// The attributes of a call, from its last column.
#define TAVO_PLATFORM_ATTRIBUTES_with_code
#define TAVO_PLATFORM_ATTRIBUTES_plainly
#define TAVO_PLATFORM_ATTRIBUTES_never
#define TAVO_PLATFORM_ATTRIBUTES_never_returns [[noreturn]]

// The operating system as this program uses it: a member for each call of
// the list above.
class Platform {
 public:
  // The types of the calls, also for implementations in other namespaces.
  using Handle = platform::Handle;
  using Module = platform::Module;
  using NtStatus = platform::NtStatus;
  using IoStatusBlock = platform::IoStatusBlock;
  using ConsoleReadControl = platform::ConsoleReadControl;
  using VectoredHandler = platform::VectoredHandler;
  using Procedure = platform::Procedure;
  using DebugHelp = platform::DebugHelp;

#define TAVO_DECLARE_PLATFORM_CALL(result, name, parameters, arguments, fails) \
  TAVO_PLATFORM_ATTRIBUTES_##fails virtual result name parameters = 0;
  TAVO_PLATFORM_CALLS(TAVO_DECLARE_PLATFORM_CALL)
#undef TAVO_DECLARE_PLATFORM_CALL

 protected:
  ~Platform() = default;
};

// The platform in use: the real one unless a test installed another.
Platform& current();
// The real platform (Windows builds only).
Platform& real();
// Installs `replacement` (nullptr restores the real one) and returns the
// previous one. For tests; not thread-safe against concurrent calls.
Platform* install(Platform* replacement);

}  // namespace tavo::platform

// The "real" platform that FakePlatform forwards to in the native (Linux)
// build of the tests, where there is no Windows below the seam. It keeps the
// few calls that have an obvious host meaning (the heap, the thread's last
// error) and stops the test program loudly on any other: a test that reaches
// one needs Windows and belongs to the Windows build only.
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace tavo::sys {
namespace {

[[noreturn]] void unavailable(const char* call) {
  std::fprintf(stderr, "%s: not available in the native build of the tests\n", call);
  std::abort();
}

thread_local uint32_t last_error = 0;

class HostPlatform final : public Platform {
 public:
  Handle get_std_handle(int32_t) override { unavailable("GetStdHandle"); }
  bool get_console_mode(Handle, uint32_t*) override { unavailable("GetConsoleMode"); }
  bool write_console_w(Handle, const char16_t*, uint32_t, uint32_t*) override {
    unavailable("WriteConsoleW");
  }
  bool read_console_w(Handle, char16_t*, uint32_t, uint32_t*,
                      ConsoleReadControl*) override {
    unavailable("ReadConsoleW");
  }
  int multi_byte_to_wide_char(uint32_t, uint32_t, const char*, int, char16_t*,
                              int) override {
    unavailable("MultiByteToWideChar");
  }
  int wide_char_to_multi_byte(uint32_t, uint32_t, const char16_t*, int, char*,
                              int) override {
    unavailable("WideCharToMultiByte");
  }
  uint32_t get_last_error() override { return last_error; }
  void set_last_error(uint32_t code) override { last_error = code; }
  uint32_t wait_for_single_object(Handle, uint32_t) override {
    unavailable("WaitForSingleObject");
  }
  NtStatus nt_write_file(Handle, IoStatusBlock*, const void*, uint32_t) override {
    unavailable("NtWriteFile");
  }
  NtStatus nt_read_file(Handle, IoStatusBlock*, void*, uint32_t) override {
    unavailable("NtReadFile");
  }
  uint32_t rtl_nt_status_to_dos_error(NtStatus) override {
    unavailable("RtlNtStatusToDosError");
  }
  uint32_t format_message_w(uint32_t, Module, uint32_t, uint32_t, char16_t*,
                            uint32_t) override {
    unavailable("FormatMessageW");
  }
  Module get_module_handle_w(const char16_t*) override {
    unavailable("GetModuleHandleW");
  }
  Module get_module_handle_a(const char*) override { unavailable("GetModuleHandleA"); }
  Procedure get_proc_address(Module, const char*) override {
    unavailable("GetProcAddress");
  }
  Module load_library_ex_w(const char16_t*, uint32_t) override {
    unavailable("LoadLibraryExW");
  }
  uint32_t get_environment_variable_w(const char16_t*, char16_t*, uint32_t) override {
    unavailable("GetEnvironmentVariableW");
  }
  void* add_vectored_exception_handler(uint32_t, VectoredHandler) override {
    unavailable("AddVectoredExceptionHandler");
  }
  bool set_thread_stack_guarantee(uint32_t*) override {
    unavailable("SetThreadStackGuarantee");
  }
  Handle get_current_thread() override { unavailable("GetCurrentThread"); }
  Handle get_current_process() override { unavailable("GetCurrentProcess"); }
  void rtl_capture_context(void*) override { unavailable("RtlCaptureContext"); }
  void* rtl_lookup_function_entry(uint64_t, uint64_t*) override {
    unavailable("RtlLookupFunctionEntry");
  }
  void rtl_virtual_unwind(uint64_t, uint64_t, void*, void*) override {
    unavailable("RtlVirtualUnwind");
  }
  uint32_t get_module_file_name_w(Module, char16_t*, uint32_t) override {
    unavailable("GetModuleFileNameW");
  }
  void get_current_thread_stack_limits(uint64_t*, uint64_t*) override {
    unavailable("GetCurrentThreadStackLimits");
  }
  uint32_t get_short_path_name_w(const char16_t*, char16_t*, uint32_t) override {
    unavailable("GetShortPathNameW");
  }
  uint32_t sym_get_options(const DebugHelp&) override { unavailable("SymGetOptions"); }
  uint32_t sym_set_options(const DebugHelp&, uint32_t) override {
    unavailable("SymSetOptions");
  }
  bool sym_initialize_w(const DebugHelp&, Handle, const char16_t*, bool) override {
    unavailable("SymInitializeW");
  }
  uint64_t sym_load_module_ex_w(const DebugHelp&, Handle, const char16_t*,
                                uint64_t) override {
    unavailable("SymLoadModuleExW");
  }
  bool sym_from_addr_w(const DebugHelp&, Handle, uint64_t, char16_t*, uint32_t) override {
    unavailable("SymFromAddrW");
  }
  bool sym_get_line_from_addr_w64(const DebugHelp&, Handle, uint64_t, const char16_t**,
                                  uint32_t*) override {
    unavailable("SymGetLineFromAddrW64");
  }
  void* heap_alloc(size_t size) override { return std::malloc(size); }
  bool heap_free(void* block) override {
    std::free(block);
    return true;
  }
  uint64_t commit_limit() override { return ~uint64_t{0}; }
  [[noreturn]] void fail_fast(uint32_t code) override {
    std::fprintf(stderr, "fail-fast request, code %u\n", code);
    std::abort();
  }
};

}  // namespace

Platform& real_platform() {
  static HostPlatform host;
  return host;
}

}  // namespace tavo::sys

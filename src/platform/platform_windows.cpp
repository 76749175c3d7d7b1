// The real platform: each member forwards to the Windows call of its name.
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/windows_api.h"

namespace tavo::platform {
namespace {

static_assert(sizeof(IoStatusBlock) == sizeof(IO_STATUS_BLOCK));
static_assert(sizeof(ConsoleReadControl) == sizeof(CONSOLE_READCONSOLE_CONTROL));
static_assert(sizeof(wchar_t) == sizeof(char16_t));

// The seam's header includes no Windows header and mirrors the values it
// needs; here they are held against the system's own, compared as the 32 bits
// that the calls see.
constexpr bool mirrors(auto ours, auto system) {
  return static_cast<uint32_t>(ours) == static_cast<uint32_t>(system);
}
#define TAVO_CHECK_MIRRORED(type, name, value, system) \
  static_assert(mirrors(name, system), #name " differs from " #system);
TAVO_MIRRORED_WIN32_VALUES(TAVO_CHECK_MIRRORED)
#undef TAVO_CHECK_MIRRORED

const wchar_t* wide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}
wchar_t* wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

// Calls a function of the debug help library as the type it has there.
template <class Function, class... Args>
auto call(Procedure procedure, Args... args) {
  return reinterpret_cast<Function>(procedure)(args...);
}

class WindowsPlatform final : public Platform {
 public:
  Handle get_std_handle(int32_t id) override {
    return GetStdHandle(static_cast<DWORD>(id));
  }
  bool get_console_mode(Handle console, uint32_t* mode) override {
    DWORD value = *mode;
    BOOL ok = GetConsoleMode(console, &value);
    *mode = value;
    return ok != 0;
  }
  bool write_console_w(Handle console, const char16_t* units, uint32_t count,
                       uint32_t* written) override {
    DWORD done = 0;
    BOOL ok = WriteConsoleW(console, units, count, &done, nullptr);
    *written = done;
    return ok != 0;
  }
  bool read_console_w(Handle console, char16_t* units, uint32_t count, uint32_t* read,
                      ConsoleReadControl* control) override {
    DWORD done = 0;
    BOOL ok = ReadConsoleW(console, units, count, &done,
                           reinterpret_cast<PCONSOLE_READCONSOLE_CONTROL>(control));
    *read = done;
    return ok != 0;
  }
  int multi_byte_to_wide_char(uint32_t code_page, uint32_t flags, const char* bytes,
                              int byte_count, char16_t* units,
                              int unit_capacity) override {
    return MultiByteToWideChar(code_page, flags, bytes, byte_count, wide(units),
                               unit_capacity);
  }
  int wide_char_to_multi_byte(uint32_t code_page, uint32_t flags, const char16_t* units,
                              int unit_count, char* bytes, int byte_capacity) override {
    return WideCharToMultiByte(code_page, flags, wide(units), unit_count, bytes,
                               byte_capacity, nullptr, nullptr);
  }
  uint32_t get_last_error() override { return GetLastError(); }
  void set_last_error(uint32_t code) override { SetLastError(code); }
  uint32_t wait_for_single_object(Handle object, uint32_t ms) override {
    return WaitForSingleObject(object, ms);
  }
  NtStatus nt_write_file(Handle file, IoStatusBlock* block, const void* bytes,
                         uint32_t length) override {
    return NtWriteFile(file, nullptr, nullptr, nullptr,
                       reinterpret_cast<PIO_STATUS_BLOCK>(block),
                       const_cast<void*>(bytes), length, nullptr, nullptr);
  }
  NtStatus nt_read_file(Handle file, IoStatusBlock* block, void* bytes,
                        uint32_t length) override {
    return NtReadFile(file, nullptr, nullptr, nullptr,
                      reinterpret_cast<PIO_STATUS_BLOCK>(block), bytes, length, nullptr,
                      nullptr);
  }
  uint32_t rtl_nt_status_to_dos_error(NtStatus status) override {
    return RtlNtStatusToDosError(status);
  }
  uint32_t format_message_w(uint32_t flags, Module source, uint32_t message_id,
                            uint32_t language_id, char16_t* buffer,
                            uint32_t size) override {
    return FormatMessageW(flags, source, message_id, language_id, wide(buffer), size,
                          nullptr);
  }
  Module get_module_handle_w(const char16_t* name) override {
    return GetModuleHandleW(wide(name));
  }
  Module get_module_handle_a(const char* name) override { return GetModuleHandleA(name); }
  Procedure get_proc_address(Module module, const char* name) override {
    return reinterpret_cast<Procedure>(
        GetProcAddress(static_cast<HMODULE>(module), name));
  }
  Module load_library_ex_w(const char16_t* name, uint32_t flags) override {
    return LoadLibraryExW(wide(name), nullptr, flags);
  }
  uint32_t get_environment_variable_w(const char16_t* name, char16_t* buffer,
                                      uint32_t size) override {
    return GetEnvironmentVariableW(wide(name), wide(buffer), size);
  }
  void* add_vectored_exception_handler(uint32_t first, VectoredHandler handler) override {
    return AddVectoredExceptionHandler(
        first, reinterpret_cast<PVECTORED_EXCEPTION_HANDLER>(handler));
  }
  bool set_thread_stack_guarantee(uint32_t* size) override {
    ULONG value = *size;
    BOOL ok = SetThreadStackGuarantee(&value);
    *size = value;
    return ok != 0;
  }
  Handle get_current_thread() override { return GetCurrentThread(); }
  Handle get_current_process() override { return GetCurrentProcess(); }
  void rtl_capture_context(void* context) override {
    RtlCaptureContext(static_cast<PCONTEXT>(context));
  }
  void* rtl_lookup_function_entry(uint64_t pc, uint64_t* image_base) override {
    DWORD64 base = 0;
    PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(pc, &base, nullptr);
    *image_base = base;
    return entry;
  }
  void rtl_virtual_unwind(uint64_t image_base, uint64_t pc, void* function_entry,
                          void* context) override {
    void* handler_data = nullptr;
    DWORD64 establisher_frame = 0;
    (void)RtlVirtualUnwind(
        UNW_FLAG_NHANDLER, image_base, pc, static_cast<PRUNTIME_FUNCTION>(function_entry),
        static_cast<PCONTEXT>(context), &handler_data, &establisher_frame, nullptr);
  }
  uint32_t get_module_file_name_w(Module module, char16_t* buffer,
                                  uint32_t size) override {
    return GetModuleFileNameW(static_cast<HMODULE>(module), wide(buffer), size);
  }
  // (Low, then high: the order of the system call.)
  // NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
  void get_current_thread_stack_limits(uint64_t* low, uint64_t* high) override {
    ULONG_PTR bottom = 0;
    ULONG_PTR top = 0;
    GetCurrentThreadStackLimits(&bottom, &top);
    *low = bottom;
    *high = top;
  }
  uint32_t get_short_path_name_w(const char16_t* long_path, char16_t* buffer,
                                 uint32_t size) override {
    return GetShortPathNameW(wide(long_path), wide(buffer), size);
  }
  uint32_t sym_get_options(const DebugHelp& library) override {
    return call<decltype(&SymGetOptions)>(library.get_options);
  }
  uint32_t sym_set_options(const DebugHelp& library, uint32_t options) override {
    return call<decltype(&SymSetOptions)>(library.set_options, options);
  }
  bool sym_initialize_w(const DebugHelp& library, Handle process,
                        const char16_t* search_path, bool invade) override {
    return call<decltype(&SymInitializeW)>(library.initialize, process, wide(search_path),
                                           invade) != 0;
  }
  uint64_t sym_load_module_ex_w(const DebugHelp& library, Handle process,
                                const char16_t* image, uint64_t base) override {
    return call<decltype(&SymLoadModuleExW)>(library.load_module, process, nullptr,
                                             wide(image), nullptr, base, 0, nullptr, 0);
  }
  bool sym_from_addr_w(const DebugHelp& library, Handle process, uint64_t address,
                       char16_t* name, uint32_t capacity) override {
    if (capacity == 0) {
      return false;
    }
    constexpr uint32_t max_name = 1024;
    alignas(SYMBOL_INFOW) unsigned char
        storage[sizeof(SYMBOL_INFOW) + max_name * sizeof(wchar_t)] = {};
    auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(storage);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
    symbol->MaxNameLen = max_name;
    DWORD64 displacement = 0;
    if (!call<decltype(&SymFromAddrW)>(library.from_address, process, address,
                                       &displacement, symbol)) {
      return false;
    }
    const uint32_t length =
        std::min({static_cast<uint32_t>(symbol->NameLen), max_name - 1, capacity - 1});
    std::memcpy(name, symbol->Name, length * sizeof(char16_t));
    name[length] = u'\0';
    return true;
  }
  bool sym_get_line_from_addr_w64(const DebugHelp& library, Handle process,
                                  uint64_t address, const char16_t** file,
                                  uint32_t* line) override {
    IMAGEHLP_LINEW64 found{};
    found.SizeOfStruct = sizeof found;
    DWORD displacement = 0;
    if (!call<decltype(&SymGetLineFromAddrW64)>(library.line_from_address, process,
                                                address, &displacement, &found)) {
      return false;
    }
    *file = reinterpret_cast<const char16_t*>(found.FileName);
    *line = found.LineNumber;
    return true;
  }
  void* heap_alloc(size_t size) override { return HeapAlloc(GetProcessHeap(), 0, size); }
  bool heap_free(void* block) override {
    return HeapFree(GetProcessHeap(), 0, block) != 0;
  }
  uint64_t commit_limit() override {
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? status.ullTotalPageFile : 0;
  }
  [[noreturn]] void fail_fast(uint32_t code) override {
    // The fail-fast request: interrupt 0x29 with the code in ecx.
    __asm__ volatile("int $0x29" ::"c"(code));
    __builtin_unreachable();
  }
};

// Constant-initialised so that the platform is usable from the first
// instruction of the process, before any dynamic initialiser runs.
constinit WindowsPlatform real_instance;
constinit std::atomic<Platform*> installed_platform{nullptr};

}  // namespace

Platform& real() { return real_instance; }

Platform& current() {
  Platform* installed = installed_platform.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : real_instance;
}

Platform* install(Platform* replacement) {
  Platform* previous =
      installed_platform.exchange(replacement, std::memory_order_acq_rel);
  return previous != nullptr ? previous : &real_instance;
}

}  // namespace tavo::platform

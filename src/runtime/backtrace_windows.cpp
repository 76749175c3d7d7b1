// Stack traces through the platform's debug help library, which is loaded
// from the system directory on first use; nothing links against it.
#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "runtime/backtrace.h"
#include "runtime/platform.h"
#include "runtime/sync.h"
#include "runtime/windows_api.h"
#include "streams/formatted_write.h"

namespace tavo {
namespace {

constexpr uint32_t load_library_search_system32 = 0x800;
// A short trace visits at most this many frames after the first.
constexpr unsigned short_frame_limit = 100;
constexpr uint32_t max_name_length = 1024;

constexpr std::string_view begin_marker = "__tavo_begin_short_backtrace";
constexpr std::string_view end_marker = "__tavo_end_short_backtrace";

// Two traces never interleave; the library state below is touched only
// under this lock (dbghelp itself is not safe for concurrent use either).
constinit sys::SrwLock trace_lock;

struct DebugHelp {
  decltype(&SymGetOptions) get_options = nullptr;
  decltype(&SymSetOptions) set_options = nullptr;
  decltype(&SymInitialize) initialize = nullptr;
  decltype(&StackWalk64) stack_walk = nullptr;
  decltype(&SymFunctionTableAccess64) function_table_access = nullptr;
  decltype(&SymGetModuleBase64) get_module_base = nullptr;
  decltype(&SymFromAddr) from_address = nullptr;
  decltype(&SymGetLineFromAddr64) line_from_address = nullptr;
};

constinit bool library_tried = false;
constinit bool library_ready = false;
constinit DebugHelp library;

template <class F>
bool find(sys::Module module, const char* name, F& function) {
  function = reinterpret_cast<F>(sys::platform().get_proc_address(module, name));
  return function != nullptr;
}

// Loads the library and initialises its symbol handler, once per process.
// Called with the trace lock held.
bool prepare_library() {
  if (library_tried) {
    return library_ready;
  }
  library_tried = true;
  sys::Platform& os = sys::platform();
  sys::Module module = os.load_library_ex_w(u"dbghelp.dll", load_library_search_system32);
  if (module == nullptr) {
    return false;
  }
  DebugHelp found;
  if (!find(module, "SymGetOptions", found.get_options) ||
      !find(module, "SymSetOptions", found.set_options) ||
      !find(module, "SymInitialize", found.initialize) ||
      !find(module, "StackWalk64", found.stack_walk) ||
      !find(module, "SymFunctionTableAccess64", found.function_table_access) ||
      !find(module, "SymGetModuleBase64", found.get_module_base) ||
      !find(module, "SymFromAddr", found.from_address) ||
      !find(module, "SymGetLineFromAddr64", found.line_from_address)) {
    return false;
  }
  found.set_options(found.get_options() | SYMOPT_UNDNAME | SYMOPT_LOAD_LINES |
                    SYMOPT_DEFERRED_LOADS);
  if (!found.initialize(os.get_current_process(), nullptr, TRUE)) {
    return false;
  }
  library = found;
  library_ready = true;
  return true;
}

// A symbol name in readable form: names the compiler mangled are demangled
// (into memory of the demangler's own, released with the object).
class ReadableName {
 public:
  explicit ReadableName(std::string_view raw) : text_(raw) {
    if (raw.starts_with("_Z")) {
      char mangled[max_name_length + 1];
      std::memcpy(mangled, raw.data(), raw.size());
      mangled[raw.size()] = '\0';
      int status = 0;
      demangled_ = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
      if (status == 0 && demangled_ != nullptr) {
        text_ = demangled_;
      }
    }
  }
  ~ReadableName() { std::free(demangled_); }
  ReadableName(const ReadableName&) = delete;
  ReadableName& operator=(const ReadableName&) = delete;

  std::string_view text() const { return text_; }

 private:
  std::string_view text_;
  char* demangled_ = nullptr;
};

// One frame's entry: its number and name, and where in the source it is
// when the line information says so.
bool write_entry(TextSink& sink, HANDLE process, unsigned number, DWORD64 address,
                 std::string_view name) {
  ReadableName readable(name);
  std::string_view shown = name.empty() ? std::string_view("<unknown>") : readable.text();
  if (!write_formatted(sink,
                       number < 10    ? "   "
                       : number < 100 ? "  "
                                      : " ",
                       number, ": ", shown, "\n")
           .ok()) {
    return false;
  }
  IMAGEHLP_LINE64 line{};
  line.SizeOfStruct = sizeof line;
  DWORD displacement = 0;
  if (library.line_from_address(process, address, &displacement, &line) &&
      line.FileName != nullptr) {
    return write_formatted(sink, "             at ", std::string_view(line.FileName), ":",
                           static_cast<uint32_t>(line.LineNumber), "\n")
        .ok();
  }
  return true;
}

// Walks the calling thread's stack and writes the entries; false when a
// write failed.
bool write_frames(TextSink& sink, bool full) {
  if (!prepare_library()) {
    return true;
  }
  sys::Platform& os = sys::platform();
  HANDLE process = os.get_current_process();
  HANDLE thread = os.get_current_thread();

  CONTEXT context;
  std::memset(&context, 0, sizeof context);
  os.rtl_capture_context(&context);
  STACKFRAME64 frame;
  std::memset(&frame, 0, sizeof frame);
  frame.AddrPC.Offset = context.Rip;
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrStack.Offset = context.Rsp;
  frame.AddrStack.Mode = AddrModeFlat;
  frame.AddrFrame.Offset = context.Rbp;
  frame.AddrFrame.Mode = AddrModeFlat;

  alignas(SYMBOL_INFO) char symbol_storage[sizeof(SYMBOL_INFO) + max_name_length];
  auto* symbol = reinterpret_cast<SYMBOL_INFO*>(symbol_storage);

  bool open = full;
  unsigned written = 0;
  for (unsigned visited = 0;; ++visited) {
    if (!full && visited > short_frame_limit) {
      break;
    }
    if (!library.stack_walk(IMAGE_FILE_MACHINE_AMD64, process, thread, &frame, &context,
                            nullptr, library.function_table_access,
                            library.get_module_base, nullptr) ||
        frame.AddrPC.Offset == 0) {
      break;
    }
    // Every address here is a return address: the call that it follows is
    // one byte earlier, and may be the last instruction of its function.
    const DWORD64 address = frame.AddrPC.Offset - 1;

    std::memset(symbol_storage, 0, sizeof symbol_storage);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = max_name_length;
    DWORD64 displacement = 0;
    std::string_view name;
    if (library.from_address(process, address, &displacement, symbol)) {
      name = std::string_view(symbol->Name, strnlen(symbol->Name, max_name_length - 1));
    }

    if (!full) {
      if (!name.empty()) {
        if (name.find(begin_marker) != std::string_view::npos) {
          open = false;
          continue;
        }
        if (name.find(end_marker) != std::string_view::npos) {
          open = true;
          continue;
        }
      }
      if (!open) {
        continue;
      }
    }
    if (!write_entry(sink, process, written, address, name)) {
      return false;
    }
    ++written;
  }
  return true;
}

}  // namespace

void write_stack_trace(TextSink& sink, bool full) {
  sys::ExclusiveGuard hold(trace_lock);
  if (!write_formatted(sink, "stack backtrace:\n").ok()) {
    return;
  }
  if (write_frames(sink, full) && !full) {
    (void)write_formatted(sink,
                          "note: Some details are omitted, run with "
                          "`TAVO_BACKTRACE=full` for a verbose backtrace.\n");
  }
}

}  // namespace tavo

// Stack traces: the stack is unwound in-process with the unwind data of the
// images (fast, no system round trips); names and source lines come from the
// platform's debug help library, loaded from the system directory on first
// use, with nothing linked against it.
#if TAVO_DEMANGLE_NAMES
#include <cxxabi.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "errors/formatted_write.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "platform/windows_api.h"
#include "runtime/backtrace.h"

namespace tavo {
namespace {

// A short trace visits at most this many frames after the first.
constexpr unsigned short_frame_limit = 100;
// A full trace stops here too, in case a damaged stack never ends; it then
// counts the frames it leaves out and says how many.
constexpr unsigned full_frame_limit = 4096;
// The most frames that a full trace counts beyond its limit.
constexpr unsigned max_frames_counted = 1u << 20;
constexpr uint32_t max_name_length = 1024;
// The longest path of a file, in UTF-16 units with its NUL.
constexpr uint32_t max_path_units = 32768;
constexpr unsigned max_modules = 64;

constexpr std::string_view begin_marker = "__tavo_begin_short_backtrace";
constexpr std::string_view end_marker = "__tavo_end_short_backtrace";

// Two traces never interleave; the library state below is touched only
// under this lock (the library itself is not safe for concurrent use).
constinit sys::SrwLock trace_lock;

struct DebugHelp {
  decltype(&SymGetOptions) get_options = nullptr;
  decltype(&SymSetOptions) set_options = nullptr;
  decltype(&SymInitialize) initialize = nullptr;
  decltype(&SymLoadModuleExW) load_module = nullptr;
  decltype(&SymFromAddr) from_address = nullptr;
  decltype(&SymGetLineFromAddr64) line_from_address = nullptr;
};

constinit bool library_tried = false;
constinit bool library_ready = false;
constinit DebugHelp library;
// The images whose symbols have been asked for (loaded or not).
constinit uint64_t module_bases[max_modules] = {};
constinit unsigned module_count = 0;

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
  sys::Module module =
      os.load_library_ex_w(u"dbghelp.dll", sys::load_library_search_system32);
  if (module == nullptr) {
    return false;
  }
  DebugHelp found;
  if (!find(module, "SymGetOptions", found.get_options) ||
      !find(module, "SymSetOptions", found.set_options) ||
      !find(module, "SymInitialize", found.initialize) ||
      !find(module, "SymLoadModuleExW", found.load_module) ||
      !find(module, "SymFromAddr", found.from_address) ||
      !find(module, "SymGetLineFromAddr64", found.line_from_address)) {
    return false;
  }
  found.set_options((found.get_options() | SYMOPT_UNDNAME | SYMOPT_LOAD_LINES) &
                    ~static_cast<DWORD>(SYMOPT_DEFERRED_LOADS));
  // No module list up front: only the images that a trace passes through
  // are loaded, when it first does.
  if (!found.initialize(os.get_current_process(), nullptr, FALSE)) {
    return false;
  }
  library = found;
  library_ready = true;
  return true;
}

// Makes sure that the library has the symbols of the image at `base` (this
// program's own image: the only one whose debug information is read).
void load_module(HANDLE process, uint64_t base) {
  for (unsigned i = 0; i < module_count; ++i) {
    if (module_bases[i] == base) {
      return;
    }
  }
  if (module_count == max_modules) {
    return;
  }
  module_bases[module_count++] = base;
  // A path may be longer than MAX_PATH. A result that fills the buffer may
  // have been cut, so the buffer grows until the path fits with room to
  // spare, up to the longest path the system has.
  std::u16string path(MAX_PATH + 1, u'\0');
  for (;;) {
    const uint32_t size = static_cast<uint32_t>(path.size());
    const uint32_t length = sys::platform().get_module_file_name_w(
        reinterpret_cast<sys::Module>(base), path.data(), size);
    if (length == 0) {
      return;
    }
    if (length < size) {
      path.resize(length);
      break;
    }
    if (size >= max_path_units) {
      return;
    }
    path.resize(std::min<size_t>(size_t{size} * 2, max_path_units));
  }
  (void)library.load_module(process, nullptr,
                            reinterpret_cast<const wchar_t*>(path.c_str()), nullptr, base,
                            0, nullptr, 0);
}

// The exported name of the function that starts at `function_rva` in the
// mapped image at `base`, if it has one. System libraries are named this
// way: their exports are what names them anyway, and reading their debug
// information (where there is any) costs far more than the whole trace.
// (An image base and an offset into it: their types already tell them apart.)
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::string_view exported_name(uint64_t base, uint32_t function_rva) {
  const auto* image = reinterpret_cast<const unsigned char*>(base);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) {
    return {};
  }
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE ||
      nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
      nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXPORT) {
    return {};
  }
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (directory.VirtualAddress == 0 || directory.Size == 0) {
    return {};
  }
  const auto* exports =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(image + directory.VirtualAddress);
  const auto* functions =
      reinterpret_cast<const DWORD*>(image + exports->AddressOfFunctions);
  const auto* names = reinterpret_cast<const DWORD*>(image + exports->AddressOfNames);
  const auto* ordinals =
      reinterpret_cast<const WORD*>(image + exports->AddressOfNameOrdinals);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    const WORD ordinal = ordinals[i];
    if (ordinal < exports->NumberOfFunctions && functions[ordinal] == function_rva) {
      const char* name = reinterpret_cast<const char*>(image + names[i]);
      return std::string_view(name, strnlen(name, max_name_length));
    }
  }
  return {};
}

// A symbol name in readable form: names the compiler mangled are demangled
// (into memory of the demangler's own, released with the object). Only builds
// without a PDB link the demangler (it is the largest single piece of the
// program); a PDB already names functions as they are written.
class ReadableName {
 public:
  explicit ReadableName(std::string_view raw) : text_(raw) {
#if TAVO_DEMANGLE_NAMES
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
#endif
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
// when the line information says so. (A frame number and an address: each
// caller passes its loop counter and the frame's address, never the reverse.)
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
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

// Moves `context` from its frame (in `function`, or in a leaf function when
// that is null) to the caller's. False when the stack looks damaged: a walk
// over it would never end.
bool unwind_one(sys::Platform& os, CONTEXT& context, void* function, uint64_t base) {
  const uint64_t pc = context.Rip;
  const uint64_t sp = context.Rsp;
  if (function != nullptr) {
    os.rtl_virtual_unwind(base, pc, function, &context);
  } else {
    // A leaf function: the return address is on top of the stack.
    std::memcpy(&context.Rip, reinterpret_cast<const void*>(sp), sizeof context.Rip);
    context.Rsp = sp + 8;
  }
  return context.Rsp > sp;
}

// The number of frames from `context` outward, walked without names; at most
// max_frames_counted.
unsigned count_frames(sys::Platform& os, CONTEXT& context) {
  unsigned count = 0;
  while (context.Rip != 0 && count < max_frames_counted) {
    ++count;
    uint64_t base = 0;
    void* function = os.rtl_lookup_function_entry(context.Rip - 1, &base);
    if (!unwind_one(os, context, function, base)) {
      break;
    }
  }
  return count;
}

// Walks the calling thread's stack and writes the entries; false when a
// write failed.
bool write_frames(TextSink& sink, bool full) {
  if (!prepare_library()) {
    return true;
  }
  sys::Platform& os = sys::platform();
  HANDLE process = os.get_current_process();

  uint64_t own_base = 0;
  (void)os.rtl_lookup_function_entry(reinterpret_cast<uint64_t>(&write_frames),
                                     &own_base);

  CONTEXT context;
  std::memset(&context, 0, sizeof context);
  os.rtl_capture_context(&context);

  alignas(SYMBOL_INFO) char symbol_storage[sizeof(SYMBOL_INFO) + max_name_length];
  auto* symbol = reinterpret_cast<SYMBOL_INFO*>(symbol_storage);

  bool open = full;
  unsigned written = 0;
  unsigned visited = 0;
  for (; visited <= (full ? full_frame_limit : short_frame_limit); ++visited) {
    const uint64_t pc = context.Rip;
    if (pc == 0) {
      break;
    }
    // Every address here is a return address: the call that it follows is
    // one byte earlier, and may be the last instruction of its function.
    const uint64_t address = pc - 1;
    uint64_t base = 0;
    void* function = os.rtl_lookup_function_entry(address, &base);

    // Outside the window only the markers matter, and they are in this
    // program's own image: frames elsewhere need no name then.
    std::string_view name;
    if (function != nullptr && base == own_base) {
      load_module(process, base);
      std::memset(symbol_storage, 0, sizeof symbol_storage);
      symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
      symbol->MaxNameLen = max_name_length;
      DWORD64 displacement = 0;
      if (library.from_address(process, address, &displacement, symbol)) {
        name = std::string_view(symbol->Name, strnlen(symbol->Name, max_name_length - 1));
      }
    } else if (function != nullptr && open) {
      name = exported_name(base,
                           static_cast<const RUNTIME_FUNCTION*>(function)->BeginAddress);
    }

    bool write = open;
    if (!full && !name.empty()) {
      if (name.find(begin_marker) != std::string_view::npos) {
        write = false;
        open = false;
      } else if (name.find(end_marker) != std::string_view::npos) {
        write = false;
        open = true;
      }
    }
    if (write) {
      if (!write_entry(sink, process, written, address, name)) {
        return false;
      }
      ++written;
    }

    if (!unwind_one(os, context, function, base)) {
      return true;
    }
  }
  if (full && visited > full_frame_limit) {
    const unsigned left_out = count_frames(os, context);
    if (left_out > 0) {
      return write_formatted(
                 sink, "note: ", left_out == max_frames_counted ? "at least " : "",
                 left_out, " further frames were left out: a full trace shows at most ",
                 full_frame_limit + 1, ".\n")
          .ok();
    }
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

// Stack traces: the platform walks the stack and names the frames; here the
// trace chooses which frames it shows (the window between the markers for a
// short trace, every frame up to a limit for a full one) and writes them.
#if TAVO_DEMANGLE_NAMES
#include <cxxabi.h>
#endif

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "errors/formatted_write.h"
#include "platform/stack_walk.h"
#include "platform/symbols.h"
#include "platform/sync.h"
#include "runtime/backtrace.h"
#include "text/utf16.h"

namespace tavo {
namespace {

// The number of the last frame that a short trace visits, counting from 0.
constexpr unsigned last_short_frame = 100;
// The number of the last frame that a full trace shows, in case a damaged
// stack never ends; past it the trace counts the frames it leaves out and
// says how many.
constexpr unsigned last_full_frame = 4096;

constexpr std::string_view begin_marker = "__tavo_begin_short_backtrace";
constexpr std::string_view end_marker = "__tavo_end_short_backtrace";

// Two traces never interleave; the symbol lookup is touched only under this
// lock (it is not safe for concurrent use).
constinit platform::SrwLock trace_lock;

// A symbol name in readable form: names the compiler mangled are demangled
// (into memory of the demangler's own, released with the object). Only builds
// without a PDB link the demangler (it is the largest single piece of the
// program); a PDB already names functions as they are written.
class ReadableName {
 public:
  explicit ReadableName(std::string_view raw) : text_(raw) {
#if TAVO_DEMANGLE_NAMES
    constexpr size_t max_mangled_length = 1024;
    if (raw.starts_with("_Z") && raw.size() <= max_mangled_length) {
      char mangled[max_mangled_length + 1];
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

// Writes the frames that the walk hands it.
class FrameWriter final : public platform::FrameVisitor {
 public:
  FrameWriter(ErrorKeepingSink& sink, bool full, uint64_t own_base)
      : sink_(sink), full_(full), open_(full), own_base_(own_base) {}

  bool visit(const platform::StackFrame& frame) override {
    if (visited_ > (full_ ? last_full_frame : last_short_frame)) {
      // Past the limit a full trace only counts what it leaves out.
      ++left_out_;
      return full_;
    }
    ++visited_;
    // Outside the window only the markers matter, and they are in this
    // program's own image: frames elsewhere need no name then. A frame
    // without unwind data (image base 0) is in no image that the lookup
    // knows, whatever base this program's own was found at.
    std::string_view name;
    if (frame.image_base != 0 && frame.image_base == own_base_) {
      name = utf8(platform::symbol_name(frame.address), name_);
    } else if (frame.image_base != 0 && open_) {
      name = platform::exported_name(frame.image_base, frame.function_start);
    }

    bool write = open_;
    if (!full_ && !name.empty()) {
      if (name.find(begin_marker) != std::string_view::npos) {
        write = false;
        open_ = false;
      } else if (name.find(end_marker) != std::string_view::npos) {
        write = false;
        open_ = true;
      }
    }
    if (write && !write_entry(frame.address, name)) {
      failed_ = true;
      return false;
    }
    return true;
  }

  // Says how many frames past the limit a full trace left out; false when a
  // write failed, here or before.
  bool finish() {
    if (failed_) {
      return false;
    }
    if (full_ && left_out_ > 0) {
      return write_formatted(sink_, "note: ", left_out_,
                             " further frames were left out: a full trace shows at most ",
                             last_full_frame + 1, ".\n")
          .ok();
    }
    return true;
  }

 private:
  // The UTF-8 form of `units`, kept in `out`.
  static std::string_view utf8(std::u16string_view units, std::string& out) {
    out.clear();
    (void)append_utf16_as_utf8(units, UnpairedSurrogate::Encode, out);
    return out;
  }

  // One frame's entry: its number and name, and where in the source it is
  // when the line information says so.
  bool write_entry(uint64_t address, std::string_view name) {
    const unsigned number = written_++;
    ReadableName readable(name);
    std::string_view shown =
        name.empty() ? std::string_view("<unknown>") : readable.text();
    if (!write_formatted(sink_,
                         number < 10    ? "   "
                         : number < 100 ? "  "
                                        : " ",
                         number, ": ", shown, "\n")
             .ok()) {
      return false;
    }
    const platform::SourceLine line = platform::source_line(address);
    if (line.file.empty()) {
      return true;
    }
    return write_formatted(sink_, "             at ", utf8(line.file, file_), ":",
                           line.line, "\n")
        .ok();
  }

  ErrorKeepingSink& sink_;
  bool full_;
  bool open_;
  bool failed_ = false;
  uint64_t own_base_;
  unsigned visited_ = 0;
  unsigned written_ = 0;
  unsigned left_out_ = 0;
  std::string name_;
  std::string file_;
};

// Walks the calling thread's stack and writes the entries; false when a
// write failed.
bool write_frames(ErrorKeepingSink& sink, bool full) {
  const uint64_t own_base =
      platform::image_base_of(reinterpret_cast<uint64_t>(&write_frames));
  if (!platform::prepare_symbols(own_base)) {
    return true;
  }
  FrameWriter writer(sink, full, own_base);
  platform::walk_stack(writer);
  return writer.finish();
}

}  // namespace

void write_stack_trace(ErrorKeepingSink& sink, bool full) {
  platform::ExclusiveGuard hold(trace_lock);
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

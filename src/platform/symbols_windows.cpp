// The symbol lookup. Debug information is read for one image only (the one
// that holds the trace's own code); the handler is told no module list up
// front, so that nothing else is loaded.
#include <algorithm>
#include <memory>
#include <string_view>

#include "platform/platform.h"
#include "platform/symbols.h"

namespace tavo::sys {
namespace {

constexpr uint32_t max_name_length = 1024;
// The longest path of a file, in UTF-16 units with its NUL.
constexpr uint32_t max_path_units = 32768;
constexpr uint32_t short_path_units = 261;

constinit bool tried = false;
constinit bool ready = false;
constinit DebugHelp library{};
constinit Handle process = nullptr;
constinit char16_t name[max_name_length] = {};

// The length of the folder part of `path`, with its last separator.
size_t folder_length(const char16_t* path, size_t length) {
  while (length > 0 && path[length - 1] != u'\\' && path[length - 1] != u'/') {
    --length;
  }
  return length;
}

// Writes `part` and the separator at `at`; returns where the next part goes.
char16_t* put(char16_t* at, std::u16string_view part) {
  at = std::copy(part.begin(), part.end(), at);
  *at++ = u';';
  return at;
}

// Where the handler looks for the debug information of `image` (a full path
// of `length` units): the image's own folder first (the handler does not look
// there by itself on every system), then what it searches when given no path:
// the current folder and the two variables' values. The folder goes in as
// its short name too where that differs: some handlers fail on folder names
// that the ANSI code page cannot spell, and a short name is spelled in ASCII.
// A folder whose name holds the separator ';' goes in by its short name
// alone, which cannot hold one.
std::unique_ptr<char16_t[]> search_path(Platform& os, const char16_t* image,
                                        size_t length) {
  const char16_t* const variables[] = {u"_NT_SYMBOL_PATH", u"_NT_ALTERNATE_SYMBOL_PATH"};
  uint32_t sizes[std::size(variables)];
  size_t capacity = length + short_path_units + 3;
  for (size_t i = 0; i < std::size(variables); ++i) {
    sizes[i] = os.get_environment_variable_w(variables[i], nullptr, 0);
    capacity += sizes[i] + 1;
  }
  std::unique_ptr<char16_t[]> path(new char16_t[capacity]);
  char16_t* at = path.get();
  const std::u16string_view folder(image, folder_length(image, length));
  if (!folder.empty()) {
    if (folder.find(u';') == std::u16string_view::npos) {
      at = put(at, folder);
    }
    char16_t short_image[short_path_units];
    const uint32_t units = os.get_short_path_name_w(image, short_image, short_path_units);
    if (units > 0 && units < short_path_units) {
      const std::u16string_view short_folder(short_image,
                                             folder_length(short_image, units));
      if (!short_folder.empty() && short_folder != folder) {
        at = put(at, short_folder);
      }
    }
  }
  at = put(at, u".");
  for (size_t i = 0; i < std::size(variables); ++i) {
    // A value that grew since its size was asked for is left out.
    const uint32_t units =
        sizes[i] > 0 ? os.get_environment_variable_w(variables[i], at, sizes[i]) : 0;
    if (units > 0 && units < sizes[i]) {
      // The value is already in place: only its separator is added.
      at += units;
      *at++ = u';';
    }
  }
  at[-1] = u'\0';
  return path;
}

}  // namespace

bool prepare_symbols(uint64_t image_base) {
  if (tried) {
    return ready;
  }
  tried = true;
  Platform& os = platform();
  Module module = os.load_library_ex_w(u"dbghelp.dll", load_library_search_system32);
  if (module == nullptr) {
    return false;
  }
  DebugHelp found{};
  const struct {
    const char* name;
    Procedure* function;
  } wanted[] = {
      {"SymGetOptions", &found.get_options},
      {"SymSetOptions", &found.set_options},
      {"SymInitializeW", &found.initialize},
      {"SymLoadModuleExW", &found.load_module},
      {"SymFromAddrW", &found.from_address},
      {"SymGetLineFromAddrW64", &found.line_from_address},
  };
  for (const auto& function : wanted) {
    *function.function = os.get_proc_address(module, function.name);
    if (*function.function == nullptr) {
      return false;
    }
  }
  (void)os.sym_set_options(
      found, (os.sym_get_options(found) | symopt_undname | symopt_load_lines) &
                 ~symopt_deferred_loads);
  // A path may be longer than MAX_PATH: the buffer holds the longest one the
  // system has, and a result that fills it may have been cut.
  std::unique_ptr<char16_t[]> image(new char16_t[max_path_units]);
  uint32_t length = os.get_module_file_name_w(reinterpret_cast<Module>(image_base),
                                              image.get(), max_path_units);
  if (length >= max_path_units) {
    length = 0;
  }
  image[length] = u'\0';
  process = os.get_current_process();
  if (!os.sym_initialize_w(found, process, search_path(os, image.get(), length).get(),
                           false)) {
    return false;
  }
  library = found;
  ready = true;
  if (length > 0) {
    (void)os.sym_load_module_ex_w(library, process, image.get(), image_base);
  }
  return true;
}

std::u16string_view symbol_name(uint64_t address) {
  if (!ready ||
      !platform().sym_from_addr_w(library, process, address, name, max_name_length)) {
    return {};
  }
  return name;
}

SourceLine source_line(uint64_t address) {
  const char16_t* file = nullptr;
  SourceLine found;
  if (ready &&
      platform().sym_get_line_from_addr_w64(library, process, address, &file,
                                            &found.line) &&
      file != nullptr) {
    found.file = file;
  }
  return found;
}

}  // namespace tavo::sys

// The symbol lookup. Debug information is read for one image only (the one
// that holds the trace's own code); the handler is told no module list up
// front, so that nothing else is loaded.
#include <algorithm>
#include <memory>
#include <string_view>

#include "platform/platform.h"
#include "platform/symbols.h"

namespace tavo::platform {
namespace {

constexpr uint32_t max_name_length = 1024;
// The longest path of a file, in UTF-16 units with its NUL.
constexpr uint32_t max_path_units = 32768;

constinit bool tried = false;
constinit bool ready = false;
constinit DebugHelp library{};
constinit Handle process = nullptr;
constinit char16_t name[max_name_length] = {};

// The folder part of `path`, with its last separator.
std::u16string_view folder_of(std::u16string_view path) {
  size_t length = path.size();
  while (length > 0 && path[length - 1] != u'\\' && path[length - 1] != u'/') {
    --length;
  }
  return path.substr(0, length);
}

// Writes `part` and the separator at `at`; returns where the next part goes.
char16_t* put(char16_t* at, std::u16string_view part) {
  at = std::copy(part.begin(), part.end(), at);
  *at++ = u';';
  return at;
}

// Puts a form of the image's folder into the search path, unless it holds
// the separator: split there, it would name two folders that do not exist.
char16_t* put_folder(char16_t* at, std::u16string_view folder) {
  if (folder.empty() || folder.find(u';') != std::u16string_view::npos) {
    return at;
  }
  return put(at, folder);
}

// See symbol_paths: the search path for an image with these two forms.
std::unique_ptr<char16_t[]> search_path(Platform& platform, std::u16string_view image,
                                        std::u16string_view short_image) {
  const char16_t* const variables[] = {u"_NT_SYMBOL_PATH", u"_NT_ALTERNATE_SYMBOL_PATH"};
  uint32_t sizes[std::size(variables)];
  size_t capacity = image.size() + short_image.size() + 4;
  for (size_t i = 0; i < std::size(variables); ++i) {
    sizes[i] = platform.get_environment_variable_w(variables[i], nullptr, 0);
    capacity += sizes[i] + 1;
  }
  std::unique_ptr<char16_t[]> path(new char16_t[capacity]);
  const std::u16string_view folder = folder_of(image);
  const std::u16string_view short_folder = folder_of(short_image);
  char16_t* at = put_folder(path.get(), folder);
  if (short_folder != folder) {
    at = put_folder(at, short_folder);
  }
  at = put(at, u".");
  for (size_t i = 0; i < std::size(variables); ++i) {
    // A value that grew since its size was asked for is left out.
    const uint32_t units =
        sizes[i] > 0 ? platform.get_environment_variable_w(variables[i], at, sizes[i])
                     : 0;
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

SymbolPaths symbol_paths(const char16_t* image) {
  Platform& platform = current();
  const std::u16string_view full(image);
  SymbolPaths paths;
  if (!full.empty()) {
    std::unique_ptr<char16_t[]> short_image(new char16_t[max_path_units]);
    const uint32_t units =
        platform.get_short_path_name_w(image, short_image.get(), max_path_units);
    if (units > 0 && units < max_path_units &&
        std::u16string_view(short_image.get(), units) != full) {
      paths.short_image = std::move(short_image);
    }
  }
  paths.search = search_path(platform, full,
                             paths.short_image != nullptr
                                 ? std::u16string_view(paths.short_image.get())
                                 : std::u16string_view());
  return paths;
}

bool prepare_symbols(uint64_t image_base) {
  if (tried) {
    return ready;
  }
  tried = true;
  Platform& platform = current();
  Module module =
      platform.load_library_ex_w(u"dbghelp.dll", load_library_search_system32);
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
    *function.function = platform.get_proc_address(module, function.name);
    if (*function.function == nullptr) {
      return false;
    }
  }
  (void)platform.sym_set_options(
      found, (platform.sym_get_options(found) | symopt_undname | symopt_load_lines) &
                 ~symopt_deferred_loads);
  // A path may be longer than MAX_PATH: the buffer holds the longest one the
  // system has, and a result that fills it may have been cut.
  std::unique_ptr<char16_t[]> image(new char16_t[max_path_units]);
  uint32_t length = platform.get_module_file_name_w(reinterpret_cast<Module>(image_base),
                                                    image.get(), max_path_units);
  if (length >= max_path_units) {
    length = 0;
  }
  image[length] = u'\0';
  const SymbolPaths paths = symbol_paths(image.get());
  process = platform.get_current_process();
  if (!platform.sym_initialize_w(found, process, paths.search.get(), false)) {
    return false;
  }
  library = found;
  ready = true;
  // Some lookups cannot open an image by a path longer than MAX_PATH; its
  // short form, where the system has one, is shorter and names the same file.
  if (length > 0 &&
      platform.sym_load_module_ex_w(library, process, image.get(), image_base) == 0 &&
      paths.short_image != nullptr) {
    (void)platform.sym_load_module_ex_w(library, process, paths.short_image.get(),
                                        image_base);
  }
  return true;
}

std::u16string_view symbol_name(uint64_t address) {
  if (!ready ||
      !current().sym_from_addr_w(library, process, address, name, max_name_length)) {
    return {};
  }
  return name;
}

SourceLine source_line(uint64_t address) {
  const char16_t* file = nullptr;
  SourceLine found;
  if (ready &&
      current().sym_get_line_from_addr_w64(library, process, address, &file,
                                           &found.line) &&
      file != nullptr) {
    found.file = file;
  }
  return found;
}

}  // namespace tavo::platform

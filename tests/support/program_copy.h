// A built program copied, with its PDB where the build writes one, into a
// folder of a test's choosing, and that folder removed again. The folder's
// path may be longer than MAX_PATH: the C++ library cannot remove such a
// tree under Wine, the system's own calls can.
#pragma once

#include <filesystem>
#include <string>

#include "platform/windows_api.h"

namespace tavo::testing {

// Removes `folder` and everything in it; nothing when it does not exist.
inline void remove_tree(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      const std::wstring inner = folder + L"\\" + name;
      if (name == L"." || name == L"..") continue;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(inner);
      } else {
        DeleteFileW(inner.c_str());
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(folder.c_str());
}

// Makes `folder` (and the folders above it) and copies the program `built`
// into it under the same name, with its PDB when the build wrote one (builds
// without carry their debug information in the program). Returns the copy.
inline std::filesystem::path copy_program(const std::filesystem::path& built,
                                          const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  fs::create_directories(folder);
  fs::copy_file(built, folder / built.filename());
  const fs::path pdb = fs::path(built).replace_extension(L".pdb");
  if (fs::exists(pdb)) fs::copy_file(pdb, folder / pdb.filename());
  return folder / built.filename();
}

// A folder under `root` whose path is longer than MAX_PATH: four names of
// sixty characters, too long for an 8.3 form, one below the other.
inline std::filesystem::path long_folder(const std::filesystem::path& root) {
  const std::wstring name =
      L"a folder name of sixty characters, far too long for 8.3 form";
  return root / name / name / name / name / L"here";
}

}  // namespace tavo::testing

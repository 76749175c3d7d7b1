// A small program the harness tests start to see what a child really gets.
// It performs its arguments in order:
//   handles          stdout: "in=K out=K err=K\n", K one of null, invalid,
//                    console, pipe, disk, char, unknown
//   echo             copies standard input to standard output until its end,
//                    then writes to stderr "end of file\n" (a read of 0 bytes)
//                    or "end error N\n" (a failed read, N its code)
//   write TEXT       writes TEXT to standard output; stderr: "ok\n" or "error N\n"
//   write-err TEXT   writes TEXT to standard error
//   fill N           writes N bytes 'a'..'z' repeating to standard output
//   env NAME         stdout: "NAME unset\n" or "NAME=" + UTF-16 units in hex
//   console          writes "prompt> " to the console (standard error), reads
//                    one line with ReadConsoleW from standard input, writes
//                    its UTF-16 units in hex to standard output and
//                    "read: " + the line back to the console
//   sleep MS         sleeps
//   exit HEX         ends with that status
//   fail-fast        the fail-fast request with code 7
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "platform/windows_api.h"

namespace {

void put(HANDLE h, const std::string& s) {
  DWORD done = 0;
  WriteFile(h, s.data(), static_cast<DWORD>(s.size()), &done, nullptr);
}

std::string narrow(const wchar_t* w) {
  std::string s;
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n > 0) {
    s.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.pop_back();
  }
  return s;
}

std::string kind_of(HANDLE h) {
  if (h == nullptr) return "null";
  if (h == INVALID_HANDLE_VALUE) return "invalid";
  DWORD mode = 0;
  if (GetConsoleMode(h, &mode)) return "console";
  switch (GetFileType(h)) {
    case FILE_TYPE_PIPE:
      return "pipe";
    case FILE_TYPE_DISK:
      return "disk";
    case FILE_TYPE_CHAR:
      return "char";
    default:
      return "unknown";
  }
}

std::string hex_units(const wchar_t* p, size_t n) {
  std::string s;
  char buf[8];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%s%04x", i ? " " : "", static_cast<unsigned>(p[i]));
    s += buf;
  }
  return s;
}

void write_console(HANDLE h, const std::wstring& text) {
  DWORD done = 0;
  WriteConsoleW(h, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  for (int i = 1; i < argc; ++i) {
    std::wstring cmd = argv[i];
    const wchar_t* arg = i + 1 < argc ? argv[i + 1] : L"";
    if (cmd == L"handles") {
      put(out,
          "in=" + kind_of(in) + " out=" + kind_of(out) + " err=" + kind_of(err) + "\n");
    } else if (cmd == L"echo") {
      char buf[4096];
      DWORD got = 0;
      BOOL ok;
      while ((ok = ReadFile(in, buf, sizeof buf, &got, nullptr)) && got > 0) {
        put(out, std::string(buf, got));
      }
      put(err, ok ? std::string("end of file\n")
                  : "end error " + std::to_string(GetLastError()) + "\n");
    } else if (cmd == L"write" || cmd == L"write-err") {
      std::string text = narrow(arg);
      DWORD done = 0;
      BOOL ok = WriteFile(cmd == L"write" ? out : err, text.data(),
                          static_cast<DWORD>(text.size()), &done, nullptr);
      if (cmd == L"write") {
        put(err,
            ok ? std::string("ok\n") : "error " + std::to_string(GetLastError()) + "\n");
      }
      ++i;
    } else if (cmd == L"fill") {
      size_t n = std::wcstoul(arg, nullptr, 10);
      std::string chunk;
      for (size_t k = 0; k < n; ++k) chunk += static_cast<char>('a' + k % 26);
      put(out, chunk);
      ++i;
    } else if (cmd == L"env") {
      wchar_t value[1024];
      SetLastError(0);
      DWORD n = GetEnvironmentVariableW(arg, value, 1024);
      std::string name = narrow(arg);
      if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        put(out, name + " unset\n");
      } else {
        put(out, name + "=" + hex_units(value, n) + "\n");
      }
      ++i;
    } else if (cmd == L"console") {
      write_console(err, L"prompt> ");
      wchar_t line[256];
      DWORD got = 0;
      if (!ReadConsoleW(in, line, 256, &got, nullptr)) {
        put(out, "ReadConsoleW error " + std::to_string(GetLastError()) + "\n");
        return 2;
      }
      put(out, hex_units(line, got) + "\n");
      write_console(err, L"read: " + std::wstring(line, got));
    } else if (cmd == L"sleep") {
      Sleep(static_cast<DWORD>(std::wcstoul(arg, nullptr, 10)));
      ++i;
    } else if (cmd == L"exit") {
      ExitProcess(static_cast<UINT>(std::wcstoul(arg, nullptr, 16)));
    } else if (cmd == L"fail-fast") {
      __asm__ volatile("int $0x29" ::"c"(7));
    } else {
      put(err, "unknown command " + narrow(argv[i]) + "\n");
      return 3;
    }
  }
  return 0;
}

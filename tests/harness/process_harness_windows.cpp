#include "harness/process_harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>

#include "harness/start_process_windows.h"
#include "platform/sync.h"
#include "platform/windows_api.h"
#include "support/test_thread.h"
#include "support/where_tests_run.h"

namespace tavo::harness {
namespace {

// Handles are made inheritable only while one child is being created, so
// that a child never inherits the pipe ends meant for another one (a pipe
// whose writer leaks into a second child would never report its end).
platform::SrwLock spawn_lock;
// The harness attaches to the console of the child it drives; a process can
// be attached to one console only.
platform::SrwLock console_lock;

class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE h) : h_(h) {}
  OwnedHandle(OwnedHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  OwnedHandle& operator=(OwnedHandle&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  ~OwnedHandle() { reset(); }
  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  void reset(HANDLE h = nullptr) {
    if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

std::string last_error_text(const char* what) {
  return std::string(what) + " failed with code " + std::to_string(GetLastError());
}

// A temporary file that goes away when its last handle closes.
OwnedHandle temporary_file() {
  wchar_t dir[MAX_PATH + 1];
  wchar_t path[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH, dir) == 0 || GetTempFileNameW(dir, L"thc", 0, path) == 0) {
    return {};
  }
  HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         CREATE_ALWAYS,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  return OwnedHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

OwnedHandle open_device(const wchar_t* path, DWORD access) {
  HANDLE h = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  return OwnedHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

bool write_all(HANDLE h, std::string_view data) {
  while (!data.empty()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size(), 1u << 16));
    DWORD done = 0;
    if (!WriteFile(h, data.data(), chunk, &done, nullptr) || done == 0) return false;
    data.remove_prefix(done);
  }
  return true;
}

std::string read_all(HANDLE h) {
  std::string out;
  char buf[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(h, buf, sizeof buf, &got, nullptr) || got == 0) break;
    out.append(buf, got);
  }
  return out;
}

std::string read_file_from_start(HANDLE h) {
  if (SetFilePointer(h, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
      GetLastError() != NO_ERROR) {
    return {};
  }
  return read_all(h);
}

// Quotes one argument so that the C runtime's parser gives it back as is.
void append_quoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      line.append(backslashes * 2 + 1, L'\\');
    else
      line.append(backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

bool same_name(std::u16string_view a, std::u16string_view b) {
  return CompareStringOrdinal(reinterpret_cast<const wchar_t*>(a.data()),
                              static_cast<int>(a.size()),
                              reinterpret_cast<const wchar_t*>(b.data()),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The harness's environment with the changes applied, as a block.
std::u16string environment_block(const EnvChanges& changes) {
  std::vector<std::u16string> entries;
  if (wchar_t* env = GetEnvironmentStringsW()) {
    for (const wchar_t* p = env; *p != 0;) {
      std::u16string entry(reinterpret_cast<const char16_t*>(p));
      p += entry.size() + 1;
      entries.push_back(std::move(entry));
    }
    FreeEnvironmentStringsW(env);
  }
  for (const auto& change : changes) {
    const std::u16string& name = change.first;
    const std::optional<std::u16string>& value = change.second;
    std::erase_if(entries, [&](const std::u16string& entry) {
      // Names such as "=C:" begin with '='; the separator is the next one.
      size_t eq = entry.find(u'=', 1);
      return same_name(std::u16string_view(entry).substr(0, eq), name);
    });
    if (value) entries.push_back(name + u"=" + *value);
  }
  std::u16string block;
  for (const auto& entry : entries) {
    block += entry;
    block += u'\0';
  }
  if (block.empty()) block += u'\0';
  block += u'\0';
  return block;
}

std::u16string read_screen(HANDLE conout) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(conout, &info)) return {};
  std::u16string screen;
  std::wstring row(static_cast<size_t>(std::max<SHORT>(info.dwSize.X, 1)), L' ');
  size_t keep = 0;  // length of the text up to the last non-empty row
  for (SHORT y = 0; y < info.dwSize.Y; ++y) {
    DWORD got = 0;
    if (!ReadConsoleOutputCharacterW(conout, row.data(), static_cast<DWORD>(row.size()),
                                     COORD{0, y}, &got)) {
      break;
    }
    std::u16string_view text(reinterpret_cast<const char16_t*>(row.data()), got);
    while (!text.empty() && (text.back() == u' ' || text.back() == 0))
      text.remove_suffix(1);
    if (y > 0) screen += u'\n';
    screen += text;
    if (!text.empty()) keep = screen.size();
  }
  screen.resize(keep);
  return screen;
}

void write_keys(HANDLE conin, const std::vector<KeyEvent>& keys) {
  std::vector<INPUT_RECORD> records;
  records.reserve(keys.size() * 2);
  for (const KeyEvent& key : keys) {
    for (BOOL down : {TRUE, FALSE}) {
      INPUT_RECORD r{};
      r.EventType = KEY_EVENT;
      r.Event.KeyEvent.bKeyDown = down;
      r.Event.KeyEvent.wRepeatCount = 1;
      r.Event.KeyEvent.wVirtualKeyCode = key.virtual_key;
      r.Event.KeyEvent.uChar.UnicodeChar = static_cast<wchar_t>(key.ch);
      r.Event.KeyEvent.dwControlKeyState = key.control_state;
      records.push_back(r);
    }
  }
  size_t at = 0;
  while (at < records.size()) {
    DWORD written = 0;
    if (!WriteConsoleInputW(conin, records.data() + at,
                            static_cast<DWORD>(records.size() - at), &written) ||
        written == 0) {
      break;
    }
    at += written;
  }
}

bool uses_console(const ChildSpec& launch) {
  return launch.in.kind == Input::Kind::console ||
         launch.out.kind == Output::Kind::console ||
         launch.err.kind == Output::Kind::console;
}

}  // namespace

std::vector<KeyEvent> typed(std::u16string_view text) {
  std::vector<KeyEvent> keys;
  for (char16_t c : text) {
    if (c == u'\r' || c == u'\n')
      keys.push_back(enter());
    else if (c == 0x1A)
      keys.push_back(ctrl_z());
    else
      keys.push_back(KeyEvent{c, 0, 0});
  }
  return keys;
}

KeyEvent enter() { return KeyEvent{u'\r', VK_RETURN, 0}; }
KeyEvent ctrl_z() { return KeyEvent{0x1A, 'Z', LEFT_CTRL_PRESSED}; }

struct ConsoleSession::State {
  ChildSpec launch;
  ChildResult result;
  bool started = false;
  std::chrono::steady_clock::time_point deadline;

  bool holds_console = false;
  bool attached = false;
  PROCESS_INFORMATION host{};  // the process that owns the console
  OwnedHandle conin, conout;

  PROCESS_INFORMATION child{};
  OwnedHandle stdin_writer;  // kept for an open pipe until the end
  OwnedHandle out_file, err_file;
  OwnedHandle out_reader, err_reader;
  testing::TestThread feeder, out_thread, err_thread;
  std::string out_bytes, err_bytes;
  bool finished = false;

  ~State() { finish(); }

  bool fail(std::string why) {
    result.setup_error = std::move(why);
    return false;
  }

  // Makes the console that the child will share with the harness: a small
  // program started without a window owns it, the harness attaches to it.
  bool make_console() {
    console_lock.lock_exclusive();
    holds_console = true;
    std::wstring host_path = sibling_program(L"tavo_console_host.exe");
    std::wstring line = L"\"" + host_path + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (!start_process(host_path.c_str(), line.data(), FALSE, CREATE_NO_WINDOW, nullptr,
                       &si, &host)) {
      return fail(last_error_text("starting tavo_console_host.exe"));
    }
    FreeConsole();
    // The console appears only once the host runs, which on a loaded machine
    // can take long: keep trying for as long as the child may run.
    const auto begin = std::chrono::steady_clock::now();
    DWORD code = 0;
    while (!(attached = AttachConsole(host.dwProcessId) != FALSE) &&
           (code = GetLastError(), std::chrono::steady_clock::now() < begin + timeout()))
      Sleep(10);
    if (!attached) {
      return fail("attaching to the console host: AttachConsole failed with code " +
                  std::to_string(code) + " for " + std::to_string(timeout().count()) +
                  " ms");
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
    conin.reset(CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                            nullptr));
    conout.reset(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                             nullptr));
    if (!conin || !conout) return fail(last_error_text("opening CONIN$/CONOUT$"));
    return true;
  }

  bool input_handle(HANDLE& child_side, std::vector<OwnedHandle>& close_after) {
    const Input& in = launch.in;
    switch (in.kind) {
      case Input::Kind::bytes:
      case Input::Kind::open_pipe:
      case Input::Kind::closed_pipe: {
        HANDLE r = nullptr, w = nullptr;
        if (!CreatePipe(&r, &w, nullptr, 0)) return fail(last_error_text("CreatePipe"));
        close_after.emplace_back(r);
        child_side = r;
        stdin_writer.reset(w);
        if (in.kind == Input::Kind::closed_pipe) stdin_writer.reset();
        return true;
      }
      case Input::Kind::file: {
        OwnedHandle f = temporary_file();
        if (!f) return fail(last_error_text("creating the input file"));
        if (!write_all(f.get(), in.data) ||
            SetFilePointer(f.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
          return fail(last_error_text("filling the input file"));
        }
        child_side = f.get();
        close_after.push_back(std::move(f));
        return true;
      }
      case Input::Kind::nul: {
        OwnedHandle n = open_device(L"NUL", GENERIC_READ);
        if (!n) return fail(last_error_text("opening NUL"));
        child_side = n.get();
        close_after.push_back(std::move(n));
        return true;
      }
      case Input::Kind::null:
        child_side = nullptr;
        return true;
      case Input::Kind::invalid:
        child_side = INVALID_HANDLE_VALUE;
        return true;
      case Input::Kind::console:
        child_side = conin.get();
        return true;
    }
    return fail("unknown input kind");
  }

  bool output_handle(const Output& out, HANDLE& child_side, OwnedHandle& reader,
                     OwnedHandle& file, std::vector<OwnedHandle>& close_after) {
    switch (out.kind) {
      case Output::Kind::pipe:
      case Output::Kind::closed_pipe: {
        HANDLE r = nullptr, w = nullptr;
        if (!CreatePipe(&r, &w, nullptr, 0)) return fail(last_error_text("CreatePipe"));
        close_after.emplace_back(w);
        child_side = w;
        if (out.kind == Output::Kind::pipe)
          reader.reset(r);
        else
          CloseHandle(r);
        return true;
      }
      case Output::Kind::file:
        file = temporary_file();
        if (!file) return fail(last_error_text("creating the output file"));
        child_side = file.get();
        return true;
      case Output::Kind::nul:
      case Output::Kind::full: {
        const wchar_t* path =
            out.kind == Output::Kind::nul ? L"NUL" : testing::system_facts().full_device;
        if (path == nullptr) return fail(testing::no_full_device);
        OwnedHandle n = open_device(path, GENERIC_WRITE);
        if (!n) return fail(last_error_text("opening the output device"));
        child_side = n.get();
        close_after.push_back(std::move(n));
        return true;
      }
      case Output::Kind::null:
        child_side = nullptr;
        return true;
      case Output::Kind::invalid:
        child_side = INVALID_HANDLE_VALUE;
        return true;
      case Output::Kind::console:
        child_side = conout.get();
        return true;
    }
    return fail("unknown output kind");
  }

  std::chrono::milliseconds timeout() const {
    return std::chrono::milliseconds(launch.timeout_ms);
  }

  bool start() {
    bool console = uses_console(launch);
    if (console && !make_console()) return false;
    // The child's own time starts once its console is there.
    deadline = std::chrono::steady_clock::now() + timeout();

    std::vector<OwnedHandle> close_after;  // child-side ends the harness must drop
    HANDLE in = nullptr, out = nullptr, err = nullptr;
    if (!input_handle(in, close_after) ||
        !output_handle(launch.out, out, out_reader, out_file, close_after) ||
        !output_handle(launch.err, err, err_reader, err_file, close_after)) {
      return false;
    }

    std::wstring line;
    append_quoted(line, launch.program);
    for (const auto& arg : launch.args) {
      line += L' ';
      append_quoted(line, arg);
    }
    std::u16string env;
    if (launch.raw_environment) {
      env = *launch.raw_environment;
      if (env.empty()) env += u'\0';
      env += u'\0';
    } else if (!launch.env_changes.empty()) {
      env = environment_block(launch.env_changes);
    }

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    // Without a console of ours the child gets none: its standard handles
    // are then exactly the ones given, NULL included.
    DWORD flags = CREATE_UNICODE_ENVIRONMENT | (console ? 0 : DETACHED_PROCESS);
    {
      platform::ExclusiveGuard lock(spawn_lock);
      std::vector<HANDLE> inherited;
      for (HANDLE h : {in, out, err}) {
        if (h != nullptr && h != INVALID_HANDLE_VALUE &&
            std::find(inherited.begin(), inherited.end(), h) == inherited.end() &&
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
          inherited.push_back(h);
        }
      }
      BOOL ok = start_process(launch.program.c_str(), line.data(), TRUE, flags,
                              env.empty() ? nullptr : env.data(), &si, &child);
      DWORD code = GetLastError();
      for (HANDLE h : inherited) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
      if (!ok) {
        SetLastError(code);
        return fail(last_error_text("CreateProcessW"));
      }
    }
    started = true;
    close_after.clear();

    if (stdin_writer) {
      bool close_when_done = launch.in.kind == Input::Kind::bytes;
      feeder = testing::TestThread([this, close_when_done] {
        write_all(stdin_writer.get(), launch.in.data);
        if (close_when_done) stdin_writer.reset();
      });
    }
    if (out_reader) {
      out_thread =
          testing::TestThread([this] { out_bytes = read_all(out_reader.get()); });
    }
    if (err_reader) {
      err_thread =
          testing::TestThread([this] { err_bytes = read_all(err_reader.get()); });
    }
    return true;
  }

  void finish() {
    if (finished) return;
    finished = true;
    if (started) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      DWORD wait_ms = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
      if (WaitForSingleObject(child.hProcess, wait_ms) != WAIT_OBJECT_0) {
        result.timed_out = true;
        TerminateProcess(child.hProcess, 0xDEAD);
        WaitForSingleObject(child.hProcess, INFINITE);
      }
      DWORD status = 0;
      GetExitCodeProcess(child.hProcess, &status);
      result.exit_status = status;
      feeder.join();
      stdin_writer.reset();
      out_thread.join();
      err_thread.join();
      result.out = out_file ? read_file_from_start(out_file.get()) : std::move(out_bytes);
      result.err = err_file ? read_file_from_start(err_file.get()) : std::move(err_bytes);
      if (conout) result.screen = read_screen(conout.get());
      CloseHandle(child.hThread);
      CloseHandle(child.hProcess);
    }
    conin.reset();
    conout.reset();
    if (attached) FreeConsole();
    if (host.hProcess) {
      TerminateProcess(host.hProcess, 0);
      WaitForSingleObject(host.hProcess, 5000);
      CloseHandle(host.hThread);
      CloseHandle(host.hProcess);
    }
    if (holds_console) {
      console_lock.unlock_exclusive();
      holds_console = false;
    }
  }
};

ConsoleSession::ConsoleSession(const ChildSpec& launch)
    : state_(std::make_unique<State>()) {
  state_->launch = launch;
  state_->start();
}

ConsoleSession::~ConsoleSession() = default;

bool ConsoleSession::started() const { return state_->started; }

void ConsoleSession::type(const std::vector<KeyEvent>& keys) {
  if (state_->conin && !state_->finished) write_keys(state_->conin.get(), keys);
}

std::u16string ConsoleSession::screen() const {
  if (!state_->conout || state_->finished) return state_->result.screen;
  return read_screen(state_->conout.get());
}

bool ConsoleSession::wait_for_screen(std::u16string_view text,
                                     unsigned timeout_ms) const {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (screen().find(text) != std::u16string::npos) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    Sleep(10);
  }
}

ChildResult ConsoleSession::wait() {
  state_->finish();
  return state_->result;
}

ChildResult run_child(const ChildSpec& launch) {
  ConsoleSession session(launch);
  if (session.started() && !launch.keys.empty()) session.type(launch.keys);
  return session.wait();
}

BOOL start_process(const wchar_t* program, wchar_t* command_line, BOOL inherit_handles,
                   DWORD flags, void* environment, STARTUPINFOW* startup,
                   PROCESS_INFORMATION* process) {
  // A child that crashes must end, not wait on an error-reporting dialog that
  // no one will close (Windows may show one; Wine has none). A child inherits
  // its parent's error mode, and with this bit it shows no such dialog.
  SetErrorMode(GetErrorMode() | SEM_NOGPFAULTERRORBOX);
  for (DWORD attempt = 1;; ++attempt) {
    if (CreateProcessW(program, command_line, nullptr, nullptr, inherit_handles, flags,
                       environment, nullptr, startup, process)) {
      return TRUE;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_INTERNAL_ERROR || attempt == 5) {
      SetLastError(code);
      return FALSE;
    }
    Sleep(100 * attempt);
  }
}

std::wstring sibling_program(const wchar_t* file_name) {
  std::wstring path(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(n);
  size_t slash = path.find_last_of(L"\\/");
  path.resize(slash == std::wstring::npos ? 0 : slash + 1);
  return path + file_name;
}

std::string escaped(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::string escaped(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    bool high = c >= 0xD800 && c <= 0xDBFF;
    bool low = c >= 0xDC00 && c <= 0xDFFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (high || low || c < 0x20 || c == 0x7F) {
      if (c == u'\n') {
        out += "\\n";
        continue;
      }
      char buf[12];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string hex_status(std::uint32_t status) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
  return buf;
}

void PrintTo(const ChildResult& r, std::ostream* os) {
  *os << "{status " << hex_status(r.exit_status) << " (" << r.exit_status << ")";
  if (r.timed_out) *os << ", TIMED OUT";
  if (!r.setup_error.empty()) *os << ", setup error: " << r.setup_error;
  *os << ", out \"" << escaped(r.out) << "\", err \"" << escaped(r.err) << "\"";
  if (!r.screen.empty()) *os << ", screen \"" << escaped(r.screen) << "\"";
  *os << "}";
}

}  // namespace tavo::harness

// guess.exe with one platform fault: the real dialogue (src/main.cpp, built
// with its entry renamed) and the real runtime, over a platform that forwards
// every call to the real one, counts the calls, and at call number N applies
// fault kind K instead (tests/fault/fault_kinds.h).
//
//   TAVO_FAULT_AT=N TAVO_FAULT_KIND=K   the fault to apply (none when unset)
//   TAVO_FAULT_LOG=path                 write the calls of the run there, one
//                                       per line: "<number> <call> <stream>"
//
// A fault that was asked for but never applied (the run took another road
// than the recorded one) is reported on standard error after the run, so
// that the sweep cannot count it as a good outcome.
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <type_traits>

#include "fault/fault_kinds.h"
#include "platform/windows_api.h"

int guess_entry(int argc, char** argv);

namespace {

using namespace tavo::fault;
using tavo::platform::Handle;
using tavo::platform::IoStatusBlock;
using tavo::platform::NtStatus;

constexpr NtStatus status_success = 0;
constexpr size_t max_logged = 1 << 16;

// The NTSTATUS that NtWriteFile/NtReadFile report for a system code.
NtStatus status_for_code(uint32_t code) {
  constexpr struct {
    uint32_t code;
    uint32_t status;
  } statuses[] = {
      {1, 0xC0000010u},    // STATUS_INVALID_DEVICE_REQUEST
      {5, 0xC0000022u},    // STATUS_ACCESS_DENIED
      {6, 0xC0000008u},    // STATUS_INVALID_HANDLE
      {8, 0xC0000017u},    // STATUS_NO_MEMORY
      {87, 0xC000000Du},   // STATUS_INVALID_PARAMETER
      {109, 0xC000014Bu},  // STATUS_PIPE_BROKEN
      {112, 0xC000007Fu},  // STATUS_DISK_FULL
      {232, 0xC00000B1u},  // STATUS_PIPE_CLOSING
      {995, 0xC0000120u},  // STATUS_CANCELLED
  };
  for (const auto& row : statuses) {
    if (row.code == code) return static_cast<NtStatus>(row.status);
  }
  return static_cast<NtStatus>(0xC0000001u);  // STATUS_UNSUCCESSFUL
}

// Counts every call and passes it on to the real platform; when it is the
// armed call and the armed kind applies to it, it fails instead, as its row in
// the seam's list says: null, 0 or false, with the kind's code as the last
// error. FaultPlatform below applies the kinds that do more than fail.
class CountingPlatform : public tavo::platform::Platform {
 public:
  void arm(uint64_t at, const FaultKind* kind) {
    at_ = at;
    kind_ = kind;
  }
  void keep_log() { logging_ = true; }
  bool armed_but_unused() const { return kind_ != nullptr && !applied_; }
  bool write_log(const wchar_t* path) const;

#define TAVO_COUNT_AND_PASS_ON(result, name, parameters, arguments, how_it_fails) \
  result name parameters override {                                               \
    if (fails(Call::name)) return failed<result>();                               \
    return real().name arguments;                                                 \
  }
  TAVO_PLATFORM_CALLS(TAVO_COUNT_AND_PASS_ON)
#undef TAVO_COUNT_AND_PASS_ON

 protected:
  ~CountingPlatform() = default;
  static tavo::platform::Platform& real() { return tavo::platform::real(); }

  // Counts the call and returns the fault to apply to it, if this is the
  // armed call and the kind applies to it.
  const FaultKind* hit(Call call, Role role) {
    const uint64_t number = ++calls_;
    if (logging_ && number <= max_logged) log_[number - 1] = Entry{call, role};
    if (kind_ == nullptr || number != at_ || !applies(*kind_, call)) return nullptr;
    applied_ = true;
    return kind_;
  }

  // For calls whose only fault is to fail: sets the last error when it does.
  bool fails(Call call) {
    const FaultKind* f = hit(call, Role::none);
    if (f == nullptr) return false;
    real().set_last_error(f->code);
    return true;
  }

 private:
  struct Entry {
    Call call;
    Role role;
  };

  // What a call that failed returns.
  template <class Result>
  static Result failed() {
    if constexpr (!std::is_void_v<Result>) return Result{};
  }

  uint64_t at_ = 0;
  const FaultKind* kind_ = nullptr;
  bool applied_ = false;
  bool logging_ = false;
  uint64_t calls_ = 0;
  Entry log_[max_logged] = {};
};

class FaultPlatform final : public CountingPlatform {
 public:
  void note_std_handles() {
    for (int i = 0; i < 3; ++i)
      std_handles_[i] = GetStdHandle(static_cast<DWORD>(-10 - i));
  }

  Handle get_std_handle(int32_t id) override {
    const Role role = id == -10 ? Role::in : id == -11 ? Role::out : Role::err;
    const FaultKind* f = hit(Call::get_std_handle, role);
    if (f == nullptr) return real().get_std_handle(id);
    switch (f->effect) {
      case Effect::handle_null:
        return nullptr;
      default:
        real().set_last_error(f->code);
        return tavo::platform::invalid_handle_value();
    }
  }
  bool get_console_mode(Handle h, uint32_t* mode) override {
    // A conversion works for the stream whose console was tested last.
    console_role_ = role_of(h);
    if (const FaultKind* f = hit(Call::get_console_mode, console_role_)) {
      real().set_last_error(f->code);
      return false;
    }
    return real().get_console_mode(h, mode);
  }
  bool write_console_w(Handle h, const char16_t* units, uint32_t count,
                       uint32_t* written) override {
    const FaultKind* f = hit(Call::write_console_w, role_of(h));
    if (f == nullptr) return real().write_console_w(h, units, count, written);
    switch (f->effect) {
      case Effect::short_one:
        return real().write_console_w(h, units, count < 1 ? count : 1, written);
      case Effect::short_half:
        return real().write_console_w(h, units, (count + 1) / 2, written);
      case Effect::short_zero:
        *written = 0;
        return true;
      default:
        *written = 0;
        real().set_last_error(f->code);
        return false;
    }
  }
  bool read_console_w(Handle h, char16_t* units, uint32_t count, uint32_t* read,
                      tavo::platform::ConsoleReadControl* control) override {
    const FaultKind* f = hit(Call::read_console_w, role_of(h));
    if (f == nullptr) return real().read_console_w(h, units, count, read, control);
    *read = 0;
    switch (f->effect) {
      case Effect::short_one:
        return real().read_console_w(h, units, count < 1 ? count : 1, read, control);
      case Effect::short_half:
        return real().read_console_w(h, units, (count + 1) / 2, read, control);
      case Effect::short_zero:
        real().set_last_error(0);
        return true;
      case Effect::console_aborted:
        real().set_last_error(995);
        return true;
      case Effect::console_high_surrogate:
        units[0] = 0xD83D;
        *read = 1;
        return true;
      case Effect::console_ctrl_z:
        units[0] = 0x1A;
        *read = 1;
        return true;
      default:
        real().set_last_error(f->code);
        return false;
    }
  }
  int multi_byte_to_wide_char(uint32_t cp, uint32_t flags, const char* bytes, int n,
                              char16_t* units, int capacity) override {
    return conversion(Call::multi_byte_to_wide_char, [&] {
      return real().multi_byte_to_wide_char(cp, flags, bytes, n, units, capacity);
    });
  }
  int wide_char_to_multi_byte(uint32_t cp, uint32_t flags, const char16_t* units, int n,
                              char* bytes, int capacity) override {
    return conversion(Call::wide_char_to_multi_byte, [&] {
      return real().wide_char_to_multi_byte(cp, flags, units, n, bytes, capacity);
    });
  }
  uint32_t wait_for_single_object(Handle h, uint32_t ms) override {
    const FaultKind* f = hit(Call::wait_for_single_object, role_of(h));
    if (f != nullptr) {
      real().set_last_error(f->code);
      return 0xFFFFFFFFu;  // WAIT_FAILED
    }
    // The transfer that reported STATUS_PENDING was made up here; the handle
    // itself has nothing to wait for.
    if (swallow_wait_) {
      swallow_wait_ = false;
      return 0;  // WAIT_OBJECT_0
    }
    return real().wait_for_single_object(h, ms);
  }
  NtStatus nt_write_file(Handle h, IoStatusBlock* block, const void* bytes,
                         uint32_t length) override {
    const FaultKind* f = hit(Call::nt_write_file, role_of(h));
    if (f == nullptr) return real().nt_write_file(h, block, bytes, length);
    return transfer(*f, block, length,
                    [&](uint32_t n) { return real().nt_write_file(h, block, bytes, n); });
  }
  NtStatus nt_read_file(Handle h, IoStatusBlock* block, void* bytes,
                        uint32_t length) override {
    const FaultKind* f = hit(Call::nt_read_file, role_of(h));
    if (f == nullptr) return real().nt_read_file(h, block, bytes, length);
    return transfer(*f, block, length,
                    [&](uint32_t n) { return real().nt_read_file(h, block, bytes, n); });
  }
  void* rtl_lookup_function_entry(uint64_t pc, uint64_t* image_base) override {
    if (fails(Call::rtl_lookup_function_entry)) {
      *image_base = 0;
      return nullptr;
    }
    return real().rtl_lookup_function_entry(pc, image_base);
  }
  // Never fails; as a fault it reports an empty stack, past which the walk
  // reads nothing.
  void get_current_thread_stack_limits(uint64_t* low, uint64_t* high) override {
    real().get_current_thread_stack_limits(low, high);
    if (fails(Call::get_current_thread_stack_limits)) *low = *high = 0;
  }

 private:
  Role role_of(Handle h) const {
    if (h == nullptr || h == tavo::platform::invalid_handle_value()) return Role::none;
    for (int i = 0; i < 3; ++i) {
      if (h == std_handles_[i]) return static_cast<Role>(i + 1);
    }
    return Role::none;
  }

  static int shortened(const FaultKind& f, int produced) {
    if (produced <= 1) return produced;
    return f.effect == Effect::short_one ? 1 : produced / 2;
  }

  // A conversion with its fault, if any: it fails with the kind's code, or
  // reports fewer units or bytes than `convert` (the real call) produced.
  template <class Convert>
  int conversion(Call call, Convert&& convert) {
    const FaultKind* f = hit(call, console_role_);
    if (f != nullptr && f->effect == Effect::code) {
      real().set_last_error(f->code);
      return 0;
    }
    const int produced = convert();
    return f == nullptr ? produced : shortened(*f, produced);
  }

  // NtWriteFile / NtReadFile with fault `f`; `forward(n)` makes the real
  // call for n bytes.
  template <class Forward>
  NtStatus transfer(const FaultKind& f, IoStatusBlock* block, uint32_t length,
                    Forward&& forward) {
    switch (f.effect) {
      case Effect::short_one:
      case Effect::short_half: {
        const uint32_t n =
            f.effect == Effect::short_one ? (length < 1 ? length : 1) : (length + 1) / 2;
        if (n > 0) return forward(n);
        [[fallthrough]];
      }
      case Effect::short_zero:
        block->status = status_success;
        block->information = 0;
        return status_success;
      case Effect::pending_stuck:
        // The caller's preset (STATUS_PENDING) stays in the block.
        swallow_wait_ = true;
        return tavo::platform::status_pending;
      case Effect::pending_done: {
        const NtStatus status = forward(length);
        block->status = status;
        swallow_wait_ = true;
        return tavo::platform::status_pending;
      }
      default:
        return status_for_code(f.code);
    }
  }

  bool swallow_wait_ = false;
  Role console_role_ = Role::none;
  Handle std_handles_[3] = {};
};

bool CountingPlatform::write_log(const wchar_t* path) const {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  const uint64_t logged = calls_ < max_logged ? calls_ : max_logged;
  for (uint64_t i = 0; i < logged && ok; ++i) {
    char line[96];
    const std::string_view name = call_names[static_cast<size_t>(log_[i].call)];
    const int n = std::snprintf(line, sizeof line, "%llu %.*s %c\n",
                                static_cast<unsigned long long>(i + 1),
                                static_cast<int>(name.size()), name.data(),
                                role_letters[static_cast<size_t>(log_[i].role)]);
    DWORD done = 0;
    ok = WriteFile(file, line, static_cast<DWORD>(n), &done, nullptr) && done == DWORD(n);
  }
  CloseHandle(file);
  return ok;
}

// Static storage: nothing here may come from the heap that is being counted.
FaultPlatform fault_platform;
wchar_t log_path[MAX_PATH + 1];

void say(const char* text) {
  DWORD done = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)),
            &done, nullptr);
}

// Reads the fault and the log path from the environment. False when they
// are malformed (said on standard error).
bool configure() {
  wchar_t value[64];
  DWORD n = GetEnvironmentVariableW(L"TAVO_FAULT_KIND", value, 64);
  if (n > 0 && n < 64) {
    char name[64];
    for (DWORD i = 0; i <= n; ++i) name[i] = static_cast<char>(value[i]);
    const FaultKind* kind = find_kind(name);
    wchar_t at[32];
    const DWORD m = GetEnvironmentVariableW(L"TAVO_FAULT_AT", at, 32);
    const uint64_t number = m > 0 && m < 32 ? std::wcstoull(at, nullptr, 10) : 0;
    if (kind == nullptr || number == 0) {
      say("fault_guess: TAVO_FAULT_KIND or TAVO_FAULT_AT is not valid\n");
      return false;
    }
    // The NT calls fail with the status that stands for the code; a system
    // that maps it to another code would make the sweep test something else.
    if (kind->effect == Effect::code &&
        RtlNtStatusToDosError(status_for_code(kind->code)) != kind->code) {
      say("fault_guess: the status of this code maps to another code\n");
      return false;
    }
    fault_platform.arm(number, kind);
  }
  n = GetEnvironmentVariableW(L"TAVO_FAULT_LOG", log_path, MAX_PATH + 1);
  if (n > 0 && n <= MAX_PATH) fault_platform.keep_log();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!configure()) return 2;
  fault_platform.note_std_handles();
  tavo::platform::install(&fault_platform);
  const int status = guess_entry(argc, argv);
  tavo::platform::install(nullptr);
  if (log_path[0] != 0 && !fault_platform.write_log(log_path)) {
    say("fault_guess: could not write the call log\n");
  }
  if (fault_platform.armed_but_unused())
    say("fault_guess: the fault was never applied\n");
  return status;
}

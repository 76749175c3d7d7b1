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

#include "fault/fault_kinds.h"
#include "platform/windows_api.h"
#include "support/fake_platform.h"

int guess_entry(int argc, char** argv);

namespace {

using namespace tavo::fault;
using tavo::sys::Handle;
using tavo::sys::IoStatusBlock;
using tavo::sys::NtStatus;

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

class FaultPlatform final : public tavo::testing::FakePlatform {
 public:
  void arm(uint64_t at, const FaultKind* kind) {
    at_ = at;
    kind_ = kind;
  }
  void keep_log() { logging_ = true; }
  void note_std_handles() {
    for (int i = 0; i < 3; ++i)
      std_handles_[i] = GetStdHandle(static_cast<DWORD>(-10 - i));
  }
  bool armed_but_unused() const { return kind_ != nullptr && !applied_; }
  bool write_log(const wchar_t* path) const;

  Handle get_std_handle(int32_t id) override {
    const Role role = id == -10 ? Role::in : id == -11 ? Role::out : Role::err;
    const FaultKind* f = hit(Call::get_std_handle, role);
    if (f == nullptr) return real().get_std_handle(id);
    switch (f->effect) {
      case Effect::handle_null:
        return nullptr;
      default:
        real().set_last_error(f->code);
        return tavo::sys::invalid_handle_value();
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
                      tavo::sys::ConsoleReadControl* control) override {
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
  uint32_t get_last_error() override {
    (void)hit(Call::get_last_error, Role::none);
    return real().get_last_error();
  }
  void set_last_error(uint32_t code) override {
    (void)hit(Call::set_last_error, Role::none);
    real().set_last_error(code);
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
  uint32_t rtl_nt_status_to_dos_error(NtStatus s) override {
    (void)hit(Call::rtl_nt_status_to_dos_error, Role::none);
    return real().rtl_nt_status_to_dos_error(s);
  }
  uint32_t format_message_w(uint32_t flags, Module m, uint32_t id, uint32_t lang,
                            char16_t* buffer, uint32_t size) override {
    if (const FaultKind* f = hit(Call::format_message_w, Role::none)) {
      real().set_last_error(f->code);
      return 0;
    }
    return real().format_message_w(flags, m, id, lang, buffer, size);
  }
  Module get_module_handle_w(const char16_t* name) override {
    return fails(Call::get_module_handle_w) ? nullptr : real().get_module_handle_w(name);
  }
  Module get_module_handle_a(const char* name) override {
    return fails(Call::get_module_handle_a) ? nullptr : real().get_module_handle_a(name);
  }
  tavo::sys::Procedure get_proc_address(Module m, const char* name) override {
    return fails(Call::get_proc_address) ? nullptr : real().get_proc_address(m, name);
  }
  Module load_library_ex_w(const char16_t* name, uint32_t flags) override {
    return fails(Call::load_library_ex_w) ? nullptr
                                          : real().load_library_ex_w(name, flags);
  }
  uint32_t get_environment_variable_w(const char16_t* name, char16_t* buffer,
                                      uint32_t size) override {
    return fails(Call::get_environment_variable_w)
               ? 0
               : real().get_environment_variable_w(name, buffer, size);
  }
  void* add_vectored_exception_handler(uint32_t first,
                                       tavo::sys::VectoredHandler h) override {
    return fails(Call::add_vectored_exception_handler)
               ? nullptr
               : real().add_vectored_exception_handler(first, h);
  }
  bool set_thread_stack_guarantee(uint32_t* size) override {
    return !fails(Call::set_thread_stack_guarantee) &&
           real().set_thread_stack_guarantee(size);
  }
  Handle get_current_thread() override {
    (void)hit(Call::get_current_thread, Role::none);
    return real().get_current_thread();
  }
  Handle get_current_process() override {
    (void)hit(Call::get_current_process, Role::none);
    return real().get_current_process();
  }
  void rtl_capture_context(void* context) override {
    (void)hit(Call::rtl_capture_context, Role::none);
    real().rtl_capture_context(context);
  }
  void* rtl_lookup_function_entry(uint64_t pc, uint64_t* image_base) override {
    if (fails(Call::rtl_lookup_function_entry)) {
      *image_base = 0;
      return nullptr;
    }
    return real().rtl_lookup_function_entry(pc, image_base);
  }
  void rtl_virtual_unwind(uint64_t image_base, uint64_t pc, void* function_entry,
                          void* context) override {
    (void)hit(Call::rtl_virtual_unwind, Role::none);
    real().rtl_virtual_unwind(image_base, pc, function_entry, context);
  }
  uint32_t get_module_file_name_w(Module module, char16_t* buffer,
                                  uint32_t size) override {
    return fails(Call::get_module_file_name_w)
               ? 0
               : real().get_module_file_name_w(module, buffer, size);
  }
  // Never fails; as a fault it reports an empty stack, past which the walk
  // reads nothing.
  void get_current_thread_stack_limits(uint64_t* low, uint64_t* high) override {
    real().get_current_thread_stack_limits(low, high);
    if (fails(Call::get_current_thread_stack_limits)) *low = *high = 0;
  }
  uint32_t get_short_path_name_w(const char16_t* path, char16_t* buffer,
                                 uint32_t size) override {
    return fails(Call::get_short_path_name_w)
               ? 0
               : real().get_short_path_name_w(path, buffer, size);
  }
  uint32_t sym_get_options(const tavo::sys::DebugHelp& l) override {
    (void)hit(Call::sym_get_options, Role::none);
    return real().sym_get_options(l);
  }
  uint32_t sym_set_options(const tavo::sys::DebugHelp& l, uint32_t options) override {
    (void)hit(Call::sym_set_options, Role::none);
    return real().sym_set_options(l, options);
  }
  bool sym_initialize_w(const tavo::sys::DebugHelp& l, Handle process,
                        const char16_t* path, bool invade) override {
    return !fails(Call::sym_initialize_w) &&
           real().sym_initialize_w(l, process, path, invade);
  }
  uint64_t sym_load_module_ex_w(const tavo::sys::DebugHelp& l, Handle process,
                                const char16_t* image, uint64_t base) override {
    return fails(Call::sym_load_module_ex_w)
               ? 0
               : real().sym_load_module_ex_w(l, process, image, base);
  }
  bool sym_from_addr_w(const tavo::sys::DebugHelp& l, Handle process, uint64_t address,
                       char16_t* name, uint32_t capacity) override {
    return !fails(Call::sym_from_addr_w) &&
           real().sym_from_addr_w(l, process, address, name, capacity);
  }
  bool sym_get_line_from_addr_w64(const tavo::sys::DebugHelp& l, Handle process,
                                  uint64_t address, const char16_t** file,
                                  uint32_t* line) override {
    return !fails(Call::sym_get_line_from_addr_w64) &&
           real().sym_get_line_from_addr_w64(l, process, address, file, line);
  }
  void* heap_alloc(size_t size) override {
    return fails(Call::heap_alloc) ? nullptr : real().heap_alloc(size);
  }
  bool heap_free(void* block) override {
    (void)hit(Call::heap_free, Role::none);
    return real().heap_free(block);
  }
  uint64_t commit_limit() override {
    return fails(Call::commit_limit) ? 0 : real().commit_limit();
  }
  [[noreturn]] void fail_fast(uint32_t code) override {
    (void)hit(Call::fail_fast, Role::none);
    real().fail_fast(code);
    __builtin_trap();
  }

 private:
  struct Entry {
    Call call;
    Role role;
  };

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

  Role role_of(Handle h) const {
    if (h == nullptr || h == tavo::sys::invalid_handle_value()) return Role::none;
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
        return tavo::sys::status_pending;
      case Effect::pending_done: {
        const NtStatus status = forward(length);
        block->status = status;
        swallow_wait_ = true;
        return tavo::sys::status_pending;
      }
      default:
        return status_for_code(f.code);
    }
  }

  uint64_t at_ = 0;
  const FaultKind* kind_ = nullptr;
  bool applied_ = false;
  bool logging_ = false;
  bool swallow_wait_ = false;
  Role console_role_ = Role::none;
  uint64_t calls_ = 0;
  Handle std_handles_[3] = {};
  Entry log_[max_logged] = {};
};

bool FaultPlatform::write_log(const wchar_t* path) const {
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
  tavo::sys::set_platform(&fault_platform);
  const int status = guess_entry(argc, argv);
  tavo::sys::set_platform(nullptr);
  if (log_path[0] != 0 && !fault_platform.write_log(log_path)) {
    say("fault_guess: could not write the call log\n");
  }
  if (fault_platform.armed_but_unused())
    say("fault_guess: the fault was never applied\n");
  return status;
}

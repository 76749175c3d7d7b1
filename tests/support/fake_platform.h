// A platform for tests: every call goes to the real Windows platform unless
// the test overrides it. Install one with ScopedPlatform for the length of a
// test:
//
//   struct NoStdout : tavo::testing::FakePlatform {
//     tavo::sys::Handle get_std_handle(int32_t) override { return nullptr; }
//   } fake;
//   tavo::testing::ScopedPlatform use(fake);
#pragma once

#include "platform/platform.h"

namespace tavo::testing {

class FakePlatform : public sys::Platform {
 public:
  using Handle = sys::Handle;
  using Module = sys::Module;
  using NtStatus = sys::NtStatus;

  Handle get_std_handle(int32_t id) override { return real().get_std_handle(id); }
  bool get_console_mode(Handle h, uint32_t* mode) override {
    return real().get_console_mode(h, mode);
  }
  bool write_console_w(Handle h, const char16_t* u, uint32_t n, uint32_t* w) override {
    return real().write_console_w(h, u, n, w);
  }
  bool read_console_w(Handle h, char16_t* u, uint32_t n, uint32_t* r,
                      sys::ConsoleReadControl* c) override {
    return real().read_console_w(h, u, n, r, c);
  }
  int multi_byte_to_wide_char(uint32_t cp, uint32_t f, const char* b, int bn, char16_t* u,
                              int un) override {
    return real().multi_byte_to_wide_char(cp, f, b, bn, u, un);
  }
  int wide_char_to_multi_byte(uint32_t cp, uint32_t f, const char16_t* u, int un, char* b,
                              int bn) override {
    return real().wide_char_to_multi_byte(cp, f, u, un, b, bn);
  }
  uint32_t get_last_error() override { return real().get_last_error(); }
  void set_last_error(uint32_t code) override { real().set_last_error(code); }
  uint32_t wait_for_single_object(Handle h, uint32_t ms) override {
    return real().wait_for_single_object(h, ms);
  }
  NtStatus nt_write_file(Handle h, sys::IoStatusBlock* b, const void* p,
                         uint32_t n) override {
    return real().nt_write_file(h, b, p, n);
  }
  NtStatus nt_read_file(Handle h, sys::IoStatusBlock* b, void* p, uint32_t n) override {
    return real().nt_read_file(h, b, p, n);
  }
  uint32_t rtl_nt_status_to_dos_error(NtStatus s) override {
    return real().rtl_nt_status_to_dos_error(s);
  }
  uint32_t format_message_w(uint32_t f, Module m, uint32_t id, uint32_t lang,
                            char16_t* buf, uint32_t size) override {
    return real().format_message_w(f, m, id, lang, buf, size);
  }
  Module get_module_handle_w(const char16_t* name) override {
    return real().get_module_handle_w(name);
  }
  Module get_module_handle_a(const char* name) override {
    return real().get_module_handle_a(name);
  }
  sys::Procedure get_proc_address(Module m, const char* name) override {
    return real().get_proc_address(m, name);
  }
  Module load_library_ex_w(const char16_t* name, uint32_t flags) override {
    return real().load_library_ex_w(name, flags);
  }
  uint32_t get_environment_variable_w(const char16_t* n, char16_t* b,
                                      uint32_t s) override {
    return real().get_environment_variable_w(n, b, s);
  }
  void* add_vectored_exception_handler(uint32_t first, sys::VectoredHandler h) override {
    return real().add_vectored_exception_handler(first, h);
  }
  bool set_thread_stack_guarantee(uint32_t* size) override {
    return real().set_thread_stack_guarantee(size);
  }
  Handle get_current_thread() override { return real().get_current_thread(); }
  Handle get_current_process() override { return real().get_current_process(); }
  void rtl_capture_context(void* context) override {
    real().rtl_capture_context(context);
  }
  void* rtl_lookup_function_entry(uint64_t pc, uint64_t* image_base) override {
    return real().rtl_lookup_function_entry(pc, image_base);
  }
  void rtl_virtual_unwind(uint64_t image_base, uint64_t pc, void* function_entry,
                          void* context) override {
    real().rtl_virtual_unwind(image_base, pc, function_entry, context);
  }
  uint32_t get_module_file_name_w(Module module, char16_t* buffer,
                                  uint32_t size) override {
    return real().get_module_file_name_w(module, buffer, size);
  }
  void get_current_thread_stack_limits(uint64_t* low, uint64_t* high) override {
    real().get_current_thread_stack_limits(low, high);
  }
  uint32_t get_short_path_name_w(const char16_t* p, char16_t* b, uint32_t s) override {
    return real().get_short_path_name_w(p, b, s);
  }
  uint32_t sym_get_options(const sys::DebugHelp& l) override {
    return real().sym_get_options(l);
  }
  uint32_t sym_set_options(const sys::DebugHelp& l, uint32_t options) override {
    return real().sym_set_options(l, options);
  }
  bool sym_initialize_w(const sys::DebugHelp& l, Handle process, const char16_t* path,
                        bool invade) override {
    return real().sym_initialize_w(l, process, path, invade);
  }
  uint64_t sym_load_module_ex_w(const sys::DebugHelp& l, Handle process,
                                const char16_t* image, uint64_t base) override {
    return real().sym_load_module_ex_w(l, process, image, base);
  }
  bool sym_from_addr_w(const sys::DebugHelp& l, Handle process, uint64_t address,
                       char16_t* name, uint32_t capacity) override {
    return real().sym_from_addr_w(l, process, address, name, capacity);
  }
  bool sym_get_line_from_addr_w64(const sys::DebugHelp& l, Handle process,
                                  uint64_t address, const char16_t** file,
                                  uint32_t* line) override {
    return real().sym_get_line_from_addr_w64(l, process, address, file, line);
  }
  void* heap_alloc(size_t size) override { return real().heap_alloc(size); }
  bool heap_free(void* block) override { return real().heap_free(block); }
  uint64_t commit_limit() override { return real().commit_limit(); }
  [[noreturn]] void fail_fast(uint32_t code) override {
    real().fail_fast(code);
    __builtin_trap();  // GCC does not carry [[noreturn]] through a virtual call
  }

 protected:
  ~FakePlatform() = default;
  static sys::Platform& real() { return sys::real_platform(); }
};

// Installs a platform for the current scope and restores the previous one.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(sys::Platform& fake) : previous_(sys::set_platform(&fake)) {}
  ~ScopedPlatform() { sys::set_platform(previous_); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  sys::Platform* previous_;
};

}  // namespace tavo::testing

// The 41 categories of an I/O error.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavo {

enum class IoErrorKind : uint8_t {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  FilesystemLoop,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  StorageFull,
  NotSeekable,
  FilesystemQuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossesDevices,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  Other,
  Uncategorized,
};

inline constexpr int io_error_kind_count = 41;

// The enumerator's name, as the debug form shows it ("NotFound").
std::string_view debug_name(IoErrorKind kind);
// The user-facing description ("entity not found").
std::string_view description(IoErrorKind kind);
// The category of a Windows error code; total and pure.
IoErrorKind kind_from_os_code(int32_t code);

}  // namespace tavo

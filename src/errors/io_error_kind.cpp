// The 41 kinds: their names, their descriptions, and the kind of each Windows
// error code.
#include "errors/io_error_kind.h"

#include <array>

namespace tavo {
namespace {

struct KindText {
  std::string_view name;
  std::string_view description;
};

// Indexed by the kind's number; the order is the enumeration's.
constexpr std::array<KindText, io_error_kind_count> kind_texts{{
    {"NotFound", "entity not found"},
    {"PermissionDenied", "permission denied"},
    {"ConnectionRefused", "connection refused"},
    {"ConnectionReset", "connection reset"},
    {"HostUnreachable", "host unreachable"},
    {"NetworkUnreachable", "network unreachable"},
    {"ConnectionAborted", "connection aborted"},
    {"NotConnected", "not connected"},
    {"AddrInUse", "address in use"},
    {"AddrNotAvailable", "address not available"},
    {"NetworkDown", "network down"},
    {"BrokenPipe", "broken pipe"},
    {"AlreadyExists", "entity already exists"},
    {"WouldBlock", "operation would block"},
    {"NotADirectory", "not a directory"},
    {"IsADirectory", "is a directory"},
    {"DirectoryNotEmpty", "directory not empty"},
    {"ReadOnlyFilesystem", "read-only filesystem or storage medium"},
    {"FilesystemLoop", "filesystem loop or indirection limit (e.g. symlink loop)"},
    {"StaleNetworkFileHandle", "stale network file handle"},
    {"InvalidInput", "invalid input parameter"},
    {"InvalidData", "invalid data"},
    {"TimedOut", "timed out"},
    {"WriteZero", "write zero"},
    {"StorageFull", "no storage space"},
    {"NotSeekable", "seek on unseekable file"},
    {"FilesystemQuotaExceeded", "filesystem quota exceeded"},
    {"FileTooLarge", "file too large"},
    {"ResourceBusy", "resource busy"},
    {"ExecutableFileBusy", "executable file busy"},
    {"Deadlock", "deadlock"},
    {"CrossesDevices", "cross-device link or rename"},
    {"TooManyLinks", "too many links"},
    {"InvalidFilename", "invalid filename"},
    {"ArgumentListTooLong", "argument list too long"},
    {"Interrupted", "operation interrupted"},
    {"Unsupported", "unsupported"},
    {"UnexpectedEof", "unexpected end of file"},
    {"OutOfMemory", "out of memory"},
    {"Other", "other error"},
    {"Uncategorized", "uncategorized error"},
}};

static_assert(static_cast<int>(IoErrorKind::Uncategorized) == io_error_kind_count - 1);

const KindText& texts_of(IoErrorKind kind) {
  auto index = static_cast<size_t>(kind);
  // No other value occurs; an impossible one reads as the last category
  // rather than outside the table.
  if (index >= kind_texts.size()) index = kind_texts.size() - 1;
  return kind_texts[index];
}

}  // namespace

std::string_view debug_name(IoErrorKind kind) { return texts_of(kind).name; }

std::string_view description(IoErrorKind kind) { return texts_of(kind).description; }

IoErrorKind kind_from_os_code(int32_t code) {
  using K = IoErrorKind;
  switch (code) {
    case 2:   // ERROR_FILE_NOT_FOUND
    case 3:   // ERROR_PATH_NOT_FOUND
    case 15:  // ERROR_INVALID_DRIVE
    case 53:  // ERROR_BAD_NETPATH
    case 67:  // ERROR_BAD_NET_NAME
      return K::NotFound;
    case 5:      // ERROR_ACCESS_DENIED
    case 10013:  // WSAEACCES
      return K::PermissionDenied;
    case 10061:  // WSAECONNREFUSED
      return K::ConnectionRefused;
    case 10054:  // WSAECONNRESET
      return K::ConnectionReset;
    case 1232:   // ERROR_HOST_UNREACHABLE
    case 10065:  // WSAEHOSTUNREACH
      return K::HostUnreachable;
    case 1231:   // ERROR_NETWORK_UNREACHABLE
    case 10051:  // WSAENETUNREACH
      return K::NetworkUnreachable;
    case 10053:  // WSAECONNABORTED
      return K::ConnectionAborted;
    case 10057:  // WSAENOTCONN
      return K::NotConnected;
    case 10048:  // WSAEADDRINUSE
      return K::AddrInUse;
    case 10049:  // WSAEADDRNOTAVAIL
      return K::AddrNotAvailable;
    case 10050:  // WSAENETDOWN
      return K::NetworkDown;
    case 109:  // ERROR_BROKEN_PIPE
    case 232:  // ERROR_NO_DATA
      return K::BrokenPipe;
    case 80:   // ERROR_FILE_EXISTS
    case 183:  // ERROR_ALREADY_EXISTS
      return K::AlreadyExists;
    case 10035:  // WSAEWOULDBLOCK
      return K::WouldBlock;
    case 267:  // ERROR_DIRECTORY
      return K::NotADirectory;
    case 336:  // ERROR_DIRECTORY_NOT_SUPPORTED
      return K::IsADirectory;
    case 145:  // ERROR_DIR_NOT_EMPTY
      return K::DirectoryNotEmpty;
    case 19:  // ERROR_WRITE_PROTECT
      return K::ReadOnlyFilesystem;
    case 87:     // ERROR_INVALID_PARAMETER
    case 10022:  // WSAEINVAL
      return K::InvalidInput;
    case 121:    // ERROR_SEM_TIMEOUT
    case 258:    // WAIT_TIMEOUT
    case 594:    // ERROR_DRIVER_CANCEL_TIMEOUT
    case 995:    // ERROR_OPERATION_ABORTED
    case 1053:   // ERROR_SERVICE_REQUEST_TIMEOUT
    case 1121:   // ERROR_COUNTER_TIMEOUT
    case 1460:   // ERROR_TIMEOUT
    case 5910:   // ERROR_RESOURCE_CALL_TIMED_OUT
    case 7012:   // ERROR_CTX_MODEM_RESPONSE_TIMEOUT
    case 7040:   // ERROR_CTX_CLIENT_QUERY_TIMEOUT
    case 8014:   // FRS_ERR_SYSVOL_POPULATE_TIMEOUT
    case 8226:   // ERROR_DS_TIMELIMIT_EXCEEDED
    case 9705:   // DNS_ERROR_RECORD_TIMED_OUT
    case 10060:  // WSAETIMEDOUT
    case 13805:  // ERROR_IPSEC_IKE_TIMED_OUT
    case 15402:  // ERROR_RUNLEVEL_SWITCH_TIMEOUT
    case 15403:  // ERROR_RUNLEVEL_SWITCH_AGENT_TIMEOUT
      return K::TimedOut;
    case 39:   // ERROR_HANDLE_DISK_FULL
    case 112:  // ERROR_DISK_FULL
      return K::StorageFull;
    case 132:  // ERROR_SEEK_ON_DEVICE
      return K::NotSeekable;
    case 1295:  // ERROR_DISK_QUOTA_EXCEEDED
      return K::FilesystemQuotaExceeded;
    case 223:  // ERROR_FILE_TOO_LARGE
      return K::FileTooLarge;
    case 170:  // ERROR_BUSY
      return K::ResourceBusy;
    case 1131:  // ERROR_POSSIBLE_DEADLOCK
      return K::Deadlock;
    case 17:  // ERROR_NOT_SAME_DEVICE
      return K::CrossesDevices;
    case 1142:  // ERROR_TOO_MANY_LINKS
      return K::TooManyLinks;
    case 123:  // ERROR_INVALID_NAME
    case 161:  // ERROR_BAD_PATHNAME
    case 206:  // ERROR_FILENAME_EXCED_RANGE
      return K::InvalidFilename;
    case 120:  // ERROR_CALL_NOT_IMPLEMENTED
      return K::Unsupported;
    case 8:   // ERROR_NOT_ENOUGH_MEMORY
    case 14:  // ERROR_OUTOFMEMORY
      return K::OutOfMemory;
    default:
      return K::Uncategorized;
  }
}

}  // namespace tavo

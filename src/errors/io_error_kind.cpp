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

namespace {

struct CodeKind {
  int32_t code;
  IoErrorKind kind;
};

// The Windows error codes that have a category of their own, with the
// system's names; every other code is Uncategorized.
using K = IoErrorKind;
constexpr CodeKind code_kinds[] = {
    {2, K::NotFound},                    // ERROR_FILE_NOT_FOUND
    {3, K::NotFound},                    // ERROR_PATH_NOT_FOUND
    {15, K::NotFound},                   // ERROR_INVALID_DRIVE
    {53, K::NotFound},                   // ERROR_BAD_NETPATH
    {67, K::NotFound},                   // ERROR_BAD_NET_NAME
    {5, K::PermissionDenied},            // ERROR_ACCESS_DENIED
    {10013, K::PermissionDenied},        // WSAEACCES
    {10061, K::ConnectionRefused},       // WSAECONNREFUSED
    {10054, K::ConnectionReset},         // WSAECONNRESET
    {1232, K::HostUnreachable},          // ERROR_HOST_UNREACHABLE
    {10065, K::HostUnreachable},         // WSAEHOSTUNREACH
    {1231, K::NetworkUnreachable},       // ERROR_NETWORK_UNREACHABLE
    {10051, K::NetworkUnreachable},      // WSAENETUNREACH
    {10053, K::ConnectionAborted},       // WSAECONNABORTED
    {10057, K::NotConnected},            // WSAENOTCONN
    {10048, K::AddrInUse},               // WSAEADDRINUSE
    {10049, K::AddrNotAvailable},        // WSAEADDRNOTAVAIL
    {10050, K::NetworkDown},             // WSAENETDOWN
    {109, K::BrokenPipe},                // ERROR_BROKEN_PIPE
    {232, K::BrokenPipe},                // ERROR_NO_DATA
    {80, K::AlreadyExists},              // ERROR_FILE_EXISTS
    {183, K::AlreadyExists},             // ERROR_ALREADY_EXISTS
    {10035, K::WouldBlock},              // WSAEWOULDBLOCK
    {267, K::NotADirectory},             // ERROR_DIRECTORY
    {336, K::IsADirectory},              // ERROR_DIRECTORY_NOT_SUPPORTED
    {145, K::DirectoryNotEmpty},         // ERROR_DIR_NOT_EMPTY
    {19, K::ReadOnlyFilesystem},         // ERROR_WRITE_PROTECT
    {87, K::InvalidInput},               // ERROR_INVALID_PARAMETER
    {10022, K::InvalidInput},            // WSAEINVAL
    {121, K::TimedOut},                  // ERROR_SEM_TIMEOUT
    {258, K::TimedOut},                  // WAIT_TIMEOUT
    {594, K::TimedOut},                  // ERROR_DRIVER_CANCEL_TIMEOUT
    {995, K::TimedOut},                  // ERROR_OPERATION_ABORTED
    {1053, K::TimedOut},                 // ERROR_SERVICE_REQUEST_TIMEOUT
    {1121, K::TimedOut},                 // ERROR_COUNTER_TIMEOUT
    {1460, K::TimedOut},                 // ERROR_TIMEOUT
    {5910, K::TimedOut},                 // ERROR_RESOURCE_CALL_TIMED_OUT
    {7012, K::TimedOut},                 // ERROR_CTX_MODEM_RESPONSE_TIMEOUT
    {7040, K::TimedOut},                 // ERROR_CTX_CLIENT_QUERY_TIMEOUT
    {8014, K::TimedOut},                 // FRS_ERR_SYSVOL_POPULATE_TIMEOUT
    {8226, K::TimedOut},                 // ERROR_DS_TIMELIMIT_EXCEEDED
    {9705, K::TimedOut},                 // DNS_ERROR_RECORD_TIMED_OUT
    {10060, K::TimedOut},                // WSAETIMEDOUT
    {13805, K::TimedOut},                // ERROR_IPSEC_IKE_TIMED_OUT
    {15402, K::TimedOut},                // ERROR_RUNLEVEL_SWITCH_TIMEOUT
    {15403, K::TimedOut},                // ERROR_RUNLEVEL_SWITCH_AGENT_TIMEOUT
    {39, K::StorageFull},                // ERROR_HANDLE_DISK_FULL
    {112, K::StorageFull},               // ERROR_DISK_FULL
    {132, K::NotSeekable},               // ERROR_SEEK_ON_DEVICE
    {1295, K::FilesystemQuotaExceeded},  // ERROR_DISK_QUOTA_EXCEEDED
    {223, K::FileTooLarge},              // ERROR_FILE_TOO_LARGE
    {170, K::ResourceBusy},              // ERROR_BUSY
    {1131, K::Deadlock},                 // ERROR_POSSIBLE_DEADLOCK
    {17, K::CrossesDevices},             // ERROR_NOT_SAME_DEVICE
    {1142, K::TooManyLinks},             // ERROR_TOO_MANY_LINKS
    {123, K::InvalidFilename},           // ERROR_INVALID_NAME
    {161, K::InvalidFilename},           // ERROR_BAD_PATHNAME
    {206, K::InvalidFilename},           // ERROR_FILENAME_EXCED_RANGE
    {120, K::Unsupported},               // ERROR_CALL_NOT_IMPLEMENTED
    {8, K::OutOfMemory},                 // ERROR_NOT_ENOUGH_MEMORY
    {14, K::OutOfMemory},                // ERROR_OUTOFMEMORY
};

}  // namespace

IoErrorKind kind_from_os_code(int32_t code) {
  for (const CodeKind& row : code_kinds) {
    if (row.code == code) return row.kind;
  }
  return IoErrorKind::Uncategorized;
}

}  // namespace tavo

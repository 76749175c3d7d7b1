// The 41 categories and the mapping from Windows error codes to them.
#include "errors/io_error_kind.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <set>
#include <string>

namespace tavo {
namespace {

struct KindRow {
  int number;
  IoErrorKind kind;
  const char* name;
  const char* description;
};

const KindRow kind_rows[] = {
    {0, IoErrorKind::NotFound, "NotFound", "entity not found"},
    {1, IoErrorKind::PermissionDenied, "PermissionDenied", "permission denied"},
    {2, IoErrorKind::ConnectionRefused, "ConnectionRefused", "connection refused"},
    {3, IoErrorKind::ConnectionReset, "ConnectionReset", "connection reset"},
    {4, IoErrorKind::HostUnreachable, "HostUnreachable", "host unreachable"},
    {5, IoErrorKind::NetworkUnreachable, "NetworkUnreachable", "network unreachable"},
    {6, IoErrorKind::ConnectionAborted, "ConnectionAborted", "connection aborted"},
    {7, IoErrorKind::NotConnected, "NotConnected", "not connected"},
    {8, IoErrorKind::AddrInUse, "AddrInUse", "address in use"},
    {9, IoErrorKind::AddrNotAvailable, "AddrNotAvailable", "address not available"},
    {10, IoErrorKind::NetworkDown, "NetworkDown", "network down"},
    {11, IoErrorKind::BrokenPipe, "BrokenPipe", "broken pipe"},
    {12, IoErrorKind::AlreadyExists, "AlreadyExists", "entity already exists"},
    {13, IoErrorKind::WouldBlock, "WouldBlock", "operation would block"},
    {14, IoErrorKind::NotADirectory, "NotADirectory", "not a directory"},
    {15, IoErrorKind::IsADirectory, "IsADirectory", "is a directory"},
    {16, IoErrorKind::DirectoryNotEmpty, "DirectoryNotEmpty", "directory not empty"},
    {17, IoErrorKind::ReadOnlyFilesystem, "ReadOnlyFilesystem",
     "read-only filesystem or storage medium"},
    {18, IoErrorKind::FilesystemLoop, "FilesystemLoop",
     "filesystem loop or indirection limit (e.g. symlink loop)"},
    {19, IoErrorKind::StaleNetworkFileHandle, "StaleNetworkFileHandle",
     "stale network file handle"},
    {20, IoErrorKind::InvalidInput, "InvalidInput", "invalid input parameter"},
    {21, IoErrorKind::InvalidData, "InvalidData", "invalid data"},
    {22, IoErrorKind::TimedOut, "TimedOut", "timed out"},
    {23, IoErrorKind::WriteZero, "WriteZero", "write zero"},
    {24, IoErrorKind::StorageFull, "StorageFull", "no storage space"},
    {25, IoErrorKind::NotSeekable, "NotSeekable", "seek on unseekable file"},
    {26, IoErrorKind::FilesystemQuotaExceeded, "FilesystemQuotaExceeded",
     "filesystem quota exceeded"},
    {27, IoErrorKind::FileTooLarge, "FileTooLarge", "file too large"},
    {28, IoErrorKind::ResourceBusy, "ResourceBusy", "resource busy"},
    {29, IoErrorKind::ExecutableFileBusy, "ExecutableFileBusy", "executable file busy"},
    {30, IoErrorKind::Deadlock, "Deadlock", "deadlock"},
    {31, IoErrorKind::CrossesDevices, "CrossesDevices", "cross-device link or rename"},
    {32, IoErrorKind::TooManyLinks, "TooManyLinks", "too many links"},
    {33, IoErrorKind::InvalidFilename, "InvalidFilename", "invalid filename"},
    {34, IoErrorKind::ArgumentListTooLong, "ArgumentListTooLong",
     "argument list too long"},
    {35, IoErrorKind::Interrupted, "Interrupted", "operation interrupted"},
    {36, IoErrorKind::Unsupported, "Unsupported", "unsupported"},
    {37, IoErrorKind::UnexpectedEof, "UnexpectedEof", "unexpected end of file"},
    {38, IoErrorKind::OutOfMemory, "OutOfMemory", "out of memory"},
    {39, IoErrorKind::Other, "Other", "other error"},
    {40, IoErrorKind::Uncategorized, "Uncategorized", "uncategorized error"},
};

TEST(IoErrorKindTest, EveryKindHasItsNumberNameAndDescription) {
  static_assert(sizeof(IoErrorKind) == 1);
  ASSERT_EQ(std::size(kind_rows), size_t{io_error_kind_count});
  for (const KindRow& row : kind_rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(static_cast<int>(row.kind), row.number);
    EXPECT_EQ(debug_name(row.kind), row.name);
    EXPECT_EQ(description(row.kind), row.description);
  }
}

// code -> kind, as the published mapping lists it.
const std::map<int32_t, IoErrorKind>& mapped_codes() {
  using K = IoErrorKind;
  static const std::map<int32_t, IoErrorKind> codes{
      {2, K::NotFound},
      {3, K::NotFound},
      {15, K::NotFound},
      {53, K::NotFound},
      {67, K::NotFound},
      {5, K::PermissionDenied},
      {10013, K::PermissionDenied},
      {10061, K::ConnectionRefused},
      {10054, K::ConnectionReset},
      {1232, K::HostUnreachable},
      {10065, K::HostUnreachable},
      {1231, K::NetworkUnreachable},
      {10051, K::NetworkUnreachable},
      {10053, K::ConnectionAborted},
      {10057, K::NotConnected},
      {10048, K::AddrInUse},
      {10049, K::AddrNotAvailable},
      {10050, K::NetworkDown},
      {109, K::BrokenPipe},
      {232, K::BrokenPipe},
      {80, K::AlreadyExists},
      {183, K::AlreadyExists},
      {10035, K::WouldBlock},
      {267, K::NotADirectory},
      {336, K::IsADirectory},
      {145, K::DirectoryNotEmpty},
      {19, K::ReadOnlyFilesystem},
      {87, K::InvalidInput},
      {10022, K::InvalidInput},
      {121, K::TimedOut},
      {258, K::TimedOut},
      {594, K::TimedOut},
      {995, K::TimedOut},
      {1053, K::TimedOut},
      {1121, K::TimedOut},
      {1460, K::TimedOut},
      {5910, K::TimedOut},
      {7012, K::TimedOut},
      {7040, K::TimedOut},
      {8014, K::TimedOut},
      {8226, K::TimedOut},
      {9705, K::TimedOut},
      {10060, K::TimedOut},
      {13805, K::TimedOut},
      {15402, K::TimedOut},
      {15403, K::TimedOut},
      {39, K::StorageFull},
      {112, K::StorageFull},
      {132, K::NotSeekable},
      {1295, K::FilesystemQuotaExceeded},
      {223, K::FileTooLarge},
      {170, K::ResourceBusy},
      {1131, K::Deadlock},
      {17, K::CrossesDevices},
      {1142, K::TooManyLinks},
      {123, K::InvalidFilename},
      {161, K::InvalidFilename},
      {206, K::InvalidFilename},
      {120, K::Unsupported},
      {8, K::OutOfMemory},
      {14, K::OutOfMemory},
  };
  return codes;
}

IoErrorKind expected_kind(int32_t code) {
  auto it = mapped_codes().find(code);
  return it == mapped_codes().end() ? IoErrorKind::Uncategorized : it->second;
}

TEST(IoErrorKindTest, MapsEveryListedCodeAndItsNeighbours) {
  std::set<int32_t> codes{INT32_MIN, INT32_MIN + 1, -1, 0, 1, 15404, INT32_MAX};
  for (const auto& [code, kind] : mapped_codes()) {
    codes.insert({code - 1, code, code + 1});
  }
  for (int32_t code : codes) {
    EXPECT_EQ(debug_name(kind_from_os_code(code)), debug_name(expected_kind(code)))
        << "code " << code;
  }
}

TEST(IoErrorKindTest, ErrorBitsAboveTheTableDoNotAliasListedCodes) {
  // A code is compared whole: a listed code with high bits added (an
  // HRESULT-style or NTSTATUS-style value) is not that code.
  for (const auto& [code, kind] : mapped_codes()) {
    EXPECT_EQ(kind_from_os_code(code | 0x10000000), IoErrorKind::Uncategorized) << code;
    EXPECT_EQ(kind_from_os_code(static_cast<int32_t>(0x80070000u | uint32_t(code))),
              IoErrorKind::Uncategorized)
        << code;
  }
}

TEST(IoErrorKindTest, KindsNoCodeMapsTo) {
  const IoErrorKind unmapped[] = {
      IoErrorKind::FilesystemLoop,
      IoErrorKind::StaleNetworkFileHandle,
      IoErrorKind::InvalidData,
      IoErrorKind::WriteZero,
      IoErrorKind::ExecutableFileBusy,
      IoErrorKind::ArgumentListTooLong,
      IoErrorKind::Interrupted,
      IoErrorKind::UnexpectedEof,
      IoErrorKind::Other,
  };
  for (int32_t code = -2; code <= 15500; ++code) {
    IoErrorKind kind = kind_from_os_code(code);
    for (IoErrorKind never : unmapped) {
      ASSERT_NE(kind, never) << "code " << code;
    }
    ASSERT_EQ(kind, expected_kind(code)) << "code " << code;
  }
}

}  // namespace
}  // namespace tavo

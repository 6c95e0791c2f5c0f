// HOSTSYS: the job directory of each server, found or assigned under the
// multi-server mutex through the work copy HOSTSYS.tmp.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/text.h"
#include "environment/env.h"
#include "environment/security_record.h"
#include "logging/log.h"
#include "multiserver/hostsys_record.h"
#include "multiserver/multiserver.h"
#include "platform/file_commit.h"
#include "platform/unique_handle.h"
#include "platform/wapi.h"
#include "tcp/tcp.h"

namespace {

constexpr char kCategory[] = "multisrv";
constexpr char kModule[] = "client\\multisrv\\multiman";
constexpr char kAssign[] = "vskMultisrvGetDirNameFromHostName";
constexpr char kFind[] = "vskMultisrvGetHostNameFromDirName";

void ApiError(DWORD error, int line, const char* format, const char* path) {
  char info[kVskPathSize + 64];
  std::snprintf(info, sizeof info, format, path);
  vskLogApiError(kVskApiWindows, kCategory, info, static_cast<std::int32_t>(error), kModule, line);
}

void Event(std::uint32_t code, const char* text, int line) { vskLogEvent(code, kCategory, text, 0, kModule, line); }

// The multi-server mutex, owned for the scope.
class MultiServerLock {
 public:
  explicit MultiServerLock(const char* function) {
    SECURITY_ATTRIBUTES attributes{};
    if (vskSetSecurity(&attributes) != 1) {
      vskLogTrace(kCategory, "vskSetSecurity Error: Func=%s", function);
      return;
    }
    mutex_.reset(vskWapiCreateMutex(&attributes, FALSE, kMultisrvMutexName, 0));
    const DWORD error = ::GetLastError();
    vskReleaseSecurity(&attributes);
    if (!mutex_) {
      vskLogTrace(kCategory, "CreateMutex Error: GetLastError=%lu, Func=%s", error, function);
      return;
    }
    const DWORD waited = ::WaitForSingleObject(mutex_.get(), INFINITE);
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    if (!held_) vskLogTrace(kCategory, "WaitForSingleObject Error: GetLastError=%lu, Func=%s", ::GetLastError(), function);
  }
  ~MultiServerLock() {
    if (held_) ::ReleaseMutex(mutex_.get());
  }
  MultiServerLock(const MultiServerLock&) = delete;
  MultiServerLock& operator=(const MultiServerLock&) = delete;
  bool Held() const { return held_; }

 private:
  bk::win::unique_handle mutex_;
  bool held_ = false;
};

enum class ReadStep { kRecord, kEnd, kPartial, kFailed };

ReadStep ReadRecord(HANDLE file, unsigned char* record, DWORD* got) {
  DWORD total = 0;
  while (total < kHostsysRecordSize) {
    DWORD n = 0;
    if (!::ReadFile(file, record + total, static_cast<DWORD>(kHostsysRecordSize - total), &n, nullptr)) {
      *got = total;
      return ReadStep::kFailed;
    }
    if (n == 0) break;
    total += n;
  }
  *got = total;
  if (total == 0) return ReadStep::kEnd;
  return total == kHostsysRecordSize ? ReadStep::kRecord : ReadStep::kPartial;
}

void ReportPartial(const char* path, DWORD got, const char* function) {
  char text[kVskPathSize + 96];
  std::snprintf(text, sizeof text, "File Size Error: Path=%s. %lu BytesRead. %d BytesToRead.", path, got,
                static_cast<int>(kHostsysRecordSize));
  Event(kVskMsgInstallError, text, __LINE__);
  vskLogTrace(kCategory, "%s Func=%s", text, function);
}

// Opens a file without sharing, retrying while another program holds it
// briefly (access denied, sharing violation), one second between attempts.
HANDLE OpenWithRetries(const char* path, DWORD access, int attempts) {
  for (int attempt = 1;; ++attempt) {
    HANDLE file = ::CreateFileA(path, access, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    const DWORD error = ::GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt >= attempts) {
      ::SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    ::Sleep(1000);
  }
}

}  // namespace

int vskMultisrvIsIPAddress(const char* text) {
  if (text == nullptr) return 0;
  bk::tcp::WinSockSession session;
  return ::inet_addr(text) != INADDR_NONE ? 1 : 0;
}

void vskMultisrvGetHostIP(const char* host, char* hostName, char* ipText) {
  if (hostName != nullptr) hostName[0] = '\0';
  if (ipText != nullptr) ipText[0] = '\0';
  if (host == nullptr || std::strcmp(host, "*") == 0 || std::strcmp(host, "?") == 0) return;
  bk::tcp::WinSockSession session;
  const bool dotted = vskTcpIsDottedAddress(host);
  if (dotted) {
    if (hostName != nullptr) {
      in_addr address;
      address.s_addr = ::inet_addr(host);
      const hostent* h = bk::tcp::GetHostByAddr(reinterpret_cast<const char*>(&address), 4, AF_INET);
      if (h != nullptr && h->h_name != nullptr) {
        if (std::strlen(h->h_name) < kMultisrvHostSize) {
          bk::CopyText(hostName, kMultisrvHostSize, h->h_name);
        } else {
          Event(kVskMsgHostError, nullptr, __LINE__);
          vskLogTrace(kCategory, "local hostname too long : gethostbyaddr");
        }
      }
    }
    if (ipText != nullptr) bk::CopyText(ipText, kMultisrvIpTextSize, host);
    return;
  }
  const hostent* h = Tcp_get(host, 0, "vskMultisrvGetHostIP");
  if (h != nullptr) {
    if (hostName != nullptr && h->h_name != nullptr) {
      if (std::strlen(h->h_name) < kMultisrvHostSize) {
        bk::CopyText(hostName, kMultisrvHostSize, h->h_name);
      } else {
        Event(kVskMsgHostError, nullptr, __LINE__);
        vskLogTrace(kCategory, "local hostname too long : gethostbyname");
      }
    }
    if (ipText != nullptr) {
      const char* text = nullptr;
      if (h->h_addrtype == AF_INET && h->h_length == 4 && h->h_addr_list != nullptr && h->h_addr_list[0] != nullptr) {
        in_addr address;
        std::memcpy(&address, h->h_addr_list[0], 4);
        text = ::inet_ntoa(address);
      }
      if (text != nullptr)
        bk::CopyText(ipText, kMultisrvIpTextSize, text);
      else
        vskLogTrace(kCategory, "inet_ntoa ERROR: HostName=%s Func=vskMultisrvGetHostIP", host);
    }
    return;
  }
  const int error = bk::tcp::LastError();
  if (::inet_addr(host) != INADDR_NONE && std::strlen(host) < 24) {
    if (ipText != nullptr) bk::CopyText(ipText, kMultisrvIpTextSize, host);
    return;
  }
  char info[kVskPathSize + 32];
  std::snprintf(info, sizeof info, "gethostbyname : HostName=%s", host);
  vskLogApiError(kVskApiWinSock, kCategory, info, error, kModule, __LINE__);
  vskLogTrace(kCategory, "gethostbyname ERROR: HostName=%s Func=vskMultisrvGetHostIP", host);
}

namespace {

enum class Scan { kFound, kEnd, kFailed };

// Reads the records from the file's position to its end and stops at the
// first usable one that `matches`. A damaged record (its directory is not
// "HOSTnnnn") is logged and passed over; `last` (may be null) gets the last
// record read and `highest` the highest directory number seen (-1: none). A
// partial record fails the scan.
template <typename Match>
Scan ScanRecords(HANDLE file, const char* path, const char* function, Match matches, HostsysRecord* found,
                 HostsysRecord* last = nullptr, int* highest = nullptr) {
  unsigned char bytes[kHostsysRecordSize];
  for (;;) {
    DWORD got = 0;
    const ReadStep step = ReadRecord(file, bytes, &got);
    if (step == ReadStep::kEnd) return Scan::kEnd;
    if (step != ReadStep::kRecord) {
      ReportPartial(path, got, function);
      return Scan::kFailed;
    }
    const HostsysRecord r = vskHostsysDecode(bytes);
    if (last != nullptr) *last = r;
    if (!r.Usable()) {
      vskLogTrace(kCategory, "HostDirectoryName is invalid: DIRECTORY=%.59s. Func=%s", r.dir, function);
      continue;
    }
    if (highest != nullptr && r.number > *highest) *highest = r.number;
    if (matches(r)) {
      *found = r;
      return Scan::kFound;
    }
  }
}

// One assignment's work: the server asked for, the work copy and what the
// name lookup gave.
struct Assignment {
  const char* host;
  const char* service;
  unsigned char kind;
  bool nameMode;
  VskPath hostsys;
  char work[kVskPathSize + 8];
  bk::win::unique_hfile file;
  char hostName[kMultisrvHostSize] = {};
  char ipText[kMultisrvIpTextSize] = {};

  // Every failure removes the work copy; HOSTSYS stays as it was.
  int Fail() {
    file.reset();
    ::DeleteFileA(work);
    return 0;
  }
};

// HOSTSYS copied over its work copy, which is then opened (or made new).
bool OpenWorkCopy(Assignment& a) {
  vskEnvGetHostsysPath(a.hostsys);
  std::snprintf(a.work, sizeof a.work, "%s.tmp", a.hostsys);
  if (::GetFileAttributesA(a.hostsys) != INVALID_FILE_ATTRIBUTES && !::CopyFileA(a.hostsys, a.work, FALSE)) {
    const DWORD error = ::GetLastError();
    ApiError(error, __LINE__, "CopyFile: Path=%s", a.work);
    vskLogTrace(kCategory, "CopyFile Error: GetLastError=%lu, Path=%s,%s Func=%s", error, a.hostsys, a.work, kAssign);
    return false;
  }
  a.file.reset(OpenWithRetries(a.work, GENERIC_READ | GENERIC_WRITE, 11));
  if (!a.file && ::GetLastError() == ERROR_FILE_NOT_FOUND)
    a.file.reset(::CreateFileA(a.work, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
  if (!a.file) {
    const DWORD error = ::GetLastError();
    ApiError(error, __LINE__, "CreateFile: Path=%s", a.work);
    vskLogTrace(kCategory, "CreateFile Error: GetLastError=%lu, Path=%s, Func=%s", error, a.work, kAssign);
    return false;
  }
  return true;
}

bool WorkCopySize(Assignment& a, std::int64_t* size) {
  LARGE_INTEGER got;
  if (!::GetFileSizeEx(a.file.get(), &got)) {
    const DWORD error = ::GetLastError();
    ApiError(error, __LINE__, "GetFileSize: Path=%s", a.work);
    vskLogTrace(kCategory, "GetFileSize Error: GetLastError=%lu, Path=%s, Func=%s", error, a.work, kAssign);
    return false;
  }
  *size = got.QuadPart;
  return true;
}

// Address mode with a dotted host: the record holding exactly that address,
// without a name lookup. The file is moved back to its start afterwards.
Scan FindByAddress(Assignment& a, HostsysRecord* found) {
  const Scan scan = ScanRecords(
      a.file.get(), a.work, kAssign,
      [&](const HostsysRecord& r) { return r.kind == a.kind && bk::EqualsIgnoreCase(r.host, a.host); }, found);
  if (scan != Scan::kEnd) return scan;
  LARGE_INTEGER start{};
  if (!::SetFilePointerEx(a.file.get(), start, nullptr, FILE_BEGIN)) {
    ApiError(::GetLastError(), __LINE__, "SetFilePointer Error: Path=%s", a.work);
    vskLogTrace(kCategory, "SetFilePointer Error: Path=%s Func=%s", a.work, kAssign);
    return Scan::kFailed;
  }
  return Scan::kEnd;
}

// The record of the resolved address or name. At the end, *next is the
// number a new record gets (-1 when it cannot be given).
Scan FindByResolvedHost(Assignment& a, HostsysRecord* found, int* next) {
  vskMultisrvGetHostIP(a.host, a.hostName, a.ipText);
  HostsysRecord last{};
  int highest = -1;
  const Scan scan = ScanRecords(
      a.file.get(), a.work, kAssign,
      [&](const HostsysRecord& r) {
        return r.kind == a.kind && ((a.ipText[0] != '\0' && bk::EqualsIgnoreCase(r.host, a.ipText)) ||
                                    (a.hostName[0] != '\0' && bk::EqualsIgnoreCase(r.host, a.hostName)));
      },
      found, &last, &highest);
  // Numbers run upward in file order; the highest one also keeps a file out
  // of order from handing out a number twice.
  // A damaged last record (logged by the scan) gives none.
  *next = last.Usable() ? highest + 1 : -1;
  return scan;
}

// The host text of a new record, or null (logged) when there is none.
const char* NewHostText(const Assignment& a) {
  unsigned char ipCode = 0;
  if (vskEnvIsHostsysSysentKeyIP(&ipCode)) {
    if (a.ipText[0] != '\0') return a.ipText;
    vskLogTrace(kCategory, "HOSTSYS File Cannot Write : HostsysSysentKeyIP=0x%x, Because Cannnot Get IP Address", ipCode);
    return nullptr;
  }
  if (a.nameMode && a.hostName[0] != '\0') return a.hostName;
  if (a.ipText[0] != '\0') return a.ipText;
  vskLogTrace(kCategory, "CANNOT GET HOST_INFO: HOSTorIP=%s Func=%s", a.host, kAssign);
  return nullptr;
}

// Appends the record to the work copy and puts the work copy in place of
// HOSTSYS in one step.
bool AppendAndCommit(Assignment& a, const char* text, const char* newDir) {
  unsigned char fresh[kHostsysRecordSize] = {};
  std::memcpy(fresh + kHostsysHost, text, bk::BoundedLength(text, kHostsysHostWidth - 1));
  fresh[kHostsysKind] = a.kind;
  std::memcpy(fresh + kHostsysDir, newDir, std::strlen(newDir));
  LARGE_INTEGER end{};
  DWORD written = 0;
  if (!::SetFilePointerEx(a.file.get(), end, nullptr, FILE_END) ||
      !::WriteFile(a.file.get(), fresh, sizeof fresh, &written, nullptr) || written != sizeof fresh) {
    const DWORD error = written != 0 && written != sizeof fresh ? ERROR_DISK_FULL : ::GetLastError();
    ApiError(error, __LINE__, "WriteFile: Path=%s", a.work);
    vskLogTrace(kCategory, "WriteFile Error: GetLastError=%lu, Path=%s, Func=%s", error, a.work, kAssign);
    return false;
  }
  a.file.reset();
  // A directory number that did not reach HOSTSYS could be handed to another
  // server next time, so a failed replacement fails the assignment.
  bk::win::CommitFailure failure;
  if (!bk::win::CommitWorkCopy(a.work, a.hostsys, &failure)) {
    ApiError(failure.error, __LINE__, "MoveFileEx: Path=%s", a.hostsys);
    vskLogTrace(kCategory, "HOSTSYS File Cannot Replace: GetLastError=%lu, Path=%s,%s Func=%s", failure.error, a.work,
                a.hostsys, kAssign);
    return false;
  }
  return true;
}

}  // namespace

int vskMultisrvGetDirNameFromHostName(const char* host, const char* service, char* dirName) {
  if (host == nullptr || service == nullptr || dirName == nullptr) return 0;
  const int key = vskEnvGetSysentKey();
  MultiServerLock lock(kAssign);
  if (!lock.Held()) return 0;
  Assignment a;
  a.host = host;
  a.service = service;
  a.kind = bk::EqualsIgnoreCase(service, "orlavs") ? kHostsysKindOrlavs : kHostsysKindOther;
  a.nameMode = key == 1 || key == 3;
  if (!OpenWorkCopy(a)) return a.Fail();
  std::int64_t size = 0;
  if (!WorkCopySize(a, &size)) return a.Fail();

  int number = 0;
  if (size == 0) {
    vskMultisrvGetHostIP(host, a.nameMode ? a.hostName : nullptr, a.ipText);
  } else {
    HostsysRecord found{};
    Scan scan = Scan::kEnd;
    if (!a.nameMode && vskMultisrvIsIPAddress(host)) scan = FindByAddress(a, &found);
    if (scan == Scan::kEnd) scan = FindByResolvedHost(a, &found, &number);
    if (scan == Scan::kFailed) return a.Fail();
    if (scan == Scan::kFound) {
      bk::CopyText(dirName, kMultisrvDirNameSize, found.dir);
      a.Fail();  // nothing changed: HOSTSYS stays as it was
      return 1;
    }
    if (number < 0) return a.Fail();
    if (number > kHostsysMaxNumber) {
      Event(kVskMsgInstallError, "HostManageFile is overflow", __LINE__);
      vskLogTrace(kCategory, "HostDirectoryNumber is more than 9999: Number=%d. Func=%s", number, kAssign);
      return a.Fail();
    }
  }
  char newDir[16];
  std::snprintf(newDir, sizeof newDir, "HOST%.4d", number);
  const char* text = NewHostText(a);
  if (text == nullptr) return a.Fail();
  vskLogTrace(kCategory, "HOSTSYS File Write : HOSTorIP=%s, SERVICE=%s, DIRECTORY=%s Func=%s", text, service, newDir,
              kAssign);
  if (!AppendAndCommit(a, text, newDir)) return a.Fail();
  bk::CopyText(dirName, kMultisrvDirNameSize, newDir);
  return 1;
}

int vskMultisrvGetHostNameFromDirName(const char* dirName, char* host, char* service) {
  if (dirName == nullptr) return 0;
  MultiServerLock lock(kFind);
  if (!lock.Held()) return 0;
  VskPath hostsys;
  vskEnvGetHostsysPath(hostsys);
  bk::win::unique_hfile file(OpenWithRetries(hostsys, GENERIC_READ, 11));
  if (!file) {
    const DWORD error = ::GetLastError();
    ApiError(error, __LINE__, "CreateFile: Path=%s", hostsys);
    vskLogTrace(kCategory, "CreateFile Error: GetLastError=%lu, Path=%s, Func=%s", error, hostsys, kFind);
    return 0;
  }
  HostsysRecord found{};
  const Scan scan = ScanRecords(
      file.get(), hostsys, kFind, [&](const HostsysRecord& r) { return bk::EqualsIgnoreCase(r.dir, dirName); },
      &found);
  if (scan == Scan::kFailed) return 0;
  if (scan == Scan::kFound) {
    if (host != nullptr) bk::CopyText(host, kMultisrvHostSize, found.host);
    if (service != nullptr)
      bk::CopyText(service, kMultisrvServiceSize, found.kind == kHostsysKindOther ? "orlavsw" : "orlavs");
    return 1;
  }
  char text[128];
  std::snprintf(text, sizeof text, "This HostID has not been recorded: HostID=%.64s.", dirName);
  Event(kVskMsgInstallError, text, __LINE__);
  vskLogTrace(kCategory, "%s Func=%s", text, kFind);
  return 0;
}

// HOSTSYS: the job directory of each server, found or assigned under the
// multi-server mutex through the work copy HOSTSYS.tmp.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/text.h"
#include "environment/env.h"
#include "environment/security_record.h"
#include "logging/log.h"
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

// One record's fields, each read only inside its field.
struct HostRecord {
  char host[kHostsysHostWidth + 1];
  unsigned char kind;
  char dir[kHostsysDirWidth + 1];
};
HostRecord DecodeRecord(const unsigned char* r) {
  HostRecord out;
  const std::size_t hostLength = bk::BoundedLength(reinterpret_cast<const char*>(r + kHostsysHost), kHostsysHostWidth);
  std::memcpy(out.host, r + kHostsysHost, hostLength);
  out.host[hostLength] = '\0';
  out.kind = r[kHostsysKind];
  const std::size_t dirLength = bk::BoundedLength(reinterpret_cast<const char*>(r + kHostsysDir), kHostsysDirWidth);
  std::memcpy(out.dir, r + kHostsysDir, dirLength);
  out.dir[dirLength] = '\0';
  return out;
}

// The number of "HOSTnnnn"; -1 for anything else.
int DirNumber(const char* dir) {
  if (std::strlen(dir) != 8 || bk::CompareIgnoreCaseN(dir, "HOST", 4) != 0) return -1;
  int n = 0;
  for (int i = 4; i < 8; ++i) {
    if (dir[i] < '0' || dir[i] > '9') return -1;
    n = n * 10 + (dir[i] - '0');
  }
  return n;
}

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

int vskMultisrvGetDirNameFromHostName(const char* host, const char* service, char* dirName) {
  if (host == nullptr || service == nullptr || dirName == nullptr) return 0;
  const int key = vskEnvGetSysentKey();
  const bool nameMode = key == 1 || key == 3;

  MultiServerLock lock(kAssign);
  if (!lock.Held()) return 0;
  const unsigned char kind = bk::EqualsIgnoreCase(service, "orlavs") ? kHostsysKindOrlavs : kHostsysKindOther;

  VskPath hostsys;
  vskEnvGetHostsysPath(hostsys);
  char work[kVskPathSize + 8];
  std::snprintf(work, sizeof work, "%s.tmp", hostsys);

  if (::GetFileAttributesA(hostsys) != INVALID_FILE_ATTRIBUTES && !::CopyFileA(hostsys, work, FALSE)) {
    const DWORD error = ::GetLastError();
    ApiError(error, __LINE__, "CopyFile: Path=%s", work);
    vskLogTrace(kCategory, "CopyFile Error: GetLastError=%lu, Path=%s,%s Func=%s", error, hostsys, work, kAssign);
    return 0;
  }
  bk::win::unique_hfile file(OpenWithRetries(work, GENERIC_READ | GENERIC_WRITE, 11));
  if (!file && ::GetLastError() == ERROR_FILE_NOT_FOUND)
    file.reset(::CreateFileA(work, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  // Every failure from here on removes the work copy; HOSTSYS stays as it was.
  auto fail = [&]() {
    file.reset();
    ::DeleteFileA(work);
    return 0;
  };
  if (!file) {
    const DWORD error = ::GetLastError();
    ApiError(error, __LINE__, "CreateFile: Path=%s", work);
    vskLogTrace(kCategory, "CreateFile Error: GetLastError=%lu, Path=%s, Func=%s", error, work, kAssign);
    return fail();
  }
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(file.get(), &size)) {
    const DWORD error = ::GetLastError();
    ApiError(error, __LINE__, "GetFileSize: Path=%s", work);
    vskLogTrace(kCategory, "GetFileSize Error: GetLastError=%lu, Path=%s, Func=%s", error, work, kAssign);
    return fail();
  }

  char hostName[kMultisrvHostSize] = {};
  char ipText[kMultisrvIpTextSize] = {};
  int number = 0;
  unsigned char record[kHostsysRecordSize];
  DWORD got = 0;
  if (size.QuadPart == 0) {
    vskMultisrvGetHostIP(host, nameMode ? hostName : nullptr, ipText);
  } else {
    if (!nameMode && vskMultisrvIsIPAddress(host)) {
      for (;;) {
        const ReadStep step = ReadRecord(file.get(), record, &got);
        if (step == ReadStep::kEnd) break;
        if (step != ReadStep::kRecord) {
          ReportPartial(work, got, kAssign);
          return fail();
        }
        const HostRecord r = DecodeRecord(record);
        if (r.kind == kind && bk::EqualsIgnoreCase(r.host, host)) {
          bk::CopyText(dirName, kMultisrvDirNameSize, r.dir);
          fail();  // nothing changed: the work copy is HOSTSYS as it is
          return 1;
        }
      }
      LARGE_INTEGER start{};
      if (!::SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) {
        ApiError(::GetLastError(), __LINE__, "SetFilePointer Error: Path=%s", work);
        vskLogTrace(kCategory, "SetFilePointer Error: Path=%s Func=%s", work, kAssign);
        return fail();
      }
    }
    vskMultisrvGetHostIP(host, hostName, ipText);
    char last[kHostsysDirWidth + 1] = {};
    for (;;) {
      const ReadStep step = ReadRecord(file.get(), record, &got);
      if (step == ReadStep::kEnd) break;
      if (step != ReadStep::kRecord) {
        ReportPartial(work, got, kAssign);
        return fail();
      }
      const HostRecord r = DecodeRecord(record);
      if (r.kind == kind && ((ipText[0] != '\0' && bk::EqualsIgnoreCase(r.host, ipText)) ||
                             (hostName[0] != '\0' && bk::EqualsIgnoreCase(r.host, hostName)))) {
        bk::CopyText(dirName, kMultisrvDirNameSize, r.dir);
        fail();  // HOSTSYS stays as it was
        return 1;
      }
      bk::CopyText(last, sizeof last, r.dir);
    }
    const int lastNumber = DirNumber(last);
    if (lastNumber < 0) {
      vskLogTrace(kCategory, "HostDirectoryName is invalid: DIRECTORY=%s. Func=%s", last, kAssign);
      return fail();
    }
    number = lastNumber + 1;
    if (number > kHostsysMaxNumber) {
      Event(kVskMsgInstallError, "HostManageFile is overflow", __LINE__);
      vskLogTrace(kCategory, "HostDirectoryNumber is more than 9999: Number=%d. Func=%s", number, kAssign);
      return fail();
    }
  }
  char newDir[16];
  std::snprintf(newDir, sizeof newDir, "HOST%.4d", number);

  unsigned char ipCode = 0;
  const char* text;
  if (vskEnvIsHostsysSysentKeyIP(&ipCode)) {
    if (ipText[0] == '\0') {
      vskLogTrace(kCategory, "HOSTSYS File Cannot Write : HostsysSysentKeyIP=0x%x, Because Cannnot Get IP Address", ipCode);
      return fail();
    }
    text = ipText;
  } else if (!nameMode || hostName[0] == '\0') {
    if (ipText[0] == '\0') {
      vskLogTrace(kCategory, "CANNOT GET HOST_INFO: HOSTorIP=%s Func=%s", host, kAssign);
      return fail();
    }
    text = ipText;
  } else {
    text = hostName;
  }
  vskLogTrace(kCategory, "HOSTSYS File Write : HOSTorIP=%s, SERVICE=%s, DIRECTORY=%s Func=%s", text, service, newDir, kAssign);

  unsigned char fresh[kHostsysRecordSize] = {};
  std::memcpy(fresh + kHostsysHost, text, bk::BoundedLength(text, kHostsysHostWidth - 1));
  fresh[kHostsysKind] = kind;
  std::memcpy(fresh + kHostsysDir, newDir, std::strlen(newDir));
  LARGE_INTEGER end{};
  DWORD written = 0;
  if (!::SetFilePointerEx(file.get(), end, nullptr, FILE_END) ||
      !::WriteFile(file.get(), fresh, sizeof fresh, &written, nullptr) || written != sizeof fresh) {
    const DWORD error = written != 0 && written != sizeof fresh ? ERROR_DISK_FULL : ::GetLastError();
    ApiError(error, __LINE__, "WriteFile: Path=%s", work);
    vskLogTrace(kCategory, "WriteFile Error: GetLastError=%lu, Path=%s, Func=%s", error, work, kAssign);
    return fail();
  }
  file.reset();
  // HOSTSYS is replaced in one step. A directory number that did not reach
  // HOSTSYS could be handed to another server next time, so a failed
  // replacement fails the assignment.
  bk::win::CommitFailure failure;
  if (!bk::win::CommitWorkCopy(work, hostsys, &failure)) {
    ApiError(failure.error, __LINE__, "MoveFileEx: Path=%s", hostsys);
    vskLogTrace(kCategory, "HOSTSYS File Cannot Replace: GetLastError=%lu, Path=%s,%s Func=%s", failure.error, work, hostsys, kAssign);
    return fail();
  }
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
  unsigned char record[kHostsysRecordSize];
  DWORD got = 0;
  for (;;) {
    const ReadStep step = ReadRecord(file.get(), record, &got);
    if (step == ReadStep::kEnd) break;
    if (step != ReadStep::kRecord) {
      ReportPartial(hostsys, got, kFind);
      return 0;
    }
    const HostRecord r = DecodeRecord(record);
    if (bk::EqualsIgnoreCase(r.dir, dirName)) {
      if (host != nullptr) bk::CopyText(host, kMultisrvHostSize, r.host);
      if (service != nullptr) bk::CopyText(service, kMultisrvServiceSize, r.kind == kHostsysKindOther ? "orlavsw" : "orlavs");
      return 1;
    }
  }
  char text[128];
  std::snprintf(text, sizeof text, "This HostID has not been recorded: HostID=%.64s.", dirName);
  Event(kVskMsgInstallError, text, __LINE__);
  vskLogTrace(kCategory, "%s Func=%s", text, kFind);
  return 0;
}

#pragma once
// What the coded-message tests share: an install with the message library
// stand-ins, event-log calls that record instead of reporting, and access to
// the event-source registration key.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "environment/env.h"
#include "logging/event_log_calls.h"
#include "support/standins.h"
#include "support/win_fixtures.h"

namespace bk::test {

inline constexpr char kSourceKeys[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

struct ReportedEvent {
  std::string source;
  WORD type;
  WORD category;
  DWORD id;
  std::vector<std::string> strings;
};

struct EventLogRecorder {
  std::vector<std::string> registered;  // source names, in order
  std::vector<ReportedEvent> reported;
  int deregistered = 0;
};

inline EventLogRecorder g_eventLog;

inline HANDLE WINAPI RecordRegister(LPCSTR, LPCSTR source) {
  g_eventLog.registered.push_back(source);
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(g_eventLog.registered.size()));
}

inline BOOL WINAPI RecordReport(HANDLE source, WORD type, WORD category, DWORD id, PSID, WORD count, DWORD,
                                LPCSTR* strings, LPVOID) {
  ReportedEvent event{g_eventLog.registered.at(reinterpret_cast<std::uintptr_t>(source) - 1), type, category, id,
                      {}};
  for (WORD i = 0; i < count; ++i) event.strings.push_back(strings[i]);
  g_eventLog.reported.push_back(event);
  return TRUE;
}

inline BOOL WINAPI RecordDeregister(HANDLE) {
  ++g_eventLog.deregistered;
  return TRUE;
}

inline const VskEventLogCalls kRecordingCalls = {RecordRegister, RecordReport, RecordDeregister};

inline void DeleteEventSources() {
  for (const char* name : {"QVClient", "QVSubManager"})
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(kSourceKeys) + name).c_str());
}

// Values of a source's registration key; empty text / 0 when absent.
struct SourceKey {
  bool exists = false;
  std::string keyClass;
  DWORD fileType = 0;
  std::string messageFile;
  DWORD typesSupported = 0;
};

inline SourceKey ReadSourceKey(const char* name) {
  SourceKey out;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kSourceKeys) + name).c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return out;
  out.exists = true;
  char keyClass[64] = {};
  DWORD classSize = sizeof keyClass;
  ::RegQueryInfoKeyA(key, keyClass, &classSize, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr);
  out.keyClass = keyClass;
  char file[512] = {};
  DWORD size = sizeof file - 1;
  if (::RegQueryValueExA(key, "EventMessageFile", nullptr, &out.fileType, reinterpret_cast<BYTE*>(file), &size) ==
      ERROR_SUCCESS)
    out.messageFile = file;
  size = sizeof out.typesSupported;
  ::RegQueryValueExA(key, "TypesSupported", nullptr, nullptr, reinterpret_cast<BYTE*>(&out.typesSupported), &size);
  ::RegCloseKey(key);
  return out;
}

inline void WriteSourceKey(const char* name, const std::string& messageFile, DWORD typesSupported) {
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kSourceKeys) + name).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ::RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(messageFile.c_str()),
                   static_cast<DWORD>(messageFile.size() + 1));
  ::RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&typesSupported),
                   sizeof typesSupported);
  ::RegCloseKey(key);
}

// An install whose BIN folder holds both message libraries, with the event
// log recorded instead of reported.
class CodedMessages : public ::testing::Test {
 protected:
  void SetUp() override {
    g_eventLog = EventLogRecorder{};
    DeleteEventSources();
    messageLibrary = InstallStandIn(install, "vscltmsg.dll");
    InstallStandIn(install, "VSUSRLOG.DLL");
    vskLogSetEventLogCalls(&kRecordingCalls);
    Reload();
  }
  void TearDown() override {
    vskLogSetEventLogCalls(nullptr);
    vskEnvRelease();
    DeleteEventSources();
  }
  void Reload() {
    vskEnvRelease();
    vskEnvLoad();
  }

  ClientRegistry registry;
  ClientInstall install{registry};
  std::string messageLibrary;
};

// The text of a record after `header` bytes, without its fill and line end.
inline std::string RecordText(const std::string& record, std::size_t header) {
  if (record.size() < header + 2) return std::string();
  std::string text = record.substr(header, record.size() - header - 2);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace bk::test

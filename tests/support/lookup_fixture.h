#pragma once
// A client made by hand for the lookup tests: the registry key pointing to a
// temporary install path (work directory install\WORK, database directory
// install\MASTER\DB), CLIENT.LOG records long enough for whole paths, and
// the coded messages the library sends.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "environment/env.h"
#include "logging/event_observer.h"
#include "multiserver/multiserver.h"
#include "support/log_files.h"
#include "support/win_fixtures.h"

namespace bk::test {

// One 320-byte HOSTSYS record.
inline std::string HostRecord(const std::string& host, unsigned char kind, const std::string& dir) {
  std::string r(kHostsysRecordSize, '\0');
  r.replace(kHostsysHost, host.size(), host);
  r[kHostsysKind] = static_cast<char>(kind);
  r.replace(kHostsysDir, dir.size(), dir);
  return r;
}

// One 944-byte C0000000 record: key, version, generation and archive name.
inline std::string RcfRecord(const std::string& name, const std::string& version, const std::string& generation,
                             const std::string& archive) {
  std::string r(944, '\x01');
  r.replace(171, 56, std::string(56, '\0'));
  r.replace(171, name.size(), name);
  r.replace(215, version.size(), version);
  r.replace(223, generation.size(), generation);
  r.replace(320, 8, std::string(8, '\0'));
  r.replace(320, archive.size(), archive);
  return r;
}

// A C0.ctr image: the host and the service.
inline std::string CtrRecord(const std::string& host, const std::string& service) {
  std::string r(276, '\0');
  r.replace(0, host.size(), host);
  r.replace(260, service.size(), service);
  return r;
}

struct LookupEvent {
  std::uint32_t code;
  std::string category, text;
};
inline std::vector<LookupEvent>& LookupEvents() {
  static std::vector<LookupEvent> events;
  return events;
}
inline void ObserveLookupEvent(std::uint32_t code, const char* category, const char* text, std::int32_t,
                               const char*, std::int32_t) {
  LookupEvents().push_back({code, category ? category : "", text ? text : ""});
}

inline constexpr std::size_t kLookupLogRecord = 640;

class LookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry.Set("FUNCLOGSize", std::to_string(kLookupLogRecord));
    registry.Set("CltWorkPath", workDir());
    MakeDir(workDir());
    MakeDir(install / "MASTER");
    MakeDir(dbDir());
    LookupEvents().clear();
    vskLogSetEventObserver(ObserveLookupEvent);
    vskEnvLoad();
  }
  void TearDown() override {
    vskLogSetEventObserver(nullptr);
    vskEnvRelease();
  }
  // Sets a value and reloads the cache, as the next exported call would.
  void Set(const std::string& name, const std::string& value) {
    registry.Set(name, value);
    vskEnvLoad();
  }

  std::string workDir() const { return install / "WORK"; }
  std::string dbDir() const { return install / "MASTER\\DB"; }

  std::vector<std::string> Lines() const {
    return SelfManagedMessages(install.Log("CLIENT.LOG"), kLookupLogRecord);
  }
  bool Logged(const std::string& text) const {
    for (const std::string& line : Lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  std::size_t LoggedCount(const std::string& text) const {
    std::size_t n = 0;
    for (const std::string& line : Lines())
      if (line.find(text) != std::string::npos) ++n;
    return n;
  }
  bool Sent(const std::string& text) const {
    for (const LookupEvent& e : LookupEvents())
      if (e.text.find(text) != std::string::npos) return true;
    return false;
  }

  ClientRegistry registry;
  ClientInstall install{registry};
};

}  // namespace bk::test

#pragma once
// Test helpers for the Windows tests: the client's registry key, temporary
// folders and small file utilities.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bk::test {

// Empties the client's registry key on construction and deletes it at the end.
class ClientRegistry {
 public:
  ClientRegistry();
  ~ClientRegistry();
  ClientRegistry(const ClientRegistry&) = delete;
  ClientRegistry& operator=(const ClientRegistry&) = delete;

  void Set(const std::string& name, const std::string& value);
  void SetRaw(const std::string& name, DWORD type, const std::vector<unsigned char>& data);
  void Remove(const std::string& name);
};

// A fresh folder under the temporary directory, removed with its tree at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

// A private ring state for the log manager stand-in, in use while the owner
// lives (the stand-in reads VSCLTMNG_STATE and VSCLTMNG_RECORDS on each call).
class LogManagerState {
 public:
  explicit LogManagerState(const char* records = nullptr);
  ~LogManagerState();
  LogManagerState(const LogManagerState&) = delete;
  LogManagerState& operator=(const LogManagerState&) = delete;

 private:
  TempDir dir_;
};

// A temporary install path: PathName points to it and its LOG folder exists.
class ClientInstall {
 public:
  explicit ClientInstall(ClientRegistry& registry);
  const std::string& path() const { return dir_.path(); }
  std::string Log(const std::string& name) const { return dir_ / ("LOG\\" + name); }
  std::string operator/(const std::string& name) const { return dir_ / name; }

 private:
  TempDir dir_;
};

bool Exists(const std::string& path);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
void RemoveTree(const std::string& path);
void MakeDir(const std::string& path);

}  // namespace bk::test

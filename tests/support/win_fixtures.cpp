#include "support/win_fixtures.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>

#include "environment/env.h"

namespace bk::test {

namespace {
void DeleteClientKey() { ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kVskRegistryKey); }

HKEY OpenClientKey() {
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kVskRegistryKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
    throw std::runtime_error("cannot create the client registry key");
  return key;
}
}  // namespace

ClientRegistry::ClientRegistry() {
  vskEnvRelease();
  DeleteClientKey();
}

ClientRegistry::~ClientRegistry() {
  vskEnvRelease();
  DeleteClientKey();
}

void ClientRegistry::Set(const std::string& name, const std::string& value) {
  SetRaw(name, REG_SZ, std::vector<unsigned char>(value.c_str(), value.c_str() + value.size() + 1));
}

void ClientRegistry::SetRaw(const std::string& name, DWORD type, const std::vector<unsigned char>& data) {
  HKEY key = OpenClientKey();
  ::RegSetValueExA(key, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
  ::RegCloseKey(key);
  vskEnvRelease();
}

void ClientRegistry::Remove(const std::string& name) {
  HKEY key = OpenClientKey();
  ::RegDeleteValueA(key, name.c_str());
  ::RegCloseKey(key);
  vskEnvRelease();
}

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  char base[MAX_PATH + 1];
  ::GetTempPathA(MAX_PATH, base);
  char name[MAX_PATH + 64];
  std::snprintf(name, sizeof name, "%sbkt_%lu_%u", base, ::GetCurrentProcessId(), counter++);
  path_ = name;
  RemoveTree(path_);
  MakeDir(path_);
}

TempDir::~TempDir() { RemoveTree(path_); }

LogManagerState::LogManagerState(const char* records) {
  ::SetEnvironmentVariableA("VSCLTMNG_STATE", (dir_ / "ring.state").c_str());
  ::SetEnvironmentVariableA("VSCLTMNG_RECORDS", records);
}

LogManagerState::~LogManagerState() {
  ::SetEnvironmentVariableA("VSCLTMNG_STATE", nullptr);
  ::SetEnvironmentVariableA("VSCLTMNG_RECORDS", nullptr);
}

ClientInstall::ClientInstall(ClientRegistry& registry) {
  registry.Set("PathName", dir_.path());
  MakeDir(dir_ / "LOG");
}

bool Exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadFile(const std::string& path) {
  std::string data;
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return data;
  char buffer[65536];
  DWORD read = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) data.append(buffer, read);
  ::CloseHandle(file);
  return data;
}

void WriteFile(const std::string& path, const std::string& data) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write " + path);
  DWORD written = 0;
  ::WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  ::CloseHandle(file);
}

void MakeDir(const std::string& path) { ::CreateDirectoryA(path.c_str(), nullptr); }

void RemoveTree(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileA(path.c_str());
    return;
  }
  WIN32_FIND_DATAA found;
  HANDLE find = ::FindFirstFileA((path + "\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name != "." && name != "..") RemoveTree(path + "\\" + name);
    } while (::FindNextFileA(find, &found));
    ::FindClose(find);
  }
  ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::RemoveDirectoryA(path.c_str());
}

}  // namespace bk::test

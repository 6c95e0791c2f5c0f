#pragma once
// The system folder as each kind of program sees it. On 64-bit Windows a
// 32-bit program that names C:\windows\system32 reaches SysWOW64 (file-system
// redirection); a 64-bit program reaches the system folder itself. Tests make
// a folder of one name in both, each with files of its own, to tell which one
// a piece of code reached.
#include <windows.h>

#include <string>

namespace bk::test {

// File-system redirection off for this thread while the owner lives. In a
// 64-bit process there is nothing to switch and nothing is redirected.
class NativeSystemView {
 public:
  NativeSystemView();
  ~NativeSystemView();
  NativeSystemView(const NativeSystemView&) = delete;
  NativeSystemView& operator=(const NativeSystemView&) = delete;

 private:
  PVOID old_ = nullptr;
  BOOL off_;
};

// A folder of one name (unique to the process) in the system folder and in
// SysWOW64, made empty and removed with their trees at the end. A prefix
// without 32-bit support has no SysWOW64: it is made for the test then, and
// removed again.
class SystemFolderPair {
 public:
  explicit SystemFolderPair(const std::string& name);
  ~SystemFolderPair();
  SystemFolderPair(const SystemFolderPair&) = delete;
  SystemFolderPair& operator=(const SystemFolderPair&) = delete;

  // C:\windows\system32\<name>, as a program names it. What this reaches in
  // the system folder itself is read and written under NativeSystemView.
  const std::string& path() const { return path_; }
  // The folder of the same name in SysWOW64, by its own path (never redirected).
  const std::string& wow64() const { return wow64_; }

 private:
  std::string path_, wow64_, wow64Root_;
  bool madeWow64Root_ = false;
};

}  // namespace bk::test

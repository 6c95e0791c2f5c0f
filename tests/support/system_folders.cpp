#include "support/system_folders.h"

#include "support/win_fixtures.h"

namespace bk::test {

namespace {

std::string WindowsFolder() {
  char path[MAX_PATH + 1] = {};
  ::GetWindowsDirectoryA(path, MAX_PATH);
  return path;
}

}  // namespace

NativeSystemView::NativeSystemView() : off_(::Wow64DisableWow64FsRedirection(&old_)) {}

NativeSystemView::~NativeSystemView() {
  if (off_) ::Wow64RevertWow64FsRedirection(old_);
}

SystemFolderPair::SystemFolderPair(const std::string& name)
    : wow64Root_(WindowsFolder() + "\\SysWOW64") {
  const std::string leaf = "\\" + name + "_" + std::to_string(::GetCurrentProcessId());
  path_ = WindowsFolder() + "\\system32" + leaf;
  wow64_ = wow64Root_ + leaf;
  NativeSystemView native;
  madeWow64Root_ = !Exists(wow64Root_) && ::CreateDirectoryA(wow64Root_.c_str(), nullptr);
  for (const std::string& folder : {path_, wow64_}) {
    RemoveTree(folder);
    MakeDir(folder);
  }
}

SystemFolderPair::~SystemFolderPair() {
  NativeSystemView native;
  RemoveTree(path_);
  RemoveTree(wow64_);
  if (madeWow64Root_) ::RemoveDirectoryA(wow64Root_.c_str());
}

}  // namespace bk::test

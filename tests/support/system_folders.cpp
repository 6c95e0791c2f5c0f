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
    : path_(WindowsFolder() + "\\system32\\" + name + "_" + std::to_string(::GetCurrentProcessId())),
      wow64_(WindowsFolder() + "\\SysWOW64\\" + name + "_" + std::to_string(::GetCurrentProcessId())) {
  NativeSystemView native;
  for (const std::string& folder : {path_, wow64_}) {
    RemoveTree(folder);
    MakeDir(folder);
  }
}

SystemFolderPair::~SystemFolderPair() {
  NativeSystemView native;
  RemoveTree(path_);
  RemoveTree(wow64_);
}

}  // namespace bk::test

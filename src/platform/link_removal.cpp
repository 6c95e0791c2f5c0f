#include "platform/link_removal.h"

#include "platform/unique_handle.h"

namespace bk::win {

bool RemoveLink(const wchar_t* path, DWORD* error) {
  DWORD attributes = 0;
  {
    unique_hfile link(::CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                    nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!link || !::GetFileInformationByHandle(link.get(), &info)) {
      *error = ::GetLastError();
      return false;
    }
    attributes = info.dwFileAttributes;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    *error = ERROR_NOT_A_REPARSE_POINT;
    return false;
  }
  // A directory link is removed as a directory, a file link as a file; either
  // call takes the link and leaves its target.
  const BOOL removed =
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ::RemoveDirectoryW(path) : ::DeleteFileW(path);
  if (!removed) *error = ::GetLastError();
  return removed != FALSE;
}

}  // namespace bk::win

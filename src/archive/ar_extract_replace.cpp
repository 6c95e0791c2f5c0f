// Opening an entry's file for writing (Windows): created, or an existing
// file written over in place (a read-only one after its flag is taken off),
// and only when something else is in the way the replace steps (delete,
// read-only reset, retries) of the caller.
#include "archive/ar_extract_internal.h"

namespace bk::ar::ex {

namespace {

// What an open of an existing name found there.
struct FoundFile {
  DWORD attributes = 0;
  DWORD links = 0;
  std::uint64_t size = 0;
};

// Asked on the open handle; XP has only the call that also reads the
// volume's serial number.
bool QueryFound(HANDLE file, FoundFile* found) {
  if (QueryInfoCall query = HandleQueryCall()) {
    StandardInfo standard{};
    AttributeTagInfo tag{};
    if (!query(file, kFileStandardInfo, &standard, sizeof standard) ||
        !query(file, kFileAttributeTagInfo, &tag, sizeof tag) || standard.endOfFile.QuadPart < 0)
      return false;
    found->attributes = tag.fileAttributes;
    found->links = standard.numberOfLinks;
    found->size = static_cast<std::uint64_t>(standard.endOfFile.QuadPart);
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file, &info)) return false;
  found->attributes = info.dwFileAttributes;
  found->links = info.nNumberOfLinks;
  found->size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  return true;
}

// A read-only file refuses an open for writing. Its read-only flag is taken
// off on a handle opened for its attributes only, so that it can be written
// over in place like any other file (its attributes are set anew at the end,
// as after the specified read-only reset, delete and create). False when it
// is not a plain read-only file or the flag cannot be changed that way: the
// replace steps then deal with it.
bool ClearReadOnlyInPlace(const char* path) {
  const SetInfoCall setInfo = HandleInfoCall();
  if (setInfo == nullptr) return false;
  UniqueFile file(::CreateFileA(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  FoundFile found;
  if (!file || !QueryFound(file.get(), &found) || found.links != 1 ||
      (found.attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      (found.attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0)
    return false;
  BasicInfo info{};
  info.fileAttributes = SettableAttributes(found.attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  return setInfo(file.get(), kFileBasicInfo, &info, sizeof info) != FALSE;
}

// One open by path creates the file or opens what is there. An existing file
// is written over in place: its name stays in the directory, so neither the
// delete nor the lookup of the then missing name (a scan of the whole
// directory, milliseconds in a large one) is paid. A file longer than the
// entry's content is cut to nothing first; one no longer is simply written
// over. A read-only file loses its flag first; hidden and system files need
// nothing. Anything else in the way (a file held by another process, a link,
// a file with other hard links whose content would change too, a directory)
// is left to the replace steps: *error tells what was in the way. The entry's
// content, times and attributes are set the same way afterwards, so the
// result is the same file.
}  // namespace

UniqueFile OpenForWriting(const char* path, DWORD access, DWORD flags, std::uint64_t size, DWORD* error) {
  constexpr DWORD kOpenFlags = FILE_FLAG_OPEN_REPARSE_POINT;
  UniqueFile file(::CreateFileA(path, access, 0, nullptr, OPEN_ALWAYS, flags | kOpenFlags, nullptr));
  *error = ::GetLastError();
  if (!file && *error == ERROR_ACCESS_DENIED && ClearReadOnlyInPlace(path)) {
    file.reset(::CreateFileA(path, access, 0, nullptr, OPEN_ALWAYS, flags | kOpenFlags, nullptr));
    *error = ::GetLastError();
  }
  if (!file) return file;
  if (*error != ERROR_ALREADY_EXISTS) {
    *error = 0;
    return file;
  }
  constexpr DWORD kInTheWay = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
  FoundFile found;
  if (!QueryFound(file.get(), &found) || found.links != 1 || (found.attributes & kInTheWay) != 0 ||
      (found.size > size && !::SetEndOfFile(file.get())))
    return UniqueFile();
  *error = 0;
  return file;
}

}  // namespace bk::ar::ex

#include "service/backup_progress.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/text.h"
#include "logging/log.h"
#include "platform/shared_file_lock.h"
#include "service/management_file.h"
#include "service/resource_key.h"
#include "service/service.h"

namespace {

// Appends the hexadecimal bytes of one key field (up to its terminator or
// width), upper-cased as the key comparison folds letters.
void AppendField(const char* field, std::size_t width, std::string& out) {
  const std::size_t length = bk::BoundedLength(field, width);
  for (std::size_t i = 0; i < length; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(bk::AsciiUpper(field[i])));
    out += hex;
  }
}

}  // namespace

bool vskBackupKeyLockName(const char* name, const char* version, const char* generation, char* out,
                          std::size_t size) {
  std::string text = "BACKUP_";
  AppendField(name, kVskNameWidth, text);
  text += '_';
  AppendField(version, kVskVersionWidth, text);
  text += '_';
  AppendField(generation, kVskGenerationWidth, text);
  if (text.size() >= size) return false;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

bool vskBackupKeyLockNameOfRecord(const unsigned char* record, char* out, std::size_t size) {
  const char* key = reinterpret_cast<const char*>(record);
  return vskBackupKeyLockName(key + kBkmnName, key + kBkmnVersion, key + kBkmnGeneration, out, size);
}

bool vskBackupHasMarker(const char* directory) {
  char marker[kVskPathSize + 16];
  std::snprintf(marker, sizeof marker, "%s\\%s", directory, kBackRunFileName);
  return ::GetFileAttributesA(marker) != INVALID_FILE_ATTRIBUTES;
}

VskBackupState vskBackupStateOf(const char* root, const unsigned char* record) {
  VskPath directory;
  if (!vskBKRVBackupDirPath(root, record, directory) || !vskBackupHasMarker(directory))
    return VskBackupState::kFinished;
  char lockName[160];
  if (!vskBackupKeyLockNameOfRecord(record, lockName, sizeof lockName)) return VskBackupState::kBeingMade;
  return bk::win::SharedFileLockIsHeld(lockName) ? VskBackupState::kBeingMade : VskBackupState::kInterrupted;
}

bool vskBackupIsUnfinished(const char* root, const unsigned char* record) {
  const VskBackupState state = vskBackupStateOf(root, record);
  if (state == VskBackupState::kFinished) return false;
  vskLogTrace(kVskCategory, "BACKUP_NOT_FINISHED directory = %.8s (%s)",
              reinterpret_cast<const char*>(record + kBkmnDirectory),
              state == VskBackupState::kBeingMade ? "being made by another process" : "interrupted");
  return true;
}

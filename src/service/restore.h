#pragma once
#include <cstdint>

// The restore's steps in their order (arguments, find, the check of the saved
// files, added paths, added contents, saved files, deletion of the used
// backup, installed-software entry); the result of vskAPIRestore.
std::uint32_t vskDoRestore(const char* name, const char* version, const char* generation);

// Deletes the marker file BACKUPLD of the backup root, if present.
void vskDeleteBackupLoadMarker();

// Coded event and log line for arguments out of range. pathLabel null: the
// event names the key only.
void vskReportInputError(const char* module, int line, const char* logLine, const char* name,
                         const char* version, const char* generation, const char* pathLabel,
                         const char* path);

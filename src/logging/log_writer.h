#pragma once
// Internals of the Windows log writer shared with the coded-message reporting.
#include <windows.h>

#include <cstdint>

#include "logging/log.h"

inline constexpr int kVskLogTableSize = 40;
inline constexpr int kVskDefaultLogPosition = 39;  // "DEFAULT.LOG"

enum class VskLogMode {
  kManagedClassic,     // log manager positions, classic records
  kManagedSiteServer,  // log manager positions, per-session file names, long records
  kSelfManaged,        // DATA COUNT header and generations under a Global mutex
};

// Chosen anew for every operation from the Windows version, the remote-desktop
// mode and the site-server setting.
VskLogMode vskLogCurrentMode();

// Table position of a file name (ignoring case); unknown names give 39.
int vskLogFindPosition(const char* fileName);
const char* vskLogTableName(int position);

// Managed mode: writes one MAIN.LOG line of a coded message (line 1 carries
// the header) to the MAIN.LOG entry opened with handle.
void vskLogWriteMainLine(VskLogHandle handle, const char* severity, const char* text,
                         int lineNumber);

// Self-managed mode: writes one long record to the log at table position.
void vskLogWriteRecord(std::uint32_t position, const char* message, const char* category);

// Self-managed mode: advances the header of the open log file (rotating the
// generations when full) and returns the byte offset of the record to write,
// with its length and number; 0 when nothing may be written.
std::uint32_t vskLogNextRecord(HANDLE file, int position, std::uint32_t* recordLength,
                               std::uint32_t* recordNumber);

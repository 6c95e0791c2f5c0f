#pragma once
// The list builder: for a resource archive in the current layout, a list file
// of 277-byte records, one per file or directory that extraction would make
// (directories only when nothing lies below them in the archive). The file
// lookup hands this list to the client as the install list of its next
// installation, so it has the install list's record layout.
//
// List record (no header, records back to back):
//   0    260  full target path, "\" separators, NUL-padded
//   260  4    fileSize  } copied unchanged (big-endian) from the entry header
//   264  4    mDate     }
//   268  4    mTime     }
//   272  1    fileKind  (1 regular file, 2 system, 4 hidden, 8 read-only, 16 archive)
//   273  4    zero
#include <cstddef>

inline constexpr std::size_t kListRecordSize = 277;
inline constexpr std::size_t kListPath = 0;
inline constexpr std::size_t kListPathWidth = 260;
inline constexpr std::size_t kListFileSize = 260;
inline constexpr std::size_t kListMDate = 264;
inline constexpr std::size_t kListMTime = 268;
inline constexpr std::size_t kListFileKind = 272;

// Results of vskarCreatearListFileEx.
inline constexpr int kArListOk = 0;
inline constexpr int kArListFailed = -1;
inline constexpr int kArListDecodeOrFallbackFailed = 2;
// vskarCreatearListFile also gives 3: the file is not a resource archive.
inline constexpr int kArListNotArchive = 3;

// The entry: an encoded archive is first decoded in place (into a work copy
// "<archive>.<process id>.dcd", which then replaces it in one step; when a
// step fails the encoded archive stays under its own name). The decoding
// stops, and nothing replaces the archive, when the plain bytes are not a
// resource archive, or pass the length its header declares or the free
// space of the volume less a margin. Listings of one archive run one at a
// time across processes (a machine-wide lock per archive path). A file that
// is not a resource archive is answered by the host resource list. 0, 2
// (decoder -4 or fallback failed), -1 (anything else). targetDir may be
// null: the archive's own base is used.
int vskarCreatearListFileEx(const char* archivePath, const char* targetDir, const char* listPath);

// A plain archive: 0, 3 (header defective: not a resource archive), -1.
int vskarCreatearListFile(const char* archivePath, const char* targetDir, const char* listPath);

// The loop over the entries of the archive opened by vskarCreatearListFile:
// 0 or -1. Only meaningful inside that call.
int vskcarListLoopProsec();

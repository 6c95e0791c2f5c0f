#pragma once
// The resource control file C0000000: 944-byte records written by other
// programs of the client, each naming the stored archive of one resource key.
// Only these fields are read:
//   171  44  resource name (zero-padded)
//   215   8  version
//   223   4  generation
//   320   8  archive file name (zero-terminated when shorter)
#include <cstddef>

inline constexpr std::size_t kRcfRecordSize = 944;
inline constexpr std::size_t kRcfName = 171;
inline constexpr std::size_t kRcfVersion = 215;
inline constexpr std::size_t kRcfGeneration = 223;
inline constexpr std::size_t kRcfArchive = 320;
inline constexpr std::size_t kRcfArchiveWidth = 8;

// True when the record (kRcfRecordSize bytes) is that of the key (the key
// comparison of the service).
bool vskRcfRecordMatches(const unsigned char* record, const char* name, const char* version,
                         const char* generation);

// The record's archive file name into out (kRcfArchiveWidth + 1 bytes); true
// when it is a plain file name that stays inside the resource directory.
bool vskRcfArchiveName(const unsigned char* record, char* out);

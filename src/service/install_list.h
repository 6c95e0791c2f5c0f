#pragma once
// The 277-byte install-list record of INSLIST, BACKLST and ADDFILE: a full
// path (260 bytes, zero-padded, no terminator when all are used), 12 zero
// bytes, the attribute flags, 4 zero bytes.
#include <cstddef>

#include "environment/env.h"

inline constexpr char kInsListFileName[] = "INSLIST";
inline constexpr char kBackListFileName[] = "BACKLST";
inline constexpr char kAddFileFileName[] = "ADDFILE";
inline constexpr char kBackRscFileName[] = "BACKRSC";

inline constexpr std::size_t kInsRecordSize = 277;
inline constexpr std::size_t kInsPath = 0;
inline constexpr std::size_t kInsPathWidth = 260;
inline constexpr std::size_t kInsFlags = 272;
static_assert(kInsFlags + 1 + 4 == kInsRecordSize);

// Attribute flags.
inline constexpr unsigned char kInsInclude = 1;  // always set: archive the path
inline constexpr unsigned char kInsSystem = 2;
inline constexpr unsigned char kInsHidden = 4;
inline constexpr unsigned char kInsReadOnly = 8;
inline constexpr unsigned char kInsArchive = 16;

// The flags for a path with these Windows attributes (bit 0 always set; the
// directory attribute and all others are not kept).
unsigned char vskInsFlagsFromAttributes(unsigned long attributes);

// A record for `path` (at most 260 characters kept) with the given flags.
void vskInsMakeRecord(const char* path, unsigned char flags, unsigned char record[kInsRecordSize]);

// The record's path with a terminator (out holds 261 bytes).
void vskInsRecordPath(const unsigned char record[kInsRecordSize], char out[kInsPathWidth + 1]);

#pragma once
// The progress link with the client's dialog program "VSKDLG.EXE". The dialog
// creates one named file mapping per kind of work and shows what the block
// holds; the library only opens the block and writes into it. Four unsigned
// 16-bit fields in machine byte order:
//
//   offset 0  update marker, written as 1 by every update
//   offset 2  kind of work (1 download, 2 install, 4 packaging)
//   offset 4  range: the value that means complete
//   offset 6  position, never above the range
//
// Kind 3 (the search for installed software) has a dialog but no block.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bk::progress {

inline constexpr std::size_t kMarkerOffset = 0;
inline constexpr std::size_t kKindOffset = 2;
inline constexpr std::size_t kRangeOffset = 4;
inline constexpr std::size_t kPositionOffset = 6;
inline constexpr std::size_t kBlockSize = 8;

inline constexpr std::uint16_t kKindDownload = 1;
inline constexpr std::uint16_t kKindInstall = 2;
inline constexpr std::uint16_t kKindSoftwareSearch = 3;
inline constexpr std::uint16_t kKindPackaging = 4;

inline constexpr char kDialogProgram[] = "VSKDLG.EXE";

inline constexpr char kTitleDownload[] = "Vantrel - Download";
inline constexpr char kTitleInstalling[] = "Vantrel - Installing";
inline constexpr char kTitleSoftwareSearch[] = "Vantrel - Searching installed software";

// Mapping name of a kind of work; null for kinds without a block.
inline const char* BlockName(unsigned kind) {
  switch (kind) {
    case kKindDownload: return "MAP_INDDLG_DOWNLOAD";
    case kKindInstall: return "MAP_INDDLG_INSTALL";
    case kKindPackaging: return "MAP_INDDLG_PACKAGING";
    default: return nullptr;
  }
}

inline std::uint16_t LoadField(const void* block, std::size_t offset) {
  std::uint16_t value;
  std::memcpy(&value, static_cast<const char*>(block) + offset, sizeof value);
  return value;
}

inline void StoreField(void* block, std::size_t offset, std::uint16_t value) {
  std::memcpy(static_cast<char*>(block) + offset, &value, sizeof value);
}

}  // namespace bk::progress

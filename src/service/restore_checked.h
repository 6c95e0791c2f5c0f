#pragma once
// What the restore's check before any change found, for the steps after it
// (part of the restore's state, cleared by the check).
#include <string>
#include <unordered_map>
#include <vector>

struct VskRestoreChecked {
  bool archive = false;  // BACKRSC is there and passed the check
  // Every path the archive puts back (as extraction without a target writes
  // it, letter case folded), and whether the archive holds a directory there.
  std::unordered_map<std::string, bool> saved;
};
VskRestoreChecked& vskRestoreChecked();

// A path as the file system compares it: letter case does not count.
std::string vskFoldedPath(const std::string& path);

// BACKLST's records: each path as the archive writes it ("\" separators, no
// doubled or trailing ones; patterns left out), and whether it was to be
// saved (its include flag). Empty when the list cannot be read.
struct VskListedPath {
  std::string path;
  bool include = false;
};
std::vector<VskListedPath> vskRestoreListedPaths();

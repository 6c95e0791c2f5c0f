// bkrtool diff: what a restore of a backup would change, found without
// changing anything. The current files are compared with the backup the way
// the restore goes: the paths ADDFILE lists, then every entry of the archive
// (read once, front to back, the content compared piece by piece with the
// file on disk), then what was added inside the saved folders. The backup
// and the files are only read.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/ar_format.h"
#include "archive/ar_paths.h"
#include "archive/ar_reader.h"
#include "archive_stream.h"
#include "command.h"
#include "environment/env.h"
#include "platform/unique_handle.h"
#include "platform/wapi.h"
#include "progress.h"
#include "service/backup_progress.h"
#include "service/backup_sums.h"
#include "service/install_list.h"
#include "service/management_file.h"
#include "service/resource_key.h"
#include "service/restore_checked.h"
#include "service/service.h"
#include "service/tree_removal.h"
#include "settings.h"

namespace {

using bk::ar::ArEntry;
using bk::ar::VsConFileIn;

enum class Action { kWrite, kCreate, kReplace, kRemove, kLeave };

const char* ActionName(Action a) {
  switch (a) {
    case Action::kWrite: return "write";
    case Action::kCreate: return "create";
    case Action::kReplace: return "replace";
    case Action::kRemove: return "remove";
    default: return "leave";
  }
}

struct Change {
  Action action;
  std::string path;
  bool directory = false;       // what the restore leaves there (or what is removed)
  std::vector<std::string> differs;  // kWrite: "content", "size", "time", "attributes"
  std::string why;              // for the other actions
};

struct Plan {
  std::string directory, archive;
  std::vector<Change> changes;
  std::unordered_map<std::string, bool> saved;  // folded path -> the archive holds a directory
  std::uint32_t entries = 0;
};

// The attributes a restore sets and this command compares. The archive
// attribute is left out: writing a file sets it whatever it was.
constexpr DWORD kCompared = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

DWORD AttributesOf(unsigned char kind) {
  DWORD a = 0;
  if (kind & bk::ar::kKindSystem) a |= FILE_ATTRIBUTE_SYSTEM;
  if (kind & bk::ar::kKindHidden) a |= FILE_ATTRIBUTE_HIDDEN;
  if (kind & bk::ar::kKindReadOnly) a |= FILE_ATTRIBUTE_READONLY;
  return a;
}

std::int64_t UnixSeconds(const FILETIME& t) {
  const std::uint64_t ticks = (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000u) - 11644473600LL;
}

bool Below(const std::string& path, const std::string& ancestor) {
  return path.size() > ancestor.size() && path[ancestor.size()] == '\\' &&
         _strnicmp(path.c_str(), ancestor.c_str(), ancestor.size()) == 0;
}

// --- the backup ----------------------------------------------------------------------

// The backup directory of the key, as the restore's find step takes it;
// empty with `why` set when the restore would find no usable backup.
std::string FindBackup(const std::string& name, const std::string& version, const std::string& generation,
                       std::string& why) {
  VskPath root;
  vskEnvGetBackupPath(root);
  unsigned char record[kBkmnRecordSize];
  std::string directory;
  why = "no backup of " + name + " " + version + " " + generation;
  if (vskBKRVOpenBKMN(record) == 1) {
    do {
      if (!vskKeyMatches(record + kBkmnName, name.c_str(), version.c_str(), generation.c_str())) continue;
      VskPath path;
      if (!vskBKRVBackupDirPath(root, record, path)) {
        why += " (its record names no valid directory)";
      } else if (::GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        why += " (its directory " + std::string(path) + " is gone)";
      } else if (vskBackupStateOf(root, record) != VskBackupState::kFinished) {
        why += " (" + std::string(path) + " is not finished)";
      } else {
        directory = path;
      }
      break;
    } while (vskBKRVNextBKMN(record) == 1);
  }
  vskBKRVCloseBKMN();
  return directory;
}

// --- the paths ADDFILE lists ---------------------------------------------------------

// From the last record to the first, as the restore removes them.
bool PlanAddedPaths(Plan& plan, std::string& why) {
  const std::string addFile = plan.directory + "\\" + kAddFileFileName;
  bk::win::unique_hfile file(::CreateFileA(addFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return true;  // the restore goes on without one
  std::string data;
  char buffer[64 * 1024];
  DWORD got = 0;
  while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  if (data.size() % kInsRecordSize != 0) {
    why = addFile + " is not a whole number of records: the restore would fail on it";
    return false;
  }
  for (std::size_t at = data.size(); at > 0; at -= kInsRecordSize) {
    char path[kInsPathWidth + 1];
    vskInsRecordPath(reinterpret_cast<const unsigned char*>(data.data()) + at - kInsRecordSize, path);
    if (path[0] == '\0' || std::strpbrk(path, "*?") != nullptr) continue;
    const DWORD attributes = ::GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) continue;
    plan.changes.push_back({Action::kRemove, path, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, {},
                            "added by the installation (ADDFILE)"});
  }
  return true;
}

// --- the archive ---------------------------------------------------------------------

// Compares the entry's content with the file, reading both piece by piece.
// True when they are equal.
bool SameContent(bk::ar::ArReader& reader, const std::string& path, bool& unreadable) {
  static unsigned char saved[64 * 1024], current[64 * 1024];
  bk::win::unique_hfile file(::CreateFileA(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  unreadable = !file;
  bool same = file.get() != INVALID_HANDLE_VALUE && !unreadable;
  for (;;) {
    std::size_t got = 0;
    if (reader.ReadContent(saved, sizeof saved, got) != bk::ar::kArOk || got == 0) break;
    if (!same) continue;
    std::size_t have = 0;
    while (have < got) {
      DWORD n = 0;
      if (!::ReadFile(file.get(), current + have, static_cast<DWORD>(got - have), &n, nullptr)) {
        unreadable = true;
        break;
      }
      if (n == 0) break;
      have += n;
    }
    same = have == got && std::memcmp(saved, current, got) == 0;
  }
  return same;
}

// What the restore does at the path of one entry.
class EntryPlanner {
 public:
  explicit EntryPlanner(Plan& plan) : plan_(plan) {}

  void Entry(bk::ar::ArReader& reader, const ArEntry& entry, const std::string& path) {
    const VsConFileIn& e = entry.header;
    const bool directory = e.IsDirectory();
    plan_.saved[vskFoldedPath(path)] = directory;
    const char* kind = directory ? "folder" : "file";
    if (UnderRecreated(path)) return Recreated(path, directory, "");
    WIN32_FILE_ATTRIBUTE_DATA now;
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &now))
      return Recreated(path, directory, std::string("the ") + kind + " is missing");
    if (now.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
      return Replaced(path, directory, std::string("a link stands where the backup holds a ") + kind);
    if (((now.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != directory)
      return Replaced(path, directory,
                      std::string(directory ? "a file" : "a folder") + " stands where the backup holds a " + kind);
    Change c{Action::kWrite, path, directory, {}, ""};
    if (!directory) {
      const std::uint64_t size = (static_cast<std::uint64_t>(now.nFileSizeHigh) << 32) | now.nFileSizeLow;
      bool unreadable = false;
      if (size != e.fileSize)
        c.differs.push_back("size");
      else if (!SameContent(reader, path, unreadable))
        c.differs.push_back(unreadable ? "content (unreadable)" : "content");
    }
    const std::time_t saved = bk::ar::arCodesToTime(e.mDate, e.mTime);
    if (saved != static_cast<std::time_t>(-1) && UnixSeconds(now.ftLastWriteTime) != static_cast<std::int64_t>(saved))
      c.differs.push_back("time");
    if ((now.dwFileAttributes & kCompared) != AttributesOf(e.fileKind)) c.differs.push_back("attributes");
    if (!c.differs.empty()) plan_.changes.push_back(std::move(c));
  }

 private:
  // Below a folder that the restore makes anew (or puts in place of a link
  // or a file): whatever the archive holds there is made anew too, and the
  // file system is not asked (through a link it would answer for elsewhere).
  bool UnderRecreated(const std::string& path) {
    while (!recreated_.empty() && !Below(path, recreated_.back())) recreated_.pop_back();
    return !recreated_.empty();
  }
  void Recreated(const std::string& path, bool directory, const std::string& why) {
    plan_.changes.push_back({Action::kCreate, path, directory, {}, why.empty() ? "inside a folder made anew" : why});
    if (directory) recreated_.push_back(path);
  }
  void Replaced(const std::string& path, bool directory, const std::string& why) {
    plan_.changes.push_back({Action::kReplace, path, directory, {}, why});
    if (directory) recreated_.push_back(path);
  }

  Plan& plan_;
  std::vector<std::string> recreated_;
};

// The base as the restore writes it (no target directory).
bool ArchiveBase(bk::ar::ArReader& reader, std::string& base, std::string& why) {
  const char* drive = reader.DriveName();
  const bool letter = std::strlen(drive) == 1 && ((drive[0] >= 'A' && drive[0] <= 'Z') || (drive[0] >= 'a' && drive[0] <= 'z'));
  if (!letter || !bk::ar::IsSafeBasePathName(reader.BasePathName(), &why)) {
    if (why.empty()) why = "the archive's drive name is not a drive letter";
    return false;
  }
  base = std::string(drive) + ":\\" + reader.BasePathName();
  return true;
}

// The archive, once from its start to its end; with checksums compared as
// the restore's check compares them.
bool PlanArchive(Plan& plan, const bk::ar::ArchiveSums* sums, bool& refused, std::string& why) {
  bkrtool::ArchiveStream stream;
  if (!stream.Open(plan.archive, why)) return false;
  if (stream.Legacy()) {
    why = "the archive is in the legacy layout, which diff does not read";
    return false;
  }
  bkrtool::ConsoleProgress progress("diff", sums != nullptr ? sums->entryCrcs.size() : 0, stream.FileSize());
  bk::ar::ArReader reader(stream);
  std::vector<std::string> paths;
  if (reader.Open() != bk::ar::kArOk) {
    refused = true;
    why = reader.Error();
    return false;
  }
  std::string base;
  if (!ArchiveBase(reader, base, why)) {
    refused = true;
    return false;
  }
  EntryPlanner planner(plan);
  ArEntry entry;
  bool found = false;
  for (;;) {
    if (reader.SkipContent() != bk::ar::kArOk) break;
    stream.Tally().BeginEntry();
    if (reader.Next(entry, found) != bk::ar::kArOk || !found) break;
    std::string unsafe;
    if (!bk::ar::IsSafeEntryName(entry.path.c_str(), &unsafe) ||
        bk::ar::EntryPath(base, entry.path).size() > bk::ar::kMaxPathLength) {
      refused = true;
      why = "the entry " + entry.path + " is outside the base directory or too long";
      return false;
    }
    planner.Entry(reader, entry, bk::ar::EntryPath(base, entry.path));
    paths.push_back(entry.path);
    ++plan.entries;
    progress.Update(plan.entries, stream.FileDone());
  }
  if (reader.Status() != bk::ar::kArOk) {
    refused = true;
    why = stream.Failure().empty() ? reader.Error() : stream.Failure();
    return false;
  }
  if (!stream.Drain(why)) {
    refused = true;
    return false;
  }
  if (sums != nullptr) {
    const bk::ar::SumsDifference d = bk::ar::CompareSums(*sums, stream.Tally().Sums());
    if (d.part != bk::ar::SumsDifference::Part::kNone) {
      refused = true;
      why = bk::ar::DescribeDifference(d, d.entry < paths.size() ? paths[d.entry] : std::string("?"));
      return false;
    }
  }
  return true;
}

// --- what was added inside the saved folders -----------------------------------------

// The restore's search for added contents, as a dry run.
class AddedSearch {
 public:
  explicit AddedSearch(Plan& plan) : plan_(plan) {}

  void Listed(const std::string& path) {
    const VskFarPath at = vskFarPath(path.c_str());
    if (at.native.empty() || Held(path) == 0) return;
    const std::string link = LinkOnTheWay(path);
    if (!link.empty()) {
      plan_.changes.push_back({Action::kLeave, path, true, {}, "not searched: reached through the link " + link});
      return;
    }
    WIN32_FIND_DATAW found;
    bk::win::unique_hfind search(vskFarSearch().findFirst(at.native.c_str(), &found));
    if (search) Visit(at, found.dwFileAttributes, true);
  }

 private:
  // 0 the archive holds nothing there, 1 a file, 2 a directory.
  int Held(const std::string& shown) const {
    if (shown.size() > bk::ar::kMaxPathLength) return 0;
    const auto it = plan_.saved.find(vskFoldedPath(shown));
    return it == plan_.saved.end() ? 0 : it->second ? 2 : 1;
  }

  static std::string LinkOnTheWay(const std::string& path) {
    for (std::size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1)) {
      const std::string ancestor = path.substr(0, at);
      const DWORD attributes = ::GetFileAttributesA(ancestor.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return ancestor;
    }
    return std::string();
  }

  void Visit(const VskFarPath& path, DWORD attributes, bool spelled) {
    const int held = spelled ? Held(path.shown) : 0;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (held == 0) {
      if (link)
        plan_.changes.push_back({Action::kLeave, path.shown, directory, {}, "a link the backup does not name"});
      else
        plan_.changes.push_back({Action::kRemove, path.shown, directory, {}, "added inside a saved folder"});
      return;
    }
    // A link or the other kind at a saved path is replaced: listed with the
    // archive's entries.
    if (!link && directory && held == 2) Prune(path);
  }

  void Prune(const VskFarPath& directory) {
    for (const WIN32_FIND_DATAW& child : vskFarChildren(directory)) {
      std::string name;
      const bool spelled = vskFarAnsiName(child.cFileName, &name);
      Visit(vskFarChild(directory, child.cFileName), child.dwFileAttributes, spelled);
    }
  }

  Plan& plan_;
};

// BACKLST's paths as the restore reads them.
std::vector<VskListedPath> ListedPaths(const Plan& plan) {
  std::snprintf(vskRestoreState().directory, sizeof vskRestoreState().directory, "%s", plan.directory.c_str());
  return vskRestoreListedPaths();
}

void PlanAddedContents(Plan& plan) {
  bk::win::RedirectionOff redirection;
  for (const VskListedPath& listed : ListedPaths(plan)) AddedSearch(plan).Listed(listed.path);
}

// --- output --------------------------------------------------------------------------

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& p : parts) text += (text.empty() ? "" : ", ") + p;
  return text;
}

int Print(const Plan& plan, const bkrtool::Args& key) {
  std::size_t changing = 0;
  for (const Change& c : plan.changes) changing += c.action != Action::kLeave;
  const int exitCode = changing == 0 ? 0 : 1;
  if (bkrtool::JsonOutput()) {
    std::string list = "[";
    for (const Change& c : plan.changes) {
      bkrtool::JsonObject o;
      o.Text("action", ActionName(c.action)).Text("path", c.path).Text("kind", c.directory ? "folder" : "file");
      if (c.action == Action::kWrite) {
        std::string differs = "[";
        for (const std::string& d : c.differs) differs += (differs.size() > 1 ? "," : "") + bkrtool::JsonString(d);
        o.Json("differs", differs + "]");
      } else {
        o.Text("why", c.why);
      }
      list += (list.size() > 1 ? "," : "") + o.Str();
    }
    bkrtool::JsonObject o;
    o.Text("name", key[0]).Text("version", key[1]).Text("generation", key[2]).Text("directory", plan.directory);
    o.Unsigned("entries", plan.entries).Unsigned("changes", changing).Json("paths", list + "]");
    return bkrtool::PrintJson(o, exitCode, "a restore would change " + std::to_string(changing) + " path(s)");
  }
  std::printf("backup %s of %s %s %s (%u archive entries)\n", plan.directory.c_str(), key[0].c_str(),
              key[1].c_str(), key[2].c_str(), plan.entries);
  for (const Change& c : plan.changes) {
    const std::string detail = c.action == Action::kWrite ? Joined(c.differs) + " differ" : c.why;
    std::printf("%-7s %-6s %s (%s)\n", ActionName(c.action), c.directory ? "folder" : "file", c.path.c_str(),
                detail.c_str());
  }
  if (changing == 0)
    std::printf("a restore would change nothing\n");
  else
    std::printf("a restore would change %zu path(s)\n", changing);
  return exitCode;
}

int Diff(const bkrtool::Args& args) {
  bkrtool::Parsed p;
  std::string error;
  if (!bkrtool::Parse(args, {}, {"json"}, p, error)) return bkrtool::Fail(error);
  if (p.positional.size() != 3) return bkrtool::Fail("usage: bkrtool diff [--json] NAME VERSION GENERATION");
  const bkrtool::Args& key = p.positional;
  if (!vskIsValidKey(key[0].c_str(), key[1].c_str(), key[2].c_str()))
    return bkrtool::Fail("NAME, VERSION and GENERATION must have 1-44, 1-8 and 1-4 characters");
  bkrtool::Settings settings;
  Plan plan;
  plan.directory = FindBackup(key[0], key[1], key[2], error);
  if (plan.directory.empty()) return bkrtool::Fail(error + ": a restore would change nothing and fail");
  plan.archive = plan.directory + "\\" + kBackRscFileName;

  bk::ar::ArchiveSums sums;
  const int read = vskReadBackupSums(plan.directory.c_str(), &sums, &error);
  if (read == 2) return bkrtool::Fail("the restore would refuse this backup: " + error);
  const bool hasArchive = ::GetFileAttributesA(plan.archive.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (!hasArchive && read == 0 && sums.hasArchive)
    return bkrtool::Fail("the restore would refuse this backup: BACKRSC is missing, BACKSUM describes one");
  if (!hasArchive && read != 0) {
    for (const VskListedPath& listed : ListedPaths(plan))
      if (listed.include && listed.path.size() >= 4)
        return bkrtool::Fail("the restore would refuse this backup: BACKRSC is missing, BACKLST names saved paths");
  }

  if (!PlanAddedPaths(plan, error)) return bkrtool::Fail(error);
  if (hasArchive) {
    bool refused = false;
    if (!PlanArchive(plan, read == 0 ? &sums : nullptr, refused, error))
      return bkrtool::Fail(refused ? "the restore would refuse this backup: " + error : error);
    PlanAddedContents(plan);
  }
  return Print(plan, key);
}

}  // namespace

BKR_COMMAND("diff", "[--json] NAME VERSION GENERATION",
            "show what a restore of a resource's backup would change (write back, create, replace, remove) and "
            "what it would leave, without changing anything; exit 0 nothing differs, 1 something does",
            Diff);

// bkrtool check: every backup of a backup root in one run. BACKMNG against
// the directories, the directories against BACKMNG, each backup's files and
// archive (decoded to its end and compared with its checksums where it has
// them), and the sizes. Read only: each finding says which command mends it.
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "archive/ar_extract.h"
#include "command.h"
#include "field_text.h"
#include "platform/shared_file_lock.h"
#include "platform/unique_handle.h"
#include "progress.h"
#include "service/backup_progress.h"
#include "service/backup_sums.h"
#include "service/install_list.h"
#include "service/management_file.h"
#include "service/resource_key.h"
#include "service/restore_checked.h"
#include "service/service.h"
#include "settings.h"

std::string ConfiguredRoot();  // cmd_backups.cpp

namespace {

struct Finding {
  std::string what, mend;
};

struct Backup {
  std::size_t index = 0;  // from 1, in BACKMNG
  std::string name, version, generation, directoryName, directory;
  std::uint64_t bytes = 0;
  std::string archive;  // what the archive check found, for the report
  std::vector<Finding> findings;
};

struct Report {
  std::string root;
  std::size_t records = 0;
  std::vector<Backup> backups;
  std::vector<Finding> findings;  // of the root itself
  std::uint64_t rootBytes = 0;
};

bool IsDirectory(const std::string& path) {
  const DWORD a = ::GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

long long FileLength(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return -1;
  return static_cast<long long>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

// The bytes of the files below `folder` (links are not followed).
std::uint64_t TreeBytes(const std::string& folder) {
  std::uint64_t total = 0;
  WIN32_FIND_DATAA found;
  bk::win::unique_hfind search(::FindFirstFileA((folder + "\\*").c_str(), &found));
  if (!search) return 0;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      total += TreeBytes(folder + "\\" + name);
    else
      total += (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  } while (::FindNextFileA(search.get(), &found));
  return total;
}

std::string Quoted(const std::string& text) { return text.find(' ') == std::string::npos ? text : "\"" + text + "\""; }

std::string DeleteCommand(const Backup& b, const std::string& root, bool rootGiven) {
  return "bkrtool delete-backup " + Quoted(b.name) + " " + Quoted(b.version) + " " + Quoted(b.generation) +
         (rootGiven ? " (with RestoreBackupPath set to " + root + ")" : "");
}

// --- BACKMNG -------------------------------------------------------------------------

// Reads BACKMNG under its lock; false when it cannot be read (`error` the
// Windows error).
bool ReadManagementFile(const std::string& path, std::string& data, DWORD& error) {
  const bk::win::SharedFileLock lock(kBkmnFileName, kVskCategory);
  bk::win::unique_hfile file(::CreateFileA(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = ::GetLastError();
    return false;
  }
  char buffer[64 * 1024];
  DWORD got = 0;
  while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  return true;
}

void CheckManagementSize(Report& r, const std::string& path, std::size_t size) {
  if (size < kBkmnHeaderSize) {
    r.findings.push_back({path + " has no header (" + std::to_string(size) + " bytes); the service refuses it",
                          "remove it and run bkrtool backups --init (no backup of this root can be restored)"});
    return;
  }
  const std::size_t leftover = (size - kBkmnHeaderSize) % kBkmnRecordSize;
  if (leftover == 0) return;
  const std::size_t whole = kBkmnHeaderSize + r.records * kBkmnRecordSize;
  r.findings.push_back({path + " is truncated: " + std::to_string(r.records) + " complete record(s), " +
                            std::to_string(leftover) + " byte(s) left over; the service refuses to delete from it",
                        "cut it to its complete records (" + std::to_string(whole) + " bytes)"});
}

// --- one backup ----------------------------------------------------------------------

void CheckListFile(Backup& b, const char* fileName, const std::string& mend) {
  const long long length = FileLength(b.directory + "\\" + fileName);
  if (length < 0)
    b.findings.push_back({std::string(fileName) + " is missing in " + b.directory, mend});
  else if (length % static_cast<long long>(kInsRecordSize) != 0)
    b.findings.push_back({std::string(fileName) + " is not a whole number of 277-byte records", mend});
}

// Whether BACKLST names a path that was to be saved.
bool ListsSavedPaths(const std::string& directory) {
  std::snprintf(vskRestoreState().directory, sizeof vskRestoreState().directory, "%s", directory.c_str());
  for (const VskListedPath& p : vskRestoreListedPaths())
    if (p.include && p.path.size() >= 4) return true;
  return false;
}

void CheckArchive(Backup& b, const std::string& mend) {
  const std::string archive = b.directory + "\\" + kBackRscFileName;
  bk::ar::ArchiveSums sums;
  std::string why;
  const int read = vskReadBackupSums(b.directory.c_str(), &sums, &why);
  if (read == 2) {
    b.findings.push_back({"BACKSUM is damaged: " + why + "; the restore refuses the backup", mend});
    return;
  }
  if (FileLength(archive) < 0) {
    const bool needed = read == 0 ? sums.hasArchive : ListsSavedPaths(b.directory);
    if (needed)
      b.findings.push_back({"BACKRSC is missing, " + std::string(read == 0 ? "BACKSUM describes one" : "BACKLST names saved paths"),
                            mend});
    else
      b.archive = "none (no listed path existed)";
    return;
  }
  VskArVerifyReport report;
  if (vskarCheckArchive(archive.c_str(), read == 0 ? &sums : nullptr, nullptr, nullptr, &report) != 0) {
    b.findings.push_back({"the archive is defective: " + std::string(report.firstDefect) +
                              "; the restore refuses it",
                          "bkrtool verify " + Quoted(b.name) + " " + Quoted(b.version) + " " + Quoted(b.generation) +
                              " shows the defect; " + mend});
    return;
  }
  b.archive = std::to_string(report.entries) + " entries, " + std::to_string(report.contentBytes) +
              " content bytes, checksums " + (read == 0 ? "matched" : "none");
}

void CheckBackup(Backup& b, const std::string& root, const unsigned char* record, bool rootGiven) {
  const std::string mend = DeleteCommand(b, root, rootGiven);
  VskPath path;
  if (!vskBKRVBackupDirPath(root.c_str(), record, path)) {
    b.findings.push_back({"the record names no valid directory (\"" + b.directoryName + "\")",
                          mend + " (removes the record only)"});
    return;
  }
  b.directory = path;
  if (!IsDirectory(b.directory)) {
    b.findings.push_back({"the record names a missing directory " + b.directory, mend + " (removes the record)"});
    return;
  }
  b.bytes = TreeBytes(b.directory);
  switch (vskBackupStateOf(root.c_str(), record)) {
    case VskBackupState::kBeingMade:
      b.archive = "being made";
      return;
    case VskBackupState::kInterrupted:
      b.findings.push_back({"the backup was interrupted while it was made; the restore treats it as none",
                            mend + ", or the next backup of its key removes it"});
      return;
    default: break;
  }
  CheckListFile(b, kBackListFileName, mend);
  CheckListFile(b, kAddFileFileName, mend);
  CheckArchive(b, mend);
}

// --- the root ------------------------------------------------------------------------

void CheckSharedDirectories(Report& r, const std::string& root, bool rootGiven) {
  std::map<std::string, std::vector<std::size_t>> byDirectory;
  std::map<std::string, std::vector<std::size_t>> byKey;
  for (std::size_t i = 0; i < r.backups.size(); ++i) {
    const Backup& b = r.backups[i];
    if (!b.directory.empty()) byDirectory[vskFoldedPath(b.directoryName)].push_back(i);
    byKey[vskFoldedPath(b.name + "\n" + b.version + "\n" + b.generation)].push_back(i);
  }
  for (const auto& [directory, users] : byDirectory) {
    if (users.size() < 2) continue;
    std::string records;
    for (std::size_t i : users) records += (records.empty() ? "#" : ", #") + std::to_string(r.backups[i].index);
    r.findings.push_back({"records " + records + " name one directory " + r.backups[users[0]].directory,
                          "keep the backup the directory belongs to; " +
                              DeleteCommand(r.backups[users[1]], root, rootGiven) +
                              " deletes the directory with the record, so back the other resource up again"});
  }
  for (const auto& [key, users] : byKey) {
    if (users.size() < 2) continue;
    const Backup& b = r.backups[users[0]];
    r.findings.push_back({"records #" + std::to_string(b.index) + " and #" + std::to_string(r.backups[users[1]].index) +
                              " are of one key " + b.name + " " + b.version + " " + b.generation +
                              "; a restore uses the first only",
                          DeleteCommand(b, root, rootGiven) + " removes them all"});
  }
}

void CheckOrphans(Report& r, const std::string& root) {
  std::map<std::string, bool> named;
  for (const Backup& b : r.backups) named[vskFoldedPath(b.directoryName)] = true;
  WIN32_FIND_DATAA found;
  bk::win::unique_hfind search(::FindFirstFileA((root + "\\UPI_*").c_str(), &found));
  if (!search) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    const std::string name = found.cFileName;
    if (named.count(vskFoldedPath(name)) != 0) continue;
    const std::string path = root + "\\" + name;
    r.findings.push_back({"the directory " + path + " is named by no record (" + std::to_string(TreeBytes(path)) +
                              " bytes); no restore can use it",
                          "rmdir /s /q " + Quoted(path)});
  } while (::FindNextFileA(search.get(), &found));
}

// --- output --------------------------------------------------------------------------

std::string FindingsJson(const std::vector<Finding>& findings) {
  std::string list = "[";
  for (const Finding& f : findings)
    list += (list.size() > 1 ? "," : "") + bkrtool::JsonObject().Text("finding", f.what).Text("mend", f.mend).Str();
  return list + "]";
}

int Print(const Report& r) {
  std::size_t count = r.findings.size();
  for (const Backup& b : r.backups) count += b.findings.size();
  const int exitCode = count == 0 ? 0 : 1;
  if (bkrtool::JsonOutput()) {
    std::string backups = "[";
    for (const Backup& b : r.backups) {
      bkrtool::JsonObject o;
      o.Unsigned("index", b.index).Text("name", b.name).Text("version", b.version).Text("generation", b.generation)
          .Text("directory", b.directoryName).Unsigned("bytes", b.bytes).Bool("sound", b.findings.empty())
          .TextOrNull("archive", b.archive).Json("findings", FindingsJson(b.findings));
      backups += (backups.size() > 1 ? "," : "") + o.Str();
    }
    bkrtool::JsonObject o;
    o.Text("root", r.root).Unsigned("records", r.records).Unsigned("rootBytes", r.rootBytes)
        .Json("backups", backups + "]").Json("findings", FindingsJson(r.findings)).Unsigned("findingCount", count);
    return bkrtool::PrintJson(o, exitCode, count == 0 ? "" : std::to_string(count) + " finding(s)");
  }
  std::printf("backup root: %s (%zu records)\n", r.root.c_str(), r.records);
  for (const Backup& b : r.backups) {
    std::printf("#%zu %s %s %s %s: %s, %llu bytes%s%s%s\n", b.index, b.name.c_str(), b.version.c_str(),
                b.generation.c_str(), b.directoryName.c_str(), b.findings.empty() ? "sound" : "FINDINGS",
                static_cast<unsigned long long>(b.bytes), b.archive.empty() ? "" : " (archive: ", b.archive.c_str(),
                b.archive.empty() ? "" : ")");
    for (const Finding& f : b.findings) std::printf("  finding: %s\n    mend: %s\n", f.what.c_str(), f.mend.c_str());
  }
  for (const Finding& f : r.findings) std::printf("finding: %s\n  mend: %s\n", f.what.c_str(), f.mend.c_str());
  std::printf("%zu backup(s), %llu bytes in the root; %zu finding(s)\n", r.backups.size(),
              static_cast<unsigned long long>(r.rootBytes), count);
  return exitCode;
}

int Check(const bkrtool::Args& args) {
  bkrtool::Parsed parsed;
  std::string error;
  if (!bkrtool::Parse(args, {"root"}, {"json"}, parsed, error)) return bkrtool::Fail(error);
  if (!parsed.positional.empty()) return bkrtool::Fail("usage: bkrtool check [--root DIR] [--json]");
  bkrtool::Settings settings;
  Report r;
  r.root = parsed.Has("root") ? parsed.Value("root") : ConfiguredRoot();
  while (r.root.size() > 3 && r.root.back() == '\\') r.root.pop_back();
  if (!IsDirectory(r.root)) return bkrtool::Fail("no backup root " + r.root);
  const std::string path = r.root + "\\" + kBkmnFileName;
  std::string data;
  DWORD readError = 0;
  if (!ReadManagementFile(path, data, readError)) {
    if (readError != ERROR_FILE_NOT_FOUND) return bkrtool::Fail("cannot read " + path + " (Windows error " + std::to_string(readError) + ")");
    r.findings.push_back({"no management file " + path + ": every backup into this root fails",
                          "bkrtool backups --init" + (parsed.Has("root") ? " --root " + Quoted(r.root) : std::string())});
  } else {
    r.records = data.size() < kBkmnHeaderSize ? 0 : (data.size() - kBkmnHeaderSize) / kBkmnRecordSize;
    CheckManagementSize(r, path, data.size());
  }
  bkrtool::ConsoleProgress progress("check", r.records, 0);
  for (std::size_t i = 0; i < r.records; ++i) {
    const auto* record = reinterpret_cast<const unsigned char*>(data.data()) + kBkmnHeaderSize + i * kBkmnRecordSize;
    Backup b;
    b.index = i + 1;
    b.name = bkrtool::FieldText(record + kBkmnName, kVskNameWidth);
    b.version = bkrtool::FieldText(record + kBkmnVersion, kVskVersionWidth);
    b.generation = bkrtool::FieldText(record + kBkmnGeneration, kVskGenerationWidth);
    b.directoryName = bkrtool::FieldText(record + kBkmnDirectory, kBkmnDirectoryWidth);
    CheckBackup(b, r.root, record, parsed.Has("root"));
    r.backups.push_back(std::move(b));
    std::uint64_t bytes = 0;
    for (const Backup& done : r.backups) bytes += done.bytes;
    progress.Update(i + 1, bytes);
  }
  progress.Finish();
  CheckSharedDirectories(r, r.root, parsed.Has("root"));
  CheckOrphans(r, r.root);
  r.rootBytes = TreeBytes(r.root);
  return Print(r);
}

}  // namespace

BKR_COMMAND("check", "[--root DIR] [--json]",
            "check every backup of a backup root (records, directories, files, archives and their checksums, "
            "orphans both ways, sizes) without changing anything; exit 0 sound, 1 findings",
            Check);

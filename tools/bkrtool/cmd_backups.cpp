// backups, delete-backup: what an administrator needs to look at and clean up
// the backups of a client machine. `backups` only reads BACKMNG (never
// creating or changing anything; it takes the file's lock while it reads, as
// every reader does); `delete-backup` runs the service's own unconditional
// deletion.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "field_text.h"
#include "settings.h"
#include "common/byte_order.h"
#include "environment/env.h"
#include "platform/shared_file_lock.h"
#include "service/backup_progress.h"
#include "service/management_file.h"
#include "service/resource_key.h"
#include "service/service.h"

int InitManagementFile(const std::string& root);  // cmd_service.cpp

// The configured backup root, without creating it as the service would.
std::string ConfiguredRoot() {
  VskPath root;
  if (vskEnvGetValue("RestoreBackupPath", root, sizeof root) == 1) return root;
  VskPath work;
  vskEnvGetWorkPath(work);
  return std::string(work) + "\\BACKUP";
}

namespace {

bool AllBytes(const unsigned char* field, std::size_t width, unsigned char value) {
  for (std::size_t i = 0; i < width; ++i)
    if (field[i] != value) return false;
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& data, DWORD& error) {
  // Under the lock no commit of the service's is under way, and none can be
  // refused because this program holds the file open.
  const bk::win::SharedFileLock lock(kBkmnFileName, kVskCategory);
  // Shared for reading, writing and deleting: a client program may be at work.
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = ::GetLastError();
    return false;
  }
  char buffer[65536];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ::ReadFile(file, buffer, sizeof buffer, &got, nullptr) != FALSE) && got > 0) data.append(buffer, got);
  if (!ok) error = ::GetLastError();
  ::CloseHandle(file);
  return ok;
}

struct Row {
  std::string name, version, generation, directory, directoryPath, protectUntil, installDate;
  bool validDirectory = false;
  bool exists = false;
  VskBackupState state = VskBackupState::kFinished;
};

const char* StateText(VskBackupState state) {
  switch (state) {
    case VskBackupState::kBeingMade: return "being made";
    case VskBackupState::kInterrupted: return "interrupted";
    default: return "finished";
  }
}

Row Describe(const std::string& root, const unsigned char* record) {
  Row row;
  row.name = bkrtool::FieldText(record + kBkmnName, kVskNameWidth);
  row.version = bkrtool::FieldText(record + kBkmnVersion, kVskVersionWidth);
  row.generation = bkrtool::FieldText(record + kBkmnGeneration, kVskGenerationWidth);
  row.directory = bkrtool::FieldText(record + kBkmnDirectory, kBkmnDirectoryWidth);
  VskPath path;
  row.validDirectory = vskBKRVBackupDirPath(root.c_str(), record, path);
  if (row.validDirectory) {
    row.directoryPath = path;
    const DWORD attributes = ::GetFileAttributesA(path);
    row.exists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (row.exists) row.state = vskBackupStateOf(root.c_str(), record);
  }
  const unsigned char* protect = record + kBkmnProtectUntil;
  if (!AllBytes(protect, kBkmnProtectWidth, 0)) row.protectUntil = bkrtool::FieldText(protect, kBkmnProtectWidth);
  const unsigned char* installed = record + kBkmnEntry + kSyscInstallDate;
  if (!AllBytes(installed, kSyscDateWidth, ' ') && !AllBytes(installed, kSyscDateWidth, 0))
    row.installDate = bkrtool::FieldText(installed, kSyscDateWidth);
  return row;
}

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : bkrtool::JsonString(text); }

// What is wrong with a management file of `count` whole records and
// `leftover` further bytes; empty when nothing is.
std::string ManagementFileProblem(const std::string& path, bool hasHeader, std::size_t count, std::size_t leftover) {
  if (!hasHeader && leftover == 0) return path + " is damaged: it is empty (no header); the service refuses it";
  if (leftover == 0) return std::string();
  return path + " is truncated: " + (hasHeader ? "" : "no header, ") + std::to_string(count) +
         " complete record(s) read, " + std::to_string(leftover) +
         " byte(s) left over; the service refuses to delete from it";
}

int ListBackups(const bkrtool::Args& args) {
  bkrtool::Parsed parsed;
  std::string error;
  if (!bkrtool::Parse(args, {"root"}, {"json", "init"}, parsed, error)) return bkrtool::Fail(error);
  if (!parsed.positional.empty()) return bkrtool::Fail("usage: bkrtool backups [--init] [--root DIR] [--json]");
  const bool json = parsed.Has("json");

  bkrtool::Settings settings;
  std::string root = parsed.Has("root") ? parsed.Value("root") : ConfiguredRoot();
  while (root.size() > 3 && root.back() == '\\') root.pop_back();
  if (parsed.Has("init")) return InitManagementFile(root);
  const std::string path = root + "\\" + kBkmnFileName;
  std::string data;
  DWORD readError = 0;
  if (!ReadWholeFile(path, data, readError)) {
    if (readError == ERROR_FILE_NOT_FOUND || readError == ERROR_PATH_NOT_FOUND)
      return bkrtool::Fail("no management file " + path + ": this backup root is not set up, and every backup "
                           "into it fails until it is; run bkrtool backups --init" +
                           (parsed.Has("root") ? " --root \"" + root + "\"" : std::string()));
    return bkrtool::Fail("cannot read " + path + " (Windows error " + std::to_string(readError) + ")");
  }

  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  const bool hasHeader = data.size() >= kBkmnHeaderSize;
  const std::size_t body = hasHeader ? data.size() - kBkmnHeaderSize : 0;
  const std::size_t count = body / kBkmnRecordSize;
  const std::size_t leftover = hasHeader ? body % kBkmnRecordSize : data.size();
  const int headerCount = hasHeader ? static_cast<std::int16_t>(bk::LoadLe16(bytes)) : 0;
  const std::string problem = ManagementFileProblem(path, hasHeader, count, leftover);
  std::vector<Row> rows;
  for (std::size_t i = 0; i < count; ++i)
    rows.push_back(Describe(root, bytes + kBkmnHeaderSize + i * kBkmnRecordSize));

  if (json) {
    std::printf("{\"root\": %s, \"file\": %s, \"headerCount\": %s, \"recordCount\": %zu, \"truncated\": %s, "
                "\"leftoverBytes\": %zu, \"records\": [",
                bkrtool::JsonString(root).c_str(), bkrtool::JsonString(path).c_str(),
                hasHeader ? std::to_string(headerCount).c_str() : "null", count, leftover ? "true" : "false",
                leftover);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const Row& r = rows[i];
      std::printf("%s\n  {\"index\": %zu, \"name\": %s, \"version\": %s, \"generation\": %s, \"directory\": %s, "
                  "\"directoryPath\": %s, \"directoryExists\": %s, \"protectUntil\": %s, \"installDate\": %s, "
                  "\"state\": \"%s\"}",
                  i == 0 ? "" : ",", i + 1, bkrtool::JsonString(r.name).c_str(),
                  bkrtool::JsonString(r.version).c_str(), bkrtool::JsonString(r.generation).c_str(),
                  bkrtool::JsonString(r.directory).c_str(), JsonOrNull(r.directoryPath).c_str(),
                  r.exists ? "true" : "false", JsonOrNull(r.protectUntil).c_str(), JsonOrNull(r.installDate).c_str(),
                  StateText(r.state));
    }
    std::printf("%s]%s\n", rows.empty() ? "" : "\n", bkrtool::JsonEnd(problem.empty() ? 0 : 1, problem).c_str());
  } else {
    std::printf("backup root: %s\n", root.c_str());
    if (hasHeader)
      std::printf("management file: %s (header count %d, %zu records)\n", path.c_str(), headerCount, count);
    else
      std::printf("management file: %s (no header)\n", path.c_str());
    if (!rows.empty())
      std::printf("%-3s %-44s %-8s %-4s %-8s %-6s %-13s %s\n", "#", "NAME", "VERSION", "GEN", "DIR", "EXISTS",
                  "PROTECT-UNTIL", "INSTALLED");
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const Row& r = rows[i];
      std::printf("%-3zu %-44s %-8s %-4s %-8s %-6s %-13s %s\n", i + 1, r.name.c_str(), r.version.c_str(),
                  r.generation.c_str(), r.directory.c_str(), r.validDirectory ? (r.exists ? "yes" : "no") : "BAD",
                  r.protectUntil.empty() ? "-" : r.protectUntil.c_str(),
                  r.installDate.empty() ? "-" : r.installDate.c_str());
    }
    for (const Row& r : rows) {
      if (!r.validDirectory)
        std::printf("note: directory name \"%s\" is not a plain name; the service never deletes it\n",
                    r.directory.c_str());
      if (r.state == VskBackupState::kBeingMade)
        std::printf("note: %s is a backup being made; a restore treats it as no backup until it is finished\n",
                    r.directory.c_str());
      if (r.state == VskBackupState::kInterrupted)
        std::printf("note: %s is an interrupted backup (no process is making it); a restore treats it as no "
                    "backup, the next backup of its key removes it\n",
                    r.directory.c_str());
    }
  }
  if (problem.empty()) return 0;
  std::fprintf(stderr, "bkrtool: %s\n", problem.c_str());
  return 1;
}

const char* DeletionResultText(int result) {
  switch (result) {
    case 0: return "deleted: the backup directory and its records are gone";
    case 1: return "failed: nothing was committed (see CLIENT.LOG)";
    case 5: return "failed: the backup root does not exist";
    case 10: return "not found: no management file, or no backup of this key";
    case 30: return "failed: the management file or its work copy could not be used (see CLIENT.LOG)";
    default: return "failed";
  }
}

// Exit code of delete-backup when the backup directory is gone but BACKMNG
// still lists the key.
constexpr int kStillListedExit = 3;

// True when BACKMNG of the configured root can be read and holds a record of
// the key whose directory is gone.
bool StillListed(const std::string& name, const std::string& version, const std::string& generation) {
  VskPath root;
  vskEnvGetBackupPath(root);
  std::string data;
  DWORD error = 0;
  if (!ReadWholeFile(std::string(root) + "\\" + kBkmnFileName, data, error)) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  for (std::size_t at = kBkmnHeaderSize; at + kBkmnRecordSize <= data.size(); at += kBkmnRecordSize) {
    VskPath directory;
    if (vskKeyMatches(bytes + at + kBkmnName, name.c_str(), version.c_str(), generation.c_str()) &&
        vskBKRVBackupDirPath(root, bytes + at, directory) && ::GetFileAttributesA(directory) == INVALID_FILE_ATTRIBUTES)
      return true;
  }
  return false;
}

int PrintDeletion(const bkrtool::Args& key, int result, bool stillListed, int exitCode) {
  const std::string text = stillListed ? "the backup directory is deleted, but its record is still listed in BACKMNG "
                                         "(the management file could not be replaced; see CLIENT.LOG)"
                                       : DeletionResultText(result);
  if (bkrtool::JsonOutput())
    return bkrtool::PrintJson(bkrtool::JsonObject()
                                  .Text("name", key[0])
                                  .Text("version", key[1])
                                  .Text("generation", key[2])
                                  .Number("result", result)
                                  .Text("resultText", text)
                                  .Bool("stillListed", stillListed),
                              exitCode, text);
  std::printf("%s %s %s: %s (result %d)\n", key[0].c_str(), key[1].c_str(), key[2].c_str(), text.c_str(), result);
  return exitCode;
}

int DeleteBackup(const bkrtool::Args& all) {
  const bkrtool::Args args = bkrtool::WithoutJson(all);
  if (args.size() != 3) return bkrtool::Fail("usage: bkrtool delete-backup [--json] NAME VERSION GENERATION");
  if (!vskIsValidKey(args[0].c_str(), args[1].c_str(), args[2].c_str()))
    return bkrtool::Fail("NAME, VERSION and GENERATION must have 1-44, 1-8 and 1-4 characters");
  bkrtool::Settings settings;
  const int result = vskAPIDelBackup(args[0].c_str(), args[1].c_str(), args[2].c_str());
  // A final copy of the work copy over BACKMNG that failed (result 1) leaves
  // the directory gone and the records listed.
  if ((result == 0 || result == 1) && StillListed(args[0], args[1], args[2]))
    return PrintDeletion(args, result, true, kStillListedExit);
  return PrintDeletion(args, result, false, result);
}

}  // namespace

BKR_COMMAND("backups", "[--init] [--root DIR] [--json]",
            "list the backups of a backup root (default: the configured one) from BACKMNG, without changing it; "
            "--init creates an empty BACKMNG where none exists",
            ListBackups);
BKR_COMMAND("delete-backup", "[--json] NAME VERSION GENERATION",
            "delete the backup of a resource unconditionally; the exit code is the service's result", DeleteBackup);

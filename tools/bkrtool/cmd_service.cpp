// backup, restore, verify: the service's main job from the command line. The
// first two call the exports of bkrestore.dll exactly as the client does;
// verify reads a backup's archive and changes nothing.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "archive/ar_extract.h"
#include "bkrestore/bkrestore.h"
#include "command.h"
#include "progress.h"
#include "settings.h"
#include "environment/env.h"
#include "platform/shared_file_lock.h"
#include "service/install_list.h"
#include "service/management_file.h"
#include "service/resource_key.h"
#include "service/service.h"

namespace {

bkrtool::JsonObject KeyJson(const bkrtool::Args& args) {
  return bkrtool::JsonObject().Text("name", args[0]).Text("version", args[1]).Text("generation", args[2]);
}

int CheckKey(const bkrtool::Args& args, std::size_t count, const char* usage) {
  if (args.size() != count) return bkrtool::Fail(std::string("usage: bkrtool ") + usage);
  if (!vskIsValidKey(args[0].c_str(), args[1].c_str(), args[2].c_str()))
    return bkrtool::Fail("NAME, VERSION and GENERATION must have 1-44, 1-8 and 1-4 characters");
  return 0;
}

}  // namespace

// The backup directory of the key from BACKMNG; empty when there is none.
std::string BackupDirectoryOf(const std::string& name, const std::string& version, const std::string& generation) {
  bkrtool::Settings settings;
  VskPath root;
  vskEnvGetBackupPath(root);
  unsigned char record[kBkmnRecordSize];
  std::string directory;
  if (vskBKRVOpenBKMN(record) == 1) {
    do {
      VskPath path;
      if (vskKeyMatches(record + kBkmnName, name.c_str(), version.c_str(), generation.c_str()) &&
          vskBKRVBackupDirPath(root, record, path)) {
        directory = path;
        break;
      }
    } while (vskBKRVNextBKMN(record) == 1);
  }
  vskBKRVCloseBKMN();
  return directory;
}

namespace {

long long FileSize(const std::string& path) {
  struct _stati64 status;
  return ::_stati64(path.c_str(), &status) == 0 ? status.st_size : -1;
}

struct BackupReport {
  std::string directory, archive;
  long long saved = 0, added = 0, archiveBytes = -1;
  VskArVerifyReport verify{};
};

BackupReport DescribeBackup(const bkrtool::Args& args) {
  BackupReport r;
  r.directory = BackupDirectoryOf(args[0], args[1], args[2]);
  const long long saved = FileSize(r.directory + "\\" + kBackListFileName);
  const long long added = FileSize(r.directory + "\\" + kAddFileFileName);
  r.saved = saved < 0 ? 0 : saved / static_cast<long long>(kInsRecordSize);
  r.added = added < 0 ? 0 : added / static_cast<long long>(kInsRecordSize);
  const std::string archive = r.directory + "\\" + kBackRscFileName;
  if (FileSize(archive) >= 0 && vskarVerifyArchive(archive.c_str(), &r.verify) == 0) {
    r.archive = archive;
    r.archiveBytes = FileSize(archive);
  }
  return r;
}

int BackupJson(const bkrtool::Args& args, std::uint32_t result) {
  bkrtool::JsonObject o = KeyJson(args);
  o.Unsigned("result", result);
  if (result != 0) return bkrtool::PrintJson(o, 1, "backup failed (see CLIENT.LOG)");
  const BackupReport r = DescribeBackup(args);
  o.Text("directory", r.directory).Number("savedPaths", r.saved).Number("addedPaths", r.added);
  if (r.archive.empty()) {
    o.Null("archive");
  } else {
    o.Json("archive", bkrtool::JsonObject()
                          .Text("file", r.archive)
                          .Number("encodedBytes", r.archiveBytes)
                          .Unsigned("entries", r.verify.entries)
                          .Unsigned("files", r.verify.files)
                          .Unsigned("directories", r.verify.directories)
                          .Unsigned("contentBytes", r.verify.contentBytes)
                          .Str());
  }
  return bkrtool::PrintJson(o, 0);
}

int Backup(const bkrtool::Args& all) {
  const bkrtool::Args args = bkrtool::WithoutJson(all);
  if (const int bad = CheckKey(args, 4, "backup [--json] NAME VERSION GENERATION PATH")) return bad;
  std::uint32_t result;
  {
    const bkrtool::LibraryProgress progress("backup", 4);
    result = vskAPIBackup(args[0].c_str(), args[1].c_str(), args[2].c_str(), args[3].c_str());
  }
  if (bkrtool::JsonOutput()) return BackupJson(args, result);
  if (result != 0) {
    std::printf("%s %s %s: backup failed (result %u; see CLIENT.LOG)\n", args[0].c_str(), args[1].c_str(),
                args[2].c_str(), result);
    return 1;
  }
  const BackupReport r = DescribeBackup(args);
  std::printf("%s %s %s: backed up (result 0)\n", args[0].c_str(), args[1].c_str(), args[2].c_str());
  std::printf("backup directory: %s\n", r.directory.c_str());
  std::printf("saved paths: %lld, added paths: %lld\n", r.saved, r.added);
  if (!r.archive.empty())
    std::printf("archive: %s, %llu bytes encoded, %llu entries (%llu files, %llu directories), %llu bytes saved\n",
                r.archive.c_str(), static_cast<unsigned long long>(r.archiveBytes),
                static_cast<unsigned long long>(r.verify.entries), static_cast<unsigned long long>(r.verify.files),
                static_cast<unsigned long long>(r.verify.directories),
                static_cast<unsigned long long>(r.verify.contentBytes));
  else
    std::printf("archive: none (no listed path existed)\n");
  return 0;
}

const char* RestoreResultText(std::uint32_t result) {
  switch (result) {
    case 0: return "restored: the saved files are back and the backup is used up";
    case 1: return "no usable backup of this key";
    case 2: return "failed: a restore step failed; the backup is kept for a rerun, unless unusable (see CLIENT.LOG)";
    case 3: return "failed: and the backup could not be deleted (see CLIENT.LOG)";
    default: return "failed";
  }
}

int Restore(const bkrtool::Args& all) {
  const bkrtool::Args args = bkrtool::WithoutJson(all);
  if (const int bad = CheckKey(args, 3, "restore [--json] NAME VERSION GENERATION")) return bad;
  std::uint32_t result;
  {
    const bkrtool::LibraryProgress progress("restore", 2);
    result = vskAPIRestore(args[0].c_str(), args[1].c_str(), args[2].c_str());
  }
  if (bkrtool::JsonOutput())
    return bkrtool::PrintJson(KeyJson(args).Unsigned("result", result).Text("resultText", RestoreResultText(result)),
                              static_cast<int>(result), RestoreResultText(result));
  std::printf("%s %s %s: %s (result %u)\n", args[0].c_str(), args[1].c_str(), args[2].c_str(),
              RestoreResultText(result), result);
  return static_cast<int>(result);
}

}  // namespace

// An empty management file for a fresh backup root: making a backup never
// creates one. An existing file is never touched.
int InitManagementFile(const std::string& root) {
  if (!::CreateDirectoryA(root.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
    return bkrtool::Fail("cannot create the backup root " + root);
  const std::string path = root + "\\" + kBkmnFileName;
  const bk::win::SharedFileLock lock(kBkmnFileName, kVskCategory);
  const int fd = ::_open(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    if (errno == EEXIST) return bkrtool::Fail(path + " exists already; it is left as it is");
    return bkrtool::Fail("cannot create " + path + " (errno " + std::to_string(errno) + ")");
  }
  const unsigned char header[kBkmnHeaderSize] = {0, 0};
  const bool written = ::_write(fd, header, sizeof header) == static_cast<int>(sizeof header);
  if (::_close(fd) != 0 || !written) {
    ::_unlink(path.c_str());
    return bkrtool::Fail("cannot write " + path);
  }
  if (bkrtool::JsonOutput()) return bkrtool::PrintJson(bkrtool::JsonObject().Text("created", path), 0);
  std::printf("created %s (no backups)\n", path.c_str());
  return 0;
}

BKR_COMMAND("backup", "[--json] NAME VERSION GENERATION PATH",
            "back up PATH for a resource through the service (vskAPIBackup) and show what was saved", Backup);
BKR_COMMAND("restore", "[--json] NAME VERSION GENERATION",
            "restore the backup of a resource through the service (vskAPIRestore); the exit code is its result",
            Restore);

// bkrtool verify: the check the restore makes before it changes anything,
// on an archive file or on the archive of a resource's backup. Reads the
// archive (plain or encoded, current or legacy layout) to its end and never
// writes it. A backup's archive (or a file named BACKRSC with a BACKSUM beside
// it) is compared with its content checksums as well.
#include <windows.h>

#include <cstdio>
#include <string>
#include <utility>

#include "archive/ar_extract.h"
#include "command.h"
#include "progress.h"
#include "environment/env.h"
#include "service/backup_sums.h"
#include "service/install_list.h"

// The backup directory of a key from BACKMNG, empty when none (cmd_service.cpp).
std::string BackupDirectoryOf(const std::string& name, const std::string& version, const std::string& generation);

namespace {

// Progress of the check: one entry more.
void CountEntry(void* context, const char*, bool) {
  auto* counted = static_cast<std::pair<bkrtool::ConsoleProgress*, std::uint64_t>*>(context);
  counted->first->Update(++counted->second, 0);
}

bool Exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// What the tool checks: the archive, and the backup directory whose BACKSUM
// applies (empty: none).
struct Target {
  std::string archive, directory;
};

// The folder of a file named BACKRSC, else empty.
std::string BackupFolderOf(const std::string& archive) {
  const std::size_t slash = archive.find_last_of("\\/");
  const std::string name = slash == std::string::npos ? archive : archive.substr(slash + 1);
  if (_stricmp(name.c_str(), kBackRscFileName) != 0) return "";
  return slash == std::string::npos ? std::string(".") : archive.substr(0, slash);
}

// Prints the outcome; returns the exit code (0 sound, 1 defective).
int Print(bool json, const Target& t, int rc, const VskArVerifyReport& report, const char* checksums) {
  const char* layout = report.legacy ? "legacy" : "current";
  const int exitCode = rc == 0 ? 0 : 1;
  if (json) {
    bkrtool::JsonObject o;
    o.Text("file", t.archive).Bool("sound", rc == 0).Number("result", rc).Bool("encoded", report.encoded)
        .Text("layout", layout).Text("checksums", checksums).Unsigned("entries", report.entries)
        .Unsigned("files", report.files).Unsigned("directories", report.directories)
        .Unsigned("contentBytes", report.contentBytes);
    if (rc == 0)
      o.Null("defect");
    else
      o.Text("defect", report.firstDefect);
    return bkrtool::PrintJson(o, exitCode, std::string("defective: ") + report.firstDefect);
  }
  if (rc == 0) {
    std::printf("%s: sound (%s layout%s, checksums %s): %lu entries, %lu files, %lu directories, %llu content bytes\n",
                t.archive.c_str(), layout, report.encoded ? ", encoded" : "", checksums,
                static_cast<unsigned long>(report.entries), static_cast<unsigned long>(report.files),
                static_cast<unsigned long>(report.directories), static_cast<unsigned long long>(report.contentBytes));
  } else {
    std::printf("%s: defective (result %d): %s\n", t.archive.c_str(), rc, report.firstDefect);
  }
  return exitCode;
}

int Verify(const bkrtool::Args& args) {
  bkrtool::Parsed p;
  std::string error;
  if (!bkrtool::Parse(args, {}, {"json"}, p, error)) return bkrtool::Fail(error);
  Target t;
  if (p.positional.size() == 1) {
    t.archive = p.positional[0];
    t.directory = BackupFolderOf(t.archive);
  } else if (p.positional.size() == 3) {
    t.directory = BackupDirectoryOf(p.positional[0], p.positional[1], p.positional[2]);
    if (t.directory.empty())
      return bkrtool::Fail("no backup of " + p.positional[0] + " " + p.positional[1] + " " + p.positional[2]);
    t.archive = t.directory + "\\" + kBackRscFileName;
  } else {
    return bkrtool::Fail("usage: bkrtool verify [--json] ARCHIVE | NAME VERSION GENERATION");
  }
  bk::ar::ArchiveSums sums;
  std::string why;
  const int read = t.directory.empty() ? 1 : vskReadBackupSums(t.directory.c_str(), &sums, &why);
  VskArVerifyReport report;
  if (read == 2) {
    std::snprintf(report.firstDefect, sizeof report.firstDefect, "%s", why.c_str());
    return Print(p.Has("json"), t, -1, report, "damaged");
  }
  if (p.positional.size() == 3 && !Exists(t.archive)) {
    if (read == 0 && sums.hasArchive) {
      std::snprintf(report.firstDefect, sizeof report.firstDefect, "BACKRSC is missing, BACKSUM describes one");
      return Print(p.Has("json"), t, -1, report, "unmatched");
    }
    if (bkrtool::JsonOutput())
      return bkrtool::PrintJson(bkrtool::JsonObject().Text("directory", t.directory).Null("file").Bool("sound", true), 0);
    std::printf("%s: no archive (no listed path existed at backup time)\n", t.directory.c_str());
    return 0;
  }
  vskEnvLoad();
  int rc;
  {
    bkrtool::ConsoleProgress progress("verify", read == 0 ? sums.entryCrcs.size() : 0, 0);
    std::pair<bkrtool::ConsoleProgress*, std::uint64_t> counted(&progress, 0);
    rc = vskarCheckArchive(t.archive.c_str(), read == 0 ? &sums : nullptr, CountEntry, &counted, &report);
  }
  vskEnvRelease();
  return Print(p.Has("json"), t, rc, report, read != 0 ? "none" : rc == 0 ? "matched" : "unmatched");
}

}  // namespace

BKR_COMMAND("verify", "[--json] ARCHIVE | NAME VERSION GENERATION",
            "check that an archive (plain or encoded), or a backup's archive, decodes and walks cleanly to its end "
            "and matches the backup's content checksums; exit 0 sound, 1 defective",
            Verify);

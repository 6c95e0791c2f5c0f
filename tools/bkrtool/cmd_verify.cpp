// bkrtool verify: the check the restore makes before it changes anything,
// on an archive file or on the archive of a resource's backup. Reads the
// archive (plain or encoded, current or legacy layout) to its end and never
// writes it.
#include <windows.h>

#include <cstdio>
#include <string>

#include "archive/ar_extract.h"
#include "command.h"
#include "environment/env.h"

// The backup directory of a key from BACKMNG, empty when none (cmd_service.cpp).
std::string BackupDirectoryOf(const std::string& name, const std::string& version, const std::string& generation);

namespace {

int Verify(const bkrtool::Args& args) {
  bkrtool::Parsed p;
  std::string error;
  if (!bkrtool::Parse(args, {}, {"json"}, p, error)) return bkrtool::Fail(error);
  std::string path;
  if (p.positional.size() == 1) {
    path = p.positional[0];
  } else if (p.positional.size() == 3) {
    const std::string directory = BackupDirectoryOf(p.positional[0], p.positional[1], p.positional[2]);
    if (directory.empty())
      return bkrtool::Fail("no backup of " + p.positional[0] + " " + p.positional[1] + " " + p.positional[2]);
    path = directory + "\\BACKRSC";
    if (::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
      if (bkrtool::JsonOutput())
        return bkrtool::PrintJson(bkrtool::JsonObject().Text("directory", directory).Null("file").Bool("sound", true), 0);
      std::printf("%s: no archive (no listed path existed at backup time)\n", directory.c_str());
      return 0;
    }
  } else {
    return bkrtool::Fail("usage: bkrtool verify [--json] ARCHIVE | NAME VERSION GENERATION");
  }
  vskEnvLoad();
  VskArVerifyReport report;
  const int rc = vskarVerifyArchive(path.c_str(), &report);
  vskEnvRelease();
  const char* layout = report.legacy ? "legacy" : "current";
  if (p.Has("json")) {
    std::printf(
        "{\"file\":%s,\"sound\":%s,\"result\":%d,\"encoded\":%s,\"layout\":\"%s\",\"entries\":%lu,\"files\":%lu,"
        "\"directories\":%lu,\"contentBytes\":%llu,\"defect\":%s%s\n",
        bkrtool::JsonString(path).c_str(), rc == 0 ? "true" : "false", rc, report.encoded ? "true" : "false", layout,
        static_cast<unsigned long>(report.entries), static_cast<unsigned long>(report.files),
        static_cast<unsigned long>(report.directories), static_cast<unsigned long long>(report.contentBytes),
        rc == 0 ? "null" : bkrtool::JsonString(report.firstDefect).c_str(),
        bkrtool::JsonEnd(rc == 0 ? 0 : 1, std::string("defective: ") + report.firstDefect).c_str());
  } else if (rc == 0) {
    std::printf("%s: sound (%s layout%s): %lu entries, %lu files, %lu directories, %llu content bytes\n", path.c_str(),
                layout, report.encoded ? ", encoded" : "", static_cast<unsigned long>(report.entries),
                static_cast<unsigned long>(report.files), static_cast<unsigned long>(report.directories),
                static_cast<unsigned long long>(report.contentBytes));
  } else {
    std::printf("%s: defective (result %d): %s\n", path.c_str(), rc, report.firstDefect);
  }
  return rc == 0 ? 0 : 1;
}

}  // namespace

BKR_COMMAND("verify", "[--json] ARCHIVE | NAME VERSION GENERATION",
            "check that an archive (plain or encoded), or a backup's archive, decodes and walks cleanly to its end; "
            "exit 0 sound, 1 defective",
            Verify);

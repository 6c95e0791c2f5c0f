// bkrtool verify: the check the restore makes before it changes anything.
// Reads the archive (plain or encoded, current or legacy layout) to its end
// and never writes it.
#include <cstdio>
#include <string>

#include "archive/ar_extract.h"
#include "command.h"
#include "environment/env.h"

namespace {

int Verify(const bkrtool::Args& args) {
  bkrtool::Parsed p;
  std::string error;
  if (!bkrtool::Parse(args, {}, {"json"}, p, error)) return bkrtool::Fail(error);
  if (p.positional.size() != 1) return bkrtool::Fail("usage: bkrtool verify [--json] ARCHIVE");
  const std::string& path = p.positional[0];
  vskEnvLoad();
  VskArVerifyReport report;
  const int rc = vskarVerifyArchive(path.c_str(), &report);
  vskEnvRelease();
  const char* layout = report.legacy ? "legacy" : "current";
  if (p.Has("json")) {
    std::printf(
        "{\"file\":%s,\"sound\":%s,\"result\":%d,\"encoded\":%s,\"layout\":\"%s\",\"entries\":%lu,\"files\":%lu,"
        "\"directories\":%lu,\"contentBytes\":%llu,\"defect\":%s}\n",
        bkrtool::JsonString(path).c_str(), rc == 0 ? "true" : "false", rc, report.encoded ? "true" : "false", layout,
        static_cast<unsigned long>(report.entries), static_cast<unsigned long>(report.files),
        static_cast<unsigned long>(report.directories), static_cast<unsigned long long>(report.contentBytes),
        rc == 0 ? "null" : bkrtool::JsonString(report.firstDefect).c_str());
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

BKR_COMMAND("verify", "[--json] ARCHIVE",
            "check that an archive (plain or encoded) decodes and walks cleanly to its end; exit 0 sound, 1 defective",
            Verify);

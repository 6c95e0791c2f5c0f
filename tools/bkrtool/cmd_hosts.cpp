// hosts: the servers recorded in HOSTSYS (host text, service, directory). It
// only reads the file.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "environment/env.h"
#include "field_text.h"
#include "file_bytes.h"
#include "multiserver/multiserver.h"

namespace {

int Hosts(const bkrtool::Args& args) {
  bkrtool::Parsed p;
  std::string error;
  if (!bkrtool::Parse(args, {"file"}, {"json"}, p, error)) return bkrtool::Fail(error);
  if (!p.positional.empty()) return bkrtool::Fail("usage: bkrtool hosts [--file HOSTSYS] [--json]");
  std::string path = p.Value("file");
  if (path.empty()) {
    vskEnvLoad();
    VskPath configured;
    vskEnvGetHostsysPath(configured);
    vskEnvRelease();
    path = configured;
  }
  std::vector<unsigned char> bytes;
  if (!bkrtool::ReadWholeFile(path, bytes, error)) return bkrtool::Fail(error);
  const std::size_t count = bytes.size() / kHostsysRecordSize, tail = bytes.size() % kHostsysRecordSize;
  const bool json = p.Has("json");
  std::string o = "{\"file\":" + bkrtool::JsonString(path) + ",\"hosts\":[";
  if (!json) std::printf("%-10s %-8s %s\n", "directory", "service", "host");
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* r = bytes.data() + i * kHostsysRecordSize;
    const std::string host = bkrtool::FieldText(r + kHostsysHost, kHostsysHostWidth);
    const std::string dir = bkrtool::FieldText(r + kHostsysDir, kHostsysDirWidth);
    const unsigned kind = r[kHostsysKind];
    const std::string service = kind == kHostsysKindOther ? "orlavsw" : "orlavs";
    if (json)
      o += std::string(i ? "," : "") + "{\"host\":" + bkrtool::JsonString(host) + ",\"service\":" +
           bkrtool::JsonString(service) + ",\"kind\":" + std::to_string(kind) + ",\"directory\":" +
           bkrtool::JsonString(dir) + "}";
    else
      std::printf("%-10s %-8s %s\n", dir.c_str(), service.c_str(), host.c_str());
  }
  const std::string problem =
      tail == 0 ? std::string() : path + ": " + std::to_string(tail) + " bytes after the last whole record";
  const int exitCode = problem.empty() ? 0 : 1;
  if (json) std::printf("%s],\"leftover\":%zu%s\n", o.c_str(), tail, bkrtool::JsonEnd(exitCode, problem).c_str());
  if (!problem.empty()) std::fprintf(stderr, "bkrtool: %s\n", problem.c_str());
  return exitCode;
}

}  // namespace

BKR_COMMAND("hosts", "[--file HOSTSYS] [--json]",
            "list the servers of the host management file HOSTSYS: directory, service, host (read only)", Hosts);

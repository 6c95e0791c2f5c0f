// files: asks the service which files a stored resource package holds
// (vskAPIGetResourceFileName) and prints its result and the list written.
#include <cstdio>
#include <string>
#include <vector>

#include "bkrestore/bkrestore.h"
#include "command.h"
#include "file_bytes.h"
#include "list_records.h"

namespace {

int Files(const bkrtool::Args& args) {
  bkrtool::Parsed p;
  std::string error;
  if (!bkrtool::Parse(args, {}, {"json"}, p, error)) return bkrtool::Fail(error);
  if (p.positional.size() != 4) return bkrtool::Fail("usage: bkrtool files [--json] NAME VERSION GENERATION OUT");
  const std::string& out = p.positional[3];
  const std::uint32_t result = vskAPIGetResourceFileName(p.positional[0].c_str(), p.positional[1].c_str(),
                                                         p.positional[2].c_str(), out.c_str());
  const char* meaning =
      result == 0 ? "list written" : result == 1 ? "no such resource" : "failed (see CLIENT.LOG)";
  std::vector<unsigned char> bytes;
  const bool read = result == 0 && bkrtool::ReadWholeFile(out, bytes, error);
  if (bkrtool::JsonOutput()) {
    bkrtool::JsonObject o;
    o.Unsigned("result", result).Text("resultText", meaning);
    o.Json("list", read ? bkrtool::ListRecordsJson(out, bytes) + "}" : "null");
    return bkrtool::PrintJson(o, static_cast<int>(result), meaning);
  }
  std::printf("result %u (%s)\n", result, meaning);
  std::fflush(stdout);
  if (read) bkrtool::PrintListRecords(out, bytes);
  return static_cast<int>(result);
}

}  // namespace

BKR_COMMAND("files", "[--json] NAME VERSION GENERATION OUT",
            "write the file list of a stored resource (vskAPIGetResourceFileName) to OUT and print it; "
            "exit code = its result",
            Files);

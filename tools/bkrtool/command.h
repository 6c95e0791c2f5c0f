#pragma once
// Commands of bkrtool. Each command lives in its own file and registers itself
// with BKR_COMMAND; main() dispatches on the first argument.
#include <string>
#include <vector>

#include "json.h"

namespace bkrtool {

using Args = std::vector<std::string>;
using CommandFn = int (*)(const Args& args);

struct Command {
  const char* name;
  const char* usage;    // arguments, shown in the help
  const char* summary;  // one line
  CommandFn run;
};

void Register(const Command& command);
const std::vector<Command>& Commands();

// Prints "bkrtool: <message>" on stderr (and under --json the object with
// the message as "error" on stdout) and returns exit code 2 (bad use or
// unusable input), the convention of all commands.
int Fail(const std::string& message);

// Splits options of the form --name / --name=value / --name value (for the
// names in `withValue`) from positional arguments.
struct Parsed {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;
  bool Has(const std::string& name) const;
  std::string Value(const std::string& name, const std::string& fallback = "") const;
};
bool Parse(const Args& args, const std::vector<std::string>& withValue,
           const std::vector<std::string>& flags, Parsed& out, std::string& error);

// The arguments without "--json" (which main() has seen already), for the
// commands that take their arguments as they stand.
Args WithoutJson(const Args& args);

struct Registrar {
  explicit Registrar(const Command& command) { Register(command); }
};

}  // namespace bkrtool

#define BKR_COMMAND_CAT2(a, b) a##b
#define BKR_COMMAND_CAT(a, b) BKR_COMMAND_CAT2(a, b)
#define BKR_COMMAND(name, usage, summary, fn) \
  static ::bkrtool::Registrar BKR_COMMAND_CAT(bkr_registrar_, __LINE__)({name, usage, summary, fn})

// bkrtool: the administrator's command-line tool for the backup service's
// files (encoded files, archives, backup roots) and settings.
#include <cstdio>
#include <cstring>

#include "command.h"

namespace bkrtool {

namespace {
std::vector<Command>& Table() {
  static std::vector<Command> table;
  return table;
}

int PrintHelp(int exitCode) {
  if (JsonOutput()) {
    std::string commands = "[";
    for (const Command& c : Commands())
      commands += (commands.size() > 1 ? "," : "") +
                  JsonObject().Text("name", c.name).Text("usage", c.usage).Text("summary", c.summary).Str();
    return PrintJson(JsonObject().Json("commands", commands + "]"), exitCode, exitCode ? "no command given" : "");
  }
  std::printf("usage: bkrtool COMMAND [ARGS]\n       bkrtool --version\n\n"
              "Every command takes --json: its output is then one JSON object (UTF-8) with\n"
              "\"exitCode\" and, on a failure, \"error\".\n\ncommands:\n");
  for (const Command& c : Commands()) std::printf("  %s %s\n      %s\n", c.name, c.usage, c.summary);
  return exitCode;
}

bool IsHelp(const char* argument) {
  return std::strcmp(argument, "help") == 0 || std::strcmp(argument, "--help") == 0 ||
         std::strcmp(argument, "-h") == 0;
}
}  // namespace

void Register(const Command& command) { Table().push_back(command); }
const std::vector<Command>& Commands() { return Table(); }

int Fail(const std::string& message) {
  std::fprintf(stderr, "bkrtool: %s\n", message.c_str());
  if (JsonOutput()) PrintJson(JsonObject(), 2, message);
  return 2;
}

bool Parsed::Has(const std::string& name) const {
  for (const auto& o : options)
    if (o.first == name) return true;
  return false;
}

std::string Parsed::Value(const std::string& name, const std::string& fallback) const {
  for (const auto& o : options)
    if (o.first == name) return o.second;
  return fallback;
}

Args WithoutJson(const Args& args) {
  Args rest;
  for (const std::string& a : args)
    if (a != "--json") rest.push_back(a);
  return rest;
}

bool Parse(const Args& args, const std::vector<std::string>& withValue,
           const std::vector<std::string>& flags, Parsed& out, std::string& error) {
  auto known = [](const std::vector<std::string>& list, const std::string& name) {
    for (const auto& n : list)
      if (n == name) return true;
    return false;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 3 || a.compare(0, 2, "--") != 0) {
      out.positional.push_back(a);
      continue;
    }
    std::string name = a.substr(2), value;
    const std::size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (known(flags, name) && eq == std::string::npos) {
      out.options.emplace_back(name, "");
    } else if (known(withValue, name)) {
      if (eq == std::string::npos) {
        if (i + 1 >= args.size()) {
          error = "option --" + name + " needs a value";
          return false;
        }
        value = args[++i];
      }
      out.options.emplace_back(name, value);
    } else {
      error = "unknown option " + a;
      return false;
    }
  }
  return true;
}

}  // namespace bkrtool

int main(int argc, char** argv) {
  using namespace bkrtool;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--json") == 0) SetJsonOutput(true);
  if (argc < 2 || IsHelp(argv[1])) return PrintHelp(argc < 2 ? 2 : 0);
  if (std::strcmp(argv[1], "--version") == 0) {
    if (JsonOutput()) return PrintJson(JsonObject().Text("version", BK_VERSION), 0);
    std::printf("bkrtool %s\n", BK_VERSION);
    return 0;
  }
  for (const Command& c : Commands()) {
    if (std::strcmp(c.name, argv[1]) == 0) return c.run(Args(argv + 2, argv + argc));
  }
  return Fail(std::string("unknown command '") + argv[1] + "' (try bkrtool help)");
}

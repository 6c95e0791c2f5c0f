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

void PrintHelp() {
  std::printf("usage: bkrtool COMMAND [ARGS]\n       bkrtool --version\n\ncommands:\n");
  for (const Command& c : Commands()) std::printf("  %s %s\n      %s\n", c.name, c.usage, c.summary);
}
}  // namespace

void Register(const Command& command) { Table().push_back(command); }
const std::vector<Command>& Commands() { return Table(); }

int Fail(const std::string& message) {
  std::fprintf(stderr, "bkrtool: %s\n", message.c_str());
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

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace bkrtool

int main(int argc, char** argv) {
  using namespace bkrtool;
  if (argc < 2 || std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0) {
    PrintHelp();
    return argc < 2 ? 2 : 0;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("bkrtool %s\n", BK_VERSION);
    return 0;
  }
  for (const Command& c : Commands()) {
    if (std::strcmp(c.name, argv[1]) == 0) return c.run(Args(argv + 2, argv + argc));
  }
  return Fail(std::string("unknown command '") + argv[1] + "' (try bkrtool help)");
}

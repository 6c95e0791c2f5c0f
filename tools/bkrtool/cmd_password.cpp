// scramble-password: produces the stored form of the dial-up password that an
// administrator puts into the registry value "RasLoginPassword".
#include <cstdio>
#include <random>
#include <string>

#include "command.h"
#include "environment/password_scramble.h"

namespace {

// The one argument beside --json, taken as it stands (a password may begin
// with "--"); false when there is not exactly one.
bool OneArgument(const bkrtool::Args& args, std::string& value) {
  const bkrtool::Args rest = bkrtool::WithoutJson(args);
  if (rest.size() != 1) return false;
  value = rest[0];
  return true;
}

int Print(const char* name, const char* value) {
  if (bkrtool::JsonOutput()) return bkrtool::PrintJson(bkrtool::JsonObject().Text(name, value), 0);
  std::printf("%s\n", value);
  return 0;
}

int ScramblePassword(const bkrtool::Args& args) {
  std::string password;
  if (!OneArgument(args, password)) return bkrtool::Fail("usage: bkrtool scramble-password [--json] PASSWORD");
  std::random_device random;
  const auto seed = static_cast<unsigned char>(random() & 0xFFu);
  char stored[2 * bk::kMaxPasswordLength + 8];
  if (!bk::ScramblePassword(password.c_str(), seed, stored, sizeof stored))
    return bkrtool::Fail("the password must have 1 to 29 characters");
  return Print("stored", stored);
}

int UnscramblePassword(const bkrtool::Args& args) {
  std::string stored;
  if (!OneArgument(args, stored)) return bkrtool::Fail("usage: bkrtool unscramble-password [--json] STORED");
  char plain[bk::kMaxPasswordLength + 1];
  if (!bk::UnscramblePassword(stored.c_str(), plain, sizeof plain)) return bkrtool::Fail("not a stored password");
  return Print("password", plain);
}

}  // namespace

BKR_COMMAND("scramble-password", "[--json] PASSWORD",
            "print the stored form of a dial-up password for the value RasLoginPassword", ScramblePassword);
BKR_COMMAND("unscramble-password", "[--json] STORED", "check a stored dial-up password and print it",
            UnscramblePassword);

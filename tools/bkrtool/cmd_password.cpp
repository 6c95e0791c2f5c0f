// scramble-password: produces the stored form of the dial-up password that an
// administrator puts into the registry value "RasLoginPassword".
#include <cstdio>
#include <random>

#include "command.h"
#include "environment/password_scramble.h"

namespace {

int ScramblePassword(const bkrtool::Args& args) {
  if (args.size() != 1) return bkrtool::Fail("usage: bkrtool scramble-password PASSWORD");
  std::random_device random;
  const auto seed = static_cast<unsigned char>(random() & 0xFFu);
  char stored[2 * bk::kMaxPasswordLength + 8];
  if (!bk::ScramblePassword(args[0].c_str(), seed, stored, sizeof stored))
    return bkrtool::Fail("the password must have 1 to 29 characters");
  std::printf("%s\n", stored);
  return 0;
}

int UnscramblePassword(const bkrtool::Args& args) {
  if (args.size() != 1) return bkrtool::Fail("usage: bkrtool unscramble-password STORED");
  char plain[bk::kMaxPasswordLength + 1];
  if (!bk::UnscramblePassword(args[0].c_str(), plain, sizeof plain))
    return bkrtool::Fail("not a stored password");
  std::printf("%s\n", plain);
  return 0;
}

}  // namespace

BKR_COMMAND("scramble-password", "PASSWORD",
            "print the stored form of a dial-up password for the value RasLoginPassword", ScramblePassword);
BKR_COMMAND("unscramble-password", "STORED", "check a stored dial-up password and print it",
            UnscramblePassword);

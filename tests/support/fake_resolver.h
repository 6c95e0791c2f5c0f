#pragma once
// A name service for the host tests: a fixed table of hosts in place of the
// machine's resolver (whose answers a test machine cannot promise).
#include <winsock2.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "tcp/tcp.h"

namespace bk::test {

struct FakeHost {
  std::string name, address;
};

struct FakeResolverState {
  std::string myName = "testpc";
  std::vector<FakeHost> hosts;
  int byName = 0, byAddr = 0;  // calls
  // storage of the last answer
  std::string name;
  in_addr address{};
  char* addresses[2] = {};
  char* aliases[1] = {};
  hostent entry{};
};
inline FakeResolverState& FakeResolver() {
  static FakeResolverState state;
  return state;
}

inline hostent* FakeAnswer(const FakeHost& h) {
  FakeResolverState& s = FakeResolver();
  s.name = h.name;
  s.address.s_addr = ::inet_addr(h.address.c_str());
  s.addresses[0] = reinterpret_cast<char*>(&s.address);
  s.addresses[1] = nullptr;
  s.aliases[0] = nullptr;
  s.entry.h_name = const_cast<char*>(s.name.c_str());
  s.entry.h_aliases = s.aliases;
  s.entry.h_addrtype = AF_INET;
  s.entry.h_length = 4;
  s.entry.h_addr_list = s.addresses;
  return &s.entry;
}

inline int WSAAPI FakeGetHostName(char* out, int length) {
  bk::CopyText(out, static_cast<std::size_t>(length), FakeResolver().myName.c_str());
  return 0;
}
inline hostent* WSAAPI FakeGetHostByName(const char* name) {
  FakeResolverState& s = FakeResolver();
  ++s.byName;
  for (const FakeHost& h : s.hosts)
    if (bk::EqualsIgnoreCase(h.name.c_str(), name)) return FakeAnswer(h);
  return nullptr;
}
inline hostent* WSAAPI FakeGetHostByAddr(const char* address, int length, int) {
  FakeResolverState& s = FakeResolver();
  ++s.byAddr;
  if (length != 4) return nullptr;
  in_addr wanted;
  std::memcpy(&wanted, address, 4);
  for (const FakeHost& h : s.hosts)
    if (::inet_addr(h.address.c_str()) == wanted.s_addr) return FakeAnswer(h);
  return nullptr;
}
inline int WSAAPI FakeLastError() { return WSAHOST_NOT_FOUND; }

// Installs the table for the scope: this machine "testpc" at 192.0.2.10,
// srv1.example 10.0.0.1, srv2.example 10.0.0.2.
class FakeResolverScope {
 public:
  FakeResolverScope() {
    FakeResolverState& s = FakeResolver();
    s = FakeResolverState();
    s.hosts = {{"testpc", "192.0.2.10"}, {"srv1.example", "10.0.0.1"}, {"srv2.example", "10.0.0.2"},
               {"localhost", "127.0.0.1"}};
    bk::tcp::Resolver& r = bk::tcp::ResolverTable();
    r.gethostname = FakeGetHostName;
    r.gethostbyname = FakeGetHostByName;
    r.gethostbyaddr = FakeGetHostByAddr;
    r.lastError = FakeLastError;
  }
  ~FakeResolverScope() { bk::tcp::ResetResolver(); }
  FakeResolverScope(const FakeResolverScope&) = delete;
  FakeResolverScope& operator=(const FakeResolverScope&) = delete;
};

}  // namespace bk::test

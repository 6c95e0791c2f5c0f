#pragma once
// Security attributes with a present but empty (null) access list, so that
// every user and terminal session may open a named object created with them.
// Lives on the caller's stack and reports no failure of its own: code that
// must not log (the log writer itself) uses it.
#include <windows.h>

namespace bk::win {

class OpenSecurity {
 public:
  OpenSecurity() noexcept {
    valid_ = ::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
             ::SetSecurityDescriptorDacl(&descriptor_, TRUE, nullptr, FALSE);
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = TRUE;
  }
  OpenSecurity(const OpenSecurity&) = delete;
  OpenSecurity& operator=(const OpenSecurity&) = delete;

  // Null (default security) when the descriptor could not be built.
  SECURITY_ATTRIBUTES* get() noexcept { return valid_ ? &attributes_ : nullptr; }

 private:
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool valid_ = false;
};

}  // namespace bk::win

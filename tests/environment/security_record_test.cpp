// The open security record for named kernel objects.
#include "environment/security_record.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/unique_handle.h"

namespace {

// The access list an object carries: true when present and null.
bool HasNullDacl(HANDLE object) {
  DWORD needed = 0;
  ::GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  std::vector<unsigned char> descriptor(needed);
  if (needed == 0 || !::GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed))
    return false;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  return ::GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) && present && dacl == nullptr;
}

TEST(SecurityRecord, TwoRecordsMakeTwoObjectsOpenToEverybody) {
  SECURITY_ATTRIBUTES first{}, second{};
  ASSERT_EQ(vskSetSecurity(&first), 1);
  ASSERT_EQ(vskSetSecurity(&second), 1);
  EXPECT_EQ(first.nLength, sizeof first);
  EXPECT_TRUE(first.bInheritHandle);
  EXPECT_NE(first.lpSecurityDescriptor, second.lpSecurityDescriptor);
  EXPECT_TRUE(::IsValidSecurityDescriptor(first.lpSecurityDescriptor));

  bk::win::unique_handle a(::CreateMutexA(&first, FALSE, "Global\\BkSecurityRecordA"));
  bk::win::unique_handle b(::CreateEventA(&second, TRUE, FALSE, "Global\\BkSecurityRecordB"));
  ASSERT_TRUE(a);
  ASSERT_TRUE(b);
  EXPECT_TRUE(HasNullDacl(a.get()));
  EXPECT_TRUE(HasNullDacl(b.get()));
  DWORD flags = 0;
  ASSERT_TRUE(::GetHandleInformation(a.get(), &flags));
  EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT);

  vskReleaseSecurity(&first);
  vskReleaseSecurity(&second);
  EXPECT_EQ(first.lpSecurityDescriptor, nullptr);
  vskReleaseSecurity(&first);  // releasing twice is harmless
}

TEST(SecurityRecord, NoRecordNoDescriptor) { EXPECT_EQ(vskSetSecurity(nullptr), 0); }

}  // namespace

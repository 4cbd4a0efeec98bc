// Security descriptors: built from their parts and from SDDL text.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/advapi/advapi.h"

namespace {

TEST(SecurityDescriptors, ANullDaclDescriptorIsBuiltAsTheLibrariesBuildIt) {
  SECURITY_DESCRIPTOR sd;
  std::memset(&sd, 0xCC, sizeof sd);
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_EQ(sd.Revision, 1);
  EXPECT_EQ(sd.Dacl, nullptr);
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
  EXPECT_EQ(sd.Control & SE_DACL_PRESENT, SE_DACL_PRESENT);
  EXPECT_TRUE(IsValidSecurityDescriptor(&sd));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &sd, FALSE};
  HANDLE mutex = CreateMutexA(&attributes, FALSE, "zek-test-sd");  // accepted, not enforced
  EXPECT_NE(mutex, nullptr);
  CloseHandle(mutex);
  EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
  EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_REVISION);
  EXPECT_FALSE(SetSecurityDescriptorDacl(nullptr, TRUE, nullptr, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

struct SddlCase {
  const char* text;
  DWORD error;  // 0: converts
};

TEST(SecurityDescriptors, SddlTextIsConvertedOrRefusedWithItsError) {
  const SddlCase cases[] = {
      {"D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GRGWGX;;;AU)(A;OICI;GA;;;BA)", 0},
      {"O:BAG:SYD:PAI(A;;0x1F0001;;;WD)S:(AU;SAFA;GA;;;WD)", 0},
      {"D:(A;;GA;;;S-1-5-21-1-2-3-500)", 0},
      {"D:NO_ACCESS_CONTROL", 0},
      {"", 0},
      {"D:(A;;GA;;;XX)", ERROR_NONE_MAPPED},
      {"D:(A;;GA;;BA)", ERROR_INVALID_PARAMETER},
      {"D:(Q;;GA;;;BA)", ERROR_INVALID_PARAMETER},
      {"D:(A;ZZ;GA;;;BA)", ERROR_INVALID_PARAMETER},
      {"D:(A;;GQ;;;BA)", ERROR_INVALID_PARAMETER},
      {"D:(A;;GA;;;BA", ERROR_INVALID_PARAMETER},
      {"X:(A;;GA;;;BA)", ERROR_INVALID_PARAMETER},
      {"D:(A;;GA;;;S-1-)", ERROR_INVALID_PARAMETER},
      {"D:(A;;GA;;;BA)D:(A;;GA;;;BA)", ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG size = 0;
    const BOOL ok = ConvertStringSecurityDescriptorToSecurityDescriptorA(c.text, SDDL_REVISION_1, &sd, &size);
    if (c.error == 0) {
      ASSERT_TRUE(ok) << c.text << " error " << GetLastError();
      EXPECT_GE(size, 20u) << c.text;
      EXPECT_TRUE(IsValidSecurityDescriptor(sd)) << c.text;
      EXPECT_EQ(LocalFree(sd), nullptr);
    } else {
      EXPECT_FALSE(ok) << c.text;
      EXPECT_EQ(GetLastError(), c.error) << c.text;
    }
  }
  PSECURITY_DESCRIPTOR sd = nullptr;
  EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:", 2, &sd, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_REVISION);
}

TEST(SecurityDescriptors, TheDaclOfAConvertedDescriptorHoldsItsAces) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ULONG size = 0;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(D;;GA;;;AN)(A;OICI;GA;;;BA)", SDDL_REVISION_1,
                                                                   &sd, &size));
  const auto* bytes = static_cast<const BYTE*>(sd);
  WORD control;
  DWORD dacl;
  std::memcpy(&control, bytes + 2, 2);
  std::memcpy(&dacl, bytes + 16, 4);
  EXPECT_EQ(control & (SE_SELF_RELATIVE | SE_DACL_PRESENT), SE_SELF_RELATIVE | SE_DACL_PRESENT);
  ASSERT_GT(dacl, 0u);
  ACL acl;
  std::memcpy(&acl, bytes + dacl, sizeof acl);
  EXPECT_EQ(acl.AceCount, 2);
  EXPECT_EQ(dacl + acl.AclSize, size);
  EXPECT_EQ(bytes[dacl + 8], 1);  // the first ACE denies
  EXPECT_EQ(bytes[dacl + 8 + 1], 0);
  LocalFree(sd);
}

}  // namespace

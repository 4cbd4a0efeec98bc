// The host registry: the store and its file, and the driver routines.
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tests/support/io_fixture.h"

namespace {

constexpr char16_t kComputerName[] =
    u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";

using Registry = IoTest;

NTSTATUS query_name(ULONG relative_to, const char16_t* path, UNICODE_STRING* out, const char16_t* fallback,
                    ULONG fallback_length) {
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = const_cast<PWSTR>(u"ComputerName");
  table[0].EntryContext = out;
  table[0].DefaultType = REG_SZ;
  table[0].DefaultData = const_cast<char16_t*>(fallback);
  table[0].DefaultLength = fallback_length;
  return RtlQueryRegistryValues(relative_to, path, table, nullptr, nullptr);
}

TEST_F(Registry, TheComputerNameIsReadDirectlyWhateverTheCaseOfItsKey) {
  registry_->set_string(kComputerName, u"ComputerName", u"HOSTA");
  UNICODE_STRING name{};
  ASSERT_EQ(query_name(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                       u"\\registry\\machine\\system\\currentcontrolset\\control\\computername\\activecomputername",
                       &name, u"", 64),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(name.Buffer, name.Length / 2), u"HOSTA");
  RtlFreeUnicodeString(&name);
}

TEST_F(Registry, AnOptionalMissingKeyGivesTheDefaultReadOnlyToItsEnd) {
  UNICODE_STRING name{};
  // The default claims 64 bytes of a 2-byte string: only the string is taken.
  ASSERT_EQ(query_name(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, u"\\Registry\\Machine\\Nowhere", &name, u"", 64),
            STATUS_SUCCESS);
  EXPECT_EQ(name.Length, 0);
  RtlFreeUnicodeString(&name);
  EXPECT_EQ(query_name(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Nowhere", &name, u"", 64),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Registry, DirectValuesFillCallerBuffersAndRequiredOnesMustExist) {
  registry_->set_string(u"\\Registry\\Machine\\Software\\Zek", u"Text", u"a longer text");
  registry_->set_dword(u"\\Registry\\Machine\\Software\\Zek", u"Number", 42);
  WCHAR small[4];
  UNICODE_STRING text{0, sizeof small, small};
  ULONG number = 0;
  RTL_QUERY_REGISTRY_TABLE table[3] = {};
  table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"number"), &number, REG_NONE, nullptr, 0};
  table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"TEXT"), &text, REG_NONE, nullptr, 0};
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Software\\Zek", table, nullptr, nullptr),
      STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(number, 42u);
  table[1] = {nullptr,
              RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED,
              const_cast<PWSTR>(u"Absent"),
              &text,
              REG_NONE,
              nullptr,
              0};
  EXPECT_EQ(
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Software\\Zek", table, nullptr, nullptr),
      STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Registry, ZwQueryValueKeyReportsTheSizeItNeeds) {
  registry_->set_dword(u"\\Registry\\Machine\\Software\\Zek", u"Number", 7);
  UNICODE_STRING path, value;
  RtlInitUnicodeString(&path, u"\\REGISTRY\\MACHINE\\SOFTWARE\\ZEK");
  RtlInitUnicodeString(&value, u"number");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
  ULONG needed = 0;
  unsigned char buffer[64];
  EXPECT_EQ(ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer, 4, &needed), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + 4);
  EXPECT_EQ(ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer, 13, &needed), STATUS_BUFFER_OVERFLOW);
  ASSERT_EQ(ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer, sizeof buffer, &needed), STATUS_SUCCESS);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  EXPECT_EQ(info->Type, REG_DWORD);
  EXPECT_EQ(info->DataLength, 4u);
  ULONG number;
  std::memcpy(&number, info->Data, 4);
  EXPECT_EQ(number, 7u);
  UNICODE_STRING absent;
  RtlInitUnicodeString(&absent, u"absent");
  EXPECT_EQ(ZwQueryValueKey(key, &absent, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  RtlInitUnicodeString(&path, u"\\Registry\\Machine\\Missing");
  EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(RegistryFile, ValuesSurviveASaveAndLoadWithTheirTypes) {
  auto path = std::filesystem::temp_directory_path() / ("zek-registry-" + std::to_string(getpid()) + ".txt");
  {
    plat::Registry registry(path.string());
    registry.set_string(u"\\Registry\\Machine\\Software\\Zek", u"Name \"quoted\"", u"v\u00e9rt");
    registry.set_dword(u"\\Registry\\Machine\\Software\\Zek", u"Number", 0x1234);
    const std::byte bytes[] = {std::byte{1}, std::byte{0xFF}};
    registry.set(u"\\Registry\\Machine\\Software\\Zek\\Sub", u"Bin", REG_BINARY, bytes);
  }
  plat::Registry registry(path.string());
  std::string error;
  ASSERT_TRUE(registry.load(&error)) << error;
  auto text = registry.get(u"\\REGISTRY\\MACHINE\\SOFTWARE\\ZEK", u"name \"QUOTED\"");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->type, REG_SZ);
  EXPECT_EQ(text->data.size(), 10u);  // four characters and the terminator
  auto number = registry.get(u"\\Registry\\Machine\\Software\\Zek", u"Number");
  ASSERT_TRUE(number);
  EXPECT_EQ(number->type, REG_DWORD);
  auto bin = registry.get(u"\\Registry\\Machine\\Software\\Zek\\Sub", u"Bin");
  ASSERT_TRUE(bin);
  EXPECT_EQ(bin->type, REG_BINARY);
  EXPECT_EQ(bin->data.size(), 2u);
  std::filesystem::remove(path);
  std::filesystem::remove(path.string() + ".lock");
}

TEST(RegistryFile, AMalformedLineIsReportedWithItsPlace) {
  auto path = std::filesystem::temp_directory_path() / ("zek-registry-bad-" + std::to_string(getpid()) + ".txt");
  {
    std::FILE* f = std::fopen(path.c_str(), "w");
    std::fputs("[\\Registry\\Machine\\X]\n\"a\"=nonsense:1\n", f);
    std::fclose(f);
  }
  plat::Registry registry(path.string());
  std::string error;
  EXPECT_FALSE(registry.load(&error));
  EXPECT_NE(error.find(":2:"), std::string::npos) << error;
  std::filesystem::remove(path);
  std::filesystem::remove(path.string() + ".lock");
}

}  // namespace

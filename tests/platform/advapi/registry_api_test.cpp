// The Reg* routines over a host's registry file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/advapi/advapi.h"
#include "platform/common/regstore.h"

namespace {

class RegistryApi : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zek-regapi-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("ZEK_HOST", dir_.c_str(), 1);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zek\\Test", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                              nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key_);
    unsetenv("ZEK_HOST");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::filesystem::path dir_;
  HKEY key_ = nullptr;
};

TEST_F(RegistryApi, ValuesAreSetAndReadBackInBothCharacterWidths) {
  const DWORD number = 0x12345678;
  ASSERT_EQ(RegSetValueExA(key_, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4), ERROR_SUCCESS);
  const char text[] = "h\xc3\xa9llo";  // UTF-8 in, UTF-16 in the store
  ASSERT_EQ(RegSetValueExA(key_, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), ERROR_SUCCESS);
  const BYTE blob[] = {1, 2, 3, 0, 0xFF};
  ASSERT_EQ(RegSetValueExW(key_, u"Blob", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);

  DWORD type = 0, value = 0, size = sizeof value;
  ASSERT_EQ(RegQueryValueExA(key_, "number", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(value, number);
  char narrow[32];
  size = sizeof narrow;
  ASSERT_EQ(RegQueryValueExA(key_, "TEXT", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof text);
  EXPECT_STREQ(narrow, text);
  WCHAR wide[32];
  size = sizeof wide;
  ASSERT_EQ(RegQueryValueExW(key_, u"Text", nullptr, &type, reinterpret_cast<BYTE*>(wide), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 12u);  // five characters and the terminator
  EXPECT_EQ(std::u16string(wide), u"h\u00e9llo");
  BYTE back[8];
  size = sizeof back;
  ASSERT_EQ(RegQueryValueExA(key_, "Blob", nullptr, &type, back, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(std::vector<BYTE>(back, back + size), std::vector<BYTE>(blob, blob + sizeof blob));

  // Another key handle on the same key, opened by another path spelling.
  HKEY again = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\ZEK\\test", 0, KEY_READ, &again), ERROR_SUCCESS);
  size = sizeof value;
  EXPECT_EQ(RegQueryValueExA(again, "Number", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
  RegCloseKey(again);
  // In the file the host's drivers read.
  plat::RegistryStore store((dir_ / "registry.txt").string());
  EXPECT_TRUE(store.get(u"\\Registry\\Machine\\Software\\Zek\\Test", u"Number"));
}

TEST_F(RegistryApi, ASizeQueryAndAShortBufferReportTheSizeNeeded) {
  const char text[] = "twelve chars";
  ASSERT_EQ(RegSetValueExA(key_, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key_, "Text", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof text);
  char small[4] = {'x', 'x', 'x', 'x'};
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key_, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof text);
  EXPECT_EQ(small[0], 'x');  // nothing copied
  EXPECT_EQ(RegQueryValueExA(key_, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(small), nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryApi, BadInputGetsTheErrorWindowsGives) {
  HKEY read_only = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zek\\Test", 0, KEY_READ, &read_only), ERROR_SUCCESS);
  HKEY deleted = nullptr;
  ASSERT_EQ(RegCreateKeyExA(key_, "Doomed", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deleted, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyA(key_, "Doomed"), ERROR_SUCCESS);
  HKEY parent = nullptr;
  ASSERT_EQ(RegCreateKeyExA(key_, "Parent\\Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &parent, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(parent);
  const DWORD one = 1;
  const auto* data = reinterpret_cast<const BYTE*>(&one);
  HKEY bogus = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x7777));
  HKEY out = nullptr;
  DWORD size = 4, value = 0;
  struct Case {
    const char* what;
    std::function<LSTATUS()> call;
    LSTATUS error;
  };
  const Case cases[] = {
      {"open of a missing key",
       [&] { return RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nothing", 0, KEY_READ, &out); }, ERROR_FILE_NOT_FOUND},
      {"open with a bad handle", [&] { return RegOpenKeyExA(bogus, "x", 0, KEY_READ, &out); }, ERROR_INVALID_HANDLE},
      {"open without a result", [&] { return RegOpenKeyExA(key_, "Parent", 0, KEY_READ, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"leading backslash",
       [&] { return RegCreateKeyExA(key_, "\\x", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr); },
       ERROR_BAD_PATHNAME},
      {"control character in a key name",
       [&] { return RegCreateKeyExA(key_, "a\nb", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"create below a read-only key",
       [&] { return RegCreateKeyExA(read_only, "New", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr); },
       ERROR_ACCESS_DENIED},
      {"set on a read-only key", [&] { return RegSetValueExA(read_only, "v", 0, REG_DWORD, data, 4); },
       ERROR_ACCESS_DENIED},
      {"set on a deleted key", [&] { return RegSetValueExA(deleted, "v", 0, REG_DWORD, data, 4); }, ERROR_KEY_DELETED},
      {"query of a missing value",
       [&] { return RegQueryValueExA(key_, "missing", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size); },
       ERROR_FILE_NOT_FOUND},
      {"query with a bad handle",
       [&] { return RegQueryValueExA(bogus, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size); },
       ERROR_INVALID_HANDLE},
      {"set without data", [&] { return RegSetValueExA(key_, "v", 0, REG_BINARY, nullptr, 4); },
       ERROR_INVALID_PARAMETER},
      {"delete of a key with subkeys", [&] { return RegDeleteKeyA(key_, "Parent"); }, ERROR_ACCESS_DENIED},
      {"delete of a missing key", [&] { return RegDeleteKeyA(key_, "Nothing"); }, ERROR_FILE_NOT_FOUND},
      {"delete of a root", [&] { return RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""); }, ERROR_ACCESS_DENIED},
      {"delete without a name", [&] { return RegDeleteKeyA(key_, nullptr); }, ERROR_INVALID_PARAMETER},
      {"delete of a missing value", [&] { return RegDeleteValueA(key_, "missing"); }, ERROR_FILE_NOT_FOUND},
      {"close of a bad handle", [&] { return RegCloseKey(bogus); }, ERROR_INVALID_HANDLE},
  };
  for (const auto& c : cases) EXPECT_EQ(c.call(), c.error) << c.what;
  RegCloseKey(read_only);
  RegCloseKey(deleted);
}

TEST_F(RegistryApi, SubkeysAreListedInOrderUntilNoMoreItems) {
  for (const char* name : {"beta", "Alpha", "gamma\\deep"}) {
    HKEY sub = nullptr;
    ASSERT_EQ(RegCreateKeyExA(key_, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_SUCCESS);
    RegCloseKey(sub);
  }
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[64];
    DWORD length = sizeof name;
    const LSTATUS error = RegEnumKeyExA(key_, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (error == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(error, ERROR_SUCCESS);
    EXPECT_EQ(length, std::strlen(name));
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma"}));
  char small[3];
  DWORD length = sizeof small;
  EXPECT_EQ(RegEnumKeyExA(key_, 0, small, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  HKEY query_only = nullptr;
  ASSERT_EQ(RegOpenKeyExA(key_, "", 0, KEY_QUERY_VALUE, &query_only), ERROR_SUCCESS);
  length = sizeof small;
  EXPECT_EQ(RegEnumKeyExA(query_only, 0, small, &length, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
  RegCloseKey(query_only);
}

TEST_F(RegistryApi, CreatingAKeyThatExistsOpensIt) {
  DWORD disposition = 0;
  HKEY sub = nullptr;
  ASSERT_EQ(RegCreateKeyExA(key_, "Twice", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  RegCloseKey(sub);
  ASSERT_EQ(RegCreateKeyExA(key_, "TWICE", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(sub);
}

}  // namespace

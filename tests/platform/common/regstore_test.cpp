// The registry store that the host's kernel and its processes share.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/common/regstore.h"

namespace {

constexpr std::u16string_view kKey = u"\\Registry\\Machine\\Software\\Zek";

class RegistryFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zek-regstore-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    file_ = (dir_ / "registry.txt").string();
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::vector<std::byte> bytes(std::u16string_view text, bool terminated = true) {
    std::vector<std::byte> out((text.size() + (terminated ? 1 : 0)) * 2);
    std::memcpy(out.data(), text.data(), text.size() * 2);
    return out;
  }
  std::filesystem::path dir_;
  std::string file_;
};

TEST_F(RegistryFile, TextValuesComeBackExactlyWhateverTheyHold) {
  struct Case {
    const char16_t* name;
    std::vector<std::byte> data;
  };
  std::vector<Case> cases = {
      {u"plain", bytes(u"plain text")},
      {u"trailing blank", bytes(u"ends in a blank ")},
      {u"line break", bytes(u"two\nlines")},
      {u"carriage return", bytes(u"text\r")},
      {u"inner terminator", bytes(std::u16string_view(u"a\0b", 3))},
      {u"no terminator", bytes(u"open", false)},
      {u"odd length", {std::byte{'x'}, std::byte{0}, std::byte{'y'}}},
      {u"lone surrogate", bytes(std::u16string(1, char16_t(0xD800)))},
      {u"empty", {}},
  };
  {
    plat::RegistryStore writer(file_);
    for (const auto& c : cases)
      ASSERT_TRUE(writer.set(kKey, c.name, REG_SZ, c.data)) << plat::RegistryStore::fold(c.name).size();
  }
  plat::RegistryStore reader(file_);
  std::string error;
  ASSERT_TRUE(reader.load(&error)) << error;
  for (const auto& c : cases) {
    auto value = reader.get(kKey, c.name);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, REG_SZ);
    EXPECT_EQ(value->data, c.data) << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
  }
}

TEST_F(RegistryFile, NamesWithQuotesBackslashesAndControlCharactersComeBack) {
  const std::u16string names[] = {u"quoted \"name\"", u"back\\slash", u"tab\there", u"line\nbreak", u"x\\x41"};
  {
    plat::RegistryStore writer(file_);
    for (const auto& name : names) writer.set_dword(kKey, name, 7);
  }
  plat::RegistryStore reader(file_);
  ASSERT_TRUE(reader.load(nullptr));
  auto values = reader.values(kKey);
  ASSERT_EQ(values.size(), std::size(names));
  for (const auto& name : names) EXPECT_TRUE(reader.get(kKey, name)) << std::string(name.begin(), name.end());
}

TEST_F(RegistryFile, MalformedNumbersAreReportedWithTheirLineAndNeverThrown) {
  const char* lines[] = {
      "\"a\"=dword:zz",   "\"a\"=dword:123456789", "\"a\"=qword:",
      "\"a\"=hex(zz):01", "\"a\"=hex(3):1,zzz",    "\"a\"=hex(3:01",
  };
  for (const char* line : lines) {
    std::ofstream(file_) << "[\\Registry\\Machine\\X]\n" << line << "\n";
    plat::RegistryStore store(file_);
    std::string error;
    EXPECT_FALSE(store.load(&error)) << line;
    EXPECT_NE(error.find(":2:"), std::string::npos) << line << " -> " << error;
  }
}

TEST_F(RegistryFile, OneWritersChangeIsSeenByTheOtherAtItsNextRead) {
  plat::RegistryStore host(file_);
  plat::RegistryStore process(file_);
  host.set_dword(kKey, u"Number", 1);
  EXPECT_EQ(process.get(kKey, u"Number")->data[0], std::byte{1});
  process.set_dword(kKey, u"Number", 2);
  process.set_dword(kKey, u"Other", 3);
  EXPECT_EQ(host.get(kKey, u"number")->data[0], std::byte{2});
  EXPECT_TRUE(host.get(kKey, u"OTHER"));
  // Each writer's change goes onto the other's: nothing is lost.
  host.set_dword(kKey, u"Third", 4);
  EXPECT_TRUE(process.get(kKey, u"Other"));
  EXPECT_TRUE(process.get(kKey, u"Third"));
  EXPECT_EQ(process.delete_key(kKey), plat::RegistryStore::DeleteResult::Deleted);
  EXPECT_FALSE(host.key_exists(kKey));
}

TEST_F(RegistryFile, ASpoiledFileLeavesTheLastGoodCopyInUseUntilSaved) {
  plat::RegistryStore host(file_);
  host.set_dword(kKey, u"Number", 5);
  plat::RegistryStore process(file_);
  process.set_dword(kKey, u"Number", 6);
  ASSERT_EQ(host.get(kKey, u"Number")->data[0], std::byte{6});
  {
    // Another writer puts nonsense in its place.
    plat::SharedFile shared(file_);
    shared.update([](std::string& text) {
      text = "[broken\n";
      return true;
    });
  }
  auto value = host.get(kKey, u"Number");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->data[0], std::byte{6});
  EXPECT_TRUE(host.save());
  plat::RegistryStore fresh(file_);
  std::string error;
  EXPECT_TRUE(fresh.load(&error)) << error;
  EXPECT_EQ(fresh.get(kKey, u"Number")->data[0], std::byte{6});
}

TEST_F(RegistryFile, KeysExistWhenCreatedOrWhenAKeyBelowExists) {
  plat::RegistryStore store(file_);
  store.set_dword(u"\\Registry\\Machine\\A\\B\\C", u"x", 1);
  store.create_key(u"\\Registry\\Machine\\A\\Other");
  EXPECT_TRUE(store.key_exists(u"\\registry\\machine\\a"));
  EXPECT_TRUE(store.key_exists(u"\\Registry\\Machine\\A\\B"));
  EXPECT_FALSE(store.key_exists(u"\\Registry\\Machine\\A\\B\\C\\D"));
  EXPECT_FALSE(store.key_exists(u"\\Registry\\Machine\\A\\Bx"));
  EXPECT_EQ(store.subkeys(u"\\Registry\\Machine\\a"), (std::vector<std::u16string>{u"B", u"Other"}));
  EXPECT_EQ(store.key_path(u"\\REGISTRY\\MACHINE\\A\\B"), u"\\Registry\\Machine\\A\\B");
  EXPECT_EQ(store.delete_key(u"\\Registry\\Machine\\A\\B"), plat::RegistryStore::DeleteResult::HasSubkeys);
  EXPECT_EQ(store.delete_key(u"\\Registry\\Machine\\A\\Nothing"), plat::RegistryStore::DeleteResult::NotFound);
  EXPECT_TRUE(store.delete_tree(u"\\Registry\\Machine\\A\\B"));
  EXPECT_EQ(store.subkeys(u"\\Registry\\Machine\\A"), (std::vector<std::u16string>{u"Other"}));
}

}  // namespace

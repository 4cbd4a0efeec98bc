// host.conf: what the reader accepts, what it refuses (naming the line), and
// how a setting is changed in a file the user wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/host/config.h"
#include "tests/support/lab.h"

namespace {

using plat::host::Config;

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = zeklab::make_temp_dir("zek-config");
    ASSERT_FALSE(dir_.empty());
    path_ = (dir_ / "host.conf").string();
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  void write(const std::string& text) { std::ofstream(path_) << text; }

  std::filesystem::path dir_;
  std::string path_;
};

TEST_F(ConfigFile, MalformedFilesAreRefusedNamingTheLine) {
  struct Case {
    const char* text;
    int line;
    const char* message;
  };
  const Case cases[] = {
      {"[host]\nname = A\n[]\n", 3, "a section needs a kind"},
      {"[host]\n[  ]\n", 2, "a section needs a kind"},
      {"[host\n", 1, "must end with ']'"},
      {"name = A\n", 1, "inside a section"},
      {"[host]\njust words\n", 2, "inside a section"},
      {"[host]\n = value\n", 2, "needs a key"},
      {"[host]\nname = A\n# a comment\nname = B\n", 4, "'name' given twice in [host] (first on line 2)"},
      {"[driver x]\npath = a\n\n[driver x]\npath = b\n", 4, "section [driver x] given twice (first on line 1)"},
      {"[adapter nic0]\nAeqElem = 1\nAeqElem = 2\n", 3, "'AeqElem' given twice"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    write(c.text);
    Config config;
    std::string error;
    EXPECT_FALSE(config.load(path_, &error));
    EXPECT_NE(error.find(path_ + ":" + std::to_string(c.line) + ": "), std::string::npos) << error;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

TEST_F(ConfigFile, CommentsAreCommentsWhereverTheDocumentationWritesThem) {
  write(
      "# whole-line comment\n; another\n[host]\nmemory_mb = 256          # simulated memory\n"
      "lab = /tmp/a#b\n\n[adapter nic0]\nfunctions = 2\t# tabbed\n"
      "f1.NetCfgInstanceId = {00000000-0000-0000-0000-000000000001}   # function 1 only\n"
      "impair = loss=0.01,seed=7   # tests\n");
  Config config;
  std::string error;
  ASSERT_TRUE(config.load(path_, &error)) << error;
  const auto& host = config.section("host");
  EXPECT_EQ(host.get("memory_mb"), "256");
  EXPECT_EQ(host.get("lab"), "/tmp/a#b");  // a '#' inside a value stays
  const auto& adapter = *config.all("adapter").at(0);
  EXPECT_EQ(adapter.get("functions"), "2");
  EXPECT_EQ(adapter.get("f1.NetCfgInstanceId"), "{00000000-0000-0000-0000-000000000001}");
  EXPECT_EQ(adapter.get("impair"), "loss=0.01,seed=7");
  EXPECT_EQ(config.where(host, "memory_mb"), path_ + ":4: ");
}

TEST_F(ConfigFile, UnknownKeysAreNamedWithTheKeysTheSectionTakes) {
  write("[host]\nname = A\nmemroy_mb = 64\n");
  Config config;
  std::string error;
  ASSERT_TRUE(config.load(path_, &error)) << error;
  EXPECT_FALSE(config.check_keys(config.section("host"), {"name", "memory_mb"}, &error));
  EXPECT_EQ(error, path_ + ":3: unknown key 'memroy_mb' in [host] (it takes name, memory_mb)");
}

TEST_F(ConfigFile, ASettingIsChangedOnItsOwnLineAndEverythingElseIsKept) {
  struct Case {
    const char* before;
    std::vector<std::pair<std::string, std::string>> settings;
    const char* after;
  };
  const Case cases[] = {
      {"# mine\n[host]\nname = A   # the name\nmemory_mb = 64\n\n[driver d]\npath = p # kept\n",
       {{"name", "B"}},
       "# mine\n[host]\nname = B   # the name\nmemory_mb = 64\n\n[driver d]\npath = p # kept\n"},
      {"[host]\nname = A\n\n; other\n[driver d]\npath = p\n",
       {{"lab", "/l"}, {"native", "127.0.0.9"}},
       "[host]\nname = A\nlab = /l\nnative = 127.0.0.9\n\n; other\n[driver d]\npath = p\n"},
      {"[driver d]\npath = p\n", {{"name", "C"}}, "[driver d]\npath = p\n\n[host]\nname = C\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    write(c.before);
    ASSERT_TRUE(Config::update_file(path_, "host", c.settings));
    EXPECT_EQ(zeklab::read_file(path_), c.after);
  }
}

TEST(ConfigNumbers, OnlyAWholeDecimalInRangeIsANumber) {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {{"256", true},
                        {"16", true},
                        {"16384", true},
                        {"256MB", false},
                        {"", false},
                        {"-1", false},
                        {"0x10", false},
                        {"15", false},
                        {"16385", false},
                        {" 64", false},
                        {"99999999999999999999", false}};
  for (const auto& c : cases) {
    unsigned long value = 0;
    EXPECT_EQ(plat::host::parse_decimal(c.text, 16, 16384, &value), c.ok) << c.text;
  }
}

}  // namespace

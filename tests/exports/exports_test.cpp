// What each deliverable exports, as a program that loads it at run time sees
// it: every function and datum its public header marks ZEK_EXPORT is found by
// its plain name in the built library, and the library's dynamic symbols hold
// no other function and no C++ name. The expected names are read from the
// headers themselves, so an export added there is checked too. A driver image
// exports its entry point DriverEntry and nothing else.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/run_command.h"

namespace {

enum class Kind { Function, Data };

// ---- The exports a header marks ------------------------------------------------------------

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The text without its comments.
std::string strip_comments(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, 2, "//") == 0) {
      i = text.find('\n', i);
      if (i == std::string::npos) break;
    } else if (text.compare(i, 2, "/*") == 0) {
      i = text.find("*/", i);
      if (i == std::string::npos) break;
      i += 2;
    } else if (text[i] == '"') {
      const std::size_t end = text.find('"', i + 1);
      out.append(text, i, end + 1 - i);
      i = end + 1;
    } else {
      out += text[i++];
    }
  }
  return out;
}

bool is_identifier_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The identifier that ends just before `end` (blanks skipped).
std::string identifier_before(const std::string& text, std::size_t end) {
  while (end > 0 && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  std::size_t begin = end;
  while (begin > 0 && is_identifier_char(text[begin - 1])) --begin;
  return text.substr(begin, end - begin);
}

// Reads a header of the user-mode build and the project headers it includes
// under include/zek/, keeping only the lines the user-mode build compiles
// (a condition on the kernel build is false there), and collects the
// declarations marked ZEK_EXPORT.
class ExportedNames {
 public:
  explicit ExportedNames(std::string root) : root_(std::move(root)) {}

  void read(const std::string& header) {
    if (!seen_.insert(header).second) return;
    const std::string text = read_file(root_ + "/" + header);
    EXPECT_FALSE(text.empty()) << "cannot read " << header;
    std::string code;
    std::vector<bool> live{true};  // one entry per open #if
    std::istringstream lines(strip_comments(text));
    for (std::string line; std::getline(lines, line);) {
      const std::size_t first = line.find_first_not_of(" \t");
      if (first != std::string::npos && line[first] == '#') {
        directive(line.substr(first + 1), live);
        continue;
      }
      if (live.back()) code += line + '\n';
    }
    collect(code, header);
  }

  const std::map<std::string, Kind>& names() const { return names_; }

 private:
  void directive(const std::string& text, std::vector<bool>& live) {
    std::istringstream words(text);
    std::string word;
    words >> word;
    const bool kernel_condition =
        text.find("ZEK_OSPRIM_KERNEL") != std::string::npos || text.find("ZEK_KERNEL_BUILD") != std::string::npos;
    if (word == "if" || word == "ifdef" || word == "ifndef") {
      live.push_back(live.back() && !kernel_condition);
    } else if (word == "else") {
      const bool outer = live.size() > 1 ? live[live.size() - 2] : true;
      live.back() = outer && !live.back();
    } else if (word == "endif") {
      if (live.size() > 1) live.pop_back();
    } else if (word == "include" && live.back()) {
      const std::size_t open = text.find('"');
      if (open == std::string::npos) return;
      const std::string path = text.substr(open + 1, text.find('"', open + 1) - open - 1);
      if (path.rfind("include/zek/", 0) == 0) read(path);
    }
  }

  void collect(const std::string& code, const std::string& header) {
    static const std::string kMark = "ZEK_EXPORT";
    for (std::size_t at = code.find(kMark); at != std::string::npos; at = code.find(kMark, at + 1)) {
      if (at > 0 && is_identifier_char(code[at - 1])) continue;
      if (at + kMark.size() < code.size() && is_identifier_char(code[at + kMark.size()])) continue;
      const std::size_t end = code.find(';', at);
      ASSERT_NE(end, std::string::npos) << header;
      const std::size_t paren = code.find('(', at);
      const bool function = paren != std::string::npos && paren < end;
      const std::string name = identifier_before(code, function ? paren : end);
      ASSERT_FALSE(name.empty()) << header << ": " << code.substr(at, end - at);
      names_[name] = function ? Kind::Function : Kind::Data;
    }
  }

  std::string root_;
  std::set<std::string> seen_;
  std::map<std::string, Kind> names_;
};

// ---- The built library -----------------------------------------------------------------------

struct DynamicSymbol {
  char type;  // nm's letter: T/W/i text, B/D/R/V/u data
  std::string name;
};

// `nm -D --defined-only` of the library: the symbols it defines for others.
std::vector<DynamicSymbol> defined_dynamic_symbols(const std::string& library) {
  std::vector<DynamicSymbol> symbols;
  const std::string command = "nm -D --defined-only '" + library + "' 2>&1";
  const zektest::CommandResult nm = zektest::run_command(command);
  EXPECT_EQ(nm.code, 0) << command << "\n" << nm.output;
  std::istringstream lines(nm.output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string value, type, name;
    if (fields >> value >> type >> name && type.size() == 1) symbols.push_back({type[0], name});
  }
  return symbols;
}

bool is_function(char type) { return type == 'T' || type == 'W' || type == 'i'; }

// Symbols every shared object defines for the loader, whatever it exports.
bool is_linker_symbol(const std::string& name) {
  return name == "_init" || name == "_fini" || name == "_edata" || name == "_end" || name == "__bss_start";
}

struct Deliverable {
  const char* name;
  const char* library;  // the built file
  const char* header;   // its public header, under the source root; null: DriverEntry alone
};

// ctest lists a case by its name, not by its bytes.
void PrintTo(const Deliverable& d, std::ostream* os) { *os << d.name; }

class Exports : public testing::TestWithParam<Deliverable> {};

TEST_P(Exports, EveryExportIsFoundByItsPlainNameAndNothingElseIsExported) {
  const Deliverable& d = GetParam();
  std::map<std::string, Kind> expected;
  if (d.header != nullptr) {
    ExportedNames names(ZEK_SOURCE_DIR);
    names.read(d.header);
    expected = names.names();
    ASSERT_FALSE(expected.empty()) << d.header << " marks no export";
  } else {
    expected["DriverEntry"] = Kind::Function;
  }

  // A run-time lookup by the plain name finds each one in the library.
  void* handle = dlopen(d.library, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  for (const auto& [name, kind] : expected) {
    void* address = dlsym(handle, name.c_str());
    EXPECT_NE(address, nullptr) << name << " is not exported by its plain name";
    Dl_info info{};
    if (address != nullptr && dladdr(address, &info) != 0) {
      EXPECT_STREQ(info.dli_fname, d.library) << name << " resolves outside the library";
    }
  }
  dlclose(handle);

  // The dynamic symbols: exactly the marked functions, the marked data among
  // the data, and no C++ name at all.
  std::set<std::string> functions;
  for (const DynamicSymbol& symbol : defined_dynamic_symbols(d.library)) {
    EXPECT_NE(symbol.name.rfind("_Z", 0), 0u) << "C++ name exported: " << symbol.name;
    if (is_linker_symbol(symbol.name)) continue;
    // AddressSanitizer gives each exported datum a one-definition-rule
    // indicator, __odr_asan.NAME, exported beside it: allowed for a marked
    // datum only.
    constexpr std::string_view kOdrIndicator = "__odr_asan.";
    if (symbol.name.rfind(kOdrIndicator, 0) == 0) {
      const auto datum = expected.find(symbol.name.substr(kOdrIndicator.size()));
      EXPECT_TRUE(datum != expected.end() && datum->second == Kind::Data)
          << "sanitizer indicator of an unmarked datum: " << symbol.name;
      continue;
    }
    const auto found = expected.find(symbol.name);
    if (is_function(symbol.type)) {
      functions.insert(symbol.name);
      EXPECT_TRUE(found != expected.end() && found->second == Kind::Function)
          << "function exported without being marked: " << symbol.name;
    } else {
      EXPECT_TRUE(found != expected.end() && found->second == Kind::Data)
          << "datum exported without being marked: " << symbol.name << " (" << symbol.type << ")";
    }
  }
  for (const auto& [name, kind] : expected) {
    if (kind == Kind::Function) {
      EXPECT_TRUE(functions.count(name) == 1) << name << " is not a defined function";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Deliverables, Exports,
                         testing::Values(Deliverable{"zekbase", ZEKBASE_LIBRARY, "include/zek/zekbase.h"},
                                         Deliverable{"zeksock", ZEKSOCK_LIBRARY, "include/zek/zeksock.h"},
                                         Deliverable{"zekproxy", ZEKPROXY_IMAGE, nullptr},
                                         Deliverable{"zekhnic", ZEKHNIC_IMAGE, nullptr}),
                         [](const testing::TestParamInfo<Deliverable>& info) { return std::string(info.param.name); });

// The platform's user-mode libraries that programs look up by name export
// C names only: no C++ function of the platform they are built from shows,
// not even what they share with one another (the user runtime's handle
// table and overlapped completion have C names).
TEST(PlatformExports, UserModeLibrariesExportCNamesOnly) {
  const std::pair<const char*, const char*> libraries[] = {
      {"zekwin32", ZEKWIN32_LIBRARY},
      {"zekws2_32", ZEKWS2_32_LIBRARY},
      {"zekadvapi", ZEKADVAPI_LIBRARY},
      {"zekiphlpapi", ZEKIPHLPAPI_LIBRARY},
  };
  for (const auto& [name, path] : libraries) {
    SCOPED_TRACE(name);
    std::size_t functions = 0;
    for (const DynamicSymbol& s : defined_dynamic_symbols(path)) {
      if (!is_function(s.type)) continue;
      ++functions;
      EXPECT_NE(s.name.rfind("_Z", 0), 0u) << s.name << " is a C++ symbol";
    }
    EXPECT_GT(functions, 0u);
  }
}

}  // namespace

// The host's configuration: "host.conf" in the host directory, INI-like
// (docs/host.md). Sections are kept in file order; sections this program
// does not know yet (adapters, miniports) are kept and left to later parts.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plat::host {

struct Section {
  std::string kind;  // "host", "driver", ...
  std::string name;  // "[driver zekproxy]" -> "zekproxy"
  std::vector<std::pair<std::string, std::string>> entries;
  std::optional<std::string> get(const std::string& key) const;
  void set(const std::string& key, const std::string& value);
};

class Config {
 public:
  // A missing file is an empty configuration. False with a message when malformed.
  bool load(const std::string& path, std::string* error);
  bool save(const std::string& path) const;
  Section& section(const std::string& kind, const std::string& name = {});
  std::vector<const Section*> all(const std::string& kind) const;

 private:
  std::vector<Section> sections_;
};

}  // namespace plat::host

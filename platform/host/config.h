// The host's configuration: "host.conf" in the host directory, INI-like
// (docs/host.md). Sections are kept in file order; sections this program
// does not know yet are kept and left alone.
//
// The reader is strict, because a setting that is silently ignored is worse
// than a host that does not start: a malformed line, an empty section name,
// a section or a key given twice are errors that name the file and the
// line. A '#' after a blank ends an entry's value (a trailing comment), as
// the documentation's examples write them. The host never rewrites the
// file: a setting the command line changes is edited on its own line
// (update_file), and every other byte stays as the user wrote it.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plat::host {

// What starts a trailing comment: this character after a space or a tab.
inline constexpr char kTrailingComment = '#';

struct Section {
  std::string kind;  // "host", "driver", ...
  std::string name;  // "[driver zekproxy]" -> "zekproxy"
  std::vector<std::pair<std::string, std::string>> entries;
  int line = 0;            // of the section's head; 0 when not read from a file
  std::vector<int> lines;  // of each entry, beside entries (may be shorter: set() adds none)
  std::optional<std::string> get(const std::string& key) const;
  void set(const std::string& key, const std::string& value);
  // The line of an entry; 0 when it was not read from a file.
  int line_of(const std::string& key) const;
};

class Config {
 public:
  // A missing file is an empty configuration. False with "FILE:LINE: what"
  // when malformed.
  bool load(const std::string& path, std::string* error);
  // Writes the whole configuration to a new file (one the host made).
  bool save(const std::string& path) const;
  Section& section(const std::string& kind, const std::string& name = {});
  std::vector<const Section*> all(const std::string& kind) const;

  // "FILE:LINE: " for a section's entry (or for its head when the key has
  // no line), for messages about values; "FILE: " when neither has one.
  std::string where(const Section& section, const std::string& key = {}) const;
  // Keys outside `known` in the section: an error naming the first.
  bool check_keys(const Section& section, const std::vector<std::string>& known, std::string* error) const;

  // Sets `key = value` in the [kind] section of the file at `path`, keeping
  // every other line (comments included) as it is: the entry's own line has
  // its value replaced (its trailing comment kept), or a new line follows
  // the section's last entry (a new [kind] section ends the file when there
  // is none). False when the file cannot be read or written.
  static bool update_file(const std::string& path, const std::string& kind,
                          const std::vector<std::pair<std::string, std::string>>& settings);

 private:
  std::string path_;
  std::vector<Section> sections_;
};

// A whole decimal number in [low, high]; false for anything else ("256MB",
// "", "-1", "0x10").
bool parse_decimal(const std::string& text, unsigned long low, unsigned long high, unsigned long* value);

}  // namespace plat::host

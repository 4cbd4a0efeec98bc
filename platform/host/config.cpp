#include "platform/host/config.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace plat::host {
namespace {

std::string trim(std::string text) {
  const char* space = " \t\r";
  text.erase(0, text.find_first_not_of(space));
  text.erase(text.find_last_not_of(space) + 1);
  return text;
}

// Where a value's trailing comment starts (npos when it has none).
std::size_t trailing_comment(const std::string& text) {
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] == kTrailingComment && (text[i - 1] == ' ' || text[i - 1] == '\t')) return i;
  }
  return std::string::npos;
}

std::string head_of(const Section& s) { return "[" + s.kind + (s.name.empty() ? "" : " " + s.name) + "]"; }

// The kind and name of a section line "[KIND NAME]" (already trimmed).
std::pair<std::string, std::string> split_head(const std::string& line) {
  std::string head = trim(line.substr(1, line.size() - 2));
  const auto space = head.find_first_of(" \t");
  if (space == std::string::npos) return {head, {}};
  return {head.substr(0, space), trim(head.substr(space + 1))};
}

bool read_lines(const std::string& path, std::vector<std::string>* lines) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) lines->push_back(line);
  return !in.bad();
}

bool replace_file(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  std::ofstream out(temporary, std::ios::trunc);
  if (!out) return false;
  out << text;
  out.close();
  if (!out) {
    std::remove(temporary.c_str());
    return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

bool parse_decimal(const std::string& text, unsigned long low, unsigned long high, unsigned long* value) {
  if (text.empty() || text.size() > 9) return false;
  unsigned long v = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    v = v * 10 + static_cast<unsigned long>(c - '0');
  }
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

std::optional<std::string> Section::get(const std::string& key) const {
  for (const auto& [k, v] : entries) {
    if (k == key) return v;
  }
  return std::nullopt;
}

void Section::set(const std::string& key, const std::string& value) {
  for (auto& [k, v] : entries) {
    if (k == key) {
      v = value;
      return;
    }
  }
  entries.emplace_back(key, value);
}

int Section::line_of(const std::string& key) const {
  for (std::size_t i = 0; i < entries.size() && i < lines.size(); ++i) {
    if (entries[i].first == key) return lines[i];
  }
  return 0;
}

bool Config::load(const std::string& path, std::string* error) {
  sections_.clear();
  path_ = path;
  std::ifstream in(path);
  if (!in) return true;
  std::string line;
  int number = 0;
  auto bad = [&](const std::string& what) {
    *error = path + ":" + std::to_string(number) + ": " + what;
    return false;
  };
  bool in_section = false;
  while (std::getline(in, line)) {
    ++number;
    line = trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return bad("a section line must end with ']'");
      auto [kind, name] = split_head(line);
      if (kind.empty()) return bad("a section needs a kind, as in [host] or [driver NAME]");
      for (const auto& s : sections_) {
        if (s.kind == kind && s.name == name) {
          return bad("section " + head_of(s) + " given twice (first on line " + std::to_string(s.line) + ")");
        }
      }
      Section section;
      section.kind = std::move(kind);
      section.name = std::move(name);
      section.line = number;
      sections_.push_back(std::move(section));
      in_section = true;
      continue;
    }
    const auto equals = line.find('=');
    if (!in_section || equals == std::string::npos) return bad("expected 'key = value' inside a section");
    Section& current = sections_.back();
    std::string key = trim(line.substr(0, equals));
    std::string value = line.substr(equals + 1);
    if (const auto comment = trailing_comment(value); comment != std::string::npos) value.erase(comment);
    value = trim(value);
    if (key.empty()) return bad("an entry needs a key before '='");
    if (const int first = current.line_of(key); first != 0) {
      return bad("'" + key + "' given twice in " + head_of(current) + " (first on line " + std::to_string(first) + ")");
    }
    current.entries.emplace_back(std::move(key), std::move(value));
    current.lines.push_back(number);
  }
  return true;
}

bool Config::save(const std::string& path) const {
  std::ostringstream out;
  out << "# The configuration of this simulated host (see docs/host.md).\n";
  for (const auto& section : sections_) {
    out << "\n" << head_of(section) << "\n";
    for (const auto& [k, v] : section.entries) out << k << " = " << v << "\n";
  }
  return replace_file(path, out.str());
}

bool Config::update_file(const std::string& path, const std::string& kind,
                         const std::vector<std::pair<std::string, std::string>>& settings) {
  std::vector<std::string> lines;
  if (!read_lines(path, &lines)) return false;
  for (const auto& [key, value] : settings) {
    bool in_kind = false, done = false;
    std::size_t insert_at = std::string::npos;  // after the section's last entry
    for (std::size_t i = 0; i < lines.size() && !done; ++i) {
      const std::string line = trim(lines[i]);
      if (line.empty() || line[0] == '#' || line[0] == ';') continue;
      if (line[0] == '[') {
        in_kind = line.back() == ']' && split_head(line) == std::pair<std::string, std::string>{kind, {}};
        if (in_kind) insert_at = i + 1;
        continue;
      }
      if (!in_kind) continue;
      insert_at = i + 1;
      const auto equals = lines[i].find('=');
      if (equals == std::string::npos || trim(lines[i].substr(0, equals)) != key) continue;
      std::string rest = lines[i].substr(equals + 1);
      const auto comment = trailing_comment(rest);
      std::string tail = comment == std::string::npos ? "" : "   " + rest.substr(comment);
      lines[i] = lines[i].substr(0, equals + 1) + " " + value + tail;
      done = true;
    }
    if (done) continue;
    if (insert_at == std::string::npos) {
      lines.push_back("");
      lines.push_back("[" + kind + "]");
      insert_at = lines.size();
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insert_at), key + " = " + value);
  }
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return replace_file(path, text);
}

Section& Config::section(const std::string& kind, const std::string& name) {
  for (auto& s : sections_) {
    if (s.kind == kind && s.name == name) return s;
  }
  sections_.push_back(Section{kind, name, {}, 0, {}});
  return sections_.back();
}

std::vector<const Section*> Config::all(const std::string& kind) const {
  std::vector<const Section*> out;
  for (const auto& s : sections_) {
    if (s.kind == kind) out.push_back(&s);
  }
  return out;
}

std::string Config::where(const Section& section, const std::string& key) const {
  int line = key.empty() ? 0 : section.line_of(key);
  if (line == 0) line = section.line;
  return line == 0 ? path_ + ": " : path_ + ":" + std::to_string(line) + ": ";
}

bool Config::check_keys(const Section& section, const std::vector<std::string>& known, std::string* error) const {
  for (const auto& [key, value] : section.entries) {
    bool found = false;
    for (const auto& k : known) found = found || k == key;
    if (found) continue;
    std::string list;
    for (const auto& k : known) list += (list.empty() ? "" : ", ") + k;
    *error = where(section, key) + "unknown key '" + key + "' in " + head_of(section) + " (it takes " + list + ")";
    return false;
  }
  return true;
}

}  // namespace plat::host

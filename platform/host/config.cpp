#include "platform/host/config.h"

#include <cstdio>
#include <fstream>

namespace plat::host {
namespace {

std::string trim(std::string text) {
  const char* space = " \t\r";
  text.erase(0, text.find_first_not_of(space));
  text.erase(text.find_last_not_of(space) + 1);
  return text;
}

}  // namespace

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

bool Config::load(const std::string& path, std::string* error) {
  sections_.clear();
  std::ifstream in(path);
  if (!in) return true;
  std::string line;
  int number = 0;
  Section* current = nullptr;
  while (std::getline(in, line)) {
    ++number;
    line = trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') {
        *error = path + ":" + std::to_string(number) + ": a section line must end with ']'";
        return false;
      }
      std::string head = trim(line.substr(1, line.size() - 2));
      auto space = head.find(' ');
      Section section;
      section.kind = head.substr(0, space);
      if (space != std::string::npos) section.name = trim(head.substr(space + 1));
      sections_.push_back(std::move(section));
      current = &sections_.back();
      continue;
    }
    auto equals = line.find('=');
    if (current == nullptr || equals == std::string::npos) {
      *error = path + ":" + std::to_string(number) + ": expected 'key = value' inside a section";
      return false;
    }
    current->entries.emplace_back(trim(line.substr(0, equals)), trim(line.substr(equals + 1)));
  }
  return true;
}

bool Config::save(const std::string& path) const {
  std::ofstream out(path + ".new", std::ios::trunc);
  if (!out) return false;
  out << "# The configuration of this simulated host (see docs/host.md).\n";
  for (const auto& section : sections_) {
    out << "\n[" << section.kind << (section.name.empty() ? "" : " " + section.name) << "]\n";
    for (const auto& [k, v] : section.entries) out << k << " = " << v << "\n";
  }
  out.close();
  return out && std::rename((path + ".new").c_str(), path.c_str()) == 0;
}

Section& Config::section(const std::string& kind, const std::string& name) {
  for (auto& s : sections_) {
    if (s.kind == kind && s.name == name) return s;
  }
  sections_.push_back(Section{kind, name, {}});
  return sections_.back();
}

std::vector<const Section*> Config::all(const std::string& kind) const {
  std::vector<const Section*> out;
  for (const auto& s : sections_) {
    if (s.kind == kind) out.push_back(&s);
  }
  return out;
}

}  // namespace plat::host

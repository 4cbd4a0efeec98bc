#include "platform/common/regstore.h"

#include <cstdio>
#include <cstring>

#include "platform/common/text.h"

namespace plat {
namespace {

constexpr std::u16string_view kSeparator = u"\\";

std::string hex_bytes(std::span<const std::byte> data) {
  std::string out;
  char part[4];
  for (std::size_t i = 0; i < data.size(); ++i) {
    std::snprintf(part, sizeof part, "%02x", static_cast<unsigned>(data[i]));
    if (i != 0) out += ',';
    out += part;
  }
  return out;
}

// Names are quoted; a quote, a backslash and control characters are escaped.
std::string quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses a quoted name at the start of text; the rest follows in *rest.
bool unquote(std::string_view text, std::string* out, std::string_view* rest) {
  if (text.empty() || text[0] != '"') return false;
  out->clear();
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      ++i;
      if (text[i] == 'x' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
        *out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
        i += 2;
      } else {
        *out += text[i];
      }
    } else if (text[i] == '"') {
      *rest = text.substr(i + 1);
      return true;
    } else {
      *out += text[i];
    }
  }
  return false;
}

// A number of at most `digits` hex digits, the whole text.
bool parse_hex(std::string_view text, std::size_t digits, std::uint64_t* value) {
  if (text.empty() || text.size() > digits) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    const int d = hex_digit(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<std::uint64_t>(d);
  }
  *value = v;
  return true;
}

std::vector<std::byte> utf16_bytes(std::u16string_view text) {
  std::vector<std::byte> data((text.size() + 1) * 2);
  std::memcpy(data.data(), text.data(), text.size() * 2);
  return data;
}

// The text of a REG_SZ value when writing it as text loses nothing: a
// terminated UTF-16 string without control characters, inner terminators,
// trailing blanks or unpaired surrogates. Otherwise the value is written as
// bytes.
std::optional<std::string> plain_text_of(const RegistryStore::Value& value) {
  if (value.type != REG_SZ || value.data.size() < 2 || value.data.size() % 2 != 0) return std::nullopt;
  std::u16string text(value.data.size() / 2, u'\0');
  std::memcpy(text.data(), value.data.data(), value.data.size());
  if (text.back() != u'\0') return std::nullopt;
  text.pop_back();
  for (char16_t c : text) {
    if (c < 0x20 || c == 0x7F) return std::nullopt;
  }
  if (!text.empty() && text.back() == u' ') return std::nullopt;
  std::string utf8 = to_utf8(text);
  if (to_u16(utf8) != text) return std::nullopt;
  return utf8;
}

bool has_control(std::u16string_view text) {
  for (char16_t c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

bool starts_with(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::u16string RegistryStore::fold(std::u16string_view path) {
  std::u16string out = fold_case(path);
  while (out.size() > 1 && out.back() == u'\\') out.pop_back();
  return out;
}

std::string RegistryStore::format(const Keys& keys) {
  std::string out = "; The registry of this host. Keys are case-insensitive.\n";
  for (const auto& [folded, key] : keys) {
    out += "\n[" + to_utf8(key.path) + "]\n";
    for (const auto& [fname, entry] : key.values) {
      const auto& [name, value] = entry;
      out += name.empty() ? std::string("@") : quote(to_utf8(name));
      out += '=';
      if (auto text = plain_text_of(value)) {
        out += "sz:" + *text;
      } else if (value.type == REG_DWORD && value.data.size() == 4) {
        ULONG v;
        std::memcpy(&v, value.data.data(), 4);
        char text_value[16];
        std::snprintf(text_value, sizeof text_value, "%08x", v);
        out += "dword:";
        out += text_value;
      } else {
        char head[24];
        std::snprintf(head, sizeof head, "hex(%x):", value.type);
        out += head + hex_bytes(value.data);
      }
      out += '\n';
    }
  }
  return out;
}

bool RegistryStore::parse(std::string_view text, Keys* keys, std::string* what, int* line_number) {
  keys->clear();
  Key* key = nullptr;
  int number = 0;
  auto bad = [&](const char* message) {
    *what = message;
    *line_number = number;
    return false;
  };
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      if (line.back() != ']' || line.size() < 3) return bad("a key line must be [PATH]");
      std::u16string path = to_u16(line.substr(1, line.size() - 2));
      key = &(*keys)[fold(path)];
      if (key->path.empty()) key->path = path;
      continue;
    }
    if (key == nullptr) return bad("a value before the first key");
    std::string name;
    std::string_view rest;
    if (line[0] == '@') {
      rest = line.substr(1);
    } else if (!unquote(line, &name, &rest)) {
      return bad("a value name must be quoted");
    }
    if (rest.empty() || rest[0] != '=') return bad("expected '=' after the value name");
    rest.remove_prefix(1);
    Value value;
    std::uint64_t number_value = 0;
    if (rest.starts_with("sz:")) {
      value.type = REG_SZ;
      value.data = utf16_bytes(to_u16(rest.substr(3)));
    } else if (rest.starts_with("dword:")) {
      if (!parse_hex(rest.substr(6), 8, &number_value)) return bad("a dword takes 1 to 8 hex digits");
      value.type = REG_DWORD;
      const auto v = static_cast<ULONG>(number_value);
      value.data.resize(4);
      std::memcpy(value.data.data(), &v, 4);
    } else if (rest.starts_with("qword:")) {
      if (!parse_hex(rest.substr(6), 16, &number_value)) return bad("a qword takes 1 to 16 hex digits");
      value.type = REG_QWORD;
      value.data.resize(8);
      std::memcpy(value.data.data(), &number_value, 8);
    } else if (rest.starts_with("hex(")) {
      const auto close = rest.find("):");
      if (close == std::string_view::npos || !parse_hex(rest.substr(4, close - 4), 8, &number_value)) {
        return bad("expected hex(TYPE):bytes");
      }
      value.type = static_cast<ULONG>(number_value);
      std::string_view bytes = rest.substr(close + 2);
      while (!bytes.empty()) {
        const auto comma = bytes.find(',');
        std::string_view part = bytes.substr(0, comma);
        bytes = comma == std::string_view::npos ? std::string_view() : bytes.substr(comma + 1);
        if (part.empty()) continue;
        if (!parse_hex(part, 2, &number_value)) return bad("a byte takes 1 or 2 hex digits");
        value.data.push_back(static_cast<std::byte>(number_value));
      }
    } else {
      return bad("unknown value type");
    }
    std::u16string wname = to_u16(name);
    key->values[fold_case(wname)] = {wname, std::move(value)};
  }
  return true;
}

RegistryStore::RegistryStore(std::string file) : file_(std::move(file)) {
  if (!file_.empty()) shared_ = std::make_unique<SharedFile>(file_);
}

bool RegistryStore::load(std::string* error) {
  std::lock_guard lock(mu_);
  if (!shared_) return true;
  const std::uint64_t version = shared_->version();
  std::string text;
  if (!shared_->read(&text)) {
    if (error != nullptr) *error = file_ + ": cannot be read";
    return false;
  }
  Keys keys;
  std::string what;
  int line = 0;
  if (!parse(text, &keys, &what, &line)) {
    if (error != nullptr) *error = file_ + ":" + std::to_string(line) + ": " + what;
    return false;
  }
  keys_ = std::move(keys);
  seen_version_ = version;
  return true;
}

bool RegistryStore::save() {
  std::lock_guard lock(mu_);
  if (!shared_) return true;
  // Every change is in the file already, unless the file was spoiled since:
  // then this store's copy goes back in.
  return shared_->update([&](std::string& current) {
    Keys keys;
    std::string what;
    int line = 0;
    if (parse(current, &keys, &what, &line)) {
      keys_ = std::move(keys);
      return false;
    }
    current = format(keys_);
    return true;
  });
}

void RegistryStore::refresh_locked() {
  if (!shared_) return;
  const std::uint64_t version = shared_->version();
  if (version == seen_version_) return;
  std::string text;
  Keys keys;
  std::string what;
  int line = 0;
  // A file another writer spoiled is not taken: the store keeps what it had.
  if (shared_->read(&text) && parse(text, &keys, &what, &line)) keys_ = std::move(keys);
  seen_version_ = version;
}

bool RegistryStore::change_locked(const std::function<bool(Keys&)>& change) {
  if (!shared_) return change(keys_);
  bool changed = false;
  Keys result;
  const bool written = shared_->update([&](std::string& text) {
    Keys keys;
    std::string what;
    int line = 0;
    // Changes go onto what the file has now; a spoiled file gives way to the last good copy.
    if (!parse(text, &keys, &what, &line)) keys = keys_;
    changed = change(keys);
    if (changed) text = format(keys);
    result = std::move(keys);
    return changed;
  });
  if (changed && written) {
    keys_ = std::move(result);
    seen_version_ = shared_->version();
  }
  return changed && written;
}

bool RegistryStore::key_exists(std::u16string_view key) {
  std::lock_guard lock(mu_);
  refresh_locked();
  const std::u16string k = fold(key);
  if (keys_.count(k) != 0) return true;
  const std::u16string below = k + std::u16string(kSeparator);
  auto it = keys_.lower_bound(below);
  return it != keys_.end() && starts_with(it->first, below);
}

std::u16string RegistryStore::key_path(std::u16string_view key) {
  std::lock_guard lock(mu_);
  refresh_locked();
  const std::u16string k = fold(key);
  if (auto it = keys_.find(k); it != keys_.end()) return it->second.path;
  const std::u16string below = k + std::u16string(kSeparator);
  auto it = keys_.lower_bound(below);
  if (it != keys_.end() && starts_with(it->first, below)) return it->second.path.substr(0, k.size());
  return {};
}

bool RegistryStore::create_key(std::u16string_view key) {
  if (has_control(key)) return false;
  std::lock_guard lock(mu_);
  refresh_locked();
  const std::u16string k = fold(key);
  return change_locked([&](Keys& keys) {
    if (keys.count(k) != 0) return false;
    keys[k].path = std::u16string(key.substr(0, k.size()));
    return true;
  });
}

bool RegistryStore::set(std::u16string_view key, std::u16string_view name, ULONG type,
                        std::span<const std::byte> data) {
  if (has_control(key)) return false;
  std::lock_guard lock(mu_);
  const std::u16string k = fold(key);
  const bool done = change_locked([&](Keys& keys) {
    Key& entry = keys[k];
    if (entry.path.empty()) entry.path = std::u16string(key.substr(0, k.size()));
    entry.values[fold_case(name)] = {std::u16string(name),
                                     Value{type, std::vector<std::byte>(data.begin(), data.end())}};
    return true;
  });
  return done;
}

void RegistryStore::set_string(std::u16string_view key, std::u16string_view name, std::u16string_view value) {
  auto data = utf16_bytes(value);
  set(key, name, REG_SZ, data);
}

void RegistryStore::set_dword(std::u16string_view key, std::u16string_view name, ULONG value) {
  std::byte data[4];
  std::memcpy(data, &value, 4);
  set(key, name, REG_DWORD, data);
}

std::optional<RegistryStore::Value> RegistryStore::get(std::u16string_view key, std::u16string_view name) {
  std::lock_guard lock(mu_);
  refresh_locked();
  auto k = keys_.find(fold(key));
  if (k == keys_.end()) return std::nullopt;
  auto v = k->second.values.find(fold_case(name));
  if (v == k->second.values.end()) return std::nullopt;
  return v->second.second;
}

std::vector<std::pair<std::u16string, RegistryStore::Value>> RegistryStore::values(std::u16string_view key) {
  std::lock_guard lock(mu_);
  refresh_locked();
  std::vector<std::pair<std::u16string, Value>> out;
  auto k = keys_.find(fold(key));
  if (k == keys_.end()) return out;
  for (const auto& [folded, entry] : k->second.values) out.push_back(entry);
  return out;
}

std::vector<std::u16string> RegistryStore::subkeys(std::u16string_view key) {
  std::lock_guard lock(mu_);
  refresh_locked();
  const std::u16string below = fold(key) + std::u16string(kSeparator);
  std::map<std::u16string, std::u16string> names;  // folded -> as written
  for (auto it = keys_.lower_bound(below); it != keys_.end() && starts_with(it->first, below); ++it) {
    std::u16string_view rest = std::u16string_view(it->second.path).substr(below.size());
    rest = rest.substr(0, rest.find(u'\\'));
    if (!rest.empty()) names.emplace(fold_case(rest), std::u16string(rest));
  }
  std::vector<std::u16string> out;
  for (auto& [folded, name] : names) out.push_back(name);
  return out;
}

bool RegistryStore::set_values(std::u16string_view key, const std::vector<std::pair<std::u16string, Value>>& values) {
  if (has_control(key)) return false;
  std::lock_guard lock(mu_);
  const std::u16string k = fold(key);
  return change_locked([&](Keys& keys) {
    Key& entry = keys[k];
    if (entry.path.empty()) entry.path = std::u16string(key.substr(0, k.size()));
    for (const auto& [name, value] : values) entry.values[fold_case(name)] = {name, value};
    return true;
  });
}

bool RegistryStore::delete_value(std::u16string_view key, std::u16string_view name) {
  std::lock_guard lock(mu_);
  refresh_locked();
  const std::u16string k = fold(key);
  return change_locked([&](Keys& keys) {
    auto it = keys.find(k);
    return it != keys.end() && it->second.values.erase(fold_case(name)) != 0;
  });
}

RegistryStore::DeleteResult RegistryStore::delete_key(std::u16string_view key) {
  std::lock_guard lock(mu_);
  refresh_locked();
  const std::u16string k = fold(key);
  DeleteResult result = DeleteResult::NotFound;
  change_locked([&](Keys& keys) {
    const std::u16string below = k + std::u16string(kSeparator);
    auto sub = keys.lower_bound(below);
    if (sub != keys.end() && starts_with(sub->first, below)) {
      result = DeleteResult::HasSubkeys;
      return false;
    }
    if (keys.erase(k) == 0) return false;
    result = DeleteResult::Deleted;
    return true;
  });
  return result;
}

bool RegistryStore::delete_tree(std::u16string_view key) {
  std::lock_guard lock(mu_);
  refresh_locked();
  const std::u16string k = fold(key);
  return change_locked([&](Keys& keys) {
    const std::u16string below = k + std::u16string(kSeparator);
    bool any = keys.erase(k) != 0;
    for (auto it = keys.lower_bound(below); it != keys.end() && starts_with(it->first, below);) {
      it = keys.erase(it);
      any = true;
    }
    return any;
  });
}

}  // namespace plat

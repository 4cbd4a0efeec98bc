#include "platform/iphlpapi/adapterlist.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>

#include "platform/common/hostdir.h"
#include "platform/common/sharedfile.h"

namespace plat::iphlp {
namespace {

std::string trim(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) ++start;
  return text.substr(start);
}

bool dotted(const std::string& text) {
  in_addr a{};
  return text.size() < 16 && inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool parse_address(const std::string& text, Address* out) {
  const auto slash = text.find('/');
  out->ip = text.substr(0, slash);
  out->mask = slash == std::string::npos ? "255.255.255.255" : text.substr(slash + 1);
  return dotted(out->ip) && dotted(out->mask);
}

bool parse_mac(const std::string& text, std::vector<std::uint8_t>* mac) {
  mac->clear();
  std::size_t i = 0;
  while (i < text.size()) {
    if (i + 2 > text.size() || mac->size() == 8) return false;
    char* end = nullptr;
    const std::string part = text.substr(i, 2);
    const unsigned long v = std::strtoul(part.c_str(), &end, 16);
    if (end != part.c_str() + 2) return false;
    mac->push_back(static_cast<std::uint8_t>(v));
    i += 2;
    if (i < text.size()) {
      if (text[i] != '-' && text[i] != ':') return false;
      ++i;
    }
  }
  return !mac->empty();
}

}  // namespace

std::string format_adapter_list(const std::vector<Adapter>& adapters) {
  std::string out = "; The network adapters of this host, as GetAdaptersInfo lists them (written by zekhost).\n";
  for (const auto& a : adapters) {
    out += "\n[adapter " + std::to_string(a.index) + "]\n";
    out += "name = " + a.name + "\n";
    out += "description = " + a.description + "\n";
    std::string mac;
    for (std::size_t i = 0; i < a.mac.size(); ++i) {
      char part[4];
      std::snprintf(part, sizeof part, "%02X", a.mac[i]);
      mac += (i == 0 ? "" : "-") + std::string(part);
    }
    out += "mac = " + mac + "\n";
    if (a.native) out += "native = " + a.native->ip + "/" + a.native->mask + "\n";
    if (a.san) out += "san = " + a.san->ip + "/" + a.san->mask + "\n";
  }
  return out;
}

bool parse_adapter_list(const std::string& text, std::vector<Adapter>* adapters, std::string* error) {
  adapters->clear();
  int number = 0;
  std::size_t start = 0;
  Adapter* current = nullptr;
  auto bad = [&](const std::string& what) {
    *error = "line " + std::to_string(number) + ": " + what;
    return false;
  };
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    std::string line = trim(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    start = end == std::string::npos ? text.size() : end + 1;
    ++number;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      unsigned index = 0;
      char close = 0;
      if (std::sscanf(line.c_str(), "[adapter %u%c", &index, &close) != 2 || close != ']') {
        return bad("expected [adapter N]");
      }
      adapters->push_back(Adapter{});
      current = &adapters->back();
      current->index = index;
      continue;
    }
    if (current == nullptr) return bad("an entry before the first adapter");
    const auto equals = line.find('=');
    if (equals == std::string::npos) return bad("expected key = value");
    const std::string key = trim(line.substr(0, equals));
    const std::string value = trim(line.substr(equals + 1));
    if (key == "name") {
      current->name = value;
    } else if (key == "description") {
      current->description = value;
    } else if (key == "mac") {
      if (!parse_mac(value, &current->mac)) return bad("a MAC address is hex bytes joined by '-'");
    } else if (key == "native" || key == "san") {
      Address address;
      if (!parse_address(value, &address)) return bad("an address is A.B.C.D/MASK");
      (key == "native" ? current->native : current->san) = address;
    }  // other keys are kept for later versions and ignored
  }
  return true;
}

std::vector<Adapter> host_adapters() {
  const std::string file = host_file("adapters.txt");
  std::vector<Adapter> adapters;
  std::string text, error;
  if (file.empty() || !read_whole_file(file, &text) || !parse_adapter_list(text, &adapters, &error)) return {};
  return adapters;
}

}  // namespace plat::iphlp

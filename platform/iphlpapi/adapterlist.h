// The host's list of network adapters, "adapters.txt" in the host
// directory: zekhost writes it when its adapters are bound; IP Helper
// (GetAdaptersInfo) reads it in the host's processes.
//
//   [adapter 1]
//   name = {7A656B00-0000-4000-8000-000000000000}
//   description = zekhnic adapter nic0 function 0
//   mac = 00-12-55-00-00-10
//   native = 127.0.10.1/255.0.0.0
//   san = 10.77.0.1/255.255.255.0
//
// The section's number is the adapter's index; "native" and "san" are its
// addresses with their masks (either may be missing).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plat::iphlp {

struct Address {
  std::string ip;    // dotted
  std::string mask;  // dotted
};

struct Adapter {
  std::uint32_t index = 0;
  std::string name;
  std::string description;
  std::vector<std::uint8_t> mac;  // up to 8 bytes
  std::optional<Address> native;
  std::optional<Address> san;
};

std::string format_adapter_list(const std::vector<Adapter>& adapters);
// False, with "line N: what", for text that is not an adapter list.
bool parse_adapter_list(const std::string& text, std::vector<Adapter>* adapters, std::string* error);

// The list of the host this process belongs to (none without a host or list).
std::vector<Adapter> host_adapters();

}  // namespace plat::iphlp

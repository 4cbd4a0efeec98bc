// Reads the offload form of an iWARP queue-pair context (include/hw/
// qp_context.h) into what the engine continues from: the TCP state, the
// frame addressing (the local address from the adapter's destination-IP
// table, the next hop's MAC from its ARP cache) and the MPA mode.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "include/hw/qp_context.h"
#include "sim/iwarp/iwarp_qp.h"

namespace zeksim {

struct AdapterAddressTables {
  std::function<std::optional<net::Mac>(std::uint16_t arp_index)> arp;
  std::function<std::optional<std::uint32_t>(std::uint8_t address_index)> local_address;
  net::Mac local_mac{};
};

// Nullopt with the reason when the context names an address the adapter
// does not have.
std::optional<IwarpOffload> decode_offload_context(const zekhw::MifhIwarpQpContext& context,
                                                   const AdapterAddressTables& tables, std::string* why);

}  // namespace zeksim

// The TDI stand-in: client registrations and address deliveries.
#include <algorithm>
#include <cstring>

#include "platform/tdi/host.h"

namespace plat::tdi {

namespace {

std::atomic<Tdi*> current_tdi{nullptr};

}  // namespace

Tdi::Tdi() {
  Tdi* expected = nullptr;
  current_tdi.compare_exchange_strong(expected, this);
}

Tdi::~Tdi() {
  Tdi* expected = this;
  current_tdi.compare_exchange_strong(expected, nullptr);
}

Tdi* Tdi::try_current() { return current_tdi.load(std::memory_order_acquire); }

void Tdi::deliver(const Client& client, const Address& address, bool add) {
  TA_ADDRESS record{};
  record.AddressLength = TDI_ADDRESS_LENGTH_IP;
  record.AddressType = TDI_ADDRESS_TYPE_IP;
  TDI_ADDRESS_IP ip{};
  ip.in_addr = address.ipv4;
  std::memcpy(record.Address, &ip, sizeof ip);
  std::u16string name(TDI_TCPIP_DEVICE_PREFIX);
  name += address.adapter;
  UNICODE_STRING device{};
  device.Buffer = name.data();
  device.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  device.MaximumLength = device.Length;
  if (add) {
    client.info.AddAddressHandlerV2(&record, &device, nullptr);
  } else {
    client.info.DelAddressHandlerV2(&record, &device, nullptr);
  }
}

void Tdi::add_address(std::u16string_view adapter, std::uint32_t ipv4) {
  std::lock_guard lock(mu_);
  for (const Address& a : addresses_) {
    if (a.adapter == adapter && a.ipv4 == ipv4) return;
  }
  addresses_.push_back(Address{std::u16string(adapter), ipv4});
  const Address added = addresses_.back();
  const std::vector<Client> clients = clients_;
  for (const Client& c : clients) deliver(c, added, true);
}

void Tdi::delete_address(std::u16string_view adapter, std::uint32_t ipv4) {
  std::lock_guard lock(mu_);
  auto it = std::find_if(addresses_.begin(), addresses_.end(),
                         [&](const Address& a) { return a.adapter == adapter && a.ipv4 == ipv4; });
  if (it == addresses_.end()) return;
  const Address gone = *it;
  addresses_.erase(it);
  const std::vector<Client> clients = clients_;
  for (const Client& c : clients) deliver(c, gone, false);
}

void Tdi::delete_adapter(std::u16string_view adapter) {
  std::lock_guard lock(mu_);
  for (;;) {
    auto it =
        std::find_if(addresses_.begin(), addresses_.end(), [&](const Address& a) { return a.adapter == adapter; });
    if (it == addresses_.end()) return;
    delete_address(adapter, it->ipv4);
  }
}

std::vector<Address> Tdi::addresses() const {
  std::lock_guard lock(mu_);
  return addresses_;
}

std::size_t Tdi::clients() const {
  std::lock_guard lock(mu_);
  return clients_.size();
}

NTSTATUS Tdi::register_client(const TDI_CLIENT_INTERFACE_INFO& info, HANDLE* handle) {
  if (info.MajorTdiVersion != 2 || info.MinorTdiVersion != 0 || info.AddAddressHandlerV2 == nullptr ||
      info.DelAddressHandlerV2 == nullptr || info.BindingHandler != nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  std::lock_guard lock(mu_);
  Client client{next_id_++, info};
  clients_.push_back(client);
  *handle = reinterpret_cast<HANDLE>(client.id);
  // The addresses already present, as if they arrived now.
  const std::vector<Address> present = addresses_;
  for (const Address& a : present) deliver(client, a, true);
  return STATUS_SUCCESS;
}

NTSTATUS Tdi::deregister_client(HANDLE handle) {
  std::lock_guard lock(mu_);
  const auto id = reinterpret_cast<std::uintptr_t>(handle);
  auto it = std::find_if(clients_.begin(), clients_.end(), [&](const Client& c) { return c.id == id; });
  if (it == clients_.end()) return STATUS_INVALID_PARAMETER;
  clients_.erase(it);
  return STATUS_SUCCESS;
}

}  // namespace plat::tdi

NTSTATUS TdiRegisterPnPHandlers(PTDI_CLIENT_INTERFACE_INFO ClientInterfaceInfo, ULONG InterfaceInfoSize,
                                HANDLE* BindingHandle) {
  if (ClientInterfaceInfo == nullptr || BindingHandle == nullptr ||
      InterfaceInfoSize < sizeof(TDI_CLIENT_INTERFACE_INFO)) {
    return STATUS_INVALID_PARAMETER;
  }
  plat::tdi::Tdi* tdi = plat::tdi::Tdi::try_current();
  if (tdi == nullptr) return STATUS_DEVICE_NOT_READY;
  return tdi->register_client(*ClientInterfaceInfo, BindingHandle);
}

NTSTATUS TdiDeregisterPnPHandlers(HANDLE BindingHandle) {
  plat::tdi::Tdi* tdi = plat::tdi::Tdi::try_current();
  if (tdi == nullptr) return STATUS_DEVICE_NOT_READY;
  return tdi->deregister_client(BindingHandle);
}

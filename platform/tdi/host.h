// The host side of the TDI stand-in: one Tdi per host. The host announces
// the IPv4 address of an adapter's interface once the adapter's miniport
// runs (the address keywords of the adapter, or a later change of the host
// stack's addresses) and withdraws it before the miniport halts; every
// registered client hears each change, and a new client hears the addresses
// present when it registers.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/tdi/tdi.h"

namespace plat::tdi {

struct Address {
  std::u16string adapter;  // the interface's adapter name (device "\Device\Tcpip_" + adapter)
  std::uint32_t ipv4;      // network byte order
};

class Tdi {
 public:
  Tdi();
  ~Tdi();
  Tdi(const Tdi&) = delete;
  Tdi& operator=(const Tdi&) = delete;

  // The host's TDI, or null.
  static Tdi* try_current();

  // An address arrives on an adapter's interface (again: nothing happens),
  // or goes (unknown: nothing happens). Call at PASSIVE_LEVEL.
  void add_address(std::u16string_view adapter, std::uint32_t ipv4);
  void delete_address(std::u16string_view adapter, std::uint32_t ipv4);
  // Every address of an adapter goes.
  void delete_adapter(std::u16string_view adapter);

  std::vector<Address> addresses() const;
  std::size_t clients() const;

  // For the client routines.
  NTSTATUS register_client(const TDI_CLIENT_INTERFACE_INFO& info, HANDLE* handle);
  NTSTATUS deregister_client(HANDLE handle);

 private:
  struct Client {
    std::uintptr_t id;
    TDI_CLIENT_INTERFACE_INFO info;
  };
  void deliver(const Client& client, const Address& address, bool add);

  // Deliveries run one at a time under this lock, which deregistration also
  // takes; a handler may call back into the Tdi on its own thread.
  mutable std::recursive_mutex mu_;
  std::vector<Address> addresses_;
  std::vector<Client> clients_;
  std::uintptr_t next_id_ = 1;
};

}  // namespace plat::tdi

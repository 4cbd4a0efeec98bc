// Adapters as the stack's interfaces: units (17 adapters, a unit given back
// at detach only), the transmit path when the driver runs out of buffers or
// is handed an oversized frame, and the address with the adapter's tables.
#include <cstring>
#include <deque>
#include <vector>

#include "proxy/tcpip/adapter_interface.h"
#include "tests/proxy/tcpip/tcpip_fixture.h"

namespace {

using namespace zektcp;

// The driver side: its transmit buffers and its IP and ARP tables.
struct FakeDriver {
  int buffers = 1000;
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<std::uint32_t> ip_added, ip_deleted, arp_added, arp_deleted;
};

TransmitResult transmit(void* context, const std::uint8_t* frame, std::uint32_t length) {
  auto* d = static_cast<FakeDriver*>(context);
  if (d->buffers == 0) return TransmitResult::NoBuffer;
  --d->buffers;
  d->frames.emplace_back(frame, frame + length);
  return TransmitResult::Sent;
}
std::uint32_t add_ip(void* c, std::uint32_t ip) {
  static_cast<FakeDriver*>(c)->ip_added.push_back(ip);
  return 0;
}
std::uint32_t del_ip(void* c, std::uint32_t ip) {
  static_cast<FakeDriver*>(c)->ip_deleted.push_back(ip);
  return 0;
}
std::uint32_t add_arp(void* c, const std::uint8_t*, std::uint32_t ip, std::uint32_t, std::uint8_t) {
  static_cast<FakeDriver*>(c)->arp_added.push_back(ip);
  return 1;
}
std::uint32_t del_arp(void* c, std::uint32_t ip) {
  static_cast<FakeDriver*>(c)->arp_deleted.push_back(ip);
  return 1;
}

class AdapterInterfaceTest : public TcpipTest {
 protected:
  void TearDown() override {
    for (auto& a : adapters_) {
      if (a.unit >= 0) adapter_interface_remove(&a);
    }
    TcpipTest::TearDown();
  }
  AdapterInterface* make(std::uint8_t last) {
    AdapterInterface& a = adapters_.emplace_back();
    const std::uint8_t mac[6] = {0x02, 0, 0, 0, 0, last};
    std::memcpy(a.mac, mac, 6);
    a.proxy_context = &driver_;
    a.transmit = transmit;
    a.transmit_context = &driver_;
    a.add_ip = add_ip;
    a.del_ip = del_ip;
    a.ac.ac_add_arp = add_arp;
    a.ac.ac_del_arp = del_arp;
    return &a;
  }
  // A UDP datagram of `bytes` to the subnet's broadcast address (no
  // neighbour to resolve) out of the interface.
  int send_datagram(int bytes) {
    socket* so = nullptr;
    BdcLocked lock;
    EXPECT_EQ(create_socket(AF_INET, &so, SOCK_DGRAM, 0, stack_process()), 0);
    so->so_options |= SO_BROADCAST;
    std::vector<std::uint8_t> data(static_cast<std::size_t>(bytes), 0x11);
    iovec iov{data.data(), data.size()};
    uio u{&iov, 1, 0, bytes, UIO_SYSSPACE, UIO_WRITE, nullptr};
    sockaddr_in to = make_sockaddr_in(ipv4(192, 0, 2, 255), 9);
    const int error = send_on_socket(so, reinterpret_cast<sockaddr*>(&to), &u, nullptr, nullptr, 0, stack_process());
    soclose(so);
    return error;
  }

  FakeDriver driver_;
  std::deque<AdapterInterface> adapters_;
};

TEST_F(AdapterInterfaceTest, SixteenUnitsAndAUnitIsGivenBackOnlyAtDetach) {
  for (int i = 0; i < 16; ++i) ASSERT_EQ(adapter_interface_add(make(static_cast<std::uint8_t>(i))), 0);
  EXPECT_EQ(adapter_units_in_use(), 16u);
  AdapterInterface* seventeenth = make(16);
  EXPECT_EQ(adapter_interface_add(seventeenth), BSD_ENOSPC);
  EXPECT_EQ(seventeenth->unit, -1);
  // Deleting an address keeps the unit; the detach frees it for the next.
  AdapterInterface* third = &adapters_[2];
  ASSERT_EQ(SetZekInterface(third, htonl(ipv4(192, 0, 2, 3)), htonl(0xFFFFFF00), htonl(ipv4(192, 0, 2, 255)),
                            ZEK_INTERFACE_ADD),
            0);
  ASSERT_EQ(SetZekInterface(third, htonl(ipv4(192, 0, 2, 3)), 0, 0, ZEK_INTERFACE_DELETE), 0);
  EXPECT_EQ(adapter_units_in_use(), 16u);
  EXPECT_EQ(adapter_interface_add(seventeenth), BSD_ENOSPC);
  adapter_interface_remove(third);
  ASSERT_EQ(adapter_interface_add(seventeenth), 0);
  EXPECT_EQ(seventeenth->unit, 2);
  EXPECT_EQ(driver_.ip_added, std::vector<std::uint32_t>{ipv4(192, 0, 2, 3)});
  EXPECT_EQ(driver_.ip_deleted, std::vector<std::uint32_t>{ipv4(192, 0, 2, 3)});
  EXPECT_EQ(driver_.arp_deleted.back(), ipv4(192, 0, 2, 3));
}

TEST_F(AdapterInterfaceTest, FramesWithoutATransmitBufferWaitAndGoWhenOneIsFree) {
  AdapterInterface* a = make(1);
  ASSERT_EQ(adapter_interface_add(a), 0);
  ASSERT_EQ(
      SetZekInterface(a, htonl(ipv4(192, 0, 2, 1)), htonl(0xFFFFFF00), htonl(ipv4(192, 0, 2, 255)), ZEK_INTERFACE_ADD),
      0);
  driver_.frames.clear();
  driver_.buffers = 1;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(send_datagram(100), 0);
  EXPECT_EQ(driver_.frames.size(), 1u);
  EXPECT_EQ(a->ac.ac_if.if_snd.ifq_len, 2);
  EXPECT_EQ(a->ac.ac_if.if_flags & IFF_OACTIVE, 0) << "the interface must not stay busy";
  driver_.buffers = 10;
  adapter_interface_transmit_done(a);
  EXPECT_EQ(driver_.frames.size(), 3u);
  EXPECT_EQ(a->ac.ac_if.if_snd.ifq_len, 0);
  // A frame too long for a transmit buffer is dropped, not copied.
  const std::uint32_t errors = a->ac.ac_if.if_data.ifi_oerrors;
  {
    BdcLocked lock;
    a->ac.ac_if.if_data.ifi_mtu = 9000;
  }
  EXPECT_EQ(send_datagram(2000), 0);
  EXPECT_EQ(driver_.frames.size(), 3u);
  EXPECT_EQ(a->ac.ac_if.if_data.ifi_oerrors, errors + 1);
}

// Frames of an interface that still wait in the stack's input queues when
// it is detached go with it: the soft-interrupt thread must never meet a
// frame whose interface is gone. The bottom half's input and the detach
// both run under the stack input lock, so holding it keeps the frames
// queued here.
TEST_F(AdapterInterfaceTest, ADetachTakesTheInterfacesFramesOutOfTheInputQueues) {
  AdapterInterface* a = make(1);
  AdapterInterface* other = make(2);
  ASSERT_EQ(adapter_interface_add(a), 0);
  ASSERT_EQ(adapter_interface_add(other), 0);
  a->present = 1;
  other->present = 1;
  {
    BdcLocked lock;
    iface_mark_up(&a->ac.ac_if);
    iface_mark_up(&other->ac.ac_if);
  }
  std::uint8_t header[14] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0, 0, 9, 0x08, 0x06};
  std::uint8_t arp[28] = {0, 1, 8, 0, 6, 4, 0, 1};
  std::uint8_t ip[20] = {0x45};
  AcquireInputLock();
  adapter_interface_input_locked(a, header, arp, sizeof(arp));
  adapter_interface_input_locked(other, header, arp, sizeof(arp));
  header[13] = 0x00;  // IPv4
  adapter_interface_input_locked(a, header, ip, sizeof(ip));
  adapter_interface_input_locked(a, header, ip, sizeof(ip));
  adapter_interface_remove(a);
  const int ip_left = ipintrq.ifq_len;
  const int arp_left = arpintrq.ifq_len;
  const ifnet* arp_first = arpintrq.ifq_head != nullptr ? arpintrq.ifq_head->mh.m_pkthdr.rcvif : nullptr;
  // Input after the detach is dropped.
  adapter_interface_input_locked(a, header, ip, sizeof(ip));
  const int ip_after = ipintrq.ifq_len;
  ReleaseInputLock();
  EXPECT_EQ(ip_left, 0);
  EXPECT_EQ(arp_left, 1) << "the other interface's frame stays";
  EXPECT_EQ(arp_first, &other->ac.ac_if);
  EXPECT_EQ(ip_after, 0);
}

}  // namespace

// zekhnic's OID requests over the NDIS stand-in and a simulated board that
// runs: queries and sets as tables of cases (status, bytes written or read,
// bytes needed), the refusals of the adapter's state, the diagnostic OIDs,
// and the statistics after frames went through the adapter's NIC engine.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "include/hw/nic.h"
#include "include/hw/registers.h"
#include "miniport/adapter.h"
#include "miniport/bringup.h"
#include "miniport/oid.h"
#include "proxy/core/osprim/osprim_kernel.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/reg_access.h"
#include "sim/board.h"
#include "tests/miniport/driver_log.h"
#include "tests/support/adapter_bringup.h"
#include "tests/support/ndis_fixture.h"

namespace {

struct Answer {
  NDIS_STATUS status;
  ULONG bytes;
  ULONG needed;
};

// On the real clock: the bring-up's waits for the adapter are bounded in
// time, and on the virtual clock they would pass in a few real
// milliseconds, whatever the machine's load.
class OidTest : public NdisTest {
 protected:
  plat::KernelOptions options() override {
    plat::KernelOptions o = NdisTest::options();
    o.clock = plat::Clock::Mode::Real;
    return o;
  }
  void TearDown() override {
    OSPrimLogRingClear();
    if (driver_ != nullptr) io_->unload_driver(driver_);
    const std::string log = driver_log();
    EXPECT_EQ(log.find("no completion"), std::string::npos) << log;
    NdisTest::TearDown();
  }
  void load(unsigned functions = 1, std::vector<std::pair<std::string, std::string>> entries = {}) {
    entries.emplace_back("functions", std::to_string(functions));
    add_board("nic0", entries);
    ASSERT_EQ(io_->load_driver("zekhnic", DriverEntry, &driver_), STATUS_SUCCESS);
    ASSERT_EQ(ndis_->start_adapters(driver_), functions);
    for (plat::ndis::Adapter* a : ndis_->adapters()) {
      ASSERT_EQ(a->init_status(), NDIS_STATUS_SUCCESS) << a->name() << "\n" << driver_log();
    }
    for (plat::ndis::Adapter* a : ndis_->adapters()) {
      ASSERT_TRUE(ndis_->wait_for(*a, plat::ndis::AdapterState::Running, std::chrono::seconds(60)))
          << plat::ndis::to_string(a->state());
    }
  }
  plat::ndis::Adapter& ndis(unsigned function = 0) {
    for (plat::ndis::Adapter* a : ndis_->adapters()) {
      if (a->function().function == function) return *a;
    }
    return *ndis_->adapters().at(0);
  }
  ZEK_ADAPTER* zek(unsigned function = 0) { return static_cast<ZEK_ADAPTER*>(ndis(function).context()); }
  zeksim::Board& board() { return adapters_->board(0); }

  Answer query(NDIS_OID oid, void* buffer, ULONG length, unsigned function = 0,
               NDIS_REQUEST_TYPE type = NdisRequestQueryInformation) {
    NDIS_OID_REQUEST r{};
    r.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof r};
    r.RequestType = type;
    r.DATA.QUERY_INFORMATION.Oid = oid;
    r.DATA.QUERY_INFORMATION.InformationBuffer = buffer;
    r.DATA.QUERY_INFORMATION.InformationBufferLength = length;
    const NDIS_STATUS s = ndis_->oid_request(ndis(function), r);
    return {s, r.DATA.QUERY_INFORMATION.BytesWritten, r.DATA.QUERY_INFORMATION.BytesNeeded};
  }
  Answer set(NDIS_OID oid, const void* buffer, ULONG length, unsigned function = 0) {
    NDIS_OID_REQUEST r{};
    r.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof r};
    r.RequestType = NdisRequestSetInformation;
    r.DATA.SET_INFORMATION.Oid = oid;
    r.DATA.SET_INFORMATION.InformationBuffer = const_cast<void*>(buffer);
    r.DATA.SET_INFORMATION.InformationBufferLength = length;
    const NDIS_STATUS s = ndis_->oid_request(ndis(function), r);
    return {s, r.DATA.SET_INFORMATION.BytesRead, r.DATA.SET_INFORMATION.BytesNeeded};
  }
  std::uint64_t query64(NDIS_OID oid, unsigned function = 0) {
    std::uint64_t v = ~0ull;
    const Answer a = query(oid, &v, sizeof v, function);
    EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS) << std::hex << oid;
    return v;
  }
  std::uint32_t query32(NDIS_OID oid, unsigned function = 0) {
    std::uint32_t v = ~0u;
    EXPECT_EQ(query(oid, &v, sizeof v, function).status, NDIS_STATUS_SUCCESS) << std::hex << oid;
    return v;
  }
  // The status indications the adapter made with a code, oldest first.
  std::vector<plat::ndis::StatusRecord> indications(NDIS_STATUS code, unsigned function = 0) {
    std::vector<plat::ndis::StatusRecord> out;
    for (auto& r : ndis(function).status_indications()) {
      if (r.code == code) out.push_back(r);
    }
    return out;
  }
  // An indexed register through the last index pair, which no function uses.
  std::uint32_t indexed(std::uint32_t index) {
    constexpr unsigned kPair = 7;
    board().mmio_write(0, zeksim::Window::Registers, zekhw::index_register(kPair), index, 4);
    return static_cast<std::uint32_t>(board().mmio_read(0, zeksim::Window::Registers, zekhw::data_register(kPair), 4));
  }

  PDRIVER_OBJECT driver_ = nullptr;
};

struct QueryCase {
  const char* name;
  NDIS_OID oid;
  ULONG length;
  NDIS_STATUS status;
  ULONG bytes;
  ULONG needed;
  std::int64_t value;  // the answer's first u32 (-1: not checked)
};

TEST_F(OidTest, QueriesAnswerWithTheirSizesOrTheBytesNeeded) {
  load();
  const QueryCase cases[] = {
      {"supported list", OID_GEN_SUPPORTED_LIST, 220, NDIS_STATUS_SUCCESS, 220, 0, OID_GEN_SUPPORTED_LIST},
      {"supported list, short", OID_GEN_SUPPORTED_LIST, 219, NDIS_STATUS_BUFFER_TOO_SHORT, 0, 220, -1},
      {"link speed in 100 bit/s", OID_GEN_LINK_SPEED, 4, NDIS_STATUS_SUCCESS, 4, 0, 100'000'000},
      {"link speed, short", OID_GEN_LINK_SPEED, 2, NDIS_STATUS_BUFFER_TOO_SHORT, 0, 4, -1},
      {"hardware status", OID_GEN_HARDWARE_STATUS, 4, NDIS_STATUS_SUCCESS, 4, 0, 0},
      {"medium", OID_GEN_MEDIA_IN_USE, 4, NDIS_STATUS_SUCCESS, 4, 0, 0},
      {"frame size", OID_GEN_MAXIMUM_FRAME_SIZE, 4, NDIS_STATUS_SUCCESS, 4, 0, 1500},
      {"total size", OID_GEN_MAXIMUM_TOTAL_SIZE, 4, NDIS_STATUS_SUCCESS, 4, 0, 1514},
      {"transmit buffer space", OID_GEN_TRANSMIT_BUFFER_SPACE, 4, NDIS_STATUS_SUCCESS, 4, 0, 512 * 1514},
      {"vendor driver version", OID_GEN_VENDOR_DRIVER_VERSION, 4, NDIS_STATUS_SUCCESS, 4, 0, 0x0001000E},
      {"driver version", OID_GEN_DRIVER_VERSION, 2, NDIS_STATUS_SUCCESS, 2, 0, -1},
      {"vendor description", OID_GEN_VENDOR_DESCRIPTION, 64, NDIS_STATUS_SUCCESS, 10, 0, -1},
      {"vendor description, short", OID_GEN_VENDOR_DESCRIPTION, 9, NDIS_STATUS_BUFFER_TOO_SHORT, 0, 10, -1},
      {"multicast list size", OID_802_3_MAXIMUM_LIST_SIZE, 4, NDIS_STATUS_SUCCESS, 4, 0, 32},
      {"permanent address", OID_802_3_PERMANENT_ADDRESS, 6, NDIS_STATUS_SUCCESS, 6, 0, -1},
      {"current address, short", OID_802_3_CURRENT_ADDRESS, 5, NDIS_STATUS_BUFFER_TOO_SHORT, 0, 6, -1},
      {"send packets", OID_GEN_MAXIMUM_SEND_PACKETS, 4, NDIS_STATUS_SUCCESS, 4, 0, 512},
      {"link parameters", OID_GEN_LINK_PARAMETERS, 32, NDIS_STATUS_SUCCESS, 32, 0, -1},
      {"encapsulation", OID_OFFLOAD_ENCAPSULATION, 28, NDIS_STATUS_SUCCESS, 28, 0, -1},
      {"offload parameters, short", OID_TCP_OFFLOAD_PARAMETERS, 19, NDIS_STATUS_BUFFER_TOO_SHORT, 0, 20, -1},
      {"offload parameters", OID_TCP_OFFLOAD_PARAMETERS, 20, NDIS_STATUS_SUCCESS, 4, 0, 0},
      {"task offload", OID_TCP_TASK_OFFLOAD, 64, NDIS_STATUS_NOT_SUPPORTED, 0, 0, -1},
      {"power query", OID_PNP_QUERY_POWER, 4, NDIS_STATUS_NOT_SUPPORTED, 0, 0, -1},
      {"statistics, short", OID_GEN_STATISTICS, 151, NDIS_STATUS_BUFFER_TOO_SHORT, 0, 152, -1},
      {"statistics", OID_GEN_STATISTICS, 152, NDIS_STATUS_SUCCESS, 152, 0, -1},
      {"counter, 8 bytes", OID_GEN_XMIT_OK, 8, NDIS_STATUS_SUCCESS, 8, 0, -1},
      {"counter, low half", OID_GEN_XMIT_OK, 5, NDIS_STATUS_SUCCESS, 4, 0, -1},
      {"counter, short", OID_GEN_RCV_OK, 3, NDIS_STATUS_BUFFER_TOO_SHORT, 0, 8, -1},
      {"collisions", OID_802_3_XMIT_ONE_COLLISION, 8, NDIS_STATUS_SUCCESS, 8, 0, 0},
      {"a custom OID between the diagnostics", 0xFF0200D3, 64, NDIS_STATUS_NOT_SUPPORTED, 0, 0, -1},
      {"a custom OID past the diagnostics", 0xFF0201AA, 64, NDIS_STATUS_NOT_SUPPORTED, 0, 0, -1},
      {"an unknown OID", 0x00FFFFFF, 64, NDIS_STATUS_NOT_SUPPORTED, 0, 0, -1},
  };
  for (const QueryCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> buffer(c.length + 8, 0xEE);
    const Answer a = query(c.oid, buffer.data(), c.length);
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(a.bytes, c.bytes);
    EXPECT_EQ(a.needed, c.needed);
    if (c.value >= 0) {
      std::uint32_t v = 0;
      std::memcpy(&v, buffer.data(), 4);
      EXPECT_EQ(v, static_cast<std::uint32_t>(c.value));
    }
    // Nothing is written past what the answer says.
    for (std::size_t i = a.bytes; i < buffer.size(); ++i) {
      if (buffer[i] != 0xEE) {
        ADD_FAILURE() << "byte " << i << " written";
        break;
      }
    }
  }
  char text[16] = {};
  query(OID_GEN_VENDOR_DESCRIPTION, text, sizeof text);
  EXPECT_STREQ(text, "Quillmora");
  NDIS_OID list[55] = {};
  query(OID_GEN_SUPPORTED_LIST, list, sizeof list);
  EXPECT_EQ(list[53], OID_ZEK_DEVICE_NAME);
  EXPECT_EQ(list[54], OID_ZEK_NIC_PROXY_INTERFACE);
  EXPECT_EQ(ndis().attributes().supported_oids, std::vector<NDIS_OID>(list, list + 55));
}

// The connect status is 0 (connected) or 1 (disconnected), never a status
// code in place of the value.
TEST_F(OidTest, ConnectStatusIsAValueNotAStatusCode) {
  load();
  zek()->LinkChanged = 1;  // read from the PHY again
  const std::uint32_t status = query32(OID_GEN_MEDIA_CONNECT_STATUS);
  EXPECT_EQ(status, zek()->LinkDown != 0 ? 1u : 0u);
  EXPECT_LE(status, 1u);
}

// The adapter's state refuses requests with a failure code; a shut-down
// adapter still takes the packet filter; method requests succeed.
TEST_F(OidTest, TheAdaptersStateRefusesWithAFailure) {
  load();
  std::uint32_t v = 0;
  const std::uint32_t saved = zek()->NdisState;
  for (std::uint32_t state : {ZEK_STATE_INITIALIZING, ZEK_STATE_HALTING, ZEK_STATE_SHUTDOWN}) {
    SCOPED_TRACE(state);
    zek()->NdisState = state;
    const Answer a = query(OID_GEN_LINK_SPEED, &v, 4);
    EXPECT_EQ(a.status, ZEK_OID_STATUS_NOT_READY);
    EXPECT_TRUE(NT_ERROR(a.status)) << "a refusal is an error, not success-class";
  }
  const std::uint32_t filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
  EXPECT_EQ(set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4).status, NDIS_STATUS_SUCCESS);
  zek()->NdisState = saved;
  EXPECT_EQ(query(OID_GEN_LINK_SPEED, &v, 4, 0, NdisRequestMethod).status, NDIS_STATUS_SUCCESS);
}

struct SetCase {
  const char* name;
  NDIS_OID oid;
  std::vector<std::uint8_t> data;
  NDIS_STATUS status;
  ULONG read;
  ULONG needed;
};

std::vector<std::uint8_t> u32s(std::initializer_list<std::uint32_t> words) {
  std::vector<std::uint8_t> out(words.size() * 4);
  std::size_t i = 0;
  for (std::uint32_t w : words) std::memcpy(out.data() + 4 * i++, &w, 4);
  return out;
}
template <typename T>
std::vector<std::uint8_t> bytes_of(const T& t, std::size_t size = sizeof(T)) {
  std::vector<std::uint8_t> out(size);
  std::memcpy(out.data(), &t, std::min(size, sizeof(T)));
  return out;
}

TEST_F(OidTest, SetsCheckTheirLengthsAndValues) {
  load();
  NDIS_LINK_PARAMETERS link{};
  link.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof link};
  NDIS_LINK_PARAMETERS link_bad_type = link;
  link_bad_type.Header.Type = 0x81;
  NDIS_LINK_PARAMETERS link_short = link;
  link_short.Header.Size = 31;
  NDIS_OFFLOAD_ENCAPSULATION encap{};
  encap.Header = {NDIS_OBJECT_TYPE_OFFLOAD_ENCAPSULATION, 1, sizeof encap};
  encap.IPv4 = {NDIS_OFFLOAD_SET_ON, 3, 0};
  NDIS_OFFLOAD_ENCAPSULATION encap_v6 = encap;
  encap_v6.IPv4 = {NDIS_OFFLOAD_SET_ON, NDIS_ENCAPSULATION_IEEE_802_3, 0};
  encap_v6.IPv6 = {NDIS_OFFLOAD_SET_ON, NDIS_ENCAPSULATION_IEEE_802_3, 0};
  const SetCase cases[] = {
      {"filter of 3 bytes", OID_GEN_CURRENT_PACKET_FILTER, {1, 0, 0}, NDIS_STATUS_INVALID_LENGTH, 0, 4},
      {"filter with source routing", OID_GEN_CURRENT_PACKET_FILTER, u32s({0x19}), NDIS_STATUS_NOT_SUPPORTED, 0, 0},
      {"multicast list of 33", OID_802_3_MULTICAST_LIST, std::vector<std::uint8_t>(198), NDIS_STATUS_INVALID_LENGTH, 0,
       0},
      {"multicast list of 7 bytes", OID_802_3_MULTICAST_LIST, std::vector<std::uint8_t>(7), NDIS_STATUS_INVALID_LENGTH,
       0, 0},
      {"lookahead of 2 bytes", OID_GEN_CURRENT_LOOKAHEAD, {1, 2}, NDIS_STATUS_INVALID_LENGTH, 0, 4},
      {"VLAN beyond 4095", OID_GEN_VLAN_ID, u32s({4096}), NDIS_STATUS_INVALID_DATA, 0, 0},
      {"VLAN", OID_GEN_VLAN_ID, u32s({42}), NDIS_STATUS_SUCCESS, 4, 0},
      {"link parameters of another type", OID_GEN_LINK_PARAMETERS, bytes_of(link_bad_type), NDIS_STATUS_NOT_SUPPORTED,
       0, 0},
      {"link parameters of 31 bytes", OID_GEN_LINK_PARAMETERS, bytes_of(link_short), NDIS_STATUS_INVALID_LENGTH, 0, 32},
      {"link parameters, 2 bytes", OID_GEN_LINK_PARAMETERS, {0x80, 1}, NDIS_STATUS_INVALID_LENGTH, 0, 32},
      {"encapsulation of 27 bytes", OID_OFFLOAD_ENCAPSULATION, bytes_of(encap, 27), NDIS_STATUS_INVALID_LENGTH, 0, 28},
      {"encapsulation type 3", OID_OFFLOAD_ENCAPSULATION, bytes_of(encap), NDIS_STATUS_NOT_SUPPORTED, 0, 0},
      {"encapsulation with IPv6", OID_OFFLOAD_ENCAPSULATION, bytes_of(encap_v6), NDIS_STATUS_NOT_SUPPORTED, 0, 0},
      {"interrupt moderation", OID_GEN_INTERRUPT_MODERATION, std::vector<std::uint8_t>(12), NDIS_STATUS_NOT_SUPPORTED,
       0, 0},
      {"power", OID_PNP_SET_POWER, u32s({1}), NDIS_STATUS_SUCCESS, 4, 0},
      {"a query-only OID", OID_GEN_LINK_SPEED, u32s({1}), NDIS_STATUS_NOT_SUPPORTED, 0, 0},
  };
  for (const SetCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Answer a = set(c.oid, c.data.data(), static_cast<ULONG>(c.data.size()));
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(a.bytes, c.read);
    EXPECT_EQ(a.needed, c.needed);
  }
  EXPECT_EQ(query32(OID_GEN_VLAN_ID), 42u);
  EXPECT_EQ(query32(OID_GEN_CURRENT_PACKET_FILTER), 0u) << "a refused filter leaves the old one";
}

// The packet filter programs the function's receive masks; promiscuous
// takes every kind of frame, and a filter without it gives all-unicast back.
TEST_F(OidTest, PacketFilterProgramsTheReceiveMasks) {
  load(2);
  const std::uint32_t slot = 1u << 1;
  const std::uint32_t others = indexed(zekhw::kIdxBroadcast) & ~slot;
  struct Case {
    std::uint32_t filter;
    bool broadcast, multicast, all_multicast, all_unicast;
  } const cases[] = {
      {NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST, true, false, false, false},
      {NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_ALL_MULTICAST, false, true, true, false},
      {NDIS_PACKET_TYPE_PROMISCUOUS, true, true, true, true},
      {NDIS_PACKET_TYPE_DIRECTED, false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.filter);
    ASSERT_EQ(set(OID_GEN_CURRENT_PACKET_FILTER, &c.filter, 4, 1).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ((indexed(zekhw::kIdxBroadcast) & slot) != 0, c.broadcast);
    EXPECT_EQ((indexed(zekhw::kIdxMulticastHashEnable) & slot) != 0, c.multicast);
    EXPECT_EQ((indexed(zekhw::kIdxAllMulticast) & slot) != 0, c.all_multicast);
    EXPECT_EQ((indexed(zekhw::kIdxAllUnicast) & slot) != 0, c.all_unicast);
    EXPECT_EQ(query32(OID_GEN_CURRENT_PACKET_FILTER, 1), c.filter);
  }
  EXPECT_EQ(indexed(zekhw::kIdxBroadcast) & ~slot, others) << "the other slots untouched";
}

// Setting the link parameters indicates the link as it is, not a fixed
// "connected at 10 Mb/s".
TEST_F(OidTest, LinkParametersIndicateTheLinkAsItIs) {
  load();
  NDIS_LINK_PARAMETERS p{};
  p.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof p};
  for (bool down : {true, false}) {
    SCOPED_TRACE(down ? "down" : "up");
    zek()->LinkDown = down ? 1 : 0;
    const std::size_t before = indications(NDIS_STATUS_LINK_STATE).size();
    ASSERT_EQ(set(OID_GEN_LINK_PARAMETERS, &p, sizeof p).status, NDIS_STATUS_SUCCESS);
    const auto after = indications(NDIS_STATUS_LINK_STATE);
    ASSERT_EQ(after.size(), before + 1);
    NDIS_LINK_STATE state{};
    std::memcpy(&state, after.back().buffer.data(), sizeof state);
    EXPECT_EQ(state.MediaConnectState, down ? MediaConnectStateDisconnected : MediaConnectStateConnected);
    EXPECT_EQ(state.XmitLinkSpeed, down ? 0u : 10'000'000'000u);
  }
}

struct OffloadCase {
  const char* name;
  NDIS_OBJECT_HEADER header;
  std::array<UCHAR, 11> values;  // IPv4, TCP, UDP, TCPv6, UDPv6, LSOv1, IPsec, LSOv2 v4, v6, conn v4, v6
  NDIS_STATUS status;
  ULONG needed;
  bool tx, rx;  // checksum offload after the request
};

TEST_F(OidTest, OffloadParametersTable) {
  load();
  const NDIS_OBJECT_HEADER good{NDIS_OBJECT_TYPE_DEFAULT, 1, 20};
  // OffloadEnable (1 by default) on revision 4: checksums in use both ways;
  // a refused request leaves them as they are.
  const OffloadCase cases[] = {
      {"another header type", {0x81, 1, 20}, {}, NDIS_STATUS_INVALID_DATA, 0, true, true},
      {"another revision", {0x80, 2, 20}, {}, NDIS_STATUS_INVALID_DATA, 0, true, true},
      {"19 bytes", {0x80, 1, 19}, {}, NDIS_STATUS_INVALID_LENGTH, 20, true, true},
      {"checksum value 5", good, {5}, NDIS_STATUS_INVALID_DATA, 0, true, true},
      {"IPv6 checksum", good, {0, 0, 0, 1}, NDIS_STATUS_INVALID_DATA, 0, true, true},
      {"LSO version 2", good, {0, 0, 0, 0, 0, 0, 0, 1}, NDIS_STATUS_INVALID_DATA, 0, true, true},
      {"LSO value 3", good, {0, 0, 0, 0, 0, 3}, NDIS_STATUS_INVALID_DATA, 0, true, true},
      {"all transmit only", good, {2, 2, 2}, NDIS_STATUS_SUCCESS, 0, true, false},
      {"TCP both", good, {0, 4}, NDIS_STATUS_SUCCESS, 0, true, true},
      {"all receive only", good, {3, 3, 3}, NDIS_STATUS_SUCCESS, 0, false, true},
      {"a bad value after good ones changes nothing", good, {4, 4, 9}, NDIS_STATUS_INVALID_DATA, 0, false, true},
      {"all off", good, {1, 1, 1}, NDIS_STATUS_SUCCESS, 0, false, false},
  };
  for (const OffloadCase& c : cases) {
    SCOPED_TRACE(c.name);
    NDIS_OFFLOAD_PARAMETERS p{};
    p.Header = c.header;
    std::memcpy(&p.IPv4Checksum, c.values.data(), c.values.size());
    const std::size_t before = indications(NDIS_STATUS_TASK_OFFLOAD_CURRENT_CONFIG).size();
    const Answer a = set(OID_TCP_OFFLOAD_PARAMETERS, &p, sizeof p);
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(a.needed, c.needed);
    EXPECT_EQ(zek()->Oid.TxChecksum != 0, c.tx);
    EXPECT_EQ(zek()->Oid.RxChecksum != 0, c.rx);
    const auto after = indications(NDIS_STATUS_TASK_OFFLOAD_CURRENT_CONFIG);
    EXPECT_EQ(after.size(), before + (c.status == NDIS_STATUS_SUCCESS ? 1 : 0));
    if (c.status == NDIS_STATUS_SUCCESS) {
      EXPECT_EQ(after.back().buffer.size(), 112u);
    }
  }
}

TEST_F(OidTest, EncapsulationSetIsAnsweredBack) {
  load();
  struct Case {
    std::uint32_t type, header;
  } const cases[] = {{NDIS_ENCAPSULATION_IEEE_802_3, 14},
                     {NDIS_ENCAPSULATION_IEEE_802_3_P_AND_Q, 18},
                     {NDIS_ENCAPSULATION_IEEE_802_3_P_AND_Q_IN_OOB, 18}};
  for (const Case& c : cases) {
    NDIS_OFFLOAD_ENCAPSULATION e{};
    e.Header = {NDIS_OBJECT_TYPE_OFFLOAD_ENCAPSULATION, 1, sizeof e};
    e.IPv4 = {NDIS_OFFLOAD_SET_ON, c.type, 0};
    ASSERT_EQ(set(OID_OFFLOAD_ENCAPSULATION, &e, sizeof e).status, NDIS_STATUS_SUCCESS);
    NDIS_OFFLOAD_ENCAPSULATION back{};
    ASSERT_EQ(query(OID_OFFLOAD_ENCAPSULATION, &back, sizeof back).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(back.IPv4.Enabled, NDIS_OFFLOAD_SET_ON);
    EXPECT_EQ(back.IPv4.EncapsulationType, c.type);
    EXPECT_EQ(back.IPv4.HeaderSize, c.header);
    EXPECT_EQ(back.IPv6.Enabled, NDIS_OFFLOAD_SET_OFF);
  }
}

// A diagnostic record: magic, two u32 fields, then data.
std::vector<std::uint8_t> record(std::uint32_t magic, std::uint32_t a, std::uint32_t b, std::size_t size = 12) {
  std::vector<std::uint8_t> r(std::max<std::size_t>(size, 12), 0xEE);
  std::memcpy(r.data(), &magic, 4);
  std::memcpy(r.data() + 4, &a, 4);
  std::memcpy(r.data() + 8, &b, 4);
  r.resize(size);  // a short record holds what fits
  return r;
}
std::uint32_t word_at(const std::vector<std::uint8_t>& r, std::size_t at) {
  std::uint32_t v = 0;
  std::memcpy(&v, r.data() + at, 4);
  return v;
}

struct DiagCase {
  const char* name;
  NDIS_OID oid;
  std::vector<std::uint8_t> data;
  NDIS_STATUS status;
  ULONG bytes;
  ULONG needed;
};

TEST_F(OidTest, DiagnosticRecordsAreCheckedBeforeTheHardware) {
  load();
  const std::uint32_t m = ZEK_DIAG_MAGIC;
  // EEPROM records: magic, u16 address, u16 0, u16 count, u16 0.
  const auto eeprom = [&](std::uint16_t first, std::uint16_t count, std::size_t size) {
    return record(m, first, count, size);
  };
  const DiagCase cases[] = {
      {"wrong magic", OID_ZEK_READ_REGISTER, record(0x8087, 0x30, 0), NDIS_STATUS_INVALID_DATA, 0, 0},
      {"no record", OID_ZEK_READ_REGISTER, {}, NDIS_STATUS_INVALID_DATA, 0, 0},
      {"short record", OID_ZEK_READ_REGISTER, record(m, 0x30, 0, 8), NDIS_STATUS_BUFFER_TOO_SHORT, 0, 12},
      {"register beyond the window", OID_ZEK_READ_REGISTER, record(m, 4096, 0), NDIS_STATUS_INVALID_DATA, 0, 0},
      {"unaligned register", OID_ZEK_WRITE_REGISTER, record(m, 0x31, 0), NDIS_STATUS_INVALID_DATA, 0, 0},
      {"register", OID_ZEK_READ_REGISTER, record(m, 0x30, 0), NDIS_STATUS_SUCCESS, 12, 0},
      {"indexed register", OID_ZEK_READ_INDEXED, record(m, zekhw::idx_scratchpad(9), 0), NDIS_STATUS_SUCCESS, 12, 0},
      // 12 + 4 x 0x40000000 wraps to 12 in 32 bits.
      {"flash count that would wrap", OID_ZEK_READ_FLASH, record(m, 0, 0x40000000u, 16), NDIS_STATUS_BUFFER_TOO_SHORT,
       0, 0xFFFFFFFF},
      {"flash count beyond the buffer", OID_ZEK_READ_FLASH, record(m, 0, 2, 16), NDIS_STATUS_BUFFER_TOO_SHORT, 0, 20},
      {"flash", OID_ZEK_READ_FLASH, record(m, 0, 2, 20), NDIS_STATUS_SUCCESS, 20, 0},
      {"EEPROM below 14 bytes", OID_ZEK_READ_EEPROM, eeprom(0, 1, 13), NDIS_STATUS_BUFFER_TOO_SHORT, 0, 14},
      {"EEPROM past its end", OID_ZEK_READ_EEPROM, eeprom(1020, 8, 28), NDIS_STATUS_INVALID_DATA, 0, 0},
      {"EEPROM", OID_ZEK_READ_EEPROM, eeprom(0, 4, 20), NDIS_STATUS_SUCCESS, 20, 0},
      {"EEPROM, device read", OID_ZEK_READ_EEPROM_DEVICE, eeprom(0, 4, 20), NDIS_STATUS_SUCCESS, 20, 0},
      {"PHY, short", OID_ZEK_READ_PHY, {0, 0, 0, 0, 0}, NDIS_STATUS_BUFFER_TOO_SHORT, 0, 6},
      {"PHY", OID_ZEK_READ_PHY, {1, 0, 0, 0, 0, 0}, NDIS_STATUS_SUCCESS, 6, 0},
      {"stop with no buffer", OID_ZEK_STOP_DATA_PATH, {}, NDIS_STATUS_INVALID_DATA, 0, 0},
  };
  for (const DiagCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> data = c.data;
    const Answer a = query(c.oid, data.empty() ? nullptr : data.data(), static_cast<ULONG>(data.size()));
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(a.bytes, c.bytes);
    EXPECT_EQ(a.needed, c.needed);
  }
  auto r = record(m, zekhw::idx_scratchpad(ZEK_SCRATCHPAD_MARKER), 0);
  query(OID_ZEK_READ_INDEXED, r.data(), 12);
  EXPECT_EQ(word_at(r, 8), ZEK_LOAD_MARKER);
  r = record(m, 0, 2, 20);
  query(OID_ZEK_READ_FLASH, r.data(), 20);
  EXPECT_EQ(word_at(r, 12), board().flash_word(0));
  EXPECT_EQ(word_at(r, 16), board().flash_word(4));
  for (NDIS_OID oid : {OID_ZEK_READ_EEPROM, OID_ZEK_READ_EEPROM_DEVICE}) {
    r = eeprom(2, 4, 20);
    query(oid, r.data(), 20);
    for (unsigned i = 0; i < 4; ++i) {
      std::uint16_t w = 0;
      std::memcpy(&w, r.data() + 12 + 2 * i, 2);
      EXPECT_EQ(w, board().eeprom_word(2 + i)) << std::hex << oid << " word " << i;
    }
  }
  // An indexed write through the OID reaches the register.
  r = record(m, zekhw::idx_scratchpad(12), 0x5A5A1234);
  EXPECT_EQ(query(OID_ZEK_WRITE_INDEXED, r.data(), 12).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(indexed(zekhw::idx_scratchpad(12)), 0x5A5A1234u);
}

TEST_F(OidTest, DeviceNameAndDataPathStop) {
  load(2);
  // The name is the symbolic name without its DOS prefix: the prefix and the NetCfgInstanceId.
  std::string name = "VELMORIK_";
  for (const WCHAR* c = zek(1)->InstanceId; *c != 0; ++c) name += static_cast<char>(*c);
  std::vector<char> text(name.size() + 1, 'x');
  Answer a = query(OID_ZEK_DEVICE_NAME, text.data(), static_cast<ULONG>(name.size()), 1);
  EXPECT_EQ(a.status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(a.needed, name.size() + 1);
  a = query(OID_ZEK_DEVICE_NAME, text.data(), static_cast<ULONG>(text.size()), 1);
  ASSERT_EQ(a.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(std::string(text.data()), name);

  const std::uint32_t any = 1;
  ASSERT_EQ(zek(1)->DataPath, ZEK_DATAPATH_RUNNING);
  EXPECT_EQ(query(OID_ZEK_STOP_DATA_PATH, const_cast<std::uint32_t*>(&any), 4, 1).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(zek(1)->DataPath, ZEK_DATAPATH_PAUSED);
  EXPECT_EQ(zek(1)->LinkIndicated, ZEK_LINK_INDICATED_DOWN);
  EXPECT_EQ(indexed(zekhw::kIdxRxEnable) & 2u, 0u) << "function 1 no longer receives";
  const std::size_t links = indications(NDIS_STATUS_LINK_STATE, 1).size();
  EXPECT_EQ(query(OID_ZEK_STOP_DATA_PATH, const_cast<std::uint32_t*>(&any), 4, 1).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(indications(NDIS_STATUS_LINK_STATE, 1).size(), links) << "a paused data path is left alone";
}

// Frames sent from function 0's NIC queue pair, straight into its ring:
// the adapter counts them on function 0's port and as received on function
// 1's, and the statistics add up what each read brings without counting
// anything twice.
TEST_F(OidTest, StatisticsCountTheFramesTheAdapterCarried) {
  load(2);
  const std::uint32_t filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_ALL_MULTICAST;
  ASSERT_EQ(set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4, 1).status, NDIS_STATUS_SUCCESS);
  ZEK_ADAPTER* sender = zek(0);
  auto* qp = reinterpret_cast<MifhQpObject*>(sender->HwInfo->NicQp);
  std::uint8_t* frames = nullptr;
  ASSERT_EQ(OSPrimMemDMAAllocate(reinterpret_cast<void**>(&frames), 3 * 2048), 0u);
  const std::uint8_t broadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const std::uint8_t multicast[6] = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
  const std::uint8_t* destinations[3] = {zek(1)->CurrentMac, broadcast, multicast};
  const std::uint32_t lengths[3] = {60, 100, 1514};
  for (unsigned i = 0; i < 3; ++i) {
    std::uint8_t* f = frames + 2048 * i;
    std::memset(f, 0x11 * (i + 1), lengths[i]);
    std::memcpy(f, destinations[i], 6);
    std::memcpy(f + 6, sender->CurrentMac, 6);
    zekhw::MifhNicSqWqe wqe{};
    wqe.flags = zekhw::kNicSqNoChecksum;
    wqe.total_length = lengths[i];
    wqe.frag0_vlan = lengths[i] << 16;
    wqe.fragment[0] = bringup::pa_of(f);
    const std::uint32_t slot = qp->SqRing.Head;
    std::memcpy(static_cast<std::uint8_t*>(qp->Sq) + 64 * slot, &wqe, sizeof wqe);
    qp->SqRing.Head = (slot + 1) % qp->SqWqeCount;
  }
  mifh_write_reg(&sender->HwInfo->Device, zekhw::kRegWqeDoorbell, zekhw::wqe_doorbell(qp->QpId, 3, true));
  ASSERT_TRUE(eventually([&] { return board().nic_counters().frames_sent == 3; }, 30000));

  EXPECT_EQ(query64(OID_GEN_XMIT_OK), 3u);
  EXPECT_EQ(query64(OID_GEN_XMIT_OK), 3u) << "a second read adds nothing that was not sent";
  EXPECT_EQ(query64(OID_GEN_XMIT_ERROR), 0u);
  NDIS_STATISTICS_INFO s{};
  ASSERT_EQ(query(OID_GEN_STATISTICS, &s, sizeof s).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(s.Header.Type, NDIS_OBJECT_TYPE_DEFAULT);
  EXPECT_EQ(s.Header.Size, 152u);
  EXPECT_EQ(s.SupportedStatistics, 0x3F87FFu);
  EXPECT_EQ(s.ifHCOutOctets, 60u + 100u + 1514u);
  EXPECT_EQ(s.ifHCOutBroadcastPkts, 1u);
  EXPECT_EQ(s.ifHCOutMulticastPkts, 1u);
  EXPECT_EQ(s.ifHCOutUcastPkts, 1u);
  EXPECT_EQ(s.ifOutErrors, 0u);

  // Function 1 received them into its receive buffers.
  EXPECT_EQ(query64(OID_GEN_RCV_OK, 1), 3u);
  EXPECT_EQ(query64(OID_GEN_RCV_OK, 1), 3u) << "a second read adds nothing that was not received";
  EXPECT_EQ(query64(OID_GEN_RCV_NO_BUFFER, 1), 0u);
  const std::uint64_t errors = query64(OID_GEN_RCV_ERROR, 1);
  EXPECT_EQ(query64(OID_GEN_RCV_ERROR, 1), errors) << "repeating the query adds nothing";
  OSPrimMemDMAFree(frames);
}

// The supported-OID list and the offload records reach NDIS with the
// initialisation.
// The link-detection pass's duration, measured; the media-sense count is
// the link-up and link-down events the DPC took, one for each change.
TEST_F(OidTest, InitTimeAndMediaSenseCountsAreMeasured) {
  const auto before = std::chrono::steady_clock::now();
  load();
  // The pass's end (which may come just after the restart it completes).
  EXPECT_TRUE(eventually([&] { return query32(OID_GEN_INIT_TIME_MS) > 0; }, 60000));
  const auto elapsed_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before).count();
  EXPECT_LE(query32(OID_GEN_INIT_TIME_MS), static_cast<std::uint64_t>(elapsed_ms) + 1) << "within the initialisation";
  const std::uint32_t events = query32(OID_GEN_MEDIA_SENSE_COUNTS);
  const bool first = !board().link_up();
  std::uint32_t changes = 0;
  for (const bool up : {first, !first, first}) {
    board().set_carrier(up);
    ++changes;
    EXPECT_TRUE(eventually([&] { return query32(OID_GEN_MEDIA_SENSE_COUNTS) == events + changes; }, 60000))
        << query32(OID_GEN_MEDIA_SENSE_COUNTS) - events << " events counted for " << changes << " changes";
    EXPECT_TRUE(eventually([&] { return (zek()->LinkIndicated == ZEK_LINK_INDICATED_UP) == up; }, 60000));
  }
}

TEST_F(OidTest, InitialisationDeclaresTheAttributes) {
  load();
  const auto attributes = ndis().attributes();
  ASSERT_TRUE(attributes.general.has_value());
  EXPECT_EQ(attributes.general->Header.Type, NDIS_OBJECT_TYPE_MINIPORT_ADAPTER_GENERAL_ATTRIBUTES);
  EXPECT_EQ(attributes.general->SupportedPacketFilters, 0x2Fu);
  EXPECT_EQ(attributes.general->MaxMulticastListSize, 32u);
  EXPECT_EQ(attributes.general->SupportedStatistics, 0x3F87FFu);
  EXPECT_EQ(attributes.supported_oids.size(), ZEK_SUPPORTED_OID_COUNT);
  ASSERT_EQ(attributes.hardware_offload.size(), 112u);
  ASSERT_EQ(attributes.default_offload.size(), 112u);
  ZekOffloadRecord caps{};
  std::memcpy(&caps, attributes.hardware_offload.data(), sizeof caps);
  EXPECT_EQ(caps.Header.Type, NDIS_OBJECT_TYPE_OFFLOAD);
  EXPECT_EQ(caps.Ipv4Transmit.Encapsulation, 14u) << "revision 4 offers 802.3, priority and VLAN, and out of band";
  EXPECT_EQ(caps.LsoV1.MaxOffLoadSize, 0u);
}

}  // namespace

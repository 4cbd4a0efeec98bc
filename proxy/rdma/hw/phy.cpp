#include "proxy/rdma/hw/phy.h"

#include <atomic>

#include "include/hw/phy.h"
#include "platform/kernel/ke.h"
#include "proxy/core/osprim/osprim_kernel.h"
#include "proxy/rdma/hw/failover.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

using namespace zekhw;

namespace {

// The board's MDIO lock for one frame sequence (none: the index lock alone).
class MdioLock {
 public:
  explicit MdioLock(MifhDeviceObj* d) : lock_(d->MdioLock != nullptr ? d->MdioLock : d->PhyLock) {
    if (lock_ != nullptr && OSPrimSyncAcquireSpinlockObject(lock_) != ZEK_STATUS_PASS) lock_ = nullptr;
  }
  ~MdioLock() {
    if (lock_ != nullptr) OSPrimSyncReleaseSpinlockObject(lock_);
  }
  MdioLock(const MdioLock&) = delete;
  MdioLock& operator=(const MdioLock&) = delete;

 private:
  OSPrimSpinlockObject* lock_;
};

// One frame and its completion: true when it completed.
bool send_frame(MifhDeviceObj* d, std::uint32_t frame) {
  if (mifh_write_indexed(d, kIdxMdioFrame, frame) != ZEK_STATUS_PASS) return false;
  return mdio_wait_done(d) == 0;
}

// The data of the frame just completed.
std::uint16_t frame_data(MifhDeviceObj* d) {
  std::uint32_t v = 0xFFFF;
  if (mifh_read_indexed(d, kIdxMdioFrame, &v) != ZEK_STATUS_PASS) return 0xFFFF;
  return static_cast<std::uint16_t>(v & kMdioDataMask);
}

// Reads until two successive values agree (the first compared with 0):
// true with the value, or false after the bound.
template <typename Read>
bool agreed(Read read, std::uint16_t* value) {
  std::uint16_t last = 0;
  for (std::uint32_t i = 0; i < MIFH_PHY_READS; ++i) {
    const std::uint16_t v = read();
    if (v == last) {
      *value = v;
      return true;
    }
    last = v;
  }
  return false;
}

std::uint16_t c22_read(MifhDeviceObj* d, std::uint32_t reg, bool* ok) {
  std::uint16_t v = 0xFFFF;
  *ok = mifh_mdio_read(d, reg, &v) == 0;
  return v;
}

bool copper_link(MifhDeviceObj* d) {
  bool ok = false, idle = false;
  for (std::uint32_t i = 0; i < MIFH_PHY_READS && !idle; ++i) {
    const std::uint16_t v = c22_read(d, c22::kBusy, &ok);
    idle = ok && (v & 0x8000) == 0;
  }
  if (!idle) return false;
  std::uint16_t aux = 0;
  if (!agreed([&] { return c22_read(d, c22::kAuxStatus, &ok); }, &aux)) return false;
  c22_read(d, 30, &ok);
  c22_read(d, c22::kStatus, &ok);
  return (aux & c22::kAuxLink) != 0;
}

bool clause45_link(MifhDeviceObj* d) {
  std::uint16_t v = 0;
  mifh_mdio_read(d, c45::kStatus, &v);
  return mifh_mdio_read(d, c45::kStatus, &v) == 0 && (v & 0x4) != 0;
}

bool sfp_link(MifhDeviceObj* d) {
  const std::uint32_t lane = idx_lane_status(d->Port);
  std::uint32_t value = 0;
  if (mifh_read_indexed(d, lane, &value) != ZEK_STATUS_PASS) return false;
  if ((value & kLaneSyncBits) != kLaneSyncBits) {
    std::uint32_t a = 1, b = 1;
    if (++d->LaneRetryCounter < MIFH_LANE_RETRIES) {
      a = (value >> 22) & 1;
      b = (value >> 21) & 1;
    } else {
      d->LaneRetryCounter = 0;
    }
    mifh_write_indexed(d, lane, (a << 1 | b) << 21);
    d->LanesInSync = 0;
  } else if (d->LanesInSync == 0) {
    const std::uint32_t control = d->PciFunction == 0 ? (value & 0x400000) | 0x200000 : (((value >> 21) & 1) | 2) << 21;
    mifh_write_indexed(d, lane, control);
    d->LanesInSync = 1;
  }
  std::uint16_t ignored = 0;
  for (std::uint32_t reg : {0x8u, 0xC001u, 0xC002u, 0xC005u, 0xC006u}) mdio_read_c45(d, 4, reg, &ignored);
  for (std::uint32_t reg : {0x9003u, 0x9004u, 0x9005u}) mdio_read_c45(d, 1, reg, &ignored);
  std::uint16_t t = 0, v = 0;
  auto read = [&](std::uint32_t device, std::uint32_t reg) {
    std::uint16_t x = 0xFFFF;
    mdio_read_c45(d, device, reg, &x);
    return x;
  };
  if (!agreed([&] { return read(1, MIFH_LINK_FAULT_REG); }, &t)) return false;
  if (!agreed([&] { return read(3, MIFH_LINK_STATE_REG); }, &v)) return false;
  return t == 0 && v == c45::kLinkUp3;
}

bool serdes_link(MifhDeviceObj* d) {
  std::uint32_t v = 0;
  switch (d->Port) {
    case 0:
    case 1:
      if (mifh_read_indexed(d, idx_lane_status(d->Port), &v) != ZEK_STATUS_PASS) return false;
      return (v & (kLaneStatusLow | 1u << 24)) == (kLaneStatusLow | 1u << 24);
    case 2:
    case 3:
      if (mifh_read_indexed(d, idx_lane_status(d->Port), &v) != ZEK_STATUS_PASS) return false;
      return (v & (kLaneStatusHigh | 1u << 25)) == (kLaneStatusHigh | 1u << 25);
    default:
      return false;
  }
}

bool lanes_link(MifhDeviceObj* d) {
  std::uint32_t ready = 0, lanes = 0;
  if (mifh_read_indexed(d, idx_lane_ready(d->Port), &ready) != ZEK_STATUS_PASS ||
      mifh_read_indexed(d, idx_lane_status(d->Port), &lanes) != ZEK_STATUS_PASS) {
    return false;
  }
  return (lanes & kLaneSyncBits) == kLaneSyncBits && (ready & kLaneReadyBits) == kLaneReadyBits;
}

}  // namespace

std::uint32_t mdio_wait_done(MifhDeviceObj* d) {
  for (std::uint32_t i = 0; i < MIFH_MDIO_DONE_POLLS; ++i) {
    std::uint32_t v = 0;
    if (mifh_read_indexed(d, kIdxMdioDone, &v) == ZEK_STATUS_PASS && (v & kMdioDoneBit) != 0) {
      mifh_write_indexed(d, kIdxMdioDone, kMdioDoneBit);
      return 0;
    }
    KeStallExecutionProcessor(MIFH_MDIO_DONE_STALL_US);
  }
  OSPrimMemoryLogging("func[%s,%d] **Failed** pDevObj[%p] port[%d] \n", __func__, __LINE__, static_cast<void*>(d),
                      d->Port);
  return 1;
}

std::uint32_t mdio_read_c45(MifhDeviceObj* d, std::uint32_t deviceAddress, std::uint32_t reg, std::uint16_t* value) {
  *value = 0xFFFF;
  if (ZekIsBadPointer(d)) return 0;
  MdioLock lock(d);
  if (send_frame(d, mdio_c45_address(d->PhyMdioAddress, deviceAddress, reg)) &&
      send_frame(d, mdio_c45_read(d->PhyMdioAddress, deviceAddress))) {
    *value = frame_data(d);
  }
  return 0;
}

std::uint32_t mifh_mdio_read(MifhDeviceObj* d, std::uint32_t reg, std::uint16_t* value) {
  *value = 0xFFFF;
  if (ZekIsBadPointer(d)) return 1;
  MdioLock lock(d);
  bool ok = false;
  if (d->PhyType == kPhyCopper1G) {
    ok = send_frame(d, mdio_c22_read(d->PhyMdioAddress + d->MdioDevice, reg));
  } else {
    ok = send_frame(d, mdio_c45_address(d->PhyMdioAddress, d->MdioDevice, reg)) &&
         send_frame(d, mdio_c45_read(d->PhyMdioAddress, d->MdioDevice));
  }
  if (!ok) return 1;
  *value = frame_data(d);
  return 0;
}

std::uint32_t mifh_mdio_write(MifhDeviceObj* d, std::uint32_t reg, std::uint16_t value) {
  if (ZekIsBadPointer(d)) return 1;
  MdioLock lock(d);
  bool ok = false;
  if (d->PhyType == kPhyCopper1G) {
    ok = send_frame(d, mdio_c22_write(d->PhyMdioAddress + d->MdioDevice, reg, value));
  } else {
    ok = send_frame(d, mdio_c45_address(d->PhyMdioAddress, d->MdioDevice, reg)) &&
         send_frame(d, mdio_c45_write(d->PhyMdioAddress, d->MdioDevice, value));
  }
  if (!ok) ZEK_LOG_FAILURE("Func[%s,%d] ** failed ** \n", __func__, __LINE__);
  return ok ? 0 : 1;
}

std::uint32_t mifh_write_10G_phy_reg(MifhDeviceObj* d, std::uint32_t deviceAddress, std::uint32_t reg,
                                     std::uint16_t value) {
  if (ZekIsBadPointer(d)) return 1;
  MdioLock lock(d);
  const bool ok = send_frame(d, mdio_c45_address(d->PhyMdioAddress, deviceAddress, reg)) &&
                  send_frame(d, mdio_c45_write(d->PhyMdioAddress, deviceAddress, value));
  if (!ok) ZEK_LOG_FAILURE("Func[%s,%d] ** failed ** \n", __func__, __LINE__);
  return ok ? 0 : 1;
}

std::uint32_t phy_link_is_up(MifhDeviceObj* d) {
  if (!MifhDeviceGuardsIntact(d)) return 0;
  bool up = false;
  switch (d->PhyType) {
    case kPhyCopper1G:
      up = copper_link(d);
      break;
    case kPhyClause45:
      up = clause45_link(d);
      break;
    case kPhySfp:
    case kPhySfp8:
    case kPhySfp9:
      up = sfp_link(d);
      break;
    case kPhySerdes:
      up = serdes_link(d);
      break;
    default:
      up = lanes_link(d);
      break;
  }
  if (mifh_failover_enabled()) {
    switch (mifh_failover_mode()) {
      case 0:
        mifh_failover_mode0(d, up);
        break;
      case 1:
        if (d->PciFunction == 0) mifh_failover_mode1(d, up);
        up = true;
        break;
      case 2:
        if (d->PciFunction == 0 || d->PciFunction == 2) mifh_failover_mode2(d, up);
        up = true;
        break;
      default:
        break;
    }
  }
  // The miniport sets and clears the link-allowed byte from its own threads.
  const bool allowed = std::atomic_ref<std::uint8_t>(d->LinkAllowed).load(std::memory_order_acquire) != 0;
  d->LinkResult = up && allowed ? 1 : 0;
  return d->LinkResult;
}

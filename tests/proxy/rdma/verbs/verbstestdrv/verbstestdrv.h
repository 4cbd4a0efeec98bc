// The kernel verbs client driver's control code ("\\.\zekverbstest"): a
// driver built only for tests that uses the proxy driver's kernel verbs as a
// kernel client does, through the routine table the proxy driver hands to
// kernel callers, and reports what each verb answered.
#pragma once

#include <cstdint>

#include "platform/common/ioctl.h"

namespace verbstest {

inline constexpr ULONG code(ULONG function) {
  return CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
}

// Input: the adapter's SAN address (u32, host order). Output: the report,
// one line a check ("NAME got=0x.. want=0x.. ok" or "... FAIL") and a last
// line "failures=N". STATUS_DEVICE_NOT_READY while the proxy driver offers
// no verbs or no attached adapter has the address yet.
inline constexpr ULONG kRun = code(0x910);
inline constexpr ULONG kReportBytes = 16384;
// Input: the SAN address. Opens an adapter with a PD, a CQ and a queue pair
// and leaves them open, as a client that never closes does.
inline constexpr ULONG kLeaveOpen = code(0x911);

// Input: RdmaRequest. Output: the report (as kRun's). Runs one end of an
// RDMA connection between two hosts through the kernel verbs table and the
// kernel socket-call table: the accepting end listens on its SAN address
// and port, the connecting end connects to the peer's; the two exchange
// the MPA start-up frames over the host stack's TCP (the private data
// carries each end's region for the peer's RDMA), hand the connection to
// the adapter and run the operations. The request returns when the session
// is over or a bound ran out (WaitMs for the peer at each step).
// STATUS_DEVICE_NOT_READY as kRun's.
inline constexpr ULONG kRdma = code(0x912);
inline constexpr std::uint32_t kRoleAccept = 0;
inline constexpr std::uint32_t kRoleConnect = 1;
struct RdmaRequest {
  std::uint32_t Role;   // kRoleAccept or kRoleConnect
  std::uint32_t Local;  // this host's SAN address (host order)
  std::uint32_t Peer;   // the connecting end: the peer's SAN address (host order)
  std::uint16_t Port;   // the accepting end's port
  std::uint16_t Flags;  // kRdmaCrc, kRdmaMarkers: what this end asks for
  std::uint32_t WaitMs;
  // With kRdmaBench: instead of the operations, the connecting end times
  // Writes RDMA Writes of 1 MiB into the peer's memory, then PingPongs
  // round trips of an 8-byte RDMA Write each way (each end polls its own
  // memory for the peer's write). The report gives "bench write bytes=B
  // ns=T" and "bench pingpong trips=N ns=T" (the connecting end's clock).
  std::uint16_t Writes;
  std::uint16_t PingPongs;
};
static_assert(sizeof(RdmaRequest) == 24);
inline constexpr std::uint16_t kRdmaCrc = 1u << 0;
inline constexpr std::uint16_t kRdmaMarkers = 1u << 1;
inline constexpr std::uint16_t kRdmaBench = 1u << 2;

}  // namespace verbstest

// The test driver's control codes and records, shared by the driver and the
// programs that talk to it. The driver's device is "\Device\zektest",
// opened as "\\.\zektest".
#pragma once

#include <cstdint>

#include "platform/common/ioctl.h"

namespace testdrv {

inline constexpr ULONG code(ULONG function, ULONG method = METHOD_BUFFERED) {
  return CTL_CODE(FILE_DEVICE_UNKNOWN, function, method, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
}

// Output = input; Information = the input length (even past the output length).
inline constexpr ULONG kEcho = code(0x800);
// Fills the system buffer with `fill`, sets Information, completes with `status`.
inline constexpr ULONG kStatus = code(0x801);
struct StatusRequest {
  std::int32_t status;
  std::uint32_t information;
  std::uint32_t fill;
};
// Pends the request in the cancel-safe queue under `key` (an even number:
// the driver keeps odd peek contexts for its cleanup).
inline constexpr ULONG kPend = code(0x802);
struct Key {
  std::uint64_t key;
};
// Completes the requests pended under `key` (one, or all) with `status`; each
// gets `value` in its first 8 bytes and Information 8. Output: the count.
inline constexpr ULONG kComplete = code(0x803);
struct CompleteRequest {
  std::uint64_t key;
  std::uint64_t value;
  std::int32_t status;
  std::uint32_t all;
};
// Pends the request; a timer DPC completes it with `value` after `ms`.
inline constexpr ULONG kPendDpc = code(0x804);
struct DpcRequest {
  std::uint64_t value;
  std::uint32_t ms;
  std::uint32_t reserved;
};
// Pool and requests in use in the host.
inline constexpr ULONG kPool = code(0x805);
struct PoolReply {
  std::uint64_t blocks;
  std::uint64_t bytes;
  std::uint64_t requests;  // requests of processes not yet released
  std::uint64_t mappings;  // pages the driver keeps mapped into processes
};
// Maps one kernel page into the caller; output: its user address.
inline constexpr ULONG kMapPage = code(0x806);
struct Address {
  std::uint64_t address;
};
// The kernel fills the caller's mapped page with a byte.
inline constexpr ULONG kFillPage = code(0x807);
struct Fill {
  std::uint32_t byte;
};
inline constexpr ULONG kUnmapPage = code(0x808);
// Maps the device's doorbell page (register window page 1) into the caller.
inline constexpr ULONG kMapDoorbell = code(0x809);
inline constexpr ULONG kUnmapDoorbell = code(0x80A);
// The register writes the device received, in order.
inline constexpr ULONG kDoorbells = code(0x80B);
struct DoorbellWrite {
  std::uint64_t offset;  // from the doorbell page
  std::uint64_t value;
};
struct DoorbellLog {
  std::uint32_t count;
  std::uint32_t reserved;
  DoorbellWrite writes[1];  // as many as the output holds
};
// Waits (user mode, alertable) until kWake; output: the wait's status.
inline constexpr ULONG kWait = code(0x80C);
inline constexpr ULONG kWake = code(0x80D);
// METHOD_NEITHER: probes and reads the input, writes the byte sum (8 bytes) to the output.
inline constexpr ULONG kNeitherSum = code(0x80E, METHOD_NEITHER);
// METHOD_OUT_DIRECT: fills the output through the system address with the input's first byte.
inline constexpr ULONG kOutDirect = code(0x80F, METHOD_OUT_DIRECT);
// METHOD_NEITHER: locks the caller's range and writes `byte` into it by DMA.
inline constexpr ULONG kDmaUser = code(0x810, METHOD_NEITHER);
struct DmaRequest {
  std::uint64_t address;
  std::uint32_t length;
  std::uint32_t byte;
};

// Who the driver sees as its caller, and the computer name it read at entry.
inline constexpr ULONG kWho = code(0x811);
struct WhoReply {
  std::uint64_t process_id;      // PsGetCurrentProcessId
  std::uint64_t thread_id;       // PsGetCurrentThreadId
  std::uint64_t process_object;  // PsGetCurrentProcess()->UniqueProcessId
  std::uint64_t requestor;       // IoGetRequestorProcess(irp)->UniqueProcessId
  char16_t computer_name[32];
};

// A registry value, read as drivers read one (ZwOpenKey, ZwQueryValueKey).
inline constexpr ULONG kQueryValue = code(0x812);
struct ValueQuery {
  char16_t key[200];  // absolute: \Registry\Machine\...
  char16_t name[56];
};
struct ValueReply {
  std::int32_t status;  // of ZwOpenKey, then ZwQueryValueKey
  std::uint32_t type;
  std::uint32_t length;
  std::uint8_t data[244];
};

inline constexpr std::uint64_t kRegisterBase = 0xF000'0000;  // the test device's register window
inline constexpr std::uint64_t kDoorbellPage = 1;

}  // namespace testdrv

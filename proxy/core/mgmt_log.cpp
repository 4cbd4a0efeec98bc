// The three log requests of the management handler (mgmt_requests.cpp):
// the size of the driver's fast log ring, a read of it and its clearing.
//
// The read copies into the caller's buffer only through a mapping of it
// (probed and locked for writing), and never beyond the ring: a range that
// runs past the ring's end is cut at it, one that starts beyond it is
// refused.
#include <algorithm>

#include "proxy/core/zpx.h"

namespace {

ULONG read_log(ZekLogBufParam* param) {
  const std::uint32_t ring = OSPrimLogRingSize();
  if (param->Offset >= ring && param->Size != 0) {
    ZEK_LOG_FAILURE("CommonMgmtIoctl: log offset 0x%x is beyond the log (0x%x bytes)\n", param->Offset, ring);
    return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
  }
  const std::uint32_t count = std::min(param->Size, ring - std::min(param->Offset, ring));
  if (count == 0) {
    param->Size = 0;
    return 0;
  }
  OSPrimMapRecord map;
  void* system = nullptr;
  if (OSPrimMapIt(reinterpret_cast<void*>(param->Buffer), count, &map, &system) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("CommonMgmtIoctl: log destination x%llx (0x%x bytes) cannot be mapped\n",
                    static_cast<unsigned long long>(param->Buffer), count);
    return static_cast<ULONG>(STATUS_INVALID_USER_BUFFER);
  }
  const std::uint32_t copied = OSPrimLogRingRead(param->Offset, system, count);
  OSPrimUnMapIt(&map);
  param->Size = copied;
  return 0;
}

}  // namespace

ULONG ZpxMgmtLogRequest(void* Record, ULONG Code, ULONG_PTR* Bytes) {
  *Bytes = 0;
  auto* param = static_cast<ZekLogBufParam*>(Record);
  switch (Code) {
    case IOCTL_ZEK_GET_LOG_BUF_SIZE:
      param->Size = OSPrimLogRingSize();
      *Bytes = sizeof(ZekLogBufParam);
      return 0;
    case IOCTL_ZEK_READ_LOG_BUF: {
      const ULONG result = read_log(param);
      if (result == 0) *Bytes = sizeof(ZekLogBufParam);
      return result;
    }
    case IOCTL_ZEK_CLEAR_LOG_BUF:
      OSPrimLogRingClear();
      *Bytes = ZEK_CLEAR_LOG_BUF_BYTES_RETURNED;
      return 0;
    default:
      ZEK_LOG_FAILURE("CommonMgmtIoctl: bad function code (0x%x)\n", Code);
      return 1;
  }
}

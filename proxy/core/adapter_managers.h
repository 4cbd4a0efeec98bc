// The resource managers of one attached PCI function, created in the
// attach's order (GIM, GLMI, GRoMiT, LaRMiT, MRTE) through their routine
// tables and cleaned up in reverse. A creation that fails cleans up every
// manager made before it, so a failed attach leaves the function's GIM out of
// the scratchpad and no block borrowed.
#pragma once

#include "proxy/rdma/rm/rm.h"

struct ZpxAdapterManagers {
  ZekGim* Gim;
  ZekGlmi* Glmi;
  ZekGromit* Gromit;
  ZekLarmit* Larmit;
  ZekMrte* Mrte;
};

// The tables the managers are reached through (the driver's fetched copies).
struct ZpxManagerTables {
  const ZekGimTable* Gim;
  const ZekGlmiTable* Glmi;
  const ZekGromitTable* Gromit;
  const ZekLarmitTable* Larmit;
  const ZekMrteTable* Mrte;
};

// 0, or the failing creation's status (the failure logged as the attach
// logs it). `tag` is the function's owner tag in GRoMiT (its function index).
ZekStatus ZpxCreateAdapterManagers(const ZpxManagerTables* tables, MifhDeviceObj* device, std::uint32_t tag,
                                   ZpxAdapterManagers* managers);
// Cleans up whatever of the managers exists, MRTE first; answers 1 when a
// cleanup failed (the rest still runs).
ZekStatus ZpxCleanupAdapterManagers(const ZpxManagerTables* tables, ZpxAdapterManagers* managers);

// Failure injection for the driver's start-up: a test names one step of the
// entry routine or of the library initialisation, and that step fails as if
// the routine under it had failed. Nothing sets it in a running host.
#pragma once

#include "platform/common/wintypes.h"

enum class ZpxFaultStep : ULONG {
  None = 0,
  CreateDevice,          // IoCreateDevice
  CreateLink,            // IoCreateSymbolicLink
  CsqInitialize,         // IoCsqInitializeEx
  SaveRegistryPath,      // the registry path's pool copy
  InitMemoryTracking,    // ZEK_Init_c_osprims
  InitStatusMessages,    // ZEK_Init_c_err_msgs
  InitInterfaceManager,  // ZEK_Init_c_if_mngr
};

extern ZpxFaultStep g_ZpxInjectedFault;

// True when `step` is the one to fail (the injection stays armed).
inline bool ZpxFaultAt(ZpxFaultStep step) { return g_ZpxInjectedFault == step; }

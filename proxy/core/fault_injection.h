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
  InitGromit,            // ZEK_Init_Gromit
  InitGim,               // ZEK_Init_GIM
  InitGlmi,              // ZEK_Init_GLMI
  InitLrmi,              // ZEK_Init_LRMI
  InitMrte,              // ZEK_Init_MRTE
  FetchManagerTables,    // the managers' tables from the interface manager
  InitFlash,             // ZEK_Init_Flash
  InitEeprom,            // ZEK_Init_EEProm
  InitIpaddr,            // ZEK_Init_IPADDR
  InitPools,             // mifh_create_mem_resources
  InitTcpStack,          // the host stack
  InitXmitBuffers,       // the transmit buffers (only logged)
  InitAeqEvent,          // the asynchronous-event wake-up event
  CreateAeqThread,       // the asynchronous-event thread
  TdiRegister,           // TdiRegisterPnPHandlers
  RxBuffer,              // a receive buffer, from the g_ZpxFaultAfter-th on
  CreateGim,             // the attach's managers, in their order
  CreateGlmi,
  CreateGromit,
  CreateLarmit,
  CreateMrte,
};

extern ZpxFaultStep g_ZpxInjectedFault;
// For steps that repeat: how many succeed before the injected failure.
extern ULONG g_ZpxFaultAfter;

// True when `step` is the one to fail (the injection stays armed).
inline bool ZpxFaultAt(ZpxFaultStep step) { return g_ZpxInjectedFault == step; }

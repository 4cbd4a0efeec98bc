// The driver frame: entry and unload, failures injected at each start-up
// step, the node name, the driver after a failed library initialisation,
// and the per-process clean-up contexts.
#include "include/zek/interfaces.h"
#include "include/zek/registry.h"
#include "tests/proxy/core/proxy_fixture.h"

namespace {

using DriverFrame = ProxyTest;

bool device_exists(plat::IoManager& io, std::u16string_view name) {
  PDEVICE_OBJECT device = io.reference_device(name);
  if (device == nullptr) return false;
  ObDereferenceObject(device);
  return true;
}

TEST_F(DriverFrame, LoadCreatesDeviceAndLinkAndUnloadReturnsEverything) {
  const std::uint64_t blocks = kernel().pool().blocks_in_use();
  ASSERT_EQ(load(), STATUS_SUCCESS);
  EXPECT_TRUE(device_exists(*io_, u"\\Device\\zekproxy"));
  EXPECT_TRUE(device_exists(*io_, u"\\DosDevices\\zekproxy"));
  ASSERT_NE(g_ZpxExtension, nullptr);
  EXPECT_TRUE(g_ZpxExtension->LibrariesInitialized);
  EXPECT_EQ(kernel().pool().usage(ZPX_REGISTRY_PATH_TAG).blocks_in_use(), 1u);
  EXPECT_EQ(plat::to_utf8(plat::view_of(&g_ZpxExtension->RegistryPath)),
            "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\zekproxy");
  EXPECT_NE(ring_text().find("DriverEntry: zekproxy started, node name [HOSTA_IWARP]"), std::string::npos);

  // A handle with a clean-up context and an event-slot request keep pool
  // until the handle is closed.
  const std::uint64_t file = open();
  EXPECT_EQ(call(file, IOCTL_ZEK_ALLOC_CLEANUP_CONTEXT, nullptr, 0, 0).status, STATUS_SUCCESS);
  close(file);

  unload();
  EXPECT_EQ(g_ZpxExtension, nullptr);
  EXPECT_FALSE(device_exists(*io_, u"\\Device\\zekproxy"));
  EXPECT_FALSE(device_exists(*io_, u"\\DosDevices\\zekproxy"));
  EXPECT_EQ(kernel().pool().blocks_in_use(), blocks) << kernel().pool().leak_report();
  void* table = nullptr;
  EXPECT_EQ(ZEK_GetInterface(IWARP_KERNEL_VERBS_INTERFACE, &table), ZEK_STATUS_IF_MNGR_ERROR)
      << "the interface manager went with the driver";
}

TEST_F(DriverFrame, ASecondLoadAfterUnloadWorks) {
  ASSERT_EQ(load(), STATUS_SUCCESS);
  unload();
  ASSERT_EQ(load(), STATUS_SUCCESS);
  EXPECT_TRUE(g_ZpxExtension->LibrariesInitialized) << ring_text();
}

// Each start-up step fails in turn. The device, the queue and the registry
// path fail the load and leave nothing; the link leaves the device without
// its DOS name; a library step leaves the driver loaded with the libraries
// down and nothing of them behind.
TEST_F(DriverFrame, FailureAtEachStartUpStepUnwindsExactlyWhatWasBuilt) {
  struct Case {
    ZpxFaultStep step;
    NTSTATUS load;
    bool device;
    bool link;
    bool libraries;
    const char* logged;
  };
  const Case cases[] = {
      {ZpxFaultStep::CreateDevice, STATUS_UNSUCCESSFUL, false, false, false,
       "DriverEntry:ZpxCreateDeviceObject coldn't create device object"},
      {ZpxFaultStep::CreateLink, STATUS_SUCCESS, true, false, true, "IoCreateSymbolicLink  failed"},
      {ZpxFaultStep::CsqInitialize, STATUS_INSUFFICIENT_RESOURCES, false, false, false,
       "DriverEntry:IoCsqInitialize returned ntStatus (0xc000009a)"},
      {ZpxFaultStep::SaveRegistryPath, STATUS_INSUFFICIENT_RESOURCES, false, false, false,
       "DriverEntry:ZpxSaveRegistryPath returned ntStatus (0xc000009a)"},
      {ZpxFaultStep::InitMemoryTracking, STATUS_SUCCESS, true, true, false,
       "zekproxy: ZEK_common_init(): OSPrims init failed."},
      {ZpxFaultStep::InitStatusMessages, STATUS_SUCCESS, true, true, false,
       "zekproxy: ZEK_common_init(): ZEK_Init_c_err_msgs failed."},
      {ZpxFaultStep::InitInterfaceManager, STATUS_SUCCESS, true, true, false,
       "zekproxy: ZEK_common_init(): ZEK_Init_c_if_mngr failed."},
      {ZpxFaultStep::InitGromit, STATUS_SUCCESS, true, true, false,
       "zekproxy: ZEK_common_init(): ZEK_Init_Gromit failed."},
      {ZpxFaultStep::InitGim, STATUS_SUCCESS, true, true, false, "zekproxy: ZEK_common_init(): ZEK_Init_GIM failed."},
      {ZpxFaultStep::InitGlmi, STATUS_SUCCESS, true, true, false, "zekproxy: ZEK_common_init(): ZEK_Init_GLMI failed."},
      {ZpxFaultStep::InitLrmi, STATUS_SUCCESS, true, true, false, "zekproxy: ZEK_common_init(): ZEK_Init_LRMI failed."},
      {ZpxFaultStep::InitMrte, STATUS_SUCCESS, true, true, false, "zekproxy: ZEK_common_init(): ZEK_Init_MRTE failed."},
      {ZpxFaultStep::FetchManagerTables, STATUS_SUCCESS, true, true, false,
       "zekproxy: ZEK_common_init(): ZEK_GetInterface failed."},
      {ZpxFaultStep::InitFlash, STATUS_SUCCESS, true, true, false,
       "zekproxy: ZEK_common_init(): ZEK_Init_Flash failed."},
      {ZpxFaultStep::InitEeprom, STATUS_SUCCESS, true, true, false,
       "zekproxy: ZEK_common_init(): ZEK_Init_EEProm failed."},
      {ZpxFaultStep::InitIpaddr, STATUS_SUCCESS, true, true, false,
       "zekproxy: ZEK_common_init(): ZEK_Init_IPADDR failed."},
      {ZpxFaultStep::InitPools, STATUS_SUCCESS, true, true, false,
       "zekproxy: ZEK_common_init(): mifh_create_mem_resources failed."},
      {ZpxFaultStep::InitTcpStack, STATUS_SUCCESS, true, true, false,
       "ZEK_common_init: ZpxCommonTcpInitAtInitTime() returned error (0x1)"},
      {ZpxFaultStep::InitXmitBuffers, STATUS_SUCCESS, true, true, true,
       "ZpxCommonTcpInitAtInitTime: init_xmit_buffers returned error"},
  };
  const std::uint64_t blocks = kernel().pool().blocks_in_use();
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.step));
    OSPrimLogRingClear();
    g_ZpxInjectedFault = c.step;
    EXPECT_EQ(load(), c.load);
    g_ZpxInjectedFault = ZpxFaultStep::None;
    EXPECT_NE(ring_text().find(c.logged), std::string::npos) << ring_text();
    EXPECT_EQ(device_exists(*io_, u"\\Device\\zekproxy"), c.device);
    EXPECT_EQ(device_exists(*io_, u"\\DosDevices\\zekproxy"), c.link);
    if (c.device) {
      EXPECT_EQ(static_cast<bool>(g_ZpxExtension->LibrariesInitialized), c.libraries);
      if (!c.libraries) {
        // Nothing of the libraries stays: no registry, no tracked memory.
        EXPECT_STREQ(ZEK_GetErrorMessage(ZEK_STATUS_FAIL), ZEK_TEXT_NOT_INITIALIZED);
        void* table = nullptr;
        EXPECT_EQ(ZEK_GetInterface(IWARP_KERNEL_VERBS_INTERFACE, &table), ZEK_STATUS_IF_MNGR_ERROR);
        EXPECT_EQ(kernel().pool().usage(ZEK_OSPRIM_POOL_TAG).blocks_in_use(), 0u);
        EXPECT_EQ(g_ZpxGimTable, nullptr);
      }
      unload();
    } else {
      EXPECT_EQ(g_ZpxExtension, nullptr);
      driver_ = nullptr;
    }
    EXPECT_EQ(kernel().pool().blocks_in_use(), blocks) << kernel().pool().leak_report();
  }
}

// After a failed library initialisation the driver stays loaded: the log
// requests still answer (they tell why), everything else is refused as not
// ready, and handles open and close.
TEST_F(DriverFrame, FailedLibraryInitLeavesTheDriverLoadedButNotReady) {
  g_ZpxInjectedFault = ZpxFaultStep::InitInterfaceManager;
  ASSERT_EQ(load(), STATUS_SUCCESS);
  g_ZpxInjectedFault = ZpxFaultStep::None;
  const std::uint64_t file = open();
  ZekEventSlotRecord slot{ZEK_EVENT_SLOT_PARK, 0};
  EXPECT_EQ(call(file, IOCTL_ZEK_EVENT_SLOT_0, &slot).status, STATUS_DEVICE_NOT_READY);
  ZekNdWaitRecord wait{0x1000};
  EXPECT_EQ(call(file, IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, &wait).status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(call(file, IOCTL_ZEK_ALLOC_CLEANUP_CONTEXT, nullptr, 0, 0).status, STATUS_DEVICE_NOT_READY);
  ZekLogBufParam size{0, 0, 0, 0, 0};
  const auto answer = call(file, IOCTL_ZEK_GET_LOG_BUF_SIZE, &size);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(size.Size, ZEK_LOG_BUF_BYTES);
  EXPECT_NE(ring_text().find("ZpxInitLibraries: ZEK_common_init return failure"), std::string::npos);
  EXPECT_NE(ring_text().find("libraries not initialised"), std::string::npos);
  close(file);
}

TEST_F(DriverFrame, NodeNameIsTheComputerNameWithTheIwarpSuffix) {
  struct Case {
    std::u16string name;
    bool present;
    std::string expected;
  };
  const Case cases[] = {
      {u"HOSTA", true, "HOSTA_IWARP"},
      {u"X", true, "X_IWARP"},
      {std::u16string(63, u'n'), true, std::string(63, 'n') + "_IWARP"},
      {std::u16string(64, u'n'), true, ""},
      {u"", true, ""},
      {u"", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    registry_.reset();
    registry_ = std::make_unique<plat::Registry>();
    if (c.present) registry_->set_string(kComputerNameKey, u"ComputerName", c.name);
    ASSERT_EQ(load(), STATUS_SUCCESS);
    EXPECT_EQ(std::string(g_ZpxNodeName, g_ZpxNodeNameLength), c.expected);
    EXPECT_EQ(std::strlen(g_ZpxNodeName), c.expected.size());
    unload();
  }
}

// ---- Clean-up contexts ------------------------------------------------------------------------

TEST_F(DriverFrame, CleanupContextRecordsHandleAndProcessAndASecondRequestReusesIt) {
  ASSERT_EQ(load(), STATUS_SUCCESS);
  const std::uint64_t file = open();
  PFILE_OBJECT object = file_object(file);
  EXPECT_EQ(object->FsContext, &object->FsContext) << "create makes an empty list head";
  EXPECT_EQ(object->FsContext2, &object->FsContext);
  EXPECT_EQ(ZpxCleanupContextOf(object), nullptr);

  const auto first = call(file, IOCTL_ZEK_ALLOC_CLEANUP_CONTEXT, nullptr, 0, 0);
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(first.information, 0u);
  ZpxResourceCleanupContext* context = ZpxCleanupContextOf(object);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->FileObject, object);
  EXPECT_EQ(context->ProcessId, static_cast<ULONG64>(getpid()));

  const std::uint64_t blocks = kernel().pool().blocks_in_use();
  EXPECT_EQ(call(file, IOCTL_ZEK_ALLOC_CLEANUP_CONTEXT, nullptr, 0, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(ZpxCleanupContextOf(object), context);
  EXPECT_EQ(kernel().pool().blocks_in_use(), blocks);

  // Closing the handle returns the context: the next one taken is the same.
  close(file);
  ZpxResourceCleanupContext* next = mifh_allocate_rsrc_cleanup_context_buffer();
  EXPECT_EQ(next, context);
  EXPECT_EQ(next->FileObject, nullptr) << "a context is cleared when taken and when returned";
  mifh_free_rsrc_cleanup_context_buffer(next);
}

// Returning contexts never allocates and never loses one: after a round of
// taking and returning many, a second round needs no more memory.
TEST_F(DriverFrame, CleanupContextPoolLosesNoContexts) {
  ASSERT_EQ(load(), STATUS_SUCCESS);
  std::vector<ZpxResourceCleanupContext*> taken;
  for (int i = 0; i < 50; ++i) taken.push_back(mifh_allocate_rsrc_cleanup_context_buffer());
  for (auto* context : taken) ASSERT_NE(context, nullptr);
  std::sort(taken.begin(), taken.end());
  EXPECT_EQ(std::adjacent_find(taken.begin(), taken.end()), taken.end()) << "every context is distinct";
  for (auto* context : taken) mifh_free_rsrc_cleanup_context_buffer(context);
  const std::uint64_t blocks = kernel().pool().blocks_in_use();
  std::vector<ZpxResourceCleanupContext*> again;
  for (int i = 0; i < 50; ++i) again.push_back(mifh_allocate_rsrc_cleanup_context_buffer());
  EXPECT_EQ(kernel().pool().blocks_in_use(), blocks);
  std::sort(again.begin(), again.end());
  EXPECT_EQ(again, taken);
  for (auto* context : again) mifh_free_rsrc_cleanup_context_buffer(context);
  // A second return of the same context, or a stranger, is refused and logged.
  mifh_free_rsrc_cleanup_context_buffer(again[0]);
  ZpxResourceCleanupContext stranger{};
  mifh_free_rsrc_cleanup_context_buffer(&stranger);
  EXPECT_NE(ring_text().find("is not a context in use"), std::string::npos);
}

// ---- What a process holds, released per kind ------------------------------------------------

// Records the calls of the per-process release routines, in order.
std::vector<std::pair<ZpxProcessResourceKind, ULONG64>> g_releases;
void release_iwarp(HANDLE process) { g_releases.emplace_back(ZPX_PROCESS_IWARP, reinterpret_cast<ULONG64>(process)); }
void release_sockets(HANDLE process) {
  g_releases.emplace_back(ZPX_PROCESS_SOCKETS, reinterpret_cast<ULONG64>(process));
}

class ProcessResources : public DriverFrame {
 protected:
  void SetUp() override {
    DriverFrame::SetUp();
    g_releases.clear();
    ZpxSetProcessCleanupRoutine(ZPX_PROCESS_IWARP, release_iwarp);
    ZpxSetProcessCleanupRoutine(ZPX_PROCESS_SOCKETS, release_sockets);
  }
  void TearDown() override {
    ZpxSetProcessCleanupRoutine(ZPX_PROCESS_IWARP, nullptr);
    ZpxSetProcessCleanupRoutine(ZPX_PROCESS_SOCKETS, nullptr);
    DriverFrame::TearDown();
  }
  const ULONG64 pid_ = static_cast<ULONG64>(getpid());
};

// The process clean-up request releases the caller's iWARP resources and
// nothing else: its sockets stay open.
TEST_F(ProcessResources, ProcessCleanupRequestReleasesTheIwarpResourcesOnly) {
  ASSERT_EQ(load(), STATUS_SUCCESS);
  ZpxSetProcessCleanupRoutine(ZPX_PROCESS_IWARP, release_iwarp);  // in place of the verbs' own
  const std::uint64_t file = open();
  const auto answer = call(file, IOCTL_ZEK_IWARP_PROCESS_CLEANUP, nullptr, 0, 0);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(answer.information, 0u);
  using Calls = decltype(g_releases);
  EXPECT_EQ(g_releases, (Calls{{ZPX_PROCESS_IWARP, pid_}}));
  g_releases.clear();
  close(file);
  EXPECT_TRUE(g_releases.empty()) << "a handle without a clean-up context releases nothing";
}

// Closing a handle with a clean-up context releases everything the recorded
// process holds: its iWARP resources first, then its sockets, once.
TEST_F(ProcessResources, CleanupOfAHandleWithAContextReleasesIwarpResourcesThenSockets) {
  ASSERT_EQ(load(), STATUS_SUCCESS);
  ZpxSetProcessCleanupRoutine(ZPX_PROCESS_IWARP, release_iwarp);      // in place of the verbs' own
  ZpxSetProcessCleanupRoutine(ZPX_PROCESS_SOCKETS, release_sockets);  // in place of the stack's own
  const std::uint64_t file = open();
  ASSERT_EQ(call(file, IOCTL_ZEK_ALLOC_CLEANUP_CONTEXT, nullptr, 0, 0).status, STATUS_SUCCESS);
  EXPECT_TRUE(g_releases.empty());
  close(file);
  using Calls = decltype(g_releases);
  EXPECT_EQ(g_releases, (Calls{{ZPX_PROCESS_IWARP, pid_}, {ZPX_PROCESS_SOCKETS, pid_}}));
}

// A service that is not running has no routine: its kind is skipped.
TEST_F(ProcessResources, AKindWithoutARoutineIsSkipped) {
  ZpxSetProcessCleanupRoutine(ZPX_PROCESS_IWARP, nullptr);
  ASSERT_EQ(load(), STATUS_SUCCESS);
  ZpxSetProcessCleanupRoutine(ZPX_PROCESS_IWARP, nullptr);            // the verbs' own, taken away
  ZpxSetProcessCleanupRoutine(ZPX_PROCESS_SOCKETS, release_sockets);  // in place of the stack's own
  const std::uint64_t file = open();
  EXPECT_EQ(call(file, IOCTL_ZEK_IWARP_PROCESS_CLEANUP, nullptr, 0, 0).status, STATUS_SUCCESS);
  ASSERT_EQ(call(file, IOCTL_ZEK_ALLOC_CLEANUP_CONTEXT, nullptr, 0, 0).status, STATUS_SUCCESS);
  close(file);
  using Calls = decltype(g_releases);
  EXPECT_EQ(g_releases, (Calls{{ZPX_PROCESS_SOCKETS, pid_}}));
}

// The tick from the tick count's movement over 100 ms; a count that did not
// move (a clock that stood still) is the 10 ms tick, not a division by zero.
TEST_F(DriverFrame, TickCalibrationTable) {
  const std::pair<std::uint64_t, ULONG> cases[] = {
      {0, 10}, {1, 10}, {5, 10}, {6, 15}, {7, 15}, {8, 15}, {9, 15}, {10, 10}, {11, 10}, {100, 10},
  };
  for (const auto& [difference, tick] : cases) EXPECT_EQ(ZpxTickFromDifference(difference), tick) << difference;
  // On this kernel's clock: its tick increment decides.
  ZpxCalibrateTick();
  const std::uint64_t ticks_in_100ms = 100 * plat::Clock::kUnitsPerMs / clock().time_increment();
  EXPECT_EQ(g_ZpxTickMs, ZpxTickFromDifference(ticks_in_100ms));
  EXPECT_EQ(g_ZpxTicksPerSecond, 1000 / g_ZpxTickMs);
}

// The CRC tables are the standard reflected tables: their check values over
// "123456789" are the published ones.
TEST_F(DriverFrame, CrcTablesGiveTheCheckValues) {
  ASSERT_EQ(load(), STATUS_SUCCESS);
  const auto crc = [](const std::uint32_t* table) {
    std::uint32_t c = 0xFFFFFFFF;
    for (char ch : std::string("123456789")) c = table[(c ^ static_cast<std::uint8_t>(ch)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFF;
  };
  EXPECT_EQ(crc(g_ZpxCrc32Table), 0xCBF43926u);
  EXPECT_EQ(crc(g_ZpxCrc32cTable), 0xE3069283u);
  // The transmit buffers lie 1520 bytes apart from a 64-byte boundary.
  ASSERT_NE(g_ZpxXmitBlock, nullptr);
  EXPECT_EQ(g_ZpxXmitDescriptors[0].Buffer % 64, 0u);
  EXPECT_EQ(g_ZpxXmitDescriptors[511].Buffer - g_ZpxXmitDescriptors[0].Buffer, 511u * 1520);
  EXPECT_LE(g_ZpxXmitDescriptors[511].Buffer + 1520,
            reinterpret_cast<std::uintptr_t>(g_ZpxXmitBlock) + ZPX_XMIT_BLOCK_BYTES);
  unload();
}

}  // namespace

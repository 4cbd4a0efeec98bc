// zekhost with the test driver, driven by this process and by helper
// processes through the user runtime.
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/user/regaccess.h"
#include "tests/platform/host/host_fixture.h"

namespace {

// Buffered requests, whether their buffers travel in the messages (the
// calling thread's stack) or the host reaches them in the process's memory
// (the heap): the same bytes, never past the output length, none on errors.
TEST_F(HostTest, BufferedRequestsCarryTheirBytesBothWays) {
  struct Buffers {
    char in[64];
    char out[64];
    char small[20];
    char reply[32];
    testdrv::StatusRequest overflow{STATUS_BUFFER_OVERFLOW, 12, 0xEE};
    testdrv::StatusRequest error{STATUS_INVALID_PARAMETER, 12, 0xEE};
  };
  auto run = [this](Buffers& b) {
    HANDLE device = open();
    std::memset(b.out, 0, sizeof b.out);
    for (int i = 0; i < 64; ++i) b.in[i] = static_cast<char>(i);
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(device, testdrv::kEcho, b.in, sizeof b.in, b.out, sizeof b.out, &bytes, nullptr));
    EXPECT_EQ(bytes, 64u);
    EXPECT_EQ(std::memcmp(b.in, b.out, 64), 0);

    // The driver claims 64 bytes; the output holds 16, and nothing past it moves.
    std::memset(b.small, 0x77, sizeof b.small);
    ASSERT_TRUE(DeviceIoControl(device, testdrv::kEcho, b.in, sizeof b.in, b.small, 16, &bytes, nullptr));
    EXPECT_EQ(bytes, 16u);
    EXPECT_EQ(b.small[16], 0x77);

    std::memset(b.reply, 0, sizeof b.reply);
    EXPECT_FALSE(DeviceIoControl(device, testdrv::kStatus, &b.overflow, sizeof b.overflow, b.reply, sizeof b.reply,
                                 &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(bytes, 12u);
    EXPECT_EQ(static_cast<unsigned char>(b.reply[11]), 0xEE);
    EXPECT_EQ(b.reply[12], 0);

    std::memset(b.reply, 0, sizeof b.reply);
    EXPECT_FALSE(
        DeviceIoControl(device, testdrv::kStatus, &b.error, sizeof b.error, b.reply, sizeof b.reply, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(b.reply[0], 0);

    EXPECT_FALSE(DeviceIoControl(device, testdrv::code(0xFFF), nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_TRUE(CloseHandle(device));
    EXPECT_FALSE(CloseHandle(device));
  };
  {
    SCOPED_TRACE("buffers on the calling thread's stack");
    Buffers on_stack;
    run(on_stack);
  }
  {
    SCOPED_TRACE("buffers on the heap");
    auto on_heap = std::make_unique<Buffers>();
    run(*on_heap);
  }
}

TEST_F(HostTest, RequestsRunInTheCallersContextOnADriverThatKnowsTheHostsName) {
  HANDLE device = open();
  testdrv::WhoReply who{};
  DWORD bytes = 0;
  std::thread([&] {
    ASSERT_TRUE(DeviceIoControl(device, testdrv::kWho, nullptr, 0, &who, sizeof who, &bytes, nullptr));
    EXPECT_EQ(who.thread_id, GetCurrentThreadId());
  }).join();
  EXPECT_EQ(who.process_id, GetCurrentProcessId());
  EXPECT_EQ(who.process_object, GetCurrentProcessId());
  EXPECT_EQ(who.requestor, GetCurrentProcessId());
  EXPECT_EQ(std::u16string(who.computer_name), u"TESTHOST");
  CloseHandle(device);
}

TEST_F(HostTest, ARaiseInADriverBecomesTheStatusAndIsLogged) {
  HANDLE device = open();
  std::uint64_t sum = 0;
  DWORD bytes = 0;
  EXPECT_FALSE(
      DeviceIoControl(device, testdrv::kNeitherSum, reinterpret_cast<void*>(0x10), 8, &sum, 8, &bytes, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
  EXPECT_TRUE(eventually([&] { return read_file(dir_ / "host.log").find("raised 0xc0000005") != std::string::npos; }));
  char in[4] = "ok", out[4] = {};
  EXPECT_TRUE(DeviceIoControl(device, testdrv::kEcho, in, 4, out, 4, &bytes, nullptr));
  CloseHandle(device);
}

TEST_F(HostTest, SynchronousRequestsOnOneHandleRunOneAtATimeButNotOnAnOverlappedHandle) {
  for (DWORD flags : {DWORD{0}, FILE_FLAG_OVERLAPPED}) {
    SCOPED_TRACE(flags == 0 ? "synchronous handle" : "overlapped handle");
    HANDLE device = open(flags);
    HANDLE waker = open();
    const auto before = pool(waker);
    std::atomic<bool> waited{false}, echoed{false};
    std::thread blocked([&] {
      NTSTATUS result = 0;
      DWORD bytes = 0;
      OVERLAPPED overlapped{};
      DeviceIoControl(device, testdrv::kWait, nullptr, 0, &result, sizeof result, &bytes,
                      flags == 0 ? nullptr : &overlapped);
      waited = true;
    });
    EXPECT_TRUE(eventually([&] { return pool(waker).requests == before.requests + 1; }));
    std::thread second([&] {
      char in[4] = "hi", out[4];
      DWORD bytes = 0;
      OVERLAPPED overlapped{};
      DeviceIoControl(device, testdrv::kEcho, in, 4, out, 4, &bytes, flags == 0 ? nullptr : &overlapped);
      echoed = true;
    });
    if (flags == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_FALSE(echoed.load()) << "the second request ran beside the first";
    } else {
      EXPECT_TRUE(eventually([&] { return echoed.load(); }));
      EXPECT_FALSE(waited.load());
    }
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(waker, testdrv::kWake, nullptr, 0, nullptr, 0, &bytes, nullptr));
    blocked.join();
    second.join();
    EXPECT_TRUE(waited.load());
    EXPECT_TRUE(echoed.load());
    CloseHandle(waker);
    CloseHandle(device);
  }
}

// A request that waits in the driver holds up no other thread's requests,
// whether either goes on the thread's own direct connection (synchronous
// handles) or on the process's main connection (overlapped handles), which
// the waiting request hands to another host thread.
TEST_F(HostTest, ARequestWaitingInTheDriverHoldsUpNoOtherThread) {
  struct Case {
    DWORD waiting, other;
  };
  const Case cases[] = {
      {0, 0}, {0, FILE_FLAG_OVERLAPPED}, {FILE_FLAG_OVERLAPPED, 0}, {FILE_FLAG_OVERLAPPED, FILE_FLAG_OVERLAPPED}};
  HANDLE waker = open();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.waiting == 0 ? "synchronous" : "overlapped") + " waits, " +
                 (c.other == 0 ? "synchronous" : "overlapped") + " goes on");
    HANDLE waiting = open(c.waiting);
    HANDLE other = open(c.other);
    const auto before = pool(waker);
    std::atomic<bool> waited{false};
    std::thread blocked([&] {
      NTSTATUS result = 0;
      DWORD bytes = 0;
      OVERLAPPED overlapped{};
      overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      if (!DeviceIoControl(waiting, testdrv::kWait, nullptr, 0, &result, sizeof result, &bytes,
                           c.waiting == 0 ? nullptr : &overlapped) &&
          GetLastError() == ERROR_IO_PENDING) {
        GetOverlappedResult(waiting, &overlapped, &bytes, TRUE);
      }
      CloseHandle(overlapped.hEvent);
      waited = true;
    });
    ASSERT_TRUE(eventually([&] { return pool(waker).requests == before.requests + 1; }));
    std::thread second([&] {
      for (int i = 0; i < 5; ++i) {
        char in[8] = "beside", out[8] = {};
        DWORD bytes = 0;
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        BOOL done = DeviceIoControl(other, testdrv::kEcho, in, sizeof in, out, sizeof out, &bytes,
                                    c.other == 0 ? nullptr : &overlapped);
        if (!done && GetLastError() == ERROR_IO_PENDING) done = GetOverlappedResult(other, &overlapped, &bytes, TRUE);
        CloseHandle(overlapped.hEvent);
        EXPECT_TRUE(done);
        EXPECT_STREQ(out, "beside");
      }
    });
    second.join();
    EXPECT_FALSE(waited.load());
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(waker, testdrv::kWake, nullptr, 0, nullptr, 0, &bytes, nullptr));
    blocked.join();
    EXPECT_TRUE(waited.load());
    CloseHandle(other);
    CloseHandle(waiting);
  }
  CloseHandle(waker);
}

TEST_F(HostTest, AMissingDeviceIsFileNotFound) {
  EXPECT_EQ(CreateFileA("\\\\.\\zekproxy", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(HostTest, APendedRequestIsCompletedByAnotherProcess) {
  HANDLE device = open(FILE_FLAG_OVERLAPPED);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  testdrv::Key key{0x5150};
  std::uint64_t out = 0;
  EXPECT_FALSE(DeviceIoControl(device, testdrv::kPend, &key, sizeof key, &out, sizeof out, nullptr, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_PENDING);
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

  EXPECT_EQ(client({"complete", "0x5150", "4242"}), 1);
  EXPECT_TRUE(GetOverlappedResult(device, &overlapped, &bytes, TRUE));
  EXPECT_EQ(bytes, 8u);
  EXPECT_EQ(out, 4242u);
  EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  CloseHandle(event);
  CloseHandle(device);
}

TEST_F(HostTest, ADpcCompletesARequestThatASynchronousCallerWaitsFor) {
  HANDLE device = open();
  testdrv::DpcRequest request{0xFEED, 30, 0};
  std::uint64_t out = 0;
  DWORD bytes = 0;
  ASSERT_TRUE(DeviceIoControl(device, testdrv::kPendDpc, &request, sizeof request, &out, sizeof out, &bytes, nullptr));
  EXPECT_EQ(bytes, 8u);
  EXPECT_EQ(out, 0xFEEDu);
  CloseHandle(device);
}

TEST_F(HostTest, CompletionPortsGetPacketsUnlessTheEventsLowBitIsSet) {
  HANDLE device = open(FILE_FLAG_OVERLAPPED);
  HANDLE port = CreateIoCompletionPort(device, nullptr, 9, 0);
  ASSERT_NE(port, nullptr);
  OVERLAPPED first{};
  testdrv::DpcRequest request{1, 10, 0};
  std::uint64_t out1 = 0, out2 = 0;
  EXPECT_FALSE(DeviceIoControl(device, testdrv::kPendDpc, &request, sizeof request, &out1, 8, nullptr, &first));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED done = nullptr;
  ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &done, 10000));
  EXPECT_EQ(done, &first);
  EXPECT_EQ(key, 9u);
  EXPECT_EQ(bytes, 8u);

  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED second{};
  second.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
  request.value = 2;
  EXPECT_FALSE(DeviceIoControl(device, testdrv::kPendDpc, &request, sizeof request, &out2, 8, nullptr, &second));
  EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
  EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &done, 50));
  EXPECT_EQ(GetLastError(), WAIT_TIMEOUT);
  EXPECT_TRUE(GetOverlappedResult(device, &second, &bytes, FALSE));
  EXPECT_EQ(out2, 2u);

  // Completed at once: TRUE and a packet; failed at once: FALSE, no packet.
  OVERLAPPED third{};
  char in[8] = "now", echo[8] = {};
  EXPECT_TRUE(DeviceIoControl(device, testdrv::kEcho, in, 8, echo, 8, &bytes, &third));
  ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &done, 10000));
  EXPECT_EQ(done, &third);
  testdrv::StatusRequest refused{STATUS_INVALID_PARAMETER, 0, 0};
  OVERLAPPED fourth{};
  EXPECT_FALSE(DeviceIoControl(device, testdrv::kStatus, &refused, sizeof refused, echo, 8, &bytes, &fourth));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &done, 50));
  CloseHandle(event);
  CloseHandle(device);
  CloseHandle(port);
}

TEST_F(HostTest, CancelIoEndsThePendedRequest) {
  HANDLE device = open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  testdrv::Key key{0x600};
  std::uint64_t out = 0;
  EXPECT_FALSE(DeviceIoControl(device, testdrv::kPend, &key, sizeof key, &out, sizeof out, nullptr, &overlapped));
  EXPECT_TRUE(CancelIo(device));
  DWORD bytes = 5;
  EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(bytes, 0u);
  CloseHandle(overlapped.hEvent);
  CloseHandle(device);
}

TEST_F(HostTest, AProcessThatEndsHasItsPendedRequestsCancelledAndLeavesNothingBehind) {
  HANDLE device = open();
  const auto before = pool(device);
  EXPECT_EQ(client({"pend-and-exit", "0x700"}), 0);
  ASSERT_TRUE(eventually([&] {
    auto now = pool(device);
    return now.requests == before.requests && now.blocks == before.blocks;
  })) << "blocks "
      << pool(device).blocks << " (were " << before.blocks << ")";
  EXPECT_EQ(client({"complete", "0x700", "1"}), 0);  // nothing left under the key
  CloseHandle(device);
}

TEST_F(HostTest, AProcessKilledInsideTheDriverDoesNotHarmTheHost) {
  HANDLE device = open();
  const auto before = pool(device);
  pid_t waiter = spawn({ZEK_IOCLIENT, "wait"});
  ASSERT_TRUE(eventually([&] { return pool(device).requests == before.requests + 1; }));
  kill(waiter, SIGKILL);
  EXPECT_EQ(exit_code(waiter), 128 + SIGKILL);
  ASSERT_TRUE(eventually([&] {
    auto now = pool(device);
    return now.requests == before.requests && now.blocks == before.blocks;
  })) << "blocks "
      << pool(device).blocks << " (were " << before.blocks << ")";
  char in[4] = "ok", out[4] = {};
  DWORD bytes = 0;
  EXPECT_TRUE(DeviceIoControl(device, testdrv::kEcho, in, 4, out, 4, &bytes, nullptr));
  CloseHandle(device);
}

TEST_F(HostTest, APageTheKernelMapsShowsWhatTheKernelWrites) {
  HANDLE device = open();
  testdrv::Address address{};
  DWORD bytes = 0;
  ASSERT_TRUE(DeviceIoControl(device, testdrv::kMapPage, nullptr, 0, &address, sizeof address, &bytes, nullptr));
  auto* page = reinterpret_cast<volatile unsigned char*>(address.address);
  EXPECT_EQ(page[100], 0);
  testdrv::Fill fill{0xA5};
  ASSERT_TRUE(DeviceIoControl(device, testdrv::kFillPage, &fill, sizeof fill, nullptr, 0, &bytes, nullptr));
  EXPECT_EQ(page[0], 0xA5);
  EXPECT_EQ(page[4095], 0xA5);
  char line[64];
  std::snprintf(line, sizeof line, "%lx-", static_cast<unsigned long>(address.address));
  EXPECT_NE(read_file("/proc/self/maps").find(line), std::string::npos);
  ASSERT_TRUE(DeviceIoControl(device, testdrv::kUnmapPage, nullptr, 0, nullptr, 0, &bytes, nullptr));
  EXPECT_EQ(pool(device).mappings, 0u);
  EXPECT_EQ(read_file("/proc/self/maps").find(line), std::string::npos);  // unmapped by the upcall
  CloseHandle(device);
}

TEST_F(HostTest, DoorbellWritesReachTheDeviceInOrder) {
  HANDLE device = open();
  testdrv::Address address{};
  DWORD bytes = 0;
  ASSERT_TRUE(DeviceIoControl(device, testdrv::kMapDoorbell, nullptr, 0, &address, sizeof address, &bytes, nullptr));
  // The page is inaccessible to plain loads and stores.
  char line[64];
  std::snprintf(line, sizeof line, "%lx-", static_cast<unsigned long>(address.address));
  std::string maps = read_file("/proc/self/maps");
  auto at = maps.find(line);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(maps.substr(maps.find(' ', at) + 1, 4), "---p");

  constexpr int kPerThread = 500;
  auto* doorbell = reinterpret_cast<volatile ULONG*>(address.address);
  std::thread writers[2];
  for (int t = 0; t < 2; ++t) {
    writers[t] = std::thread([=] {
      for (int i = 0; i < kPerThread; ++i) WRITE_REGISTER_ULONG(doorbell + t * 4, static_cast<ULONG>((t << 16) | i));
    });
  }
  for (auto& w : writers) w.join();
  std::vector<unsigned char> buffer(8 + 2 * kPerThread * sizeof(testdrv::DoorbellWrite));
  auto* log = reinterpret_cast<testdrv::DoorbellLog*>(buffer.data());
  ASSERT_TRUE(eventually([&] {
    DeviceIoControl(device, testdrv::kDoorbells, nullptr, 0, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes,
                    nullptr);
    return log->count == 2 * kPerThread;
  })) << log->count;
  int next[2] = {0, 0};
  for (std::uint32_t i = 0; i < log->count; ++i) {
    const auto& write = log->writes[i];
    const int t = static_cast<int>(write.value >> 16);
    ASSERT_TRUE(t == 0 || t == 1);
    EXPECT_EQ(write.offset, static_cast<std::uint64_t>(t * 16));
    ASSERT_EQ(static_cast<int>(write.value & 0xFFFF), next[t]) << "thread " << t << " out of order";
    ++next[t];
  }
  ASSERT_TRUE(DeviceIoControl(device, testdrv::kUnmapDoorbell, nullptr, 0, nullptr, 0, &bytes, nullptr));
  EXPECT_EQ(read_file("/proc/self/maps").find(line), std::string::npos);
  CloseHandle(device);
}

// A process that turns on what it was handed leaves the host up, another
// process served, and nothing of its own behind once it has gone.
TEST_F(HostTest, AHostileProcessHarmsNoOneButItself) {
  HANDLE device = open();
  const auto before = pool(device);
  struct Case {
    const char* what;
    int exit_code;  // 0: every attempt refused; 128 + signal: the process hurt itself
  };
  const Case cases[] = {
      {"keep-descriptors", 0},       // none of the host's memory stays with it
      {"truncate", 0},               // the segment of its page, sealed
      {"grow", 0},                   //
      {"map-beyond", 128 + SIGBUS},  // past the page it was given there is nothing
      {"forge-ring", 0},             // indices, slots and sizes of its doorbell ring
  };
  for (const Case& c : cases) {
    EXPECT_EQ(client({"hostile", c.what}), c.exit_code) << c.what;
    char in[4] = "ok", out[4] = {};
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(device, testdrv::kEcho, in, 4, out, 4, &bytes, nullptr)) << c.what;
    EXPECT_STREQ(out, "ok") << c.what;
    EXPECT_TRUE(eventually([&] {
      auto now = pool(device);
      return now.mappings == before.mappings && now.blocks == before.blocks;
    })) << c.what
        << ": mappings " << pool(device).mappings << ", blocks " << pool(device).blocks;
  }
  CloseHandle(device);
}

// Processes that misbehave on the wire, or forget that they forked: after
// each the host is up, serves this process, and holds nothing of theirs;
// it stops cleanly with nothing left in its pool.
TEST_F(HostTest, HostileProcessesLeaveTheHostUpAndNothingBehind) {
  HANDLE device = open();
  const auto before = pool(device);
  struct Case {
    const char* what;
    std::vector<std::string> args;
    const char* logged;  // what host.log says of it, if anything
  };
  const Case cases[] = {
      {"ignores a mapping upcall", {ZEK_HOSTILE, "ignore-upcalls"}, "did not answer a mapping request in time"},
      {"never reads its socket", {ZEK_HOSTILE, "no-read"}, "does not read its connection"},
      {"dies while its request waits in the driver", {ZEK_HOSTILE, "die-mid-request"}, nullptr},
      {"pends buffered requests past its share of memory",
       {ZEK_HOSTILE, "hog-buffered", std::to_string(6u << 20)},
       "its buffered requests would pass"},
      {"has a forked child use its handle", {ZEK_IOCLIENT, "fork-child"}, nullptr},
      {"spreads buffered requests over direct connections past its share",
       {ZEK_HOSTILE, "direct-hog-buffered", std::to_string(6u << 20), std::to_string(16u << 20)},  // 64 MB / 4
       "its buffered requests would pass"},
      {"asks for a direct connection without a main one", {ZEK_HOSTILE, "direct-alone"}, nullptr},
      {"never reads its direct connection", {ZEK_HOSTILE, "direct-no-read"}, "does not read its direct connection"},
      {"claims inline bytes it does not send", {ZEK_HOSTILE, "forge-inline"}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(exit_code(spawn(c.args, dir_)), 0);
    if (c.logged != nullptr) {
      EXPECT_TRUE(eventually([&] { return read_file(dir_ / "host.log").find(c.logged) != std::string::npos; }))
          << read_file(dir_ / "host.log");
    }
    char in[8] = "still", out[8] = {};
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(device, testdrv::kEcho, in, sizeof in, out, sizeof out, &bytes, nullptr));
    EXPECT_STREQ(out, "still");
    EXPECT_TRUE(eventually([&] {
      const auto now = pool(device);
      return now.requests == before.requests && now.blocks == before.blocks && now.mappings == before.mappings;
    }));
  }
  CloseHandle(device);
  EXPECT_EQ(stop_host(), 0);
  EXPECT_EQ(read_file(dir_ / "host.log").find("still allocated at shutdown"), std::string::npos)
      << read_file(dir_ / "host.log");
}

TEST_F(HostTest, SigtermUnloadsTheDriversAndStopsWithZero) {
  HANDLE device = open();
  HANDLE waiting = open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped{};
  testdrv::Key key{0x800};
  std::uint64_t pended_out = 0;
  EXPECT_FALSE(DeviceIoControl(waiting, testdrv::kPend, &key, sizeof key, &pended_out, 8, nullptr, &overlapped));
  // A synchronous request waiting in the driver (on its thread's own
  // connection) does not keep the host from stopping.
  HANDLE blocked = open();
  const auto before = pool(device);
  std::atomic<bool> ended{false};
  BOOL waited = TRUE;
  DWORD waited_error = 0;
  DWORD waited_bytes = 0;
  std::thread waiter([&] {
    // On the heap, so the output is copied by the host rather than carried
    // in the completion.
    auto result = std::make_unique<NTSTATUS>(0);
    waited = DeviceIoControl(blocked, testdrv::kWait, nullptr, 0, result.get(), sizeof *result, &waited_bytes, nullptr);
    waited_error = GetLastError();
    ended = true;
  });
  ASSERT_TRUE(eventually([&] { return pool(device).requests == before.requests + 1; }));
  EXPECT_EQ(stop_host(), 0);
  waiter.join();
  EXPECT_TRUE(ended.load());
  // Its output could not be copied to it: the request fails, with no bytes
  // said to be written.
  EXPECT_FALSE(waited);
  EXPECT_EQ(waited_bytes, 0u);
  EXPECT_NE(waited_error, 0u);
  // The host ended this process's requests before it went.
  DWORD pended_bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(waiting, &overlapped, &pended_bytes, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  std::string log = read_file(dir_ / "host.log");
  EXPECT_NE(log.find("driver zektest unloaded"), std::string::npos) << log;
  EXPECT_NE(log.find("stopped"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "kernel.sock"));
  // The registry kept the host's name.
  EXPECT_NE(read_file(dir_ / "registry.txt").find("ComputerName\"=sz:TESTHOST"), std::string::npos);
  DWORD bytes = 0;
  char in[4] = "x", out[4];
  EXPECT_FALSE(DeviceIoControl(device, testdrv::kEcho, in, 4, out, 4, &bytes, nullptr));
  // Without a host, opening the device fails as for a missing driver.
  EXPECT_EQ(client({"open"}), static_cast<int>(ERROR_FILE_NOT_FOUND));
}

}  // namespace

namespace {

// zekhost's command line, without a running host.
int run_host(std::vector<std::string> args, std::string* output = nullptr) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return -1;
  args.insert(args.begin(), ZEK_HOST_BINARY);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], 1);
    dup2(pipe_fds[1], 2);
    close(pipe_fds[0]);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  close(pipe_fds[0]);
  if (output != nullptr) *output = text;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HostCommandLine, HelpBadValuesAndABusyDirectory) {
  std::string out;
  EXPECT_EQ(run_host({"--help"}, &out), 0);
  EXPECT_NE(out.find("usage: zekhost --dir DIR"), std::string::npos);
  EXPECT_EQ(run_host({"--bogus"}, &out), 2);
  unsetenv("ZEK_HOST");
  EXPECT_EQ(run_host({}, &out), 2);
  EXPECT_NE(out.find("no host directory"), std::string::npos);

  char pattern[] = "/tmp/zekhost-cli-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::filesystem::path dir = pattern;
  EXPECT_EQ(run_host({"--dir", dir.string(), "--native", "10.1.2.3"}, &out), 1);
  EXPECT_NE(out.find("not a loopback alias"), std::string::npos) << out;
  EXPECT_EQ(run_host({"--dir", dir.string(), "--name", "bad name!"}, &out), 1);
  // A host already serving the directory keeps it.
  pid_t first = spawn_host(dir);
  ASSERT_TRUE(eventually([&] { return read_file(dir / "host.log").find("ready") != std::string::npos; }));
  EXPECT_EQ(run_host({"--dir", dir.string()}, &out), 1);
  EXPECT_NE(out.find("another zekhost serves"), std::string::npos) << out;
  kill(first, SIGTERM);
  int status = 0;
  waitpid(first, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // The configuration kept what the first start chose.
  EXPECT_NE(read_file(dir / "host.conf").find("native = 127.0.10.1"), std::string::npos);
  std::filesystem::remove_all(dir);
}

TEST(HostCommandLine, AHostThatCannotServeUnloadsItsDriversAndExitsWithOne) {
  char pattern[] = "/tmp/zekhost-cli-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  // The kernel socket's path does not fit a Unix socket address.
  const std::filesystem::path dir = std::filesystem::path(pattern) / std::string(100, 'd');
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "host.conf") << "[host]\nname = TESTHOST\nmemory_mb = 64\n\n[driver zektest]\npath = "
                                   << ZEK_TEST_DRIVER << "\n";
  std::string out;
  EXPECT_EQ(run_host({"--dir", dir.string()}, &out), 1);
  EXPECT_NE(out.find("cannot listen on the kernel socket"), std::string::npos) << out;
  const std::string log = read_file(dir / "host.log");
  const auto loaded = log.find("driver zektest loaded");
  const auto unloaded = log.find("driver zektest unloaded");
  ASSERT_NE(loaded, std::string::npos) << log;
  EXPECT_NE(unloaded, std::string::npos) << log;
  EXPECT_GT(unloaded, loaded);
  EXPECT_EQ(log.find("ready"), std::string::npos) << log;
  std::filesystem::remove_all(pattern);
}

TEST(HostCommandLine, AMalformedRegistryStopsTheHostAndIsLeftAsItWas) {
  char pattern[] = "/tmp/zekhost-cli-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path dir = pattern;
  const std::string registry =
      "[\\Registry\\Machine\\Software\\Test]\n\"Kept\"=sz:yes\nnot a value\n\"After\"=sz:also\n";
  std::ofstream(dir / "registry.txt") << registry;
  std::string out;
  EXPECT_EQ(run_host({"--dir", dir.string()}, &out), 1);
  EXPECT_NE(out.find("registry.txt:3: "), std::string::npos) << out;
  // Nothing after the bad line is lost to a save of what was read before it.
  EXPECT_EQ(read_file(dir / "registry.txt"), registry);
  std::filesystem::remove_all(dir);
}

// What zekhost says about its directory and its configuration: each start
// that cannot serve exits with 1 and a message naming the path (and the
// line), one that serves says where.
TEST(HostCommandLine, MessagesNameThePathAndTheLine) {
  const std::filesystem::path root = zeklab::make_temp_dir("zekhost-msg");
  ASSERT_FALSE(root.empty());
  const std::string driver = std::string("[driver zektest]\npath = ") + ZEK_TEST_DRIVER + "\n";
  struct Case {
    const char* what;
    std::string conf;  // host.conf; none when empty
    std::string dir;   // relative to root; "" for root/host
    std::string expected;
  };
  std::ofstream(root / "a-file") << "not a directory";
  std::filesystem::create_directories(root / "locked" / "host.lock");  // a lock file that cannot be opened
  const std::string conf = (root / "host" / "host.conf").string();
  const Case cases[] = {
      {"a misspelt key", "[host]\nname = A\nmemroy_mb = 64\n", "", conf + ":3: unknown key 'memroy_mb' in [host]"},
      {"a key given twice", "[host]\nmemory_mb = 64\nmemory_mb = 32\n", "",
       conf + ":3: 'memory_mb' given twice in [host] (first on line 2)"},
      {"an empty section", "[host]\nname = A\n[]\n", "", conf + ":3: a section needs a kind"},
      {"a size with a unit", "[host]\nmemory_mb = 256MB\n", "",
       conf + ":2: memory_mb must be a number of megabytes, 16 to 16384, not '256MB'"},
      {"a driver without a path", "[driver zektest]\n", "", conf + ":1: [driver zektest] needs a path"},
      {"a driver's misspelt key", "[driver zektest]\npaht = x\n", "", conf + ":2: unknown key 'paht'"},
      {"a driver given twice", driver + driver, "", conf + ":3: section [driver zektest] given twice"},
      {"a bad adapter", "[adapter nic0]\nfunctions = 9\n", "", conf + ":1: adapter nic0: functions must be 1 to 4"},
      {"a directory that cannot be made", "", "a-file/sub",
       "cannot create the host directory " + (root / "a-file" / "sub").string() + ": "},
      {"a lock that cannot be opened", "", "locked", "cannot open " + (root / "locked" / "host.lock").string() + ": "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(root / "host");
    std::filesystem::create_directories(root / "host");
    if (!c.conf.empty()) std::ofstream(conf) << c.conf;
    const std::string dir = (root / (c.dir.empty() ? "host" : c.dir)).string();
    std::string out;
    EXPECT_EQ(run_host({"--dir", dir}, &out), 1) << out;
    EXPECT_NE(out.find("zekhost: " + c.expected), std::string::npos) << out;
    EXPECT_EQ(out.find("another zekhost"), std::string::npos) << out;
    // The user's file is as it was.
    if (!c.conf.empty()) {
      EXPECT_EQ(read_file(conf), c.conf);
    }
  }
  std::filesystem::remove_all(root);
}

TEST(HostCommandLine, AHostSaysWhereItServesAndKeepsTheUsersFile) {
  const std::filesystem::path dir = zeklab::make_temp_dir("zekhost-start");
  ASSERT_FALSE(dir.empty());
  const std::string conf = "# my host\n[host]\nname = MINE   # the computer name\nmemory_mb = 32  # small\n";
  std::ofstream(dir / "host.conf") << conf;
  const std::filesystem::path out = dir.parent_path() / (dir.filename().string() + ".out");
  // "--dir=DIR" and "--native=ADDR" as well as "--dir DIR".
  pid_t host = zeklab::spawn({ZEK_HOST_BINARY, "--dir=" + dir.string(), "--native=127.0.10.7"}, {}, out);
  EXPECT_TRUE(eventually([&] { return read_file(out).find("host.log") != std::string::npos; }, 20000))
      << read_file(out) << read_file(dir / "host.log");
  const std::string said = read_file(out);
  EXPECT_NE(said.find("host MINE serves " + dir.string()), std::string::npos) << said;
  EXPECT_NE(said.find((dir / "host.log").string()), std::string::npos) << said;
  EXPECT_EQ(zeklab::terminate(host), 0);
  // Only the setting the command line changed was added; comments are kept.
  EXPECT_EQ(read_file(dir / "host.conf"),
            "# my host\n[host]\nname = MINE   # the computer name\nmemory_mb = 32  # small\nnative = 127.0.10.7\n");
  // A start without options leaves the file alone.
  std::filesystem::remove(out);
  host = zeklab::spawn({ZEK_HOST_BINARY, "--dir", dir.string()}, {}, out);
  EXPECT_TRUE(eventually([&] { return read_file(out).find("host.log") != std::string::npos; }, 20000));
  EXPECT_EQ(zeklab::terminate(host), 0);
  EXPECT_NE(read_file(dir / "host.conf").find("native = 127.0.10.7\n"), std::string::npos);
  std::filesystem::remove_all(dir);
  std::filesystem::remove(out);
}

}  // namespace

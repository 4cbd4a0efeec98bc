// System threads: start, identity, termination, waiting on their end through
// the handle, and work items.
#include <atomic>

#include "platform/kernel/process.h"
#include "tests/support/kernel_fixture.h"

namespace {

class ThreadTest : public KernelTest {};

struct ThreadProbe {
  KIRQL irql = HIGH_LEVEL;
  HANDLE pid = nullptr;
  BOOLEAN system = FALSE;
  KEVENT go;
  bool terminate = false;
};

void probe_main(PVOID context) {
  auto* p = static_cast<ThreadProbe*>(context);
  p->irql = KeGetCurrentIrql();
  p->pid = PsGetCurrentProcessId();
  p->system = PsIsSystemThread(PsGetCurrentThread());
  KeWaitForSingleObject(&p->go, Executive, KernelMode, FALSE, nullptr);
  if (p->terminate) PsTerminateSystemThread(STATUS_UNSUCCESSFUL);
}

TEST_F(ThreadTest, SystemThreadRunsAtPassiveInTheSystemProcessAndSignalsItsEnd) {
  for (bool terminate : {false, true}) {
    ThreadProbe probe;
    probe.terminate = terminate;
    KeInitializeEvent(&probe.go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    CLIENT_ID id{};
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, &id, probe_main, &probe),
              STATUS_SUCCESS);
    EXPECT_EQ(id.UniqueProcess, reinterpret_cast<HANDLE>(4));
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);

    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&probe.go, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<PKTHREAD>(object)->ExitStatus, terminate ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
    ObDereferenceObject(object);

    EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
    EXPECT_EQ(probe.pid, reinterpret_cast<HANDLE>(4));
    EXPECT_TRUE(probe.system);
  }
}

TEST_F(ThreadTest, HandlesRefuseTheWrongTypeAndUnknownValues) {
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), 0, nullptr, KernelMode, &object, nullptr),
            STATUS_INVALID_HANDLE);
  OBJECT_TYPE other{"Other", nullptr};
  HANDLE handle = nullptr;
  ThreadProbe probe;
  KeInitializeEvent(&probe.go, NotificationEvent, TRUE);
  ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, probe_main, &probe), STATUS_SUCCESS);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, &other, KernelMode, &object, nullptr), STATUS_OBJECT_TYPE_MISMATCH);
  ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
  ZwClose(handle);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object);
}

TEST_F(ThreadTest, ClientContextCarriesTheCallersIds) {
  const HANDLE own = PsGetCurrentThreadId();
  {
    plat::ClientContext as_caller(reinterpret_cast<HANDLE>(0x1234), reinterpret_cast<HANDLE>(0x5678));
    EXPECT_EQ(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(0x1234));
    EXPECT_EQ(PsGetCurrentThreadId(), reinterpret_cast<HANDLE>(0x5678));
  }
  EXPECT_EQ(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(4));
  EXPECT_EQ(PsGetCurrentThreadId(), own);
  EXPECT_EQ(PsGetProcessId(PsGetCurrentProcess()), reinterpret_cast<HANDLE>(4));
}

TEST_F(ThreadTest, WorkItemsRunAtPassiveInOrder) {
  struct Item {
    WORK_QUEUE_ITEM item;
    int index;
    std::vector<int>* order;
    std::mutex* mu;
    KIRQL irql;
  };
  std::vector<int> order;
  std::mutex mu;
  std::vector<Item> items(16);
  for (int i = 0; i < 16; ++i) {
    items[i] = Item{{}, i, &order, &mu, HIGH_LEVEL};
    ExInitializeWorkItem(
        &items[i].item,
        [](PVOID p) {
          auto* it = static_cast<Item*>(p);
          it->irql = KeGetCurrentIrql();
          std::lock_guard lock(*it->mu);
          it->order->push_back(it->index);
        },
        &items[i]);
  }
  for (auto& it : items) ExQueueWorkItem(&it.item, DelayedWorkQueue);
  kernel().workers().drain();
  ASSERT_EQ(order.size(), 16u);
  for (auto& it : items) EXPECT_EQ(it.irql, PASSIVE_LEVEL);
}

using ThreadDeathTest = ThreadTest;

TEST_F(ThreadDeathTest, ThreadEndingWithASpinLockHeldStops) {
  EXPECT_DEATH(
      {
        static KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        HANDLE h;
        PsCreateSystemThread(
            &h, 0, nullptr, nullptr, nullptr,
            [](PVOID) {
              KIRQL old;
              KeAcquireSpinLock(&lock, &old);
            },
            nullptr);
        std::this_thread::sleep_for(std::chrono::seconds(5));
      },
      "ended at IRQL 2 holding 1 spin lock");
}

}  // namespace

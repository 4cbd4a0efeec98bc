// Cancel-safe queues with insert contexts, driven directly.
#include <vector>

#include "tests/support/io_fixture.h"

namespace {

struct Queue {
  IO_CSQ csq;
  LIST_ENTRY list;
  KSPIN_LOCK lock;
  bool refuse = false;
  std::vector<PIRP> cancelled;
};

Queue* queue_of(PIO_CSQ csq) { return CONTAINING_RECORD(csq, Queue, csq); }

NTSTATUS insert(PIO_CSQ csq, PIRP irp, PVOID key) {
  if (queue_of(csq)->refuse) return STATUS_INSUFFICIENT_RESOURCES;
  irp->Tail.Overlay.DriverContext[0] = key;
  InsertTailList(&queue_of(csq)->list, &irp->Tail.Overlay.ListEntry);
  return STATUS_SUCCESS;
}
void remove(PIO_CSQ, PIRP irp) { RemoveEntryList(&irp->Tail.Overlay.ListEntry); }
PIRP peek(PIO_CSQ csq, PIRP irp, PVOID key) {
  LIST_ENTRY* head = &queue_of(csq)->list;
  for (LIST_ENTRY* e = irp == nullptr ? head->Flink : irp->Tail.Overlay.ListEntry.Flink; e != head; e = e->Flink) {
    PIRP candidate = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
    if (key == nullptr || candidate->Tail.Overlay.DriverContext[0] == key) return candidate;
  }
  return nullptr;
}
void acquire(PIO_CSQ csq, PKIRQL irql) { KeAcquireSpinLock(&queue_of(csq)->lock, irql); }
void release(PIO_CSQ csq, KIRQL irql) { KeReleaseSpinLock(&queue_of(csq)->lock, irql); }
void cancelled(PIO_CSQ csq, PIRP irp) { queue_of(csq)->cancelled.push_back(irp); }

class Csq : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    io_ = std::make_unique<plat::IoManager>(kernel());
    InitializeListHead(&queue_.list);
    KeInitializeSpinLock(&queue_.lock);
    ASSERT_EQ(IoCsqInitializeEx(&queue_.csq, &insert, &remove, &peek, &acquire, &release, &cancelled), STATUS_SUCCESS);
  }
  void TearDown() override {
    for (PIRP irp : irps_) IoFreeIrp(irp);
    io_.reset();
    KernelTest::TearDown();
  }
  // An IRP as a dispatch routine holds it: at its own stack location.
  PIRP irp() {
    PIRP irp = IoAllocateIrp(1, FALSE);
    --irp->CurrentLocation;
    --irp->Tail.Overlay.CurrentStackLocation;
    irps_.push_back(irp);
    return irp;
  }
  PVOID key(ULONG_PTR k) { return reinterpret_cast<PVOID>(k); }

  std::unique_ptr<plat::IoManager> io_;
  Queue queue_;
  std::vector<PIRP> irps_;
};

TEST_F(Csq, RemovalByContextTakesThatRequestOnce) {
  PIRP a = irp(), b = irp();
  IO_CSQ_IRP_CONTEXT ca, cb;
  ASSERT_EQ(IoCsqInsertIrpEx(&queue_.csq, a, &ca, key(2)), STATUS_SUCCESS);
  ASSERT_EQ(IoCsqInsertIrpEx(&queue_.csq, b, &cb, key(4)), STATUS_SUCCESS);
  EXPECT_TRUE(IoGetCurrentIrpStackLocation(a)->Control & SL_PENDING_RETURNED);
  EXPECT_EQ(IoCsqRemoveIrp(&queue_.csq, &cb), b);
  EXPECT_EQ(IoCsqRemoveIrp(&queue_.csq, &cb), nullptr);
  EXPECT_EQ(b->CancelRoutine, nullptr);
  // A null peek context takes the first request, whatever its key.
  EXPECT_EQ(IoCsqRemoveNextIrp(&queue_.csq, nullptr), a);
  EXPECT_EQ(IoCsqRemoveIrp(&queue_.csq, &ca), nullptr);
  EXPECT_TRUE(IsListEmpty(&queue_.list));
}

TEST_F(Csq, ACancelledRequestLeavesTheQueueThroughTheCompleteCancelledCallback) {
  PIRP a = irp(), b = irp();
  IO_CSQ_IRP_CONTEXT ca;
  IoCsqInsertIrpEx(&queue_.csq, a, &ca, key(2));
  IoCsqInsertIrpEx(&queue_.csq, b, nullptr, key(2));
  EXPECT_TRUE(IoCancelIrp(a));
  ASSERT_EQ(queue_.cancelled.size(), 1u);
  EXPECT_EQ(queue_.cancelled[0], a);
  EXPECT_EQ(IoCsqRemoveIrp(&queue_.csq, &ca), nullptr);  // gone with the cancel
  EXPECT_EQ(IoCsqRemoveNextIrp(&queue_.csq, key(2)), b);
  EXPECT_FALSE(IoCancelIrp(b));  // taken out: no cancel routine any more
  EXPECT_EQ(queue_.cancelled.size(), 1u);
}

TEST_F(Csq, AlreadyCancelledRequestsAndRefusedInsertsAreNotQueued) {
  PIRP cancelled_first = irp();
  cancelled_first->Cancel = TRUE;
  EXPECT_EQ(IoCsqInsertIrpEx(&queue_.csq, cancelled_first, nullptr, key(2)), STATUS_SUCCESS);
  ASSERT_EQ(queue_.cancelled.size(), 1u);
  EXPECT_TRUE(IsListEmpty(&queue_.list));
  queue_.refuse = true;
  PIRP refused = irp();
  EXPECT_EQ(IoCsqInsertIrpEx(&queue_.csq, refused, nullptr, key(2)), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(refused->CancelRoutine, nullptr);
  EXPECT_FALSE(IoGetCurrentIrpStackLocation(refused)->Control & SL_PENDING_RETURNED);
}

TEST_F(Csq, InitializationChecksItsCallbacks) {
  IO_CSQ other;
  EXPECT_EQ(IoCsqInitializeEx(&other, &insert, nullptr, &peek, &acquire, &release, &cancelled),
            STATUS_INVALID_PARAMETER);
}

}  // namespace

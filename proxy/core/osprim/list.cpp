// The locked list. Every operation runs in one hold of the list's own lock,
// so two threads that remove from one list never get the same node.
#include <atomic>

#include "proxy/core/osprim/osprim_kernel.h"

namespace {

// Serialises the implicit set-up of heads that were never initialised, so
// that two first inserters cannot both set one up and lose a node. Valid
// from load (a free kernel spin lock is zero).
constinit OSPrimSpinlockObject g_implicit_init_lock{ZEK_SIG_SPINLOCK, {0}, 0};

std::atomic_ref<std::uint32_t> signature_of(ZekListHead* head) {
  return std::atomic_ref<std::uint32_t>(head->Signature);
}

bool valid(ZekListHead* head) {
  return !ZekIsBadPointer(head) && signature_of(head).load(std::memory_order_acquire) == ZEK_SIG_LIST_HEAD;
}

void set_up(ZekListHead* head) {
  head->Tail = nullptr;
  head->Head = nullptr;
  OSPrimSyncInitSpinlockObject(&head->Lock);
  signature_of(head).store(ZEK_SIG_LIST_HEAD, std::memory_order_release);
}

// Holding the list's lock. A node is on the list when both its neighbours
// (or the list's ends) point back at it.
bool on_list(ZekListHead* head, ZekListNode* node) {
  const bool back = node->Prev != nullptr ? node->Prev->Next == node : head->Head == node;
  const bool forward = node->Next != nullptr ? node->Next->Prev == node : head->Tail == node;
  return back && forward;
}

// Holding the list's lock.
void unlink(ZekListHead* head, ZekListNode* node) {
  if (node->Prev != nullptr) {
    node->Prev->Next = node->Next;
  } else {
    head->Head = node->Next;
  }
  if (node->Next != nullptr) {
    node->Next->Prev = node->Prev;
  } else {
    head->Tail = node->Prev;
  }
  node->Next = nullptr;
  node->Prev = nullptr;
}

}  // namespace

ZekStatus ZekInitializeListHead(ZekListHead* head) {
  if (ZekIsBadPointer(head)) return ZEK_OSPRIM_FAILURE;
  set_up(head);
  return ZEK_STATUS_PASS;
}

ZekStatus ZekInsertTailList(ZekListHead* head, ZekListNode* node) {
  if (ZekIsBadPointer(head) || ZekIsBadPointer(node)) return ZEK_OSPRIM_FAILURE;
  if (!valid(head)) {
    ZEK_LOG_FAILURE("Func[%s] did you forget to call ZekInitializeListHead ??? \n", __func__);
    OSPrimSyncAcquireSpinlockObject(&g_implicit_init_lock);
    if (!valid(head)) set_up(head);
    OSPrimSyncReleaseSpinlockObject(&g_implicit_init_lock);
  }
  if (OSPrimSyncAcquireSpinlockObject(&head->Lock) != ZEK_STATUS_PASS) return ZEK_OSPRIM_FAILURE;
  node->Next = nullptr;
  node->Prev = head->Tail;
  if (head->Tail != nullptr) {
    head->Tail->Next = node;
  } else {
    head->Head = node;
  }
  head->Tail = node;
  return OSPrimSyncReleaseSpinlockObject(&head->Lock);
}

ZekListNode* ZekRemoveTailList(ZekListHead* head) {
  if (!valid(head) || OSPrimSyncAcquireSpinlockObject(&head->Lock) != ZEK_STATUS_PASS) return nullptr;
  ZekListNode* node = head->Tail;
  if (node != nullptr) unlink(head, node);
  OSPrimSyncReleaseSpinlockObject(&head->Lock);
  return node;
}

ZekListNode* ZekRemoveHeadList(ZekListHead* head) {
  if (!valid(head) || OSPrimSyncAcquireSpinlockObject(&head->Lock) != ZEK_STATUS_PASS) return nullptr;
  ZekListNode* node = head->Head;
  if (node != nullptr) unlink(head, node);
  OSPrimSyncReleaseSpinlockObject(&head->Lock);
  return node;
}

ZekStatus ZekRemoveEntryList(ZekListHead* head, ZekListNode* node) {
  if (ZekIsBadPointer(node) || !valid(head)) return ZEK_OSPRIM_FAILURE;
  if (OSPrimSyncAcquireSpinlockObject(&head->Lock) != ZEK_STATUS_PASS) return ZEK_OSPRIM_FAILURE;
  // A node that is not on this list (removed already, or never inserted)
  // must not be "unlinked": its null links would empty the list.
  const bool member = on_list(head, node);
  if (member) unlink(head, node);
  const ZekStatus status = OSPrimSyncReleaseSpinlockObject(&head->Lock);
  if (!member) {
    ZEK_LOG_FAILURE("ZekRemoveEntryList: node[x%p] is not on list[x%p] (0x%x)\n", static_cast<void*>(node),
                    static_cast<void*>(head), ZEK_OSPRIM_FAILURE);
    return ZEK_OSPRIM_FAILURE;
  }
  return status;
}

BOOLEAN ZekIsListEmpty(ZekListHead* head) {
  if (!valid(head) || OSPrimSyncAcquireSpinlockObject(&head->Lock) != ZEK_STATUS_PASS) return TRUE;
  const bool empty = head->Head == nullptr && head->Tail == nullptr;
  OSPrimSyncReleaseSpinlockObject(&head->Lock);
  return empty ? TRUE : FALSE;
}

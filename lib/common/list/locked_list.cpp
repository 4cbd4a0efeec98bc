// The locked list of the OS-primitive contract, one source for both builds
// (the kernel build in the drivers, the user-mode build in zekbase): it
// calls only the contract's spin-lock routines and failure log. Every
// operation runs in one hold of the list's own lock, so two threads that
// remove from one list never get the same node.
#include <atomic>
#include <thread>

#include "include/zek/osprim.h"

namespace {

// Serialises the set-up of heads that were never initialised, so that two
// first inserters cannot both set one head up and lose a node. A plain flag:
// it must work before anything is set up, in both builds.
std::atomic_flag g_implicit_init = ATOMIC_FLAG_INIT;

std::atomic_ref<std::uint32_t> signature_of(ZekListHead* head) {
  return std::atomic_ref<std::uint32_t>(head->Signature);
}

bool valid(ZekListHead* head) {
  return !ZekIsBadPointer(head) && signature_of(head).load(std::memory_order_acquire) == ZEK_SIG_LIST_HEAD;
}

ZekStatus set_up(ZekListHead* head) {
  head->Tail = nullptr;
  head->Head = nullptr;
  const ZekStatus status = OSPrimSyncInitSpinlockObject(&head->Lock);
  if (status == ZEK_STATUS_PASS) signature_of(head).store(ZEK_SIG_LIST_HEAD, std::memory_order_release);
  return status;
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

// Removes the node that `pick` names, in one hold of the lock.
template <typename Pick>
ZekListNode* remove_one(ZekListHead* head, Pick pick) {
  if (!valid(head) || OSPrimSyncAcquireSpinlockObject(&head->Lock) != ZEK_STATUS_PASS) return nullptr;
  ZekListNode* node = pick(head);
  if (node != nullptr) unlink(head, node);
  OSPrimSyncReleaseSpinlockObject(&head->Lock);
  return node;
}

}  // namespace

ZekStatus ZekInitializeListHead(ZekListHead* head) {
  if (ZekIsBadPointer(head)) return ZEK_OSPRIM_FAILURE;
  return set_up(head);
}

ZekStatus ZekInsertTailList(ZekListHead* head, ZekListNode* node) {
  if (ZekIsBadPointer(head) || ZekIsBadPointer(node)) return ZEK_OSPRIM_FAILURE;
  if (!valid(head)) {
    ZEK_LOG_FAILURE("Func[%s] did you forget to call ZekInitializeListHead ??? \n", __func__);
    while (g_implicit_init.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    const ZekStatus status = valid(head) ? ZEK_STATUS_PASS : set_up(head);
    g_implicit_init.clear(std::memory_order_release);
    if (status != ZEK_STATUS_PASS) return ZEK_OSPRIM_FAILURE;
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
  return remove_one(head, [](ZekListHead* h) { return h->Tail; });
}

ZekListNode* ZekRemoveHeadList(ZekListHead* head) {
  return remove_one(head, [](ZekListHead* h) { return h->Head; });
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

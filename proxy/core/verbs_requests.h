// The iWARP verbs control requests (records and decisions in
// include/zek/verbs_requests.h): CommonIwarpIoctl serves the plain verbs
// codes and the user-access codes; each handler copies what it reads from the
// caller, looks every handle up as the caller's own, calls one kernel verb and
// writes the verb's status back into the record.
//
// Handler results (ZpxMappedHandlerStatus maps them): 0 the request succeeds
// with the record (the verb's own status inside); 1 a code not served, a
// pointer that cannot be mapped or a refused request (nothing written back);
// 2 a null record, byte count or required handle.
#pragma once

#include <cstdint>

#include "include/zek/osprim.h"
#include "include/zek/verbs.h"
#include "platform/kernel/driver.h"
#include "proxy/core/osprim/osprim_kernel.h"

struct ZekIwarpAdapter;

// Serves one verbs request; `irp` gives the requestor mode and the file
// object (the open attaches the clean-up context to it).
ULONG CommonIwarpIoctl(void* Record, ULONG Code, ULONG_PTR* Bytes, PIRP Irp);

// IOCTL_ZEK_IWARP_NDI_NOTIFY_DISCONNECT: STATUS_PENDING with the request
// queued under the caller's queue pair; STATUS_INVALID_HANDLE when the
// adapter or queue pair is not the caller's.
NTSTATUS ZekIwarpNotifyDisconnect(PIRP Irp, void* Record);
// IOCTL_ZEK_IWARP_NDI_ASYNC_MR_NONSHARED and IOCTL_ZEK_IWARP_NDI_ASYNC_MR_DEALLOC:
// carried out at once; STATUS_SUCCESS (with *bytes the answer's size) or
// STATUS_UNSUCCESSFUL.
NTSTATUS ZekAsyncIwarpAsyncMrNonshared(void* Record, ULONG_PTR* Bytes);
NTSTATUS ZekAsyncIwarpAsyncMrDealloc(void* Record, ULONG_PTR* Bytes);
// The queue pair's connection has ended (the asynchronous-event processing
// tells it): its disconnect notifications complete with success. A queue
// pair's release cancels those still waiting (ZpxQpNotificationsEnd).
void ZpxQpDisconnected(void* qp);
extern "C" void ZpxQpNotificationsEnd(void* qp);

namespace zpxverbs {

// The caller's pointers of one request, each probed and mapped for the
// kernel for exactly its length (a kernel-mode caller's are kernel
// addresses already); every mapping is undone when the request ends.
class UserRanges {
 public:
  UserRanges(bool user, const char* request) : user_(user), request_(request) {}
  ~UserRanges();
  UserRanges(const UserRanges&) = delete;
  UserRanges& operator=(const UserRanges&) = delete;
  // The kernel view of `length` bytes at `address`, or null (logged "<request>:
  // mapping failure").
  void* map(std::uint64_t address, std::uint64_t length);
  template <typename T>
  T* map(std::uint64_t address) {
    return static_cast<T*>(map(address, sizeof(T)));
  }

 private:
  static constexpr int kMax = 4;
  bool user_;
  const char* request_;
  int used_ = 0;
  OSPrimMapRecord records_[kMax]{};
};

// The caller's own user open of `handle`, held for the request.
class OwnAdapter {
 public:
  explicit OwnAdapter(std::uint64_t handle);
  ~OwnAdapter();
  OwnAdapter(const OwnAdapter&) = delete;
  OwnAdapter& operator=(const OwnAdapter&) = delete;
  explicit operator bool() const { return adapter_ != nullptr; }
  ZekIwarpAdapter* get() const { return adapter_; }

 private:
  ZekIwarpAdapter* adapter_;
};

// Logs a verb's failure as the requests do ("<name>:  failed with the error '<text>'").
void log_status(const char* name, std::uint32_t status);

// A handler's answer to the dispatch: served (the record carries the verb's
// status), failed, or refused (the record is not touched).
inline constexpr ULONG kServed = 0;
inline constexpr ULONG kFailed = 1;
inline constexpr ULONG kRefused = 2;

// A record's 64-bit handle word as the object it names (checked by the
// verbs against the caller's own tables before any use).
template <typename T>
T* as(std::uint64_t value) {
  return reinterpret_cast<T*>(value);
}

// A verb on the caller's own adapter: the verb's status, or
// IWARP_STATUS_A_INVALID_RNIC_HANDLE when the handle is not one.
template <typename Verb>
std::uint32_t on_own(std::uint64_t handle, Verb verb) {
  OwnAdapter own(handle);
  if (!own) {
    ZEK_LOG_FAILURE("adapter %llx is not one the caller opened\n", static_cast<unsigned long long>(handle));
    return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  }
  return verb(own.get());
}

// The user-access handlers (verbs_requests_user.cpp).
ULONG PdAllocateUserAccess(void* record, bool user);
ULONG PdDeallocateUserAccess(void* record);
ULONG CqCreateUserAccess(void* record, bool user);
ULONG CqDestroyUserAccess(void* record);
ULONG QpCreateUserAccess(void* record, bool user);
ULONG QpDestroyUserAccess(void* record);

// Posting, regions and windows (verbs_requests_post.cpp).
ULONG PostSq(void* record, bool user);
ULONG PostRq(void* record, bool user);
ULONG MrAllocStag(void* record, bool user);
ULONG MrRegister(void* record);
ULONG MrReregister(void* record);
ULONG MrRegisterShared(void* record);
ULONG StagQuery(void* record, bool user, bool region);
ULONG MrDealloc(void* record);
ULONG MwAlloc(void* record, bool user);

}  // namespace zpxverbs

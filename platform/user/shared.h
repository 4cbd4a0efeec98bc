// What the platform's other user-mode libraries (WinSock) share with the
// user runtime: its handle table, so that a process has one table whichever
// library made a handle, and the completion of overlapped requests, so that
// the runtime's waits (GetOverlappedResult, events, completion ports) see
// them. The runtime exports C names only; an object crosses as a pointer to
// a std::shared_ptr of the runtime's Object, whose classes are header-only
// to the other libraries.
#pragma once

#include <memory>

#include "platform/user/runtime.h"

extern "C" {

// A handle for the object (one more reference to it).
HANDLE zek_user_insert_handle(const std::shared_ptr<plat::user::Object>* object);
// The object behind a handle into *object; FALSE (and *object empty) when
// the handle names nothing.
BOOL zek_user_reference_handle(HANDLE handle, std::shared_ptr<plat::user::Object>* object);
// The same, and the handle no longer names it.
BOOL zek_user_remove_handle(HANDLE handle, std::shared_ptr<plat::user::Object>* object);
// Completes an overlapped request of `file`: fills the OVERLAPPED, and with
// `signal` sets its event (or the file) and posts its completion packet.
// Takes the runtime's wait lock; the waiting threads wake once it is let go.
void zek_user_complete_overlapped(plat::user::IoObject* file, LPOVERLAPPED overlapped, NTSTATUS status,
                                  ULONG_PTR information, BOOL signal);

}  // extern "C"

namespace plat::user::shared {

// The object behind a handle, when it is a T.
template <typename T>
std::shared_ptr<T> object_as(HANDLE handle) {
  std::shared_ptr<Object> object;
  if (!zek_user_reference_handle(handle, &object)) return nullptr;
  return std::dynamic_pointer_cast<T>(object);
}

}  // namespace plat::user::shared

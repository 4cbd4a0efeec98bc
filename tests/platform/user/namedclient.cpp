// A second process for the named-object tests, run as a process of a host.
//
//   zeknamedclient count MUTEX FILE N    N times: take MUTEX, add one to the number in FILE, release
//   zeknamedclient hold-and-exit MUTEX   takes MUTEX and ends without releasing it
//   zeknamedclient wait-event EVENT MS   exit 0 when EVENT is set within MS, 1 on time-out, 2 when it is missing
//   zeknamedclient take SEMAPHORE        exit code: how many counts it could take at once
//   zeknamedclient keep EVENT DONE       creates EVENT, waits for the event DONE, ends
#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/user/win32.h"

namespace {

int read_number(const char* path) {
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return 0;
  int n = 0;
  if (std::fscanf(f, "%d", &n) != 1) n = 0;
  std::fclose(f);
  return n;
}

void write_number(const char* path, int n) {
  FILE* f = std::fopen(path, "w");
  if (f == nullptr) return;
  std::fprintf(f, "%d\n", n);
  std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 100;
  const std::string command = argv[1];
  if (command == "count" && argc == 5) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, argv[2]);
    if (mutex == nullptr) return 101;
    const int times = std::atoi(argv[4]);
    for (int i = 0; i < times; ++i) {
      const DWORD waited = WaitForSingleObject(mutex, 60000);
      if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED_0) return 102;
      const int n = read_number(argv[3]);
      for (int k = 0; k < 3; ++k) sched_yield();  // room for another process to come in, were it let
      write_number(argv[3], n + 1);
      if (!ReleaseMutex(mutex)) return 103;
    }
    return 0;
  }
  if (command == "hold-and-exit") {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, argv[2]);
    if (mutex == nullptr || WaitForSingleObject(mutex, 60000) != WAIT_OBJECT_0) return 101;
    std::_Exit(0);
  }
  if (command == "wait-event" && argc == 4) {
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
    if (event == nullptr) return 2;
    return WaitForSingleObject(event, static_cast<DWORD>(std::atoi(argv[3]))) == WAIT_OBJECT_0 ? 0 : 1;
  }
  if (command == "take") {
    HANDLE semaphore = OpenSemaphoreA(SYNCHRONIZE, FALSE, argv[2]);
    if (semaphore == nullptr) return 100;
    int taken = 0;
    while (WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) ++taken;
    return taken;
  }
  if (command == "keep" && argc == 4) {
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, argv[3]);  // there before the event the test looks for
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, argv[2]);
    if (event == nullptr || done == nullptr) return 101;
    return WaitForSingleObject(done, 60000) == WAIT_OBJECT_0 ? 0 : 102;
  }
  return 100;
}

// A module for the loader tests: counts its entry's calls and refuses to
// load while ZEK_TESTMODULE_REFUSE is set.
#include <cstdlib>

#include "platform/user/win32.h"

extern "C" {

int zek_testmodule_attached = 0;
int zek_testmodule_detached = 0;
HMODULE zek_testmodule_handle = nullptr;

BOOL DllMain(HMODULE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    if (std::getenv("ZEK_TESTMODULE_REFUSE") != nullptr) return FALSE;
    ++zek_testmodule_attached;
    zek_testmodule_handle = module;
  } else if (reason == DLL_PROCESS_DETACH) {
    ++zek_testmodule_detached;
  }
  return TRUE;
}

int zek_testmodule_answer() { return 42; }

}  // extern "C"

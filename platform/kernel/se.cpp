// Privilege checks: the administrator of the machine stands for a holder of
// every privilege.
#include "platform/kernel/se.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>

BOOLEAN SeSinglePrivilegeCheck(LUID, KPROCESSOR_MODE PreviousMode) {
  if (PreviousMode == KernelMode) return TRUE;
  const auto pid = reinterpret_cast<std::uintptr_t>(PsGetCurrentProcessId());
  struct stat st {};
  const std::string path = "/proc/" + std::to_string(pid);
  return ::stat(path.c_str(), &st) == 0 && st.st_uid == 0 ? TRUE : FALSE;
}

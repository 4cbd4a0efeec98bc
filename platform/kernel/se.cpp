// Privilege checks: the administrator of the machine stands for a holder of
// every privilege.
#include "platform/kernel/se.h"

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// The effective uid of a process, from its status file (the owner of
// /proc/PID is root for a process that changed its uid, whatever its uid).
bool effective_uid(std::uintptr_t pid, unsigned long* uid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Uid:", 0) != 0) continue;
    unsigned long real = 0;
    std::istringstream fields(line.substr(4));
    return static_cast<bool>(fields >> real >> *uid);
  }
  return false;
}

}  // namespace

BOOLEAN SeSinglePrivilegeCheck(LUID, KPROCESSOR_MODE PreviousMode) {
  if (PreviousMode == KernelMode) return TRUE;
  unsigned long uid = 1;
  const auto pid = reinterpret_cast<std::uintptr_t>(PsGetCurrentProcessId());
  return effective_uid(pid, &uid) && uid == 0 ? TRUE : FALSE;
}

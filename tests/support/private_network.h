// A network namespace of the test's own for tests with real peers: the
// calling thread moves into a new, empty namespace, where the test makes
// its TAP device and reaches Linux's side through ordinary sockets; the
// processes it starts from that thread (ping, socat, zekwiretap, tshark)
// are in it too, so nothing outside the namespace sees their traffic. The
// destructor returns the thread to the namespace it had; the namespace
// goes with the last process in it. Where the machine cannot make one (no
// privilege), open() says why and the test skips with it.
//
// Also: what a protocol analyser finds wrong in a capture.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/support/run_command.h"

namespace privatenet {

class PrivateNetwork {
 public:
  PrivateNetwork() = default;
  ~PrivateNetwork() {
    if (moved_) setns(home_, CLONE_NEWNET);
    if (home_ >= 0) ::close(home_);
  }
  PrivateNetwork(const PrivateNetwork&) = delete;
  PrivateNetwork& operator=(const PrivateNetwork&) = delete;

  // "" once the thread is in its new namespace, else why it is not.
  std::string open() {
    home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home_ < 0) return std::string("cannot open this thread's network namespace: ") + std::strerror(errno);
    if (unshare(CLONE_NEWNET) != 0) {
      return std::string("cannot create a network namespace (it needs CAP_SYS_ADMIN): ") + std::strerror(errno);
    }
    moved_ = true;
    return {};
  }

 private:
  int home_ = -1;
  bool moved_ = false;
};

inline bool have_program(const std::string& name) {
  return zektest::run_command("command -v " + name + " >/dev/null 2>&1").code == 0;
}

// The frames of `capture` that tshark finds malformed, with a bad IPv4,
// ICMP, UDP or TCP checksum, with an expert finding of error severity, or
// with TCP analysis flags other than `allowed` (a display filter, or "");
// "" when there are none. `decode` adds tshark options (-d ...). `excused`
// (a display filter, or "") names frames whose expert findings are not
// complaints, such as Linux's own TCP checksum of 0xFFFF (its software
// checksum writes a zero sum that way; both forms are valid).
inline std::string analyser_complaints(const std::string& capture, const std::string& allowed = {},
                                       const std::string& decode = {}, const std::string& excused = {}) {
  std::string expert = "_ws.expert.severity >= error";
  if (!excused.empty()) expert = "(" + expert + " && !(" + excused + "))";
  std::string filter =
      "_ws.malformed || " + expert +
      " || ip.checksum.status == \"Bad\" || "
      "icmp.checksum.status == \"Bad\" || udp.checksum.status == \"Bad\" || tcp.checksum.status == \"Bad\" || "
      "(tcp.analysis.flags";
  if (!allowed.empty()) filter += " && !(" + allowed + ")";
  filter += ")";
  const auto r =
      zektest::run_command("tshark -n -r " + capture + " " + decode +
                           " -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -o tcp.check_checksum:TRUE -Y '" +
                           filter + "' -T fields -e frame.number -e _ws.col.Info 2>/dev/null");
  return r.code == 0 ? r.output : "tshark could not read " + capture + " (exit " + std::to_string(r.code) + ")";
}

}  // namespace privatenet

// What a protocol analyser (tshark, with its MPA, DDP and RDMAP dissectors)
// reads in a capture of iWARP traffic: TCP and IPv4 checksums checked, TCP
// streams reassembled so that an FPDU split over segments is read whole.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>

#include "tests/support/run_command.h"

namespace zektest {

inline bool have_tshark() { return run_command("command -v tshark >/dev/null 2>&1").code == 0; }

class IwarpCapture {
 public:
  explicit IwarpCapture(const std::string& path)
      : tshark_("tshark -n -r " + path +
                " -o tcp.check_checksum:TRUE -o ip.check_checksum:TRUE -o tcp.desegment_tcp_streams:TRUE") {}

  // How many frames the display filter selects.
  int count(const std::string& filter) const {
    const std::string out = run_command(tshark_ + " -Y '" + filter + "' -T fields -e frame.number 2>/dev/null").output;
    return static_cast<int>(std::count(out.begin(), out.end(), '\n'));
  }

  // Nothing malformed, no finding of error severity, no bad TCP or IPv4
  // checksum; the first malformed frames are shown where there are some.
  void expect_sound() const {
    const std::string bad = "_ws.malformed || _ws.expert.severity == error";
    EXPECT_EQ(count(bad), 0) << run_command(tshark_ + " -Y '" + bad + "' 2>&1 | head -20").output;
    EXPECT_EQ(count("tcp.checksum.status == 0 || ip.checksum.status == 0"), 0);
  }

  // Every one of `opcodes` (as tshark writes them: "0x00" ...) stands in
  // some RDMAP message of the capture.
  void expect_rdmap_opcodes(std::initializer_list<const char*> opcodes) const {
    const std::string seen =
        run_command(tshark_ + " -Y iwarp_rdma -T fields -e iwarp_rdma.opcode 2>/dev/null | tr ',' '\\n' | sort -u")
            .output;
    for (const char* op : opcodes) EXPECT_NE(seen.find(op), std::string::npos) << op << " in\n" << seen;
  }

 private:
  std::string tshark_;
};

}  // namespace zektest

// RDMA between two hosts through kernel clients: two zekhost hosts on one
// lab wire, each with the miniport, the proxy driver (its host stack on the
// adapter with a SAN address) and the kernel verbs client driver. The
// client driver of HOSTB accepts, HOSTA's connects; through the kernel
// verbs table and the kernel socket-call table they make their verbs
// objects, connect over the host stacks' TCP and exchange the MPA start-up
// frames, each end checking the other's private data byte for byte, and
// hand the connection to the adapter (the accepting end's reply leaves as
// the hand-over's last streaming message). Then the operations, every byte
// checked where it lands: Send/Receive both ways, RDMA Write, RDMA Read, a
// window bound, written through and invalidated by a Send with Invalidate,
// a fast registration written through and invalidated locally, a batch of
// unsignalled sends, and the flush of the receives left when each queue
// pair goes to ERROR. Then all of it again with markers asked for by both
// ends. The capture of HOSTA's port goes to a protocol analyser: the
// start-up frames, FPDUs with good CRCs, the RDMAP opcodes of every
// operation, nothing malformed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/proxy/twohost/twohost_lab.h"

namespace {

using twohost::kAddress;

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, p)) out.append(buffer, n);
  pclose(p);
  return out;
}

int count_lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

TEST(RdmaTwoHosts, KernelClientsConnectHandTheConnectionOverAndRunEveryOperation) {
  twohost::Lab lab(/*capture=*/true, {{"zekverbstest", ZEK_VERBS_DRIVER}});
  const std::string why = lab.start();
  ASSERT_EQ(why, "");
  const pid_t accepting = lab.program(1, {ZEK_VERBS_CLIENT, "rdma", "accept", kAddress[1], "6100", "crc"}, "b.txt");
  const pid_t connecting =
      lab.program(0, {ZEK_VERBS_CLIENT, "rdma", "connect", kAddress[0], kAddress[1], "6100", "crc"}, "a.txt");
  const int a = lab.wait(connecting);
  const int b = lab.wait(accepting);
  const std::string report_a = lab.output("a.txt");
  const std::string report_b = lab.output("b.txt");
  EXPECT_EQ(a, 0) << report_a << lab.driver_log(0);
  EXPECT_EQ(b, 0) << report_b << lab.driver_log(1);
  EXPECT_NE(report_b.find(std::string("accepted a connection from ") + kAddress[0]), std::string::npos) << report_b;
  for (const std::string* report : {&report_a, &report_b}) {
    for (const char* line : {"the peer's private data, every byte ok", "CRC on",
                             "queue pair state after the hand-over got=0x2 want=0x2 ok", "close got=0x0"}) {
      EXPECT_NE(report->find(line), std::string::npos) << line << "\n" << *report;
    }
  }
  EXPECT_NE(report_a.find("the reply read as a request got=0x50083"), std::string::npos) << report_a;
  EXPECT_NE(report_b.find("the request read as a reply got=0x50083"), std::string::npos) << report_b;
  EXPECT_NE(report_b.find("the MPA reply as its last streaming message"), std::string::npos) << report_b;
  for (const char* line :
       {"receive of the peer's send: 30000 bytes, every byte as sent ok", "RDMA read: the peer's bytes, every one ok",
        "the only completion is the signalled one's got=0x507 want=0x507 ok", "each flushed, in order ok"}) {
    EXPECT_NE(report_a.find(line), std::string::npos) << line << "\n" << report_a;
  }
  for (const char* line : {"receive of the peer's send: 20000 bytes, every byte as sent ok",
                           "RDMA write: the peer's bytes in the sink, every one ok",
                           "the invalidated STag reported got=0x15a want=0x15a ok",
                           "RDMA write through the window: the peer's bytes, every one ok",
                           "RDMA write into the fast registration: the peer's bytes, every one ok",
                           "the invalidated fast registration's query got=0x0 want=0x0 ok",
                           "unsignalled sends: every message, every byte ok", "each flushed, in order ok"}) {
    EXPECT_NE(report_b.find(line), std::string::npos) << line << "\n" << report_b;
  }

  // Again with markers asked for by both ends: the adapters put them in
  // and take them out, the operations see none.
  const pid_t accepting_m =
      lab.program(1, {ZEK_VERBS_CLIENT, "rdma", "accept", kAddress[1], "6101", "crc", "markers"}, "bm.txt");
  const pid_t connecting_m = lab.program(
      0, {ZEK_VERBS_CLIENT, "rdma", "connect", kAddress[0], kAddress[1], "6101", "crc", "markers"}, "am.txt");
  EXPECT_EQ(lab.wait(connecting_m), 0) << lab.output("am.txt");
  EXPECT_EQ(lab.wait(accepting_m), 0) << lab.output("bm.txt");
  for (const char* out : {"am.txt", "bm.txt"}) {
    EXPECT_NE(lab.output(out).find("markers to this end on, to the peer on"), std::string::npos) << lab.output(out);
  }

  ASSERT_TRUE(lab.terminate());
  for (int i = 0; i < 2; ++i) {
    const std::string log = lab.host_log(i);
    EXPECT_EQ(log.find("still allocated"), std::string::npos) << log;
    EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
    EXPECT_EQ(log.find("fault"), std::string::npos) << log;
  }
  if (run("command -v tshark").empty()) GTEST_SKIP() << "tshark is not installed";
  const std::string tshark =
      "tshark -n -r " + (lab.dir(0) / "wire.pcap").string() + " -o tcp.check_checksum:TRUE -o ip.check_checksum:TRUE";
  auto count = [&](const std::string& filter) {
    return count_lines(run(tshark + " -Y '" + filter + "' -T fields -e frame.number 2>/dev/null"));
  };
  EXPECT_EQ(count("_ws.malformed || _ws.expert.severity == error"), 0)
      << run(tshark + " -Y '_ws.malformed || _ws.expert.severity == error' 2>&1 | head -20");
  EXPECT_EQ(count("tcp.checksum.status == 0 || ip.checksum.status == 0"), 0);
  EXPECT_EQ(count("iwarp_mpa.req"), 2) << run(tshark + " 2>&1 | tail -40");
  EXPECT_EQ(count("iwarp_mpa.rep"), 2) << run(tshark + " 2>&1 | tail -40");
  EXPECT_EQ(count("iwarp_mpa.req && iwarp_mpa.crc_flag == 1 && iwarp_mpa.pdlength == 64"), 2)
      << run(tshark + " -Y iwarp_mpa -V 2>&1 | tail -60");
  EXPECT_GT(count("iwarp_mpa.fpdu"), 100);
  EXPECT_EQ(count("iwarp_mpa.crc_check && iwarp_mpa.crc != iwarp_mpa.crc_check"), 0);
  const std::string ops =
      run(tshark + " -Y iwarp_rdma -T fields -e iwarp_rdma.opcode 2>/dev/null | tr ',' '\\n' | sort -u");
  // Write, Read Request, Read Response, Send, Send with Invalidate, Send with Solicited Event.
  for (const char* op : {"0x00", "0x01", "0x02", "0x03", "0x04", "0x05"}) {
    EXPECT_NE(ops.find(op), std::string::npos) << op << " in\n" << ops;
  }
}

}  // namespace

// The upload of every queue pair's context against the adapter model, with
// the kernel verbs holding queue pairs open on an attached function; and
// the dump's layout: the raw words, the nineteen groups in order, the
// fields the adapter's context holds decoded from their words.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "include/hw/qp_context.h"
#include "include/zek/mifh_requests.h"
#include "proxy/core/mifh_context_dump.h"
#include "tests/proxy/rdma/verbs/verbs_fixture.h"

namespace {

using verbstest::VerbsTest;

std::string dump(std::uint32_t qp_id, const std::vector<std::uint32_t>& words) {
  std::string text;
  ZpxFormatQPContext(
      qp_id, words.data(), static_cast<std::uint32_t>(words.size()),
      [](void* out, const char* piece) { static_cast<std::string*>(out)->append(piece); }, &text);
  return text;
}

std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST(MifhContextDump, GroupsInOrderAndTheFieldsTheContextHolds) {
  zekhw::MifhOffloadTcpState state;
  state.local_port = 0x1234;
  state.remote_port = 0x5678;
  state.remote_address = 0xC0000202;
  state.snd_mss = 1460;
  state.snd_una = 0x11111111;
  state.snd_nxt = 0x22222222;
  state.rcv_nxt = 0x33333333;
  state.snd_cwnd = 0x4444;
  state.conn_state = 5;
  std::vector<std::uint32_t> words(MIFH_REQ_UPLOAD_FULL_BYTES / 4, 0);
  zekhw::MifhIwarpQpContext context{};
  context.flags = zekhw::kIwarpCtxFlagsOffload;
  context.sq_cq_id = 7;
  context.rq_cq_id = 9;
  context.sq_pa = 0x0000'0001'2345'6000ull;
  zekhw::pack_offload_connection(state, context.conn);
  std::memcpy(words.data(), &context, sizeof context);

  const std::string text = dump(41, words);
  EXPECT_EQ(text.rfind("\nContext Dump for QP ID = 41\n\n--------------------> Raw u32 <----------------------\n", 0),
            0u);
  EXPECT_EQ(count(text, "0x"), words.size() + 240) << "every raw word, then the 240 fields";
  std::size_t at = 0;
  for (int line = 0; line < 19; ++line) {
    const std::string heading = "\n--------------------> LINE " + std::to_string(line) + " <----------------------\n";
    const std::size_t next = text.find(heading, at);
    ASSERT_NE(next, std::string::npos) << heading;
    at = next;
  }
  for (const char* field :
       {"snd_una = 0x11111111\n", "snd_nxt = 0x22222222\n", "rcv_nxt = 0x33333333\n", "cwnd = 0x4444\n",
        "src_port = 0x1234\n", "dst_port = 0x5678\n", "dst_ip_addr = 0xc0000202\n", "snd_mss = 0x5b4\n",
        "qp_tcp_state = 0x5\n", "TxCmpQueueNum = 0x7\n", "RxCmpQueueNum = 0x9\n", "SQ_base_0 = 0x23456000\n",
        "SQ_base_1 = 0x1\n", "immediate_ack = 0x0\n", "OOISC_base = 0x0\n"}) {
    EXPECT_NE(text.find(field), std::string::npos) << field;
  }
  // Without offload, words 6-35 are not the TCP state.
  context.flags = zekhw::kIwarpCtxFlagsNoOffload;
  std::memcpy(words.data(), &context, sizeof context);
  const std::string plain = dump(41, words);
  EXPECT_NE(plain.find("snd_una = 0x0\n"), std::string::npos);
  EXPECT_NE(plain.find("TxCmpQueueNum = 0x7\n"), std::string::npos);
}

class MifhUploadAll : public VerbsTest {
 protected:
  std::uint32_t upload_all(ULONG_PTR* bytes) {
    IRP irp{};
    irp.RequestorMode = KernelMode;
    MifhReqUploadAll r{};
    r.Status = 0xEEEE;
    EXPECT_EQ(CommonMifhIoctl(&r, IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT_BY_QP, bytes, &irp), 0u);
    return r.Status;
  }
  static std::string uploaded(std::uint64_t qp) {
    return "UploadHashIndexTableEntry: QP ID " + std::to_string(qp) + ",";
  }
};

// Every queue pair the verbs hold is uploaded from the adapter; a destroyed
// one is no longer; with none open the request succeeds with nothing done.
TEST_F(MifhUploadAll, EveryOpenQueuePairIsUploadedAndADestroyedOneIsNot) {
  ULONG_PTR bytes = 0;
  EXPECT_EQ(upload_all(&bytes), MIFH_REQ_STATUS_OK);
  EXPECT_EQ(bytes, sizeof(MifhReqUploadAll));
  void* adapter = open();
  const Objects o = objects(adapter);
  const std::uint64_t a = make_qp(adapter, o);
  const std::uint64_t b = make_qp(adapter, o);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  OSPrimLogRingClear();
  EXPECT_EQ(upload_all(&bytes), MIFH_REQ_STATUS_OK) << log_text();
  EXPECT_TRUE(logged(uploaded(a))) << log_text();
  EXPECT_TRUE(logged(uploaded(b))) << log_text();

  ASSERT_EQ(table()->QpDestroy(adapter, a), ZEK_STATUS_PASS);
  OSPrimLogRingClear();
  EXPECT_EQ(upload_all(&bytes), MIFH_REQ_STATUS_OK) << log_text();
  EXPECT_FALSE(logged(uploaded(a))) << log_text();
  EXPECT_TRUE(logged(uploaded(b))) << log_text();

  ASSERT_EQ(table()->QpDestroy(adapter, b), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->CqDestroy(adapter, o.cq), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->PdDeallocate(adapter, o.pd), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS);
}

// The upload of one queue pair by its id brings the context the adapter
// holds into the caller's buffer: the full 320 bytes, or the short 152.
TEST_F(MifhUploadAll, OneQueuePairsContextComesFromTheAdapter) {
  void* adapter = open();
  const Objects o = objects(adapter);
  const std::uint64_t qp = make_qp(adapter, o);
  ASSERT_NE(qp, 0u);
  const auto object = reinterpret_cast<std::uint64_t>(GetQPObjectFromQPId(static_cast<std::uint32_t>(qp)));
  ASSERT_NE(object, 0u);
  IRP irp{};
  irp.RequestorMode = KernelMode;
  for (const std::uint8_t full : {1, 0}) {
    SCOPED_TRACE(full);
    std::vector<std::uint8_t> buffer(MIFH_REQ_UPLOAD_FULL_BYTES + 8, 0xEE);
    MifhReqUpload r{
        reinterpret_cast<std::uint64_t>(buffer.data()), static_cast<std::uint32_t>(qp), full, 0, {}, 0xFFFF, 0};
    ULONG_PTR bytes = 0;
    EXPECT_EQ(CommonMifhIoctl(&r, IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT, &bytes, &irp), 0u);
    ASSERT_EQ(r.Status, MIFH_REQ_STATUS_OK) << log_text();
    zekhw::MifhIwarpQpContext context{};
    std::memcpy(&context, buffer.data(), sizeof context);
    EXPECT_NE(context.flags & zekhw::kIwarpCtxOffloadBit, 0u) << "an idle queue pair's context without offload";
    const std::size_t size = full != 0 ? MIFH_REQ_UPLOAD_FULL_BYTES : MIFH_REQ_UPLOAD_SHORT_BYTES;
    EXPECT_EQ(buffer[size], 0xEE) << "nothing past the context's size";
    if (full != 0) {
      EXPECT_EQ(context.qp_object, object);
    }
  }
  ASSERT_EQ(table()->QpDestroy(adapter, qp), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->CqDestroy(adapter, o.cq), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->PdDeallocate(adapter, o.pd), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->Close(adapter), ZEK_STATUS_PASS);
}

}  // namespace

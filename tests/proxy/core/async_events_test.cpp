// Asynchronous events: what each event id asks for, and the queueing and
// processing through the driver's event thread with the verbs' routines
// played by the test (one queue pair, one completion queue).
#include <atomic>
#include <mutex>
#include <vector>

#include "proxy/core/async_events.h"
#include "proxy/core/fault_injection.h"
#include "tests/proxy/core/proxy_fixture.h"

namespace {

ZekAsyncEvent qp_event(std::uint16_t id, std::uint32_t qp = 7, bool inbound = false, std::uint64_t context = 1) {
  ZekAsyncEvent e{};
  e.context = context;
  e.object_id = qp;
  e.event_id = id;
  e.qp = 1;
  e.inbound_rdma = inbound ? 1 : 0;
  e.iwarp_state = 2;
  return e;
}

TEST(AsyncEventTable, EachIdAsksForItsAction) {
  struct Case {
    std::uint16_t id;
    bool inbound;
    std::uint64_t context;
    ZpxAeAction action;
    std::uint32_t code;
    bool type1;
  };
  const Case cases[] = {
      {258, false, 0, ZPX_AE_TERMINATE, 27, false},     {261, true, 5, ZPX_AE_TERMINATE, 19, false},
      {264, true, 5, ZPX_AE_TERMINATE, 17, false},      {265, true, 5, ZPX_AE_TERMINATE, 18, false},
      {270, true, 5, ZPX_AE_TERMINATE, 40, false},      {270, false, 5, ZPX_AE_TERMINATE, 0, false},
      {518, false, 0, ZPX_AE_TERMINATE, 27, false},     {513, false, 1, ZPX_AE_ERROR, 21, false},
      {515, false, 1, ZPX_AE_CQ_EVENT, 32, false},      {519, true, 1, ZPX_AE_ERROR, 25, false},
      {771, false, 1, ZPX_AE_ERROR, 23, false},         {769, true, 1, ZPX_AE_ERROR, 26, false},
      {769, false, 1, ZPX_AE_ERROR, 24, false},         {772, false, 1, ZPX_AE_ERROR, 7, false},
      {774, false, 1, ZPX_AE_ERROR, 23, false},         {775, false, 1, ZPX_AE_ERROR, 10, false},
      {776, false, 1, ZPX_AE_ERROR, 15, false},         {785, false, 1, ZPX_AE_ERROR, 8, false},
      {786, false, 1, ZPX_AE_ERROR, 9, false},          {787, false, 1, ZPX_AE_ERROR, 11, false},
      {788, false, 1, ZPX_AE_ERROR, 12, false},         {1025, false, 1, ZPX_AE_CLOSE_FLUSH, 35, true},
      {1290, false, 1, ZPX_AE_CLOSE_FLUSH, 35, true},   {1288, false, 1, ZPX_AE_CLOSE_FLUSH, 40, true},
      {1027, false, 1, ZPX_AE_TOE, 0, false},           {1281, false, 1, ZPX_AE_IDLE, 0, true},
      {1282, false, 1, ZPX_AE_SOFTWARE_ERROR, 2, true}, {1284, false, 1, ZPX_AE_ERROR, 6, false},
      {1287, false, 1, ZPX_AE_ERROR, 6, false},         {1285, false, 1, ZPX_AE_ERROR, 5, false},
      {1286, false, 1, ZPX_AE_ERROR, 4, false},         {1289, false, 1, ZPX_AE_SIGNAL, 1, false},
      {1537, false, 1, ZPX_AE_SIGNAL, 22, false},       {1538, false, 1, ZPX_AE_SIGNAL, 22, false},
      {257, false, 1, ZPX_AE_IGNORE, 0, false},         {1291, false, 1, ZPX_AE_IGNORE, 0, false},
  };
  for (const Case& c : cases) {
    const ZekAsyncEvent e = qp_event(c.id, 7, c.inbound, c.context);
    const ZpxAeDecision d = ZpxDecideAsyncEvent(&e);
    EXPECT_EQ(d.Action, c.action) << c.id;
    EXPECT_EQ(d.Code, c.code) << c.id;
    EXPECT_EQ(d.Type1Only, c.type1) << c.id;
  }
}

TEST(AsyncEventTable, TerminationCodes) {
  const std::pair<std::uint16_t, std::uint32_t> map_cases[] = {
      {260, 3},  {261, 8}, {264, 6},  {281, 6},  {265, 7},  {270, 7},  {274, 7},
      {280, 7},  {266, 9}, {268, 13}, {271, 19}, {272, 23}, {275, 21}, {277, 21},
      {283, 18}, {258, 5}, {282, 5},  {516, 12}, {517, 11}, {518, 0},  {1025, 0},
  };
  for (const auto& [id, code] : map_cases) EXPECT_EQ(ZpxMapAeToTerminationCode(id), code) << id;
  const std::pair<std::uint16_t, std::uint32_t> event_cases[] = {
      {258, 27}, {259, 27}, {262, 27}, {263, 27}, {518, 27}, {261, 19}, {264, 17}, {266, 17}, {265, 18}, {260, 40},
  };
  for (const auto& [id, code] : event_cases) EXPECT_EQ(ZpxTerminationEventCode(id), code) << id;
  const std::pair<std::uint16_t, bool> logged[] = {{1280, true}, {1281, false}, {1283, false}, {1284, true}};
  for (const auto& [id, yes] : logged) EXPECT_EQ(ZpxAsyncEventLogged(id), yes) << id;
}

// ---- Through the event thread ------------------------------------------------------------------------------
struct Verbs {
  std::mutex mu;
  ZpxAeqQpState state{};
  bool qp_exists = true;
  bool cq_exists = true;
  std::atomic<int> references{0};
  std::vector<std::uint16_t> acted;
  std::vector<KIRQL> act_irql;
  std::vector<std::pair<std::uint32_t, bool>> cq_calls;
};
Verbs* g_verbs;

void* reference_qp(MifhDeviceObj*, std::uint32_t id, ZpxAeqQpState** state) {
  if (!g_verbs->qp_exists || id != 7) return nullptr;
  ++g_verbs->references;
  *state = &g_verbs->state;
  return &g_verbs->state;
}
void dereference_qp(void*) { --g_verbs->references; }
bool cq_event(MifhDeviceObj*, std::uint32_t id, bool post) {
  std::lock_guard lock(g_verbs->mu);
  g_verbs->cq_calls.emplace_back(id, post);
  return g_verbs->cq_exists;
}
void act(MifhDeviceObj*, void*, const ZekAsyncEvent* e, const ZpxAeDecision*) {
  // An action waits for the adapter: no spin lock may be held here.
  LARGE_INTEGER zero{};
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &zero);
  std::lock_guard lock(g_verbs->mu);
  g_verbs->acted.push_back(e->event_id);
  g_verbs->act_irql.push_back(KeGetCurrentIrql());
}
const ZpxAsyncEventHooks kHooks = {&reference_qp, &dereference_qp, &cq_event, &act};

class AsyncEvents : public ProxyTest {
 protected:
  void SetUp() override {
    ProxyTest::SetUp();
    g_verbs = &verbs_;
    verbs_.state.Type = 1;
    verbs_.state.HasUploadContext = 1;
    ASSERT_EQ(load(), STATUS_SUCCESS);
    ASSERT_TRUE(g_ZpxExtension->AeqStarted);
    ZpxSetAsyncEventHooks(&kHooks);
  }
  void TearDown() override {
    ZpxSetAsyncEventHooks(nullptr);
    if (driver_ != nullptr) unload();
    g_verbs = nullptr;
    ProxyTest::TearDown();
  }

  // Queues at DISPATCH_LEVEL, as the miniport's DPC does, and waits until the
  // thread has processed everything.
  void queue(const ZekAsyncEvent& e) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ZpxQueueAEQ(nullptr, &e);
    KeLowerIrql(old);
  }
  bool drained() {
    return eventually([] { return ZpxPendingAsyncEvents() == 0; }, 20000);
  }
  std::vector<std::uint16_t> acted() {
    std::lock_guard lock(verbs_.mu);
    return verbs_.acted;
  }

  Verbs verbs_;
};

TEST_F(AsyncEvents, ADuplicateEventIsLoggedAndNotDelivered) {
  queue(qp_event(513));
  queue(qp_event(513));
  queue(qp_event(772));
  ASSERT_TRUE(drained());
  ASSERT_TRUE(eventually([&] { return acted().size() == 2; }, 20000));
  EXPECT_EQ(acted(), (std::vector<std::uint16_t>{513, 772}));
  EXPECT_NE(ring_text().find("Duplicate AEQ received for QPID(0x7)"), std::string::npos);
  EXPECT_EQ(verbs_.state.LastEventId, 772);
  EXPECT_TRUE(verbs_.state.Flags & ZPX_QP_EVENT_SEEN);
  for (KIRQL irql : verbs_.act_irql) EXPECT_EQ(irql, PASSIVE_LEVEL) << "the QP-destroy lock was held";
  EXPECT_EQ(verbs_.references, 0);
}

// Events that find nobody: an unknown queue pair is dropped when queued;
// type-1 ids on another queue pair and a queue pair without its upload
// context go no further than the log.
TEST_F(AsyncEvents, EventsWithoutATargetStopEarly) {
  verbs_.qp_exists = false;
  queue(qp_event(513));
  EXPECT_EQ(ZpxPendingAsyncEvents(), 0u) << "dropped at once";
  verbs_.qp_exists = true;
  verbs_.state.Type = 2;
  queue(qp_event(1025));
  ASSERT_TRUE(drained());
  verbs_.state.Type = 1;
  verbs_.state.HasUploadContext = 0;
  queue(qp_event(514));
  ASSERT_TRUE(drained());
  // Let the thread finish the last one before reading the log.
  ASSERT_TRUE(eventually([&] { return ring_text().find("NULLED OUT (3)") != std::string::npos; }, 20000));
  EXPECT_NE(ring_text().find("ae for toe connection"), std::string::npos);
  EXPECT_TRUE(acted().empty());
  EXPECT_EQ(verbs_.references, 0);
}

// A completion-queue event looks its queue up (515 posts the record) and
// ends there: no queue-pair action.
TEST_F(AsyncEvents, CompletionQueueEventsStopAfterTheQueueStep) {
  ZekAsyncEvent e{};
  e.event_id = 515;
  e.cq = 1;
  e.object_id = 3;
  queue(e);
  verbs_.cq_exists = false;
  e.object_id = 4;
  queue(e);
  ASSERT_TRUE(drained());
  ASSERT_TRUE(eventually(
      [&] {
        std::lock_guard lock(verbs_.mu);
        return verbs_.cq_calls.size() == 2;
      },
      20000));
  ASSERT_TRUE(
      eventually([&] { return ring_text().find("CQ Object for CQID (0x4) not found") != std::string::npos; }, 20000));
  EXPECT_EQ(verbs_.cq_calls[0], (std::pair<std::uint32_t, bool>{3, true}));
  EXPECT_TRUE(acted().empty());
}

// Unload stops the thread before it tears anything down: no event is
// processed after it, and a load without the thread (its creation failed)
// keeps the driver up and leaves nothing.
TEST_F(AsyncEvents, UnloadJoinsTheThreadAndAFailedStartLeavesNothing) {
  unload();
  EXPECT_NE(ring_text().find("ZpxAEQProcessingThread: zekproxy driver is unloading !!"), std::string::npos);
  for (ZpxFaultStep step : {ZpxFaultStep::InitAeqEvent, ZpxFaultStep::CreateAeqThread}) {
    g_ZpxInjectedFault = step;
    ASSERT_EQ(load(), STATUS_SUCCESS);
    g_ZpxInjectedFault = ZpxFaultStep::None;
    EXPECT_FALSE(g_ZpxExtension->AeqStarted);
    EXPECT_TRUE(g_ZpxExtension->LibrariesInitialized);
    unload();
  }
}

}  // namespace

// The fast log ring: record format, the message cut, the wrap, read-out and
// clearing, and the two failure records.
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/proxy/core/osprim_fixture.h"

namespace {

class LogRingTest : public OsprimTest {};

void failing_routine(int* line) {
  *line = __LINE__ + 1;
  ZEK_LOG_FAILURE("failing_routine: no room for %u entries (0x%x)\n", 12u, 0x40001u);
}

TEST_F(LogRingTest, RecordsCarrySequencePidAndTidWithoutTerminator) {
  OSPrimMemoryLogging("first %d\n", 1);
  at_dispatch([] { OSPrimMemoryLogging("second at %s", "DISPATCH_LEVEL"); });
  EXPECT_EQ(ring_text(), prefix(1) + "first 1\n" + prefix(2) + "second at DISPATCH_LEVEL");
}

TEST_F(LogRingTest, MessagesAreCutTo512Characters) {
  const std::string long_message(600, 'x');
  OSPrimMemoryLogging("%s", long_message.c_str());
  OSPrimMemoryLogging("next");
  EXPECT_EQ(ring_text(), prefix(1) + std::string(512, 'x') + prefix(2) + "next");
}

TEST_F(LogRingTest, FailuresAreLoggedAsTwoRecordsNamingTheRoutine) {
  int line = 0;
  failing_routine(&line);
  EXPECT_EQ(ring_text(), prefix(1) + "func[failing_routine] Line[" + std::to_string(line) + "]: \n" + prefix(2) +
                             "failing_routine: no room for 12 entries (0x40001)\n");
}

TEST_F(LogRingTest, ARecordThatDoesNotFitGoesToTheStartAndLeavesTheEndAlone) {
  const std::string body(500, 'a');
  std::uint32_t cursor = 0;
  unsigned long sequence = 0;
  // Fill until the next record would cross the ring's end.
  for (;;) {
    const std::uint32_t length = static_cast<std::uint32_t>(prefix(sequence + 1).size() + body.size());
    if (cursor + length > OSPrimLogRingSize()) break;
    OSPrimMemoryLogging("%s", body.c_str());
    cursor += length;
    ++sequence;
  }
  const std::string before = ring_bytes();
  ASSERT_LT(cursor, OSPrimLogRingSize());
  const std::string wrapping(500, 'w');
  OSPrimMemoryLogging("%s", wrapping.c_str());
  const std::string after = ring_bytes();
  const std::string record = prefix(sequence + 1) + wrapping;
  EXPECT_EQ(after.substr(0, record.size()), record);
  // The rest of the overwritten first record and everything up to the end
  // are as they were.
  EXPECT_EQ(after.substr(record.size()), before.substr(record.size()));
  EXPECT_EQ(after.substr(cursor), std::string(OSPrimLogRingSize() - cursor, '\0'));

  // The next record follows the wrapped one.
  OSPrimMemoryLogging("then");
  const std::string next = prefix(sequence + 2) + "then";
  EXPECT_EQ(ring_bytes().substr(record.size(), next.size()), next);
}

TEST_F(LogRingTest, ReadOutNeverGoesBeyondTheRing) {
  EXPECT_EQ(OSPrimLogRingSize(), 4u * 1024 * 1024);
  OSPrimMemoryLogging("abcdef");
  std::string text = prefix(1) + "abcdef";
  std::vector<char> buffer(64, '#');
  EXPECT_EQ(OSPrimLogRingRead(static_cast<std::uint32_t>(text.size()) - 3, buffer.data(), 3), 3u);
  EXPECT_EQ(std::string(buffer.data(), 3), "def");

  struct Case {
    std::uint32_t offset;
    std::uint32_t length;
    std::uint32_t copied;
  };
  const std::uint32_t size = OSPrimLogRingSize();
  for (const Case c : {Case{size - 10, 64, 10}, Case{size - 1, UINT32_MAX, 1}, Case{size, 64, 0},
                       Case{UINT32_MAX, 64, 0}, Case{0, 0, 0}}) {
    EXPECT_EQ(OSPrimLogRingRead(c.offset, buffer.data(), c.length > 64 ? 64 : c.length), std::min(c.copied, 64u))
        << c.offset;
  }
  EXPECT_EQ(OSPrimLogRingRead(0, nullptr, 64), 0u);
}

TEST_F(LogRingTest, ClearZeroesTheRingAndRestartsTheSequence) {
  for (int i = 0; i < 100; ++i) OSPrimMemoryLogging("record %d\n", i);
  OSPrimLogRingClear();
  EXPECT_EQ(ring_bytes(), std::string(OSPrimLogRingSize(), '\0'));
  OSPrimMemoryLogging("again");
  EXPECT_EQ(ring_text(), prefix(1) + "again");
}

TEST_F(LogRingTest, ConcurrentWritersGetDistinctSequenceNumbersAndWholeRecords) {
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) OSPrimMemoryLogging("<thread %d record %d>", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  // Every record ends with '>': split there and check each record is whole.
  const std::string log = ring_text();
  std::set<long> sequences;
  int whole = 0;
  std::size_t start = 0;
  for (std::size_t end = log.find('>'); end != std::string::npos; start = end + 1, end = log.find('>', start)) {
    const std::string record = log.substr(start, end - start);
    ASSERT_EQ(record.front(), '[') << record;
    sequences.insert(std::stol(record.substr(1)));
    if (record.find("] pid[") != std::string::npos && record.find(" <thread ") != std::string::npos) ++whole;
  }
  EXPECT_EQ(start, log.size());
  EXPECT_EQ(sequences.size(), std::size_t{kThreads * kEach});
  EXPECT_EQ(*sequences.begin(), 1);
  EXPECT_EQ(*sequences.rbegin(), kThreads * kEach);
  EXPECT_EQ(whole, kThreads * kEach);
}

TEST_F(LogRingTest, DebugPrintWritesNothing) {
  OSPrimDebugPrint("not %s", "logged");
  EXPECT_EQ(ring_text(), "");
  EXPECT_EQ(debug_text(), "");
}

}  // namespace

// Requests from a user process: buffered copy-back rules, bad buffers,
// direct and neither methods, pending, completion from another request and
// from a DPC, cancellation by CancelIo and by the process's end.
#include <sys/mman.h>

#include <array>
#include <cstring>
#include <thread>

#include "tests/support/io_fixture.h"

namespace {

using Request = IoTest;

TEST_F(Request, OpenOfAMissingDeviceFailsAndNamesAreCaseInsensitive) {
  std::uint64_t file = 0;
  EXPECT_EQ(io_->user_open(caller(), "nosuchdevice", 0, 0, false, &file), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(io_->user_open(caller(), "ZEKTEST", 0, 0, false, &file), STATUS_SUCCESS);
  EXPECT_EQ(io_->user_close(caller(), file), STATUS_SUCCESS);
  EXPECT_EQ(io_->user_close(caller(), file), STATUS_INVALID_HANDLE);
}

struct CopyBackCase {
  const char* name;
  NTSTATUS status;
  std::uint32_t information;
  ULONG output_length;
  std::uint64_t expected_bytes;
};
// ctest lists a case by its name, not by its bytes.
void PrintTo(const CopyBackCase& c, std::ostream* os) { *os << c.name; }

class CopyBack : public IoTest, public ::testing::WithParamInterface<CopyBackCase> {};

TEST_P(CopyBack, InformationBytesReturnOnSuccessAndWarningsOnlyWithinTheOutput) {
  const CopyBackCase& c = GetParam();
  std::uint64_t file = open();
  testdrv::StatusRequest request{c.status, c.information, 0xAB};
  std::array<unsigned char, 64> out;
  out.fill(0x11);
  auto done = call(file, testdrv::kStatus, &request, sizeof request, out.data(), c.output_length);
  EXPECT_EQ(done.status, c.status);
  EXPECT_EQ(done.information, c.expected_bytes);
  for (std::size_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(out[i], i < c.expected_bytes ? 0xAB : 0x11) << "byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Rules, CopyBack,
                         ::testing::Values(CopyBackCase{"success", STATUS_SUCCESS, 20, 32, 20},
                                           CopyBackCase{"more_than_the_output", STATUS_SUCCESS, 200, 32, 32},
                                           CopyBackCase{"warning", STATUS_BUFFER_OVERFLOW, 24, 32, 24},
                                           CopyBackCase{"error", STATUS_INVALID_PARAMETER, 24, 32, 0},
                                           CopyBackCase{"no_output", STATUS_SUCCESS, 12, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Request, BadCallerBuffersFailTheRequestWithoutReachingTheHostsMemory) {
  std::uint64_t file = open();
  void* hole = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  char out[16];
  EXPECT_EQ(call(file, testdrv::kEcho, hole, 16, out, sizeof out).status, STATUS_ACCESS_VIOLATION);
  // An output the process cannot take: the completion says so.
  char in[16] = "payload";
  EXPECT_EQ(call(file, testdrv::kEcho, in, sizeof in, hole, 16).status, STATUS_ACCESS_VIOLATION);
  munmap(hole, 4096);
}

TEST_F(Request, NeitherMethodProbesAndAFailedProbeBecomesTheStatus) {
  std::uint64_t file = open();
  unsigned char in[5] = {1, 2, 3, 4, 5};
  std::uint64_t sum = 0;
  auto done = call(file, testdrv::kNeitherSum, in, sizeof in, &sum, sizeof sum);
  EXPECT_EQ(done.status, STATUS_SUCCESS);
  EXPECT_EQ(sum, 15u);
  // The driver does not guard its probe: the I/O manager turns the raise into the status.
  EXPECT_EQ(call(file, testdrv::kNeitherSum, reinterpret_cast<void*>(0x10), 4, &sum, sizeof sum).status,
            STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(call(file, testdrv::kNeitherSum, in, sizeof in, reinterpret_cast<void*>(~0ull - 64), 8).status,
            STATUS_ACCESS_VIOLATION);
  EXPECT_NE(debug_text().find("raised 0xc0000005"), std::string::npos);
}

TEST_F(Request, OutDirectWritesReachTheCallerThroughTheLockedPages) {
  std::uint64_t file = open();
  std::vector<unsigned char> out(3 * 4096 + 100, 0);
  unsigned char pattern = 0x3C;
  auto done = call(file, testdrv::kOutDirect, &pattern, 1, out.data() + 50, 3 * 4096);
  EXPECT_EQ(done.status, STATUS_SUCCESS);
  EXPECT_EQ(done.information, 3u * 4096);
  EXPECT_EQ(out[49], 0);
  EXPECT_EQ(out[50], 0x3C);
  EXPECT_EQ(out[50 + 3 * 4096 - 1], 0x3C);
  EXPECT_EQ(out[50 + 3 * 4096], 0);
}

TEST_F(Request, PendedRequestsCompleteByKeyFromAnotherRequest) {
  std::uint64_t waiter = open(true);
  std::uint64_t other = open();
  std::uint64_t a1_out = 0, a2_out = 0, b_out = 0;
  testdrv::Key a{0xA}, b{0xC};
  auto a1 = send(waiter, testdrv::kPend, &a, sizeof a, &a1_out, 8);
  auto bb = send(waiter, testdrv::kPend, &b, sizeof b, &b_out, 8);
  auto a2 = send(waiter, testdrv::kPend, &a, sizeof a, &a2_out, 8);
  EXPECT_EQ(link_->dispatched(a1), STATUS_PENDING);
  EXPECT_FALSE(link_->completed(a1));

  std::uint32_t count = 0;
  testdrv::CompleteRequest one{0xA, 111, STATUS_SUCCESS, 0};
  EXPECT_EQ(call(other, testdrv::kComplete, &one, sizeof one, &count, sizeof count).status, STATUS_SUCCESS);
  EXPECT_EQ(count, 1u);
  auto first = link_->completion(a1);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->pending_returned);
  EXPECT_EQ(first->information, 8u);
  EXPECT_EQ(a1_out, 111u);  // oldest first
  EXPECT_FALSE(link_->completed(a2));

  testdrv::CompleteRequest refused{0xA, 0, STATUS_CONNECTION_REFUSED, 1};
  call(other, testdrv::kComplete, &refused, sizeof refused, &count, sizeof count);
  EXPECT_EQ(link_->completion(a2)->status, STATUS_CONNECTION_REFUSED);
  EXPECT_EQ(link_->completion(a2)->information, 0u);  // an error returns no bytes
  EXPECT_EQ(a2_out, 0u);
  EXPECT_FALSE(link_->completed(bb));
}

TEST_F(Request, CancelIoCancelsOnlyTheCallingThreadsRequestsOnThatFile) {
  std::uint64_t file = open(true);
  std::uint64_t second = open(true);
  testdrv::Key key{8};
  std::uint64_t out[3] = {};
  auto mine = send(file, testdrv::kPend, &key, sizeof key, &out[0], 8, 1001);
  auto theirs = send(file, testdrv::kPend, &key, sizeof key, &out[1], 8, 1002);
  auto other_file = send(second, testdrv::kPend, &key, sizeof key, &out[2], 8, 1001);
  EXPECT_EQ(io_->user_cancel(caller(1001), file), STATUS_SUCCESS);
  auto cancelled = link_->completion(mine);
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->status, STATUS_CANCELLED);
  EXPECT_FALSE(link_->completed(theirs));
  EXPECT_FALSE(link_->completed(other_file));
  // The others end with their files' cleanup.
  EXPECT_EQ(io_->user_close(caller(), file), STATUS_SUCCESS);
  EXPECT_EQ(link_->completion(theirs)->status, STATUS_CANCELLED);
  EXPECT_FALSE(link_->completed(other_file));
}

TEST_F(Request, TheEndOfTheProcessCancelsItsRequestsAndClosesItsFiles) {
  std::uint64_t file = open(true);
  testdrv::Key key{10};
  std::uint64_t out = 0;
  auto pended = send(file, testdrv::kPend, &key, sizeof key, &out, 8);
  EXPECT_EQ(io_->irps_in_flight(), 1u);
  io_->detach_process(*process_);
  EXPECT_EQ(link_->completion(pended)->status, STATUS_CANCELLED);
  EXPECT_EQ(io_->irps_in_flight(), 0u);
  EXPECT_EQ(io_->processes(), 0u);
  process_.reset();
  // The fixture's end checks that no pool is left behind.
}

TEST_F(Request, ARequestWaitingInTheDriverEndsWhenItsProcessGoes) {
  std::uint64_t file = open();
  NTSTATUS waited = 0;
  std::uint64_t id = 0;
  std::thread requester([&] { id = send(file, testdrv::kWait, nullptr, 0, &waited, sizeof waited); });
  ASSERT_TRUE(eventually([&] { return io_->irps_in_flight() == 1; }));
  io_->detach_process(*process_);
  requester.join();
  // Nothing set the driver's event: only the alert of the process's end let
  // it return. The driver's output could not reach a process that has gone,
  // so the completion does not claim it did.
  EXPECT_EQ(link_->completion(id)->status, STATUS_CANCELLED);
  EXPECT_EQ(link_->completion(id)->information, 0u);
  EXPECT_EQ(io_->irps_in_flight(), 0u);
  process_.reset();
}

TEST_F(Request, ADpcCompletesAPendedRequest) {
  std::uint64_t file = open(true);
  testdrv::DpcRequest request{0xDEC0DE, 20, 0};
  std::uint64_t out = 0;
  auto id = send(file, testdrv::kPendDpc, &request, sizeof request, &out, sizeof out);
  EXPECT_EQ(link_->dispatched(id), STATUS_PENDING);
  EXPECT_FALSE(link_->completed(id));
  clock().advance(20 * plat::Clock::kUnitsPerMs);
  auto done = link_->completion(id);
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, STATUS_SUCCESS);
  EXPECT_TRUE(done->pending_returned);
  EXPECT_EQ(out, 0xDEC0DEu);
}

TEST_F(Request, AnOverlappedRequestCompletedAtOnceTellsWhatItsDispatchReturned) {
  std::uint64_t file = open(true);
  char in[8] = "abc", out[8] = {};
  auto id = send(file, testdrv::kEcho, in, sizeof in, out, sizeof out);
  EXPECT_EQ(link_->dispatched(id), STATUS_SUCCESS);
  EXPECT_FALSE(link_->completion(id)->pending_returned);
  EXPECT_STREQ(out, "abc");
}

TEST_F(Request, PagesMappedIntoTheProcessShowWhatTheKernelWrites) {
  std::uint64_t file = open();
  testdrv::Address address{};
  ASSERT_EQ(call(file, testdrv::kMapPage, nullptr, 0, &address, sizeof address).status, STATUS_SUCCESS);
  auto* page = reinterpret_cast<volatile unsigned char*>(address.address);
  EXPECT_EQ(page[0], 0);
  testdrv::Fill fill{0x5A};
  call(file, testdrv::kFillPage, &fill, sizeof fill, nullptr, 0);
  EXPECT_EQ(page[0], 0x5A);
  EXPECT_EQ(page[4095], 0x5A);
  EXPECT_EQ(call(file, testdrv::kUnmapPage, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(link_->unmaps(), 1);
}

TEST_F(Request, MappingsLeftAtTheProcessEndAreForgottenWithoutAnUpcall) {
  std::uint64_t file = open();
  testdrv::Address address{};
  ASSERT_EQ(call(file, testdrv::kMapPage, nullptr, 0, &address, sizeof address).status, STATUS_SUCCESS);
  io_->detach_process(*process_);
  process_.reset();
  EXPECT_EQ(link_->unmaps(), 0);
  munmap(reinterpret_cast<void*>(address.address), 4096);
}

}  // namespace

// Frames through zekhnic's data path between two boards on the lab wire:
// frames and Gb/s of 1514- and 9014-byte frames from one miniport to the
// other (each batch sent, completed and indicated), with the interrupts and
// DPC runs it took per thousand frames. Beside them, measured in the same
// run: a memcpy of the same frames, and the same frames through a Unix
// datagram socket pair (what the lab wire is made of).
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tests/miniport/datapath_fixture.h"

namespace {

constexpr int kBatch = 256;

class Lab {
 public:
  Lab() {
    plat::KernelOptions options;
    options.memory.bytes = std::size_t{256} << 20;
    options.debug_output = [](std::string_view) {};
    kernel_ = std::make_unique<plat::Kernel>(options);
    boards_ = std::make_unique<datapath::TwoBoards>(*kernel_, [](std::string_view) {});
    const datapath::Entries jumbo = {{"JumboFrames", "1"}};
    ok_ = boards_->start(jumbo, jumbo, &error_);
    if (!ok_) return;
    for (int i = 0; i < 2; ++i) boards_->ndis(i).keep_records(false);
    sender_ = std::make_unique<datapath::Sender>();
  }
  ~Lab() {
    sender_.reset();
    boards_.reset();
    kernel_.reset();
  }
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  datapath::TwoBoards& boards() { return *boards_; }
  datapath::Sender& sender() { return *sender_; }

 private:
  std::unique_ptr<plat::Kernel> kernel_;
  std::unique_ptr<datapath::TwoBoards> boards_;
  std::unique_ptr<datapath::Sender> sender_;
  bool ok_ = false;
  std::string error_;
};

Lab& lab() {
  static Lab* instance = new Lab();  // lives to the process's end, as the boards' threads do
  return *instance;
}

void BM_MiniportToMiniport(benchmark::State& state) {
  Lab& l = lab();
  if (!l.ok()) {
    state.SkipWithError(l.error().c_str());
    return;
  }
  auto& boards = l.boards();
  const auto length = static_cast<std::size_t>(state.range(0));
  std::vector<NET_BUFFER_LIST*> lists;
  for (int i = 0; i < kBatch; ++i) {
    lists.push_back(l.sender().make(datapath::frame(boards.mac(1), boards.mac(0), 0x88B5, length, 7)));
  }
  ZEK_ADAPTER* a = boards.zek(0);
  ZEK_ADAPTER* b = boards.zek(1);
  const std::uint64_t isr0 = a->IsrOurs + b->IsrOurs, dpc0 = a->DpcCount + b->DpcCount;
  std::uint64_t frames = 0;
  for (auto _ : state) {
    const std::uint64_t received = boards.ndis(1).receive_count();
    const std::uint64_t completed = boards.ndis(0).send_completion_count();
    boards.host().send(boards.ndis(0), datapath::Sender::chain(lists));
    if (!datapath::wait_until(
            [&] {
              return boards.ndis(1).receive_count() >= received + kBatch &&
                     boards.ndis(0).send_completion_count() >= completed + kBatch;
            },
            60000)) {
      state.SkipWithError("a batch did not arrive");
      return;
    }
    frames += kBatch;
  }
  const double per_thousand = frames == 0 ? 0 : 1000.0 / static_cast<double>(frames);
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["Gbit"] =
      benchmark::Counter(static_cast<double>(frames * length) * 8 / 1e9, benchmark::Counter::kIsRate);
  state.counters["interrupts/1000 frames"] = static_cast<double>(a->IsrOurs + b->IsrOurs - isr0) * per_thousand;
  state.counters["DPC runs/1000 frames"] = static_cast<double>(a->DpcCount + b->DpcCount - dpc0) * per_thousand;
}

// Baseline: copying the same frames once.
void BM_MemcpyFrames(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> from(length * kBatch, 0x5A), to(length * kBatch);
  std::uint64_t frames = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) std::memcpy(to.data() + i * length, from.data() + i * length, length);
    benchmark::DoNotOptimize(to.data());
    frames += kBatch;
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["Gbit"] =
      benchmark::Counter(static_cast<double>(frames * length) * 8 / 1e9, benchmark::Counter::kIsRate);
}

// Baseline: the same frames through a Unix datagram socket pair, a batch
// at a time.
void BM_UnixSocketFrames(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_DGRAM, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  int size = 4 << 20;
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  std::vector<std::uint8_t> frame(length, 0x5A), in(length);
  std::uint64_t frames = 0;
  for (auto _ : state) {
    int sent = 0, received = 0;
    while (received < kBatch) {
      while (sent < kBatch && send(fds[0], frame.data(), length, MSG_DONTWAIT) == static_cast<ssize_t>(length)) ++sent;
      if (recv(fds[1], in.data(), length, 0) == static_cast<ssize_t>(length)) ++received;
    }
    frames += kBatch;
  }
  close(fds[0]);
  close(fds[1]);
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["Gbit"] =
      benchmark::Counter(static_cast<double>(frames * length) * 8 / 1e9, benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_MemcpyFrames)->Arg(1514)->Arg(9014);
BENCHMARK(BM_UnixSocketFrames)->Arg(1514)->Arg(9014);
BENCHMARK(BM_MiniportToMiniport)->Arg(1514)->Arg(9014)->UseRealTime();

BENCHMARK_MAIN();

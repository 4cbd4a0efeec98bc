#include "sim/lab_wire_lane.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zeksim {

namespace {

constexpr std::uint32_t kMagic = 0x7A656B4C;  // "zekL"
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kFrame = 1, kSkip = 2;
constexpr unsigned kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;

constexpr std::uint64_t padded(std::uint64_t n) { return (n + 7) & ~std::uint64_t{7}; }

// Shared between processes: never the private futex forms.
void futex_wake(std::atomic<std::uint32_t>* word) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}
void futex_wait(std::atomic<std::uint32_t>* word, std::uint32_t seen, std::chrono::nanoseconds limit) {
  timespec t{static_cast<time_t>(limit.count() / 1'000'000'000), static_cast<long>(limit.count() % 1'000'000'000)};
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT, seen, &t, nullptr, 0);
}

}  // namespace

static_assert(sizeof(LaneRing::Header) <= LaneRing::kHeaderBytes);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<std::uint32_t>::is_always_lock_free);

LaneRing::LaneRing(int fd, std::byte* map) : fd_(fd), map_(map) {}

LaneRing::~LaneRing() {
  if (map_ != nullptr) ::munmap(map_, kMapBytes);
  if (fd_ >= 0) ::close(fd_);
}

LaneRing::Header& LaneRing::header() const { return *reinterpret_cast<Header*>(map_); }

std::unique_ptr<LaneRing> LaneRing::create(std::string* error) {
  const int fd = ::memfd_create("zek-lane", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) {
    *error = std::string("memfd_create: ") + std::strerror(errno);
    return nullptr;
  }
  if (::ftruncate(fd, static_cast<off_t>(kMapBytes)) != 0 || ::fcntl(fd, F_ADD_SEALS, kSeals) != 0) {
    *error = std::string("sizing and sealing the lane: ") + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  void* map = ::mmap(nullptr, kMapBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    *error = std::string("mapping the lane: ") + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  auto ring = std::unique_ptr<LaneRing>(new LaneRing(fd, static_cast<std::byte*>(map)));
  Header& h = ring->header();
  h.magic = kMagic;
  h.version = kVersion;
  h.data_bytes = kDataBytes;
  return ring;
}

std::unique_ptr<LaneRing> LaneRing::adopt(int fd, std::string* error) {
  // Sealed against shrinking and growing, of exactly the lane's size: the
  // mapping stays whole whatever the sender does.
  const int seals = ::fcntl(fd, F_GET_SEALS);
  struct stat status {};
  if (seals < 0 || (static_cast<unsigned>(seals) & (F_SEAL_SHRINK | F_SEAL_GROW)) != (F_SEAL_SHRINK | F_SEAL_GROW)) {
    *error = "the lane is not a sealed memory file";
    ::close(fd);
    return nullptr;
  }
  if (::fstat(fd, &status) != 0 || status.st_size != static_cast<off_t>(kMapBytes)) {
    *error = "the lane is not of the lane's size";
    ::close(fd);
    return nullptr;
  }
  void* map = ::mmap(nullptr, kMapBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    *error = std::string("mapping the lane: ") + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  auto ring = std::unique_ptr<LaneRing>(new LaneRing(fd, static_cast<std::byte*>(map)));
  Header& h = ring->header();
  if (h.magic != kMagic || h.version != kVersion || h.data_bytes != kDataBytes) {
    *error = "the lane's header is not a lane's";
    return nullptr;
  }
  // Reading starts where the sender's head is now (a fresh lane: 0).
  ring->tail_ = ring->published_tail_ = h.tail.load(std::memory_order_acquire);
  return ring;
}

// --- Sender ------------------------------------------------------------------

bool LaneRing::free_bytes(std::uint64_t* free) const {
  const std::uint64_t tail = header().tail.load(std::memory_order_acquire);
  const std::uint64_t used = head_ - tail;  // wraps when the tail is beyond the head
  if (used > kDataBytes) return false;
  *free = kDataBytes - used;
  return true;
}

LaneRing::Result LaneRing::put(std::span<const std::byte> frame) {
  const std::uint64_t need = kRecordHeader + padded(frame.size());
  if (need > kDataBytes / 2) return Result::Oversize;
  if (header().receiver_closed.load(std::memory_order_relaxed) != 0) return Result::Closed;
  std::uint64_t free = 0;
  if (!free_bytes(&free)) return Result::Broken;
  const std::uint64_t at = head_ % kDataBytes;
  const std::uint64_t rest = kDataBytes - at;
  const std::uint64_t skip = need > rest ? rest : 0;
  if (skip + need > free) return Result::Full;
  if (skip != 0) {
    const std::uint32_t record[2] = {static_cast<std::uint32_t>(skip), kSkip};
    std::memcpy(data() + at, record, sizeof record);
    head_ += skip;
  }
  std::byte* p = data() + head_ % kDataBytes;
  const std::uint32_t record[2] = {static_cast<std::uint32_t>(frame.size()), kFrame};
  std::memcpy(p, record, sizeof record);
  std::memcpy(p + kRecordHeader, frame.data(), frame.size());
  head_ += need;
  header().head.store(head_, std::memory_order_release);
  return Result::Ok;
}

bool LaneRing::take_sleeping() {
  // The head's store above, then the look at the receiver's word: with the
  // receiver's own fence this sees a receiver that missed the frame.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (header().receiver_sleeping.load(std::memory_order_relaxed) == 0) return false;
  return header().receiver_sleeping.exchange(0) != 0;
}

bool LaneRing::wait_room(std::size_t bytes, std::chrono::nanoseconds limit) {
  const std::uint64_t need = 2 * (kRecordHeader + padded(bytes));  // a skip may come first
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::uint64_t free = 0;
    // A broken or closed lane shows at the next put.
    if (!free_bytes(&free) || free >= need || header().receiver_closed.load() != 0) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return false;
    Header& h = header();
    const std::uint32_t seen = h.room.load(std::memory_order_acquire);
    h.sender_waiting.store(1);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (free_bytes(&free) && free < need) {
      futex_wait(&h.room, seen, std::min<std::chrono::nanoseconds>(end - now, std::chrono::milliseconds(10)));
    }
  }
}

// --- Receiver ----------------------------------------------------------------

bool LaneRing::readable() const { return header().head.load(std::memory_order_acquire) != tail_; }

LaneRing::Result LaneRing::take(std::vector<std::byte>& out, std::size_t max_frame) {
  for (;;) {
    const std::uint64_t head = header().head.load(std::memory_order_acquire);
    if (head == tail_) return Result::Empty;
    const std::uint64_t ahead = head - tail_;
    if (ahead > kDataBytes || ahead < kRecordHeader) return Result::Broken;
    const std::uint64_t at = tail_ % kDataBytes;
    // Read once: the sender may change the bytes while they are looked at.
    std::uint32_t record[2];
    std::memcpy(record, data() + at, sizeof record);
    const std::uint64_t rest = kDataBytes - at;
    if (record[1] == kSkip) {
      if (record[0] != rest || rest > ahead) return Result::Broken;
      tail_ += rest;
      continue;
    }
    const std::uint64_t need = kRecordHeader + padded(record[0]);
    if (record[1] != kFrame || need > rest || need > ahead) return Result::Broken;
    tail_ += need;
    if (record[0] > max_frame) return Result::Oversize;
    // Into the buffer's own room, without clearing it first.
    const std::byte* from = data() + at + kRecordHeader;
    out.assign(from, from + record[0]);
    return Result::Ok;
  }
}

void LaneRing::release() {
  if (tail_ == published_tail_) return;
  Header& h = header();
  h.tail.store(tail_, std::memory_order_release);
  published_tail_ = tail_;
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (h.sender_waiting.load(std::memory_order_relaxed) != 0 && h.sender_waiting.exchange(0) != 0) {
    h.room.fetch_add(1, std::memory_order_release);
    futex_wake(&h.room);
  }
}

void LaneRing::close() {
  header().receiver_closed.store(1);
  release();
}

void LaneRing::set_sleeping(bool sleeping) {
  header().receiver_sleeping.store(sleeping ? 1 : 0);
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

}  // namespace zeksim

// A lane of the lab wire: the frames of one port for one peer port, through
// a ring in shared memory instead of one datagram each (lab_wire.h opens
// and closes lanes; this is the ring).
//
// The sending port makes the ring: a memfd of kMapBytes, sealed so that its
// size can never change (a mapping of it can never fault), and hands the
// descriptor to the peer over the wire's datagram socket. Only the two ports
// ever hold it: a process maps only the lanes it made or was given.
//
// Layout: a 4 KiB header, then kDataBytes of records. A record is {u32
// length, u32 kind} and the frame's bytes, padded to 8; a record never
// wraps: where the rest of the data area is too short, a skip record
// covering exactly that rest sends the reader back to the start. `head`
// (bytes ever written) is the sender's, `tail` (bytes ever read) the
// receiver's; both only grow.
//
// Neither side trusts the other: the receiver checks every index and record
// the sender wrote (head within a ring of the tail, a record inside the data
// area and below the head, a skip that reaches the end exactly), the sender
// checks the receiver's tail (not beyond its head, not more than a ring
// behind it). A bad one breaks the lane (`Broken`); nothing is read or
// written outside the mapping, and a frame's length is read once, before
// its bytes are copied out.
//
// Waking: the receiver says in the header when it is about to sleep; the
// sender then rings the receiver's bell (an eventfd the receiver gave it).
// A sender waiting for room says so, and the receiver wakes it with a futex
// on `room` after it has read.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace zeksim {

class LaneRing {
 public:
  static constexpr std::size_t kHeaderBytes = 4096;
  static constexpr std::uint64_t kDataBytes = std::uint64_t{4} << 20;
  static constexpr std::size_t kMapBytes = kHeaderBytes + kDataBytes;
  static constexpr std::uint32_t kRecordHeader = 8;

  // The sending side: a fresh sealed ring; null with a message.
  static std::unique_ptr<LaneRing> create(std::string* error);
  // The receiving side: the ring behind `fd` (taken over, closed at the
  // end) when it is a sealed memfd of the lane's size; null with a message.
  static std::unique_ptr<LaneRing> adopt(int fd, std::string* error);
  ~LaneRing();
  LaneRing(const LaneRing&) = delete;
  LaneRing& operator=(const LaneRing&) = delete;

  int fd() const { return fd_; }

  enum class Result { Ok, Empty, Full, Oversize, Broken, Closed };

  // --- Sender --------------------------------------------------------------
  // Copies one frame in and publishes it: Ok, Full (no room now), Closed
  // (the receiver gave the lane up) or Broken (the receiver's tail is not
  // sound).
  Result put(std::span<const std::byte> frame);
  // Whether the receiver said it sleeps (and so needs the bell); clears it.
  bool take_sleeping();
  // Waits up to `limit` for room for a frame of `bytes`: false on time-out.
  bool wait_room(std::size_t bytes, std::chrono::nanoseconds limit);

  // --- Receiver ------------------------------------------------------------
  // The next frame into `out` (resized): Ok, Empty, Oversize (a frame over
  // `max_frame`, skipped) or Broken (the sender's head or a record is not
  // sound). Read space is given back by release().
  Result take(std::vector<std::byte>& out, std::size_t max_frame);
  // Whether a frame waits (a look at the head only).
  bool readable() const;
  // Publishes what take() read and wakes a sender waiting for room.
  void release();
  // The receiver is about to sleep (true) or is awake (false).
  void set_sleeping(bool sleeping);
  // The receiver gives the lane up: the sender puts nothing more into it.
  void close();

  // The header's words each have one writer; the other side only reads them.
  struct Header {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint64_t data_bytes;
    alignas(64) std::atomic<std::uint64_t> head;   // sender
    std::atomic<std::uint32_t> sender_waiting;     // sender: waits for room
    alignas(64) std::atomic<std::uint64_t> tail;   // receiver
    std::atomic<std::uint32_t> room;               // receiver: bumped when a waiting sender has room
    std::atomic<std::uint32_t> receiver_sleeping;  // receiver: ring the bell
    std::atomic<std::uint32_t> receiver_closed;    // receiver: gave the lane up
  };

 private:
  LaneRing(int fd, std::byte* map);
  Header& header() const;
  std::byte* data() const { return map_ + kHeaderBytes; }
  // Bytes the sender may still write into `free`; false when the tail is not sound.
  bool free_bytes(std::uint64_t* free) const;

  int fd_ = -1;
  std::byte* map_ = nullptr;
  // The side's own copy of its index: never read back from shared memory.
  std::uint64_t head_ = 0;  // sender
  std::uint64_t tail_ = 0;  // receiver: read so far
  std::uint64_t published_tail_ = 0;
};

}  // namespace zeksim

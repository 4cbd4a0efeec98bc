// The machine's interrupt vectors. A device raises a vector from any thread;
// the vector's own delivery thread calls the handler connected to it, one
// interrupt at a time, in the order they were raised. Raising never blocks
// the device. Interrupts raised while nothing is connected are counted and
// dropped.
//
// What a handler does is the kernel's business (it runs the driver's service
// routine at the interrupt's IRQL, holding the interrupt spin lock; see
// platform/kernel/interrupt.h); the machine only delivers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace plat {

class InterruptVectors {
 public:
  using Handler = std::function<void()>;

  InterruptVectors();
  // Disconnects whatever is still connected.
  ~InterruptVectors();
  InterruptVectors(const InterruptVectors&) = delete;
  InterruptVectors& operator=(const InterruptVectors&) = delete;

  // Starts delivering the vector to the handler; false when the vector
  // already has one (vectors are not shared).
  bool connect(std::uint32_t vector, Handler handler);
  // Waits until a running handler has returned; the handler is not called
  // again, and interrupts still pending on the vector are not delivered.
  // False when nothing is connected to the vector.
  bool disconnect(std::uint32_t vector);

  // Called by a device; never waits for the handler.
  void raise(std::uint32_t vector);
  // Interrupts raised on a vector with nothing connected.
  std::uint64_t dropped() const;
  // Handler calls so far on a connected vector.
  std::uint64_t serviced(std::uint32_t vector) const;

 private:
  struct Line;
  static void deliver(Line* line);

  mutable std::mutex mu_;
  std::map<std::uint32_t, std::unique_ptr<Line>> connected_;
  std::uint64_t dropped_ = 0;
};

}  // namespace plat

#include "sim/interrupts.h"

namespace zeksim {

bool InterruptController::evaluate() {
  bool asserted = (mask_ & zekhw::kIntrMasterEnable) != 0 && pending() != 0;
  bool rising = asserted && !line_;
  line_ = asserted;
  if (rising) ++edges_;
  return rising;
}

bool InterruptController::raise(std::uint32_t cause_bits) {
  cause_ |= cause_bits & zekhw::kIntrCauseBits;
  return evaluate();
}

bool InterruptController::write_cause(std::uint32_t value) {
  cause_ &= ~value;
  return evaluate();
}

bool InterruptController::write_mask(std::uint32_t value) {
  mask_ = value;
  return evaluate();
}

}  // namespace zeksim

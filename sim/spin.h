// Waiting without sleeping: the engine thread and the lab wire's receiver
// look for work a short while before they sleep, so that work which
// follows soon costs no sleep and wake-up.
#pragma once

namespace zeksim {

// One step of a busy wait: tells the CPU the thread is spinning.
inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace zeksim

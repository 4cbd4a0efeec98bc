// The driver's log ring as text, one record a line, for the miniport tests'
// failure messages and checks.
#pragma once

#include <string>

#include "proxy/core/osprim/osprim_kernel.h"

inline std::string driver_log() {
  std::string text(OSPrimLogRingSize(), '\0');
  text.resize(OSPrimLogRingRead(0, text.data(), static_cast<std::uint32_t>(text.size())));
  for (char& c : text) {
    if (c == '\0') c = '\n';
  }
  return text;
}

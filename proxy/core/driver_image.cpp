// The driver image zekproxy.so: the frame library linked whole, so that
// its DriverEntry is the image's exported entry point.
#include "proxy/core/zpx.h"

// Keeps the entry point referenced from the image itself.
[[maybe_unused]] static const PDRIVER_INITIALIZE kZpxImageEntry = &DriverEntry;

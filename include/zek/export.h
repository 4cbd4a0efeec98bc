// ZEK_EXPORT marks what a deliverable exports by name: C linkage, so that the
// exported symbol is the plain name (what a run-time lookup by name, a
// re-export under the same name or a caller in another language finds), and
// default visibility. Each shared library of the system is built with hidden
// visibility (zek_exports() in cmake/ZekTargets.cmake), so nothing unmarked
// leaves it; the driver images export their entry point DriverEntry only.
//
// The shared headers mark the same declarations in both builds of the
// OS-primitive contract: the kernel build keeps C linkage for them too, and
// its images do not export them.
#pragma once

#define ZEK_EXPORT extern "C" __attribute__((visibility("default")))

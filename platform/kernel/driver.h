// Everything a driver of this system includes: the kernel core (nt.h) and
// the I/O manager, MDLs, caller memory and the registry.
#pragma once

#include "platform/kernel/io/io.h"
#include "platform/kernel/io/mdl.h"
#include "platform/kernel/io/usermem.h"
#include "platform/kernel/nt.h"
#include "platform/kernel/process.h"
#include "platform/kernel/registry.h"

// Everything a driver of this system includes: the kernel core (nt.h) and
// the I/O manager, MDLs, caller memory and the registry.
#pragma once

#include "platform/kernel/io.h"
#include "platform/kernel/mdl.h"
#include "platform/kernel/nt.h"
#include "platform/kernel/process.h"
#include "platform/kernel/registry.h"
#include "platform/kernel/usermem.h"

#include "platform/machine/machine.h"

namespace plat {

Machine::Machine(const MachineOptions& options)
    : clock_(options.clock, options.time_increment), memory_(options.memory), pci_(options.device_irql) {}

}  // namespace plat

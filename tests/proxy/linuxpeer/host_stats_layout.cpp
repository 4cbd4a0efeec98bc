// The statistics block is the stack's tcpstat record, copied whole.
#include <cstddef>

#include "proxy/tcpip/netinet/tcp_var.h"
#include "tests/proxy/linuxpeer/host_stats.h"

namespace linuxpeer {

const SynCacheWords kSynCacheWords{offsetof(zektcp::tcpstat, sc_added) / 4,
                                   offsetof(zektcp::tcpstat, sc_cacheoverflow) / 4,
                                   offsetof(zektcp::tcpstat, sc_sendcookie) / 4};

}  // namespace linuxpeer

#include "tests/proxy/linuxpeer/host_stats.h"

#include "tests/proxy/twohost/tcp_stats.h"

namespace linuxpeer {

std::optional<SynCacheCounts> host_syn_cache() {
  twohost::TcpStatsBlock block = {};
  if (!twohost::read_tcp_stats(block)) return std::nullopt;
  return SynCacheCounts{block[kSynCacheWords.added], block[kSynCacheWords.cache_overflow],
                        block[kSynCacheWords.cookies_sent]};
}

}  // namespace linuxpeer

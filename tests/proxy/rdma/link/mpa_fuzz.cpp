// A fuzz target for the MPA start-up frame reader: any bytes, any buffer
// length up to them, read as a request and as a reply. A frame that is
// accepted must announce no more than 512 bytes of private data and read
// back to the same header when built again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "proxy/rdma/verbs/mpa.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The buffer holds exactly the input, so reading past it trips the sanitizer.
  std::vector<std::uint8_t> frame(data, data + size);
  const auto length = static_cast<std::uint32_t>(size);
  for (bool reply : {false, true}) {
    ZekMpaParameters p{};
    const ZekStatus s = reply ? zek_ietf_parse_response(&p, frame.data(), length, nullptr)
                              : zek_ietf_parse_request(&p, frame.data(), length, nullptr);
    if (s != 0) continue;
    if (p.PrivateDataLength > ZEK_MPA_MAX_PRIVATE_DATA) std::abort();
    std::vector<std::uint8_t> again(ZEK_MPA_HEADER_BYTES + p.PrivateDataLength);
    const ZekStatus b =
        reply ? zek_ietf_create_response(&p, again.data(), static_cast<std::uint32_t>(again.size()), nullptr)
              : zek_ietf_create_request(&p, again.data(), static_cast<std::uint32_t>(again.size()), nullptr);
    if (b != 0) std::abort();
    ZekMpaParameters q{};
    const ZekStatus r = reply ? zek_ietf_parse_response(&q, again.data(), ZEK_MPA_HEADER_BYTES, nullptr)
                              : zek_ietf_parse_request(&q, again.data(), ZEK_MPA_HEADER_BYTES, nullptr);
    if (r != 0 || std::memcmp(&p, &q, sizeof p) != 0) std::abort();
  }
  return 0;
}

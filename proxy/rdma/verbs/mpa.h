// The verbs' MPA start-up frame operations (verbs table slots 20-23): build
// and read the 20-byte header of the request and reply frames
// (include/zek/mpa.h). The private data after the header is the caller's;
// these routines only bound its announced length.
//
// Each takes (parameters or frame, frame or parameters, the frame buffer's
// length in bytes, a reserved pointer) and returns:
//   0                           done;
//   ZEK_MPA_STATUS_BAD_ARGUMENT a null (or 0xCCCCCCCC) frame or parameter
//                               record; building: a buffer that cannot hold
//                               the header and the private data it announces;
//   ZEK_MPA_STATUS_BAD_FRAME    building: private data above 512 bytes;
//                               reading: a buffer shorter than the header, a
//                               key not of the expected kind, a revision
//                               other than 0, or private data above 512
//                               bytes.
// Reading needs only the header in the buffer: the caller reads the private
// data it announces (at most 512 bytes) after it. A refused frame leaves
// the parameter record untouched; a refused build writes nothing.
#pragma once

#include <cstdint>

#include "include/zek/mpa.h"
#include "include/zek/status.h"

ZekStatus zek_ietf_create_request(const ZekMpaParameters* parameters, void* frame, std::uint32_t frame_bytes,
                                  void* reserved);
ZekStatus zek_ietf_create_response(const ZekMpaParameters* parameters, void* frame, std::uint32_t frame_bytes,
                                   void* reserved);
ZekStatus zek_ietf_parse_request(ZekMpaParameters* parameters, const void* frame, std::uint32_t frame_bytes,
                                 void* reserved);
ZekStatus zek_ietf_parse_response(ZekMpaParameters* parameters, const void* frame, std::uint32_t frame_bytes,
                                  void* reserved);

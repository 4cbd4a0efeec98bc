// The dump of a queue pair's uploaded adapter context: the raw words, then
// nineteen groups of named fields, each "name = 0x%x". The fields the
// adapter's context holds (include/hw/qp_context.h: the header words of
// both forms, the TCP state of the offload form) are decoded from their
// words; a field the context does not hold (every other name, and the
// offload-form fields of a context without offload) reads 0.
#pragma once

#include <cstdint>

// Receives one piece of the dump's text.
using ZpxDumpSink = void (*)(void* context, const char* text);

// Formats the dump of `count` context words of queue pair `qp_id` into `sink`.
void ZpxFormatQPContext(std::uint32_t qp_id, const std::uint32_t* words, std::uint32_t count, ZpxDumpSink sink,
                        void* sink_context);

// Prints the dump of a 320-byte context through the debug print.
extern "C" void ZpxDumpQPContext(std::uint32_t qp_id, const void* context);

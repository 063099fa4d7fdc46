#pragma once

#include "zip/BlockDeflater.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace zip {

struct DeflateOptions {
    Codec codec;
    std::size_t blockSize = 512 * 1024;
    // Compressing threads; 0 means one per core this process may run on,
    // as many as the memory budget allows.
    unsigned threads = 0;
};

struct DeflateResult {
    std::string error;        // empty on success
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;
    std::uint32_t crc32 = 0;  // of the source bytes
    bool ok() const { return error.empty(); }
};

// Receives the compressed stream in order. Returns false and fills `error`
// to stop the compression.
using DeflateSink = std::function<bool(const std::uint8_t* data, std::size_t length, std::string& error)>;

// Called on the calling thread with the number of source bytes whose
// compressed form has reached the sink.
using DeflateProgress = std::function<void(std::uint64_t bytesDone)>;

// Compresses exactly `size` bytes read from `sourceFd` (from its current
// position) into one raw deflate stream.
//
// The calling thread reads the source in blocks and hands the compressed
// blocks to the sink in order; worker threads, started and joined by this
// call, compress the blocks, each with the 32 KiB before it as dictionary,
// and compute their CRC-32s, which are combined here. A fixed number of
// blocks is in flight, so memory stays bounded whatever the size (well under
// 64 MiB). Blocks until done. Fails (never throws) when the source cannot be
// read, holds fewer or more than `size` bytes, a block fails to compress or
// to decode back to its source, or the sink fails; all threads have ended by
// the time it returns.
DeflateResult deflateFile(int sourceFd, std::uint64_t size, const DeflateSink& sink,
                          const DeflateOptions& options = {}, const DeflateProgress& progress = {});

// The number of compressing threads deflateFile() uses for `options`.
unsigned deflateThreadCount(const DeflateOptions& options);

} // namespace zip

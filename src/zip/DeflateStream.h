#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zip {

// Checking raw deflate streams against their source, and joining streams of
// engines that only write whole ones (the last block marked final, the end
// not byte-aligned).
//
// Pure functions over memory; safe on any thread; never throw except
// std::bad_alloc.

// How a stream ends.
enum class StreamEnding {
    Final,   // with the final block, within its last byte
    Flushed, // with a non-final empty stored block on a byte boundary, as a
             // sync flush leaves it: another stream may follow
};

// Where the last block of a stream starts and where the stream ends, in bits
// from the first byte (bit 0 is the low bit of byte 0).
struct StreamEnd {
    std::uint64_t lastHeaderBit = 0;
    std::uint64_t endBit = 0;
};

// Decodes the stream in stream[0, length) and compares what it produces with
// expected[0, expectedLength); the `history` bytes before `expected` are the
// data that precedes it (a decoder's window: only the last 32 KiB count).
// Returns an empty string and fills `end` only when the stream produces
// exactly the expected bytes, ends as `ending` says at its last byte, and
// keeps the rules zlib's inflate enforces (complete Huffman codes except a
// single one-bit code, no symbol or distance outside the format, no distance
// back past the window); otherwise says why not.
//
// Nothing is written: literals and copies are compared with the expected
// bytes where they are, so one pass both checks a block and finds where its
// last block starts.
std::string checkStream(const std::uint8_t* stream, std::size_t length, const std::uint8_t* expected,
                        std::size_t expectedLength, std::size_t history, StreamEnding ending, StreamEnd& end);

// Extra bytes continueStream() may append.
inline constexpr std::size_t kContinueStreamSlack = 5;

// Turns the complete stream in stream[0, length), whose last block and end
// checkStream() found at `end`, into one that other streams can follow: the
// final flag of its last block is cleared and an empty stored block (three
// header bits, then 00 00 FF FF on a byte boundary) ends it, as a sync flush
// does. `capacity` must be at least length + kContinueStreamSlack. Sets
// `newLength` and returns an empty string, or says why `end` does not fit
// the bytes (which are then unchanged).
std::string continueStream(std::uint8_t* stream, std::size_t length, std::size_t capacity, const StreamEnd& end,
                           std::size_t& newLength);

} // namespace zip

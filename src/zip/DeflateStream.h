#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zip {

// The block structure of a raw deflate stream, for engines that only write
// whole streams (the last block marked final, the end not byte-aligned).
//
// Pure functions over memory; safe on any thread; never throw except
// std::bad_alloc from growing a vector.

// Where the final block of a complete stream starts and where the stream
// ends, in bits from the first byte (bit 0 is the low bit of byte 0).
struct StreamEnd {
    std::uint64_t finalHeaderBit = 0;
    std::uint64_t endBit = 0;
};

// Walks the blocks of the stream in `data` (decoding every Huffman code, but
// writing nothing) up to the end of its final block. Returns an empty string
// and fills `end`, or says why the bytes are not one complete stream that
// ends within its last byte.
std::string locateStreamEnd(const std::uint8_t* data, std::size_t length, StreamEnd& end);

// Extra bytes continueStream() may append.
inline constexpr std::size_t kContinueStreamSlack = 5;

// Turns the complete stream in stream[0, length) into one that other streams
// can follow: the final flag of its last block is cleared and an empty stored
// block (three header bits, then 00 00 FF FF on a byte boundary) ends it, as
// a sync flush does. `capacity` must be at least length +
// kContinueStreamSlack. Sets `newLength` and returns an empty string, or says
// why the stream could not be walked (the bytes are then unchanged).
std::string continueStream(std::uint8_t* stream, std::size_t length, std::size_t capacity, std::size_t& newLength);

} // namespace zip

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace zip {

// Grows vectors without clearing what it adds: compressed blocks are written
// before they are read, and clearing half a megabyte per block shows.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    void construct(U* p) noexcept
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using Bytes = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

// The deflate engines a block can be compressed with.
enum class Engine {
    Isal,       // levels 0 to 3
    Zlib,       // levels 1 to 9
    Libdeflate, // levels 1 to 12; writes whole streams only, without a dictionary
};

// Which deflate engine and level compresses the blocks of one archive.
struct Codec {
    Engine engine = Engine::Isal;
    int level = 1;
};

// Compresses one block of a raw deflate stream on its own, given the 32 KiB
// of source that precede it as dictionary, and checks the result.
//
// A block that is not the last ends on a byte boundary with an empty stored
// block (a sync flush), so the outputs of consecutive blocks concatenate into
// one valid deflate stream; the last block ends the stream. libdeflate only
// writes complete streams, so its final block, found by the check, loses its
// final flag and the empty stored block is appended; it also takes no
// dictionary, so its segments start without one. Two kinds of runs become
// segments of their own: runs of one repeated byte (the empty pages of a
// backup) go to ISA-L's level 1, since the other engines are several times
// slower on them for no gain, and runs that look random (compressed or
// encrypted pages, judged by their byte entropy) are stored as they are,
// which is smaller and much faster than letting an engine try. Every segment
// is decoded as it was written and compared with its source before it joins
// the block (checkStream()), so a block is only handed on when it decodes to
// exactly the source bytes.
//
// One object per thread: it owns the engine state and scratch buffers, which
// are allocated by the constructor and reused for every block. Calls block
// for the time the block takes; failures are returned as text, never thrown.
class BlockDeflater {
public:
    explicit BlockDeflater(Codec codec, std::size_t maxBlockSize);
    ~BlockDeflater();

    BlockDeflater(const BlockDeflater&) = delete;
    BlockDeflater& operator=(const BlockDeflater&) = delete;

    // False when the engine could not be set up; error() says why.
    bool isReady() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }

    // Compresses `input` (at most maxBlockSize bytes) into `output`, which is
    // resized to the compressed length (grown when needed). The `history`
    // bytes before `input` are the source immediately before it and must be
    // readable (0 for the first block). Returns an empty string on success,
    // otherwise what went wrong.
    std::string compress(const std::uint8_t* input, std::size_t inputLength, std::size_t history, bool last,
                         Bytes& output);

    // An output capacity that normally holds a compressed block of `inputLength`.
    static std::size_t outputBound(std::size_t inputLength);

    // Memory one deflater holds (engine state and scratch).
    static std::size_t engineMemory(Codec codec);

private:
    // Each appends one segment to `output` from `produced` on, checks it and
    // advances `produced`.
    std::string deflateIsal(int level, const std::uint8_t* input, std::size_t inputLength, std::size_t history,
                            bool last, Bytes& output, std::size_t& produced);
    std::string deflateZlib(const std::uint8_t* input, std::size_t inputLength, std::size_t history, bool last,
                            Bytes& output, std::size_t& produced);
    std::string deflateLibdeflate(const std::uint8_t* input, std::size_t inputLength, bool last, Bytes& output,
                                  std::size_t& produced);
    std::string store(const std::uint8_t* input, std::size_t inputLength, bool last, Bytes& output,
                      std::size_t& produced);

    enum class SegmentKind : std::uint8_t {
        Compressed, // by the codec's engine
        Uniform,    // one repeated byte, by ISA-L's level 1
        Stored,     // random-looking, in stored blocks
    };
    struct Segment {
        std::size_t offset;
        std::size_t length;
        SegmentKind kind;
    };
    // Fills m_segments for the block.
    void splitSegments(const std::uint8_t* input, std::size_t length);

    struct State;
    Codec m_codec;
    std::vector<SegmentKind> m_unitKinds;
    std::vector<Segment> m_segments;
    std::unique_ptr<State> m_state;
    std::size_t m_maxBlockSize;
    std::string m_error;
};

} // namespace zip

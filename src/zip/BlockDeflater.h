#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zip {

// Which deflate engine and level compresses the blocks of one archive.
enum class Codec {
    IsalLevel1,
    IsalLevel2,
    IsalLevel3,
    ZlibLevel6,
    ZlibLevel9,
};

// Compresses one block of a raw deflate stream on its own, given the 32 KiB
// of source that precede it as dictionary, and checks the result.
//
// A block that is not the last ends on a byte boundary with an empty stored
// block (a sync flush), so the outputs of consecutive blocks concatenate into
// one valid deflate stream; the last block ends the stream. Long runs of one
// repeated byte (the empty pages of a backup) go to ISA-L's level 1 as
// segments of their own, since the higher levels are several times slower on
// them for no gain. After compressing, the block is inflated again with the
// same dictionary and compared with its input, so a block is only handed on
// when it decodes to exactly the source bytes.
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
                         std::vector<std::uint8_t>& output);

    // An output capacity that normally holds a compressed block of `inputLength`.
    static std::size_t outputBound(std::size_t inputLength);

private:
    // Each appends one segment to `output` from `produced` on and advances it.
    std::string deflateIsal(int level, const std::uint8_t* input, std::size_t inputLength, std::size_t history,
                            bool last, std::vector<std::uint8_t>& output, std::size_t& produced);
    std::string deflateZlib(const std::uint8_t* input, std::size_t inputLength, std::size_t history, bool last,
                            std::vector<std::uint8_t>& output, std::size_t& produced);
    std::string verify(const std::uint8_t* input, std::size_t inputLength, std::size_t history, bool last,
                       const std::vector<std::uint8_t>& output);

    struct Segment {
        std::size_t offset;
        std::size_t length;
        bool uniform;
    };
    static void splitUniformRuns(const std::uint8_t* input, std::size_t length, std::vector<Segment>& segments);

    struct State;
    Codec m_codec;
    std::vector<Segment> m_segments;
    std::unique_ptr<State> m_state;
    std::vector<std::uint8_t> m_check; // inflated copy of the block being checked
    std::string m_error;
};

} // namespace zip

#include "config/PasswordCodec.h"

#include "text/Unicode.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>

namespace config {

namespace {

constexpr std::string_view kKeyTable = "ZPHOLWACUMBVQEXRIJTYKDFNGS";
constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr std::uint8_t kUnknown = 254;
constexpr std::uint8_t kPadValue = 255;

// Maps every byte to its 6-bit value; an alphabet character or "=" with its
// top bit set maps like the same character without it, anything else to 254.
constexpr std::array<std::uint8_t, 256> makeReverseTable()
{
    std::array<std::uint8_t, 256> table {};
    for (auto& entry : table)
        entry = kUnknown;
    for (std::size_t v = 0; v < kAlphabet.size(); ++v) {
        auto ch = static_cast<std::uint8_t>(kAlphabet[v]);
        table[ch] = static_cast<std::uint8_t>(v);
        table[ch + 128] = static_cast<std::uint8_t>(v);
    }
    table[static_cast<std::uint8_t>(kPad)] = kPadValue;
    table[static_cast<std::uint8_t>(kPad) + 128] = kPadValue;
    return table;
}

constexpr std::array<std::uint8_t, 256> kReverseTable = makeReverseTable();

bool isBlank(unsigned char ch)
{
    return (ch >= 7 && ch <= 13) || ch == ' ';
}

// Pairs (0, 1), (2, 3), ... change places; the last byte of an odd length
// stays. The exchange is its own inverse.
std::size_t neighbour(std::size_t i, std::size_t n)
{
    if (i % 2 == 1)
        return i - 1;
    return i + 1 < n ? i + 1 : i;
}

std::string scramble(std::string_view plain)
{
    const std::size_t n = plain.size();
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        auto byte = static_cast<std::uint8_t>(plain[neighbour(i, n)]);
        byte = static_cast<std::uint8_t>(byte + 128);
        byte ^= static_cast<std::uint8_t>(kKeyTable[i % kKeyTable.size()]);
        out[i] = static_cast<char>(byte);
    }
    return out;
}

std::string unscramble(std::string_view bytes)
{
    const std::size_t n = bytes.size();
    std::string work(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        auto byte = static_cast<std::uint8_t>(bytes[i]);
        byte ^= static_cast<std::uint8_t>(kKeyTable[i % kKeyTable.size()]);
        work[i] = static_cast<char>(static_cast<std::uint8_t>(byte + 128));
    }
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        out[i] = work[neighbour(i, n)];
    return out;
}

std::string encodeBase64(std::string_view bytes)
{
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
        std::uint8_t b[3] = {0, 0, 0};
        for (std::size_t k = 0; k < count; ++k)
            b[k] = static_cast<std::uint8_t>(bytes[i + k]);
        text += kAlphabet[b[0] >> 2];
        text += kAlphabet[((b[0] << 4) & 63) | (b[1] >> 4)];
        text += count > 1 ? kAlphabet[((b[1] << 2) & 63) | (b[2] >> 6)] : kPad;
        text += count > 2 ? kAlphabet[b[2] & 63] : kPad;
    }
    return text;
}

// Lenient decoding, step by step as stored texts have always been read:
// blanks are skipped and nothing is rejected. A complete group of four gives
// three bytes, an "=" in its third or fourth place counting as 0 while one in
// its first or second place (like any character outside the alphabet) lets
// its low bits flow into the bytes. A short last group of one to three
// characters (an "=" among them counting as 0) gives as many bytes as it has
// characters. The password is then the bytes up to the first zero byte.
//
// A zero byte may be part of a password the encoder wrote whole (a letter
// such as "ä" can scramble to 0), so a text in clean base64 (length a
// multiple of four, only alphabet characters, "=" only as its last one or
// two) is taken at the length it carries instead. For every text an earlier
// version wrote, which never holds an encoded zero byte, both readings agree.
std::string decodeBase64(std::string_view stored)
{
    std::string text;
    text.reserve(stored.size());
    for (char ch : stored) {
        if (!isBlank(static_cast<unsigned char>(ch)))
            text += ch;
    }

    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 + 3);
    const auto join = [&bytes](const std::uint8_t s[4], std::size_t carried) {
        const std::uint8_t joined[3] = {
            static_cast<std::uint8_t>((s[0] << 2) | ((s[1] >> 4) & 3)),
            static_cast<std::uint8_t>((s[1] << 4) | ((s[2] >> 2) & 15)),
            static_cast<std::uint8_t>((s[2] << 6) | (s[3] & 63)),
        };
        bytes.append(reinterpret_cast<const char*>(joined), carried);
    };

    const std::size_t complete = text.size() / 4 * 4;
    for (std::size_t i = 0; i < complete; i += 4) {
        std::uint8_t s[4];
        for (std::size_t k = 0; k < 4; ++k)
            s[k] = kReverseTable[static_cast<std::uint8_t>(text[i + k])];
        for (std::size_t k = 2; k < 4; ++k) {
            if (s[k] == kPadValue)
                s[k] = 0;
        }
        join(s, 3);
    }
    if (const std::size_t remaining = text.size() - complete; remaining > 0) {
        std::uint8_t s[4] = {0, 0, 0, 0};
        for (std::size_t k = 0; k < remaining; ++k) {
            s[k] = kReverseTable[static_cast<std::uint8_t>(text[complete + k])];
            if (s[k] == kPadValue)
                s[k] = 0;
        }
        join(s, remaining);
    }

    bool clean = !text.empty() && text.size() % 4 == 0;
    std::size_t pads = 0;
    for (std::size_t i = 0; clean && i < text.size(); ++i) {
        const std::uint8_t value = kReverseTable[static_cast<std::uint8_t>(text[i])];
        if (value == kPadValue)
            clean = ++pads <= 2 && i >= text.size() - 2;
        else
            clean = value != kUnknown && pads == 0;
    }
    if (clean) {
        bytes.resize(text.size() / 4 * 3 - pads);
    } else if (const std::size_t zero = bytes.find('\0'); zero != std::string::npos) {
        bytes.resize(zero);
    }
    return bytes;
}

} // namespace

int PasswordCodec::Encode(std::string_view plain, std::string& out)
{
    if (plain.empty())
        return kBadArgument;
    try {
        // Every scrambled byte is encoded, a zero byte included, so that a
        // password with letters such as "ä" is stored whole.
        out = encodeBase64(scramble(plain));
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
    return kOk;
}

int PasswordCodec::Decode(std::string_view stored, std::string& out)
{
    if (stored.empty())
        return kBadArgument;
    try {
        std::string bytes = decodeBase64(stored);
        if (bytes.empty())
            return kBadArgument;
        // Windows installations stored the bytes of code page 1252.
        out = text::Utf8OrCp1252(unscramble(bytes));
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
    return kOk;
}

} // namespace config

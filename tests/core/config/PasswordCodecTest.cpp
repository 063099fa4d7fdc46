#include "config/PasswordCodec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using config::PasswordCodec;

struct Vector {
    std::string plain;
    std::string stored;
};

// Stored texts as files written by earlier versions hold them.
TEST(PasswordCodecTest, EncodesBitExactlyAndDecodesBack)
{
    const std::vector<Vector> vectors = {
        {"P@ssw0rd", "moC7vPygpbE="},
        {"abc", "uLGr"},
        {"a", "uw=="},
        {"ab", "uLE="},
        {"pässwörd", "GaC7a7ukdwCxvw=="},
        // Position 26 takes the first key letter again.
        {"abcdefghijklmnopqrstuvwxyz0123", "uLGsrKqyqaS/pK69v6iovbu7oKq9sb65varr4Pv9"},
    };
    PasswordCodec codec;
    for (const auto& [plain, stored] : vectors) {
        std::string encoded;
        ASSERT_EQ(codec.Encode(plain, encoded), 0) << plain;
        EXPECT_EQ(encoded, stored) << plain;
        std::string decoded;
        ASSERT_EQ(codec.Decode(stored, decoded), 0) << stored;
        EXPECT_EQ(decoded, plain) << stored;
    }
}

TEST(PasswordCodecTest, EveryPasswordComesBackWhole)
{
    std::vector<std::string> passwords = {
        "x", "xy", "xyz", "correct horse battery staple", std::string(300, 'q'), "Pässwörd€", "\t tabs and blanks ",
    };
    std::string allCharacters;
    for (int b = 1; b < 128; ++b)
        allCharacters += static_cast<char>(b);
    allCharacters += "äöüßéèçñøåÆŒ€™—日本語🔑";
    passwords.push_back(allCharacters);
    std::string withZero = "before";
    withZero += '\0';
    withZero += "after";
    passwords.push_back(withZero);

    PasswordCodec codec; // one instance, reused as its owners do
    for (const std::string& password : passwords) {
        std::string encoded;
        ASSERT_EQ(codec.Encode(password, encoded), 0);
        EXPECT_EQ(encoded.size(), 4 * ((password.size() + 2) / 3)) << password;
        std::string decoded;
        ASSERT_EQ(codec.Decode(encoded, decoded), 0);
        EXPECT_EQ(decoded, password);
    }
}

// "ä" at position 6 scrambles to a zero byte; the whole password is still
// encoded, so it can be restored.
TEST(PasswordCodecTest, AScrambledZeroByteDoesNotCutThePassword)
{
    PasswordCodec codec;
    std::string encoded;
    ASSERT_EQ(codec.Encode("Kennwoärter", encoded), 0);
    EXPECT_EQ(encoded, "v5umoaOgZQChv7Cz");
    std::string decoded;
    ASSERT_EQ(codec.Decode(encoded, decoded), 0);
    EXPECT_EQ(decoded, "Kennwoärter");
}

TEST(PasswordCodecTest, DecodingIsLenientAboutBlanksAndTopBits)
{
    std::string topBits = "moC7vPygpbE=";
    for (char& ch : topBits)
        ch = static_cast<char>(static_cast<unsigned char>(ch) | 0x80);
    const std::vector<std::string> variants = {
        " moC7\r\nvPyg\tpbE= ",
        "moC7vPygpbE=\n",
        topBits,
    };
    PasswordCodec codec;
    for (const std::string& stored : variants) {
        std::string decoded;
        ASSERT_EQ(codec.Decode(stored, decoded), 0);
        EXPECT_EQ(decoded, "P@ssw0rd");
    }

    // Texts that are not clean base64 are read group by group as they always
    // were: an "=" or a missing character counts as 0, a short last group
    // gives one byte per character, and the password ends at a zero byte.
    const std::vector<Vector> unclean = {
        {"abc", "uLGr=="},
        {"abc", "uLGr="},
        {"ab", "uLE"},
        {"a", "uw"},
        {"a", "uw==uLGr"},
        {"a", "u\tw=\r\n="},
    };
    for (const auto& [plain, stored] : unclean) {
        std::string decoded;
        ASSERT_EQ(codec.Decode(stored, decoded), 0) << stored;
        EXPECT_EQ(decoded, plain) << stored;
    }

    // A text that was never encoded is not refused; it gives unreadable bytes.
    std::string garbage;
    EXPECT_EQ(codec.Decode("not encoded!", garbage), 0);
    EXPECT_FALSE(garbage.empty());
}

// A Windows installation stored the bytes of code page 1252; they come back
// as UTF-8, while a UTF-8 password stays as it is.
TEST(PasswordCodecTest, PasswordsStoredInCodePage1252ComeBackAsUtf8)
{
    PasswordCodec codec;
    const std::vector<Vector> cases = {
        {"p\xE4ssw\xF6rd\x80", "pässwörd€"},
        {"\x93quoted\x94 \x85 \x9F", "“quoted” … Ÿ"},
        {"pässwörd€", "pässwörd€"},
    };
    for (const auto& [storedBytes, expected] : cases) {
        std::string stored;
        ASSERT_EQ(codec.Encode(storedBytes, stored), 0);
        std::string decoded;
        ASSERT_EQ(codec.Decode(stored, decoded), 0);
        EXPECT_EQ(decoded, expected);
    }
}

// Callers fall back to their input on any nonzero code, and `out` keeps
// what it held.
TEST(PasswordCodecTest, EmptyInputsAndEmptyResultsAreRefused)
{
    PasswordCodec codec;
    std::string out = "unchanged";
    EXPECT_EQ(codec.Encode("", out), 13);
    EXPECT_EQ(codec.Decode("", out), 13);
    EXPECT_EQ(codec.Decode(" \r\n\t ", out), 13);
    EXPECT_EQ(codec.Decode("A", out), 13);
    EXPECT_EQ(out, "unchanged");
}

} // namespace

#include "text/Text.h"
#include "text/Unicode.h"

#include <gtest/gtest.h>

#include <string>

// Names and passwords in any script reach the server's wide calls and come
// back unchanged; what is not UTF-8 never breaks the text around it.
TEST(Unicode, EveryPlaneRoundTripsAndBrokenInputBecomesReplacementCharacters)
{
    const std::string names[] = {
        "Sales", "Verk\xC3\xA4ufe", "\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB4\xD0\xB0\xD0\xB6\xD0\xB8",
        "\xE5\xA3\xB2\xE4\xB8\x8A", "\xF0\x9F\x98\x80 db", std::string("nul\0inside", 10), "",
    };
    for (const std::string& name : names) {
        EXPECT_TRUE(text::IsValidUtf8(name));
        EXPECT_EQ(text::Utf16ToUtf8(text::Utf8ToUtf16(name)), name);
    }
    EXPECT_EQ(text::Utf8ToUtf16("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00}));

    struct Broken {
        std::string bytes;
        std::u16string wide;
    };
    const Broken broken[] = {
        {"a\xFFz", u"a\uFFFDz"},                // a byte no sequence starts with
        {"\xC3", u"\uFFFD"},                    // cut short at the end
        {"\xC0\xAF", u"\uFFFD\uFFFD"},          // overlong "/"
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"}, // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // above U+10FFFF
        {"\xE2\x82x", u"\uFFFD\uFFFDx"},        // a continuation missing
    };
    for (const Broken& b : broken) {
        EXPECT_FALSE(text::IsValidUtf8(b.bytes)) << b.bytes;
        EXPECT_EQ(text::Utf8ToUtf16(b.bytes), b.wide) << b.bytes;
    }
    // A replacement character written out is text like any other.
    EXPECT_TRUE(text::IsValidUtf8("\xEF\xBF\xBD"));
    // Unpaired surrogates from the other side.
    EXPECT_EQ(text::Utf16ToUtf8(std::u16string{u'a', 0xD800, u'b', 0xDC00}), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    EXPECT_EQ(text::Utf16ToUtf8(std::u16string{0xDE00, 0xD83D}), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Unicode, WindowsTextIsReadAsCodePage1252AndUtf8IsLeftAlone)
{
    EXPECT_EQ(text::Cp1252ToUtf8("\x80 \xE4\x9F"), "\xE2\x82\xAC \xC3\xA4\xC5\xB8");
    // The bytes the code page leaves undefined map to the C1 controls.
    EXPECT_EQ(text::Cp1252ToUtf8("\x81\x9D"), "\xC2\x81\xC2\x9D");
    EXPECT_EQ(text::Utf8OrCp1252("Verk\xC3\xA4ufe"), "Verk\xC3\xA4ufe");
    EXPECT_EQ(text::Utf8OrCp1252("Verk\xE4ufe"), "Verk\xC3\xA4ufe");
}

TEST(Text, TrimCaseAndPrintableNames)
{
    EXPECT_EQ(text::Trim(" \t\r\n\f\vSales \r\n"), "Sales");
    EXPECT_EQ(text::Trim("\r value \t", " \t"), "\r value");
    EXPECT_EQ(text::Trim(" \t "), "");
    // A view into the text, also when nothing is left: readers take offsets from it.
    const std::string_view blank = "key=  \t";
    EXPECT_EQ(text::Trim(blank.substr(4)).data(), blank.data() + blank.size());
    EXPECT_TRUE(text::IsBlank(" \t\r\n"));
    EXPECT_FALSE(text::IsBlank(" x "));

    EXPECT_TRUE(text::EqualsIgnoringCase("Verify_Backup", "VERIFY_BACKUP"));
    EXPECT_FALSE(text::EqualsIgnoringCase("TRUE", "TRUEX"));
    // Only ASCII letters fold: other scripts compare as written.
    EXPECT_FALSE(text::EqualsIgnoringCase("\xC3\x84", "\xC3\xA4"));
    EXPECT_EQ(text::ToUpper("tcp:h\xC3\xA4st"), "TCP:H\xC3\xA4ST");
    EXPECT_TRUE(text::StartsWithIgnoringCase("select @@SPID", "SELECT"));
    EXPECT_FALSE(text::StartsWithIgnoringCase("SEL", "SELECT"));

    EXPECT_EQ(text::PrintableName("line\nbreak\r\ttab\a\x7F"), "line\\nbreak\\r\\ttab\\x07\\x7F");
    EXPECT_EQ(text::PrintableName("Verk\xC3\xA4ufe"), "Verk\xC3\xA4ufe");
}

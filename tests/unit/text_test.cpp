// Text cutting and codecs: byte-exact behaviour on markers, base64, hexadecimal and URI texts.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "KVBSignLibInternal.h"

namespace {

using K = KVBSignLibInternal;
using namespace std::string_literals;

struct Case {
    const char* name;
    std::string in;
    std::string want;
};

TEST(StringRange, CutsAfterStartThenBeforeEnd) {
    struct RangeCase {
        const char* name;
        std::string text, start, end, want;
    };
    const RangeCase cases[] = {
        {"both markers", "a<x>b</x>c", "<x>", "</x>", "b"},
        {"no start marker: text up to the end marker", "a<x>b</x>c", "<y>", "</x>", "a<x>b"},
        {"no end marker: text after the start marker", "a<x>b</x>c", "<x>", "</y>", "b</x>c"},
        {"end marker before start is skipped", "</x><x>b</x>", "<x>", "</x>", "b"},
        {"first start marker counts", "<x>1</x><x>2</x>", "<x>", "</x>", "1"},
        {"case-sensitive", "<X>b</x>", "<x>", "</x>", "<X>b"},
        {"empty start leaves the text", "a<x>b</x>c", "", "</x>", "a<x>b"},
        {"empty end yields nothing", "a<x>b</x>c", "<x>", "", ""},
        {"neither marker", "abc", "<x>", "</x>", "abc"},
        {"NUL and high bytes are ordinary", "\0<x>\xff\0b</x>"s, "<x>", "</x>", "\xff\0b"s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::stringRange(c.text, c.start, c.end), c.want);
    }
}

TEST(UniteLines, RemovesOnlyCrAndLf) {
    const Case cases[] = {
        {"CR LF, lone CR, lone LF", "a\r\nb\rc\nd", "abcd"},
        {"only line breaks", "\n\r\r\n", ""},
        {"other white space and bytes stay", " a\tb\0\xff "s, " a\tb\0\xff "s},
        {"CR LF runs", "\r\n\r\na\r\n", "a"},
        {"LF CR", "a\n\rb", "ab"},
        {"doubled CR and LF", "a\r\rb\n\nc", "abc"},
        {"lone CR at the end", "ab\r", "ab"},
        {"empty", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::unite_lines(c.in), c.want);
    }
}

TEST(ExtractAttribute, ValueAfterFirstKeyUpToQuote) {
    const Case cases[] = {
        {"plain", "x URI=\"a%20b\"/>", "a%20b"},
        {"no key", "x HREF=\"a\"/>", ""},
        {"no closing quote: rest of the text", "x URI=\"a b/>", "a b/>"},
        {"tail of a longer name", "x baseURI=\"q\" URI=\"r\"", "q"},
        {"blank around the equals sign is not the key", "x URI = \"a\"", ""},
        {"single quotes do not delimit", "x URI='a'", ""},
        {"empty value", "URI=\"\"", ""},
        {"raw value, no decoding", "URI=\"a&amp;b\"", "a&amp;b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::extractAttribute(c.in, "URI"), c.want);
    }
}

TEST(FoundStr, ContiguousCaseSensitiveBytes) {
    EXPECT_TRUE(foundStr("", "abc"));
    EXPECT_TRUE(foundStr("", ""));
    EXPECT_TRUE(foundStr("bc", "abc"));
    EXPECT_FALSE(foundStr("BC", "abc"));
    EXPECT_FALSE(foundStr("ac", "abc"));
    EXPECT_TRUE(foundStr("\0b"s, "a\0b"s));
    EXPECT_FALSE(foundStr("\0c"s, "a\0b"s));
}

TEST(Base64Format, LinesOf64EachEndingInLf) {
    const std::string chars130(130, 'Q');
    const Case cases[] = {
        {"130 characters", chars130, std::string(64, 'Q') + "\n" + std::string(64, 'Q') + "\nQQ\n"},
        {"exactly 64", std::string(64, 'Q'), std::string(64, 'Q') + "\n"},
        {"empty", "", ""},
        {"only line breaks", "\r\n\n", ""},
        {"old line breaks dropped before counting", "ab\r\ncd\nef", "abcdef\n"},
        {"blanks count like characters", std::string(63, 'Q') + "  Q", std::string(63, 'Q') + " \n Q\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::__base64_string_format(c.in), c.want);
    }
}

// Encodes with the library's block encoder: one line, no line breaks.
std::string encodeBlock(const std::string& bytes) {
    std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(n));
}

std::string breakEvery(const std::string& text, size_t width, const std::string& lineEnd) {
    std::string out;
    for (size_t i = 0; i < text.size(); i += width) out += text.substr(i, width) + lineEnd;
    return out;
}

TEST(Base64Decode, SameBytesWithAndWithoutLineBreaks) {
    std::string payload;
    for (int i = 0; i < 601; ++i) payload.push_back(static_cast<char>((i * 37 + 11) & 0xFF));
    const std::string flat = encodeBlock(payload);
    ASSERT_GT(flat.size(), 64u);

    const Case cases[] = {
        {"one line", flat, payload},
        {"CR LF every 76", breakEvery(flat, 76, "\r\n"), payload},
        {"LF every 10", breakEvery(flat, 10, "\n"), payload},
        {"lone CR every 3", breakEvery(flat, 3, "\r"), payload},
        {"short value with padding", "QUI=", "AB"},
        {"empty", "", ""},
        {"only line breaks", "\r\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::base64_decodestring(c.in), c.want);
    }
}

TEST(Base64Decode, RejectedTextYieldsOnlyWhatWasDecodedBeforeIt) {
    // No error is reported; the result must never hold more than the decoder delivered.
    const std::string good = "ABCDEFGHI";
    const std::string got = K::base64_decodestring(encodeBlock(good) + "*not base64*");
    EXPECT_LE(got.size(), good.size());
    EXPECT_EQ(good.compare(0, got.size(), got), 0) << "got " << got;
    EXPECT_EQ(K::base64_decodestring("****"), "");
}

TEST(Base64Decode, PadsMinusAndStrayBytesAsTheDecoderTakesThem) {
    // Values the decoder's own rules give; line breaks never change them.
    const std::string sixteenGroups = "A\x04\x10" "A\x04\x10" "A\x04\x10" "A\x04\x10" "A\x04\x10" "A\x04\x10"
                                      "A\x04\x10" "A\x04\x10" "A\x04\x10" "A\x04\x10" "A\x04\x10" "A\x04\x10"
                                      "A\x04\x10" "A\x04\x10" "A\x04\x10" "A\x04\x10";
    const Case cases[] = {
        {"pad in the middle", "QQ==QUJD", "A\0\0"s},
        {"data after the pad", "QUI=QQ", "AB\0"s},
        {"minus ends the text", "QUJD-REVG", "ABC"},
        {"blanks and tabs", " QU JD\tRE VG ", "ABCDEF"},
        {"three digits", "QUJ", ""},
        {"over 64 digits with a pad", std::string(68, 'Q') + "QQ==", sixteenGroups + "A\x04\x10" "A"},
        {"bad byte after a line", std::string(64, 'Q') + "\n*QUJD", sixteenGroups},
        {"lone pad", "=", ""},
        {"line breaks inside a group", "Q\r\nU\nJ\rD", "ABC"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::base64_decodestring(c.in), c.want);
        EXPECT_EQ(K::base64DecodeView(c.in), c.want);
        // Line breaks are ignored wherever they stand, also between the digits of one group.
        EXPECT_EQ(K::base64DecodeView(breakEvery(c.in, 1, "\r\n")), c.want);
    }
}

TEST(DigestToHex, LowercaseAndAtMost510Bytes) {
    const unsigned char three[] = {0x00, 0xAB, 0xFF};
    EXPECT_EQ(K::digest_to_hex_string(three, 3), "00abff");
    EXPECT_EQ(K::digest_to_hex_string(three, 0), "");

    std::vector<unsigned char> bytes(600);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
    std::string want;
    const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < 510; ++i) {
        want.push_back(digits[bytes[i] >> 4]);
        want.push_back(digits[bytes[i] & 0xF]);
    }
    const std::string got = K::digest_to_hex_string(bytes.data(), bytes.size());
    EXPECT_EQ(got.size(), 1020u);
    EXPECT_EQ(got, want);
    EXPECT_EQ(K::digest_to_hex_string(bytes.data(), 510), want);
    EXPECT_EQ(K::digest_to_hex_string(bytes.data(), 509), want.substr(0, 1018));
}

TEST(Hex2Byte, ReadsLeadingHexDigits) {
    struct HexCase {
        const char* in;
        unsigned want;
    };
    const HexCase cases[] = {
        {"ff", 255}, {"FF", 255}, {"7", 7}, {"0a", 10}, {"zz", 0}, {"", 0}, {" 1a", 0x1a}, {"1G", 1}, {"100", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(K::hex2byte(c.in), c.want);
    }
}

TEST(UriPercentEncode, KeepsUnreservedAndSlash) {
    const Case cases[] = {
        {"blank and plus", "dir/a b+c~.txt", "dir/a%20b%2bc~.txt"},
        {"UTF-8 bytes", "\xc3\xa9", "%c3%a9"},
        {"unreserved set unchanged", "AZaz09-_.~/", "AZaz09-_.~/"},
        {"reserved and percent", ":?#%&", "%3a%3f%23%25%26"},
        {"NUL and control bytes", "\0\t\x7f"s, "%00%09%7f"},
        {"empty", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::uriPercentEncode(c.in), c.want);
    }
}

TEST(UriDecode, DecodesEscapesOnceUpToTheLastByte) {
    const Case cases[] = {
        {"both cases", "a%2Fb%2fc", "a/b/c"},
        {"escape ending at the last byte", "x%41", "xA"},
        {"one digit only", "%4", "%4"},
        {"lone percent", "%", "%"},
        {"not hexadecimal", "%zz", "%zz"},
        {"plus stays", "a+b", "a+b"},
        {"percent before an escape", "%%41", "%A"},
        {"no second decoding", "%2541", "%41"},
        {"NUL escape", "a%00b", "a\0b"s},
        {"high byte after percent", "%\xc3" "1", "%\xc3" "1"},
        {"half escape at the end", "ab%4", "ab%4"},
        {"high byte decoded", "%c3%A9", "\xc3\xa9"},
        {"empty", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::UriDecode(c.in), c.want);
    }
}

TEST(UriDecode, BadAndCutEscapesStay) {
    const Case cases[] = {
        {"percent at the end", "ab%", "ab%"},
        {"one digit at the end", "ab%4", "ab%4"},
        {"bad first digit", "%g1%41", "%g1A"},
        {"bad second digit", "%1g%41", "%1gA"},
        {"escape after a half escape", "%4%41", "%4A"},
        {"percent runs", "%%%", "%%%"},
        {"escape then percent at the end", "%41%", "A%"},
        {"mixed case digits", "%fF%Ff%aB", "\xff\xff\xab"},
        {"NUL escape first", "%00x", "\0x"s},
        {"escapes back to back", "%41%42%43", "ABC"},
        {"only an escape", "%7e", "~"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::UriDecode(c.in), c.want);
    }
}

TEST(HtmlEntitiesDecode, EveryRowBecomesItsEscape) {
    const Case rows[] = {
        {"row 0", "& #34;", "%22"}, {"row 1", "&quot;", "%22"}, {"row 2", "& #39;", "%27"},
        {"row 3", "&apos;", "%27"}, {"row 4", "& #38;", "%26"}, {"row 5", "&amp;", "%26"},
        {"row 6", "& #60;", "%3C"}, {"row 7", "&lt;", "%3C"},   {"row 8", "& #62;", "%3E"},
        {"row 9", "&gt;", "%3E"},   {"row 10", "&34;", "%22"},  {"row 11", "&39;", "%27"},
        {"row 12", "&38;", "%26"},  {"row 13", "&60;", "%3C"},  {"row 14", "&62;", "%3E"},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::htmlEntitiesDecode("a" + c.in + "b" + c.in), "a" + c.want + "b" + c.want);
    }

    const Case others[] = {
        {"mixed forms", "&amp;&lt;& #62;&39;", "%26%3C%3E%27"},
        {"numeric form without blank stays", "&#34;", "&#34;"},
        {"hexadecimal reference stays", "&#x22;", "&#x22;"},
        {"one level only", "&amp;quot;", "%26quot;"},
        {"adjacent entities", "&amp;&amp;&amp;", "%26%26%26"},
        {"NUL bytes kept", "\0&gt;\0"s, "\0%3E\0"s},
    };
    for (const auto& c : others) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::htmlEntitiesDecode(c.in), c.want);
    }
    EXPECT_EQ(K::UriDecode(K::htmlEntitiesDecode("a&amp;b & #60;&quot;")), "a&b <\"");
    EXPECT_EQ(K::UriDecode(K::htmlEntitiesDecode("&amp;quot;")), "&quot;");
}

TEST(HtmlEntitiesDecode, OverlappingAndCutFormsAsRowByRowReplacement) {
    struct EntityCase {
        const char* name;
        std::string in;
        std::string entities;  // htmlEntitiesDecode
        std::string path;      // then UriDecode
    };
    const EntityCase cases[] = {
        {"ampersand before an entity", "&&quot;", "&%22", "&\""},
        {"entity of an entity", "&amp;quot;", "%26quot;", "&quot;"},
        {"entities at the start and the end", "&quot;x&quot;", "%22x%22", "\"x\""},
        {"numeric forms with a blank", "& #34;& #39;& #38;& #60;& #62;", "%22%27%26%3C%3E", "\"'&<>"},
        {"numeric forms without #", "&34;&39;&38;&60;&62;", "%22%27%26%3C%3E", "\"'&<>"},
        {"cut entities", "& #3&qu&lt&62", "& #3&qu&lt&62", "& #3&qu&lt&62"},
        {"only ampersands", "&&&", "&&&", "&&&"},
        {"numeric form with # and no blank", "&#34;&#39;", "&#34;&#39;", "&#34;&#39;"},
        {"double blank", "&  #34;", "&  #34;", "&  #34;"},
        {"nested in a numeric form", "& & #34;;", "& %22;", "& \";"},
        {"all named forms", "a&lt;b&gt;c&apos;d&quot;e&amp;f", "a%3Cb%3Ec%27d%22e%26f", "a<b>c'd\"e&f"},
        {"ampersand at the end", "x&", "x&", "x&"},
        {"ampersand before a numeric form", "&&34;;", "&%22;", "&\";"},
        {"three forms of one character", "& #60;&lt;&60;", "%3C%3C%3C", "<<<"},
        {"NUL and high bytes", "\0&amp;\xff&\xff;"s, "\0%26\xff&\xff;"s, "\0&\xff&\xff;"s},
        {"upper case is no entity", "&QUOT;&Amp;", "&QUOT;&Amp;", "&QUOT;&Amp;"},
        {"escape written out stays one level", "%26quot;", "%26quot;", "&quot;"},
        {"empty", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::htmlEntitiesDecode(c.in), c.entities);
        EXPECT_EQ(K::UriDecode(K::htmlEntitiesDecode(c.in)), c.path);
        EXPECT_EQ(K::decodeUriText(c.in), c.path);
    }
}

TEST(TextViews, CutTheSameRangesAsTheCopies) {
    const std::string text = "a<x>b</x>c<x>d</x>";
    struct RangeCase {
        const char* name;
        std::string start, end;
        size_t offset, length;  // of the range in text
    };
    const RangeCase cases[] = {
        {"both markers", "<x>", "</x>", 4, 1},
        {"no start marker", "<y>", "</x>", 0, 5},
        {"no end marker", "<x>", "</y>", 4, 14},
        {"empty start", "", "</x>", 0, 5},
        {"empty end", "<x>", "", 4, 0},
        {"end marker overlapping the start marker", "<x>", "x>", 4, 3},
        {"start marker at the very end", "</x>", "<x>", 9, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string_view view = K::stringRangeView(text, c.start, c.end);
        EXPECT_EQ(view.data() - text.data(), static_cast<std::ptrdiff_t>(c.offset));
        EXPECT_EQ(view.size(), c.length);
        EXPECT_EQ(K::stringRange(text, c.start, c.end), std::string(view));
    }
    EXPECT_EQ(K::stringRangeView("", "<x>", "</x>").size(), 0u);

    const std::string tag = "<R URI=\"a b\" x=\"y\"/>";
    const std::string_view value = K::extractAttributeView(tag, "URI");
    EXPECT_EQ(value, "a b");
    EXPECT_EQ(value.data() - tag.data(), 8);
    EXPECT_EQ(K::extractAttributeView(tag, "none"), "");
    EXPECT_EQ(K::extractAttributeView("URI=\"open", "URI"), "open");
}

// Routines that rewrite a text, each over a few megabytes made to hit its worst case: the
// results must still be exact.
TEST(TextRoutines, LargeHostileInputs) {
    const size_t n = 1 << 20;
    auto repeat = [n](const std::string& unit) {
        std::string out;
        out.reserve(n * unit.size());
        for (size_t i = 0; i < n; ++i) out += unit;
        return out;
    };
    EXPECT_EQ(K::htmlEntitiesDecode(repeat("&quot;")), repeat("%22"));
    EXPECT_EQ(K::htmlEntitiesDecode(repeat("&&quot;")), repeat("&%22"));
    EXPECT_EQ(K::decodeUriText(repeat("&amp;quot;")), repeat("&quot;"));
    EXPECT_EQ(K::UriDecode(repeat("%41%")), repeat("A%"));
    EXPECT_EQ(K::unite_lines(repeat("a\r\n")), std::string(n, 'a'));

    const std::string big(3 * n, 'Q');
    const std::string bytes = K::base64_decodestring(big);
    EXPECT_EQ(bytes.size(), 9 * n / 4);
    EXPECT_EQ(K::base64DecodeView(repeat("QUJD\r\n")), repeat("ABC"));

    const std::string text = "x" + repeat("<a>") + "y";
    EXPECT_EQ(K::stringRange(text, "<a>", "y"), repeat("<a>").substr(3));
}

TEST(UppercaseHex, KeyHashAndDigestComparison) {
    const std::string hash = "A9993E364706816ABA3E25717850C26C9CD0D89D";  // SHA-1 of "abc"
    EXPECT_TRUE(isValidKeyHash(hash));
    EXPECT_TRUE(isValidKeyHash(std::string(40, '0')));
    EXPECT_FALSE(isValidKeyHash(hash.substr(1)));
    EXPECT_FALSE(isValidKeyHash(hash + "0"));
    EXPECT_FALSE(isValidKeyHash("a9993e364706816aba3e25717850c26c9cd0d89d"));
    EXPECT_FALSE(isValidKeyHash(hash.substr(1) + "G"));
    EXPECT_FALSE(isValidKeyHash(hash + "\n"));
    EXPECT_FALSE(isValidKeyHash(hash + "\0tail"s));
    EXPECT_FALSE(isValidKeyHash(""));

    EXPECT_EQ(charToHexDigit('0'), 0);
    EXPECT_EQ(charToHexDigit('9'), 9);
    EXPECT_EQ(charToHexDigit('A'), 10);
    EXPECT_EQ(charToHexDigit('F'), 15);
    char pair[] = "3E";
    EXPECT_EQ(stringToByte(pair), 0x3E);

    unsigned char digest[20];
    unsigned int length = 0;
    ASSERT_EQ(EVP_Digest("abc", 3, digest, &length, EVP_sha1(), nullptr), 1);
    EXPECT_TRUE(isHashValueEqual(digest, hash.c_str()));
    std::string changed = hash;
    changed[39] = 'C';
    EXPECT_FALSE(isHashValueEqual(digest, changed.c_str()));
    EXPECT_FALSE(isHashValueEqual(digest, "a9993e364706816aba3e25717850c26c9cd0d89d"));
    // A text shorter than 40 digits is never read past its end.
    EXPECT_FALSE(isHashValueEqual(digest, hash.substr(0, 38).c_str()));
    EXPECT_FALSE(isHashValueEqual(digest, ""));
}

}  // namespace

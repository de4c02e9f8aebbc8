// Text cutting and codecs. Every routine works on byte strings: NUL and 0x80-0xFF are
// ordinary bytes, and character classes are plain ASCII whatever the locale.
#include <regex.h>

#include <climits>
#include <cstring>
#include <locale>
#include <sstream>
#include <string_view>
#include <vector>

#include "KVBSignLibInternal.h"
#include "SafeStringAPIs.h"
#include "ossl_ptr.h"

namespace {

bool isAsciiLetterOrDigit(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

const char kLowerHex[] = "0123456789abcdef";

bool isBase64DigitOrPad(unsigned char c) { return isAsciiLetterOrDigit(c) || c == '+' || c == '/' || c == '='; }

// Hexadecimal digit values indexed by the unsigned byte; -1 for anything else.
constexpr signed char HEX2DEC[256] = {
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x00
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x10
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x20
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  -1, -1, -1, -1, -1, -1,  // 0x30 '0'-'9'
    -1, 10, 11, 12, 13, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x40 'A'-'F'
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x50
    -1, 10, 11, 12, 13, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x60 'a'-'f'
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x70
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x80
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x90
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0xA0
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0xB0
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0xC0
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0xD0
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0xE0
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0xF0
};

struct EntityRow {
    std::string_view entity;
    std::string_view replacement;
};

// Applied in this order. Besides the named entities, the numeric forms are taken as they
// occur in manifests: with a blank between "&" and "#", or without the "#".
constexpr EntityRow kEntityRows[] = {
    {"& #34;", "%22"}, {"&quot;", "%22"}, {"& #39;", "%27"}, {"&apos;", "%27"}, {"& #38;", "%26"},
    {"&amp;", "%26"},  {"& #60;", "%3C"}, {"&lt;", "%3C"},   {"& #62;", "%3E"}, {"&gt;", "%3E"},
    {"&34;", "%22"},   {"&39;", "%27"},   {"&38;", "%26"},   {"&60;", "%3C"},   {"&62;", "%3E"},
};

}  // namespace

std::string_view KVBSignLibInternal::stringRangeView(std::string_view text, std::string_view start,
                                                     std::string_view end) {
    const size_t p = text.find(start);
    const size_t from = p == std::string_view::npos ? 0 : p + start.size();
    // The end marker is sought only after the start marker.
    const size_t q = text.find(end, from);
    return text.substr(from, q == std::string_view::npos ? std::string_view::npos : q - from);
}

std::string KVBSignLibInternal::stringRange(const std::string& text, const std::string& start,
                                            const std::string& end) {
    return std::string(stringRangeView(text, start, end));
}

std::string KVBSignLibInternal::unite_lines(std::string text) {
    // In place: the text is already a copy, and what stays only moves towards the front.
    size_t kept = 0;
    for (char c : text) {
        if (c != '\r' && c != '\n') text[kept++] = c;
    }
    text.resize(kept);
    return text;
}

std::string_view KVBSignLibInternal::extractAttributeView(std::string_view text, std::string_view name) {
    std::string key(name);
    key += "=\"";
    const size_t p = text.find(key);
    if (p == std::string_view::npos) return std::string_view();
    const size_t valueStart = p + key.size();
    const size_t quote = text.find('"', valueStart);
    return text.substr(valueStart, quote == std::string_view::npos ? std::string_view::npos : quote - valueStart);
}

std::string KVBSignLibInternal::extractAttribute(const std::string& text, std::string name) {
    return std::string(extractAttributeView(text, name));
}

bool foundStr(const std::string& needle, const std::string& haystack) {
    return haystack.find(needle) != std::string::npos;
}

std::string KVBSignLibInternal::__base64_string_format(const std::string& text) {
    const std::string flat = unite_lines(text);
    std::string out;
    out.reserve(flat.size() + flat.size() / 64 + 1);
    for (size_t pos = 0; pos < flat.size(); pos += 64) {
        out.append(flat, pos, 64);
        out.push_back('\n');
    }
    return out;
}

std::string KVBSignLibInternal::base64DecodeView(std::string_view text) {
    // The decoder ignores CR and LF wherever they stand, so the text is decoded as it is and
    // only the length of the reflowed text that it stands for is judged.
    size_t united = 0;
    size_t digits = 0;
    for (char c : text) {
        if (c != '\r' && c != '\n') ++united;
        if (isBase64DigitOrPad(static_cast<unsigned char>(c))) ++digits;
    }
    if (united == 0) return "";
    // The decoder takes an int length; a text that long is no base64 value of ours.
    if (united + (united + 63) / 64 > static_cast<size_t>(INT_MAX)) return "";
    std::string flat;
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        // Only line breaks make it that long; without them it fits.
        flat = unite_lines(std::string(text));
        text = flat;
    }

    kvbsign::EvpEncodeCtxPtr ctx(EVP_ENCODE_CTX_new());
    if (!ctx) return "";
    // Every four base64 digits (or pads) give at most three bytes; nothing else gives any.
    std::string out(3 * (digits / 4) + 3, '\0');
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&out[0]);
    int updateLength = 0;
    int finalLength = 0;
    EVP_DecodeInit(ctx.get());
    // A rejected text yields what the decoder delivered before it stopped; callers find out
    // through what they do with the bytes.
    EVP_DecodeUpdate(ctx.get(), bytes, &updateLength, reinterpret_cast<const unsigned char*>(text.data()),
                     static_cast<int>(text.size()));
    if (updateLength < 0) updateLength = 0;
    EVP_DecodeFinal(ctx.get(), bytes + updateLength, &finalLength);
    if (finalLength < 0) finalLength = 0;
    out.resize(static_cast<size_t>(updateLength) + static_cast<size_t>(finalLength));
    return out;
}

std::string KVBSignLibInternal::base64_decodestring(std::string text) { return base64DecodeView(text); }

std::string KVBSignLibInternal::digest_to_hex_string(const unsigned char* bytes, unsigned long count) {
    const unsigned long n = count < kMaxHexBytes ? count : kMaxHexBytes;
    if (n == 0 || bytes == nullptr) return "";
    std::vector<char> buffer(2 * n + 1, '\0');
    for (unsigned long i = 0; i < n; ++i) {
        sprintf_safe(buffer.data() + 2 * i, 2 * n + 1 - 2 * i, "%02x", static_cast<unsigned int>(bytes[i]));
    }
    return std::string(buffer.data(), 2 * n);
}

unsigned char KVBSignLibInternal::hex2byte(const char* text) {
    if (text == nullptr) return 0;
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    unsigned short value = 0;
    in >> std::hex >> value;
    return static_cast<unsigned char>(value % 256);
}

std::string KVBSignLibInternal::uriPercentEncode(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (char ch : path) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (isAsciiLetterOrDigit(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kLowerHex[c >> 4]);
            out.push_back(kLowerHex[c & 0x0F]);
        }
    }
    return out;
}

namespace {

// Escapes decoded in place: an escape of three bytes becomes one, so the text is written
// behind the place where it is read.
void percentDecodeInPlace(std::string& text) {
    const size_t n = text.size();
    size_t kept = 0;
    size_t i = 0;
    // An escape needs the "%" and two digits, so the scan stops two bytes before the end.
    while (i + 2 < n) {
        if (text[i] == '%') {
            const signed char high = HEX2DEC[static_cast<unsigned char>(text[i + 1])];
            const signed char low = HEX2DEC[static_cast<unsigned char>(text[i + 2])];
            if (high != -1 && low != -1) {
                text[kept++] = static_cast<char>(high * 16 + low);
                i += 3;
                continue;
            }
        }
        text[kept++] = text[i++];
    }
    while (i < n) text[kept++] = text[i++];
    text.resize(kept);
}

std::string entitiesDecoded(std::string_view in) {
    // One pass gives what replacing row after row gives: every entity holds a single "&", its
    // first byte, so no two matches overlap and at most one row matches at an "&"; and no
    // replacement holds an "&" or can be part of an entity, so none makes or spoils a match.
    std::string out;
    out.reserve(in.size());
    size_t pos = 0;
    // Each pass moves pos past one "&" or to the end.
    while (pos < in.size()) {
        const size_t amp = in.find('&', pos);
        if (amp == std::string_view::npos) {
            out.append(in, pos, std::string_view::npos);
            break;
        }
        out.append(in, pos, amp - pos);
        const std::string_view rest = in.substr(amp);
        const EntityRow* match = nullptr;
        for (const EntityRow& row : kEntityRows) {
            if (rest.compare(0, row.entity.size(), row.entity) == 0) {
                match = &row;
                break;
            }
        }
        if (match == nullptr) {
            out.push_back('&');
            pos = amp + 1;
        } else {
            out.append(match->replacement);
            pos = amp + match->entity.size();
        }
    }
    return out;
}

}  // namespace

std::string KVBSignLibInternal::UriDecode(const std::string& text) {
    std::string out = text;
    percentDecodeInPlace(out);
    return out;
}

std::string KVBSignLibInternal::htmlEntitiesDecode(const std::string& text) { return entitiesDecoded(text); }

std::string KVBSignLibInternal::decodeUriText(std::string_view text) {
    std::string out = entitiesDecoded(text);
    percentDecodeInPlace(out);
    return out;
}

bool isValidKeyHash(const std::string& text) {
    // regexec stops at a NUL byte, so a text holding one would be judged by its head only.
    if (text.find('\0') != std::string::npos) return false;
    regex_t expression;
    if (regcomp(&expression, "^[A-F0-9]{40}$", REG_EXTENDED | REG_NOSUB) != 0) return false;
    const bool matched = regexec(&expression, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&expression);
    return matched;
}

unsigned char charToHexDigit(char c) {
    if (c < 'A') return static_cast<unsigned char>(c - '0');
    return static_cast<unsigned char>(c - 'A' + 10);
}

unsigned char stringToByte(char* p) {
    if (p == nullptr) return 0;
    return static_cast<unsigned char>((16 * charToHexDigit(p[0]) + charToHexDigit(p[1])) % 256);
}

bool isHashValueEqual(unsigned char* digest, const char* hex) {
    // A text shorter than the 40 digits of a SHA-1 digest cannot equal one, and reading on
    // would run past its end.
    if (digest == nullptr || hex == nullptr || strnlen(hex, 40) < 40) return false;
    for (int i = 0; i < 20; ++i) {
        char pair[2] = {hex[2 * i], hex[2 * i + 1]};
        if (digest[i] != stringToByte(pair)) return false;
    }
    return true;
}

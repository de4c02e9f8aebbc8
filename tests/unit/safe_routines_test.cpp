// Bounded memory, string, formatting and number-to-text routines.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "SafeMemoryAPIs.h"
#include "SafeStringAPIs.h"
#include "cli_runner.h"

namespace {

constexpr char kUntouched = '#';
constexpr size_t kGuard = 8;

// A destination of `size` usable bytes followed by guard bytes that no routine may reach.
class Dest {
public:
    explicit Dest(size_t size, const std::string& initial = "") : size_(size), bytes_(size + kGuard, kUntouched) {
        memcpy(bytes_.data(), initial.data(), std::min(initial.size(), size));
    }
    char* data() { return bytes_.data(); }
    size_t size() const { return size_; }
    std::string text() const { return std::string(bytes_.data(), strnlen(bytes_.data(), size_)); }
    bool terminated() const { return memchr(bytes_.data(), '\0', size_) != nullptr; }
    bool guardIntact() const {
        for (size_t i = size_; i < bytes_.size(); ++i)
            if (bytes_[i] != kUntouched) return false;
        return true;
    }
    std::string raw(size_t n) const { return std::string(bytes_.data(), n); }

private:
    size_t size_;
    std::vector<char> bytes_;
};

// --- memory routines ---

TEST(SafeMemory, CopyMoveAndFillRespectTheDestinationSize) {
    using Fn = std::function<int(void*, size_t)>;
    const char src[] = "abcdefgh";
    struct Case {
        const char* name;
        Fn call;
        size_t dstSize;
        int want;
        std::string wantBytes;  // the first four bytes afterwards
    };
    const Case cases[] = {
        {"memcpy exact fit", [&](void* d, size_t n) { return memcpy_safe(d, n, src, 4); }, 4, 0, "abcd"},
        {"memcpy one too many writes nothing", [&](void* d, size_t n) { return memcpy_safe(d, n, src, 5); }, 4, -2,
         "####"},
        {"memcpy count 0", [&](void* d, size_t n) { return memcpy_safe(d, n, src, 0); }, 4, 0, "####"},
        {"memcpy null source", [&](void* d, size_t n) { return memcpy_safe(d, n, nullptr, 2); }, 4, -1, "####"},
        {"memmove exact fit", [&](void* d, size_t n) { return memmove_safe(d, n, src, 4); }, 4, 0, "abcd"},
        {"memmove too big", [&](void* d, size_t n) { return memmove_safe(d, n, src, 5); }, 4, -2, "####"},
        {"memmove null source", [&](void* d, size_t n) { return memmove_safe(d, n, nullptr, 1); }, 4, -1, "####"},
        {"memset low byte of value", [&](void* d, size_t n) { return memset_safe(d, n, 0x141, 3); }, 4, 0, "AAA#"},
        {"memset too big", [&](void* d, size_t n) { return memset_safe(d, n, 'x', 5); }, 4, -2, "####"},
        {"memset into size 0 with count 0", [&](void* d, size_t n) { return memset_safe(d, n, 'x', 0); }, 0, 0,
         "####"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Dest d(c.dstSize);
        EXPECT_EQ(c.call(d.data(), d.size()), c.want);
        EXPECT_EQ(d.raw(4), c.wantBytes);
        EXPECT_TRUE(d.guardIntact());
    }
    EXPECT_EQ(memcpy_safe(nullptr, 4, src, 1), -1);
    EXPECT_EQ(memmove_safe(nullptr, 4, src, 1), -1);
    EXPECT_EQ(memset_safe(nullptr, 4, 0, 1), -1);
}

TEST(SafeMemory, MoveHandlesOverlap) {
    char buf[] = "abcdef";
    EXPECT_EQ(memmove_safe(buf + 1, 5, buf, 4), 0);
    EXPECT_STREQ(buf, "aabcdf");
    EXPECT_EQ(memmove_safe(buf, 6, buf + 2, 4), 0);
    EXPECT_STREQ(buf, "bcdfdf");
}

// --- copying and appending ---

enum class Op { Cpy, NCpy, Cat, NCat };

int callCopy(Op op, char* dst, size_t size, const char* src, size_t count) {
    switch (op) {
        case Op::Cpy: return strcpy_safe(dst, size, src);
        case Op::NCpy: return strncpy_safe(dst, size, src, count);
        case Op::Cat: return strcat_safe(dst, size, src);
        case Op::NCat: return strncat_safe(dst, size, src, count);
    }
    return 99;
}

TEST(SafeString, CopyAndAppendResultsAndTruncation) {
    struct Case {
        const char* name;
        Op op;
        size_t size;
        std::string initial;  // bytes placed in the destination first
        const char* src;
        size_t count;
        int want;
        std::string wantText;
    };
    const std::string noNul("wxyz", 4);
    const Case cases[] = {
        {"strcpy fits", Op::Cpy, 4, "", "abc", 0, 0, "abc"},
        {"strcpy one too long is cut", Op::Cpy, 4, "", "abcd", 0, -2, "abc"},
        {"strcpy empty source", Op::Cpy, 4, "zz", "", 0, 0, ""},
        {"strcpy null source empties dst", Op::Cpy, 4, "zz", nullptr, 0, -1, ""},
        {"strncpy count below length", Op::NCpy, 3, "", "abcdef", 2, 0, "ab"},
        {"strncpy count fills the buffer", Op::NCpy, 2, "", "abc", 2, -2, "a"},
        {"strncpy count beyond source", Op::NCpy, 3, "", "ab", 5, 0, "ab"},
        {"strncpy count 0 empties dst", Op::NCpy, 3, "xy", "ab", 0, 0, ""},
        {"strncpy count equal to size", Op::NCpy, 3, "", "abc", 3, -2, "ab"},
        {"strcat fits", Op::Cat, 4, std::string("ab\0", 3), "c", 0, 0, "abc"},
        {"strcat too long is cut", Op::Cat, 4, std::string("ab\0", 3), "cd", 0, -2, "abc"},
        {"strcat onto a full buffer", Op::Cat, 4, std::string("abc\0", 4), "d", 0, -2, "abc"},
        {"strcat empty source onto full buffer", Op::Cat, 4, std::string("abc\0", 4), "", 0, 0, "abc"},
        {"strcat without terminator", Op::Cat, 4, noNul, "c", 0, -1, ""},
        {"strncat count 1", Op::NCat, 4, std::string("ab\0", 3), "cd", 1, 0, "abc"},
        {"strncat count 2 is cut", Op::NCat, 4, std::string("ab\0", 3), "cd", 2, -2, "abc"},
        {"strncat count 0 keeps text", Op::NCat, 4, std::string("ab\0", 3), "cd", 0, 0, "ab"},
        {"strncat count beyond source", Op::NCat, 8, std::string("ab\0", 3), "cd", 9, 0, "abcd"},
        // The terminator test comes before the count-0 shortcut.
        {"strncat count 0 without terminator", Op::NCat, 4, noNul, "cd", 0, -1, ""},
        {"strncat null source empties dst", Op::NCat, 4, std::string("ab\0", 3), nullptr, 1, -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Dest d(c.size, c.initial);
        EXPECT_EQ(callCopy(c.op, d.data(), d.size(), c.src, c.count), c.want);
        EXPECT_TRUE(d.terminated());
        EXPECT_EQ(d.text(), c.wantText);
        EXPECT_TRUE(d.guardIntact());
    }
}

TEST(SafeString, NullAndZeroSizeDestinations) {
    // Only the forms that are asked to do nothing at all accept a null destination.
    EXPECT_EQ(strncpy_safe(nullptr, 0, "a", 0), 0);
    EXPECT_EQ(strcat_safe(nullptr, 0, "a"), 0);
    EXPECT_EQ(strcat_safe(nullptr, 0, nullptr), 0);
    EXPECT_EQ(strncat_safe(nullptr, 0, "a", 0), 0);
    EXPECT_EQ(strcpy_safe(nullptr, 0, "a"), -1);
    EXPECT_EQ(strncpy_safe(nullptr, 0, "a", 1), -1);
    EXPECT_EQ(strncat_safe(nullptr, 0, "a", 1), -1);
    EXPECT_EQ(strcpy_safe(nullptr, 4, "a"), -1);

    for (Op op : {Op::Cpy, Op::NCpy, Op::Cat, Op::NCat}) {
        SCOPED_TRACE(static_cast<int>(op));
        Dest d(0);
        EXPECT_EQ(callCopy(op, d.data(), 0, "abc", 0), -1);
        EXPECT_EQ(callCopy(op, d.data(), 0, "abc", 2), -1);
        EXPECT_TRUE(d.guardIntact());  // not a single byte written
    }
}

TEST(SafeString, LengthAndCharacterSearch) {
    EXPECT_EQ(strnlen_safe(nullptr, 10), 0u);
    EXPECT_EQ(strnlen_safe("abc", 2), 2u);
    EXPECT_EQ(strnlen_safe("abc", 10), 3u);
    EXPECT_EQ(strnlen_safe("abc", 0), 0u);

    const char text[] = "abc";
    struct Case {
        const char* name;
        size_t size;
        int c;
        const char* want;
    };
    const Case cases[] = {
        {"found inside the size", 3, 'b', text + 1},
        {"beyond the size", 2, 'c', nullptr},
        {"terminator inside the size", 4, 0, text + 3},
        {"terminator just outside the size", 3, 0, nullptr},
        {"not present", 10, 'z', nullptr},
        {"size 0", 0, 'a', nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(strchr_safe(text, c.size, c.c), c.want);
    }
    EXPECT_EQ(strchr_safe(nullptr, 4, 'a'), nullptr);
    const char high[] = "a\xff";
    EXPECT_EQ(strchr_safe(high, 3, 0xff), high + 1);
}

TEST(SafeString, TokenizerWalksTheBuffer) {
    char buf[8] = {' ', ' ', 'a', ',', ',', 'b', ' ', '\0'};
    char* context = nullptr;
    char* t = strtok_safe(buf, sizeof buf, " ,", &context);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "a");
    t = strtok_safe(nullptr, sizeof buf, " ,", &context);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "b");
    EXPECT_EQ(strtok_safe(nullptr, sizeof buf, " ,", &context), nullptr);
    EXPECT_EQ(strtok_safe(nullptr, sizeof buf, " ,", &context), nullptr);

    // The last byte of the buffer is forced to a terminator: no scan past the buffer.
    char unterminated[4] = {'a', 'b', ',', 'c'};
    context = nullptr;
    t = strtok_safe(unterminated, sizeof unterminated, ",", &context);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "ab");
    EXPECT_EQ(strtok_safe(nullptr, sizeof unterminated, ",", &context), nullptr);
    EXPECT_EQ(unterminated[3], '\0');

    char onlyDelims[] = ",,, ";
    context = nullptr;
    EXPECT_EQ(strtok_safe(onlyDelims, sizeof onlyDelims, ", ", &context), nullptr);
    EXPECT_EQ(context, onlyDelims + 4);
}

TEST(SafeString, TokenizerRefusesBadArguments) {
    char buf[] = "a b";
    char* context = buf;
    EXPECT_EQ(strtok_safe(buf, 0, " ", &context), nullptr);
    EXPECT_STREQ(buf, "a b");  // size 0: nothing touched
    EXPECT_EQ(strtok_safe(buf, sizeof buf, nullptr, &context), nullptr);
    EXPECT_EQ(strtok_safe(buf, sizeof buf, " ", nullptr), nullptr);
    context = nullptr;
    EXPECT_EQ(strtok_safe(nullptr, sizeof buf, " ", &context), nullptr);
    context = buf;
    EXPECT_EQ(strtok_safe(nullptr, 0, " ", &context), nullptr);
}

// Replaces standard input with a file for the lifetime of the object.
class StdinFromFile {
public:
    explicit StdinFromFile(const std::string& path) {
        fflush(stdin);
        __fpurge(stdin);
        saved_ = dup(0);
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (saved_ < 0 || fd < 0 || dup2(fd, 0) < 0) throw std::runtime_error("cannot redirect stdin");
        close(fd);
        clearerr(stdin);
    }
    ~StdinFromFile() {
        __fpurge(stdin);
        dup2(saved_, 0);
        close(saved_);
        clearerr(stdin);
    }

private:
    int saved_ = -1;
};

TEST(SafeString, GetsReadsOneLineAtATime) {
    kvtest::ScratchDir scratch;
    const std::string input = std::string("abc\n") + "abcd\n" + "z\n" + "abcdefghij\n" + "a\xff" "b\n" + "\n" +
                              std::string("a\0b\n", 4) + "xy";  // last line without a line end
    kvtest::writeFile(scratch.file("in"), input);
    StdinFromFile redirect(scratch.file("in"));

    struct Step {
        const char* name;
        bool wantNull;
        std::string wantText;
    };
    const Step steps[] = {
        {"line that fits", false, "abc"},
        {"line that fills the buffer is dropped", false, ""},
        {"next line is read after a dropped one", false, "z"},
        {"long line is dropped and consumed whole", false, ""},
        {"high byte kept", false, "a\xff" "b"},
        {"empty line", false, ""},
        {"embedded NUL is stored", false, "a"},
        {"last line at end of input", false, "xy"},
        {"end of input", true, ""},
        {"still end of input", true, ""},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        Dest d(4);
        char* got = gets_safe(d.data(), d.size());
        if (s.wantNull) {
            EXPECT_EQ(got, nullptr);
        } else {
            EXPECT_EQ(got, d.data());
        }
        EXPECT_TRUE(d.terminated());
        EXPECT_EQ(d.text(), s.wantText);
        EXPECT_TRUE(d.guardIntact());
    }
}

TEST(SafeString, GetsRefusesBadArgumentsWithoutReading) {
    kvtest::ScratchDir scratch;
    kvtest::writeFile(scratch.file("in"), "first\n");
    StdinFromFile redirect(scratch.file("in"));
    char buf[8];
    EXPECT_EQ(gets_safe(nullptr, 8), nullptr);
    EXPECT_EQ(gets_safe(buf, 0), nullptr);
    ASSERT_EQ(gets_safe(buf, sizeof buf), buf);
    EXPECT_STREQ(buf, "first");
}

// --- formatted output ---

TEST(SafeFormat, SprintfReportsLengthOrTruncation) {
    struct Case {
        const char* name;
        size_t size;
        const char* format;
        int want;
        std::string wantText;
    };
    const Case cases[] = {
        {"fits", 4, "%s", 3, "abc"},
        {"one too long", 4, "%sd", -2, "abc"},
        {"empty output", 1, "", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Dest d(c.size, "zz");
        EXPECT_EQ(sprintf_safe(d.data(), d.size(), c.format, "abc"), c.want);
        EXPECT_TRUE(d.terminated());
        EXPECT_EQ(d.text(), c.wantText);
        EXPECT_TRUE(d.guardIntact());
    }
    char hex[3];
    EXPECT_EQ(sprintf_safe(hex, sizeof hex, "%02x", 0xab), 2);
    EXPECT_STREQ(hex, "ab");

    Dest d(4, "zz");
    EXPECT_EQ(sprintf_safe(d.data(), d.size(), nullptr), -1);
    EXPECT_EQ(d.text(), "");
    EXPECT_EQ(sprintf_safe(nullptr, 4, "x"), -1);
    Dest zero(0);
    EXPECT_EQ(sprintf_safe(zero.data(), 0, "x"), -1);
    EXPECT_TRUE(zero.guardIntact());
}

TEST(SafeFormat, SnprintfCountAndSizeLimits) {
    struct Case {
        const char* name;
        size_t size;
        size_t count;
        int want;
        std::string wantText;
    };
    const Case cases[] = {
        {"count cuts, full length returned", 8, 3, 5, "abc"},
        {"buffer too small", 4, 8, -2, "abc"},
        {"count below size, output longer than buffer", 4, 3, 5, "abc"},
        {"everything fits", 8, 5, 5, "abcde"},
        {"largest count means the whole buffer", 8, SIZE_MAX, 5, "abcde"},
        {"largest count, buffer too small", 4, SIZE_MAX, -2, "abc"},
        {"count 0", 8, 0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Dest d(c.size, "zz");
        EXPECT_EQ(snprintf_safe(d.data(), d.size(), c.count, "%s", "abcde"), c.want);
        EXPECT_TRUE(d.terminated());
        EXPECT_EQ(d.text(), c.wantText);
        EXPECT_TRUE(d.guardIntact());
    }
    EXPECT_EQ(snprintf_safe(nullptr, 0, 0, "x"), 0);
    EXPECT_EQ(snprintf_safe(nullptr, 0, 1, "x"), -1);
    Dest d(4, "zz");
    EXPECT_EQ(snprintf_safe(d.data(), d.size(), 2, nullptr), -1);
    EXPECT_EQ(d.text(), "");
}

TEST(SafeFormat, PrintfToStandardOutput) {
    testing::internal::CaptureStdout();
    const int n = printf_safe("%d-%s", 7, "x");
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "7-x");
    EXPECT_EQ(n, 3);
    EXPECT_EQ(printf_safe(nullptr), -1);
    EXPECT_EQ(wprintf_safe(nullptr), -1);
}

TEST(SafeFormat, WidePrintfToStandardOutput) {
    // A wide write fixes the orientation of stdout for good, so it runs in a child process.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        // Reopening gives a stream with no orientation yet (the test runner has written to it).
        if (freopen(nullptr, "w", stdout) == nullptr) _exit(2);
        const int n = wprintf_safe(L"%ls-%d", L"ab", 7);
        fflush(stdout);
        _exit(n == 4 ? 0 : 1);
    }
    close(fds[1]);
    std::string out;
    char buf[64];
    ssize_t r;
    while ((r = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(r));
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(out, "ab-7");
}

// --- number to text ---

TEST(SafeNumber, ConversionsAndTheirSizeRule) {
    using Fn = std::function<int(char*, size_t)>;
    struct Case {
        const char* name;
        Fn call;
        size_t size;
        int want;
        std::string wantText;
    };
    const Case cases[] = {
        {"zero", [](char* b, size_t n) { return _itoa_safe(0, b, n, 10); }, 2, 0, "0"},
        {"zero without room", [](char* b, size_t n) { return _itoa_safe(0, b, n, 10); }, 1, -2, ""},
        {"two hex digits in 4 bytes", [](char* b, size_t n) { return _itoa_safe(255, b, n, 16); }, 4, 0, "ff"},
        {"three hex digits need 5 bytes", [](char* b, size_t n) { return _itoa_safe(4095, b, n, 16); }, 4, -2, ""},
        {"three hex digits in 5 bytes", [](char* b, size_t n) { return _itoa_safe(4095, b, n, 16); }, 5, 0, "fff"},
        {"negative decimal", [](char* b, size_t n) { return _itoa_safe(-255, b, n, 10); }, 5, 0, "-255"},
        {"negative decimal too small", [](char* b, size_t n) { return _itoa_safe(-255, b, n, 10); }, 4, -2, ""},
        {"negative hex is the 32-bit pattern", [](char* b, size_t n) { return _itoa_safe(-1, b, n, 16); }, 10, 0,
         "ffffffff"},
        {"negative hex too small", [](char* b, size_t n) { return _itoa_safe(-1, b, n, 16); }, 9, -2, ""},
        {"most negative int", [](char* b, size_t n) { return _itoa_safe(INT_MIN, b, n, 10); }, 12, 0,
         "-2147483648"},
        {"binary", [](char* b, size_t n) { return _itoa_safe(5, b, n, 2); }, 5, 0, "101"},
        {"radix 36 uses lowercase", [](char* b, size_t n) { return _itoa_safe(35 * 36 + 10, b, n, 36); }, 4, 0,
         "za"},
        {"long -1 in hex", [](char* b, size_t n) { return _ltoa_safe(-1L, b, n, 16); }, 18, 0,
         std::string(16, 'f')},
        {"most negative long", [](char* b, size_t n) { return _ltoa_safe(LONG_MIN, b, n, 10); }, 21, 0,
         "-9223372036854775808"},
        {"largest unsigned long", [](char* b, size_t n) { return _ultoa_safe(ULONG_MAX, b, n, 10); }, 22, 0,
         "18446744073709551615"},
        {"unsigned needs room for a sign", [](char* b, size_t n) { return _ultoa_safe(ULONG_MAX, b, n, 10); }, 21,
         -2, ""},
        {"most negative 64-bit", [](char* b, size_t n) { return _i64toa_safe(LLONG_MIN, b, n, 10); }, 21, 0,
         "-9223372036854775808"},
        {"most negative 64-bit too small", [](char* b, size_t n) { return _i64toa_safe(LLONG_MIN, b, n, 10); },
         20, -2, ""},
        {"negative octal is the 64-bit pattern", [](char* b, size_t n) { return _i64toa_safe(-8, b, n, 8); }, 24,
         0, "1777777777777777777770"},
        {"above 32 bits", [](char* b, size_t n) { return _ui64toa_safe(4294967296ULL, b, n, 10); }, 12, 0,
         "4294967296"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Dest d(c.size);
        EXPECT_EQ(c.call(d.data(), d.size()), c.want);
        EXPECT_TRUE(d.terminated());
        EXPECT_EQ(d.text(), c.wantText);
        EXPECT_TRUE(d.guardIntact());
    }
}

TEST(SafeNumber, BadRadixOrBufferWritesNothing) {
    for (int radix : {-1, 0, 1, 37}) {
        SCOPED_TRACE(radix);
        Dest d(32);
        EXPECT_EQ(_itoa_safe(5, d.data(), d.size(), radix), -1);
        EXPECT_EQ(_ltoa_safe(5, d.data(), d.size(), radix), -1);
        EXPECT_EQ(_ultoa_safe(5, d.data(), d.size(), radix), -1);
        EXPECT_EQ(_i64toa_safe(5, d.data(), d.size(), radix), -1);
        EXPECT_EQ(_ui64toa_safe(5, d.data(), d.size(), radix), -1);
        EXPECT_EQ(d.raw(1), "#");
    }
    // The radix is refused before the size is looked at.
    Dest tiny(0);
    EXPECT_EQ(_itoa_safe(5, tiny.data(), 0, 1), -1);
    EXPECT_EQ(_itoa_safe(5, tiny.data(), 0, 10), -2);
    EXPECT_TRUE(tiny.guardIntact());
    EXPECT_EQ(_itoa_safe(5, nullptr, 8, 10), -1);
    EXPECT_EQ(_ui64toa_safe(5, nullptr, 8, 10), -1);
}

}  // namespace

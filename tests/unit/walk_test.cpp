// Package walk: file digests, relative paths, the reference list and the symbolic-link rules.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "KVBSignLibInternal.h"
#include "cli_runner.h"
#include "package_builder.h"
#include "pipe_writer.h"

namespace fs = boost::filesystem;

namespace {

struct Walk {
    int status = -1;
    std::vector<nonXMLManifestReference> refs;

    std::set<std::string> uris() const {
        std::set<std::string> out;
        for (const auto& r : refs) out.insert(r.uri);
        return out;
    }
    const nonXMLManifestReference* find(const std::string& uri) const {
        for (const auto& r : refs)
            if (r.uri == uri) return &r;
        return nullptr;
    }
};

Walk walk(const std::string& dir) {
    Walk w;
    w.status = generateManifestReferencesNonXML(w.refs, "", dir, dir);
    return w;
}

void link(const std::string& target, const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

// The number at the end of a symlinkInfo text "[real]N".
int counterOf(const std::string& symlinkInfo) {
    std::string::size_type close = symlinkInfo.rfind(']');
    EXPECT_NE(close, std::string::npos) << symlinkInfo;
    return std::atoi(symlinkInfo.c_str() + close + 1);
}

// A listening Unix-domain socket bound at `path` (its parent is made first).
void makeSocket(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof(address.sun_path));
    path.copy(address.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    close(fd);  // the socket file stays
    ASSERT_EQ(bound, 0) << path;
}

// A directory "wide" of 200 empty directories and `links` links to it: each link walks the
// 200 directories again.
void linkWideTree(const std::string& pkg, int links) {
    for (int i = 0; i < 200; ++i) fs::create_directories(pkg + "/wide/d" + std::to_string(i));
    for (int i = 0; i < links; ++i) link("wide", pkg + "/l" + std::to_string(i));
}

std::string encode(const std::string& path, KVBSIGN_STATUS& status) {
    char* text = KVBSignLibInternal::encodeFile(path.c_str(), &status);
    if (text == nullptr) return "<null>";
    std::string out = text;
    free(text);
    return out;
}

TEST(EncodeFile, DigestsEveryByteWhateverTheSize) {
    std::string big(3 * (1 << 20) + 7, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 20));
    struct Case {
        const char* name;
        std::string bytes;
        std::string want;
    };
    const Case kCases[] = {
        // Expected texts for these two from `printf abc | openssl dgst -sha256 -binary | base64`.
        {"empty file", "", "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU="},
        {"three bytes", "abc", "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0="},
        {"exactly one read chunk", std::string(1 << 20, 'x'), kvtest::digestB64(std::string(1 << 20, 'x'))},
        {"several chunks and a tail", big, kvtest::digestB64(big)},
        {"NUL bytes inside", std::string("a\0b\0", 4), kvtest::digestB64(std::string("a\0b\0", 4))},
    };
    kvtest::ScratchDir scratch;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        kvtest::writeFile(scratch.file("f"), c.bytes);
        KVBSIGN_STATUS status = KVBSIGN_SUCCESS;
        std::string text = encode(scratch.file("f"), status);
        EXPECT_EQ(text, c.want);
        EXPECT_EQ(text.size(), 44u);
        EXPECT_EQ(status, KVBSIGN_SUCCESS);
    }
}

TEST(EncodeFile, FileThatCannotBeReadGivesNullAnd11) {
    kvtest::ScratchDir scratch;
    fs::create_directories(scratch.file("dir"));
    ASSERT_EQ(mkfifo(scratch.file("pipe").c_str(), 0600), 0);
    const char* kPaths[] = {"missing", "dir", "pipe"};
    for (const char* p : kPaths) {
        SCOPED_TRACE(p);
        KVBSIGN_STATUS status = KVBSIGN_SUCCESS;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(encode(scratch.file(p), status), "<null>");
        EXPECT_EQ(status, KVBSIGN_FILE_NOT_FOUND);
        // A pipe without a writer must not be waited on.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

// Opened without O_NOCTTY, a terminal becomes the controlling terminal of a session leader
// that has none.
TEST(EncodeFile, MakesNoTerminalTheControllingOne) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setsid() < 0) _exit(2);
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) _exit(3);
        const char* terminal = ptsname(master);
        if (terminal == nullptr) _exit(3);
        KVBSIGN_STATUS status = KVBSIGN_SUCCESS;
        char* text = KVBSignLibInternal::encodeFile(terminal, &status);
        if (text != nullptr || status != KVBSIGN_FILE_NOT_FOUND) _exit(4);
        // Only a process with a controlling terminal can open /dev/tty.
        _exit(open("/dev/tty", O_RDONLY | O_NOCTTY) < 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the terminal became the controlling one; 2-4: setup or digest";
}

TEST(RelativePath, AgainstBase) {
    struct Case {
        const char* path;
        const char* base;
        const char* want;
    };
    const Case kCases[] = {
        {"/r/a/b/c", "/r/a", "b/c"},
        {"/r/a", "/r/a", ""},
        {"/r/a/b", "/r/a/", "b"},
        // One ".." fewer than the base's remaining elements; a trailing "/" adds an element.
        {"/r/x", "/r/a/b", "../x"},
        {"/r/x", "/r/a/b/", "../../x"},
        {"/r/a b/c%d", "/r", "a b/c%d"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.path) + " against " + c.base);
        EXPECT_EQ(KVBSignLibInternal::relativePath(c.path, c.base).generic_string(), c.want);
    }
    // A relative path is taken against the working directory.
    fs::path cwd = fs::current_path();
    EXPECT_EQ(KVBSignLibInternal::relativePath("x/y", cwd).generic_string(), "x/y");
}

TEST(ResolvePath, DropsDotsTextuallyExceptAfterLinks) {
    kvtest::ScratchDir scratch;
    fs::create_directories(scratch.file("real/deep"));
    link("real/deep", scratch.file("ln"));
    const std::string s = scratch.path();
    struct Case {
        const char* name;
        std::string in;
        std::string want;
    };
    const Case kCases[] = {
        {"dot dropped", "/a/./b", "/a/b"},
        {"dot-dot removes one element", "/a/b/../c", "/a/c"},
        {"dot-dot at the root stays there", "/../a", "/a"},
        {"leading dot-dot of a relative path kept", "../a", "../a"},
        {"dot-dot after dot-dot kept", "a/../../b", "../b"},
        {"dot-dot after a link kept", s + "/ln/../x", s + "/ln/../x"},
        {"dot-dot after a plain directory resolved", s + "/real/deep/../x", s + "/real/x"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(resolvePath(c.in).generic_string(), c.want);
    }
}

TEST(PackageWalk, MinimalPackageListsMimetypeOnly) {
    kvtest::ScratchDir scratch;
    kvtest::writeFile(scratch.file("mimetype"), "application/vnd.kvb");
    kvtest::writeFile(scratch.file("META-INF/signatures.xml"), "<signatures/>");
    Walk w = walk(scratch.path());
    ASSERT_EQ(w.status, 0);
    ASSERT_EQ(w.refs.size(), 1u);
    EXPECT_EQ(w.refs[0].uri, "mimetype");
    EXPECT_EQ(w.refs[0].symlinkInfo, "");
    EXPECT_EQ(w.refs[0].digestValue, kvtest::digestB64("application/vnd.kvb"));
}

TEST(PackageWalk, ListsEveryOtherFileByEncodedRelativePath) {
    kvtest::ScratchDir scratch;
    // No mimetype at the root; the reserved names count only at their own places.
    const std::map<std::string, std::string> kFiles = {
        {"sub/mimetype", "m"},       {"sub/META-INF/signatures.xml", "s"},
        {".hidden", "h"},            {"a b.txt", "ab"},
        {"dir/deeper/x+y~.js", "xy"}, {"\xC3\xA9t\xC3\xA9", "e"},
        {"empty", ""},
    };
    for (const auto& f : kFiles) kvtest::writeFile(scratch.file(f.first), f.second);
    kvtest::writeFile(scratch.file("META-INF/signatures.xml"), "doc");
    fs::create_directories(scratch.file("emptydir"));

    Walk w = walk(scratch.path());
    ASSERT_EQ(w.status, 0);
    EXPECT_EQ(w.uris(), (std::set<std::string>{"sub/mimetype", "sub/META-INF/signatures.xml", ".hidden", "a%20b.txt",
                                               "dir/deeper/x%2by~.js", "%c3%a9t%c3%a9", "empty"}));
    for (const auto& f : kFiles) {
        const nonXMLManifestReference* r = w.find(kvtest::percentEncode(f.first));
        ASSERT_NE(r, nullptr) << f.first;
        EXPECT_EQ(r->digestValue, kvtest::digestB64(f.second)) << f.first;
        EXPECT_EQ(r->symlinkInfo, "") << f.first;
    }
}

TEST(PackageWalk, MimetypeComesFirst) {
    kvtest::ScratchDir scratch;
    for (int i = 0; i < 20; ++i) kvtest::writeFile(scratch.file("f" + std::to_string(i)), "x");
    kvtest::writeFile(scratch.file("mimetype"), "m");
    Walk w = walk(scratch.path());
    ASSERT_EQ(w.status, 0);
    ASSERT_EQ(w.refs.size(), 21u);
    EXPECT_EQ(w.refs[0].uri, "mimetype");
}

TEST(PackageWalk, LeavesOutOnlyWholeClutterNamesAndTopLevelMacosx) {
    kvtest::ScratchDir scratch;
    const char* kLeftOut[] = {".DS_Store", "sub/.DS_Store", "Thumbs.db", "deep/er/desktop.ini", "__MACOSX/x",
                              "__MACOSX/sub/._y"};
    const char* kListed[] = {"Thumbs.dbx/evil.js", "__MACOSXa/evil.js", "sub/__MACOSX/x", ".DS_Store.js",
                             "x/.DS_Store/inner.js", "my.Thumbs.db", "__MACOSX"};
    for (const char* p : kLeftOut) kvtest::writeFile(scratch.file(p), "clutter");
    for (const char* p : kListed) {
        // "__MACOSX" as a plain file at the root, not a directory.
        if (std::string(p) == "__MACOSX") continue;
        kvtest::writeFile(scratch.file(p), "code");
    }
    Walk w = walk(scratch.path());
    ASSERT_EQ(w.status, 0);
    EXPECT_EQ(w.uris(), (std::set<std::string>{"Thumbs.dbx/evil.js", "__MACOSXa/evil.js", "sub/__MACOSX/x",
                                               ".DS_Store.js", "x/.DS_Store/inner.js", "my.Thumbs.db"}));

    kvtest::ScratchDir other;
    kvtest::writeFile(other.file("__MACOSX"), "a file, not the directory");
    EXPECT_EQ(walk(other.path()).uris(), (std::set<std::string>{"__MACOSX"}));
}

TEST(PackageWalk, ClutterNamesAreNotRead) {
    // A dangling link ends the walk with 11 when the walk reaches it; one with a clutter
    // name is passed over before anything is read.
    kvtest::ScratchDir quiet;
    kvtest::writeFile(quiet.file("mimetype"), "m");
    link("gone", quiet.file(".DS_Store"));
    link("gone", quiet.file("sub/Thumbs.db"));
    Walk w = walk(quiet.path());
    EXPECT_EQ(w.status, 0);
    EXPECT_EQ(w.uris(), (std::set<std::string>{"mimetype"}));

    kvtest::ScratchDir loud;
    link("gone", loud.file("Thumbs.dbx"));
    EXPECT_EQ(walk(loud.path()).status, KVBSIGN_FILE_NOT_FOUND);

    // A missing target that climbs out of the package is refused all the same: installed
    // elsewhere, the link would lead to whatever lies there.
    for (const char* target : {"../../../../home/user/.profile", "sub/../../gone", "../gone"}) {
        SCOPED_TRACE(target);
        kvtest::ScratchDir climbing;
        kvtest::writeFile(climbing.file("mimetype"), "m");
        kvtest::writeFile(climbing.file("sub/keep.txt"), "k");
        link(target, climbing.file(".DS_Store"));
        EXPECT_EQ(walk(climbing.path()).status, KVBSIGN_SYMLINK_INVALID_LOCATION);
    }
}

TEST(PackageWalk, LinkToFileListedUnderItsOwnPathWithNumberedInfo) {
    kvtest::ScratchDir scratch;
    kvtest::writeFile(scratch.file("sub/f.txt"), "target bytes");
    link("sub/f.txt", scratch.file("l1"));
    link("../sub/f.txt", scratch.file("other/l2"));

    Walk first = walk(scratch.path());
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(first.uris(), (std::set<std::string>{"sub/f.txt", "l1", "other/l2"}));
    const nonXMLManifestReference* l1 = first.find("l1");
    const nonXMLManifestReference* l2 = first.find("other/l2");
    ASSERT_TRUE(l1 && l2);
    EXPECT_EQ(l1->digestValue, kvtest::digestB64("target bytes"));
    EXPECT_EQ(l1->symlinkInfo.substr(0, 11), "[sub/f.txt]");
    EXPECT_EQ(l2->symlinkInfo.substr(0, 11), "[sub/f.txt]");
    EXPECT_EQ(first.find("sub/f.txt")->symlinkInfo, "");
    // One counter numbers the links of a walk and goes on in the next walk.
    std::set<int> numbers = {counterOf(l1->symlinkInfo), counterOf(l2->symlinkInfo)};
    ASSERT_EQ(numbers.size(), 2u);
    EXPECT_EQ(*numbers.rbegin(), *numbers.begin() + 1);

    Walk second = walk(scratch.path());
    ASSERT_EQ(second.status, 0);
    std::set<int> later = {counterOf(second.find("l1")->symlinkInfo), counterOf(second.find("other/l2")->symlinkInfo)};
    EXPECT_EQ(*later.begin(), *numbers.rbegin() + 1);
}

TEST(PackageWalk, LinkToDirectoryListsItsFilesAgainAtTheLinksPlace) {
    kvtest::ScratchDir scratch;
    kvtest::writeFile(scratch.file("d/a"), "A");
    kvtest::writeFile(scratch.file("d/e/b"), "B");
    link("d", scratch.file("ld"));
    // A link to a link to the directory, and a second link to it: no cycle, both walked.
    link("ld", scratch.file("lld"));

    Walk w = walk(scratch.path());
    ASSERT_EQ(w.status, 0);
    EXPECT_EQ(w.uris(), (std::set<std::string>{"d/a", "d/e/b", "ld/a", "ld/e/b", "lld/a", "lld/e/b"}));
    EXPECT_EQ(w.find("d/a")->symlinkInfo, "");
    EXPECT_EQ(w.find("ld/e/b")->symlinkInfo.substr(0, 7), "[d/e/b]");
    EXPECT_EQ(w.find("lld/a")->digestValue, kvtest::digestB64("A"));
    // The references of a linked directory stand together, where the link was met.
    std::size_t first = w.refs.size(), last = 0;
    for (std::size_t i = 0; i < w.refs.size(); ++i) {
        if (w.refs[i].uri.compare(0, 3, "ld/") == 0) {
            first = std::min(first, i);
            last = std::max(last, i);
        }
    }
    EXPECT_EQ(last - first, 1u);
}

// Links inside a linked directory are the same links on disk in every walk through it: their
// targets are taken from where they are, whichever path leads there.
TEST(PackageWalk, LinksInsideALinkedDirectoryResolveWhereTheyAre) {
    kvtest::ScratchDir scratch;
    kvtest::writeFile(scratch.file("d/e/b"), "B");
    kvtest::writeFile(scratch.file("top"), "T");
    link("../../top", scratch.file("d/e/up"));
    link("b", scratch.file("d/e/lb"));
    link("d", scratch.file("ld"));
    link("ld/e", scratch.file("le"));

    Walk w = walk(scratch.path());
    ASSERT_EQ(w.status, 0);
    EXPECT_EQ(w.uris(), (std::set<std::string>{"d/e/b", "d/e/lb", "d/e/up", "ld/e/b", "ld/e/lb", "ld/e/up", "le/b",
                                               "le/lb", "le/up", "top"}));
    for (const char* uri : {"d/e/up", "ld/e/up", "le/up"}) {
        SCOPED_TRACE(uri);
        EXPECT_EQ(w.find(uri)->symlinkInfo.substr(0, 5), "[top]");
        EXPECT_EQ(w.find(uri)->digestValue, kvtest::digestB64("T"));
    }
    for (const char* uri : {"d/e/lb", "ld/e/lb", "le/lb"}) {
        SCOPED_TRACE(uri);
        EXPECT_EQ(w.find(uri)->symlinkInfo.substr(0, 7), "[d/e/b]");
        EXPECT_EQ(w.find(uri)->digestValue, kvtest::digestB64("B"));
    }
    EXPECT_EQ(w.find("le/b")->symlinkInfo.substr(0, 7), "[d/e/b]");
}

TEST(PackageWalk, SymbolicLinkRules) {
    using Make = std::function<void(const std::string& pkg, const std::string& outside)>;
    struct Case {
        const char* name;
        Make make;
        int want;
    };
    const Case kCases[] = {
        {"absolute target inside the package",
         [](const std::string& pkg, const std::string&) { link(pkg + "/mimetype", pkg + "/l"); },
         KVBSIGN_SYMLINK_ABSOLUTE_PATH},
        {"absolute target missing",
         [](const std::string& pkg, const std::string&) { link("/nonexistent/kvb", pkg + "/l"); },
         KVBSIGN_SYMLINK_ABSOLUTE_PATH},
        {"absolute target outside",
         [](const std::string& pkg, const std::string& out) { link(out + "/secret", pkg + "/l"); },
         KVBSIGN_SYMLINK_INVALID_LOCATION},
        {"absolute clutter-named link", [](const std::string& pkg, const std::string&) { link("/nowhere", pkg + "/.DS_Store"); },
         KVBSIGN_SYMLINK_ABSOLUTE_PATH},
        {"relative target leaving the package",
         [](const std::string& pkg, const std::string&) { link("../../secret", pkg + "/sub/l"); },
         KVBSIGN_SYMLINK_INVALID_LOCATION},
        {"relative target in a sibling whose name starts like the root",
         [](const std::string& pkg, const std::string&) { link("../pkg2/f", pkg + "/l"); },
         KVBSIGN_SYMLINK_INVALID_LOCATION},
        {"relative directory link leaving the package",
         [](const std::string& pkg, const std::string&) { link("..", pkg + "/up"); },
         KVBSIGN_SYMLINK_INVALID_LOCATION},
        {"relative target missing", [](const std::string& pkg, const std::string&) { link("gone", pkg + "/l"); },
         KVBSIGN_FILE_NOT_FOUND},
        {"link to itself", [](const std::string& pkg, const std::string&) { link("self", pkg + "/self"); },
         KVBSIGN_SYMLINK_INVALID_LOCATION},
        {"two links to each other",
         [](const std::string& pkg, const std::string&) {
             link("b", pkg + "/a");
             link("a", pkg + "/b");
         },
         KVBSIGN_SYMLINK_INVALID_LOCATION},
        {"link to its own directory", [](const std::string& pkg, const std::string&) { link(".", pkg + "/dot"); },
         KVBSIGN_SYMLINK_INVALID_LOCATION},
        {"two links to their own directory",
         [](const std::string& pkg, const std::string&) {
             link(".", pkg + "/d1");
             link(".", pkg + "/d2");
         },
         KVBSIGN_SYMLINK_INVALID_LOCATION},
        {"link from a subdirectory to the root",
         [](const std::string& pkg, const std::string&) { link("..", pkg + "/sub/root"); },
         KVBSIGN_SYMLINK_INVALID_LOCATION},
        {"directories linking to each other",
         [](const std::string& pkg, const std::string&) {
             link("../b", pkg + "/a/tob");
             link("../a", pkg + "/b/toa");
         },
         KVBSIGN_SYMLINK_INVALID_LOCATION},
        {"bad link below a linked directory",
         [](const std::string& pkg, const std::string& out) {
             link(out + "/secret", pkg + "/d/bad");
             link("d", pkg + "/ld");
         },
         KVBSIGN_SYMLINK_INVALID_LOCATION},
        {"layers of links that multiply the paths",
         [](const std::string& pkg, const std::string&) {
             // Two directories per layer, each linking to both of the next layer: 2^16 paths.
             for (int layer = 0; layer < 16; ++layer) {
                 for (int i = 0; i < 2; ++i) {
                     for (int j = 0; j < 2; ++j) {
                         link("../L" + std::to_string(layer + 1) + "_" + std::to_string(j),
                              pkg + "/L" + std::to_string(layer) + "_" + std::to_string(i) + "/to" + std::to_string(j));
                     }
                 }
             }
             fs::create_directories(pkg + "/L16_0");
             fs::create_directories(pkg + "/L16_1");
         },
         KVBSIGN_SYMLINK_INVALID_LOCATION},
        // Directories count like files: without a file below them, links can still have
        // the walk open directories without end.
        {"links that reach 120,000 empty directories",
         [](const std::string& pkg, const std::string&) { linkWideTree(pkg, 600); }, KVBSIGN_SYMLINK_INVALID_LOCATION},
        {"links that reach 80,000 empty directories",
         [](const std::string& pkg, const std::string&) { linkWideTree(pkg, 400); }, KVBSIGN_SUCCESS},
        {"relative link to a file inside", [](const std::string& pkg, const std::string&) { link("mimetype", pkg + "/l"); },
         KVBSIGN_SUCCESS},
        {"relative link with dot-dots that stays inside",
         [](const std::string& pkg, const std::string&) { link("../sub/../mimetype", pkg + "/sub/l"); },
         KVBSIGN_SUCCESS},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        kvtest::ScratchDir scratch;
        const std::string pkg = scratch.file("pkg");
        kvtest::writeFile(pkg + "/mimetype", "m");
        kvtest::writeFile(pkg + "/sub/keep", "k");
        kvtest::writeFile(scratch.file("secret"), "outside");
        kvtest::writeFile(scratch.file("pkg2/f"), "neighbour");
        c.make(pkg, scratch.path());
        auto start = std::chrono::steady_clock::now();
        Walk w = walk(pkg);
        EXPECT_EQ(w.status, c.want);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        // Nothing outside the package is ever listed.
        for (const auto& r : w.refs) EXPECT_NE(r.digestValue, kvtest::digestB64("outside")) << r.uri;
    }
}

TEST(PackageWalk, RelativeLinksAreTakenFromTheLinksDirectoryNotTheWorkingDirectory) {
    kvtest::ScratchDir scratch;
    const std::string pkg = scratch.file("pkg");
    kvtest::writeFile(pkg + "/sub/f", "inside");
    link("f", pkg + "/sub/l");
    // From the working directory "f" would be this outside file.
    kvtest::writeFile(scratch.file("f"), "outside");
    const fs::path saved = fs::current_path();
    fs::current_path(scratch.path());
    Walk w = walk("pkg");
    fs::current_path(saved);
    ASSERT_EQ(w.status, 0);
    ASSERT_NE(w.find("sub/l"), nullptr);
    EXPECT_EQ(w.find("sub/l")->digestValue, kvtest::digestB64("inside"));
}

// A file that the walk meets but cannot digest would otherwise be a file in the package that
// no manifest entry has to cover.
TEST(PackageWalk, FilesThatCannotBeDigestedStopTheWalk) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        bool bindsTheSuperuser;
    };
    const Case kCases[] = {
        {"named pipe", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, true},
        {"socket", [](const std::string& path) { makeSocket(path); }, true},
        {"unreadable file",
         [](const std::string& path) {
             kvtest::writeFile(path, "unseen");
             ASSERT_EQ(chmod(path.c_str(), 0), 0);
         },
         false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        if (!c.bindsTheSuperuser && geteuid() == 0) continue;  // the superuser reads it anyway
        kvtest::ScratchDir scratch;
        kvtest::writeFile(scratch.file("sub/a"), "a");
        c.make(scratch.file("sub/special"));
        Walk w = walk(scratch.path());
        EXPECT_EQ(w.status, KVBSIGN_FILE_NOT_FOUND);
    }
}

// Opening a named pipe to read releases a writer that waits for one (and opening a device can
// have effects of its own): the walk opens only regular files inside the package, and the
// root's mimetype only once it is known to be one.
TEST(PackageWalk, OpensNoPipeInsideOrOutside) {
    struct Case {
        const char* name;
        const char* pipe;    // relative to the scratch directory, which holds the package "pkg"
        const char* link;    // the link to make, relative to the scratch directory, or ""
        const char* target;  // its target; "" for the pipe's absolute path
        int want;
    };
    const Case kCases[] = {
        {"mimetype links to a pipe outside by an absolute path", "outside/pipe", "pkg/mimetype", "",
         KVBSIGN_SYMLINK_INVALID_LOCATION},
        {"mimetype links to a pipe outside by a climbing path", "outside/pipe", "pkg/mimetype", "../outside/pipe",
         KVBSIGN_SYMLINK_INVALID_LOCATION},
        {"mimetype links to a pipe inside", "pkg/sub/pipe", "pkg/mimetype", "sub/pipe", KVBSIGN_FILE_NOT_FOUND},
        {"mimetype is a pipe", "pkg/mimetype", "", "", KVBSIGN_FILE_NOT_FOUND},
        {"a pipe in a subdirectory", "pkg/sub/pipe", "", "", KVBSIGN_FILE_NOT_FOUND},
        {"a link to a pipe inside", "pkg/sub/pipe", "pkg/a/l", "../sub/pipe", KVBSIGN_FILE_NOT_FOUND},
        {"a link to a pipe outside", "outside/pipe", "pkg/a/l", "../../outside/pipe", KVBSIGN_SYMLINK_INVALID_LOCATION},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        kvtest::ScratchDir scratch;
        const std::string pkg = scratch.file("pkg");
        kvtest::writeFile(pkg + "/keep.js", "k");
        const bool replacesMimetype = std::string(c.pipe) == "pkg/mimetype" || std::string(c.link) == "pkg/mimetype";
        if (!replacesMimetype) kvtest::writeFile(pkg + "/mimetype", "m");
        fs::create_directories(fs::path(scratch.file(c.pipe)).parent_path());
        ASSERT_EQ(mkfifo(scratch.file(c.pipe).c_str(), 0600), 0);
        if (*c.link != '\0') link(*c.target != '\0' ? c.target : scratch.file(c.pipe), scratch.file(c.link));

        kvtest::BlockedPipeWriter writer(scratch.file(c.pipe));
        ASSERT_TRUE(writer.blockedAtStart());
        Walk w = walk(pkg);
        EXPECT_EQ(w.status, c.want);
        EXPECT_TRUE(writer.stillBlocked()) << "the pipe was opened";
        if (replacesMimetype) {
            EXPECT_TRUE(w.refs.empty());
        }
    }
}

TEST(PackageWalk, MimetypeLinkedInsideIsReadThroughTheLink) {
    kvtest::ScratchDir scratch;
    kvtest::writeFile(scratch.file("meta/type.txt"), "application/vnd.kvb");
    link("meta/type.txt", scratch.file("mimetype"));
    Walk w = walk(scratch.path());
    ASSERT_EQ(w.status, 0);
    ASSERT_EQ(w.refs.size(), 2u);
    EXPECT_EQ(w.refs[0].uri, "mimetype");
    EXPECT_EQ(w.refs[0].symlinkInfo, "");
    EXPECT_EQ(w.refs[0].digestValue, kvtest::digestB64("application/vnd.kvb"));
    EXPECT_EQ(w.refs[1].uri, "meta/type.txt");
}

TEST(PackageWalk, RootMimetypeThatCannotBeReadStopsBeforeTheWalk) {
    kvtest::ScratchDir scratch;
    fs::create_directories(scratch.file("mimetype"));
    kvtest::writeFile(scratch.file("a"), "a");
    Walk w = walk(scratch.path());
    EXPECT_EQ(w.status, KVBSIGN_FILE_NOT_FOUND);
    EXPECT_TRUE(w.refs.empty());
}

TEST(PackageWalk, UnreadableDirectoryEndsTheWalkWith11) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
    kvtest::ScratchDir scratch;
    kvtest::writeFile(scratch.file("locked/f"), "x");
    ASSERT_EQ(chmod(scratch.file("locked").c_str(), 0), 0);
    Walk w = walk(scratch.path());
    chmod(scratch.file("locked").c_str(), 0700);
    EXPECT_EQ(w.status, KVBSIGN_FILE_NOT_FOUND);
}

TEST(PackageWalk, MissingPackageDirectoryIsTheCallersError) {
    std::vector<nonXMLManifestReference> refs;
    EXPECT_THROW(generateManifestReferencesNonXML(refs, "", "/nonexistent/kvb/pkg", "/nonexistent/kvb/pkg"),
                 fs::filesystem_error);
}

}  // namespace

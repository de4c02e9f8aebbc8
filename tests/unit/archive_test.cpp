// The archive reader, the comparison of an extracted tree with the archive, and resolving a
// path inside a package.

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "KVBSignLibInternal.h"
#include "cli_runner.h"
#include "package/archive.h"
#include "package/inside.h"
#include "reader_agreement.h"
#include "zip_writer.h"

namespace {

namespace fs = boost::filesystem;
namespace ka = kvbsign::archive;
using kvtest::ZipEntrySpec;
using kvtest::ZipLayout;
using kvtest::ZipSpec;

ZipEntrySpec file(const std::string& name, const std::string& data) { return kvtest::zipFileEntry(name, data); }
ZipEntrySpec directory(const std::string& name) { return kvtest::zipDirectoryEntry(name); }
ZipEntrySpec link(const std::string& name, const std::string& target) { return kvtest::zipLinkEntry(name, target); }
ZipEntrySpec& entry(ZipSpec& spec, const std::string& name) { return kvtest::findEntry(spec, name); }

const std::string kApp(300, 'a');

// A small package-shaped archive: stored mimetype, directories, deflated files, a link.
ZipSpec baseSpec() {
    ZipSpec spec;
    ZipEntrySpec mimetype = file("mimetype", "application/vnd.kvb");
    mimetype.method = 0;
    spec.entries = {mimetype,
                    directory("META-INF/"),
                    file("META-INF/signatures.xml", "<signatures></signatures>"),
                    directory("lib/"),
                    file("lib/app.js", kApp),
                    link("lib/app-link.js", "app.js"),
                    file("index.html", "<html></html>\n")};
    return spec;
}


struct Read {
    bool accepted = false;
    std::string reason;
    ka::Listing listing;
};

Read readFile(const std::string& path) {
    Read r;
    r.accepted = ka::readArchiveFile(path, r.listing, r.reason);
    return r;
}

class ArchiveReader : public testing::Test {
protected:
    kvtest::ScratchDir scratch;
    std::string zip = scratch.file("pkg.zip");

    Read write(const ZipSpec& spec, const std::function<void(std::string&, const ZipLayout&)>& patch = nullptr) {
        const ZipLayout layout = kvtest::writeZipSpec(zip, spec);
        if (patch) {
            std::string bytes = kvtest::readFile(zip);
            patch(bytes, layout);
            kvtest::writeFile(zip, bytes);
        }
        return readFile(zip);
    }
};

TEST_F(ArchiveReader, ListsAValidArchiveInTreeOrder) {
    const Read r = write(baseSpec());
    ASSERT_TRUE(r.accepted) << r.reason;
    std::vector<std::string> names;
    for (const ka::Entry& e : r.listing.entries) names.emplace_back(r.listing.name(e));
    // "/" sorts first: a directory's entries follow it directly.
    EXPECT_EQ(names, (std::vector<std::string>{"META-INF", "META-INF/signatures.xml", "index.html", "lib",
                                               "lib/app-link.js", "lib/app.js", "mimetype"}));
    const ka::Entry* app = r.listing.find("lib/app.js");
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->kind, ka::EntryKind::File);
    EXPECT_EQ(app->size, kApp.size());
    ASSERT_NE(r.listing.find("lib"), nullptr);
    EXPECT_EQ(r.listing.find("lib")->kind, ka::EntryKind::Directory);
    ASSERT_NE(r.listing.find("lib/app-link.js"), nullptr);
    EXPECT_EQ(r.listing.find("lib/app-link.js")->kind, ka::EntryKind::Symlink);
    EXPECT_EQ(r.listing.find("lib/app-link.js")->size, 6u);
    EXPECT_EQ(r.listing.find("lib/"), nullptr);
    EXPECT_EQ(r.listing.find("app.js"), nullptr);
    EXPECT_TRUE(r.listing.hasEntryBelow("lib"));
    EXPECT_TRUE(r.listing.hasEntryBelow("META-INF"));
    EXPECT_FALSE(r.listing.hasEntryBelow("index.html"));
    EXPECT_FALSE(r.listing.hasEntryBelow("li"));
    EXPECT_EQ(r.listing.totalSize, 19u + 25u + kApp.size() + 6u + 14u);
    EXPECT_EQ(r.listing.largestSize, kApp.size());
}

TEST_F(ArchiveReader, AcceptsTheFormsWritersUse) {
    struct Case {
        const char* name;
        std::function<void(ZipSpec&)> edit;
    };
    const Case cases[] = {
        {"data descriptors with signature",
         [](ZipSpec& s) {
             for (ZipEntrySpec& e : s.entries) e.dataDescriptor = true;
         }},
        // A streaming reader sizes deflated data by its stream, stored data only by the
        // descriptor's signature.
        {"data descriptors without signature on deflated entries, with it on stored ones",
         [](ZipSpec& s) {
             for (ZipEntrySpec& e : s.entries) {
                 e.dataDescriptor = true;
                 e.descriptorSignature = e.method.value_or(e.kind == ZipEntrySpec::Kind::File ? 8 : 0) == 0;
             }
         }},
        {"zip64 fields and end record",
         [](ZipSpec& s) {
             for (ZipEntrySpec& e : s.entries) e.zip64 = true;
             s.zip64End = true;
         }},
        {"archive comment", [](ZipSpec& s) { s.comment = "made for a test"; }},
        // As a writer to a pipe pads its output.
        {"zero bytes after the end record", [](ZipSpec& s) { s.afterEnd = std::string(9000, '\0'); }},
        {"zero bytes after a comment and a zip64 end record",
         [](ZipSpec& s) {
             s.zip64End = true;
             s.comment = "c";
             s.afterEnd = std::string(512, '\0');
         }},
        {"names of 256 elements",
         [](ZipSpec& s) {
             std::string deep;
             for (int i = 0; i < 255; ++i) deep += "d/";
             s.entries.push_back(file(deep + "x.js", "x"));
             s.entries.push_back(directory(deep + "y/"));
         }},
        {"file comments", [](ZipSpec& s) { entry(s, "index.html").comment = "the page"; }},
        // Times, owner ids and a comment: nothing that makes another kind, mode, name or target.
        {"extra fields of times, owners and comments in both headers",
         [](ZipSpec& s) {
             const std::string t = kvtest::le(1700000000, 4);
             const std::string owner = std::string("\x01\x04", 2) + kvtest::le(0, 4) + "\x04" + kvtest::le(0, 4);
             const std::string ntfs = kvtest::le(0, 4) + kvtest::le(1, 2) + kvtest::le(24, 2) + std::string(24, '\x01');
             s.entries[0].localExtra = kvtest::extraField(0xCAFE, "");
             ZipEntrySpec& page = entry(s, "index.html");
             page.comment = "the page";
             page.localExtra = kvtest::extraField(0x5455, "\x03" + t + t) + kvtest::extraField(0x7875, owner) +
                               kvtest::extraField(0x7855, kvtest::le(0, 2) + kvtest::le(0, 2)) +
                               kvtest::extraField(0x000A, ntfs);
             page.centralExtra = kvtest::extraField(0x5455, "\x03" + t) + kvtest::extraField(0x7875, owner) +
                                 kvtest::extraField(0x7855, "") + kvtest::extraField(0x000A, ntfs) +
                                 kvtest::extraField(0x6375, "\x01" + kvtest::le(kvtest::crc32Of(page.comment), 4) +
                                                                "the page");
             ZipEntrySpec& app = entry(s, "lib/app.js");
             app.localExtra = kvtest::extraField(0x5855, t + t + kvtest::le(0, 2) + kvtest::le(0, 2));
             app.centralExtra = kvtest::extraField(0x5855, t + t);
         }},
        {"UTF-8 names with a Unicode path field repeating them",
         [](ZipSpec& s) {
             ZipEntrySpec e = file("lib/caf\xc3\xa9.js", "x");
             e.localExtra = e.centralExtra = kvtest::unicodePathExtra(e.name, e.name);
             s.entries.push_back(e);
         }},
        {"no directory entries at all",
         [](ZipSpec& s) {
             std::vector<ZipEntrySpec> kept;
             for (const ZipEntrySpec& e : s.entries)
                 if (e.kind != ZipEntrySpec::Kind::Directory) kept.push_back(e);
             s.entries = kept;
         }},
        {"central records in another order", [](ZipSpec& s) { s.centralOrder = std::vector<std::size_t>{6, 5, 4, 3, 2, 1, 0}; }},
        {"empty files, stored and deflated",
         [](ZipSpec& s) {
             ZipEntrySpec stored = file("empty-stored", "");
             stored.method = 0;
             s.entries.push_back(stored);
             s.entries.push_back(file("empty-deflated", ""));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZipSpec spec = baseSpec();
        c.edit(spec);
        const Read r = write(spec);
        EXPECT_TRUE(r.accepted) << r.reason;
        // Accepted forms must mean the same tree to every reader.
        EXPECT_EQ(kvtest::readerDifferences(zip), "");
    }
}

TEST_F(ArchiveReader, AcceptsMoreEntriesThanTheEndRecordCounts) {
    ZipSpec spec = baseSpec();
    for (int i = 0; i < 70000; ++i) spec.entries.push_back(directory("d/" + std::to_string(i) + "/"));
    const Read r = write(spec);
    ASSERT_TRUE(r.accepted) << r.reason;
    EXPECT_EQ(r.listing.entries.size(), 70007u);
    EXPECT_TRUE(r.listing.hasEntryBelow("d"));
    EXPECT_NE(r.listing.find("d/69999"), nullptr);
}

// Each case changes one thing of the valid archive; every one must be refused before any
// extraction, for the reason given.
TEST_F(ArchiveReader, RefusesWhatReadersCouldReadDifferently) {
    using Patch = std::function<void(std::string&, const ZipLayout&)>;
    struct Case {
        const char* name;
        std::function<void(ZipSpec&)> edit;
        Patch patch;
        const char* reason;
    };
    const std::string evil = "require('child_process').exec('x');\n";
    auto unsignedDescriptor = [](const char* name) {
        return [name](ZipSpec& s) {
            ZipEntrySpec& e = entry(s, name);
            e.dataDescriptor = true;
            e.descriptorSignature = false;
        };
    };
    const Case cases[] = {
        // Layout of the file
        {"bytes before the first entry", [](ZipSpec& s) { s.entries[0].before = "#!/bin/sh\n"; }, nullptr,
         "bytes before the first entry"},
        {"gap between two entries", [](ZipSpec& s) { s.entries[3].before = "gap!"; }, nullptr,
         "bytes between entries"},
        {"whole local entry between the last entry and the central directory",
         [&](ZipSpec& s) { s.beforeCentral = kvtest::localEntryBytes(file("index.html", evil)); }, nullptr,
         "bytes between entries"},
        {"bytes between the central directory and the end record", [](ZipSpec& s) { s.afterCentral = "junk"; },
         nullptr, "the central directory does not end where the end records begin"},
        {"bytes after the end record", [](ZipSpec& s) { s.afterEnd = "junk"; }, nullptr,
         "comment does not reach the end of the file"},
        {"comment length longer than the comment", [](ZipSpec& s) { s.endCommentLength = 5; }, nullptr,
         "comment does not reach the end of the file"},
        {"a second end record appended", nullptr,
         [](std::string& b, const ZipLayout& l) { b += b.substr(static_cast<std::size_t>(l.endOffset)); },
         "the central directory does not end where the end records begin"},
        {"an end record hidden in the comment", nullptr,
         [](std::string& b, const ZipLayout& l) {
             const std::string end = b.substr(static_cast<std::size_t>(l.endOffset), 22);
             kvtest::patchLe(b, l.endOffset + 20, 22, 2);
             b += end;
         },
         "the central directory does not end where the end records begin"},
        {"two central records for one local entry",
         [](ZipSpec& s) { s.centralOrder = std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6, 4}; }, nullptr,
         "entries overlap"},
        {"data longer than the space before the next entry",
         [](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "lib/app.js");
             e.localCompressedSize = e.centralCompressedSize = 5000;
         },
         nullptr, "data runs into the next entry"},
        {"multi-part archive", nullptr, [](std::string& b, const ZipLayout& l) { kvtest::patchLe(b, l.endOffset + 4, 1, 2); },
         "multi-part archive"},
        {"entry count beyond the central directory", [](ZipSpec& s) { s.endEntryCount = 8; }, nullptr,
         "central record is missing or cut short"},
        {"too many entries",
         [](ZipSpec& s) {
             s.zip64End = true;
             s.endEntryCount = ka::kMaxEntries + 1;
         },
         nullptr, "too many entries"},
        {"zip64 end record and end record disagree", [](ZipSpec& s) { s.zip64End = true; },
         [](std::string& b, const ZipLayout& l) {
             kvtest::patchLe(b, l.endOffset + 8, 6, 2);
             kvtest::patchLe(b, l.endOffset + 10, 6, 2);
         },
         "the end record and the zip64 end record disagree"},
        {"zip64 locator pointing elsewhere",
         [](ZipSpec& s) {
             s.zip64End = true;
             s.locatorOffset = 0;
         },
         nullptr, "points at no zip64 end record"},
        // Readers that take the 56 bytes before the locator, or skip a large record, would
        // read a directory hidden in the extensible data.
        {"zip64 end record with extensible data",
         [](ZipSpec& s) {
             s.zip64End = true;
             s.zip64Extensible = std::string(56, 'x');
         },
         nullptr, "holds extensible data"},
        {"zip64 end record of the plain size with bytes before its locator",
         [](ZipSpec& s) {
             s.zip64End = true;
             s.zip64Extensible = std::string(8, 'x');
         },
         [](std::string& b, const ZipLayout& l) { kvtest::patchLe(b, l.zip64EndOffset + 4, 44, 8); },
         "does not end at its locator"},
        {"zip64 locator naming no disk", [](ZipSpec& s) { s.zip64End = true; },
         [](std::string& b, const ZipLayout& l) { kvtest::patchLe(b, l.locatorOffset + 16, 0, 4); },
         "does not name one disk"},
        {"zip64 locator naming another disk", [](ZipSpec& s) { s.zip64End = true; },
         [](std::string& b, const ZipLayout& l) { kvtest::patchLe(b, l.locatorOffset + 4, 1, 4); },
         "does not name one disk"},
        {"bytes after the end record that are not all zero", [](ZipSpec& s) { s.afterEnd = std::string(40, '\0') + "x"; },
         nullptr, "comment does not reach the end of the file"},
        {"an end record hidden in the comment, zero bytes after it", nullptr,
         [](std::string& b, const ZipLayout& l) {
             const std::string end = b.substr(static_cast<std::size_t>(l.endOffset), 22);
             kvtest::patchLe(b, l.endOffset + 20, 22, 2);
             b += end + std::string(100, '\0');
         },
         "the central directory does not end where the end records begin"},
        // The end record lies within the last 65,557 bytes; its locator does not.
        {"zero bytes that push the zip64 locator out of reach",
         [](ZipSpec& s) {
             s.zip64End = true;
             s.comment = std::string(65520, 'c');
             s.afterEnd = std::string(10, '\0');
         },
         nullptr, "the zip64 locator lies too far from the end of the file"},
        // Local and central headers
        {"local name differs", [](ZipSpec& s) { entry(s, "lib/app.js").localName = "lib/evi.js"; }, nullptr,
         "name differs"},
        {"central name differs", [](ZipSpec& s) { entry(s, "lib/app.js").centralName = "lib/evi.js"; }, nullptr,
         "name differs"},
        {"local method differs", [](ZipSpec& s) { entry(s, "lib/app.js").localMethod = 0; }, nullptr,
         "flags or method differ"},
        {"central flags differ", [](ZipSpec& s) { entry(s, "lib/app.js").centralFlags = 0x0800; }, nullptr,
         "flags or method differ"},
        {"central CRC differs", [](ZipSpec& s) { entry(s, "lib/app.js").centralCrc = 1; }, nullptr,
         "CRC or sizes differ"},
        {"local size differs", [](ZipSpec& s) { entry(s, "lib/app.js").localSize = 299; }, nullptr,
         "CRC or sizes differ"},
        {"descriptor CRC differs",
         [](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "lib/app.js");
             e.dataDescriptor = true;
             e.descriptorCrc = 1;
         },
         nullptr, "data descriptor differs"},
        {"descriptor size differs",
         [](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "lib/app.js");
             e.dataDescriptor = true;
             e.descriptorSize = 1;
         },
         nullptr, "data descriptor differs"},
        {"local header with a descriptor holds other sizes",
         [](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "lib/app.js");
             e.dataDescriptor = true;
             e.localSize = 7;
         },
         nullptr, "CRC or sizes differ"},
        // A streaming reader would read on to the next signed descriptor.
        {"stored entry with an unsigned descriptor", unsignedDescriptor("mimetype"), nullptr,
         "stored entry's data descriptor has no signature"},
        {"directory entry with an unsigned descriptor", unsignedDescriptor("lib/"), nullptr,
         "stored entry's data descriptor has no signature"},
        {"unsigned descriptor whose CRC reads as the signature",
         [](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "lib/app.js");
             e.dataDescriptor = true;
             e.descriptorSignature = false;
             e.descriptorCrc = e.centralCrc = 0x08074b50;
         },
         nullptr, "reads as a signed one"},
        {"stored entry whose sizes differ",
         [](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "mimetype");
             e.localSize = e.centralSize = 40;
         },
         nullptr, "stored entry's sizes differ"},
        // Extra fields
        {"second name in the local extra field",
         [](ZipSpec& s) { entry(s, "lib/app.js").localExtra = kvtest::unicodePathExtra("lib/app.js", "Thumbs.db"); },
         nullptr, "second name"},
        {"second name in the central extra field",
         [](ZipSpec& s) {
             entry(s, "index.html").centralExtra = kvtest::unicodePathExtra("index.html", "__MACOSX/index.html");
         },
         nullptr, "second name"},
        {"extra field block cut inside a field header",
         [](ZipSpec& s) { entry(s, "index.html").localExtra = std::string("\x55\x54", 2); }, nullptr,
         "ends inside a field header"},
        {"extra field longer than its block",
         [](ZipSpec& s) { entry(s, "index.html").centralExtra = std::string("\x55\x54\x09\x00\x01", 5); }, nullptr,
         "runs past its block"},
        // Readers that know these fields take a kind, a mode or a link target from them: a link
        // or a set-uid file where the listing says a plain file. Unknown fields may be such.
        {"link mode in a local attributes field",
         [](ZipSpec& s) { entry(s, "index.html").localExtra = kvtest::attributesExtra(0x031E, 0120777u << 16); },
         nullptr, "could give an entry a mode"},
        {"link mode in a central attributes field",
         [](ZipSpec& s) { entry(s, "index.html").centralExtra = kvtest::attributesExtra(0x031E, 0120777u << 16); },
         nullptr, "could give an entry a mode"},
        {"set-uid mode in a local attributes field",
         [](ZipSpec& s) { entry(s, "lib/app.js").localExtra = kvtest::attributesExtra(0x031E, 0104755u << 16); },
         nullptr, "could give an entry a mode"},
        {"Unix field with a link target",
         [](ZipSpec& s) {
             entry(s, "index.html").localExtra =
                 kvtest::extraField(0x000d, std::string(12, '\0') + "../../etc/passwd");
         },
         nullptr, "could give an entry a mode"},
        {"Unix mode and link field",
         [](ZipSpec& s) {
             entry(s, "index.html").centralExtra = kvtest::extraField(
                 0x756e, kvtest::le(0, 4) + kvtest::le(0120777, 2) + kvtest::le(0, 4) + kvtest::le(0, 4) + "/etc/passwd");
         },
         nullptr, "could give an entry a mode"},
        {"field of an unknown kind", [](ZipSpec& s) { entry(s, "index.html").localExtra = kvtest::extraField(0x4b56, "x"); },
         nullptr, "could give an entry a mode"},
        {"empty field of an unknown kind",
         [](ZipSpec& s) { entry(s, "index.html").centralExtra = kvtest::extraField(0x4b56, ""); }, nullptr,
         "could give an entry a mode"},
        {"jar marker that holds data",
         [](ZipSpec& s) { s.entries[0].localExtra = kvtest::extraField(0xCAFE, "ab"); }, nullptr, "always empty"},
        // Entries
        {"encrypted entry", [](ZipSpec& s) { entry(s, "lib/app.js").extraFlags = 0x0001; }, nullptr, "encrypted"},
        {"two entries of one name", [&](ZipSpec& s) { s.entries.push_back(file("index.html", evil)); }, nullptr,
         "two entries share a name"},
        {"a file and a directory of one name", [](ZipSpec& s) { s.entries.push_back(file("lib", "x")); }, nullptr,
         "two entries share a name"},
        {"an entry below a file", [](ZipSpec& s) { s.entries.push_back(file("index.html/x.js", "x")); }, nullptr,
         "below a file or link entry"},
        {"an entry below a link",
         [](ZipSpec& s) {
             s.entries.push_back(link("drop", "/etc"));
             s.entries.push_back(file("drop/x.conf", "x"));
         },
         nullptr, "below a file or link entry"},
        {"directory entry with content",
         [](ZipSpec& s) {
             ZipEntrySpec e = file("full/", "abc");
             e.unixMode = 040755;
             s.entries.push_back(e);
         },
         nullptr, "directory entry has content"},
        // Readers that take the kind from the mode or the attributes must agree with the name.
        {"file entry with a directory's mode",
         [](ZipSpec& s) { entry(s, "index.html").unixMode = 040644; }, nullptr, "another kind than its name"},
        {"file entry with the directory attribute",
         [](ZipSpec& s) { entry(s, "index.html").dosAttributes = 0x10; }, nullptr, "another kind than its name"},
        {"file entry with a device's mode",
         [](ZipSpec& s) { entry(s, "index.html").unixMode = 020644; }, nullptr, "another kind than its name"},
        {"directory entry with a file's mode",
         [](ZipSpec& s) { entry(s, "lib/").unixMode = 0100755; }, nullptr, "not a directory's"},
        {"set-user-id file", [](ZipSpec& s) { entry(s, "index.html").unixMode = 0104755; }, nullptr, "set-id"},
        {"compression method other than stored or deflated",
         [](ZipSpec& s) { entry(s, "lib/app.js").localMethod = entry(s, "lib/app.js").centralMethod = 12; }, nullptr,
         "neither stored nor deflated"},
        // A streaming reader that sizes the descriptor by the sizes would read 16 bytes and lose
        // its place.
        {"descriptor widened by a zip64 field for small sizes",
         [](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "lib/app.js");
             e.zip64 = true;
             e.dataDescriptor = true;
         },
         nullptr, "wider than its sizes need"},
        // Case-insensitive file systems and readers that take an unflagged name as CP437 would
        // write one file for two entries.
        {"names that differ only in case", [](ZipSpec& s) { s.entries.push_back(file("Index.html", "x")); }, nullptr,
         "two entries share a name once case is folded"},
        {"an entry below a file of the same name in another case",
         [](ZipSpec& s) { s.entries.push_back(file("INDEX.HTML/x.js", "x")); }, nullptr,
         "below a file or link entry once case is folded"},
        {"a UTF-8 name and an unflagged name that reads as it in CP437",
         [](ZipSpec& s) {
             s.entries.push_back(file("\xc3\xbc.txt", "A"));  // flagged by the writer
             ZipEntrySpec e = file("\x81.txt", "B");
             e.localFlags = e.centralFlags = 0;
             s.entries.push_back(e);
         },
         nullptr, "read as CP437"},
        {"link target too long", [](ZipSpec& s) { s.entries.push_back(link("long", std::string(5000, 'x'))); },
         nullptr, "link target is too long"},
        // The extractor makes a link where readers that take the kind from the DOS attributes
        // write a file.
        {"link mode on an entry made on an MS-DOS host",
         [](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "index.html");
             e.hostSystem = 0;
             e.unixMode = 0120644;
         },
         nullptr, "host other than Unix"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZipSpec spec = baseSpec();
        if (c.edit) c.edit(spec);
        const Read r = write(spec, c.patch);
        EXPECT_FALSE(r.accepted);
        EXPECT_NE(r.reason.find(c.reason), std::string::npos) << r.reason;
    }
}

TEST_F(ArchiveReader, RefusesNamesThatExtractorsRewrite) {
    struct Case {
        const char* name;
        std::string entryName;
        const char* reason;
    };
    const Case cases[] = {
        {"line feed before a climb", "\n../README.txt", "control character"},
        {"tab before a climb", "\t../README.txt", "control character"},
        {"carriage return before a climb", "\r../README.txt", "control character"},
        {"escape", "lib/\x1b[0m.js", "control character"},
        {"DEL", "lib/a\x7f.js", "control character"},
        {"backslash", "lib\\..\\..\\x.js", "backslash"},
        {"absolute", "/etc/passwd", "absolute"},
        {"climbing", "../x.js", "element"},
        {"climbing in the middle", "lib/../../x.js", "element"},
        {"dot element", "./x.js", "element"},
        {"dot element in the middle", "lib/./x.js", "element"},
        {"empty element", "lib//x.js", "element"},
        {"directory of two slashes", "lib2//", "element"},
        {"only a slash", "/", "empty name"},
        {"empty name", "", "empty name"},
        {"longer than a path", std::string(5000, 'n'), "too long"},
        {"deeper than 256 elements", [] {
             std::string deep;
             for (int i = 0; i < 256; ++i) deep += "d/";
             return deep + "x.js";
         }(), "too many elements"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZipSpec spec = baseSpec();
        const bool isDirectory = !c.entryName.empty() && c.entryName.back() == '/';
        spec.entries.push_back(isDirectory ? directory(c.entryName) : file(c.entryName, "x"));
        const Read r = write(spec);
        EXPECT_FALSE(r.accepted);
        EXPECT_NE(r.reason.find(c.reason), std::string::npos) << r.reason;
    }
}

// Structure alone cannot tell where a deflate stream ends, nor what it decodes to: each
// case passes the structural check and must fail the data check.
TEST_F(ArchiveReader, DataMustDecodeToExactlyWhatIsDeclared) {
    struct Case {
        const char* name;
        std::function<void(ZipSpec&)> edit;
        const char* reason;  // null: the data check passes
    };
    // An entry whose deflate stream ends early, followed by a descriptor and a whole local
    // entry: a reader that streams from the front takes them for the next entries.
    auto hiding = [](ZipEntrySpec& e, bool descriptor) {
        const std::string genuine = kvtest::deflateRaw(e.data);
        std::string hidden = genuine;
        if (descriptor)
            hidden += "PK\x07\x08" + kvtest::le(kvtest::crc32Of(e.data), 4) + kvtest::le(genuine.size(), 4) +
                      kvtest::le(e.data.size(), 4);
        hidden += kvtest::localEntryBytes(file("index.html", "<html>EVIL</html>"));
        e.dataDescriptor = descriptor;
        e.rawData = hidden;
    };
    const Case cases[] = {
        {"the valid archive", [](ZipSpec&) {}, nullptr},
        {"stored data behind a descriptor",
         [](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "lib/app.js");
             e.method = 0;
             e.dataDescriptor = true;
         },
         nullptr},
        {"entries hidden after the end of a deflate stream, behind a descriptor",
         [&](ZipSpec& s) { hiding(entry(s, "lib/app.js"), true); }, "goes on after its stream ends"},
        {"entries hidden after the end of a deflate stream", [&](ZipSpec& s) { hiding(entry(s, "lib/app.js"), false); },
         "goes on after its stream ends"},
        {"deflate stream cut short",
         [](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "lib/app.js");
             const std::string whole = kvtest::deflateRaw(e.data);
             e.rawData = whole.substr(0, whole.size() / 2);
         },
         "ends inside its stream"},
        {"damaged deflate stream", [](ZipSpec& s) { entry(s, "lib/app.js").rawData = std::string(8, '\xff'); },
         "damaged"},
        {"deflated data that decodes past its declared size",
         [](ZipSpec& s) {
             ZipEntrySpec bomb;
             bomb.name = "blob.bin";
             bomb.zeros = 64 << 20;
             bomb.localSize = bomb.centralSize = 1000;
             s.entries.push_back(bomb);
         },
         "decodes past its declared size"},
        {"deflated data that decodes to less than declared",
         [](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "lib/app.js");
             e.localSize = e.centralSize = e.data.size() + 1;
         },
         "another size than declared"},
        {"deflated data of another CRC-32",
         [](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "lib/app.js");
             e.localCrc = e.centralCrc = 1;
         },
         "does not match its CRC-32"},
        {"stored data of another CRC-32",
         [](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "mimetype");
             e.localCrc = e.centralCrc = 1;
         },
         "does not match its CRC-32"},
        // A streaming reader ends stored data at the first descriptor signature.
        {"stored data behind a descriptor that holds a descriptor signature",
         [](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "lib/app.js");
             e.method = 0;
             e.dataDescriptor = true;
             e.data = "before PK\x07\x08 after";
         },
         "holds a data descriptor signature"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZipSpec spec = baseSpec();
        c.edit(spec);
        Read r = write(spec);
        ASSERT_TRUE(r.accepted) << r.reason;
        std::string reason;
        const bool ok = ka::checkArchiveDataFile(zip, r.listing, reason);
        if (c.reason == nullptr) {
            EXPECT_TRUE(ok) << reason;
        } else {
            EXPECT_FALSE(ok);
            EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
        }
    }
}

// Names cost the extractor time that grows faster than their depth: bounded per name and
// in all, link targets counting with the names.
TEST_F(ArchiveReader, NamesAreBoundedInDepthAndInAll) {
    // 32,768 directories of 256 elements each: exactly the bound.
    std::string deep;
    for (int i = 0; i < 255; ++i) deep += "a/";
    ZipSpec spec;
    for (int i = 0; i < 32768; ++i) spec.entries.push_back(directory(deep + std::to_string(i) + "/"));
    Read r = write(spec);
    ASSERT_TRUE(r.accepted) << r.reason;
    EXPECT_EQ(r.listing.nameElements, ka::kMaxTotalElements);

    spec.entries.push_back(file("one-more", "x"));
    r = write(spec);
    EXPECT_FALSE(r.accepted);
    EXPECT_NE(r.reason.find("too many elements in all"), std::string::npos) << r.reason;

    // Few names, but link targets of thousands of empty elements each.
    ZipSpec links = baseSpec();
    for (int i = 0; i < 2100; ++i) links.entries.push_back(link("l" + std::to_string(i), std::string(4000, '/')));
    r = write(links);
    ASSERT_TRUE(r.accepted) << r.reason;
    std::string reason;
    ASSERT_TRUE(ka::checkArchiveDataFile(zip, r.listing, reason)) << reason;
    EXPECT_FALSE(ka::checkLinks(r.listing, reason));
    EXPECT_NE(reason.find("link targets have too many elements in all"), std::string::npos) << reason;
}

// --- links, resolved over the listing ---

// Each case adds links (and files) to a small package and checks every link. A reader that
// makes no links installs the target's text, so the target must name something the walk
// digests under the link's name.
TEST_F(ArchiveReader, LinksMustLeadToWhatTheWalkDigests) {
    struct Case {
        const char* name;
        std::vector<ZipEntrySpec> add;
        const char* reason;  // null: every link passes
    };
    auto chain = [](int links) {
        std::vector<ZipEntrySpec> out;
        for (int i = 0; i + 1 < links; ++i) out.push_back(link("c" + std::to_string(i), "c" + std::to_string(i + 1)));
        out.push_back(link("c" + std::to_string(links - 1), "lib/app.js"));
        return out;
    };
    auto deflated = [](ZipEntrySpec e) {
        e.method = 8;
        return e;
    };
    const Case cases[] = {
        {"a file beside it", {link("lib/l", "app.js")}, nullptr},
        {"a file one level up", {link("lib/l", "../index.html")}, nullptr},
        {"a directory entry", {link("docs", "lib")}, nullptr},
        {"a directory only implied by the names below it", {link("l", "lib/sub")}, nullptr},
        {"\".\" and empty elements", {link("lib/l", "./sub//deep.js")}, nullptr},
        {"a deflated target", {deflated(link("lib/l", "../lib/sub/deep.js"))}, nullptr},
        {"a link to a link", {link("a", "b"), link("b", "lib/app.js")}, nullptr},
        {"a path through a link to a directory", {link("l", "d/app.js"), link("d", "lib")}, nullptr},
        {"a directory with a trailing \"/\" or \"/.\"", {link("docs", "lib/"), link("sub", "lib/sub/.")}, nullptr},
        {"\".\" and \"..\" before the names", {link("lib/sub/l", ".././../index.html")}, nullptr},
        {"a trailing \"/\" after a link to a directory", {link("l", "d/"), link("d", "lib")}, nullptr},
        {"\"__MACOSX\" below the top", {file("lib/__MACOSX/x.js", "x"), link("l", "lib/__MACOSX/x.js")}, nullptr},
        {"40 links in all", chain(40), nullptr},

        {"an empty target", {link("l", "")}, "is empty"},
        {"an absolute target", {link("l", "/etc/passwd")}, "is absolute"},
        {"climbing above the root", {link("l", "../index.html")}, "climbs above the package root"},
        {"climbing above the root and back", {link("lib/l", "../../lib/app.js")}, "climbs above the package root"},
        {"a missing file", {link("l", "nothing.js")}, "not in the archive"},
        {"a name in another case", {link("l", "INDEX.HTML")}, "not in the archive"},
        {"a path below a file", {link("l", "index.html/x")}, "not in the archive"},
        // A name that the path does not keep would be text of anyone's choosing.
        {"climbing above the root past a missing directory", {link("l", "gone/../../x")}, "not in the archive"},
        {"\"..\" after a followed link", {link("l", "d/../app.js"), link("d", "lib/sub")}, "\"..\" after a name"},
        {"the parent where a followed link leads, not where it stands", {link("l", "d/../index.html"), link("d", "lib/sub")},
         "\"..\" after a name"},
        {"markup in an empty directory's name, then \"..\"",
         {directory("lib/<svg onload=alert(1)>/"), link("lib/l", "<svg onload=alert(1)>/../app.js")},
         "\"..\" after a name"},
        {"markup in a name below __MACOSX, then back",
         {directory("__MACOSX/<svg onload=alert(1)>/"), link("lib/l", "../__MACOSX/<svg onload=alert(1)>/../../lib/app.js")},
         "\"..\" after a name"},
        {"a missing name, then \"..\"", {link("lib/l", "zz/../app.js")}, "not in the archive"},
        {"a file, then \"..\"", {link("l", "index.html/../lib/app.js")}, "\"..\" after a name"},
        {"a directory, then \"..\"", {link("l", "lib/../index.html")}, "\"..\" after a name"},
        {"a file with a trailing \"/\"", {link("lib/l", "app.js/")}, "goes on past a file"},
        {"a file with a trailing \"/.\"", {link("lib/l", "app.js/.")}, "goes on past a file"},
        {"a link to a file with a trailing \"/\"", {link("l", "a/"), link("a", "index.html")}, "goes on past a file"},
        {"the package root", {link("lib/l", "..")}, "is the package root"},
        {"the package root from the top", {link("l", ".")}, "is the package root"},
        {"its own directory", {link("lib/l", ".")}, "holds the link"},
        {"an ancestor", {link("lib/sub/l", "../../lib")}, "holds the link"},
        {"itself", {link("l", "l")}, "loop"},
        {"two links leading to each other", {link("a", "b"), link("b", "a")}, "loop"},
        {"41 links in all", chain(41), "too many links"},
        {"a file below __MACOSX", {file("__MACOSX/x.js", "x"), link("l", "__MACOSX/x.js")}, "excluded name"},
        {"a file below Thumbs.db", {file("lib/Thumbs.db/x.js", "x"), link("l", "lib/Thumbs.db/x.js")}, "excluded name"},
        {"a .DS_Store file", {file("lib/.DS_Store", "x"), link("lib/l", ".DS_Store")}, "excluded name"},
        {"a desktop.ini file", {file("desktop.ini", "x"), link("lib/l", "../desktop.ini")}, "excluded name"},
        {"a directory below __MACOSX", {file("__MACOSX/d/x.js", "x"), link("l", "__MACOSX/d")}, "excluded name"},
        {"a link of an excluded name on the way", {link("l", "__MACOSX/m"), link("__MACOSX/m", "../index.html")},
         "through a link of an excluded name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZipSpec spec;
        spec.entries = {file("index.html", "<html></html>\n"), directory("lib/"), file("lib/app.js", kApp),
                        file("lib/sub/deep.js", "deep")};
        spec.entries.insert(spec.entries.end(), c.add.begin(), c.add.end());
        Read r = write(spec);
        ASSERT_TRUE(r.accepted) << r.reason;
        std::string reason;
        ASSERT_TRUE(ka::checkArchiveDataFile(zip, r.listing, reason)) << reason;
        const bool ok = ka::checkLinks(r.listing, reason);
        if (c.reason == nullptr) {
            EXPECT_TRUE(ok) << reason;
        } else {
            EXPECT_FALSE(ok);
            EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
        }
    }
}

// The walk resolves each link on disk, every link on its way included, so links that lead
// through a chain of long links walk the whole chain each. Here each link of a chain of 38
// holds about 1,000 elements ("lib/.." 500 times, then the next link): resolving the chain's
// head walks 38,039 elements, the chain's links together 741,779, and each link to the head
// 38,040 more; eight of them make 1,046,099, within the bound of 1,048,576. Without the bound,
// 200 links to such a head hold the walk for seconds, 10,000 for minutes.
TEST_F(ArchiveReader, LinkResolutionIsBoundedInAll) {
    // A thousand "." elements before each target's name: each one is walked, and none of
    // them names anything.
    std::string pad;
    for (int i = 0; i < 1000; ++i) pad += "./";
    auto chainWithHeads = [&](int heads) {
        ZipSpec spec;
        spec.entries = {directory("lib/"), file("lib/app.js", kApp)};
        for (int i = 0; i < 37; ++i) spec.entries.push_back(link("c" + std::to_string(i), pad + "c" + std::to_string(i + 1)));
        spec.entries.push_back(link("c37", pad + "lib/app.js"));
        for (int i = 0; i < heads; ++i) spec.entries.push_back(link("head" + std::to_string(i), "c0"));
        return spec;
    };
    struct Case {
        const char* name;
        int heads;
        bool ok;
    };
    const Case cases[] = {
        {"the chain and one link to its head", 1, true},
        {"the chain and eight links to its head", 8, true},
        {"the chain and nine links to its head", 9, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Read r = write(chainWithHeads(c.heads));
        ASSERT_TRUE(r.accepted) << r.reason;
        std::string reason;
        ASSERT_TRUE(ka::checkArchiveDataFile(zip, r.listing, reason)) << reason;
        EXPECT_EQ(ka::checkLinks(r.listing, reason), c.ok) << reason;
        if (!c.ok) {
            EXPECT_NE(reason.find("walks too many elements in all"), std::string::npos) << reason;
        }
    }
}

TEST(ArchiveReaderMemory, EveryBoundIsCheckedBeforeReading) {
    // Truncations of a valid archive at every length: refused, never read outside the input.
    kvtest::ScratchDir scratch;
    kvtest::writeZipSpec(scratch.file("a.zip"), baseSpec());
    const std::string whole = kvtest::readFile(scratch.file("a.zip"));
    for (std::size_t length = 0; length < whole.size(); ++length) {
        const std::string cut = whole.substr(0, length);
        ka::MemorySource source(cut);
        ka::Listing listing;
        std::string reason;
        EXPECT_FALSE(ka::readArchive(source, listing, reason)) << length;
    }
    ka::MemorySource source(whole);
    ka::Listing listing;
    std::string reason;
    EXPECT_TRUE(ka::readArchive(source, listing, reason)) << reason;
}

// --- the extracted tree against the listing ---

class ExtractedTree : public testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/bin/unzip", X_OK) != 0) GTEST_SKIP() << "needs unzip";
        kvtest::writeZipSpec(zip, baseSpec());
        std::string reason;
        ASSERT_TRUE(ka::readArchiveFile(zip, listing, reason)) << reason;
        ASSERT_TRUE(ka::checkArchiveDataFile(zip, listing, reason)) << reason;  // reads the link targets
        ASSERT_EQ(kvtest::runProgram("/usr/bin/unzip", {"-q", zip, "-d", root}).exitCode, 0);
    }
    bool matches() {
        reason.clear();
        return ka::treeMatchesListing(root, listing, reason);
    }
    kvtest::ScratchDir scratch;
    std::string zip = scratch.file("pkg.zip");
    std::string root = scratch.file("x");
    ka::Listing listing;
    std::string reason;
};

TEST_F(ExtractedTree, MatchesWhatTheArchiveHolds) { EXPECT_TRUE(matches()) << reason; }

TEST_F(ExtractedTree, AnyDifferenceIsFound) {
    struct Case {
        const char* name;
        std::function<void(const std::string& root)> change;
        const char* reason;
    };
    const Case cases[] = {
        {"a file more", [](const std::string& r) { kvtest::writeFile(r + "/lib/extra.js", "x"); }, "does not hold"},
        {"a file renamed", [](const std::string& r) { fs::rename(r + "/index.html", r + "/Index.html"); },
         "does not hold"},
        {"a file missing", [](const std::string& r) { fs::remove(r + "/index.html"); }, "left out"},
        {"a file of another size", [](const std::string& r) { kvtest::writeFile(r + "/lib/app.js", "short"); },
         "does not hold"},
        {"a link where a file was",
         [](const std::string& r) {
             fs::remove(r + "/index.html");
             fs::create_symlink("lib/app.js", r + "/index.html");
         },
         "does not hold"},
        {"a file where a link was",
         [](const std::string& r) {
             fs::remove(r + "/lib/app-link.js");
             kvtest::writeFile(r + "/lib/app-link.js", "app.js");
         },
         "does not hold"},
        {"a link target of the same length changed",
         [](const std::string& r) {
             fs::remove(r + "/lib/app-link.js");
             fs::create_symlink("../x.j", r + "/lib/app-link.js");
         },
         "another link target"},
        {"a directory more", [](const std::string& r) { fs::create_directories(r + "/lib/sub"); },
         "directory the archive does not hold"},
        {"a directory entry missing",
         [](const std::string& r) {
             fs::remove(r + "/META-INF/signatures.xml");
             fs::remove(r + "/META-INF");
         },
         "left out"},
        {"a named pipe", [](const std::string& r) { mkfifo((r + "/lib/pipe").c_str(), 0600); }, "does not hold"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root);
        ASSERT_EQ(kvtest::runProgram("/usr/bin/unzip", {"-q", zip, "-d", root}).exitCode, 0);
        c.change(root);
        EXPECT_FALSE(matches());
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    }
}

TEST_F(ExtractedTree, ClosedDirectoriesAreOpenedForTheOwner) {
    chmod((root + "/lib").c_str(), 0);
    chmod((root + "/META-INF").c_str(), 0555);
    EXPECT_TRUE(matches()) << reason;
    struct stat info;
    ASSERT_EQ(lstat((root + "/lib").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & S_IRWXU, static_cast<mode_t>(S_IRWXU));
    ASSERT_EQ(lstat((root + "/META-INF").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
}

// --- resolving inside the package ---

TEST(InsidePackage, FollowsOnlyLinksThatStayInside) {
    kvtest::ScratchDir scratch;
    const std::string root = fs::canonical(scratch.path()).generic_string() + "/pkg";
    const std::string outside = fs::canonical(scratch.path()).generic_string() + "/outside";
    kvtest::writeFile(root + "/a.txt", "a");
    kvtest::writeFile(root + "/sub/b.txt", "b");
    kvtest::writeFile(outside + "/secret.txt", "s");
    ASSERT_EQ(mkfifo((outside + "/pipe").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0600), 0);
    struct LinkSpec {
        const char* name;
        std::string target;
    };
    const LinkSpec links[] = {
        {"to-a", "a.txt"},
        {"sub/up-to-a", "../a.txt"},
        {"abs-to-a", root + "/a.txt"},
        {"to-sub", "sub"},
        {"chain", "to-sub/../to-a"},
        {"abs-outside", outside + "/secret.txt"},
        {"climb-outside", "../outside/secret.txt"},
        {"climb-back", "../pkg/a.txt"},
        {"to-outside-pipe", outside + "/pipe"},
        {"to-outside-dir", "../outside"},
        {"loop1", "loop2"},
        {"loop2", "loop1"},
        {"dangling", "nothing-here"},
    };
    for (const LinkSpec& l : links) fs::create_symlink(l.target, root + "/" + l.name);

    using R = kvbsign::InsideResult;
    struct Case {
        const char* relative;
        R want;
        std::string resolved;
    };
    const Case cases[] = {
        {"a.txt", R::RegularFile, root + "/a.txt"},
        {"to-a", R::RegularFile, root + "/a.txt"},
        {"sub/up-to-a", R::RegularFile, root + "/a.txt"},
        {"abs-to-a", R::RegularFile, root + "/a.txt"},
        {"to-sub/b.txt", R::RegularFile, root + "/sub/b.txt"},
        {"chain", R::RegularFile, root + "/a.txt"},
        {"sub", R::NotRegular, ""},
        {"pipe", R::NotRegular, ""},
        {"abs-outside", R::LeavesPackage, ""},
        {"climb-outside", R::LeavesPackage, ""},
        // It would come back, but only by leaving first.
        {"climb-back", R::LeavesPackage, ""},
        {"to-outside-pipe", R::LeavesPackage, ""},
        {"to-outside-dir/secret.txt", R::LeavesPackage, ""},
        {"../outside/secret.txt", R::LeavesPackage, ""},
        {"loop1", R::Error, ""},
        {"dangling", R::Missing, ""},
        {"missing.txt", R::Missing, ""},
        {"a.txt/below", R::Missing, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.relative);
        std::string resolved;
        EXPECT_EQ(kvbsign::resolveInsidePackage(root, c.relative, resolved), c.want);
        if (c.want == R::RegularFile) {
            EXPECT_EQ(resolved, c.resolved);
        }
    }
}

// --- removal ---

TEST(TemporaryRemoval, ClosedDirectoriesDoNotKeepATree) {
    std::string dir = KVBSignLibInternal::createTempDirectory(1, 0);
    ASSERT_FALSE(dir.empty());
    kvtest::writeFile(dir + "/a/b/c.txt", "c");
    kvtest::writeFile(dir + "/d/e.txt", "e");
    fs::create_symlink("/etc", dir + "/d/etc-link");
    chmod((dir + "/a/b").c_str(), 0);
    chmod((dir + "/a").c_str(), 0555);
    chmod((dir + "/d").c_str(), 0500);
    struct stat etc;
    ASSERT_EQ(stat("/etc", &etc), 0);
    KVBSignLibInternal::removeTempDirectory(dir);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir)));
    struct stat after;
    ASSERT_EQ(stat("/etc", &after), 0);
    EXPECT_EQ(after.st_mode, etc.st_mode) << "a link was followed";
}

}  // namespace

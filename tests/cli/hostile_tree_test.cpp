// Hostile package directories against the built KVBSignCmd: unlisted payloads beside the
// names the walk leaves out, links out of the tree or in loops, fans of links to the same
// files, signature documents that are links or directories, and special files.

#include <sys/stat.h>

#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "cli_runner.h"
#include "hostile_run.h"
#include "package_builder.h"

namespace {

namespace fs = boost::filesystem;
using kvtest::PackageBuilder;
using kvtest::SignedPackage;
using kvtest::hostile::basePackage;
using kvtest::hostile::buildDir;
using kvtest::hostile::HostileTest;
using kvtest::hostile::kEvil;
using kvtest::hostile::kMegabyte;
using kvtest::hostile::Row;
using kvtest::hostile::runHostile;
using kvtest::hostile::Workspace;

std::vector<Row> hostileTrees() {
    auto withFile = [](const char* path) {
        return [path](Workspace& w) {
            PackageBuilder b = basePackage();
            b.addUnlistedFile(path, kEvil);
            return buildDir(w, b).dir;
        };
    };
    return {
        {"dir: extra unlisted file in a subdirectory", withFile("lib/extra.js"), 50},
        {"dir: payload below Thumbs.dbx/", withFile("Thumbs.dbx/evil.js"), 50},
        {"dir: payload below __MACOSXa/", withFile("__MACOSXa/evil.js"), 50},
        {"dir: payload in a directory named .DS_Store", withFile(".DS_Store/evil.js"), 50},
        {"dir: payload below a nested __MACOSX/", withFile("lib/__MACOSX/evil.js"), 50},
        {"dir: payload whose name holds an excluded name", withFile("lib/desktop.ini.js"), 50},
        {"dir: link with an absolute target inside the package",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addSymlink("lib/abs.html", w.pkgDir() + "/index.html", true, "<html><body>hello</body></html>\n");
             return buildDir(w, b).dir;
         },
         50},
        {"dir: link to the canary file",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addSymlink("lib/canary.txt", w.canary(), true, kvtest::readFile(w.canary()));
             return buildDir(w, b).dir;
         },
         50},
        {"dir: relative link climbing to a sibling directory",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addSymlink("lib/out", "../../outside");
             return buildDir(w, b).dir;
         },
         50},
        // The walk stops at it; what it saw before proves nothing about what comes after.
        {"dir: dangling relative link",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addSymlink("lib/zz-gone.js", "no-such.js");
             return buildDir(w, b).dir;
         },
         50},
        {"dir: link loop",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addSymlink("loop/a", "b").addSymlink("loop/b", "a");
             return buildDir(w, b).dir;
         },
         50},
        // Eight links to the next level at each of six levels: 8^6 paths to the same few files.
        {"dir: directory links fanning out at every level",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             for (int level = 0; level < 6; ++level) {
                 const std::string dir = "fan/d" + std::to_string(level);
                 b.addUnlistedFile(dir + "/f.txt", "f");
                 for (int link = 0; level < 5 && link < 8; ++link)
                     b.addSymlink(dir + "/l" + std::to_string(link), "../d" + std::to_string(level + 1));
             }
             return buildDir(w, b).dir;
         },
         50},
        // Fewer paths, one large file at the end of them: every path to it reads it again, so
        // a bound on the number of paths alone leaves the work growing with the file.
        {"dir: directory links fanning out to a large file",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             for (int level = 0; level < 4; ++level) {
                 const std::string dir = "fan/d" + std::to_string(level);
                 b.addUnlistedFile(dir + "/f.txt", level == 3 ? std::string(64 * kMegabyte, '\0') : "f");
                 for (int link = 0; level < 3 && link < 8; ++link)
                     b.addSymlink(dir + "/l" + std::to_string(link), "../d" + std::to_string(level + 1));
             }
             return buildDir(w, b).dir;
         },
         50},
        {"dir: link named .DS_Store to an absolute path",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addSymlink("lib/.DS_Store", w.outside());
             return buildDir(w, b).dir;
         },
         50},
        {"dir: mimetype linked to a file outside",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.noMimetype().addSymlink("mimetype", w.canary(), true, kvtest::readFile(w.canary()));
             return buildDir(w, b).dir;
         },
         50},
        {"dir: signature document linked from outside",
         [](Workspace& w) {
             const SignedPackage p = buildDir(w, basePackage());
             kvtest::writeFile(w.scratch.file("elsewhere/signatures.xml"), p.xml);
             fs::remove(p.xmlPath());
             fs::create_symlink("../../elsewhere/signatures.xml", p.xmlPath());
             return p.dir;
         },
         31},
        // Its size cannot be taken, which counts as a read error.
        {"dir: signature document is a directory",
         [](Workspace& w) {
             const SignedPackage p = buildDir(w, basePackage());
             fs::remove(p.xmlPath());
             fs::create_directories(p.xmlPath() + "/inner");
             return p.dir;
         },
         31},
        // Nothing to digest, and reading it could block: it cannot be covered by the manifest.
        {"dir: unlisted named pipe",
         [](Workspace& w) {
             const SignedPackage p = buildDir(w, basePackage());
             if (mkfifo((p.dir + "/lib/pipe").c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
             return p.dir;
         },
         50},
        {"file: package path is a named pipe",
         [](Workspace& w) {
             if (mkfifo(w.pkgZip().c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
             return w.pkgZip();
         },
         20},
    };
}

TEST_F(HostileTest, TreesNeverPass) { runHostile("tree", hostileTrees()); }

}  // namespace

#include "reader_agreement.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <openssl/evp.h>

#include "test_pki.h"

namespace kvtest {
namespace {

const char kUnzip[] = "/usr/bin/unzip";
const char kBsdtar[] = "/usr/bin/bsdtar";

// What a tree holds at one path.
struct Item {
    char kind;         // 'f' file, 'd' directory, 'l' link, 'o' anything else
    std::string what;  // a file's SHA-256, a link's target
    // The set-user-id, set-group-id and sticky bits of a file or directory: a set-uid file
    // is another kind of file than a plain one, whatever its bytes.
    mode_t special = 0;
};
using Tree = std::map<std::string, Item>;

std::string fileDigest(int dirFd, const char* name) {
    const int fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(std::string("reader agreement: cannot open ") + name);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
    char buf[1 << 16];
    for (ssize_t n; ok && (n = read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0) {
            ok = errno == EINTR;
            continue;
        }
        ok = EVP_DigestUpdate(ctx, buf, static_cast<std::size_t>(n)) == 1;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, md, &length) == 1;
    EVP_MD_CTX_free(ctx);
    close(fd);
    if (!ok) throw std::runtime_error(std::string("reader agreement: cannot read ") + name);
    return std::string(reinterpret_cast<const char*>(md), length);
}

// Every entry below `root`, by its path relative to it. Directories get read, write and
// search permission for their owner first, as the archive's modes may have closed them.
Tree snapshot(const std::string& root) {
    Tree tree;
    chmod(root.c_str(), 0700);
    std::vector<std::string> pending{""};
    // Each pass lists one directory; links are never followed.
    while (!pending.empty()) {
        const std::string relative = pending.back();
        pending.pop_back();
        const std::string path = relative.empty() ? root : root + "/" + relative;
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
        if (dir == nullptr) {
            if (fd >= 0) close(fd);
            throw std::runtime_error("reader agreement: cannot list " + path);
        }
        while (const dirent* e = readdir(dir)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            const std::string name = relative.empty() ? e->d_name : relative + "/" + e->d_name;
            struct stat st;
            if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                closedir(dir);
                throw std::runtime_error("reader agreement: cannot examine " + name);
            }
            Item item{'o', ""};
            if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) item.special = st.st_mode & (S_ISUID | S_ISGID | S_ISVTX);
            if (S_ISDIR(st.st_mode)) {
                item.kind = 'd';
                fchmodat(dirfd(dir), e->d_name, (st.st_mode & 07777) | S_IRWXU, 0);
                pending.push_back(name);
            } else if (S_ISLNK(st.st_mode)) {
                item.kind = 'l';
                char target[4096];
                const ssize_t n = readlinkat(dirfd(dir), e->d_name, target, sizeof target);
                if (n >= 0) item.what.assign(target, static_cast<std::size_t>(n));
            } else if (S_ISREG(st.st_mode)) {
                item.kind = 'f';
                item.what = fileDigest(dirfd(dir), e->d_name);
            }
            tree[name] = item;
        }
        closedir(dir);
    }
    return tree;
}

std::string describe(const Item& item) {
    const std::string special = item.special == 0 ? "" : " with set-id or sticky bits";
    switch (item.kind) {
    case 'f': return "a file" + special;
    case 'd': return "a directory" + special;
    case 'l': return "a link to \"" + item.what + "\"";
    default: return "neither file, directory nor link";
    }
}

// What `other` holds differently from `reference`, the extractor's tree.
std::string compare(const Tree& reference, const Tree& other, const char* reader, bool linksAsText) {
    std::string out;
    for (const auto& r : reference) {
        const auto o = other.find(r.first);
        if (o == other.end()) {
            out += std::string(reader) + " lacks " + r.first + "; ";
            continue;
        }
        const Item& a = r.second;
        const Item& b = o->second;
        const bool same = a.kind == b.kind && a.what == b.what && a.special == b.special;
        const bool linkAsText = linksAsText && a.kind == 'l' && b.kind == 'f' && b.special == 0 && b.what == sha256(a.what);
        if (!same && !linkAsText)
            out += std::string(reader) + " made " + describe(b) + " where unzip made " + describe(a) + ": " + r.first +
                   (a.kind == b.kind && a.kind == 'f' && a.what != b.what ? " (other bytes)" : "") + "; ";
    }
    for (const auto& o : other)
        if (reference.count(o.first) == 0) out += std::string(reader) + " made " + o.first + " besides; ";
    return out;
}

void removeTree(const std::string& path) {
    // Opened up by the snapshot; nothing below is followed.
    const CliResult r = runProgram("/bin/rm", {"-rf", "--", path});
    if (r.exitCode != 0) throw std::runtime_error("reader agreement: cannot remove " + path + ": " + r.err);
}

// Extracts with one reader into `into`; empty on success, else what went wrong.
std::string extract(const std::string& reader, const std::vector<std::string>& args, const std::string& into) {
    if (mkdir(into.c_str(), 0700) != 0) throw std::runtime_error("reader agreement: cannot make " + into);
    // Names are UTF-8 whatever the caller's locale; the zip tools take no options from
    // the environment.
    const EnvList env = {{"LC_ALL", "C.UTF-8"}, {"-UNZIP", ""}, {"-UNZIPOPT", ""}, {"-ZIPINFO", ""}, {"-ZIPINFOOPT", ""}};
    const CliResult r = runProgram(args[0], std::vector<std::string>(args.begin() + 1, args.end()), env, 300);
    if (r.timedOut || r.exitCode != 0)
        return reader + " failed (" + std::to_string(r.exitCode) + "): " + r.out + r.err + "; ";
    return "";
}

}  // namespace

std::string readerDifferences(const std::string& zip) {
    for (const char* tool : {kUnzip, kBsdtar})
        if (access(tool, X_OK) != 0) return std::string("no ") + tool;
    ScratchDir dir;
    const std::string reference = dir.file("unzip");
    std::string out = extract("unzip", {kUnzip, "-q", zip, "-d", reference}, reference);
    if (!out.empty()) return out;
    const Tree unzipped = snapshot(reference);
    struct Reader {
        const char* name;
        std::vector<std::string> args;
        bool linksAsText;
    };
    const std::string into = dir.file("other");
    const Reader readers[] = {
        {"bsdtar from the file", {kBsdtar, "-x", "-f", zip, "-C", into}, false},
        // A pipe, not a redirection: from a regular file the reader could seek.
        {"bsdtar from a pipe",
         {"/bin/sh", "-c", "cat -- \"$1\" | \"$2\" -x -f - -C \"$3\"", "sh", zip, kBsdtar, into},
         true},
    };
    // One tree besides the extractor's at a time: archives may be large.
    for (const Reader& r : readers) {
        const std::string failed = extract(r.name, r.args, into);
        out += failed.empty() ? compare(unzipped, snapshot(into), r.name, r.linksAsText) : failed;
        snapshot(into);  // opens it up for the removal, also after a failure
        removeTree(into);
    }
    return out;
}

std::string packageOf(const std::vector<std::string>& args, const std::string& cwd, const EnvList& env) {
    if (args.size() < 2) return "";
    std::string path = args[1];
    if (!path.empty() && path[0] == '~') {
        const char* home = std::getenv("HOME");
        std::string from = home != nullptr ? home : "";
        for (const auto& e : env)
            if (e.first == "HOME") from = e.second;
        path = from + path.substr(1);
    }
    if (!cwd.empty() && !path.empty() && path[0] != '/') path = cwd + "/" + path;
    return path;
}

std::string differencesIfAccepted(const std::string& package, int status) {
    if (status != 0 && status != 51 && status != 52) return "";
    struct stat st;
    if (stat(package.c_str(), &st) != 0) return "accepted, but no package at \"" + package + "\" to extract";
    if (S_ISDIR(st.st_mode)) return "";
    if (!S_ISREG(st.st_mode)) return "accepted, but \"" + package + "\" is neither file nor directory";
    // By content: the same bytes under another name are the same archive.
    static std::set<std::string> checked;
    if (!checked.insert(sha256(readFile(package))).second) return "";
    return readerDifferences(package);
}

ExtractionWatch::ExtractionWatch(Extractor extractor) {
    // The record is written whole, then renamed into place: a reader never sees half of it.
    const std::string record = "echo \"$$ $(cut -d' ' -f22 /proc/$$/stat)\" > \"" + dir_.file("extractor.new") +
                               "\" && mv \"" + dir_.file("extractor.new") + "\" \"" + dir_.file("extractor") + "\"\n";
    std::string script = std::string("#!/bin/sh\n: > \"") + dir_.file("extracted") + "\"\n";
    if (extractor == Extractor::system) {
        script += record + "exec " + kUnzip + " \"$@\"\n";
    } else {
        if (mkfifo(dir_.file("release").c_str(), 0600) != 0) throw std::runtime_error("extraction watch: mkfifo failed");
        // Called as: unzip -q <package> -d <destination>.
        script += "mkdir -p \"$4/partial\" && echo partial > \"$4/partial/file.txt\" || exit 2\n" + record +
                  "read line < \"" + dir_.file("release") + "\"\nexit 1\n";
    }
    writeFile(dir_.file("bin/unzip"), script);
    if (chmod(dir_.file("bin/unzip").c_str(), 0755) != 0) throw std::runtime_error("extraction watch: chmod failed");
}

ExtractionWatch::~ExtractionWatch() { release(); }

EnvList ExtractionWatch::env() const {
    const char* path = std::getenv("PATH");
    return {{"PATH", dir_.file("bin") + ":" + (path != nullptr ? path : "/usr/bin:/bin")}};
}

bool ExtractionWatch::extracted() const { return access(dir_.file("extracted").c_str(), F_OK) == 0; }

void ExtractionWatch::reset() {
    unlink(dir_.file("extracted").c_str());
    unlink(dir_.file("extractor").c_str());
}

ProcessId ExtractionWatch::extractor(int waitSeconds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
    while (access(dir_.file("extractor").c_str(), F_OK) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) return ProcessId();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::istringstream record(readFile(dir_.file("extractor")));
    ProcessId process;
    record >> process.pid >> process.startTime;
    return process;
}

void ExtractionWatch::release() const {
    // Opening without blocking succeeds only while a reader waits.
    const int fd = open(dir_.file("release").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    const ssize_t ignored = write(fd, "\n", 1);
    (void)ignored;
    close(fd);
}

}  // namespace kvtest

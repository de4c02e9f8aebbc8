#include "hostile_zip.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include <boost/filesystem.hpp>

#include "cli_runner.h"

namespace kvtest {
namespace {

namespace fs = boost::filesystem;

// Reads the item list (one tab-separated line per item, texts in hexadecimal), writes the
// archive, then patches it through its central directory.
const char kWriterScript[] = R"PY(
import stat, struct, sys, warnings, zipfile
warnings.simplefilter('ignore')  # duplicate names are wanted here
spec, out = sys.argv[1], sys.argv[2]
items, patches = [], []
for line in open(spec, encoding='ascii'):
    f = line.rstrip('\n').split('\t')
    (patches if f[0] in ('method', 'central') else items).append(f)

def info(name, mode):
    zi = zipfile.ZipInfo(name)
    zi.create_system = 3
    zi.external_attr = mode << 16
    return zi

with zipfile.ZipFile(out, 'w') as z:
    for kind, name_hex, data_hex, zeros, stored in items:
        name = bytes.fromhex(name_hex).decode('utf-8')
        data = bytes.fromhex(data_hex)
        if kind == 'dir':
            zi = info(name if name.endswith('/') else name + '/', stat.S_IFDIR | 0o755)
            zi.external_attr |= 0x10
            z.writestr(zi, b'')
        elif kind == 'link':
            zi = info(name, stat.S_IFLNK | 0o777)
            zi.compress_type = zipfile.ZIP_STORED
            z.writestr(zi, data)
        elif kind == 'zeros':
            zi = info(name, stat.S_IFREG | 0o644)
            zi.compress_type = zipfile.ZIP_DEFLATED
            left, chunk = int(zeros), bytes(1 << 20)
            with z.open(zi, 'w', force_zip64=int(zeros) >= (1 << 31)) as w:
                while left > 0:
                    n = min(left, len(chunk))
                    w.write(chunk[:n])
                    left -= n
        else:
            zi = info(name, stat.S_IFREG | 0o644)
            zi.compress_type = zipfile.ZIP_STORED if stored == '1' else zipfile.ZIP_DEFLATED
            z.writestr(zi, data)

if patches:
    b = bytearray(open(out, 'rb').read())
    eocd = b.rfind(b'PK\x05\x06')
    count, size, offset = struct.unpack_from('<HII', b, eocd + 10)
    entries, p = [], offset
    for _ in range(count):
        n, e, c = struct.unpack_from('<HHH', b, p + 28)
        local = struct.unpack_from('<I', b, p + 42)[0]
        entries.append((p, local, bytes(b[p + 46:p + 46 + n])))
        p += 46 + n + e + c
    for kind, name_hex, value in patches:
        name = bytes.fromhex(name_hex)
        hits = [x for x in entries if x[2] == name]
        if not hits:
            sys.exit('no entry ' + name.decode('utf-8', 'replace'))
        central, local, _ = hits[0]
        if kind == 'method':
            struct.pack_into('<H', b, central + 10, int(value))
            struct.pack_into('<H', b, local + 8, int(value))
        else:
            new = bytes.fromhex(value)
            if len(new) != len(name):
                sys.exit('central name must keep its length')
            b[central + 46:central + 46 + len(new)] = new
    open(out, 'wb').write(bytes(b))
)PY";

std::string hexOf(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

std::string python3() {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty() && access((dir + "/python3").c_str(), X_OK) == 0) return dir + "/python3";
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    throw std::runtime_error("hostile zip: python3 not found");
}

const char* kindText(ZipItem::Kind kind) {
    switch (kind) {
    case ZipItem::Kind::Symlink:
        return "link";
    case ZipItem::Kind::Directory:
        return "dir";
    case ZipItem::Kind::Zeros:
        return "zeros";
    case ZipItem::Kind::File:
        break;
    }
    return "file";
}

}  // namespace

ZipItem zipFile(const std::string& name, const std::string& data) {
    ZipItem item;
    item.name = name;
    item.data = data;
    return item;
}

ZipItem zipLink(const std::string& name, const std::string& target) {
    ZipItem item;
    item.kind = ZipItem::Kind::Symlink;
    item.name = name;
    item.data = target;
    return item;
}

ZipItem zipZeros(const std::string& name, std::uint64_t size) {
    ZipItem item;
    item.kind = ZipItem::Kind::Zeros;
    item.name = name;
    item.zeros = size;
    return item;
}

std::vector<ZipItem> zipItemsOf(const std::string& dir) {
    std::vector<std::string> paths;
    const fs::path root(dir);
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        const std::string whole = it->path().generic_string();
        paths.push_back(whole.substr(root.generic_string().size() + 1));
    }
    std::sort(paths.begin(), paths.end());
    std::stable_partition(paths.begin(), paths.end(), [](const std::string& p) { return p == "mimetype"; });

    std::vector<ZipItem> items;
    for (const std::string& relative : paths) {
        const fs::path full = root / relative;
        const fs::file_status own = fs::symlink_status(full);
        if (fs::is_symlink(own)) {
            items.push_back(zipLink(relative, fs::read_symlink(full).string()));
        } else if (fs::is_directory(own)) {
            ZipItem d;
            d.kind = ZipItem::Kind::Directory;
            d.name = relative;
            items.push_back(d);
        } else {
            items.push_back(zipFile(relative, readFile(full.string())));
            items.back().stored = relative == "mimetype";
        }
    }
    return items;
}

void writeZip(const std::string& zipPath, const std::vector<ZipItem>& items, const std::vector<ZipPatch>& patches) {
    std::string spec;
    for (const ZipItem& item : items) {
        spec += std::string(kindText(item.kind)) + "\t" + hexOf(item.name) + "\t" + hexOf(item.data) + "\t" +
                std::to_string(item.zeros) + "\t" + (item.stored ? "1" : "0") + "\n";
    }
    for (const ZipPatch& patch : patches) {
        if (patch.kind == ZipPatch::Kind::Method)
            spec += "method\t" + hexOf(patch.name) + "\t" + std::to_string(patch.method) + "\n";
        else
            spec += "central\t" + hexOf(patch.name) + "\t" + hexOf(patch.newName) + "\n";
    }
    const std::string specPath = zipPath + ".spec";
    const std::string scriptPath = zipPath + ".py";
    writeFile(specPath, spec);
    writeFile(scriptPath, kWriterScript);
    boost::system::error_code ec;
    fs::remove(zipPath, ec);
    const CliResult r = runProgram(python3(), {scriptPath, specPath, zipPath}, {}, 120);
    fs::remove(specPath, ec);
    fs::remove(scriptPath, ec);
    if (r.exitCode != 0 || r.timedOut) throw std::runtime_error("hostile zip: writer failed: " + r.out + r.err);
}

}  // namespace kvtest

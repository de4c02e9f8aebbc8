#include "hostile_zip.h"

#include <algorithm>
#include <stdexcept>

#include <boost/filesystem.hpp>

#include "cli_runner.h"
#include "zip_writer.h"

namespace kvtest {
namespace {

namespace fs = boost::filesystem;

// An item as a zip tool writes it: files deflated unless asked otherwise, links and
// directories stored, zeros deflated as a stream and in zip64 form from 2 GB on.
ZipEntrySpec entryOf(const ZipItem& item) {
    ZipEntrySpec e;
    e.name = item.name;
    switch (item.kind) {
    case ZipItem::Kind::File:
        e.data = item.data;
        e.method = item.stored ? 0 : 8;
        break;
    case ZipItem::Kind::Symlink:
        e.kind = ZipEntrySpec::Kind::Symlink;
        e.data = item.data;
        e.method = 0;
        break;
    case ZipItem::Kind::Directory:
        e.kind = ZipEntrySpec::Kind::Directory;
        if (e.name.empty() || e.name.back() != '/') e.name += '/';
        e.method = 0;
        break;
    case ZipItem::Kind::Zeros:
        e.zeros = item.zeros;
        e.method = 8;
        e.zip64 = item.zeros >= (std::uint64_t{1} << 31);
        break;
    }
    return e;
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
    ZipSpec spec;
    for (const ZipItem& item : items) spec.entries.push_back(entryOf(item));
    // A patch names the first entry of that name as written, whatever earlier patches did.
    for (const ZipPatch& patch : patches) {
        auto hit = std::find_if(spec.entries.begin(), spec.entries.end(),
                                [&](const ZipEntrySpec& e) { return e.name == patch.name; });
        if (hit == spec.entries.end()) throw std::runtime_error("hostile zip: no entry " + patch.name);
        if (patch.kind == ZipPatch::Kind::Method) {
            hit->localMethod = static_cast<std::uint16_t>(patch.method);
            hit->centralMethod = static_cast<std::uint16_t>(patch.method);
        } else {
            if (patch.newName.size() != patch.name.size())
                throw std::runtime_error("hostile zip: central name must keep its length");
            hit->centralName = patch.newName;
        }
    }
    writeZipSpec(zipPath, spec);
}

}  // namespace kvtest

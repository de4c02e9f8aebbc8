// The extraction of a package file: the archive check, the room check, the extractor with
// the data check beside it, and the tree match.

#include <sys/resource.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "KVBSignLibInternal.h"
#include "package/archive.h"
#include "system/shell.h"
#include "system/temp_dir.h"

namespace fs = boost::filesystem;

namespace {

// True when the destination's file system has room for every entry, each rounded up to whole
// blocks, and an inode for each.
bool roomFor(const kvbsign::archive::Listing& listing, const std::string& destination) {
    struct statvfs fs;
    if (statvfs(destination.c_str(), &fs) != 0 || fs.f_frsize == 0) return false;
    const std::uint64_t block = fs.f_frsize;
    std::uint64_t blocks = 0;
    for (const kvbsign::archive::Entry& entry : listing.entries) {
        // Sizes come from the archive: no sum may wrap round.
        const std::uint64_t entryBlocks = entry.size / block + (entry.size % block != 0 ? 1 : 0);
        if (entryBlocks > UINT64_MAX - blocks) return false;
        blocks += entryBlocks;
    }
    if (blocks > static_cast<std::uint64_t>(fs.f_bavail)) return false;
    return fs.f_files == 0 || listing.entries.size() <= static_cast<std::uint64_t>(fs.f_favail);
}

}  // namespace

bool KVBSignLibInternal::unzip(boost::filesystem::path package, std::string destination) {
    try {
        if (!fs::exists(package)) {
            debugError("Cannot unzip KVB. No such file");
            return false;
        }
        const std::string packageText = package.generic_string();
        // An empty destination would extract into the working directory.
        if (destination.empty() || !kvbsign::safeInDoubleQuotes(packageText) ||
            !kvbsign::safeInDoubleQuotes(destination)) {
            debugError("Cannot unzip KVB");
            return false;
        }
        // Only an archive that every reader reads alike is extracted.
        kvbsign::archive::Listing listing;
        std::string reason;
        if (!kvbsign::archive::readArchiveFile(packageText, listing, reason)) {
            debugError("Cannot unzip KVB. " + reason);
            return false;
        }
        if (!roomFor(listing, destination)) {
            debugError("Cannot unzip KVB. Not enough space for its declared contents");
            return false;
        }
        // The links' rules need their targets, a few bytes each: judged before anything is
        // written.
        if (!kvbsign::archive::checkArchiveDataFile(packageText, listing, reason, kvbsign::archive::DataPass::links) ||
            !kvbsign::archive::checkLinks(listing, reason)) {
            debugError("Cannot unzip KVB. " + reason);
            return false;
        }
        // No file written may outgrow the largest declared size: an entry that inflates past
        // what it declares ends the extraction instead of filling the file system.
        const std::string command =
            "unzip " "-q " "\"" + packageText + "\"" " -d " "\"" + destination + "\"";
        const rlim_t limit = static_cast<rlim_t>(std::min<std::uint64_t>(listing.largestSize, RLIM_INFINITY - 1));
        // The rest of the data is decoded while the extractor writes it; the tree counts only
        // once both have ended well. Whatever fails, nothing of the tree is left to be judged.
        kvbsign::ShellChild extractor;
        if (!extractor.start(command, limit)) return false;
        if (!kvbsign::archive::checkArchiveDataFile(packageText, listing, reason,
                                                    kvbsign::archive::DataPass::allButLinks)) {
            extractor.stop();
            kvbsign::removeContents(destination);
            debugError("Cannot unzip KVB. " + reason);
            return false;
        }
        if (extractReturnCode(extractor.finish()) != 0) {
            kvbsign::removeContents(destination);
            return false;
        }
        if (!kvbsign::archive::treeMatchesListing(destination, listing, reason)) {
            kvbsign::removeContents(destination);
            debugError("Cannot unzip KVB. " + reason);
            return false;
        }
        return true;
    } catch (const std::exception&) {
        debugError("Cannot unzip KVB");
        return false;
    }
}

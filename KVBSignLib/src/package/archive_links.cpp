// The link entries of an archive, resolved over the archive's own names before anything is
// extracted.
//
// A reader that makes links installs the target's file; one that does not installs the
// target's text. Both are safe only when the text names a file or a directory that the
// package walk digests under the link's name, and is made of the package's own names, so
// each target is resolved here as the kernel would resolve it once the archive is on disk,
// with the listing standing in for the tree, and every name in it must be a step taken.

#include "package/archive.h"

#include <algorithm>
#include <limits>

namespace kvbsign {
namespace archive {

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// A path that the names of the archive hold: the package root, an entry, or a directory
// implied as the parent of entries. Its entries (itself and everything below it) are the
// range [lo, hi) of the listing in tree order.
struct Node {
    std::uint32_t lo = 0;
    std::uint32_t hi = 0;
    std::uint32_t parent = kNone;  // kNone for the root
    std::uint32_t entry = kNone;   // the entry of exactly this path, kNone when implied
    std::uint16_t length = 0;      // of the path; 0 for the root
    EntryKind kind = EntryKind::Directory;
    bool excluded = false;  // some element of the path is one the walk leaves out
};

bool isExcludedElement(std::string_view element, bool atTop) {
    return (atTop && element == "__MACOSX") || element == ".DS_Store" || element == "Thumbs.db" ||
           element == "desktop.ini";
}

enum class LinkState : std::uint8_t { Unresolved, Resolving, Resolved };

class LinkResolver {
public:
    explicit LinkResolver(const Listing& listing) : listing_(listing), links_(listing.entries.size()) {
        Node root;
        root.hi = static_cast<std::uint32_t>(listing.entries.size());
        nodes_.push_back(root);
    }

    bool checkAll(std::string& reason) {
        // Links come in tree order, and the directories of one are mostly those of the one
        // before: `path` keeps the nodes from the root down to the last link's directory.
        std::vector<std::uint32_t> path{0};
        std::vector<std::string_view> elements;
        std::vector<std::string_view> lastElements;
        std::uint64_t resolvedElements = 0;
        for (std::size_t i = 0; i < listing_.entries.size(); ++i) {
            const Entry& entry = listing_.entries[i];
            if (entry.kind != EntryKind::Symlink) continue;
            const std::string_view name = listing_.name(entry);
            elements.clear();
            std::size_t at = 0;
            // Each pass takes one element of the name; names have no empty element.
            for (std::size_t end = name.find('/'); end != std::string_view::npos; end = name.find('/', at)) {
                elements.push_back(name.substr(at, end - at));
                at = end + 1;
            }
            std::size_t shared = 0;
            while (shared < elements.size() && shared < lastElements.size() && elements[shared] == lastElements[shared])
                ++shared;
            path.resize(shared + 1);
            for (std::size_t k = shared; k < elements.size(); ++k) {
                const std::uint32_t child = childOf(path.back(), elements[k]);
                if (child == kNone) return internalError(reason);
                path.push_back(child);
            }
            std::swap(elements, lastElements);
            const std::uint32_t link = childOf(path.back(), name.substr(at));
            if (link == kNone || nodes_[link].entry != i) return internalError(reason);
            if (!resolve(link, 1, reason)) return false;
            resolvedElements += links_[i].elements;
            if (resolvedElements > kMaxResolvedElements) {
                reason = "resolving the links walks too many elements in all";
                return false;
            }
        }
        return true;
    }

private:
    bool internalError(std::string& reason) {
        reason = "the links cannot be resolved over the listing";
        return false;
    }

    // The element of an entry's name that starts at `at`.
    std::string_view elementAt(std::uint32_t index, std::size_t at) const {
        const std::string_view name = listing_.name(listing_.entries[index]);
        const std::size_t end = name.find('/', at);
        return name.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    }

    // The node of `element` below the node `parent`, or kNone when the archive holds none.
    std::uint32_t childOf(std::uint32_t parent, std::string_view element) {
        const Node p = nodes_[parent];
        if (p.kind != EntryKind::Directory) return kNone;
        const std::size_t at = p.length == 0 ? 0 : p.length + 1u;
        // Below a path, tree order sorts the entries by their next element: "/" sorts before
        // every byte a name element holds.
        std::uint32_t first = p.entry == kNone ? p.lo : p.lo + 1;
        std::uint32_t count = p.hi - first;
        // The first entry whose element is not less than `element`; each pass halves the
        // entries still in question.
        while (count > 0) {
            const std::uint32_t step = count / 2;
            if (elementAt(first + step, at) < element) {
                first += step + 1;
                count -= step + 1;
            } else {
                count = step;
            }
        }
        if (first == p.hi || elementAt(first, at) != element) return kNone;
        std::uint32_t last = first + 1;
        count = p.hi - last;
        // Past the last entry whose element is `element`; each pass halves the entries still
        // in question.
        while (count > 0) {
            const std::uint32_t step = count / 2;
            if (elementAt(last + step, at) == element) {
                last += step + 1;
                count -= step + 1;
            } else {
                count = step;
            }
        }
        Node child;
        child.lo = first;
        child.hi = last;
        child.parent = parent;
        child.length = static_cast<std::uint16_t>(at + element.size());
        const Entry& entry = listing_.entries[first];
        if (entry.nameLength == child.length) {
            child.entry = first;
            child.kind = entry.kind;
        }
        child.excluded = p.excluded || isExcludedElement(element, parent == 0);
        nodes_.push_back(child);
        return static_cast<std::uint32_t>(nodes_.size() - 1);
    }

    bool sameNode(std::uint32_t a, std::uint32_t b) const {
        return nodes_[a].lo == nodes_[b].lo && nodes_[a].length == nodes_[b].length;
    }

    // Resolves the link of node `link`, whose resolution is `depth` links deep inside others.
    bool resolve(std::uint32_t link, unsigned depth, std::string& reason) {
        const std::uint32_t index = nodes_[link].entry;
        LinkInfo& info = links_[index];
        if (info.state == LinkState::Resolved) return true;
        if (info.state == LinkState::Resolving) {
            reason = "links lead round in a loop";
            return false;
        }
        if (depth > kMaxLinksFollowed) {
            reason = "a link leads through too many links";
            return false;
        }
        info.state = LinkState::Resolving;

        const std::string_view target = listing_.target(listing_.entries[index]);
        if (target.empty()) {
            reason = "a link's target is empty";
            return false;
        }
        if (target[0] == '/') {
            reason = "a link's target is absolute";
            return false;
        }
        unsigned followed = 1;
        std::uint64_t elements = 0;  // of the target and, in full, of every link followed
        std::uint32_t current = nodes_[link].parent;
        // Once a name is taken, every later element steps down from it: a ".." after a name
        // would let the text hold a name of the attacker's choosing that the path never keeps
        // ("x/../b.html"), and a reader that makes no links installs that text.
        bool named = false;
        std::size_t at = 0;
        // Each pass consumes one element of the target and the "/" after it.
        while (at <= target.size()) {
            std::size_t end = target.find('/', at);
            if (end == std::string_view::npos) end = target.size();
            const std::string_view element = target.substr(at, end - at);
            at = end + 1;
            ++elements;
            if (element.empty() || element == ".") {
                // "x/" and "x/." name x as a directory.
                if (named && nodes_[current].kind != EntryKind::Directory) {
                    reason = "a link's target goes on past a file";
                    return false;
                }
                continue;
            }
            if (element == "..") {
                if (named) {
                    reason = "a link's target has \"..\" after a name";
                    return false;
                }
                if (current == 0) {
                    reason = "a link's target climbs above the package root";
                    return false;
                }
                current = nodes_[current].parent;
                continue;
            }
            named = true;
            const std::uint32_t child = childOf(current, element);
            if (child == kNone) {
                reason = "a link's target is not in the archive";
                return false;
            }
            if (nodes_[child].kind != EntryKind::Symlink) {
                current = child;
                continue;
            }
            if (nodes_[child].excluded) {
                reason = "a link's target leads through a link of an excluded name";
                return false;
            }
            if (!resolve(child, depth + 1, reason)) return false;
            const LinkInfo& next = links_[nodes_[child].entry];
            followed += next.followed;
            elements += next.elements;
            if (followed > kMaxLinksFollowed) {
                reason = "a link leads through too many links";
                return false;
            }
            current = next.result;
        }
        if (current == 0) {
            reason = "a link's target is the package root";
            return false;
        }
        if (nodes_[current].excluded) {
            reason = "a link's target has an excluded name";
            return false;
        }
        // A directory that holds the link would make a tree without end.
        for (std::uint32_t up = nodes_[link].parent; up != kNone; up = nodes_[up].parent) {
            if (sameNode(up, current)) {
                reason = "a link's target holds the link";
                return false;
            }
        }
        info.state = LinkState::Resolved;
        info.followed = followed;
        info.elements = elements;
        info.result = current;
        return true;
    }

    struct LinkInfo {
        LinkState state = LinkState::Unresolved;
        unsigned followed = 0;  // links followed in resolving it, itself included
        std::uint64_t elements = 0;  // elements walked in resolving it, those of the links followed included
        std::uint32_t result = kNone;
    };

    const Listing& listing_;
    std::vector<Node> nodes_;
    std::vector<LinkInfo> links_;  // by entry index; never grows, so references into it last
};

}  // namespace

bool checkLinks(const Listing& listing, std::string& reason) {
    std::uint64_t links = 0;
    std::uint64_t elements = listing.nameElements;
    for (const Entry& entry : listing.entries) {
        if (entry.kind != EntryKind::Symlink) continue;
        ++links;
        // Every element of a target costs a look-up, so they count with the names'.
        const std::string_view target = listing.target(entry);
        elements += static_cast<std::uint64_t>(std::count(target.begin(), target.end(), '/')) + 1;
        if (elements > kMaxTotalElements) {
            reason = "entry names and link targets have too many elements in all";
            return false;
        }
    }
    if (links == 0) return true;
    LinkResolver resolver(listing);
    return resolver.checkAll(reason);
}

}  // namespace archive
}  // namespace kvbsign

// Command-line paths and the platform's forms of text.

#include <strings.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "KVBSignLibInternal.h"

namespace fs = boost::filesystem;

std::string KVBSignLibInternal::argumentPathToCanonical(const char* argument) {
    std::string text = argument != nullptr ? argument : "";
    if (!text.empty() && text[0] == '~') {
        const char* home = getenv("HOME");
        if (home == nullptr) throw std::runtime_error("cannot expand ~: HOME is not set");
        text = std::string(home) + text.substr(1);
    }
    if (!fs::path(text).has_root_directory()) text = fs::current_path().generic_string() + "/" + text;

    // Split into parent and last element by hand: a trailing "/" names the directory itself
    // (last element "."), which boost versions do not agree on.
    const size_t lastChar = text.find_last_not_of('/');
    if (lastChar == std::string::npos) return text;  // the root: it has no parent
    std::string parent;
    std::string element;
    if (lastChar + 1 < text.size()) {
        parent = text.substr(0, lastChar + 1);
        element = ".";
    } else {
        const size_t slash = text.rfind('/', lastChar);  // found: the text is absolute here
        element = text.substr(slash + 1);
        const size_t parentEnd = text.find_last_not_of('/', slash);
        parent = parentEnd == std::string::npos ? "/" : text.substr(0, parentEnd + 1);
    }
    if (!fs::exists(parent)) return text;
    std::string base = fs::canonical(parent, fs::current_path()).generic_string();
    if (base.empty() || base.back() != '/') base += '/';  // "/" + "x" must not give "//x"
    return base + fs::path(element).generic_string();
}

int KVBSignLibInternal::compareNoCase(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
    return strcasecmp(a, b);
}

std::string utf8ToPlatformChar(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

std::string wideToString(const wchar_t* text) {
    std::string result;
    if (text == nullptr) return result;
    for (; *text != L'\0'; ++text) result += static_cast<char>(static_cast<unsigned long>(*text) & 0xFFu);
    return result;
}

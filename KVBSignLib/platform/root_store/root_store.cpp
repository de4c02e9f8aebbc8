#include "root_store/root_store.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "ossl_ptr.h"

// The root store is a PEM bundle: the file named by SSL_CERT_FILE when that is set, else the
// cryptography library's default certificate file.

namespace kvbsign {
namespace root_store {
namespace {

// A root bundle is a few hundred kilobytes; anything far larger is not one, and reading it
// whole would only exhaust memory.
const long long kMaxBundleSize = 64LL * 1024 * 1024;

const char kBegin[] = "-----BEGIN ";
const char kEnd[] = "-----END ";
const char kDashes[] = "-----";

std::string bundlePath() {
    const char* fromEnv = getenv("SSL_CERT_FILE");
    if (fromEnv != nullptr) return fromEnv;
    const char* fallback = X509_get_default_cert_file();
    return fallback != nullptr ? fallback : "";
}

// Reads the whole bundle; false when it is not a readable regular file of sensible size.
bool readBundle(FILE* file, std::string& text) {
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxBundleSize) return false;
    char buffer[16384];
    for (;;) {
        const size_t got = fread(buffer, 1, sizeof buffer, file);
        text.append(buffer, got);
        if (static_cast<long long>(text.size()) > kMaxBundleSize) return false;
        if (got < sizeof buffer) break;
    }
    return ferror(file) == 0;
}

// Only plain certificate blocks are roots. A "TRUSTED CERTIFICATE" block carries trust
// settings (possibly rejections) that this store does not interpret, so it is left out.
bool isCertificateLabel(const std::string& label) { return label == "CERTIFICATE" || label == "X509 CERTIFICATE"; }

// Decodes one PEM block (begin line to end line) into its DER bytes; false when it does not decode.
bool decodeBlock(const std::string& block, std::string& der) {
    BioPtr bio(BIO_new_mem_buf(block.data(), static_cast<int>(block.size())));
    if (!bio) return false;
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    const int ok = PEM_read_bio(bio.get(), &name, &header, &data, &length);
    // The outputs are the caller's from here on, whatever the outcome.
    const OpenSslMemoryPtr<char> ownedName(name);
    const OpenSslMemoryPtr<char> ownedHeader(header);
    const OpenSslMemoryPtr<unsigned char> ownedData(data);
    if (ok != 1 || length <= 0) return false;
    der.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    return true;
}

// Where the end lines stand, by label: "-----END ", then the label up to the next "-----". A
// label of a begin line holds no "-----" and does not end in "-" (the dashes after it would
// start earlier), so an end line for it stands exactly where this finds one with its label.
// Each search for a label stops at the next "-----", so the text is searched in one pass.
std::map<std::string, std::vector<size_t>> endLinesByLabel(const std::string& text) {
    std::map<std::string, std::vector<size_t>> ends;
    for (size_t at = text.find(kEnd); at != std::string::npos; at = text.find(kEnd, at + 1)) {
        const size_t labelStart = at + sizeof(kEnd) - 1;
        const size_t labelEnd = text.find(kDashes, labelStart);
        if (labelEnd == std::string::npos) break;
        ends[text.substr(labelStart, labelEnd - labelStart)].push_back(at);  // in text order
    }
    return ends;
}

}  // namespace

Status readSystemRoots(const std::function<void(const std::string& der)>& deliver) {
    const std::string path = bundlePath();
    if (path.empty()) return Status::cannotOpen;
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) return Status::cannotOpen;

    std::string text;
    if (!readBundle(file.get(), text)) return Status::cannotEnumerate;
    file.reset();

    // Walk the begin lines; text between blocks (comments, garbage) is passed over. Every pass
    // moves past at least one begin marker, so the walk ends. The searches that could run to
    // the end of the text (a line end, an end line) are answered from what was found before,
    // so a bundle of begin lines without line ends costs no more than any other.
    const std::map<std::string, std::vector<size_t>> ends = endLinesByLabel(text);
    size_t lineEnd = text.find('\n');  // the first line end at or after the current label
    size_t pos = 0;
    for (;;) {
        const size_t begin = text.find(kBegin, pos);
        if (begin == std::string::npos) break;
        const size_t labelStart = begin + sizeof(kBegin) - 1;
        const size_t labelEnd = text.find(kDashes, labelStart);
        if (lineEnd != std::string::npos && lineEnd < labelStart) lineEnd = text.find('\n', labelStart);
        if (labelEnd == std::string::npos || (lineEnd != std::string::npos && labelEnd > lineEnd)) {
            pos = labelStart;  // not a begin line
            continue;
        }
        const std::string label = text.substr(labelStart, labelEnd - labelStart);
        const std::string endLine = kEnd + label + kDashes;
        const auto endsOfLabel = ends.find(label);
        if (endsOfLabel == ends.end()) break;  // an unterminated block ends the bundle
        const auto endAt = std::lower_bound(endsOfLabel->second.begin(), endsOfLabel->second.end(), labelEnd);
        if (endAt == endsOfLabel->second.end()) break;
        const size_t end = *endAt;
        const size_t blockEnd = end + endLine.size();

        // A block that holds another begin line is broken; resume at that begin line.
        const size_t nested = text.find(kBegin, labelEnd);
        if (nested < end) {
            pos = nested;
            continue;
        }
        pos = blockEnd;

        if (!isCertificateLabel(label)) continue;
        std::string der;
        if (decodeBlock(text.substr(begin, blockEnd - begin) + "\n", der)) deliver(der);
    }
    return Status::ok;
}

}  // namespace root_store
}  // namespace kvbsign

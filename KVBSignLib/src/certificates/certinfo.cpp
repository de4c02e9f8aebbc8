#include <exception>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/x509.h>

#include "KVBSignLibInternal.h"
#include "SafeStringAPIs.h"
#include "Timestamp.h"
#include "certificates/signer.h"
#include "ossl_ptr.h"
#include "system/temp_dir.h"
#include "system_check/system_check.h"

namespace {

using kvbsign::X509NamePtr;

// The length of the text that the one-line form writes for one entry: its separator, key,
// "=" and value. Each entry's text depends on nothing but the entry. 0 when it cannot be
// measured or does not fit the buffer (the one-line form then ends before it).
size_t entryTextLength(const X509_NAME_ENTRY* entry) {
    X509NamePtr single(X509_NAME_new());
    if (!single || X509_NAME_add_entry(single.get(), entry, -1, 0) != 1) return 0;
    return kvbsign::oneLine(single.get()).size();
}

// The subject's one-line form as the cryptography library writes it, values untouched, with
// the length of each entry's text in it. A "/" or "+" inside a value stays escaped as "\/" or
// "\+", and a backslash is not escaped at all, so neither "\/" nor "\+" can be told from a
// value that ends in a backslash before the next entry: the entries are measured one by one to
// find where each begins. Only the "+" that joins the members of a multi-valued name part
// becomes "/", so every entry starts with "/".
struct OneLineName {
    std::string text;
    std::vector<size_t> entryLengths;  // in text order; they cover the text from its start
};

OneLineName subjectOneLine(X509* cert) {
    OneLineName result;
    const X509_NAME* name = X509_get_subject_name(cert);
    if (name == nullptr) return result;
    std::string& text = result.text;
    text = kvbsign::oneLine(name);

    size_t offset = 0;
    int previousSet = -1;
    // Every entry's text is at least "/" plus a key and "=", so the walk ends within the
    // buffer's length, however many entries the name holds.
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const size_t length = entry ? entryTextLength(entry) : 0;
        if (length == 0 || length > text.size() - offset) break;  // the one-line form ended before it
        const int set = X509_NAME_ENTRY_set(entry);
        if (set == previousSet && text[offset] == '+') text[offset] = '/';
        previousSet = set;
        result.entryLengths.push_back(length);
        offset += length;
    }
    return result;
}

// Appends the value of one entry's text ("/KEY=value") when its key is `key`, one blank
// between values.
void appendValueOf(std::string& joined, std::string_view entryText, std::string_view key) {
    if (entryText.size() < key.size() + 2 || entryText.compare(1, key.size(), key) != 0 ||
        entryText[key.size() + 1] != '=')
        return;
    if (!joined.empty()) joined += ' ';
    joined += entryText.substr(key.size() + 2);
}

std::unique_ptr<char[]> newText(const std::string& text) {
    std::unique_ptr<char[]> field(new char[text.size() + 1]());
    strncpy_safe(field.get(), text.size() + 1, text.c_str(), text.size());
    return field;
}

}  // namespace

void KVBSignLibInternal::readCertificateInfo(X509* cert, KCertificateInfo* info) {
    if (cert == nullptr || info == nullptr) return;

    const ASN1_TIME* notBefore = X509_get0_notBefore(cert);
    const ASN1_TIME* notAfter = X509_get0_notAfter(cert);
    if (notBefore != nullptr && notAfter != nullptr) {
        try {
            info->validFrom = Timestamp::Asn1ToTime(notBefore);
            info->validTo = Timestamp::Asn1ToTime(notAfter);
        } catch (const std::exception&) {
            info->validFrom = 0;
            info->validTo = 0;
        }
    }

    const OneLineName name = subjectOneLine(cert);
    const std::string& dn = name.text;
    std::string cn;
    std::string ou;

    // Each value is taken whole, up to where its entry ends: a value that spells "/CN=..." stays
    // inside its entry, and one that ends in a backslash cannot swallow the entry after it.
    // Text past the measured entries (only when one could not be measured) names nothing.
    size_t offset = 0;
    for (const size_t length : name.entryLengths) {
        const std::string_view entryText = std::string_view(dn).substr(offset, length);
        appendValueOf(cn, entryText, "CN");
        appendValueOf(ou, entryText, "OU");
        offset += length;
    }

    // All three texts are made before the old ones go, so an allocation failure cannot leave
    // the record pointing at released memory.
    std::unique_ptr<char[]> commonName = newText(cn);
    std::unique_ptr<char[]> distinguishedName = newText(dn);
    std::unique_ptr<char[]> organizationalUnit = newText(ou);

    delete[] info->commonName;
    delete[] info->distinguishedName;
    delete[] info->organizationalUnit;
    info->commonName = commonName.release();
    info->distinguishedName = distinguishedName.release();
    info->organizationalUnit = organizationalUnit.release();
}

void KVBSignLibInternal::checkIfOSTrusted(const std::string& sigXml, KCertificateInfo* info) {
    if (info == nullptr) return;

    {
        // The platform's own check is handed the chain, but its answer decides nothing.
        const kvbsign::TempDirGuard dir(tmpDir());
        if (!dir.path().empty()) {
            const std::string file = dir.path() + "/tmppem.pem";
            {
                // Written piece by piece from the document: no second copy of its certificates.
                std::ofstream out(file, std::ios::binary | std::ios::trunc);
                for (std::string_view text : getX509CertificateViews(sigXml)) {
                    if (!out) break;
                    out << "-----BEGIN CERTIFICATE-----\n" << text << "-----END CERTIFICATE-----\n";
                }
            }
            kvbsign::system_check::checkChainFile(file);
        }
    }

    kvbsign::X509List roots;
    if (!getSystemRootCertificates(roots.certs())) {
        info->osTrusted = -1;
    } else if (roots.certs().empty()) {
        // A store without roots trusts nothing; an empty anchor list would accept any chain.
        info->osTrusted = 0;
    } else {
        info->osTrusted = validateCertificateChain(sigXml, roots.certs()) ? 1 : 0;
    }
}

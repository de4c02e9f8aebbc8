#ifndef KVBSIGN_TEST_PACKAGE_BUILDER_H
#define KVBSIGN_TEST_PACKAGE_BUILDER_H

// Builds signed extension packages for tests: an extension root directory with its files and
// META-INF/signatures.xml. Digests, canonical texts and the RSA signature are computed here with
// OpenSSL alone, so a wrong rule in the library under test shows up as a failed check.
//
// The document written (compact layout; the indented layouts put each element on its own line,
// two blanks per level):
//   <signatures><Signature xmlns="http://www.w3.org/2000/09/xmldsig#" Id="PackageSignature">
//   <SignedInfo>...<Reference URI="#PackageContents" ...><DigestValue>manifest digest</DigestValue>
//   </Reference></SignedInfo><SignatureValue Id="PackageSignatureValue">...</SignatureValue>
//   <KeyInfo><X509Data><X509Certificate>...</X509Certificate>...</X509Data></KeyInfo>
//   <Object><Manifest Id="PackageContents"><Reference URI="mimetype">...</Reference>...</Manifest></Object>
//   [timestamp Object]</Signature></signatures>
//
// Every element is built as a pair (text as written, text as the library must canonicalise it),
// so the builder never runs the library's rewriting rules itself.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "ossl_ptr.h" // the shared owning handles (header only)

namespace kvtest {

extern const char* const kDsigNs;          // "http://www.w3.org/2000/09/xmldsig#"
extern const char* const kDefaultMimetype; // "application/vnd.kvb"

// How the document text is laid out.
enum class Layout {
    Compact,      // no white space between tags
    IndentedLF,   // every element on its own line, two blanks per level, LF line ends
    IndentedCRLF, // the same with CR LF line ends
};

// One Reference of the manifest, as written.
struct ManifestRef {
    std::string uri;    // the URI attribute text, written verbatim (already percent-encoded)
    std::string digest; // the DigestValue text (base64 SHA-256, 44 characters)
};

// How the SignatureValue is made.
enum class SignMode {
    DigestInfo,     // EVP_PKEY_sign with PKCS#1 v1.5 over a DigestInfo of `signatureMd` (default SHA-1)
                    // of the canonical SignedInfo
    Pkcs1Block,     // PKCS#1 v1.5 type 1 padding around `rawBlock` as given (no DigestInfo added)
    NoPadding,      // raw RSA private operation over `rawBlock` (must be exactly the modulus size)
    Override,       // write `signatureValueOverride` as the SignatureValue text
};

// The percent-encoding of manifest URIs: bytes A-Z a-z 0-9 - _ . ~ / kept, every other byte %xx
// (lowercase hexadecimal). "a b.txt" -> "a%20b.txt".
std::string percentEncode(const std::string& relativePath);

// Base64 SHA-256 of bytes (44 characters).
std::string digestB64(const std::string& bytes);

// The timestamp Object element placed after the manifest Object, around base64 token text.
std::string timestampObject(const std::string& tokenB64);

// The text an RFC 3161 token over a signature value must cover (its SHA-1 is the imprint):
// <SignatureValue xmlns="NS" Id="PackageSignatureValue"> + value without CR/LF + </SignatureValue>.
std::string timestampMessage(const std::string& signatureValueText);

// The result of a build.
struct SignedPackage {
    std::string dir;                   // the extension root directory
    std::string xml;                   // the document text written to META-INF/signatures.xml
    std::string signatureValueText;    // the SignatureValue content as written (may hold line breaks)
    std::string signatureValueB64;     // the same without CR/LF
    std::string timestampMessageText;  // timestampMessage(signatureValueText)
    std::string canonicalSignedInfo;   // the text whose SHA-1 was signed
    std::string canonicalManifest;     // the text whose SHA-256 is the first Reference's digest
    std::string manifestDigestB64;     // the DigestValue written in SignedInfo
    std::vector<ManifestRef> references; // the manifest References written, in order

    std::string xmlPath() const { return dir + "/META-INF/signatures.xml"; }
    // Writes text as META-INF/signatures.xml and keeps it in xml.
    void writeXml(const std::string& text);
    // Replaces the first occurrence of `from` in xml by `to` and rewrites the file; throws when
    // `from` is absent.
    void replaceInXml(const std::string& from, const std::string& to);
    // Inserts timestampObject(tokenB64) after the manifest Object and rewrites the file
    // (the signature does not change: the timestamp is outside SignedInfo).
    void addTimestamp(const std::string& tokenB64);
    // Zips the directory into zipPath with `zip -r -y -q`, run inside it: "mimetype" first
    // (when present), then everything else. Throws when zip fails.
    void zip(const std::string& zipPath) const;
};

// Copyable: copy a configured builder to vary one thing per case.
class PackageBuilder {
public:
    // Starts with a mimetype file, the signer TestPki leaf and the chain leaf, intermediate,
    // root in KeyInfo.
    PackageBuilder();

    // --- files ---
    // A file written and listed in the manifest (after "mimetype", in the order added).
    PackageBuilder& addFile(const std::string& relativePath, const std::string& bytes);
    // A file written but not listed.
    PackageBuilder& addUnlistedFile(const std::string& relativePath, const std::string& bytes);
    // An empty directory.
    PackageBuilder& addDirectory(const std::string& relativePath);
    // A symbolic link (target text verbatim). listed: the manifest lists the link path with the
    // digest of `listedBytes` (give the target's bytes); unlisted links are simply made on disk.
    PackageBuilder& addSymlink(const std::string& relativePath, const std::string& target, bool listed = false,
                               const std::string& listedBytes = "");
    // The mimetype file: content, or none at all.
    PackageBuilder& mimetype(const std::string& content);
    PackageBuilder& noMimetype();
    // Keep the mimetype file but leave it out of the manifest.
    PackageBuilder& mimetypeUnlisted();

    // --- manifest edits (by relative path of an entry added above, or "mimetype") ---
    PackageBuilder& setUri(const std::string& relativePath, const std::string& uriText);
    PackageBuilder& setDigest(const std::string& relativePath, const std::string& digestText);
    PackageBuilder& unlist(const std::string& relativePath);
    // An extra Reference appended after the generated ones (duplicates allowed).
    PackageBuilder& addReference(const std::string& uriText, const std::string& digestText);
    // Last word on the References list: called with the generated list before it is written.
    PackageBuilder& editReferences(std::function<void(std::vector<ManifestRef>&)> edit);
    // Writes this text as the SignedInfo DigestValue instead of the real manifest digest.
    PackageBuilder& manifestDigestOverride(const std::string& digestText);

    // --- document form ---
    PackageBuilder& layout(Layout l);
    // The signature variant: SignatureMethod written as
    // <SignatureMethod Algorithm="http://www.w3.org/TR/xmldsig-core#rsa-sha1"/>; the canonical
    // SignedInfo is then the variant's (line breaks removed). Best with the compact layout.
    PackageBuilder& variant(bool on = true);
    // KeyInfo certificates in order (new references are taken). Empty list: an empty X509Data.
    PackageBuilder& keyInfoCerts(const std::vector<X509*>& certs);
    // Base64 of the certificates with a LF every 64 characters (CR LF in the CRLF layout).
    PackageBuilder& certLineBreaks(bool on = true);
    // Writes an <Object><X509Certificate>..</X509Certificate></Object> before KeyInfo.
    PackageBuilder& certBeforeKeyInfo(X509* cert);
    // Writes the SignatureValue with a line break every 64 characters.
    PackageBuilder& signatureLineBreaks(bool on = true);
    // An RFC 3161 token (base64) for the timestamp Object after the manifest Object.
    PackageBuilder& timestamp(const std::string& tokenB64);
    // Raw text inserted right before </Signature> (after any timestamp Object).
    PackageBuilder& extraBeforeSignatureEnd(const std::string& text);

    // --- signature ---
    // Signing key (new reference taken). Default: the TestPki leaf key.
    PackageBuilder& signer(EVP_PKEY* key);
    // Digest of the DigestInfo signed in SignMode::DigestInfo (default EVP_sha1()).
    PackageBuilder& signatureMd(const EVP_MD* md);
    // SignMode::Pkcs1Block / NoPadding with the block given.
    PackageBuilder& rawSignature(SignMode mode, const std::string& block);
    // SignMode::Override: this text is written as the SignatureValue.
    PackageBuilder& signatureValueOverride(const std::string& text);

    // Writes everything below `dir` (made when missing; existing files are overwritten) and
    // returns what was written. Can be called again (e.g. into another directory).
    SignedPackage build(const std::string& dir) const;

    // The canonical SignedInfo that build() signs, for tests that build a raw block themselves
    // (the manifest digest is part of it, so the files must be final).
    std::string canonicalSignedInfo() const;

private:
    struct Entry {
        enum Kind { File, Directory, Symlink } kind = File;
        std::string path;
        std::string bytes;  // file content, or the listed bytes of a symlink
        std::string target; // symlink target
        bool listed = true;
        std::string uri;    // empty: percentEncode(path)
        std::string digest; // empty: digestB64(bytes)
    };
    struct Parts; // the document, element by element
    Entry* find(const std::string& relativePath);
    Parts assemble() const;

    std::vector<Entry> entries_;
    std::vector<ManifestRef> extraRefs_;
    std::vector<std::function<void(std::vector<ManifestRef>&)>> edits_;
    std::string manifestDigestOverride_;
    bool manifestDigestOverridden_ = false;
    Layout layout_ = Layout::Compact;
    bool variant_ = false;
    std::vector<std::shared_ptr<X509>> certs_;
    bool certLineBreaks_ = false;
    std::shared_ptr<X509> certBeforeKeyInfo_;
    bool sigLineBreaks_ = false;
    std::string timestampB64_;
    std::string extraBeforeEnd_;
    std::shared_ptr<EVP_PKEY> key_;
    const EVP_MD* md_ = nullptr;
    SignMode mode_ = SignMode::DigestInfo;
    std::string rawBlock_;
    std::string sigOverride_;
};

}  // namespace kvtest

#endif

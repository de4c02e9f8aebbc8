#include "package_builder.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include <boost/filesystem.hpp>
#include <openssl/err.h>
#include <openssl/rsa.h>

#include "cli_runner.h"
#include "test_pki.h"

namespace kvtest {

const char* const kDsigNs = "http://www.w3.org/2000/09/xmldsig#";
const char* const kDefaultMimetype = "application/vnd.kvb";

namespace {

namespace fs = boost::filesystem;

const char kC14nUri[] = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315";
const char kRsaSha1Uri[] = "http://www.w3.org/2000/09/xmldsig#rsa-sha1";
const char kVariantRsaSha1Uri[] = "http://www.w3.org/TR/xmldsig-core#rsa-sha1";
const char kSha256Uri[] = "http://www.w3.org/2001/04/xmlenc#sha256";
const char kManifestType[] = "http://www.w3.org/2000/09/xmldsig#Manifest";
const char kXadesNs[] = "http://uri.etsi.org/01903/v1.3.2#";

[[noreturn]] void fail(const std::string& what) {
    unsigned long e = ERR_get_error();
    char buf[256] = "";
    if (e) ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    throw std::runtime_error("package builder: " + what + (e ? std::string(": ") + buf : std::string()));
}

// One element of the document. Rendering gives two texts: as written (in the chosen layout)
// and as the library must see it after its canonical rewriting (self-closing tags expanded,
// CR LF as LF). Text content is written inline on the element's line.
struct Node {
    std::string name;
    std::string attrs;    // verbatim attribute text after the name, starting with a blank
    std::string text;     // character data (only for elements without children)
    bool selfClosing = false;
    bool raw = false;     // `text` is inserted verbatim in place of an element
    std::vector<Node> children;

    Node& add(Node n) {
        children.push_back(std::move(n));
        return children.back();
    }
};

Node el(std::string name, std::string attrs = "", std::string text = "") {
    Node n;
    n.name = std::move(name);
    n.attrs = std::move(attrs);
    n.text = std::move(text);
    return n;
}

Node rawText(std::string text) {
    Node n;
    n.raw = true;
    n.text = std::move(text);
    return n;
}

std::string attr(const std::string& name, const std::string& value) { return " " + name + "=\"" + value + "\""; }

struct Rendered {
    std::string written;
    std::string canonical;
};

// indented: each element on its own line, two blanks per level. eol: the line end of the
// written form; the canonical form uses LF.
void render(const Node& n, int depth, bool indented, const std::string& eol, Rendered& out) {
    if (n.raw) {
        out.written += n.text;
        out.canonical += n.text;
        return;
    }
    std::string start = "<" + n.name + n.attrs;
    if (n.selfClosing) {
        out.written += start + "/>";
        out.canonical += start + "></" + n.name + ">";
        return;
    }
    out.written += start + ">";
    out.canonical += start + ">";
    if (n.children.empty()) {
        out.written += n.text;
        out.canonical += n.text;
    } else {
        for (const Node& c : n.children) {
            if (indented) {
                out.written += eol + std::string(2 * (depth + 1), ' ');
                out.canonical += "\n" + std::string(2 * (depth + 1), ' ');
            }
            render(c, depth + 1, indented, eol, out);
        }
        if (indented) {
            out.written += eol + std::string(2 * depth, ' ');
            out.canonical += "\n" + std::string(2 * depth, ' ');
        }
    }
    out.written += "</" + n.name + ">";
    out.canonical += "</" + n.name + ">";
}

// The content of an element (between its start and end tag) in both forms.
Rendered inner(const Node& n, int depth, bool indented, const std::string& eol) {
    Node copy = n;
    copy.attrs.clear();
    Rendered r;
    render(copy, depth, indented, eol, r);
    std::string open = "<" + n.name + ">";
    std::string close = "</" + n.name + ">";
    r.written = r.written.substr(open.size(), r.written.size() - open.size() - close.size());
    r.canonical = r.canonical.substr(open.size(), r.canonical.size() - open.size() - close.size());
    return r;
}

std::string withBreaks(const std::string& b64, const std::string& eol) {
    std::string out;
    for (size_t p = 0; p < b64.size(); p += 64) {
        if (p) out += eol;
        out += b64.substr(p, 64);
    }
    return out;
}

std::string rsaSign(EVP_PKEY* key, SignMode mode, const EVP_MD* md, const std::string& data) {
    kvbsign::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0) fail("sign init");
    std::string tbs = data;
    if (mode == SignMode::DigestInfo) {
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) fail("padding");
        if (EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0) fail("signature digest");
        unsigned char d[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        if (!EVP_Digest(data.data(), data.size(), d, &len, md, nullptr)) fail("digest");
        tbs.assign(reinterpret_cast<char*>(d), len);
    } else if (mode == SignMode::Pkcs1Block) {
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) fail("padding");
    } else {
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) <= 0) fail("padding");
    }
    size_t sigLen = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(tbs.data());
    if (EVP_PKEY_sign(ctx.get(), nullptr, &sigLen, in, tbs.size()) <= 0) fail("sign size");
    std::string sig(sigLen, '\0');
    if (EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(&sig[0]), &sigLen, in, tbs.size()) <= 0)
        fail("sign");
    sig.resize(sigLen);
    return sig;
}

std::string findProgram(const std::string& name) {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty()) {
            std::string candidate = dir + "/" + name;
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    throw std::runtime_error("package builder: " + name + " not found");
}

void runZip(const std::vector<std::string>& args, const std::string& cwd) {
    CliResult r = runProgram(findProgram("zip"), args, {}, 60, cwd);
    if (r.exitCode != 0) throw std::runtime_error("package builder: zip failed: " + r.err);
}

}  // namespace

std::string percentEncode(const std::string& relativePath) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : relativePath) {
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '_' || c == '.' || c == '~' || c == '/';
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        }
    }
    return out;
}

std::string digestB64(const std::string& bytes) { return base64(sha256(bytes)); }

namespace {
Node timestampNode(const std::string& tokenB64) {
    Node obj = el("Object");
    Node& qp = obj.add(el("xades:QualifyingProperties", attr("xmlns:xades", kXadesNs) + attr("Target", "#PackageSignature")));
    Node& up = qp.add(el("xades:UnsignedProperties"));
    Node& usp = up.add(el("xades:UnsignedSignatureProperties"));
    Node& sts = usp.add(el("xades:SignatureTimeStamp"));
    sts.add(el("xades:EncapsulatedTimeStamp", "", tokenB64));
    return obj;
}
}  // namespace

std::string timestampObject(const std::string& tokenB64) {
    Rendered r;
    render(timestampNode(tokenB64), 0, false, "\n", r);
    return r.written;
}

std::string timestampMessage(const std::string& signatureValueText) {
    std::string value;
    for (char c : signatureValueText)
        if (c != '\r' && c != '\n') value += c;
    return std::string("<SignatureValue xmlns=\"") + kDsigNs + "\" Id=\"PackageSignatureValue\">" + value +
           "</SignatureValue>";
}

// ---------------------------------------------------------------------------------------------
// SignedPackage

void SignedPackage::writeXml(const std::string& text) {
    xml = text;
    writeFile(xmlPath(), text);
}

void SignedPackage::replaceInXml(const std::string& from, const std::string& to) {
    size_t p = xml.find(from);
    if (p == std::string::npos) throw std::runtime_error("package builder: text to replace not found: " + from);
    std::string text = xml;
    text.replace(p, from.size(), to);
    writeXml(text);
}

void SignedPackage::addTimestamp(const std::string& tokenB64) {
    // The manifest Object is the one that closes right after </Manifest>.
    size_t m = xml.find("</Manifest>");
    if (m == std::string::npos) throw std::runtime_error("package builder: no manifest in document");
    size_t end = xml.find("</Object>", m);
    if (end == std::string::npos) throw std::runtime_error("package builder: no manifest Object end");
    std::string text = xml;
    text.insert(end + 9, timestampObject(tokenB64));
    writeXml(text);
}

void SignedPackage::zip(const std::string& zipPath) const {
    std::string target = fs::absolute(fs::path(zipPath)).generic_string();
    fs::remove(target);
    bool hasMimetype = fs::exists(fs::symlink_status(fs::path(dir) / "mimetype"));
    if (hasMimetype) runZip({"-X", "-q", "-y", "-0", target, "mimetype"}, dir);
    std::vector<std::string> args{"-X", "-r", "-y", "-q", target, "."};
    if (hasMimetype) {
        args.push_back("-x");
        args.push_back("mimetype");
    }
    runZip(args, dir);
}

// ---------------------------------------------------------------------------------------------
// PackageBuilder

struct PackageBuilder::Parts {
    Node signedInfo;
    Node manifest;
    std::vector<ManifestRef> refs;
    std::string manifestDigest;
    Rendered signedInfoInner;
    Rendered manifestInner;
    std::string canonicalSignedInfo;
    std::string canonicalManifest;
};

PackageBuilder::PackageBuilder() : md_(EVP_sha1()) {
    Entry m;
    m.path = "mimetype";
    m.bytes = kDefaultMimetype;
    entries_.push_back(m);
    TestPki& p = pki();
    key_ = std::shared_ptr<EVP_PKEY>(shareKey(p.leaf.key.get()).release(), EVP_PKEY_free);
    keyInfoCerts({p.leaf.cert.get(), p.intermediate.cert.get(), p.root.cert.get()});
}

PackageBuilder::Entry* PackageBuilder::find(const std::string& relativePath) {
    for (auto& e : entries_)
        if (e.path == relativePath) return &e;
    throw std::runtime_error("package builder: no entry " + relativePath);
}

PackageBuilder& PackageBuilder::addFile(const std::string& relativePath, const std::string& bytes) {
    Entry e;
    e.path = relativePath;
    e.bytes = bytes;
    entries_.push_back(e);
    return *this;
}

PackageBuilder& PackageBuilder::addUnlistedFile(const std::string& relativePath, const std::string& bytes) {
    addFile(relativePath, bytes);
    entries_.back().listed = false;
    return *this;
}

PackageBuilder& PackageBuilder::addDirectory(const std::string& relativePath) {
    Entry e;
    e.kind = Entry::Directory;
    e.path = relativePath;
    e.listed = false;
    entries_.push_back(e);
    return *this;
}

PackageBuilder& PackageBuilder::addSymlink(const std::string& relativePath, const std::string& target, bool listed,
                                           const std::string& listedBytes) {
    Entry e;
    e.kind = Entry::Symlink;
    e.path = relativePath;
    e.target = target;
    e.listed = listed;
    e.bytes = listedBytes;
    entries_.push_back(e);
    return *this;
}

PackageBuilder& PackageBuilder::mimetype(const std::string& content) {
    for (auto& e : entries_)
        if (e.path == "mimetype" && e.kind == Entry::File) {
            e.bytes = content;
            return *this;
        }
    Entry m;
    m.path = "mimetype";
    m.bytes = content;
    entries_.insert(entries_.begin(), m);
    return *this;
}

PackageBuilder& PackageBuilder::noMimetype() {
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
        if (it->path == "mimetype") {
            entries_.erase(it);
            break;
        }
    return *this;
}

PackageBuilder& PackageBuilder::mimetypeUnlisted() {
    find("mimetype")->listed = false;
    return *this;
}

PackageBuilder& PackageBuilder::setUri(const std::string& relativePath, const std::string& uriText) {
    find(relativePath)->uri = uriText;
    return *this;
}

PackageBuilder& PackageBuilder::setDigest(const std::string& relativePath, const std::string& digestText) {
    find(relativePath)->digest = digestText;
    return *this;
}

PackageBuilder& PackageBuilder::unlist(const std::string& relativePath) {
    find(relativePath)->listed = false;
    return *this;
}

PackageBuilder& PackageBuilder::addReference(const std::string& uriText, const std::string& digestText) {
    extraRefs_.push_back({uriText, digestText});
    return *this;
}

PackageBuilder& PackageBuilder::editReferences(std::function<void(std::vector<ManifestRef>&)> edit) {
    edits_.push_back(std::move(edit));
    return *this;
}

PackageBuilder& PackageBuilder::manifestDigestOverride(const std::string& digestText) {
    manifestDigestOverride_ = digestText;
    manifestDigestOverridden_ = true;
    return *this;
}

PackageBuilder& PackageBuilder::layout(Layout l) {
    layout_ = l;
    return *this;
}

PackageBuilder& PackageBuilder::variant(bool on) {
    variant_ = on;
    return *this;
}

PackageBuilder& PackageBuilder::keyInfoCerts(const std::vector<X509*>& certs) {
    certs_.clear();
    for (X509* c : certs) certs_.emplace_back(dupCert(c).release(), X509_free);
    return *this;
}

PackageBuilder& PackageBuilder::certLineBreaks(bool on) {
    certLineBreaks_ = on;
    return *this;
}

PackageBuilder& PackageBuilder::certBeforeKeyInfo(X509* cert) {
    certBeforeKeyInfo_ = cert ? std::shared_ptr<X509>(dupCert(cert).release(), X509_free) : nullptr;
    return *this;
}

PackageBuilder& PackageBuilder::signatureLineBreaks(bool on) {
    sigLineBreaks_ = on;
    return *this;
}

PackageBuilder& PackageBuilder::timestamp(const std::string& tokenB64) {
    timestampB64_ = tokenB64;
    return *this;
}

PackageBuilder& PackageBuilder::extraBeforeSignatureEnd(const std::string& text) {
    extraBeforeEnd_ = text;
    return *this;
}

PackageBuilder& PackageBuilder::signer(EVP_PKEY* key) {
    key_ = std::shared_ptr<EVP_PKEY>(shareKey(key).release(), EVP_PKEY_free);
    return *this;
}

PackageBuilder& PackageBuilder::signatureMd(const EVP_MD* md) {
    md_ = md;
    mode_ = SignMode::DigestInfo;
    return *this;
}

PackageBuilder& PackageBuilder::rawSignature(SignMode mode, const std::string& block) {
    mode_ = mode;
    rawBlock_ = block;
    return *this;
}

PackageBuilder& PackageBuilder::signatureValueOverride(const std::string& text) {
    mode_ = SignMode::Override;
    sigOverride_ = text;
    return *this;
}

PackageBuilder::Parts PackageBuilder::assemble() const {
    const bool indented = layout_ != Layout::Compact;
    const std::string eol = layout_ == Layout::IndentedCRLF ? "\r\n" : "\n";
    Parts parts;

    // Manifest References: listed entries in order (mimetype first), then the extras.
    for (const Entry& e : entries_) {
        if (!e.listed || e.kind == Entry::Directory) continue;
        parts.refs.push_back({e.uri.empty() ? percentEncode(e.path) : e.uri,
                              e.digest.empty() ? digestB64(e.bytes) : e.digest});
    }
    parts.refs.insert(parts.refs.end(), extraRefs_.begin(), extraRefs_.end());
    for (const auto& edit : edits_) edit(parts.refs);

    // Depths in the document: signatures 0, Signature 1, SignedInfo and Object 2, Manifest 3.
    parts.manifest = el("Manifest", attr("Id", "PackageContents"));
    for (const ManifestRef& r : parts.refs) {
        Node& ref = parts.manifest.add(el("Reference", attr("URI", r.uri)));
        ref.add(el("DigestMethod", attr("Algorithm", kSha256Uri)));
        ref.add(el("DigestValue", "", r.digest));
    }
    parts.manifestInner = inner(parts.manifest, 3, indented, eol);
    parts.canonicalManifest = std::string("<Manifest xmlns=\"") + kDsigNs + "\" Id=\"PackageContents\">" +
                              parts.manifestInner.canonical + "</Manifest>";
    parts.manifestDigest = manifestDigestOverridden_ ? manifestDigestOverride_ : digestB64(parts.canonicalManifest);

    parts.signedInfo = el("SignedInfo");
    parts.signedInfo.add(el("CanonicalizationMethod", attr("Algorithm", kC14nUri)));
    if (variant_) {
        Node sm = el("SignatureMethod", attr("Algorithm", kVariantRsaSha1Uri));
        sm.selfClosing = true;
        parts.signedInfo.add(sm);
    } else {
        parts.signedInfo.add(el("SignatureMethod", attr("Algorithm", kRsaSha1Uri)));
    }
    Node& ref = parts.signedInfo.add(el("Reference", attr("URI", "#PackageContents") + attr("Type", kManifestType)));
    ref.add(el("DigestMethod", attr("Algorithm", kSha256Uri)));
    ref.add(el("DigestValue", "", parts.manifestDigest));
    parts.signedInfoInner = inner(parts.signedInfo, 2, indented, eol);
    const std::string siStart = std::string("<SignedInfo xmlns=\"") + kDsigNs + "\">";
    if (variant_) {
        // The variant digests SignedInfo with the line breaks removed, which also drops the
        // indentation: the compact rendering is that text.
        Rendered compact = inner(parts.signedInfo, 2, false, "\n");
        parts.canonicalSignedInfo = siStart + compact.canonical + "</SignedInfo>";
    } else {
        parts.canonicalSignedInfo = siStart + parts.signedInfoInner.canonical + "</SignedInfo>";
    }
    return parts;
}

std::string PackageBuilder::canonicalSignedInfo() const { return assemble().canonicalSignedInfo; }

SignedPackage PackageBuilder::build(const std::string& dir) const {
    const bool indented = layout_ != Layout::Compact;
    const std::string eol = layout_ == Layout::IndentedCRLF ? "\r\n" : "\n";
    Parts parts = assemble();

    SignedPackage pkg;
    pkg.dir = dir;
    pkg.references = parts.refs;
    pkg.canonicalManifest = parts.canonicalManifest;
    pkg.canonicalSignedInfo = parts.canonicalSignedInfo;
    pkg.manifestDigestB64 = parts.manifestDigest;

    std::string sigB64;
    switch (mode_) {
    case SignMode::DigestInfo:
        sigB64 = base64(rsaSign(key_.get(), mode_, md_, parts.canonicalSignedInfo));
        break;
    case SignMode::Pkcs1Block:
    case SignMode::NoPadding:
        sigB64 = base64(rsaSign(key_.get(), mode_, nullptr, rawBlock_));
        break;
    case SignMode::Override:
        sigB64 = sigOverride_;
        break;
    }
    pkg.signatureValueText = sigLineBreaks_ ? withBreaks(sigB64, eol) : sigB64;
    for (char c : pkg.signatureValueText)
        if (c != '\r' && c != '\n') pkg.signatureValueB64 += c;
    pkg.timestampMessageText = timestampMessage(pkg.signatureValueText);

    Node signature = el("Signature", attr("xmlns", kDsigNs) + attr("Id", "PackageSignature"));
    signature.add(parts.signedInfo);
    signature.add(el("SignatureValue", attr("Id", "PackageSignatureValue"), pkg.signatureValueText));
    auto certText = [&](X509* c) {
        std::string b64 = base64(toDer(c));
        return certLineBreaks_ ? withBreaks(b64, eol) : b64;
    };
    if (certBeforeKeyInfo_) signature.add(el("Object")).add(el("X509Certificate", "", certText(certBeforeKeyInfo_.get())));
    Node& x509Data = signature.add(el("KeyInfo")).add(el("X509Data"));
    for (const auto& c : certs_) x509Data.add(el("X509Certificate", "", certText(c.get())));
    signature.add(el("Object")).add(parts.manifest);
    if (!timestampB64_.empty()) signature.add(timestampNode(timestampB64_));
    if (!extraBeforeEnd_.empty()) signature.add(rawText(extraBeforeEnd_));

    Node root = el("signatures");
    root.add(signature);
    Rendered doc;
    render(root, 0, indented, eol, doc);
    std::string text = doc.written;
    if (indented) text += eol;

    fs::create_directories(dir);
    for (const Entry& e : entries_) {
        fs::path p = fs::path(dir) / e.path;
        if (e.kind == Entry::Directory) {
            fs::create_directories(p);
        } else if (e.kind == Entry::File) {
            writeFile(p.string(), e.bytes);
        }
    }
    // Links last, so their targets exist when the test wants them to.
    for (const Entry& e : entries_) {
        if (e.kind != Entry::Symlink) continue;
        fs::path p = fs::path(dir) / e.path;
        fs::create_directories(p.parent_path());
        boost::system::error_code ec;
        fs::remove(p, ec);
        if (symlink(e.target.c_str(), p.c_str()) != 0)
            throw std::runtime_error("package builder: symlink failed: " + p.string());
    }
    pkg.writeXml(text);
    return pkg;
}

}  // namespace kvtest

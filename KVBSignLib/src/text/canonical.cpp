// Element values of the signature document and the canonical texts that its digests cover.
// The canonical texts come from fixed text rules, not from an XML parser: a signing tool
// has to produce the same bytes.
//
// The document is held once by the caller. The ranges are views into it; the deletion between
// elements writes the one text that the expansion of collapsed elements then reads, and the
// expansion streams into the digest, so no canonical text is built whole.
#include <string_view>

#include <openssl/evp.h>

#include "KVBSignLibInternal.h"
#include "ossl_ptr.h"
#include "system/interrupt.h"
#include "text/document_tags.h"

namespace {

namespace tags = kvbsign::tags;

// How much text a rewriting pass reads between two looks at the interrupt flag.
constexpr size_t kInterruptLookBytes = 1 << 20;

bool isBlankOrLineBreak(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isLineBreak(char c) { return c == '\r' || c == '\n'; }

// Collects the text that the deletion keeps; NoText only follows what it deletes.
struct TextOut {
    std::string text;
    // Room for all of it at once: what the deletion drops is never written, so the unused
    // room costs address space only, and the text never moves while it grows.
    template <size_t N>
    explicit TextOut(const std::string_view (&pieces)[N]) {
        size_t total = 0;
        for (const std::string_view& piece : pieces) total += piece.size();
        text.reserve(total);
    }
    void put(char c) { text.push_back(c); }
};
struct NoText {
    void put(char) {}
};

// Deletes what lies between a ">" followed by a blank and the next "<", over the pieces read
// as one text; with skipLineBreaks, CR and LF are left out first as if they had been removed
// before. When dropsContent is given, it is set to true if anything but blanks, tabs, CR and
// LF was deleted. A "> " with no "<" after it deletes nothing: the rest is read a second time
// from its blank and kept as it is, so the deleted run itself is never held.
template <class Out, size_t N>
void removeSpaces(const std::string_view (&pieces)[N], bool skipLineBreaks, Out& out, bool* dropsContent) {
    bool afterGreater = false;
    bool deleting = false;
    bool deletingContent = false;
    size_t fromPiece = 0;
    size_t fromOffset = 0;
    for (size_t k = 0; k < N; ++k) {
        const std::string_view piece = pieces[k];
        for (size_t i = 0; i < piece.size(); ++i) {
            // A document of hundreds of megabytes takes a while.
            if (i % kInterruptLookBytes == 0) kvbsign::interrupt::throwIfInterrupted();
            const char c = piece[i];
            if (skipLineBreaks && isLineBreak(c)) continue;
            if (!deleting) {
                if (afterGreater && c == ' ') {
                    deleting = true;
                    deletingContent = false;
                    fromPiece = k;
                    fromOffset = i;
                    afterGreater = false;
                    continue;
                }
                out.put(c);
                afterGreater = c == '>';
            } else if (c == '<') {
                if (deletingContent && dropsContent != nullptr) *dropsContent = true;
                deleting = false;
                out.put(c);
            } else if (!isBlankOrLineBreak(c)) {
                deletingContent = true;
            }
        }
    }
    if (!deleting) return;
    for (size_t k = fromPiece; k < N; ++k) {
        const std::string_view piece = pieces[k];
        for (size_t i = k == fromPiece ? fromOffset : 0; i < piece.size(); ++i) {
            if (i % kInterruptLookBytes == 0) kvbsign::interrupt::throwIfInterrupted();
            if (!(skipLineBreaks && isLineBreak(piece[i]))) out.put(piece[i]);
        }
    }
}

// Feeds a digest through a small buffer, optionally removing CR and LF or turning CR LF
// into LF on the way, so the text that is hashed never exists whole.
class DigestOut {
public:
    enum class LineEnds { asGiven, removed, normalised };

    DigestOut(const EVP_MD* md, LineEnds lineEnds) : ctx_(EVP_MD_CTX_new()), lineEnds_(lineEnds) {
        ok_ = ctx_ && EVP_DigestInit_ex(ctx_.get(), md, nullptr) == 1;
    }

    void put(char c) {
        if (lineEnds_ == LineEnds::removed && isLineBreak(c)) return;
        if (lineEnds_ == LineEnds::normalised) {
            // CR LF becomes LF; a lone CR stays. A CR waits for the byte after it.
            if (heldCr_) {
                heldCr_ = false;
                if (c != '\n') push('\r');
            }
            if (c == '\r') {
                heldCr_ = true;
                return;
            }
        }
        push(c);
    }
    void put(std::string_view text) {
        for (char c : text) put(c);
    }

    // The raw digest, or "" when the digest could not be computed.
    std::string finish() {
        if (heldCr_) push('\r');
        heldCr_ = false;
        flush();
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!ok_ || EVP_DigestFinal_ex(ctx_.get(), digest, &length) != 1) return "";
        return std::string(reinterpret_cast<const char*>(digest), length);
    }

private:
    void push(char c) {
        buffer_[used_++] = c;
        if (used_ == sizeof buffer_) flush();
    }
    void flush() {
        // Everything hashed passes through here, a buffer at a time.
        kvbsign::interrupt::throwIfInterrupted();
        if (ok_ && used_ > 0) ok_ = EVP_DigestUpdate(ctx_.get(), buffer_, used_) == 1;
        used_ = 0;
    }

    kvbsign::EvpMdCtxPtr ctx_;
    LineEnds lineEnds_;
    bool ok_ = false;
    bool heldCr_ = false;
    size_t used_ = 0;
    char buffer_[16384];
};

// Writes every self-closing element of text as a start tag and an end tag.
template <class Out>
void expandCollapsed(std::string_view text, Out& out) {
    size_t pos = 0;
    // Every pass either stops or moves pos past a "/>", so the loop ends.
    while (pos < text.size()) {
        const size_t slash = text.find("/>", pos);
        if (slash == std::string_view::npos) {
            out.put(text.substr(pos));
            return;
        }
        // The head is the piece followed by ">" (the "/" is dropped).
        const std::string_view piece = text.substr(pos, slash - pos);
        out.put(piece);
        out.put('>');
        pos = slash + 2;

        // The element is the head from its last "<"; without one there is no name to close.
        const size_t lt = piece.rfind('<');
        if (lt == std::string_view::npos) continue;
        const std::string_view element = piece.substr(lt);
        // The name ends at the first blank, else at the first ">", else at the head's own ">".
        size_t nameEnd = element.find(' ');
        if (nameEnd == std::string_view::npos) nameEnd = element.find('>');
        if (nameEnd == std::string_view::npos) nameEnd = element.size();
        out.put(std::string_view("</"));
        out.put(element.substr(1, nameEnd - 1));
        out.put('>');
    }
}

struct StringOut {
    std::string& text;
    void put(char c) { text.push_back(c); }
    void put(std::string_view piece) { text.append(piece); }
};

std::string_view signedInfoRange(const std::string& doc) {
    return KVBSignLibInternal::stringRangeView(doc, tags::kSignedInfoStart, tags::kSignedInfoEnd);
}

std::string_view manifestRange(const std::string& doc) {
    return KVBSignLibInternal::stringRangeView(doc, tags::kManifestStart, tags::kManifestEnd);
}

}  // namespace

std::string_view KVBSignLibInternal::signatureValueRange(const std::string& doc) {
    return stringRangeView(doc, tags::kSignatureValueStart, tags::kSignatureValueEnd);
}

std::string_view KVBSignLibInternal::manifestValueRange(const std::string& doc) {
    return stringRangeView(signedInfoRange(doc), tags::kDigestValueStart, tags::kDigestValueEnd);
}

std::string KVBSignLibInternal::extractSignatureValue(const std::string& doc) {
    return unite_lines(std::string(signatureValueRange(doc)));
}

std::string KVBSignLibInternal::extractManifestValue(const std::string& doc) {
    return unite_lines(std::string(manifestValueRange(doc)));
}

bool KVBSignLibInternal::isNvoSignature(const std::string& doc) {
    return foundStr(tags::kVariantSignatureMethod, doc);
}

std::string KVBSignLibInternal::removeSpacesBetweenElements(std::string text) {
    const std::string_view pieces[] = {text};
    TextOut out(pieces);
    removeSpaces(pieces, false, out, nullptr);
    return std::move(out.text);
}

std::string KVBSignLibInternal::expandCollapsedElements(std::string text) {
    std::string result;
    result.reserve(text.size() + text.size() / 2);
    StringOut out{result};
    expandCollapsed(text, out);
    return result;
}

std::string KVBSignLibInternal::signedInfoSHA1(const std::string& doc, bool removeLineBreaks) {
    // Wrapped before the rewriting: a blank right after the start tag is deleted too. Line
    // breaks, when removed, go before the deletion, so none reaches the digest.
    const std::string_view pieces[] = {tags::kSignedInfoWithNamespace, signedInfoRange(doc), tags::kSignedInfoEnd};
    TextOut kept(pieces);
    removeSpaces(pieces, removeLineBreaks, kept, nullptr);
    DigestOut out(EVP_sha1(), removeLineBreaks ? DigestOut::LineEnds::asGiven : DigestOut::LineEnds::normalised);
    expandCollapsed(kept.text, out);
    return out.finish();
}

std::string KVBSignLibInternal::manifestSHA256(const std::string& doc, bool removeLineBreaks) {
    // Rewritten before the wrapping, and line breaks removed only afterwards.
    const std::string_view pieces[] = {manifestRange(doc)};
    TextOut kept(pieces);
    removeSpaces(pieces, false, kept, nullptr);
    DigestOut out(EVP_sha256(), removeLineBreaks ? DigestOut::LineEnds::removed : DigestOut::LineEnds::normalised);
    out.put(std::string_view(tags::kManifestWithNamespace));
    expandCollapsed(kept.text, out);
    out.put(std::string_view(tags::kManifestEnd));
    return out.finish();
}

bool KVBSignLibInternal::canonicalFormDropsContent(const std::string& doc, bool signedInfoLineBreakFlag) {
    // The same steps as the canonical texts up to the deletion; what is deleted there is not
    // covered by the digests, so it must be white space only.
    bool drops = false;
    NoText none;
    const std::string_view signedInfo[] = {tags::kSignedInfoWithNamespace, signedInfoRange(doc),
                                           tags::kSignedInfoEnd};
    removeSpaces(signedInfo, signedInfoLineBreakFlag, none, &drops);
    if (drops) return true;
    const std::string_view manifest[] = {manifestRange(doc)};
    removeSpaces(manifest, false, none, &drops);
    return drops;
}

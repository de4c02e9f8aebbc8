// Element values, rewriting rules and the canonical SignedInfo and Manifest digests. The
// expected canonical texts are written out by hand and hashed here directly, so a wrong
// rewriting rule shows as a digest mismatch.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <string>

#include "KVBSignLibInternal.h"

namespace {

using K = KVBSignLibInternal;
using namespace std::string_literals;

const std::string kNs = "http://www.w3.org/2000/09/xmldsig#";
const std::string kCanonSignedInfo = "<SignedInfo xmlns=\"" + kNs + "\">";
const std::string kCanonManifest = "<Manifest xmlns=\"" + kNs + "\" Id=\"PackageContents\">";

std::string digestOf(const std::string& text, const EVP_MD* md) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(text.data(), text.size(), out, &length, md, nullptr), 1);
    return std::string(reinterpret_cast<const char*>(out), length);
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 0xF]);
    }
    return out;
}

struct Case {
    const char* name;
    std::string in;
    std::string want;
};

TEST(ElementValues, SignatureValueJoinedWithoutLineBreaks) {
    const Case cases[] = {
        {"CR LF between lines",
         "<x><SignatureValue Id=\"PackageSignatureValue\">QUJD\r\nREVG\r\nRw==</SignatureValue></x>", "QUJDREVGRw=="},
        {"blanks stay", "<SignatureValue Id=\"PackageSignatureValue\"> QUJD REVG\n</SignatureValue>", " QUJD REVG"},
        {"no start tag: text up to the end tag", "a\r\nb</SignatureValue>c", "ab"},
        {"other Id is not the value", "<SignatureValue Id=\"Other\">QQ==</SignatureValue>",
         "<SignatureValue Id=\"Other\">QQ=="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::extractSignatureValue(c.in), c.want);
    }
}

TEST(ElementValues, ManifestValueIsFirstDigestInsideSignedInfo) {
    const Case cases[] = {
        {"manifest comes first in the document",
         "<Manifest Id=\"PackageContents\"><Reference URI=\"a\"><DigestValue>bWFu</DigestValue></Reference>"
         "</Manifest><SignedInfo><Reference><DigestValue>c2ln\r\nbmVk</DigestValue></Reference>"
         "<Reference><DigestValue>c2Vjb25k</DigestValue></Reference></SignedInfo>",
         "c2lnbmVk"},
        {"no DigestValue in SignedInfo: its whole content",
         "<SignedInfo><A/>\n</SignedInfo><DigestValue>eA==</DigestValue>", "<A/>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::extractManifestValue(c.in), c.want);
    }
}

TEST(VariantMarker, ByteExactMatchOnly) {
    struct MarkerCase {
        const char* name;
        std::string doc;
        bool want;
    };
    const MarkerCase cases[] = {
        {"exact marker", "<x><SignatureMethod Algorithm=\"http://www.w3.org/TR/xmldsig-core#rsa-sha1\"/></x>", true},
        {"namespace URI with rsa-sha1",
         "<SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>", false},
        {"blank before />", "<SignatureMethod Algorithm=\"http://www.w3.org/TR/xmldsig-core#rsa-sha1\" />", false},
        {"end tag instead of />",
         "<SignatureMethod Algorithm=\"http://www.w3.org/TR/xmldsig-core#rsa-sha1\"></SignatureMethod>", false},
        {"single quotes", "<SignatureMethod Algorithm='http://www.w3.org/TR/xmldsig-core#rsa-sha1'/>", false},
        {"namespace prefix", "<ds:SignatureMethod Algorithm=\"http://www.w3.org/TR/xmldsig-core#rsa-sha1\"/>", false},
        {"empty document", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::isNvoSignature(c.doc), c.want);
    }
}

TEST(RemoveSpacesBetweenElements, DeletesFromGreaterBlankToNextLess) {
    const Case cases[] = {
        {"blank and character data", "<a> <b> x </b>", "<a><b></b>"},
        {"line break then indentation stays", "<a>\n <b>", "<a>\n <b>"},
        {"tab does not start a deletion", "<a>\t<b>", "<a>\t<b>"},
        {"no later <: unchanged", "<a> tail", "<a> tail"},
        {"data starting with a blank goes with it", "<a> x</a>", "<a></a>"},
        {"blank then line breaks and indentation", "<a> \r\n  <b>", "<a><b>"},
        {"inside an attribute value", "<a t=\"> y\"/><b>", "<a t=\"><b>"},
        {"no-break space byte is not a blank", "<a>\xa0<b>", "<a>\xa0<b>"},
        {"NUL bytes deleted like others", "<a> \0x<b>\0"s, "<a><b>\0"s},
        {"several deletions", "<a> 1<b> 2<c> 3", "<a><b><c> 3"},
        {"empty", "", ""},
        {"runs of > blank", "<a> > > <b>", "<a><b>"},
        {"> blank at the end", "<a>x> ", "<a>x> "},
        {"> blank then < at the end", "<a> <", "<a><"},
        {"doubled brackets", ">>  <<", ">><<"},
        {"several > blank before one <", "a> b> c<d", "a><d"},
        {"nested elements", "<a> <b> <c/> </b> </a>", "<a><b><c/></b></a>"},
        {"no later <: the rest from the first > blank", "<a><b> x> y", "<a><b> x> y"},
        {"CR LF after > blank", "<a> \r\n<b>\r\n <c>", "<a><b>\r\n <c>"},
        {"blank right after <", "< <a> b", "< <a> b"},
        {"only > blank", "> ", "> "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::removeSpacesBetweenElements(c.in), c.want);
    }
}

TEST(ExpandCollapsedElements, EverySlashGreaterBecomesAnEndTag) {
    const Case cases[] = {
        {"bare element", "<a/>", "<a></a>"},
        {"blank before />", "<a />", "<a ></a>"},
        {"attribute", "<Transform Algorithm=\"t\"/>", "<Transform Algorithm=\"t\"></Transform>"},
        {"nested and siblings", "<a><b c=\"d\"/><e/></a>", "<a><b c=\"d\"></b><e></e></a>"},
        {"no />", "<a>x</a>", "<a>x</a>"},
        {"empty", "", ""},
        {"no < before />: head kept, no end tag", "x/>", "x>"},
        {"no < then an element", "x/><a/>", "x><a></a>"},
        {"/> alone", "/>", ">"},
        {"tab after the name: attributes in the end tag", "<a\tb=\"c\"/>", "<a\tb=\"c\"></a\tb=\"c\">"},
        {"line break after the name", "<a\nb=\"c\"/>", "<a\nb=\"c\"></a\nb=\"c\">"},
        {"/> inside an attribute value", "<a h=\"x/>y\"/>", "<a h=\"x></a>y\">"},
        {"name ends at the first > without blank", "<a>t/>", "<a>t></a>"},
        {"text after the last />", "<a/>tail", "<a></a>tail"},
        {"high bytes in the name", "<\xc3\xa9/>", "<\xc3\xa9></\xc3\xa9>"},
        {"/> runs", "/>/>/>", ">>>"},
        {"second < wins", "<a<b/>", "<a<b></b>"},
        {"two elements with attributes", "<a b/><c d=\"e\"/>", "<a b></a><c d=\"e\"></c>"},
        {"blank name", "< />", "< ></>"},
        {"slash blank >", "<a/ >", "<a/ >"},
        {"slash slash", "<a//>", "<a/></a/>"},
        {"right after a start tag", "<a>/>", "<a>></a>"},
        {"CR LF before the attributes", "<a\r\nb/>", "<a\r\nb></a\r\nb>"},
        {"empty element name", "</>", "<></>"},
        {"nested", "<a><b><c/></b><d e=\"f\"/></a>", "<a><b><c></c></b><d e=\"f\"></d></a>"},
        {"text between", "x<a/>y<b/>z", "x<a></a>y<b></b>z"},
        {"> before the first blank", "<a>b c/>", "<a>b c></a>b>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::expandCollapsedElements(c.in), c.want);
    }
}

TEST(ExpandCollapsedElements, EndsOnDegenerateInput) {
    const std::string slashes(10000, '/');
    EXPECT_EQ(K::expandCollapsedElements(slashes), slashes);
    std::string many;
    for (int i = 0; i < 2000; ++i) many += "/>";
    EXPECT_EQ(K::expandCollapsedElements(many), std::string(2000, '>'));
    EXPECT_EQ(K::expandCollapsedElements("<//>>"), "</><//>>");
}

// A document's SignedInfo and the canonical text it must be hashed as.
struct DigestCase {
    const char* name;
    std::string doc;
    bool flag;
    std::string canonical;
};

TEST(SignedInfoDigest, HashesTheCanonicalText) {
    const std::string workedDoc =
        "<Signature><SignedInfo>\r\n  <CanonicalizationMethod Algorithm=\"c\"/>\r\n</SignedInfo></Signature>";
    const DigestCase cases[] = {
        {"worked example, line breaks kept", workedDoc, false,
         kCanonSignedInfo + "\n  <CanonicalizationMethod Algorithm=\"c\"></CanonicalizationMethod>\n</SignedInfo>"},
        {"worked example, line breaks removed", workedDoc, true,
         kCanonSignedInfo + "<CanonicalizationMethod Algorithm=\"c\"></CanonicalizationMethod></SignedInfo>"},
        {"blank after the start tag is deleted", "<SignedInfo> <A/></SignedInfo>", false,
         kCanonSignedInfo + "<A></A></SignedInfo>"},
        {"blank indentation removed with the line breaks", "<SignedInfo>\n  <A/>\n  <B>x</B>\n</SignedInfo>", true,
         kCanonSignedInfo + "<A></A><B>x</B></SignedInfo>"},
        {"line ending in a blank", "<SignedInfo>\n  <A/> \n  <B/>\n</SignedInfo>", false,
         kCanonSignedInfo + "\n  <A></A><B></B>\n</SignedInfo>"},
        {"lone CR kept", "<SignedInfo><A>\r</A>\r\r\n</SignedInfo>", false,
         kCanonSignedInfo + "<A>\r</A>\r\n</SignedInfo>"},
        {"no SignedInfo: the whole document", "x", false, kCanonSignedInfo + "x</SignedInfo>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string got = K::signedInfoSHA1(c.doc, c.flag);
        EXPECT_EQ(got.size(), 20u);
        EXPECT_EQ(hex(got), hex(digestOf(c.canonical, EVP_sha1())));
    }
    // The same canonical text, hashed with the command-line tool.
    EXPECT_EQ(hex(K::signedInfoSHA1(workedDoc, false)), "966bbe841af1e2bbceff677fa8bc200be28a39c1");
}

TEST(ManifestDigest, HashesTheCanonicalText) {
    const std::string indented =
        "<Object><Manifest Id=\"PackageContents\">\r\n  <Reference URI=\"a\"/>\r\n</Manifest></Object>";
    const DigestCase cases[] = {
        {"indented, line breaks kept", indented, false,
         kCanonManifest + "\n  <Reference URI=\"a\"></Reference>\n</Manifest>"},
        {"indentation after line breaks stays when they are removed", indented, true,
         kCanonManifest + "  <Reference URI=\"a\"></Reference></Manifest>"},
        {"blank after the start tag stays", "<Manifest Id=\"PackageContents\"> <R/></Manifest>", false,
         kCanonManifest + " <R></R></Manifest>"},
        {"blank between elements is deleted", "<Manifest Id=\"PackageContents\"><R/> <S/></Manifest>", false,
         kCanonManifest + "<R></R><S></S></Manifest>"},
        {"CR LF, lone CR, CR at the end", "<Manifest Id=\"PackageContents\">a\r\nb\rc\r</Manifest>", false,
         kCanonManifest + "a\nb\rc\r</Manifest>"},
        {"CR CR LF", "<Manifest Id=\"PackageContents\">a\r\r\nb</Manifest>", false,
         kCanonManifest + "a\r\nb</Manifest>"},
        {"start tag with another Id is not the manifest", "<Manifest Id=\"x\"><R/></Manifest>", false,
         kCanonManifest + "<Manifest Id=\"x\"><R></R></Manifest>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string got = K::manifestSHA256(c.doc, c.flag);
        EXPECT_EQ(got.size(), 32u);
        EXPECT_EQ(hex(got), hex(digestOf(c.canonical, EVP_sha256())));
    }
    EXPECT_EQ(hex(K::manifestSHA256(indented, false)),
              "cf2e3cf820e7799689dd05096be709fe967e629e8034943f2d36fde80ff7e943");
}

TEST(CanonicalDigests, OrdersOfWrappingAndRewritingDiffer) {
    // A leading blank vanishes from SignedInfo but not from the Manifest.
    EXPECT_EQ(K::signedInfoSHA1("<SignedInfo> <A/></SignedInfo>", false),
              K::signedInfoSHA1("<SignedInfo><A/></SignedInfo>", false));
    EXPECT_NE(K::manifestSHA256("<Manifest Id=\"PackageContents\"> <A/></Manifest>", false),
              K::manifestSHA256("<Manifest Id=\"PackageContents\"><A/></Manifest>", false));

    // With line breaks removed, blank indentation vanishes from SignedInfo only.
    EXPECT_EQ(K::signedInfoSHA1("<SignedInfo>\n  <A/>\n</SignedInfo>", true),
              K::signedInfoSHA1("<SignedInfo><A/></SignedInfo>", true));
    EXPECT_NE(K::manifestSHA256("<Manifest Id=\"PackageContents\">\n  <A/>\n</Manifest>", true),
              K::manifestSHA256("<Manifest Id=\"PackageContents\"><A/></Manifest>", true));

    // CR LF and LF line ends hash alike when line breaks are kept.
    const std::string lf =
        "<SignedInfo>\n  <A/>\n</SignedInfo>\n<Manifest Id=\"PackageContents\">\n  <R/>\n</Manifest>\n";
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? "\r\n" : std::string(1, c);
    EXPECT_EQ(K::signedInfoSHA1(crlf, false), K::signedInfoSHA1(lf, false));
    EXPECT_EQ(K::manifestSHA256(crlf, false), K::manifestSHA256(lf, false));
}

// Digests of the canonical texts of awkward documents, each with the line-break flag false and
// true, and whether the deletion drops content; recorded from the rule-by-rule rewriting.
TEST(CanonicalDigests, AwkwardDocumentsKeepTheirDigests) {
    struct Recorded {
        const char* name;
        std::string doc;
        const char* sha1Kept;
        const char* sha1Removed;
        const char* sha256Kept;
        const char* sha256Removed;
        bool dropsKept;
        bool dropsRemoved;
    };
    const std::string si = "<SignedInfo>", sie = "</SignedInfo>";
    const std::string mf = "<Manifest Id=\"PackageContents\">", mfe = "</Manifest>";
    const Recorded cases[] = {
        {"CR LF, lone CR and LF mixed",
         si + "\r\n <A/>\r\r\n\n<B>x\r</B> \r\n" + sie + mf + "\r\n <R/>\r\r\n\n<S>x\r</S> \r\n" + mfe,
         "c67096b3b01cbe06d8b463c714296294d30dc8be", "f908556894e40412893959cbde3a19623269f69c",
         "7e4c7f158dab936dc8785cb0b07dea7c2899364c0d6a5433fde2f0a6a43f544a",
         "a2dbd3f654f4effdd320d64624307feaa288ab6eac57c42d18a5d251da067b9b", false, false},
        {"blanks between elements", si + "<A/>   <B/>\t <C/>" + sie + mf + "<R/>   <S/>\t <T/>" + mfe,
         "35f01bc4abf7a04f86077cc0f7c0b67f5ff6e6f9", "35f01bc4abf7a04f86077cc0f7c0b67f5ff6e6f9",
         "461c9afa09f81c291be12ca0af1e511f0bb615972b74337316fff5d87a6399a3",
         "461c9afa09f81c291be12ca0af1e511f0bb615972b74337316fff5d87a6399a3", false, false},
        {"/> runs", si + "<A/>/>/><B//>" + sie + mf + "<R/>/>/><S//>" + mfe, "fefa6a6fa29e6372e98d19cc50cfd754e2aff3b0",
         "fefa6a6fa29e6372e98d19cc50cfd754e2aff3b0",
         "0366f0aa9f102fdc19db02a17307360d0f25e105a5015c6ddbf39ca9eeb2dda2",
         "0366f0aa9f102fdc19db02a17307360d0f25e105a5015c6ddbf39ca9eeb2dda2", false, false},
        {"nested elements", si + "<A><B><C d=\"e\"/></B></A>" + sie + mf + "<R><S><T u=\"v\"/></S></R>" + mfe,
         "49f19c51caed6939b5b411eaf06ff2cd38ddbcb8", "49f19c51caed6939b5b411eaf06ff2cd38ddbcb8",
         "d91be2e13011ea73bf467993ebd556c5b2c57911133d653bfa088c1e669c7e7e",
         "d91be2e13011ea73bf467993ebd556c5b2c57911133d653bfa088c1e669c7e7e", false, false},
        {"> blank with no < after it", "x" + mf + "<R/> tail\r\n and more",
         "5259946c478fef5fe62e4f60062a12c35c488508", "5259946c478fef5fe62e4f60062a12c35c488508",
         "7d0f47a3591c99aa4ab80dbc49b094d37be2629949bea348cb2f2df00ff6d5fb",
         "bcbb234c3562f54887511eb27e564bba0892fa2355cbc6cd9bfd1e6ca986acba", true, true},
        {"> blank with no < after it, line breaks", mf + "<R> \r\n a\r\n b\r",
         "6ac7b98e107e1fc7e72950c8fadf413a8e55b7f0", "6ac7b98e107e1fc7e72950c8fadf413a8e55b7f0",
         "60c858d970655e96ba56d3af4ffc49623fb7bb0e7217cdd1ce6764059e9fd9cd",
         "0ceb9d8afea132e6ae3934a66991619e76a200ab4055bf8f5792663b70670222", true, true},
        {"markers missing", "<A/> <B/>\r\n<C/>", "0a70daba6ae7335e822cb9a19a32f68b59cd281a",
         "83acf33384c0e823a388145637683c8bf9663045",
         "7470e25f44beeba11da6a72b8872d7d5b16ffa29ce713b361eff176efe80085c",
         "516531892e4e6e855221b1b587a7a6862d591692c028a6af1ced38c201b583a9", false, false},
        {"end markers missing", si + "<A/> <B/>\r\n" + mf + "<R/> <S/>", "9f6d05c2d61b79c4e488f7e8502faf051d48c9d0",
         "2e9b7357f0d060461506d17c064256d7dc8e94ba",
         "d32ef0ed7bbc3ee42ddc2f06f4ee25ad3a4039b53d16d112c0ffe010dc2e6f2c",
         "d32ef0ed7bbc3ee42ddc2f06f4ee25ad3a4039b53d16d112c0ffe010dc2e6f2c", false, false},
        {"start markers missing", "<A/> <B/>" + sie + "<R/> <S/>" + mfe, "b5c0e19218fe0fb535e1d924d3ff3e0e856bd0e7",
         "b5c0e19218fe0fb535e1d924d3ff3e0e856bd0e7",
         "e6c19f526a7a2698746c4aecd115d52d57f2c6cb13809e88ac463f6dcab24e55",
         "e6c19f526a7a2698746c4aecd115d52d57f2c6cb13809e88ac463f6dcab24e55", false, false},
        {"character data after blanks", si + "<A> data</A>" + sie + mf + "<R> data</R>" + mfe,
         "50ca4458c2d62a931d80d7abaf3c6620a2480dd8", "50ca4458c2d62a931d80d7abaf3c6620a2480dd8",
         "ce31c29b5c6d37638e0e718de5099f1994c61cbdd03cb6248c474de76c057d95",
         "ce31c29b5c6d37638e0e718de5099f1994c61cbdd03cb6248c474de76c057d95", true, true},
        {"line breaks inside tags", si + "<A\r\nb=\"c\"/>" + sie + mf + "<R\nb=\"c\"/>" + mfe,
         "a49f9702a8544b3628ff61d871c4c67761621d42", "4424391da6ddca7d8449b9f520c8e4db2c70f287",
         "ac986ae93c65f10e3ce2d4c897a0afec824c5b9ced7ec7e8b7fae03aca0de606",
         "fddafe6e30cae80c464eb621afc2ac46e44b20fad077e4f9780c1e487de44471", false, false},
        {"blank right after the start tags", si + " <A/>" + sie + mf + " <R/>" + mfe,
         "50ca4458c2d62a931d80d7abaf3c6620a2480dd8", "50ca4458c2d62a931d80d7abaf3c6620a2480dd8",
         "e4de8086de4718b6c3eb6f3cfcc89becea6629b1c0ffa703d7971a4a621b42cb",
         "e4de8086de4718b6c3eb6f3cfcc89becea6629b1c0ffa703d7971a4a621b42cb", false, false},
        {"empty", "", "e5f8a47850b44107757c2337650655f6f2d06b58", "e5f8a47850b44107757c2337650655f6f2d06b58",
         "ee5ef77a95364d2af7b53e16fe331b4f8239bf42289d3e9a3b690953b0e450c7",
         "ee5ef77a95364d2af7b53e16fe331b4f8239bf42289d3e9a3b690953b0e450c7", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hex(K::signedInfoSHA1(c.doc, false)), c.sha1Kept);
        EXPECT_EQ(hex(K::signedInfoSHA1(c.doc, true)), c.sha1Removed);
        EXPECT_EQ(hex(K::manifestSHA256(c.doc, false)), c.sha256Kept);
        EXPECT_EQ(hex(K::manifestSHA256(c.doc, true)), c.sha256Removed);
        EXPECT_EQ(K::canonicalFormDropsContent(c.doc, false), c.dropsKept);
        EXPECT_EQ(K::canonicalFormDropsContent(c.doc, true), c.dropsRemoved);
    }
    // The canonical text of the unfinished deletion, written out: the rest is kept from the blank.
    EXPECT_EQ(hex(K::manifestSHA256(mf + "<R> \r\n a\r\n b\r", false)),
              hex(digestOf(kCanonManifest + "<R> \n a\n b\r</Manifest>", EVP_sha256())));
}

// Canonical texts over a few megabytes made to hit the worst case of each step; the digests
// must still be those of the texts written out here.
TEST(CanonicalDigests, LargeHostileDocuments) {
    const size_t n = 1 << 20;
    auto repeat = [n](const std::string& unit) {
        std::string out;
        out.reserve(n * unit.size());
        for (size_t i = 0; i < n; ++i) out += unit;
        return out;
    };
    const std::string blanks(4 * n, ' ');
    const std::string mf = "<Manifest Id=\"PackageContents\">";

    const std::string small = "<SignedInfo>" + repeat("<a b=\"c\"/> \r\n") + "</SignedInfo>";
    EXPECT_EQ(hex(K::signedInfoSHA1(small, false)),
              hex(digestOf(kCanonSignedInfo + repeat("<a b=\"c\"></a>") + "</SignedInfo>", EVP_sha1())));
    EXPECT_EQ(K::canonicalFormDropsContent(small, false), false);

    const std::string lines = "<SignedInfo>" + repeat("<a/>\r\n") + "</SignedInfo>";
    EXPECT_EQ(hex(K::signedInfoSHA1(lines, false)),
              hex(digestOf(kCanonSignedInfo + repeat("<a></a>\n") + "</SignedInfo>", EVP_sha1())));
    EXPECT_EQ(hex(K::signedInfoSHA1(lines, true)),
              hex(digestOf(kCanonSignedInfo + repeat("<a></a>") + "</SignedInfo>", EVP_sha1())));

    const std::string padded = mf + "<R/>" + blanks + "<S/></Manifest>" + blanks;
    EXPECT_EQ(hex(K::manifestSHA256(padded, false)), hex(K::manifestSHA256(mf + "<R/><S/></Manifest>", false)));
    EXPECT_EQ(K::canonicalFormDropsContent(padded, false), false);

    // A deletion that never finds its "<" keeps the run after all.
    const std::string open = mf + "<R/>" + blanks;
    EXPECT_EQ(hex(K::manifestSHA256(open, true)),
              hex(digestOf(kCanonManifest + "<R></R>" + blanks + "</Manifest>", EVP_sha256())));

    const std::string slashes = mf + repeat("/>") + "</Manifest>";
    EXPECT_EQ(hex(K::manifestSHA256(slashes, false)),
              hex(digestOf(kCanonManifest + std::string(n, '>') + "</Manifest>", EVP_sha256())));
    EXPECT_EQ(K::expandCollapsedElements(repeat("<ab/>")), repeat("<ab></ab>"));
    EXPECT_EQ(K::removeSpacesBetweenElements(repeat("<a> x")), repeat("<a>") + " x");
}

TEST(ElementValues, RangesKeepTheLineBreaksThatTheValuesDrop) {
    const std::string doc = "<SignedInfo><DigestValue>bW\r\nFu</DigestValue></SignedInfo>"
                            "<SignatureValue Id=\"PackageSignatureValue\">c2\r\nln</SignatureValue>";
    EXPECT_EQ(K::manifestValueRange(doc), "bW\r\nFu");
    EXPECT_EQ(K::signatureValueRange(doc), "c2\r\nln");
    EXPECT_EQ(K::extractManifestValue(doc), "bWFu");
    EXPECT_EQ(K::extractSignatureValue(doc), "c2ln");
    // Views into the document itself.
    EXPECT_GE(K::signatureValueRange(doc).data(), doc.data());
    EXPECT_LE(K::signatureValueRange(doc).data() + K::signatureValueRange(doc).size(), doc.data() + doc.size());
}

// An ordinary signature document, indented with LF.
const std::string kDocument =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"PackageSignature\">\n"
    "  <SignedInfo>\n"
    "    <CanonicalizationMethod Algorithm=\"http://www.w3.org/2006/12/xml-c14n11\"/>\n"
    "    <SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/>\n"
    "    <Reference URI=\"#PackageContents\">\n"
    "      <DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/>\n"
    "      <DigestValue>bWFuaWZlc3Q=</DigestValue>\n"
    "    </Reference>\n"
    "  </SignedInfo>\n"
    "  <SignatureValue Id=\"PackageSignatureValue\">c2lnbmF0dXJl</SignatureValue>\n"
    "  <KeyInfo><X509Data><X509Certificate>Y2VydA==</X509Certificate></X509Data></KeyInfo>\n"
    "  <Object>\n"
    "    <Manifest Id=\"PackageContents\">\n"
    "      <Reference URI=\"mimetype\">\n"
    "        <DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/>\n"
    "        <DigestValue>ZmlsZQ==</DigestValue>\n"
    "      </Reference>\n"
    "    </Manifest>\n"
    "  </Object>\n"
    "</Signature>\n";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t p = text.find(from);
    EXPECT_NE(p, std::string::npos) << from;
    if (p != std::string::npos) text.replace(p, from.size(), to);
    return text;
}

std::string withCrLf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? "\r\n" : std::string(1, c);
    return out;
}

TEST(CanonicalFormDropsContent, OnlyWhiteSpaceMayBeDeleted) {
    struct DropCase {
        const char* name;
        std::string doc;
        bool flag;
        bool want;
    };
    const DropCase cases[] = {
        {"ordinary LF document", kDocument, false, false},
        {"ordinary LF document, line breaks removed", kDocument, true, false},
        {"ordinary CR LF document", withCrLf(kDocument), false, false},
        {"ordinary CR LF document, line breaks removed", withCrLf(kDocument), true, false},
        {"blanks between tags", replaced(kDocument, "</DigestValue>\n    </Reference>", "</DigestValue>  \t </Reference>"),
         false, false},
        {"blank at a line end, line breaks kept",
         replaced(kDocument, "<DigestValue>ZmlsZQ==</DigestValue>\n", "<DigestValue>ZmlsZQ==</DigestValue> \n"), false,
         false},
        {"blank at a line end, line breaks removed",
         replaced(kDocument, "</Reference>\n  </SignedInfo>", "</Reference> \n  </SignedInfo>"), true, false},
        {"digest value after a blank in SignedInfo",
         replaced(kDocument, "<DigestValue>bWFuaWZlc3Q=", "<DigestValue> bWFuaWZlc3Q="), false, true},
        {"digest value after a blank in SignedInfo, line breaks removed",
         replaced(kDocument, "<DigestValue>bWFuaWZlc3Q=", "<DigestValue> bWFuaWZlc3Q="), true, true},
        {"character data after a blank in the Manifest",
         replaced(kDocument, "<Reference URI=\"mimetype\">", "<Reference URI=\"mimetype\"> extra"), false, true},
        {"digest value after a blank in the Manifest",
         replaced(kDocument, "<DigestValue>ZmlsZQ==", "<DigestValue> ZmlsZQ=="), true, true},
        {"> blank inside an attribute value",
         replaced(kDocument, "xml-c14n11\"", "xml-c14n11> x\""), false, true},
        {"data after a line break is dropped only when line breaks are removed",
         replaced(kDocument, "<DigestValue>bWFuaWZlc3Q=", "<DigestValue>\n bWFuaWZlc3Q="), false, false},
        {"data after a line break, line breaks removed",
         replaced(kDocument, "<DigestValue>bWFuaWZlc3Q=", "<DigestValue>\n bWFuaWZlc3Q="), true, true},
        {"outside SignedInfo and Manifest nothing is rewritten",
         replaced(kDocument, "<X509Certificate>Y2VydA==", "<X509Certificate> Y2VydA=="), false, false},
        {"high byte after a blank is content",
         replaced(kDocument, "</DigestValue>\n    </Reference>", "</DigestValue> \xa0</Reference>"), false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::canonicalFormDropsContent(c.doc, c.flag), c.want);
    }
}

TEST(CanonicalFormDropsContent, CanonicalTextsStayAsBuilt) {
    // The check does not change what is hashed: the digest still leaves out the deleted value.
    const std::string bare = "<SignedInfo><DigestValue></DigestValue></SignedInfo>";
    const std::string hidden = "<SignedInfo><DigestValue> abc=</DigestValue></SignedInfo>";
    EXPECT_TRUE(K::canonicalFormDropsContent(hidden, false));
    EXPECT_EQ(K::signedInfoSHA1(hidden, false), K::signedInfoSHA1(bare, false));
    EXPECT_EQ(K::removeSpacesBetweenElements(hidden), bare);
}

}  // namespace

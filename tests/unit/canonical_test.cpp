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

#ifndef KVBSIGN_TEXT_DOCUMENT_TAGS_H
#define KVBSIGN_TEXT_DOCUMENT_TAGS_H

// The literal tags of the signature document. No XML parser takes part: every step finds its
// elements by these exact texts, so a signer must write them as they stand here, and two steps
// that speak of one element must look for the same bytes.

namespace kvbsign {
namespace tags {

// The document begins with its root tag, nothing before it.
inline constexpr char kRootStart[] = "<signatures>";
// A Signature element, whatever its attributes.
inline constexpr char kSignatureOpen[] = "<Signature";

inline constexpr char kSignedInfoStart[] = "<SignedInfo>";
inline constexpr char kSignedInfoEnd[] = "</SignedInfo>";
// The signature method that marks the variant signature form.
inline constexpr char kVariantSignatureMethod[] =
    "<SignatureMethod Algorithm=\"http://www.w3.org/TR/xmldsig-core#rsa-sha1\"/>";
inline constexpr char kDigestValueStart[] = "<DigestValue>";
inline constexpr char kDigestValueEnd[] = "</DigestValue>";
inline constexpr char kSignatureValueStart[] = "<SignatureValue Id=\"PackageSignatureValue\">";
inline constexpr char kSignatureValueEnd[] = "</SignatureValue>";
inline constexpr char kKeyInfoStart[] = "<KeyInfo>";
inline constexpr char kKeyInfoEnd[] = "</KeyInfo>";
inline constexpr char kCertificateStart[] = "<X509Certificate>";
inline constexpr char kCertificateEnd[] = "</X509Certificate>";
inline constexpr char kManifestStart[] = "<Manifest Id=\"PackageContents\">";
inline constexpr char kManifestEnd[] = "</Manifest>";
inline constexpr char kReferenceEnd[] = "</Reference>";
inline constexpr char kTimestampStart[] = "<xades:EncapsulatedTimeStamp>";
inline constexpr char kTimestampEnd[] = "</xades:EncapsulatedTimeStamp>";

// The start tags of the texts that are digested (the canonical SignedInfo and Manifest, and
// the signature value a timestamp authority stamps), with the XML-Signature namespace that
// they inherit in the document.
inline constexpr char kSignedInfoWithNamespace[] = "<SignedInfo xmlns=\"http://www.w3.org/2000/09/xmldsig#\">";
inline constexpr char kManifestWithNamespace[] =
    "<Manifest xmlns=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"PackageContents\">";
inline constexpr char kSignatureValueWithNamespace[] =
    "<SignatureValue xmlns=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"PackageSignatureValue\">";

}  // namespace tags
}  // namespace kvbsign

#endif

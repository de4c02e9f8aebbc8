#include "tsa.h"

#include <memory>
#include <stdexcept>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>


namespace kvtest {
namespace {

using kvbsign::Free;
using TsReqPtr = std::unique_ptr<TS_REQ, Free<&TS_REQ_free>>;
using TsMsgImprintPtr = std::unique_ptr<TS_MSG_IMPRINT, Free<&TS_MSG_IMPRINT_free>>;
using TsRespCtxPtr = std::unique_ptr<TS_RESP_CTX, Free<&TS_RESP_CTX_free>>;
using X509AlgorPtr = std::unique_ptr<X509_ALGOR, Free<&X509_ALGOR_free>>;
using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, Free<&ASN1_OBJECT_free>>;
struct X509StackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

const char kServedPolicy[] = "1.2.3.4.1";
const char kUnservedPolicy[] = "1.2.3.4.99";

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("test TSA: " + what); }

Asn1ObjectPtr oid(const char* text) {
    Asn1ObjectPtr o(OBJ_txt2obj(text, 1));
    if (!o) fail(std::string("OID ") + text);
    return o;
}

// A request over SHA-1 of the message that asks for the authority's certificates.
std::string requestDer(const std::string& message, const char* policy) {
    unsigned char digest[20];
    unsigned int len = 0;
    if (EVP_Digest(message.data(), message.size(), digest, &len, EVP_sha1(), nullptr) != 1) fail("SHA-1");

    X509AlgorPtr algo(X509_ALGOR_new());
    if (!algo || !X509_ALGOR_set0(algo.get(), OBJ_nid2obj(NID_sha1), V_ASN1_NULL, nullptr)) fail("algorithm");
    TsMsgImprintPtr imprint(TS_MSG_IMPRINT_new());
    if (!imprint || !TS_MSG_IMPRINT_set_algo(imprint.get(), algo.get()) ||
        !TS_MSG_IMPRINT_set_msg(imprint.get(), digest, static_cast<int>(len)))
        fail("imprint");
    TsReqPtr req(TS_REQ_new());
    if (!req || !TS_REQ_set_version(req.get(), 1) || !TS_REQ_set_msg_imprint(req.get(), imprint.get()) ||
        !TS_REQ_set_cert_req(req.get(), 1))
        fail("request");
    if (policy != nullptr && !TS_REQ_set_policy_id(req.get(), oid(policy).get())) fail("request policy");

    unsigned char* out = nullptr;
    int outLen = i2d_TS_REQ(req.get(), &out);
    if (outLen <= 0) fail("i2d_TS_REQ");
    std::string der(reinterpret_cast<char*>(out), static_cast<size_t>(outLen));
    OPENSSL_free(out);
    return der;
}

int fixedTime(TS_RESP_CTX*, void* data, long* sec, long* usec) {
    *sec = static_cast<long>(*static_cast<const time_t*>(data));
    *usec = 0;
    return 1;
}

std::string respond(const TsaIdentity& tsa, const std::string& request, time_t genTime) {
    TsRespCtxPtr ctx(TS_RESP_CTX_new());
    if (!ctx) fail("TS_RESP_CTX_new");
    if (!TS_RESP_CTX_set_signer_cert(ctx.get(), tsa.cert.get())) fail("signer certificate");
    if (!TS_RESP_CTX_set_signer_key(ctx.get(), tsa.key.get())) fail("signer key");
    X509StackPtr chain(sk_X509_new_null());
    if (!chain) fail("certificate stack");
    for (const auto& c : tsa.chain) {
        if (!X509_up_ref(c.get())) fail("certificate reference");
        if (!sk_X509_push(chain.get(), c.get())) {
            X509_free(c.get());
            fail("certificate stack");
        }
    }
    if (!TS_RESP_CTX_set_certs(ctx.get(), chain.get())) fail("token certificates");
    if (!TS_RESP_CTX_set_def_policy(ctx.get(), oid(kServedPolicy).get())) fail("policy");
    if (!TS_RESP_CTX_add_md(ctx.get(), EVP_sha1())) fail("digest");
    TS_RESP_CTX_set_time_cb(ctx.get(), fixedTime, &genTime);

    kvbsign::BioPtr in(BIO_new_mem_buf(request.data(), static_cast<int>(request.size())));
    if (!in) fail("request BIO");
    kvbsign::TsRespPtr resp(TS_RESP_create_response(ctx.get(), in.get()));
    if (!resp) fail("TS_RESP_create_response");

    unsigned char* out = nullptr;
    int outLen = i2d_TS_RESP(resp.get(), &out);
    if (outLen <= 0) fail("i2d_TS_RESP");
    std::string der(reinterpret_cast<char*>(out), static_cast<size_t>(outLen));
    OPENSSL_free(out);
    return der;
}

}  // namespace

TsaIdentity makeTsa(const std::string& cn, X509* issuer, EVP_PKEY* issuerKey, const std::vector<X509*>& chain,
                    int keyPoolIndex) {
    TsaIdentity tsa;
    tsa.key = makeRsaKey(2048, 65537, keyPoolIndex);
    CertSpec spec = leafSpec(cn, "7001");
    spec.keyUsageText = "critical,digitalSignature";
    spec.timeStampingEku = true;
    tsa.cert = makeCert(spec, tsa.key.get(), issuer, issuerKey);
    for (X509* c : chain) tsa.chain.push_back(dupCert(c));
    return tsa;
}

const TsaIdentity& defaultTsa() {
    static const TsaIdentity tsa =
        makeTsa("KVB Test TSA", pki().root.cert.get(), pki().root.key.get(), {pki().root.cert.get()});
    return tsa;
}

std::string grantedResponse(const TsaIdentity& tsa, const std::string& message, time_t genTime) {
    return respond(tsa, requestDer(message, nullptr), genTime);
}

std::string rejectionResponse(const TsaIdentity& tsa, const std::string& message) {
    return respond(tsa, requestDer(message, kUnservedPolicy), time(nullptr));
}

std::string bareToken(const std::string& responseDer) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(responseDer.data());
    kvbsign::TsRespPtr resp(d2i_TS_RESP(nullptr, &p, static_cast<long>(responseDer.size())));
    if (!resp) fail("d2i_TS_RESP");
    PKCS7* token = TS_RESP_get_token(resp.get());
    if (!token) fail("response without a token");
    unsigned char* out = nullptr;
    int outLen = i2d_PKCS7(token, &out);
    if (outLen <= 0) fail("i2d_PKCS7");
    std::string der(reinterpret_cast<char*>(out), static_cast<size_t>(outLen));
    OPENSSL_free(out);
    return der;
}

}  // namespace kvtest

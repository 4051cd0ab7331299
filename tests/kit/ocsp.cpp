#include "kit/ocsp.h"

#include "kit/kit_check.h"

namespace test_pki {

namespace {

ossl::Asn1Time gmt(time_t t) {
    ossl::Asn1Time out(ASN1_GENERALIZEDTIME_set(nullptr, t));
    check(out != nullptr, "time");
    return out;
}

int status_code(CertStatus s) {
    switch (s) {
        case CertStatus::good:
            return V_OCSP_CERTSTATUS_GOOD;
        case CertStatus::revoked:
            return V_OCSP_CERTSTATUS_REVOKED;
        case CertStatus::unknown:
            return V_OCSP_CERTSTATUS_UNKNOWN;
    }
    return V_OCSP_CERTSTATUS_UNKNOWN;
}

void add_single(OCSP_BASICRESP* bs, const SingleSpec& s, time_t produced_at) {
    check(s.cert && s.issuer, "single response without certificate or issuer");
    ossl::OcspCertId id(
        OCSP_cert_to_id(s.id_md ? s.id_md : EVP_sha1(), s.cert->cert.get(), s.issuer->cert.get()));
    check(id != nullptr, "OCSP_cert_to_id");
    const time_t this_update = s.this_update ? s.this_update : produced_at;
    ossl::Asn1Time this_upd = gmt(this_update);
    ossl::Asn1Time next_upd = s.next_update ? gmt(s.next_update) : nullptr;
    ossl::Asn1Time revoked = s.status == CertStatus::revoked
                                 ? gmt(s.revoked_at ? s.revoked_at : this_update - kDay)
                                 : nullptr;
    check(OCSP_basic_add1_status(bs, id.get(), status_code(s.status), s.reason, revoked.get(),
                                 this_upd.get(), next_upd.get()) != nullptr,
          "OCSP_basic_add1_status");
}

}  // namespace

ossl::OcspBasicResp make_basic(const OcspSpec& spec) {
    check(spec.responder && spec.responder->cert && spec.responder->key, "no responder");
    ossl::OcspBasicResp bs(OCSP_BASICRESP_new());
    check(bs != nullptr, "OCSP_BASICRESP_new");
    const time_t produced_at = spec.produced_at ? spec.produced_at : now();
    for (const SingleSpec& s : spec.singles) add_single(bs.get(), s, produced_at);
    // producedAt is ours to choose: the signer leaves it alone under OCSP_NOTIME, and the field
    // is reachable only through its read-only getter.
    auto* produced = const_cast<ASN1_GENERALIZEDTIME*>(OCSP_resp_get0_produced_at(bs.get()));
    check(produced && ASN1_GENERALIZEDTIME_set(produced, produced_at), "producedAt");
    unsigned long flags = OCSP_NOTIME | OCSP_NOCERTS;
    if (spec.by_key) flags |= OCSP_RESPID_KEY;
    EVP_PKEY* key = spec.responder->key.get();
    check(OCSP_basic_sign(bs.get(), spec.responder->cert.get(), key,
                          spec.md ? spec.md : digest_for(key), nullptr, flags) == 1,
          "OCSP_basic_sign");
    // The signer would put its own certificate first; the certificates lie outside what is
    // signed, so they are added afterwards in the order asked for.
    std::vector<const Entity*> inside = spec.ahead;
    if (spec.with_certs) {
        inside.push_back(spec.responder);
        inside.insert(inside.end(), spec.chain.begin(), spec.chain.end());
    }
    for (const Entity* e : inside)
        check(OCSP_basic_add1_cert(bs.get(), e->cert.get()) == 1, "OCSP_basic_add1_cert");
    return bs;
}

ossl::OcspResponse make_ocsp_response(OCSP_BASICRESP* bs) {
    ossl::OcspResponse resp(OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, bs));
    check(resp != nullptr, "OCSP_response_create");
    return resp;
}

Der to_der(OCSP_BASICRESP* bs) {
    return der_with(bs, i2d_OCSP_BASICRESP);
}

Der to_der(OCSP_RESPONSE* resp) {
    return der_with(resp, i2d_OCSP_RESPONSE);
}

}  // namespace test_pki

#include "kit/tsa.h"

#include "kit/kit_check.h"

namespace test_pki {

namespace {

const EVP_MD* imprint_md(const TokenSpec& spec) {
    return spec.imprint_md ? spec.imprint_md : EVP_sha256();
}

struct GenTime {
    time_t sec;
    long usec;
};

int fixed_time(TS_RESP_CTX*, void* data, long* sec, long* usec) {
    *sec = static_cast<long>(static_cast<const GenTime*>(data)->sec);
    *usec = static_cast<const GenTime*>(data)->usec;
    return 1;
}

ossl::TsReq make_request(const TokenSpec& spec) {
    const Der imprint = imprint_of(spec);
    ossl::TsReq req(TS_REQ_new());
    ossl::TsMsgImprint mi(TS_MSG_IMPRINT_new());
    ossl::Algor alg(X509_ALGOR_new());
    check(req && mi && alg, "allocation");
    X509_ALGOR_set_md(alg.get(), imprint_md(spec));
    check(TS_MSG_IMPRINT_set_algo(mi.get(), alg.get()) == 1 &&
              TS_MSG_IMPRINT_set_msg(mi.get(), const_cast<unsigned char*>(imprint.data()),
                                     static_cast<int>(imprint.size())) == 1 &&
              TS_REQ_set_version(req.get(), 1) == 1 &&
              TS_REQ_set_msg_imprint(req.get(), mi.get()) == 1 &&
              TS_REQ_set_cert_req(req.get(), spec.with_certs ? 1 : 0) == 1,
          "request");
    if (spec.nonce) {
        ossl::Asn1Integer nonce(ASN1_INTEGER_new());
        check(nonce && ASN1_INTEGER_set(nonce.get(), spec.nonce) == 1 &&
                  TS_REQ_set_nonce(req.get(), nonce.get()) == 1,
              "nonce");
    }
    return req;
}

}  // namespace

Der imprint_of(const TokenSpec& spec) {
    Der out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    check(EVP_Digest(spec.data.data(), spec.data.size(), out.data(), &n, imprint_md(spec),
                     nullptr) == 1,
          "imprint");
    out.resize(n);
    return out;
}

ossl::TsResp make_ts_response(const TokenSpec& spec) {
    check(spec.tsa && spec.tsa->cert && spec.tsa->key, "no TSA");
    ossl::TsRespCtx ctx(TS_RESP_CTX_new());
    check(ctx != nullptr, "TS_RESP_CTX_new");
    GenTime gen_time{spec.gen_time ? spec.gen_time : now(), spec.gen_usec};
    ossl::Asn1Object policy(OBJ_txt2obj(spec.policy.c_str(), 1));
    ossl::X509View chain(sk_X509_new_null());  // the context takes references of its own
    for (const Entity* e : spec.chain) sk_X509_push(chain.get(), e->cert.get());
    check(TS_RESP_CTX_set_signer_cert(ctx.get(), spec.tsa->cert.get()) == 1 &&
              TS_RESP_CTX_set_signer_key(ctx.get(), spec.tsa->key.get()) == 1 &&
              TS_RESP_CTX_set_signer_digest(
                  ctx.get(), spec.md ? spec.md : digest_for(spec.tsa->key.get())) == 1 &&
              policy && TS_RESP_CTX_set_def_policy(ctx.get(), policy.get()) == 1 &&
              TS_RESP_CTX_add_md(ctx.get(), imprint_md(spec)) == 1 &&
              TS_RESP_CTX_set_certs(ctx.get(), chain.get()) == 1,
          "TSA settings");
    if (spec.ess_v2)
        check(TS_RESP_CTX_set_ess_cert_id_digest(
                  ctx.get(), spec.ess_v2_md ? spec.ess_v2_md : EVP_sha256()) == 1,
              "ESS");
    if (spec.gen_usec)
        check(TS_RESP_CTX_set_clock_precision_digits(ctx.get(), 6) == 1, "clock precision");
    if (spec.tsa_name) TS_RESP_CTX_add_flags(ctx.get(), TS_TSA_NAME);
    TS_RESP_CTX_set_time_cb(ctx.get(), fixed_time, &gen_time);

    ossl::TsReq req = make_request(spec);
    ossl::Bio req_bio(BIO_new(BIO_s_mem()));
    check(req_bio && i2d_TS_REQ_bio(req_bio.get(), req.get()) == 1, "request DER");
    ossl::TsResp resp(TS_RESP_create_response(ctx.get(), req_bio.get()));
    check(resp && TS_RESP_get_token(resp.get()), "TS_RESP_create_response");
    return resp;
}

ossl::Pkcs7 make_token(const TokenSpec& spec) {
    ossl::TsResp resp = make_ts_response(spec);
    return ossl::Pkcs7(PKCS7_dup(TS_RESP_get_token(resp.get())));
}

Der to_der(TS_RESP* resp) {
    return der_with(resp, i2d_TS_RESP);
}

}  // namespace test_pki

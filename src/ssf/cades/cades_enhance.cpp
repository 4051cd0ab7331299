#include "ssf/cades/cades_enhance.h"

#include <openssl/err.h>

#include "platform/winstub.h"
#include "ssf/cades/cades_types.h"
#include "ssf/cades/cades_verify.h"
#include "ssf/cades/revocation_refs.h"
#include "ssf/cades/tsp_client.h"
#include "ssf/codes.h"
#include "ssf/log.h"
#include "ssf/pki/certs.h"
#include "ssf/utils.h"

namespace ssf {

namespace {

std::string name_of(X509* cert) {
    return orb_x509_get_name_from_X509(cert).value_or("");
}

// The DER of an attribute, or, without tags, what follows its outer tag and length octets.
std::optional<std::string> attribute_der(PKCS7_SIGNER_INFO* si, int nid, bool with_tags) {
    const X509_ATTRIBUTE* attr = nullptr;
    for (int i = 0; !attr && i < sk_X509_ATTRIBUTE_num(si->unauth_attr); ++i) {
        X509_ATTRIBUTE* a = sk_X509_ATTRIBUTE_value(si->unauth_attr, i);
        if (OBJ_obj2nid(X509_ATTRIBUTE_get0_object(a)) == nid) attr = a;
    }
    if (!attr) return std::nullopt;
    std::string der = der_of(attr, i2d_X509_ATTRIBUTE);
    if (der.size() < 2) return std::nullopt;
    if (with_tags) return der;
    const unsigned char first = static_cast<unsigned char>(der[1]);
    const size_t head = first < 128 ? 2 : 2 + (first - 128u);
    if (head > der.size()) return std::nullopt;
    return der.substr(head);
}

int enhance(PKCS7_SIGNER_INFO* si, X509* cert, X509_STORE* store) {
    static const char* const kFn = "EnhanceSignature";
    const std::string name = name_of(cert);
    const EVP_MD* md =
        si && si->digest_alg ? EVP_get_digestbyobj(si->digest_alg->algorithm) : nullptr;
    if (!md) {
        log_error("%s() 0 : failed to get digest algorithm for '%s'", kFn, name.c_str());
        return -1;
    }
    log_write("%s() : digest algorithm for signer '%s' is '%s'", kFn, name.c_str(),
              EVP_MD_get0_name(md));
    ossl::X509Stack certs = ossl::new_x509_stack();
    if (!certs) {
        log_error("%s() 1 : sk_X509_new_null() failed for '%s'", kFn, name.c_str());
        return -1;
    }
    ossl::X509Ptr tsa;
    ossl::Asn1Time ts_time;
    if (int rc = add_timeStampToken_attribute(si, md, store, &tsa, &ts_time); rc != 0) {
        log_error("%s() 2 : add_timeStampToken_attribute() failed for '%s'", kFn, name.c_str());
        return rc;
    }
    if (tsa && !add_cert_if_absent(certs.get(), tsa.get())) return SSF_RC_MEMORY;
    if (!ts_time) {
        log_error("%s() 3 : ts_time is NULL", kFn);
        return SSF_RESULT_INVALID_SIGNATURE;
    }
    if (int rc = add_revValues_attribute(si, cert, store, md, ts_time.get(), certs.get());
        rc != 0) {
        log_error("%s() 4 : add_revValues_attribute() failed for '%s'", kFn, name.c_str());
        return rc;
    }
    log_write("%s() : ts_time->data = '%s'", kFn, asn1_chars(ts_time.get()).c_str());
    ossl::X509Stack added;
    if (add_certValues_attribute(si, md, certs.get(), store, &added) != 1) {
        log_error("%s() 5 : add_certValues_attribute() failed for '%s'", kFn, name.c_str());
        return SSF_RC_MEMORY;
    }
    ossl::Asn1Time esc_time;
    if (int rc = add_escTimeStamp_attribute(si, md, store, &esc_time); rc != 0) {
        log_error("%s() 6 : add_escTimeStamp_attribute() failed for '%s'", kFn, name.c_str());
        return rc;
    }
    if (!esc_time) {
        log_error("%s() 7 : esc_time is NULL", kFn);
        return SSF_RESULT_INVALID_SIGNATURE;
    }
    if (check_certs_validity(added.get(), esc_time.get()) != 1) {
        log_error("%s() 8 : not all certificates are valid at ES-C timestamp time", kFn);
        return SSF_RC_MEMORY;
    }
    return 0;
}

int cert_values(PKCS7_SIGNER_INFO* si, const EVP_MD* md, STACK_OF(X509) * certs, X509_STORE* store,
                ossl::X509Stack* added) {
    static const char* const kFn = "add_certValues_attribute";
    ossl::X509Stack all = ossl::new_x509_stack();
    if (!all) {
        log_error("%s() 1 : sk_X509_new_null() failed", kFn);
        return -1;
    }
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        X509* c = sk_X509_value(certs, i);
        ossl::X509StoreCtx ctx(X509_STORE_CTX_new());
        if (!ctx || X509_STORE_CTX_init(ctx.get(), store, c, nullptr) != 1) {
            log_error("%s() 5 : X509_verify_cert() failed for '%s', reason: '%s'", kFn,
                      name_of(c).c_str(), "X509_STORE_CTX_init() failed");
            log_crypto_errors();
            return -1;
        }
        X509_STORE_CTX_set_time(ctx.get(), 0, platform::now());
        if (X509_verify_cert(ctx.get()) <= 0) {
            log_error("%s() 5 : X509_verify_cert() failed for '%s', reason: '%s'", kFn,
                      name_of(c).c_str(),
                      X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get())));
            ERR_clear_error();
            return -1;
        }
        ossl::X509Stack chain(X509_STORE_CTX_get1_chain(ctx.get()));
        if (!chain) {
            log_error("%s() 6 : X509_STORE_CTX_get1_chain() failed for '%s'", kFn,
                      name_of(c).c_str());
            return -1;
        }
        if (!add_certs_if_absent(all.get(), chain.get())) return -1;
    }
    const std::string values_der = seq_pack_der(all.get(), ASN1_ITEM_rptr(CERT_VALUES));
    if (values_der.empty()) {
        log_error("%s() 7 : ASN1_seq_pack() failed", kFn);
        log_crypto_errors();
        return -1;
    }
    CertRefs refs(sk_OTHERCERTID_new_null());
    if (!refs) {
        log_error("%s() 4 : SKM_sk_new_null( OTHERCERTID ) failed", kFn);
        return -1;
    }
    for (int i = 0; i < sk_X509_num(all.get()); ++i) {
        ossl::OtherCertId id(PKCS7_make_other_cert_id(sk_X509_value(all.get(), i), md));
        if (!id || !sk_OTHERCERTID_push(refs.get(), id.get())) {
            log_error("%s() 9 : PKCS7_make_other_cert_id() failed", kFn);
            log_crypto_errors();
            return -1;
        }
        (void)id.release();
    }
    const std::string refs_der = seq_pack_der(refs.get(), ASN1_ITEM_rptr(CERT_REFS));
    if (refs_der.empty()) {
        log_error("%s() 10 : ASN1_seq_pack() failed", kFn);
        log_crypto_errors();
        return -1;
    }
    if (!set_sequence_attributes(si, {{NID_id_smime_aa_ets_certValues, values_der},
                                      {NID_id_smime_aa_ets_CertificateRefs, refs_der}})) {
        log_error("%s() 11 : ASN1_STRING_set() failed", kFn);
        log_crypto_errors();
        return -1;
    }
    *added = std::move(all);
    return 1;
}

// A token of a kind over data, set as an unsigned attribute holding it.
int stamp_attribute(const char* fn, PKCS7_SIGNER_INFO* si, int nid, int kind,
                    const std::string& data, const EVP_MD* md, X509_STORE* store,
                    ossl::X509Ptr* tsa_cert, ossl::Asn1Time* gen_time) {
    ossl::Asn1String token;
    const int rc =
        make_time_stamp(kind, &token, reinterpret_cast<const unsigned char*>(data.data()),
                        data.size(), md, store, tsa_cert, gen_time);
    if (rc != 0) {
        log_error("%s() 1 : make_time_stamp() failed", fn);
        return rc;
    }
    if (!set_sequence_attributes(si, {{nid, asn1_chars(token.get())}})) {
        log_error("%s() 2 : PKCS7_add_attribute() failed", fn);
        log_crypto_errors();
        if (gen_time) gen_time->reset();
        return SSF_RC_MEMORY;
    }
    return 0;
}

}  // namespace

int add_timeStampToken_attribute(PKCS7_SIGNER_INFO* si, const EVP_MD* md, X509_STORE* store,
                                 ossl::X509Ptr* tsa_cert, ossl::Asn1Time* ts_time) {
    return stamp_attribute("add_timeStampToken_attribute", si, NID_id_smime_aa_timeStampToken, 1,
                           asn1_chars(si->enc_digest), md, store, tsa_cert, ts_time);
}

int add_certValues_attribute(PKCS7_SIGNER_INFO* si, const EVP_MD* md, STACK_OF(X509) * certs,
                             X509_STORE* store, ossl::X509Stack* added) {
    static const char* const kFn = "add_certValues_attribute";
    log_debug("%s() begin, si = 0x%lx, certs = 0x%lx, store = 0x%lx, added_certs = 0x%lx", kFn,
              ptr_bits(si), ptr_bits(certs), ptr_bits(store), ptr_bits(added));
    const int rc =
        si && md && certs && store && added ? cert_values(si, md, certs, store, added) : -1;
    log_debug("%s() end, return code = %d", kFn, rc);
    return rc;
}

int add_escTimeStamp_attribute(PKCS7_SIGNER_INFO* si, const EVP_MD* md, X509_STORE* store,
                               ossl::Asn1Time* esc_time) {
    static const char* const kFn = "add_escTimeStamp_attribute";
    const std::optional<std::string> data = make_esc_timestamp_data(si, true);
    if (!data) {
        log_error("%s() 0 : make_esc_timestamp_data() failed", kFn);
        return SSF_RC_MEMORY;
    }
    return stamp_attribute(kFn, si, NID_id_smime_aa_ets_escTimeStamp, 2, *data, md, store, nullptr,
                           esc_time);
}

std::optional<std::string> make_esc_timestamp_data(PKCS7_SIGNER_INFO* si, bool with_tags) {
    if (!si || !si->enc_digest) return std::nullopt;
    std::string out = asn1_chars(si->enc_digest);
    for (int nid : {NID_id_smime_aa_timeStampToken, NID_id_smime_aa_ets_CertificateRefs,
                    NID_id_smime_aa_ets_RevocationRefs}) {
        const std::optional<std::string> der = attribute_der(si, nid, with_tags);
        if (!der) {
            log_error("%s() : attribute '%s' not found", "make_esc_timestamp_data",
                      OBJ_nid2sn(nid));
            return std::nullopt;
        }
        out += *der;
    }
    return out;
}

int EnhanceSignature(PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* cert, X509_STORE* store) {
    static const char* const kFn = "EnhanceSignature";
    log_debug("%s() begin: p7 = 0x%lx, si = 0x%lx, cert = 0x%lx, store = 0x%lx", kFn, ptr_bits(p7),
              ptr_bits(si), ptr_bits(cert), ptr_bits(store));
    const int rc = si && cert && store ? enhance(si, cert, store) : SSF_RC_MEMORY;
    log_debug("%s() end, return code %d (%s)", kFn, rc, result_text(rc));
    return rc;
}

int EnhanceAllSignatures(PKCS7* p7, STACK_OF(X509) * certs, SigRcpSsfInfoList signers,
                         X509_STORE* store) {
    static const char* const kFn = "EnhanceAllSignatures";
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
    int result = 0;
    SigRcpSsfInfoList node = signers;
    for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(infos); ++i) {
        while (node && !node->ptrSigRcp) node = node->next;  // records line up with SignerInfos
        X509* cert = sk_X509_value(certs, i);
        const int rc = EnhanceSignature(p7, sk_PKCS7_SIGNER_INFO_value(infos, i), cert, store);
        if (rc != 0) {
            log_error("%s() 1 : EnhanceSignature( '%s' ) failed, idx = %d", kFn,
                      name_of(cert).c_str(), i);
            if (node) node->ptrSigRcp->uResult = static_cast<SAP_UINT>(rc);
            result = SSF_RC_SIGNER_FAILED;
        }
        if (node) node = node->next;
    }
    return result;
}

}  // namespace ssf

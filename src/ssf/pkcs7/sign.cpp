// Signing and adding signatures.
#include "ssf/pkcs7/sign.h"

#include <openssl/err.h>
#include <openssl/objects.h>

#include <cstring>
#include <string>
#include <vector>

#include "cryptoext/ess_types.h"
#include "cryptoext/objects.h"
#include "ssf/cades/cades_enhance.h"
#include "ssf/cades/ts_check.h"
#include "ssf/config.h"
#include "ssf/encode.h"
#include "ssf/pkcs7/workers.h"
#include "ssf/pki/certs.h"
#include "ssf/pki/keys.h"
#include "ssf/records.h"
#include "ssf/utils.h"

namespace ssf {

namespace {

const EVP_MD* digest_of(objmap::Obj o) {
    int nid = objmap::nid(o);
    return nid == NID_undef ? nullptr : EVP_get_digestbynid(nid);
}

std::string id_text(const SigRcpSsfInfo* rec) {
    if (!rec->strSigRcpId || sap_empty(rec->strSigRcpIdL)) return std::string();
    ossl::Text sz(get_sz_string_from_sap_string(rec->strSigRcpId, rec->strSigRcpIdL));
    return sz ? std::string(sz.get()) : std::string();
}

int fail(const char* line, const char* fn, int code, bool dump = false) {
    log_error(line, fn);
    if (dump) log_crypto_errors();
    return code;
}

// A signer whose key and certificate were loaded; everything is kept until the message is done.
struct Signer {
    SigRcpSsfInfo* rec = nullptr;
    ossl::X509Ptr cert;
    ossl::PKey key;
    ossl::X509Stack chain;
    PKCS7_SIGNER_INFO* si = nullptr;
};

// The certificates a signature carries: the chain the validity check built, else the signer's own.
bool include_certs(PKCS7* p7, Signer& s) {
    bool ok = true;
    if (s.chain && sk_X509_num(s.chain.get()) > 0) {
        for (int i = 0; i < sk_X509_num(s.chain.get()); ++i)
            ok &= PKCS7_add_certificate(p7, sk_X509_value(s.chain.get(), i)) == 1;
    } else {
        ok = PKCS7_add_certificate(p7, s.cert.get()) == 1;
    }
    s.chain.reset();
    return ok;
}

// Loading, the 2001 cut-off, the SignerInfo with its attributes and the certificates of one signer.
// 0, or the signer's failure (its record carries the code).
int add_signer(const char* fn, PKCS7* p7, Signer& s, bool inc_certs, int type) {
    int rc = ssf_load_cert_and_key(s.rec, s.cert, s.key, 1, &s.chain);
    if (rc != 0) {
        log_error("%s() 8.2 : ssf_load_cert_and_key() failed", fn);
        return rc;
    }
    SignerDigest d = signer_digest(s.key.get());
    if (refused_by_gost2001_cutoff(d)) {
        log_error("%s() 9 : GOST R 34.11-2001 not allowed", fn);
        s.rec->uResult = SSF_RESULT_INVALID_SIGNATURE;
        return SSF_RC_SIGNER_FAILED;
    }
    s.si = SSF_PKCS7_add_signature(p7, s.cert.get(), s.key.get(), d.md, s.rec->strSigRcpProfile,
                                   s.rec->strSigRcpProfileL, type);
    // The type of the content being signed, which an added signer takes from the message.
    ossl::Asn1Object content_type(OBJ_dup(p7->d.sign->contents->type));
    if (!s.si || !content_type || !PKCS7_add_attrib_content_type(s.si, content_type.get())) {
        log_error("%s() 9 : SSF_PKCS7_add_signature() failed", fn);
        s.rec->uResult = SSF_RESULT_INVALID_SIGNATURE;
        return SSF_RC_SIGNER_FAILED;
    }
    content_type.release();  // the attribute owns it
    if (inc_certs && !include_certs(p7, s)) {
        log_error("%s() 9 : PKCS7_add_certificate() failed", fn);
        log_crypto_errors();
        s.rec->uResult = SSF_RESULT_INVALID_SIGNATURE;
        return SSF_RC_SIGNER_FAILED;
    }
    s.chain.reset();
    return 0;
}

// After a failed signing step: a signer whose SignerInfo holds no signature value failed (its
// key refused, or was never asked once an earlier one had), and its record must not read
// "valid". Signers signed before the failure keep their 0, as when another signer fails to load.
void mark_unsigned(Signer& s) {
    if (!s.si || ASN1_STRING_length(s.si->enc_digest) <= 0)
        s.rec->uResult = SSF_RESULT_INVALID_SIGNATURE;
}

// DER of the finished message into the caller's output.
int write_output(const char* fn, const char* line, PKCS7* p7, OutData& out) {
    return der_output(out, p7) ? SSF_RC_OK : fail(line, fn, SSF_RC_MEMORY, true);
}

int sign_body(const char* fn, OutData& out, Bytes input, bool inc_certs, bool detached,
              SigRcpSsfInfoList signers, int type) {
    ContentView content;
    if (!view_pkcs7(input, content, true))
        return fail("%s() 2 : d2i_PKCS7_bio() failed", fn, SSF_RC_NOT_PKCS7, true);
    if (content.type != NID_pkcs7_data && content.type != NID_pkcs7_signed &&
        content.type != NID_pkcs7_enveloped)
        return fail("%s() 3 : PKCS7 is invalid", fn, SSF_RC_NOT_PKCS7);
    if (decode_view(content, true) != 0)
        return fail("%s() 4: decoding failed", fn, SSF_RC_NOT_PKCS7);

    ossl::Pkcs7 p7(PKCS7_new());
    if (!p7 || !PKCS7_set_type(p7.get(), NID_pkcs7_signed) ||
        !PKCS7_content_new(p7.get(), NID_pkcs7_data))
        return fail("%s() 6 : PKCS7_new() failed", fn, SSF_RC_MEMORY, true);

    // Every record is worked through, so the caller sees the code of each.
    std::vector<Signer> loaded;
    bool any_failed = false;
    for (SigRcpSsfInfoList node = signers; node; node = node->next) {
        if (!node->ptrSigRcp) continue;
        Signer s;
        s.rec = node->ptrSigRcp;
        log_write("%s() : current id = '%s'", fn, id_text(s.rec).c_str());
        if (add_signer(fn, p7.get(), s, inc_certs, type) != 0) {
            any_failed = true;
            continue;
        }
        s.rec->uResult = SSF_RESULT_VALID;
        loaded.push_back(std::move(s));
    }
    if (any_failed) return SSF_RC_SIGNER_FAILED;
    // A "signed" message without a single signature would be a failure reported as success.
    if (loaded.empty()) {
        log_error("%s() 7 : no signers", fn);
        return SSF_RC_NO_INPUT;
    }

    // The content is hashed straight from the caller's buffer: the message is detached while
    // the digests and signatures are made, so nothing buffers a copy, and an attached message
    // then shows the caller's bytes while it is encoded.
    PKCS7_set_detached(p7.get(), 1);
    ossl::Bio bio(PKCS7_dataInit(p7.get(), nullptr));
    if (!bio) return fail("%s() 10 : PKCS7_dataInit() failed", fn, SSF_RC_MEMORY, true);
    if (!write_all(bio.get(), content.bytes))
        return fail("%s() 10 : PKCS7_dataInit() failed", fn, SSF_RC_MEMORY, true);
    (void)BIO_flush(bio.get());
    if (!PKCS7_dataFinal(p7.get(), bio.get())) {
        for (Signer& s : loaded) mark_unsigned(s);
        return fail("%s() 11 : PKCS7_dataFinal() failed", fn, SSF_RC_SIGNER_FAILED, true);
    }
    LentOctets attached;
    if (!detached) {
        PKCS7_set_detached(p7.get(), 0);
        if (!attached.lend(p7->d.sign->contents->d.data, content.bytes))
            return fail("%s() 6 : PKCS7_new() failed", fn, SSF_RC_MEMORY, true);
    }

    if (type == SIG_TYPE_CADES) {
        ossl::X509StorePtr store(X509_STORE_new());
        if (!store) return fail("%s() 12 : X509_STORE_new() failed", fn, SSF_RC_MEMORY, true);
        (void)AddCACertsToStore(store.get());
        ossl::X509Stack certs(sk_X509_new_null());
        if (!certs) return fail("%s() 12 : X509_STORE_new() failed", fn, SSF_RC_MEMORY, true);
        for (auto& s : loaded) {
            if (!sk_X509_push(certs.get(), s.cert.get()))
                return fail("%s() 12 : X509_STORE_new() failed", fn, SSF_RC_MEMORY);
            X509_up_ref(s.cert.get());
        }
        if (EnhanceAllSignatures(p7.get(), certs.get(), signers, store.get()) != 0)
            return fail("%s() 13 : EnhanceSignatures() failed", fn, SSF_RC_SIGNER_FAILED);
    }
    return write_output(fn, "%s() 14 : i2d_PKCS7() failed", p7.get(), out);
}

// The content an added signature covers: the original for a detached message, else its own.
// 0, or the return code.
int added_content(const char* fn, PKCS7* p7, Bytes input, OutData& original, Bytes& content) {
    const bool detached = PKCS7_get_detached(p7) != 0;
    if (detached && input.empty())
        return fail("%s() 4 : no original data provided", fn, SSF_RC_NO_INPUT);
    if (!input.empty() && decode_data(original, input) != 0)
        return fail("%s() 5 : decode_data() failed", fn, SSF_RC_NOT_PKCS7);
    if (detached) {
        content = Bytes(original.data.get(), original.size);
        return 0;
    }
    const ASN1_OCTET_STRING* own = signed_content(p7);
    if (!own) return fail("%s() 3 : PKCS7 has invalid format", fn, SSF_RC_INVALID_FORMAT);
    content = Bytes(ASN1_STRING_get0_data(own), static_cast<size_t>(ASN1_STRING_length(own)));
    if (!input.empty() &&
        (original.size != content.size() ||
         (content.size() && std::memcmp(original.data.get(), content.data(), content.size()) != 0)))
        return fail("%s() 6: attached and provided datasets are different", fn, SSF_RC_NO_INPUT);
    return 0;
}

int add_sign_body(const char* fn, OutData& out, Bytes signed_data, Bytes input, bool inc_certs,
                  SigRcpSsfInfo* rec, int type) {
    ossl::Bio in(BIO_new_mem_buf(signed_data.data(), static_cast<int>(signed_data.size())));
    if (!in) return fail("%s() 1 : BIO_new_mem_buf() failed", fn, SSF_RC_MEMORY);
    ossl::Pkcs7 p7(d2i_PKCS7_bio(in.get(), nullptr));
    if (!p7) return fail("%s() 2 : d2i_PKCS7_bio() failed", fn, SSF_RC_INVALID_FORMAT, true);
    if (!PKCS7_type_is_signed(p7.get()) || !p7->d.sign || !p7->d.sign->contents)
        return fail("%s() 3 : PKCS7 has invalid format", fn, SSF_RC_INVALID_FORMAT);
    OutData original;
    Bytes content;
    if (int rc = added_content(fn, p7.get(), input, original, content); rc != 0) return rc;

    ossl::X509StorePtr store;
    if (type == SIG_TYPE_CADES) {
        store = open_user_store(fn);
        if (!store) return SSF_RC_MEMORY;
    }

    Signer s;
    s.rec = rec;
    if (int rc = add_signer(fn, p7.get(), s, inc_certs, type); rc != 0) return rc;
    const EVP_MD* md = signer_digest(s.key.get()).md;

    ossl::Bio chain(BIO_new(BIO_f_md()));
    if (!chain || !BIO_set_md(chain.get(), md))
        return fail("%s() 11 : BIO_new( BIO_f_md() ) failed", fn, SSF_RC_MEMORY, true);
    BIO* sink = BIO_new(BIO_s_mem());
    if (!sink) return fail("%s() 12 : BIO_new( BIO_s_mem() ) failed", fn, SSF_RC_MEMORY);
    BIO_push(chain.get(), sink);
    if (!content.empty() &&
        BIO_write(chain.get(), content.data(), static_cast<int>(content.size())) !=
            static_cast<int>(content.size()))
        return fail("%s() 12 : BIO_new( BIO_s_mem() ) failed", fn, SSF_RC_MEMORY, true);
    if (!PKCS7_dataFinal(p7.get(), chain.get())) {
        mark_unsigned(s);
        return fail("%s() 13.2 : PKCS7_dataFinal() failed", fn, SSF_RC_SIGNER_FAILED, true);
    }

    if (type == SIG_TYPE_CADES) {
        (void)AddCACertsToStore(store.get());
        int idx = sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7.get())) - 1;
        int rc = EnhanceSignature(p7.get(), s.si, s.cert.get(), store.get());
        rec->uResult = static_cast<SAP_UINT>(rc);
        if (rc != 0) {
            auto name = orb_x509_get_name_from_X509(s.cert.get());
            if (!name) log_error("%s() 13.3 : signer_cert_name is NULL", fn);
            log_error("%s() 11 : EnhanceSignature( '%s' ) failed, idx = %d", fn,
                      name ? name->c_str() : "", idx);
            return SSF_RC_SIGNER_FAILED;
        }
    }
    if (int rc = write_output(fn, "%s() 14 : i2d_PKCS7() failed", p7.get(), out); rc != 0)
        return rc;
    rec->uResult = SSF_RESULT_VALID;
    return SSF_RC_OK;
}

}  // namespace

SignerDigest signer_digest(EVP_PKEY* key) {
    using objmap::Obj;
    SignerDigest d;
    const int id = key ? EVP_PKEY_get_base_id(key) : NID_undef;
    if (id != NID_undef && objmap::is_one_of(id, {Obj::gost2001})) {
        d.gost2001 = true;
        d.md = get_gost94_digest();
    } else if (id != NID_undef && objmap::is_one_of(id, {Obj::gost2012_256})) {
        d.md = digest_of(Obj::md_gost12_256);
    } else if (id != NID_undef && objmap::is_one_of(id, {Obj::gost2012_512})) {
        d.md = digest_of(Obj::md_gost12_512);
    } else {
        d.md = EVP_sha1();
    }
    return d;
}

bool refused_by_gost2001_cutoff(const SignerDigest& d) {
    return d.gost2001 && gost2001_cutoff_passed() == 1;
}

PKCS7_SIGNER_INFO* SSF_PKCS7_add_signature(PKCS7* p7, X509* cert, EVP_PKEY* key, const EVP_MD* md,
                                           const SAP_BYTE* profile, SAP_UINT profileL, int type) {
    static const char* fn = "SSF_PKCS7_add_signature";
    PKCS7_SIGNER_INFO* si = PKCS7_add_signature(p7, cert, key, md);
    if (!si) {
        log_error("%s() 1 : PKCS7_add_signature() failed", fn);
        log_crypto_errors();
        return nullptr;
    }
    if ((type == SIG_TYPE_CADES_BES || type == SIG_TYPE_CADES) &&
        !PKCS7_add_ESSSigningCertV2_attribute(si, cert, md)) {
        log_error("%s() 3 : PKCS7_add_ESSSigningCertV2_attribute() failed", fn);
        log_crypto_errors();
        return nullptr;
    }
    if (config().use_profile_timestamp) {
        ossl::Asn1Time t(ASN1_UTCTIME_new());
        if (!t) {
            log_error("%s() 4 : ASN1_UTCTIME_new() failed", fn);
            return nullptr;
        }
        // The profile starts with YYYYMMDDHHMMSS; a UTCTime drops the century.
        std::string text;
        if (profile && !sap_empty(profileL) && profileL >= 14)
            text.assign(reinterpret_cast<const char*>(profile) + 2, 12);
        text += 'Z';
        if (text.size() != 13 || !ASN1_UTCTIME_set_string(t.get(), text.c_str())) {
            log_error("%s() 5 : ASN1_UTCTIME_set_string( '%s' ) failed", fn, text.c_str());
            return nullptr;
        }
        if (!PKCS7_add_signed_attribute(si, NID_pkcs9_signingTime, V_ASN1_UTCTIME, t.get())) {
            log_error("%s() 6 : PKCS7_add_signed_attribute() failed", fn);
            log_crypto_errors();
            return nullptr;
        }
        t.release();  // the attribute owns it now
    }
    return si;
}

ossl::X509StorePtr open_user_store(const char* fn) {
    static const char kUserFile[] = "user1.pem";
    ossl::X509StorePtr store;
    if (LoadCertificatesFromPAB(store, kUserFile, sizeof kUserFile - 1) != 1) {
        log_error("%s() 7 : WARNING: LoadCertificatesFromPAB() failed", fn);
        ERR_clear_error();
    }
    // The enhancement always gets a store to work with, if an empty one.
    if (!store) {
        store.reset(X509_STORE_new());
        if (!store) {
            log_error("%s() 7 : X509_STORE_new() failed", fn);
            log_crypto_errors();
        }
    }
    return store;
}

int ssf_sign_data(OutData& out, Bytes input, bool inc_certs, bool detached,
                  SigRcpSsfInfoList signers, int signature_type) {
    static const char* fn = "ssf_sign_data";
    log_debug("%s() begin at %s", fn, get_time_text().c_str());
    out = OutData{};
    int rc = sign_body(fn, out, input, inc_certs, detached, signers, signature_type);
    if (rc != 0) out = OutData{};
    log_debug("%s() end at %s, retcode = %d", fn, get_time_text().c_str(), rc);
    return rc;
}

int add_sign_data(OutData& out, Bytes signed_data, Bytes input, bool inc_certs,
                  SigRcpSsfInfo* signer, int signature_type) {
    static const char* fn = "add_sign_data";
    out = OutData{};
    int rc = add_sign_body(fn, out, signed_data, input, inc_certs, signer, signature_type);
    if (rc != 0) out = OutData{};
    return rc;
}

}  // namespace ssf

// Envelope, develope and digest through the exports, as the SAP host calls them.
#include "ssf/envelope.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <sys/stat.h>

#include <vector>

#include "common/vectors.h"
#include "engines/gost/gost_asn1_types.h"
#include "fixture.h"
#include "protected_password.h"
#include "ssf/workers.h"

using ssf_test::Out;
using ssf_test::Sap;
using test_pki::write_file;

namespace {

// A recipient record over strings the test owns.
struct Recipient {
    std::string id, profile, password;
    SigRcpSsfInfo info{};
    Recipient(std::string id_, std::string profile_ = "", std::string password_ = "")
        : id(std::move(id_)), profile(std::move(profile_)), password(std::move(password_)) {
        info.strSigRcpId = reinterpret_cast<SAP_BYTE*>(id.data());
        info.strSigRcpIdL = static_cast<SAP_UINT>(id.size());
        info.strSigRcpProfile = reinterpret_cast<SAP_BYTE*>(profile.data());
        info.strSigRcpProfileL = static_cast<SAP_UINT>(profile.size());
        info.strSigRcpPassword = reinterpret_cast<SAP_BYTE*>(password.data());
        info.strSigRcpPasswordL = static_cast<SAP_UINT>(password.size());
        info.uResult = 77;
    }
};

std::string data_message(const std::string& content) {
    ssf::OutData out;
    EXPECT_EQ(
        ssf::encode_data(out, ssf::Bytes(reinterpret_cast<const unsigned char*>(content.data()),
                                         content.size())),
        0);
    return std::string(reinterpret_cast<char*>(out.data.get()), out.size);
}

ossl::Pkcs7 parse(const std::string& der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    return ossl::Pkcs7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
}

std::string data_content(const std::string& der) {
    ossl::Pkcs7 p7 = parse(der);
    if (!p7 || !PKCS7_type_is_data(p7.get())) return "<not a data message>";
    return std::string(reinterpret_cast<char*>(p7->d.data->data), p7->d.data->length);
}

// A GOST recipient: key of the given kind, certificate issued by a GOST R 34.10-2012 CA.
struct GostParty {
    test_pki::Entity e;
    std::string id, p12;
};

ossl::EvpPkey gost_key(const char* type, const char* paramset) {
    ossl::EvpPkeyCtx ctx(EVP_PKEY_CTX_new_id(OBJ_sn2nid(type), nullptr));
    EVP_PKEY* key = nullptr;
    EXPECT_TRUE(ctx && EVP_PKEY_keygen_init(ctx.get()) == 1 &&
                EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", paramset) == 1 &&
                EVP_PKEY_keygen(ctx.get(), &key) == 1)
        << type;
    return ossl::EvpPkey(key);
}

ossl::X509Ptr gost_cert(const std::string& cn, long serial, EVP_PKEY* key, X509* issuer,
                        EVP_PKEY* issuer_key) {
    ossl::X509Ptr x(X509_new());
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial);
    X509_NAME* name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("RU"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Selvanor Test"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(x.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
    X509_set_pubkey(x.get(), key);
    EXPECT_GT(
        X509_sign(x.get(), issuer_key ? issuer_key : key, EVP_get_digestbyname("md_gost12_256")), 0)
        << cn;
    return x;
}

struct GostPki {
    test_pki::Entity ca;
    GostParty r2001, r256, r512, outsider;
};

const GostPki& gost_pki() {
    static GostPki* pki = [] {
        auto* p = new GostPki;
        p->ca.key = gost_key("gost2012_256", "A");
        p->ca.cert = gost_cert("GOST CA", 1, p->ca.key.get(), nullptr, nullptr);
        long serial = 10;
        auto party = [&](GostParty& r, const char* cn, const char* type, const char* paramset) {
            r.e.key = gost_key(type, paramset);
            r.e.cert = gost_cert(cn, serial++, r.e.key.get(), p->ca.cert.get(), p->ca.key.get());
            r.id = test_pki::subject_text(cn);
            r.p12 = test_pki::write_p12(std::string(cn) + ".p12", r.e, test_pki::kPassword);
        };
        party(p->r2001, "GOST 2001", "gost2001", "A");
        party(p->r256, "GOST 2012-256", "gost2012_256", "B");
        party(p->r512, "GOST 2012-512", "gost2012_512", "A");
        party(p->outsider, "GOST outsider", "gost2012_256", "A");
        return p;
    }();
    return *pki;
}

class Envelope : public ssf_test::Started {
  protected:
    void SetUp() override {
        Started::SetUp();
        pab = dir.path() + "/pab";
        mkdir(pab.c_str(), 0700);
    }
    void add_to_pab(const std::string& name, X509* cert) {
        write_file(pab + "/" + name, test_pki::pem_of(cert));
    }

    struct Enveloped {
        SAPRETURN rc;
        std::string der;
    };
    Enveloped envelope(const std::string& content, std::vector<Recipient*> recipients) {
        SigRcpSsfInfoList list = nullptr;
        std::vector<SigRcpSsfInformationListElement> nodes(recipients.size());
        for (size_t i = recipients.size(); i-- > 0;) {
            nodes[i].ptrSigRcp = &recipients[i]->info;
            nodes[i].next = list;
            list = &nodes[i];
        }
        Sap fmt("PKCS7"), cipher("GOST-28147-89"), input(data_message(content)), dir_name(pab),
            none("");
        Out out;
        const SAPRETURN rc =
            SsfEnvelope(fmt.p(), fmt.n(), cipher.p(), cipher.n(), input.p(), input.n(),
                        dir_name.p(), dir_name.n(), none.p(), 0, list, &out.data, &out.len);
        return {rc, out.str()};
    }
    struct Developed {
        SAPRETURN rc;
        SAP_UINT result;
        std::string content;
    };
    Developed develope(const std::string& der, Recipient r) {
        Sap fmt("PKCS7"), input(der);
        Out out;
        const SAPRETURN rc =
            SsfDevelope(fmt.p(), fmt.n(), input.p(), input.n(), &r.info, &out.data, &out.len);
        return {rc, r.info.uResult, rc == 0 ? data_content(out.str()) : out.str()};
    }
    std::string pab;
};

TEST_F(Envelope, RsaRecipientsRoundTripAndOnlyTheirOwnKeyOpensIt) {
    add_to_pab("rsa.pem", pki->rsa_leaf.cert.get());
    add_to_pab("leaf.pem", pki->leaf.cert.get());
    Recipient rsa(test_pki::subject_text("Leaf RSA"));
    const std::string content = "document for an RSA recipient";
    Enveloped e = envelope(content, {&rsa});
    ASSERT_EQ(e.rc, 0u);
    EXPECT_EQ(rsa.info.uResult, 0u);
    ossl::Pkcs7 p7 = parse(e.der);
    ASSERT_TRUE(p7 && PKCS7_type_is_enveloped(p7.get()));
    EXPECT_EQ(OBJ_obj2nid(p7->d.enveloped->enc_data->algorithm->algorithm), OBJ_sn2nid("gost89"));

    const std::string profile = test_pki::write_p12("rsa.p12", pki->rsa_leaf, test_pki::kPassword);
    Developed d = develope(e.der, Recipient(rsa.id, profile, test_pki::kPassword));
    EXPECT_EQ(d.rc, 0u);
    EXPECT_EQ(d.result, 0u);
    EXPECT_EQ(d.content, content);

    // The EC recipient is in no RecipientInfo of the message.
    const std::string other = test_pki::write_p12("leaf.p12", pki->leaf, test_pki::kPassword);
    Developed wrong =
        develope(e.der, Recipient(test_pki::subject_text("Leaf One"), other, test_pki::kPassword));
    EXPECT_EQ(wrong.rc, 9u);
    EXPECT_EQ(wrong.result, 27u);
    EXPECT_TRUE(wrong.content.empty());
    EXPECT_TRUE(log_contains("no recipient matches certificate"));
}

TEST_F(Envelope, ARecipientWithoutCertificateFailsTheWholeCall) {
    add_to_pab("rsa.pem", pki->rsa_leaf.cert.get());
    Recipient rsa(test_pki::subject_text("Leaf RSA")), missing(test_pki::subject_text("Nobody")),
        empty("");
    Enveloped e = envelope("text", {&rsa, &missing, &empty});
    EXPECT_EQ(e.rc, 9u);
    EXPECT_TRUE(e.der.empty());
    EXPECT_EQ(rsa.info.uResult, 0u);
    EXPECT_EQ(missing.info.uResult, 26u);
    EXPECT_EQ(empty.info.uResult, 22u);
    EXPECT_TRUE(logged("envelope_data() 7 : no certificate found for: '" + missing.id + "'"));

    // A directory without certificates.
    pab = dir.path() + "/nothing-here";
    EXPECT_EQ(envelope("text", {&rsa}).rc, 7u);
}

TEST_F(Envelope, DevelopeRefusesWhatIsNoEnvelopedMessage) {
    const std::string profile = test_pki::write_p12("rsa.p12", pki->rsa_leaf, test_pki::kPassword);
    Recipient r(test_pki::subject_text("Leaf RSA"), profile, test_pki::kPassword);
    EXPECT_EQ(develope(data_message("plain"), r).rc, 2u);
    EXPECT_TRUE(logged("develope_data() 3 : PKCS7 has wrong format"));
    EXPECT_EQ(develope("garbage", r).rc, 12u);
    EXPECT_TRUE(logged("develope_data() 2 : d2i_PKCS7_bio() failed"));
}

// SsfDigest carries the published Streebog digests of RFC 6986's M1 (the host test compares every
// hash name, attached and detached, with the openssl command).
TEST_F(Envelope, DigestHoldsThePublishedStreebogValues) {
    const std::string m1 = "012345678901234567890123456789012345678901234567890123456789012";
    const std::pair<const char*, const char*> cases[] = {
        {"GOST-R-34.11-12-256", "9d151eefd8590b89daa6ba6cb74af9275dd051026bb149a452fd84e5e57b5500"},
        {"GOST-R-34.11-12-512",
         "1b54d01a4af5b9d5cc3d86d68d285462b19abc2475222f35c085122be4ba1ffa00ad30f8767b3a82384c6574f"
         "024c31"
         "1e2a481332b08ef7f41797891c1646f48"},
    };
    for (const auto& [name, expected] : cases) {
        Sap fmt("PKCS7"), hash(name), input(data_message(m1));
        Out out;
        ASSERT_EQ(SsfDigest(fmt.p(), fmt.n(), 0, input.p(), input.n(), hash.p(), hash.n(),
                            &out.data, &out.len),
                  0u);
        ossl::Pkcs7 p7 = parse(out.str());
        ASSERT_TRUE(p7 && PKCS7_type_is_digest(p7.get()));
        const ASN1_OCTET_STRING* value = p7->d.digest->digest;
        EXPECT_EQ(testing_support::to_hex(value->data, value->length), expected) << name;
    }
}

TEST_F(Envelope, GostRecipientsOfEveryKindOpenOneMessageByteForByte) {
    const GostPki& g = gost_pki();
    for (const GostParty* r : {&g.r2001, &g.r256, &g.r512, &g.outsider})
        add_to_pab(r->id.substr(3, 13) + ".pem", r->e.cert.get());
    std::string content(3000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    Recipient a(g.r2001.id), b(g.r256.id), c(g.r512.id);
    Enveloped e = envelope(content, {&a, &b, &c});
    ASSERT_EQ(e.rc, 0u);
    EXPECT_EQ(a.info.uResult + b.info.uResult + c.info.uResult, 0u);
    ossl::Pkcs7 p7 = parse(e.der);
    ASSERT_TRUE(p7);
    EXPECT_EQ(sk_PKCS7_RECIP_INFO_num(p7->d.enveloped->recipientinfo), 3);
    for (const GostParty* r : {&g.r2001, &g.r256, &g.r512}) {
        Developed d = develope(e.der, Recipient(r->id, r->p12, test_pki::kPassword));
        EXPECT_EQ(d.rc, 0u) << r->id;
        EXPECT_EQ(d.result, 0u) << r->id;
        EXPECT_TRUE(d.content == content) << r->id;
    }
    Developed outsider =
        develope(e.der, Recipient(g.outsider.id, g.outsider.p12, test_pki::kPassword));
    EXPECT_EQ(outsider.rc, 9u);
    EXPECT_EQ(outsider.result, 27u);
}

// The key transport of the recipient's RecipientInfo is changed: develope must fail instead of
// handing out content decrypted with a wrong key.
TEST_F(Envelope, TamperedKeyTransportFailsTheDevelope) {
    const GostPki& g = gost_pki();
    add_to_pab("r256.pem", g.r256.e.cert.get());
    Recipient r(g.r256.id);
    Enveloped e = envelope("secret content", {&r});
    ASSERT_EQ(e.rc, 0u);
    const std::string marker = "secret content";
    for (int which : {0, 1}) {
        ossl::Pkcs7 p7 = parse(e.der);
        ASN1_OCTET_STRING* ek =
            sk_PKCS7_RECIP_INFO_value(p7->d.enveloped->recipientinfo, 0)->enc_key;
        const unsigned char* p = ek->data;
        std::unique_ptr<TVK_KEY_TRANSPORT, decltype(&TVK_KEY_TRANSPORT_free)> kt(
            d2i_TVK_KEY_TRANSPORT(nullptr, &p, ek->length), TVK_KEY_TRANSPORT_free);
        ASSERT_TRUE(kt);
        (which == 0 ? kt->key_info->imit : kt->key_info->encrypted_key)->data[1] ^= 0x04;
        unsigned char* der = nullptr;
        const int n = i2d_TVK_KEY_TRANSPORT(kt.get(), &der);
        ASN1_OCTET_STRING_set(ek, der, n);
        OPENSSL_free(der);
        unsigned char* out = nullptr;
        const int len = i2d_PKCS7(p7.get(), &out);
        const std::string bad(reinterpret_cast<char*>(out), static_cast<size_t>(len));
        OPENSSL_free(out);
        Developed d = develope(bad, Recipient(r.id, g.r256.p12, test_pki::kPassword));
        EXPECT_EQ(d.rc, 9u) << which;
        EXPECT_EQ(d.result, 27u) << which;
        EXPECT_EQ(d.content.find(marker), std::string::npos);
    }
    EXPECT_TRUE(logged("develope_data() 8 : my_PKCS7_decrypt() failed"));
}

TEST_F(Envelope, ProtectedPasswordOpensTheRecipientsProfile) {
    start("use_profile_password_encryption = yes");
    const GostPki& g = gost_pki();
    add_to_pab("r512.pem", g.r512.e.cert.get());
    Recipient r(g.r512.id);
    Enveloped e = envelope("with a protected password", {&r});
    ASSERT_EQ(e.rc, 0u);
    EXPECT_EQ(develope(e.der, Recipient(r.id, g.r512.p12,
                                        protected_password::protect(test_pki::kPassword)))
                  .content,
              "with a protected password");
    EXPECT_EQ(develope(e.der, Recipient(r.id, g.r512.p12, test_pki::kPassword)).result, 25u);
}

}  // namespace

// Envelope, develope and digest through the exports, as the SAP host calls them. The host test
// covers every GOST key kind against the openssl command; these cases reach what it cannot.
#include "ssf/pkcs7/envelope.h"

#include <sys/stat.h>

#include <vector>

#include "common/vectors.h"
#include "engines/common/gost_asn1_types.h"
#include "fixture.h"
#include "protected_password.h"
#include "ssf/encode.h"
#include "ssf/pkcs7/workers.h"

using namespace ssf_test;
using namespace test_pki;

namespace {

ossl::Pkcs7 parse(const std::string& der) {
    return from_der(Der(der.begin(), der.end()));
}

// A GOST R 34.10-2012 recipient (256 or 512 bits) below a self-signed GOST CA.
struct GostParty {
    Entity e;
    std::string id, p12;
};
const GostParty& gost_party(bool bits512) {
    static const GostParty* parties = [] {
        auto key = [](const char* type) {
            ossl::PKeyCtx ctx(EVP_PKEY_CTX_new_id(OBJ_sn2nid(type), nullptr));
            EVP_PKEY* k = nullptr;
            EXPECT_TRUE(ctx && EVP_PKEY_keygen_init(ctx.get()) == 1 &&
                        EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", "A") == 1 &&
                        EVP_PKEY_keygen(ctx.get(), &k) == 1);
            return ossl::PKey(k);
        };
        const EVP_MD* md = EVP_get_digestbyname("md_gost12_256");
        static Entity ca = make("GOST CA", 1, key("gost2012_256"), nullptr, -kDay, kYear, md);
        auto* p = new GostParty[2];
        const char* types[] = {"gost2012_256", "gost2012_512"};
        for (int i = 0; i < 2; ++i) {
            const std::string cn = std::string("GOST ") + types[i];
            p[i].e = make(cn, 10 + i, key(types[i]), &ca, -kDay, kYear, md);
            p[i].id = subject_text(cn);
            p[i].p12 = write_p12(cn + ".p12", p[i].e, kPassword);
        }
        return p;
    }();
    return parties[bits512 ? 1 : 0];
}

class Envelope : public Started {
  protected:
    void SetUp() override {
        Started::SetUp();
        pab = dir.path() + "/pab";
        mkdir(pab.c_str(), 0700);
    }
    void add_to_pab(const std::string& name, X509* cert) {
        write_file(pab + "/" + name, pem_of(cert));
    }

    struct Enveloped {
        SAPRETURN rc;
        std::string der;
    };
    Enveloped envelope(const std::string& content, std::vector<Record*> recipients) {
        std::vector<SigRcpSsfInformationListElement> nodes(recipients.size());
        SigRcpSsfInfoList list = nullptr;
        for (size_t i = recipients.size(); i-- > 0;) {
            nodes[i].ptrSigRcp = &recipients[i]->info;
            nodes[i].next = list;
            list = &nodes[i];
        }
        Sap fmt("PKCS7"), cipher("GOST-28147-89"), input(data_message(content)), dir_name(pab);
        Out out;
        const SAPRETURN rc =
            SsfEnvelope(fmt.p(), fmt.n(), cipher.p(), cipher.n(), input.p(), input.n(),
                        dir_name.p(), dir_name.n(), nullptr, 0, list, &out.data, &out.len);
        return {rc, out.str()};
    }
    struct Developed {
        SAPRETURN rc;
        SAP_UINT result;
        std::string content;
    };
    Developed develope(const std::string& der, Record r) {
        Sap fmt("PKCS7"), input(der);
        Out out;
        const SAPRETURN rc =
            SsfDevelope(fmt.p(), fmt.n(), input.p(), input.n(), &r.info, &out.data, &out.len);
        if (rc != 0) return {rc, r.info.uResult, out.str()};
        ossl::Pkcs7 p7 = parse(out.str());
        if (!p7 || !PKCS7_type_is_data(p7.get())) return {rc, r.info.uResult, "<no data message>"};
        return {rc, r.info.uResult,
                std::string(reinterpret_cast<char*>(p7->d.data->data), p7->d.data->length)};
    }
    std::string pab;
};

TEST_F(Envelope, RsaRecipientRoundTripAndOnlyTheirOwnKeyOpensIt) {
    add_to_pab("rsa.pem", pki->rsa_leaf.cert.get());
    add_to_pab("leaf.pem", pki->leaf.cert.get());
    Record rsa(subject_text("Leaf RSA"));
    const std::string content = "document for an RSA recipient";
    Enveloped e = envelope(content, {&rsa});
    ASSERT_EQ(e.rc, 0u);
    EXPECT_EQ(rsa.info.uResult, 0u);
    ossl::Pkcs7 p7 = parse(e.der);
    ASSERT_TRUE(p7 && PKCS7_type_is_enveloped(p7.get()));
    EXPECT_EQ(OBJ_obj2nid(p7->d.enveloped->enc_data->algorithm->algorithm), OBJ_sn2nid("gost89"));

    Developed d =
        develope(e.der, Record(rsa.id, write_p12("rsa.p12", pki->rsa_leaf, kPassword), kPassword));
    EXPECT_EQ(d.rc, 0u);
    EXPECT_EQ(d.result, 0u);
    EXPECT_EQ(d.content, content);

    // The EC recipient is in no RecipientInfo of the message.
    const std::string other = write_p12("leaf.p12", pki->leaf, kPassword);
    Developed wrong = develope(e.der, Record(subject_text("Leaf One"), other, kPassword));
    EXPECT_EQ(wrong.rc, 9u);
    EXPECT_EQ(wrong.result, 27u);
    EXPECT_TRUE(wrong.content.empty());
    EXPECT_TRUE(log_contains("no recipient matches certificate"));
}

TEST_F(Envelope, ARecipientWithoutCertificateFailsTheWholeCall) {
    add_to_pab("rsa.pem", pki->rsa_leaf.cert.get());
    Record rsa(subject_text("Leaf RSA")), missing(subject_text("Nobody")), empty("");
    Enveloped e = envelope("text", {&rsa, &missing, &empty});
    EXPECT_EQ(e.rc, 9u);
    EXPECT_TRUE(e.der.empty());
    EXPECT_EQ(rsa.info.uResult, 0u);
    EXPECT_EQ(missing.info.uResult, 26u);
    EXPECT_EQ(empty.info.uResult, 22u);
    EXPECT_TRUE(logged("envelope_data() 7 : no certificate found for: '" + missing.id + "'"));

    // An EC certificate takes no encrypted key: its record says so, none reads "valid" but
    // the one whose certificate was fine.
    add_to_pab("ec.pem", pki->leaf.cert.get());
    Record ec(subject_text("Leaf One"));
    e = envelope("text", {&rsa, &ec});
    EXPECT_EQ(e.rc, 13u);
    EXPECT_TRUE(e.der.empty());
    EXPECT_EQ(rsa.info.uResult, 0u);
    EXPECT_EQ(ec.info.uResult, 27u);
    EXPECT_TRUE(logged("envelope_data() 8 : PKCS7_encrypt() failed"));

    pab = dir.path() + "/nothing-here";  // a directory without certificates
    EXPECT_EQ(envelope("text", {&rsa}).rc, 7u);
}

TEST_F(Envelope, DevelopeRefusesWhatIsNoEnvelopedMessage) {
    Record r(subject_text("Leaf RSA"), write_p12("rsa.p12", pki->rsa_leaf, kPassword), kPassword);
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
         "024c311e2a481332b08ef7f41797891c1646f48"},
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

// The key transport of the recipient's RecipientInfo is changed: develope must fail instead of
// handing out content decrypted with a wrong key.
TEST_F(Envelope, TamperedKeyTransportFailsTheDevelope) {
    const GostParty& g = gost_party(false);
    add_to_pab("r256.pem", g.e.cert.get());
    Record r(g.id);
    const std::string content = "secret content";
    Enveloped e = envelope(content, {&r});
    ASSERT_EQ(e.rc, 0u);
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
        const Der bad = to_der(p7.get());
        Developed d = develope(std::string(bad.begin(), bad.end()), Record(r.id, g.p12, kPassword));
        EXPECT_EQ(d.rc, 9u) << which;
        EXPECT_EQ(d.result, 27u) << which;
        EXPECT_EQ(d.content.find(content), std::string::npos);
    }
    EXPECT_TRUE(logged("develope_data() 8 : my_PKCS7_decrypt() failed"));
}

TEST_F(Envelope, ProtectedPasswordOpensTheRecipientsProfile) {
    start("use_profile_password_encryption = yes");
    const GostParty& g = gost_party(true);
    add_to_pab("r512.pem", g.e.cert.get());
    Record r(g.id);
    Enveloped e = envelope("with a protected password", {&r});
    ASSERT_EQ(e.rc, 0u);
    EXPECT_EQ(develope(e.der, Record(r.id, g.p12, protected_password::protect(kPassword))).content,
              "with a protected password");
    EXPECT_EQ(develope(e.der, Record(r.id, g.p12, kPassword)).result, 25u);
}

}  // namespace

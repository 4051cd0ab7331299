// Damaged messages through every export that parses one: each truncation and a flipped byte at
// each position must end in a return code, never a crash, a leak (LSan) or a success with no
// output; and no error the crypto library queued may be left behind for the host.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "fixture.h"

using namespace ssf_test;
using namespace test_pki;

namespace {

class Malformed : public Started {
  protected:
    void SetUp() override {
        Started::SetUp();
        mkdir(dir.file("pab").c_str(), 0700);
        write_file(dir.file("pab/rsa.pem"), pem_of(pki->rsa_leaf.cert.get()));
        write_file(dir.file("rsa.crt"), pem_of(pki->rsa_leaf.cert.get()));
        write_file(dir.file("rsa.key"), key_pem(pki->rsa_leaf.key.get(), nullptr));
        pab = Sap(dir.file("pab"));
        profile = "certfile=" + dir.file("rsa.crt") + ",keyfile=" + dir.file("rsa.key");
        id = sha1_hex(pki->rsa_leaf.cert.get(), " ");
    }
    Sap pkcs7{"PKCS7"}, sha1{"SHA1"}, pab{""};
    std::string profile, id;  // the RSA leaf's key pair from files, and its fingerprint

    using Call = std::function<SAPRETURN(SAP_BYTE*, SAP_UINT, Out&)>;
    // Every truncation and every one-byte change of the message through the call.
    void damage(const char* what, const Der& good, const Call& call) {
        auto check = [&](Der m, const std::string& how) {
            Out out;
            const SAPRETURN rc =
                call(m.empty() ? nullptr : m.data(), static_cast<SAP_UINT>(m.size()), out);
            EXPECT_EQ(ERR_peek_error(), 0ul) << what << ", " << how;
            ERR_clear_error();
            if (rc == 0) {
                EXPECT_TRUE(out.data && out.len > 0) << what << ", " << how;
            } else {
                EXPECT_TRUE(out.cleared()) << what << ", " << how << ", rc " << rc;
            }
        };
        for (size_t n = 1; n < good.size(); ++n)
            check(Der(good.begin(), good.begin() + static_cast<long>(n)),
                  "cut at " + std::to_string(n));
        for (size_t i = 0; i < good.size(); ++i) {
            Der m = good;
            m[i] ^= i % 2 ? 0x80 : 0x01;
            check(m, "byte " + std::to_string(i) + " changed");
        }
    }
};

// Verify hands back the content with the signers' verdicts whatever they are; a failure's
// copy is released here so that the common check sees only what success leaves.
TEST_F(Malformed, DamagedSignedMessagesInVerify) {
    damage("verify", signed_der("hello"), [&](SAP_BYTE* p, SAP_UINT n, Out& out) {
        SigRcpSsfInfoList list = nullptr;
        SAPRETURN rc = SsfVerify(pkcs7.p(), pkcs7.n(), 1, p, n, nullptr, 0, pab.p(), pab.n(),
                                 nullptr, 0, &list, &out.data, &out.len);
        SsfDELSigRcpSsfInfoList(&list);
        if (rc != 0 && out.data) SsfDELSsfOctetstring(&out.data, &out.len);
        return rc;
    });
}

TEST_F(Malformed, DamagedEnvelopesInDevelope) {
    damage("develope", enveloped_der("hello"), [&](SAP_BYTE* p, SAP_UINT n, Out& out) {
        Record r(id, profile);
        return SsfDevelope(pkcs7.p(), pkcs7.n(), p, n, &r.info, &out.data, &out.len);
    });
}

TEST_F(Malformed, DamagedMessagesInDecodeAndDigest) {
    for (const Der& m : {signed_der("hello"), enveloped_der("hello"), digested_der()}) {
        damage("decode", m, [&](SAP_BYTE* p, SAP_UINT n, Out& out) {
            return SsfDecode(pkcs7.p(), pkcs7.n(), p, n, &out.data, &out.len);
        });
        damage("digest", m, [&](SAP_BYTE* p, SAP_UINT n, Out& out) {
            return SsfDigest(pkcs7.p(), pkcs7.n(), 0, p, n, sha1.p(), sha1.n(), &out.data,
                             &out.len);
        });
    }
}

TEST_F(Malformed, DamagedSignedMessagesInAddSign) {
    damage("add-sign", signed_der("hello"), [&](SAP_BYTE* p, SAP_UINT n, Out& out) {
        Record r(id, profile);
        return SsfAddSign(pkcs7.p(), pkcs7.n(), sha1.p(), sha1.n(), 1, p, n, nullptr, 0, &r.info,
                          &out.data, &out.len);
    });
}

// Well-formed messages with parts absent that a sender may leave out or an attacker may remove.
TEST_F(Malformed, MessagesWithPartsAbsent) {
    Sap gost("GOST-28147-89");
    auto der = [](PKCS7* p7) { return to_der(p7); };

    // An envelope the provider makes itself (GOST 28147-89 content encryption).
    Der data_msg;
    {
        ossl::Pkcs7 d(PKCS7_new());
        ASSERT_TRUE(PKCS7_set_type(d.get(), NID_pkcs7_data));
        ASSERT_TRUE(
            ASN1_OCTET_STRING_set(d->d.data, reinterpret_cast<const unsigned char*>("hi"), 2));
        data_msg = der(d.get());
    }
    Der gost_env;
    {
        Record r(id);
        SigRcpSsfInformationListElement node{};
        node.ptrSigRcp = &r.info;
        Out out;
        ASSERT_EQ(SsfEnvelope(pkcs7.p(), pkcs7.n(), gost.p(), gost.n(), data_msg.data(),
                              static_cast<SAP_UINT>(data_msg.size()), pab.p(), pab.n(), nullptr, 0,
                              &node, &out.data, &out.len),
                  0u);
        gost_env = Der(out.data, out.data + out.len);
    }
    struct Case {
        const char* what;
        Der msg;
        std::function<void(PKCS7*)> cut;
        SAPRETURN code = 0;  // where the row names it, the develope's code; else any refusal
    };
    const Case envelopes[] = {
        {"no recipients", gost_env,
         [](PKCS7* p) {
             ossl::replace<ossl::RecipInfoStack>(p->d.enveloped->recipientinfo,
                                                 sk_PKCS7_RECIP_INFO_new_null());
         }},
        {"no encrypted content", gost_env,
         [](PKCS7* p) {
             ossl::replace<ossl::OctetString>(p->d.enveloped->enc_data->enc_data, nullptr);
         },
         9},
        // Refused as absent content is: the stream cipher would "decrypt" it to nothing.
        {"empty encrypted content", gost_env,
         [](PKCS7* p) { ASN1_STRING_set(p->d.enveloped->enc_data->enc_data, "", 0); }, 9},
        {"no cipher parameters (GOST)", gost_env,
         [](PKCS7* p) {
             ossl::replace<ossl::Asn1Type>(p->d.enveloped->enc_data->algorithm->parameter, nullptr);
         }},
        {"no cipher parameters (AES)", enveloped_der("hello"),
         [](PKCS7* p) {
             ossl::replace<ossl::Asn1Type>(p->d.enveloped->enc_data->algorithm->parameter, nullptr);
         }},
        {"empty key transport", gost_env,
         [](PKCS7* p) {
             ASN1_STRING_set(sk_PKCS7_RECIP_INFO_value(p->d.enveloped->recipientinfo, 0)->enc_key,
                             "", 0);
         }},
    };
    for (const Case& c : envelopes) {
        ossl::Pkcs7 p7 = from_der(c.msg);
        ASSERT_TRUE(p7) << c.what;
        c.cut(p7.get());
        Der m = der(p7.get());
        Record r(id, profile);
        Out out;
        fresh();
        const SAPRETURN rc =
            SsfDevelope(pkcs7.p(), pkcs7.n(), m.data(), static_cast<SAP_UINT>(m.size()), &r.info,
                        &out.data, &out.len);
        EXPECT_NE(rc, 0u) << c.what;
        if (c.code) {
            EXPECT_EQ(rc, c.code) << c.what;
            EXPECT_EQ(r.info.uResult, 27u) << c.what;
            EXPECT_TRUE(has_line(fresh(), "develope_data() 8 : my_PKCS7_decrypt() failed"))
                << c.what;
        }
        EXPECT_TRUE(out.cleared()) << c.what;
        EXPECT_EQ(ERR_peek_error(), 0ul) << c.what;
        ERR_clear_error();
    }

    const Case signed_cases[] = {
        {"no certificates", signed_der("hello"),
         [](PKCS7* p) { ossl::replace<ossl::X509Stack>(p->d.sign->cert, nullptr); }},
        {"no signers", signed_der("hello"),
         [](PKCS7* p) {
             ossl::replace<ossl::SignerInfoStack>(p->d.sign->signer_info,
                                                  sk_PKCS7_SIGNER_INFO_new_null());
         }},
        {"no content", signed_der("hello"), [](PKCS7* p) { PKCS7_set_detached(p, 1); }},
        {"no signature value", signed_der("hello"),
         [](PKCS7* p) {
             ASN1_STRING_set(sk_PKCS7_SIGNER_INFO_value(p->d.sign->signer_info, 0)->enc_digest, "",
                             0);
         }},
        {"no signed attributes", signed_der("hello"),
         [](PKCS7* p) {
             PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p->d.sign->signer_info, 0);
             ossl::replace<ossl::AttributeStack>(si->auth_attr, nullptr);
         }},
    };
    for (const Case& c : signed_cases) {
        ossl::Pkcs7 p7 = from_der(c.msg);
        ASSERT_TRUE(p7) << c.what;
        c.cut(p7.get());
        Der m = der(p7.get());
        for (SAP_BOOL use_certs : {0, 1}) {
            SigRcpSsfInfoList list = nullptr;
            Out out;
            const SAPRETURN rc = SsfVerify(pkcs7.p(), pkcs7.n(), use_certs, m.data(),
                                           static_cast<SAP_UINT>(m.size()), nullptr, 0, pab.p(),
                                           pab.n(), nullptr, 0, &list, &out.data, &out.len);
            EXPECT_NE(rc, 0u) << c.what;
            for (auto* n = list; n; n = n->next) EXPECT_NE(n->ptrSigRcp->uResult, 0u) << c.what;
            SsfDELSigRcpSsfInfoList(&list);
            EXPECT_EQ(ERR_peek_error(), 0ul) << c.what;
            ERR_clear_error();
        }
    }
}

// A list whose nodes carry no record names nobody: nothing may be signed or enveloped for it.
TEST_F(Malformed, ListsWithoutRecordsNameNobody) {
    Sap gost("GOST-28147-89");
    ossl::Pkcs7 d(PKCS7_new());
    ASSERT_TRUE(PKCS7_set_type(d.get(), NID_pkcs7_data) &&
                ASN1_OCTET_STRING_set(d->d.data, reinterpret_cast<const unsigned char*>("hi"), 2));
    Der data = to_der(d.get());
    SigRcpSsfInformationListElement second{}, first{};
    first.next = &second;
    {
        Out out;
        EXPECT_NE(SsfEnvelope(pkcs7.p(), pkcs7.n(), gost.p(), gost.n(), data.data(),
                              static_cast<SAP_UINT>(data.size()), pab.p(), pab.n(), nullptr, 0,
                              &first, &out.data, &out.len),
                  0u);
        EXPECT_TRUE(out.cleared());
    }
    {
        Out out;
        EXPECT_NE(SsfSign(pkcs7.p(), pkcs7.n(), sha1.p(), sha1.n(), 1, 0, data.data(),
                          static_cast<SAP_UINT>(data.size()), &first, &out.data, &out.len),
                  0u);
        EXPECT_TRUE(out.cleared());
    }
}

}  // namespace

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
    }

    using Call = std::function<SAPRETURN(SAP_BYTE*, SAP_UINT, Out&)>;
    // Every truncation and every one-byte change of the message through the call.
    void damage(const char* what, const Der& good, const Call& call) {
        auto check = [&](Der m, const std::string& how) {
            Out out;
            const SAPRETURN rc = call(m.empty() ? nullptr : m.data(),
                                      static_cast<SAP_UINT>(m.size()), out);
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

TEST_F(Malformed, DamagedMessagesEndInACode) {
    Sap pkcs7("PKCS7"), sha1("SHA1"), pab(dir.file("pab"));
    const std::string profile = "certfile=" + dir.file("rsa.crt") + ",keyfile=" + dir.file("rsa.key");
    const std::string id = sha1_hex(pki->rsa_leaf.cert.get(), " ");
    const Der signed_msg = signed_der("hello"), enveloped_msg = enveloped_der("hello");

    damage("verify", signed_msg, [&](SAP_BYTE* p, SAP_UINT n, Out& out) {
        SigRcpSsfInfoList list = nullptr;
        SAPRETURN rc = SsfVerify(pkcs7.p(), pkcs7.n(), 1, p, n, nullptr, 0, pab.p(), pab.n(),
                                 nullptr, 0, &list, &out.data, &out.len);
        SsfDELSigRcpSsfInfoList(&list);
        // Verify hands back the content with the signers' verdicts, whatever they are.
        if (rc != 0 && out.data) {
            SsfDELSsfOctetstring(&out.data, &out.len);
        }
        return rc;
    });
    damage("develope", enveloped_msg, [&](SAP_BYTE* p, SAP_UINT n, Out& out) {
        Record r(id, profile);
        return SsfDevelope(pkcs7.p(), pkcs7.n(), p, n, &r.info, &out.data, &out.len);
    });
    for (const Der& m : {signed_msg, enveloped_msg, digested_der()}) {
        damage("decode", m, [&](SAP_BYTE* p, SAP_UINT n, Out& out) {
            return SsfDecode(pkcs7.p(), pkcs7.n(), p, n, &out.data, &out.len);
        });
        damage("digest", m, [&](SAP_BYTE* p, SAP_UINT n, Out& out) {
            return SsfDigest(pkcs7.p(), pkcs7.n(), 0, p, n, sha1.p(), sha1.n(), &out.data,
                             &out.len);
        });
    }
    damage("add-sign", signed_msg, [&](SAP_BYTE* p, SAP_UINT n, Out& out) {
        Record r(id, profile);
        return SsfAddSign(pkcs7.p(), pkcs7.n(), sha1.p(), sha1.n(), 1, p, n, nullptr, 0, &r.info,
                          &out.data, &out.len);
    });
}

}  // namespace

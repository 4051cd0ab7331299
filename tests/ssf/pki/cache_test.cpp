// What is kept between calls: a parsed profile or directory certificate is used again only while
// its file is unchanged, and never changes a result. The same object coming back is how a test
// sees that it was kept.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <thread>

#include "fixture.h"
#include "ssf/encode.h"
#include "ssf/pkcs7/workers.h"
#include "ssf/pki/certs.h"
#include "ssf/pki/keys.h"

using namespace ssf_test;
using namespace test_pki;

namespace {

class Caches : public Started {
  protected:
    // Files count as settled a minute after they were written.
    void settle() { platform::set_test_clock(std::time(nullptr) + 60); }

    struct Loaded {
        int rc;
        SAP_UINT result;
        X509* cert;  // borrowed: kept alive by the owners below
        EVP_PKEY* key;
    };
    Loaded load(const std::string& id, const std::string& profile, const std::string& password) {
        Record r(id, profile, password);
        certs.emplace_back();
        keys.emplace_back();
        const int rc = ssf::ssf_load_cert_and_key(&r.info, certs.back(), keys.back(), 1, nullptr);
        return {rc, r.info.uResult, certs.back().get(), keys.back().get()};
    }
    std::vector<ossl::X509Ptr> certs;
    std::vector<ossl::PKey> keys;
};

// Both file profiles: kept when settled, never for another password, identity or file, and every
// check of a signer still made on a kept profile.
TEST_F(Caches, ProfileKeptOnlyWhileNothingCanChange) {
    const std::string leaf = subject_text("Leaf One"), rsa = subject_text("Leaf RSA");
    const struct {
        const char* name;
        std::function<std::string(const Entity&)> write;  // the profile of an entity's files
        SAP_UINT wrong_password;
    } kinds[] = {
        {"PKCS#12", [&](const Entity& e) { return write_p12("p.p12", e, kPassword); }, 25},
        {"PEM pair",
         [&](const Entity& e) {
             write_file(dir.file("p.crt"), pem_of(e.cert.get()));
             write_file(dir.file("p.key"), key_pem(e.key.get(), kPassword));
             return "certfile=" + dir.file("p.crt") + ",keyfile=" + dir.file("p.key");
         },
         24},
    };
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.name);
        platform::set_test_clock(std::nullopt);
        const std::string profile = k.write(pki->leaf);
        // Just written: the file may still change within its time stamp's tick.
        Loaded fresh1 = load(leaf, profile, kPassword), fresh2 = load(leaf, profile, kPassword);
        ASSERT_EQ(fresh1.rc, 0);
        EXPECT_NE(fresh1.key, fresh2.key);

        settle();
        Loaded first = load(leaf, profile, kPassword);
        ASSERT_EQ(first.rc, 0);
        EXPECT_EQ(load(leaf, profile, kPassword).key, first.key);
        EXPECT_EQ(load(leaf, profile, "wrong").result, k.wrong_password);
        EXPECT_EQ(load(rsa, profile, kPassword).result, 22u);
        EXPECT_EQ(load(leaf, profile, kPassword).key, first.key);
        // The signer's validity is checked on every call.
        platform::set_test_clock(std::time(nullptr) + 10 * kYear);
        EXPECT_EQ(load(leaf, profile, kPassword).result, 26u);

        // The same path with another key in it.
        settle();
        k.write(pki->rsa_leaf);
        EXPECT_EQ(load(leaf, profile, kPassword).result, 22u);
        Loaded other = load(rsa, profile, kPassword);
        ASSERT_EQ(other.rc, 0);
        EXPECT_EQ(X509_cmp(other.cert, pki->rsa_leaf.cert.get()), 0);
    }
}

// A directory read again: unchanged files give the certificates parsed before, changed, added
// and removed files are seen, a bad file is reported on every call, and the trust store made
// for the kept certificates follows the files.
TEST_F(Caches, DirectoryKeptFileByFile) {
    const std::string pab = dir.path() + "/pab";
    ASSERT_EQ(mkdir(pab.c_str(), 0700), 0);
    write_file(pab + "/a.pem", pem_of(pki->root.cert.get()));
    write_file(pab + "/b.pem", pem_of(pki->inter.cert.get()));
    write_file(pab + "/c.txt", "not a certificate\n");
    settle();
    std::vector<ossl::X509Stack> kept;  // the certificates stay alive for the comparisons
    auto read = [&] {
        kept.push_back(ssf::load_certs_from_pab(pab.c_str()));
        std::vector<X509*> out;
        for (int i = 0; kept.back() && i < sk_X509_num(kept.back().get()); ++i)
            out.push_back(sk_X509_value(kept.back().get(), i));
        return out;
    };
    const std::string bad = "load_cert_from_file() 3 : unknown file format '" + pab + "/c.txt'";
    fresh();
    const std::vector<X509*> first = read();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_NE(fresh().find(bad), std::string::npos);
    EXPECT_EQ(read(), first);
    EXPECT_NE(fresh().find(bad), std::string::npos);
    auto trust = [&] {
        return ssf::GetCertificateTrustedStatus(pki->leaf.cert.get(), kept.back().get(), -1);
    };
    EXPECT_EQ(trust(), 0);
    EXPECT_EQ(trust(), 0);

    write_file(pab + "/a.pem", pem_of(pki->stranger.cert.get()));
    write_file(pab + "/0.pem", pem_of(pki->root.cert.get()));
    ASSERT_EQ(std::remove((pab + "/b.pem").c_str()), 0);
    settle();
    const std::vector<X509*> now = read();
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(X509_cmp(now[0], pki->root.cert.get()), 0);
    EXPECT_EQ(X509_cmp(now[1], pki->stranger.cert.get()), 0);
    EXPECT_EQ(trust(), 22) << "the intermediate has left the directory";
}

// With the API mutex off, calls share the caches from several threads at once (run under
// ThreadSanitizer by scripts/tsan.sh).
TEST_F(Caches, SharedByConcurrentCalls) {
    start("use_func_mutex = no");
    const std::string pab = dir.path() + "/pab";
    ASSERT_EQ(mkdir(pab.c_str(), 0700), 0);
    write_file(pab + "/rsa.pem", pem_of(pki->rsa_leaf.cert.get()));
    write_file(pab + "/inter.pem", pem_of(pki->inter.cert.get()));
    write_file(pab + "/root.pem", pem_of(pki->root.cert.get()));
    const std::string p12 = write_p12("rsa.p12", pki->rsa_leaf, kPassword);
    const std::string id = subject_text("Leaf RSA");
    settle();
    ssf::OutData encoded;
    ASSERT_EQ(ssf::encode_data(encoded, {reinterpret_cast<const unsigned char*>("doc"), 3}), 0);
    const std::string doc(reinterpret_cast<char*>(encoded.data.get()), encoded.size);

    std::atomic<int> failures{0};
    auto work = [&] {
        for (int i = 0; i < 4; ++i) {
            Record signer(id, p12, kPassword), recipient(id);
            SigRcpSsfInformationListElement s{nullptr, &signer.info}, r{nullptr, &recipient.info};
            Sap fmt("PKCS7"), hash("SHA1"), cipher("GOST-28147-89"), input(doc), dir_name(pab);
            Out signed_out, enveloped, developed;
            failures += SsfSign(fmt.p(), fmt.n(), hash.p(), hash.n(), 1, 0, input.p(), input.n(),
                                &s, &signed_out.data, &signed_out.len) != 0;
            failures += SsfEnvelope(fmt.p(), fmt.n(), cipher.p(), cipher.n(), input.p(), input.n(),
                                    dir_name.p(), dir_name.n(), nullptr, 0, &r, &enveloped.data,
                                    &enveloped.len) != 0;
            Sap signed_doc(signed_out.str());
            Out content;
            SigRcpSsfInfoList results = nullptr;
            failures += SsfVerify(fmt.p(), fmt.n(), 1, signed_doc.p(), signed_doc.n(), nullptr, 0,
                                  dir_name.p(), dir_name.n(), nullptr, 0, &results, &content.data,
                                  &content.len) != 0;
            SsfDELSigRcpSsfInfoList(&results);
            Sap env(enveloped.str());
            failures += SsfDevelope(fmt.p(), fmt.n(), env.p(), env.n(), &signer.info,
                                    &developed.data, &developed.len) != 0;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(work);
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace

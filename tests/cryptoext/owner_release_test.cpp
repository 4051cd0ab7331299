// Objects let go through their owners (cryptoext/ossl.h) under ThreadSanitizer. libcrypto is not
// built with it, so its reference counts are invisible: the owners tell it what a count orders,
// and a race on an object of ours must still be reported. scripts/tsan.sh runs the first test
// with the other threaded tests and the planted races on their own, expecting a report of each.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cryptoext/ossl.h"
#include "engine_env.h"

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderTsan = true;
#else
constexpr bool kUnderTsan = false;
#endif

// Lets one thread wait for another without anything ThreadSanitizer counts as ordering them.
class Signal {
  public:
    void raise() { raised_.store(true, std::memory_order_relaxed); }
    void wait() const {
        while (!raised_.load(std::memory_order_relaxed)) std::this_thread::yield();
    }

  private:
    std::atomic<bool> raised_{false};
};

// An object used on one thread, which then lets go of what held it, and freed by its last owner
// on another: what the reference counts order, TSan must see, whether the thread held the object
// itself or a stack or a store of its own held it. Each use locks the object or fills a cache
// inside it.
TEST(OwnerRelease, LastReleaseOnAnotherThreadIsOrderedAfterEveryUse) {
    enum Holder { kKeyOwner, kCertificateStack, kCertificateStore };
    for (Holder holder : {kKeyOwner, kCertificateStack, kCertificateStore}) {
        SCOPED_TRACE(holder);
        ossl::PKey key(EVP_RSA_gen(1024));
        // Made here, not decoded: nothing is cached in it until the thread uses it.
        ossl::X509Ptr cert = key ? engine_tests::self_signed(key.get()) : nullptr;
        ASSERT_TRUE(cert);
        ossl::PKey own_key = holder == kKeyOwner ? ossl::up_ref(key.get()) : nullptr;
        ossl::X509Stack stack = ossl::new_x509_stack();
        if (holder == kCertificateStack)
            sk_X509_push(stack.get(), ossl::up_ref(cert.get()).release());
        ossl::X509StorePtr store(X509_STORE_new());
        if (holder == kCertificateStore) X509_STORE_add_cert(store.get(), cert.get());
        Signal released;
        std::thread user([&, raw = cert.get()] {
            if (holder == kKeyOwner) {
                static constexpr unsigned char kData[] = "data";
                unsigned char sig[256];
                size_t len = sizeof sig;
                ossl::MdCtx md(EVP_MD_CTX_new());
                EXPECT_TRUE(md &&
                            EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr,
                                               own_key.get()) == 1 &&
                            EVP_DigestSign(md.get(), sig, &len, kData, sizeof kData) == 1);
            } else {
                (void)X509_get_extension_flags(raw);
            }
            own_key.reset();
            stack.reset();
            store.reset();
            released.raise();
        });
        released.wait();
        key.reset();
        cert.reset();
        user.join();
    }
}

// Races planted on purpose: one thread reads an object of ours while another lets it go through
// its owner. ThreadSanitizer must report them; anywhere else nothing would catch them, so they
// do not run.
// The first byte at data is read on another thread, which then raises its signal; only then is
// the owner let go of, with nothing TSan sees ordering the two. The byte read comes back.
template <class Owner>
int read_then_release(Owner& owner, const unsigned char* data) {
    Signal read;
    int seen = -1;
    std::thread reader([&, data] {
        seen = data[0];
        read.raise();
    });
    read.wait();
    owner.reset();
    reader.join();
    return seen;
}

TEST(OwnerRelease, PlantedRaceOnACertificate) {
    if (!kUnderTsan) GTEST_SKIP() << "a data race on purpose, for ThreadSanitizer to report";
    ossl::X509Ptr cert(X509_new());
    ASSERT_TRUE(cert && ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0x5a5a5a) == 1);
    EXPECT_EQ(read_then_release(cert, ASN1_STRING_get0_data(X509_get0_serialNumber(cert.get()))),
              0x5a);
}

TEST(OwnerRelease, PlantedRaceOnBytes) {
    if (!kUnderTsan) GTEST_SKIP() << "a data race on purpose, for ThreadSanitizer to report";
    ossl::Bytes bytes(static_cast<unsigned char*>(OPENSSL_zalloc(64)));
    ASSERT_TRUE(bytes);
    EXPECT_EQ(read_then_release(bytes, bytes.get()), 0);
}

}  // namespace

// What a released record leaves in freed memory. The crypto library's allocator hooks show each
// block as it goes back; they can be set only before the library's first allocation, hence a
// program of its own with one test.
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "cryptoext/ossl.h"
#include "ssf/pkcs7/verify.h"
#include "ssf/records.h"

namespace {

constexpr std::string_view kPassword = "pw-3f9c1e77-in-freed-memory";
int g_freed_holding_password = 0;
int g_written_past_block = 0;

// Each block carries its size in front of it, so that a free reads only what was handed out, and
// a guard behind it, which a wipe running past the block's end overwrites.
constexpr size_t kHead = alignof(std::max_align_t), kGuard = 64;
constexpr unsigned char kGuardByte = 0xa5;

void* hand_out(unsigned char* b, size_t n) {
    if (!b) return nullptr;
    std::memcpy(b, &n, sizeof n);
    std::memset(b + kHead + n, kGuardByte, kGuard);
    return b + kHead;
}

void* hooked_malloc(size_t n, const char*, int) {
    return hand_out(static_cast<unsigned char*>(std::malloc(kHead + n + kGuard)), n);
}

void* hooked_realloc(void* p, size_t n, const char*, int) {
    return hand_out(static_cast<unsigned char*>(std::realloc(
                        p ? static_cast<unsigned char*>(p) - kHead : nullptr, kHead + n + kGuard)),
                    n);
}

void hooked_free(void* p, const char*, int) {
    if (!p) return;
    auto* b = static_cast<unsigned char*>(p) - kHead;
    size_t n = 0;
    std::memcpy(&n, b, sizeof n);
    // Any part of it: a wipe that stops short leaves the rest.
    if (std::string_view(static_cast<const char*>(p), n)
            .find(kPassword.substr(kPassword.size() - 8)) != std::string_view::npos)
        ++g_freed_holding_password;
    for (size_t i = 0; i < kGuard; ++i)
        if (b[kHead + n + i] != kGuardByte) {
            ++g_written_past_block;
            break;
        }
    std::free(b);
}

SigRcpSsfInfo* record(const char* id) {
    std::string i(id), pw(kPassword);
    SigRcpSsfInfo* rec = nullptr;
    EXPECT_EQ(
        ssf::new_record(reinterpret_cast<SAP_BYTE*>(i.data()), static_cast<SAP_UINT>(i.size()),
                        nullptr, 0, nullptr, 0, reinterpret_cast<SAP_BYTE*>(pw.data()),
                        static_cast<SAP_UINT>(pw.size()), 0, &rec),
        0u);
    return rec;
}

TEST(PasswordWipe, ReleasedRecordsAndListsLeaveNoPasswordInFreedMemory) {
    ASSERT_EQ(CRYPTO_set_mem_functions(hooked_malloc, hooked_realloc, hooked_free), 1)
        << "the crypto library allocated before the test began";
    // The hooks see a password that is freed as it is.
    char* plain = OPENSSL_strndup(kPassword.data(), kPassword.size());
    OPENSSL_free(plain);
    ASSERT_EQ(g_freed_holding_password, 1);
    g_freed_holding_password = 0;

    // Whatever length the host wrote into the record, the copy is wiped whole, and no further;
    // so is a verified signer's certificate, which stands in the password field.
    ossl::PKey key(EVP_EC_gen("P-256"));
    ossl::X509Ptr cert(X509_new());
    ASSERT_TRUE(key && cert);
    ASSERT_TRUE(X509_set_pubkey(cert.get(), key.get()) &&
                X509_sign(cert.get(), key.get(), EVP_sha256()) > 0);
    const std::function<SigRcpSsfInfo*()> made[] = {
        [] { return record("one"); },
        [&] {
            SigRcpSsfInfo* signer = nullptr;
            EXPECT_EQ(ssf::set_profile_data(false, &signer, nullptr, cert.get(), 0), 0);
            return signer;
        },
    };
    for (const auto& make : made) {
        // The host's length: as made, shorter (1), longer (past the copy, into the guard).
        for (const auto& [keep, add] : {std::pair{1u, 0u}, {0u, 1u}, {1u, 32u}}) {
            SCOPED_TRACE(testing::Message() << keep << " * length + " << add);
            SigRcpSsfInfo* rec = make();
            ASSERT_TRUE(rec && rec->strSigRcpPassword);
            rec->strSigRcpPasswordL = rec->strSigRcpPasswordL * keep + add;
            EXPECT_EQ(ssf::delete_record(&rec), 0u);
            EXPECT_EQ(g_freed_holding_password + g_written_past_block, 0);
            g_freed_holding_password = g_written_past_block = 0;
        }
    }

    SigRcpSsfInfoList list = nullptr;
    for (const char* id : {"two", "three"}) ASSERT_EQ(ssf::insert_record(record(id), &list), 0u);
    EXPECT_EQ(ssf::delete_list(&list), 0u);
    EXPECT_EQ(g_freed_holding_password, 0) << "SsfDELSigRcpSsfInfoList";
}

}  // namespace

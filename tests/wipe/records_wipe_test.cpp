// What a released record leaves in freed memory. The crypto library's allocator hooks show each
// block as it goes back; they can be set only before the library's first allocation, hence a
// program of its own with one test.
#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ssf/records.h"

namespace {

constexpr std::string_view kPassword = "pw-3f9c1e77-in-freed-memory";
int g_freed_holding_password = 0;

// Each block carries its size in front of it, so that a free reads only what was handed out.
constexpr size_t kHead = alignof(std::max_align_t);

void* hooked_malloc(size_t n, const char*, int) {
    auto* b = static_cast<unsigned char*>(std::malloc(kHead + n));
    if (!b) return nullptr;
    std::memcpy(b, &n, sizeof n);
    return b + kHead;
}

void* hooked_realloc(void* p, size_t n, const char*, int) {
    auto* b = static_cast<unsigned char*>(
        std::realloc(p ? static_cast<unsigned char*>(p) - kHead : nullptr, kHead + n));
    if (!b) return nullptr;
    std::memcpy(b, &n, sizeof n);
    return b + kHead;
}

void hooked_free(void* p, const char*, int) {
    if (!p) return;
    auto* b = static_cast<unsigned char*>(p) - kHead;
    size_t n = 0;
    std::memcpy(&n, b, sizeof n);
    if (std::string_view(static_cast<const char*>(p), n).find(kPassword) != std::string_view::npos)
        ++g_freed_holding_password;
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

    SigRcpSsfInfo* rec = record("one");
    ASSERT_TRUE(rec);
    EXPECT_EQ(ssf::delete_record(&rec), 0u);
    EXPECT_EQ(g_freed_holding_password, 0) << "SsfDELSigRcpSsfInfo";

    SigRcpSsfInfoList list = nullptr;
    for (const char* id : {"two", "three"}) ASSERT_EQ(ssf::insert_record(record(id), &list), 0u);
    EXPECT_EQ(ssf::delete_list(&list), 0u);
    EXPECT_EQ(g_freed_holding_password, 0) << "SsfDELSigRcpSsfInfoList";
}

}  // namespace

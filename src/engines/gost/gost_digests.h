// The GOST digests as the crypto library's EVP_MD method tables.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

#include "cryptoext/objects.h"

// One digest or MAC of the engine: everything its EVP_MD method table is built from.
struct GostDigestDescriptor {
    objmap::Obj type;
    int md_size;
    int block_size;
    int ctx_size;
    int (*init)(EVP_MD_CTX*);
    int (*update)(EVP_MD_CTX*, const void*, size_t);
    int (*final)(EVP_MD_CTX*, unsigned char*);
    int (*copy)(EVP_MD_CTX*, const EVP_MD_CTX*);
    int (*cleanup)(EVP_MD_CTX*);
    int (*ctrl)(EVP_MD_CTX*, int, int, void*);  // MACs take their key here; null for hashes
};

// Builds the method table, or nullptr. No flags: this crypto library always signs through the
// key's method, which is what the old signature flag asked for, and it no longer defines it.
EVP_MD* tvk_make_digest(const GostDigestDescriptor& d);

// The tables, created once and kept for the life of the process; nullptr if creation failed.
const EVP_MD* tvk_digest_94();
const EVP_MD* tvk_digest_256();
const EVP_MD* tvk_digest_512();

namespace engines::detail {
// The hash library takes 32-bit lengths: longer updates are fed in pieces of at most `piece`
// bytes, never truncated. Returns the first failing code, or 0.
template <class Update>
int update_in_pieces(const uint8_t* data, size_t count, size_t piece, Update update) {
    while (count > 0) {
        const size_t n = count < piece ? count : piece;
        if (const int rc = update(data, static_cast<uint32_t>(n)); rc != 0) return rc;
        data += n;
        count -= n;
    }
    return 0;
}
inline constexpr size_t kUpdatePiece = size_t{1} << 30;
}  // namespace engines::detail

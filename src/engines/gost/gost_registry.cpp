// The algorithms the "gost" engine offers, in the order its selectors list them.
#include "engines/gost/gost_digests.h"
#include "engines/gost/gost_engine.h"
#include "engines/gost/gost_kuz_magma.h"

namespace {
using objmap::Obj;

constexpr GostDigestEntry kDigests[] = {
    {Obj::md_gost94, tvk_digest_94},
    {Obj::md_gost12_256, tvk_digest_256},
    {Obj::md_gost12_512, tvk_digest_512},
    {Obj::kuznechik_mac, tvk_digest_kuznechik_mac},
    {Obj::magma_mac, tvk_digest_magma_mac},
};
}  // namespace

std::span<const GostDigestEntry> tvk_gost_digest_registry() {
    return kDigests;
}

// Ciphers and key methods join as their sources land.
std::span<const GostCipherEntry> tvk_gost_cipher_registry() {
    static constexpr GostCipherEntry rows[] = {
        {Obj::kuznechik_ecb, tvk_cipher_kuznechik_ecb},
        {Obj::kuznechik_cbc, tvk_cipher_kuznechik_cbc},
        {Obj::kuznechik_ctr, tvk_cipher_kuznechik_ctr},
        {Obj::kuznechik_ofb, tvk_cipher_kuznechik_ofb},
        {Obj::kuznechik_cfb, tvk_cipher_kuznechik_cfb},
        {Obj::magma_ecb, tvk_cipher_magma_ecb},
        {Obj::magma_cbc, tvk_cipher_magma_cbc},
        {Obj::magma_ctr, tvk_cipher_magma_ctr},
        {Obj::magma_ofb, tvk_cipher_magma_ofb},
        {Obj::magma_cfb, tvk_cipher_magma_cfb},
    };
    return rows;
}

std::span<const GostPkeyEntry> tvk_gost_pkey_registry() {
    return {};
}

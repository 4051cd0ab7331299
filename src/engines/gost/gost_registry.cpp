// The algorithms the "gost" engine offers, in the order its selectors list them.
#include "engines/gost/gost_ciphers.h"
#include "engines/gost/gost_digests.h"
#include "engines/gost/gost_engine.h"
#include "engines/gost/gost_key_methods.h"
#include "engines/gost/gost_kuz_magma.h"

namespace {
using objmap::Obj;

constexpr GostDigestEntry kDigests[] = {
    {Obj::md_gost94, tvk_digest_94},
    {Obj::md_gost12_256, tvk_digest_256},
    {Obj::md_gost12_512, tvk_digest_512},
    {Obj::gost_mac, tvk_imit_gost89},
    {Obj::kuznechik_mac, tvk_digest_kuznechik_mac},
    {Obj::magma_mac, tvk_digest_magma_mac},
};

constexpr GostCipherEntry kCiphers[] = {
    {Obj::gost89, tvk_cipher_gost89},
    {Obj::gost89_cnt, tvk_cipher_gost89_cnt},
    {Obj::gost89_cbc, tvk_cipher_gost89_cbc},
    {Obj::gost89_ecb, tvk_cipher_gost89_ecb},
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
}  // namespace

std::span<const GostDigestEntry> tvk_gost_digest_registry() {
    return kDigests;
}

std::span<const GostCipherEntry> tvk_gost_cipher_registry() {
    return kCiphers;
}

std::span<const objmap::Obj> tvk_gost_pkey_list() {
    using enum objmap::Obj;
    static constexpr objmap::Obj list[] = {gost2001,
                                           gost2012_256,
                                           gost2012_512,
                                           gost_mac,
                                           id_GostR3410_2001DH,
                                           agreement_gost_3410_2012_256,
                                           agreement_gost_3410_2012_512,
                                           kuznechik_mac,
                                           magma_mac};
    return list;
}

std::span<const engine_keys::MethodRow> tvk_gost_pkey_registry() {
    using enum objmap::Obj;
    static constexpr engine_keys::MethodRow rows[] = {
        {gost2001, "GOST2001", "GOST R 34.10-2001"},
        {gost2012_256, "GOST2012_256", "GOST R 34.10-2012-256"},
        {gost2012_512, "GOST2012_512", "GOST R 34.10-2012-512"},
        {gost_mac, "GOST-MAC", "GOST 28147-89 MAC"},
        {kuznechik_mac, "KUZNECHIK-MAC", "KUZNECHIK MAC"},
        {magma_mac, "MAGMA-MAC", "MAGMA MAC"},
        {id_GostR3410_2001DH, "GOST2001 DH", "GOST R 34.10-2001 DH"},
        {agreement_gost_3410_2012_256, "GOST2012_256 DH", "GOST R 34.10-2012-256 DH"},
        {agreement_gost_3410_2012_512, "GOST2012_512 DH", "GOST R 34.10-2012-512 DH"},
    };
    return rows;
}

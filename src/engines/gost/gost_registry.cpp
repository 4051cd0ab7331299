// The algorithms the "gost" engine offers, in the order its selectors list them.
#include "engines/gost/gost_digests.h"
#include "engines/gost/gost_engine.h"

namespace {
using objmap::Obj;

constexpr GostDigestEntry kDigests[] = {
    {Obj::md_gost12_256, tvk_digest_256},
    {Obj::md_gost12_512, tvk_digest_512},
};
}  // namespace

std::span<const GostDigestEntry> tvk_gost_digest_registry() { return kDigests; }

// Ciphers and key methods join as their sources land.
std::span<const GostCipherEntry> tvk_gost_cipher_registry() { return {}; }
std::span<const GostPkeyEntry> tvk_gost_pkey_registry() { return {}; }

// The algorithms the "gost" engine offers, in the order its selectors list them.
#include "engines/gost/gost_engine.h"

std::span<const GostDigestEntry> tvk_gost_digest_registry() { return {}; }

// Ciphers and key methods join as their sources land.
std::span<const GostCipherEntry> tvk_gost_cipher_registry() { return {}; }
std::span<const GostPkeyEntry> tvk_gost_pkey_registry() { return {}; }

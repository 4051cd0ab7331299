// The Kuznyechik and Magma MACs as EVP_MD method tables, keyed through a digest control.
//
// The crypto library initialises a digest before anyone can hand it a key. Such a MAC stays
// unstarted until the key control arrives, so data given to it fails instead of being MACed
// under a key nobody chose.
#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <type_traits>

#include "engines/common/guard.h"
#include "engines/gost/gost_digests.h"
#include "engines/gost/gost_kuz_magma.h"
#include "engines/gost/gost_kuz_magma_family.h"

namespace {

using gostr3413::Kuznechik;
using gostr3413::Magma;
using kuzmagma::Family;
using objmap::Obj;

constexpr int kMacKeyLength = 32;

template <class C>
struct MacData {
    uint8_t key[kMacKeyLength];
    int32_t key_set;
    int32_t nid;
    gostr3413::Mac<C> mac;
};
static_assert(std::is_trivially_copyable_v<MacData<Kuznechik>> &&
                  std::is_trivially_copyable_v<MacData<Magma>>,
              "the crypto library copies digest data byte for byte");

template <class C>
MacData<C>* data_of(const EVP_MD_CTX* ctx) {
    return static_cast<MacData<C>*>(EVP_MD_CTX_md_data(ctx));
}

void say(const char* line) {
    std::fputs(line, stderr);
}

template <class C>
int start(EVP_MD_CTX* ctx) {
    if (kuzmagma::settings_or_report() == nullptr) return 0;
    MacData<C>* d = data_of<C>(ctx);
    if (d == nullptr) return 0;
    if (d->key_set == 0) {
        d->mac = {};
    } else if (Family<C>::mac_init(&d->mac, d->key, Family<C>::mac_length) != GOSTR3413_OK) {
        say(Family<C>::texts.mac_init_failed);
        return 0;
    }
    d->nid = EVP_MD_get_type(EVP_MD_CTX_get0_md(ctx));
    return 1;
}

template <class C>
int mac_init(EVP_MD_CTX* ctx) {
    return engines::guarded("tvk_mac_init", 0, [&] { return start<C>(ctx); });
}

template <class C>
int mac_update(EVP_MD_CTX* ctx, const void* data, size_t count) {
    return engines::guarded("tvk_mac_update", 0, [&] {
        if (count == 0) return 1;
        MacData<C>* d = data_of<C>(ctx);
        if (d == nullptr || Family<C>::mac_update(&d->mac, static_cast<const uint8_t*>(data),
                                                  count) != GOSTR3413_OK) {
            say(Family<C>::texts.mac_update_failed);
            return 0;
        }
        return 1;
    });
}

template <class C>
int mac_final(EVP_MD_CTX* ctx, unsigned char* md) {
    return engines::guarded("tvk_mac_final", 0, [&] {
        const MacData<C>* d = data_of<C>(ctx);
        uint8_t tag[Family<C>::mac_length];
        if (d == nullptr || md == nullptr || Family<C>::mac_final(&d->mac, tag) != GOSTR3413_OK) {
            say(Family<C>::texts.mac_final_failed);
            return 0;
        }
        std::memcpy(md, tag, sizeof tag);
        OPENSSL_cleanse(tag, sizeof tag);
        return 1;
    });
}

// The crypto library has already copied the whole data; the key is named here so that the copy
// stays keyed even if that ever changes.
template <class C>
int mac_copy(EVP_MD_CTX* to, const EVP_MD_CTX* from) {
    return engines::guarded("tvk_mac_copy", 0, [&] {
        MacData<C>* dst = data_of<C>(to);
        const MacData<C>* src = data_of<C>(from);
        if (dst == src) return 1;
        if (dst == nullptr || src == nullptr) return 0;
        std::memcpy(dst->key, src->key, sizeof dst->key);
        return 1;
    });
}

template <class C>
int mac_cleanup(EVP_MD_CTX* ctx) {
    return engines::guarded("tvk_mac_cleanup", 0, [&] {
        if (MacData<C>* d = data_of<C>(ctx)) OPENSSL_cleanse(d, sizeof *d);
        return 1;
    });
}

template <class C>
int mac_ctrl(EVP_MD_CTX* ctx, int cmd, int arg, void* ptr) {
    return engines::guarded("tvk_mac_ctrl", 0, [&] {
        if (cmd == kTvkMacCtrlKeyLength) {
            if (ptr == nullptr) return 0;
            *static_cast<int*>(ptr) = kMacKeyLength;
            return 1;
        }
        if (cmd != kTvkMacCtrlSetKey) return 0;
        if (arg != kMacKeyLength) {
            std::fprintf(stderr, Family<C>::texts.mac_invalid_key_length, arg);
            return 0;
        }
        MacData<C>* d = data_of<C>(ctx);
        if (d == nullptr || ptr == nullptr) return 0;
        std::memcpy(d->key, ptr, sizeof d->key);
        d->key_set = 1;
        return start<C>(ctx);
    });
}

using MacDescriptor = GostDigestDescriptor;

template <class C>
constexpr MacDescriptor describe(Obj type) {
    return {type,
            static_cast<int>(Family<C>::mac_length),
            static_cast<int>(C::block),
            static_cast<int>(sizeof(MacData<C>)),
            mac_init<C>,
            mac_update<C>,
            mac_final<C>,
            mac_copy<C>,
            mac_cleanup<C>,
            mac_ctrl<C>};
}

constexpr MacDescriptor kKuznechikMac = describe<Kuznechik>(Obj::kuznechik_mac);
constexpr MacDescriptor kMagmaMac = describe<Magma>(Obj::magma_mac);

}  // namespace

const EVP_MD* tvk_digest_kuznechik_mac() {
    static const EVP_MD* const md = tvk_make_digest(kKuznechikMac);
    return md;
}

const EVP_MD* tvk_digest_magma_mac() {
    static const EVP_MD* const md = tvk_make_digest(kMagmaMac);
    return md;
}

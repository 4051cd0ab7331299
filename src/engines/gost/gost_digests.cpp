#include "engines/gost/gost_digests.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <type_traits>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engines/common/guard.h"
#include "gost/gostr3411_2012.h"
#include "gost/gostr3411_94.h"

namespace {

using objmap::Obj;

// One constant descriptor per digest; make_md turns it into a method table.
using DigestDescriptor = GostDigestDescriptor;

void report(const char* format, int rc) {
    std::fprintf(stderr, format, static_cast<unsigned>(rc));
}

// The hash calls and failure lines of one digest.
template <class Ctx>
struct HashCalls {
    using Context = Ctx;
    int (*init)(Ctx*);
    int (*update)(Ctx*, const uint8_t*, uint32_t);
    int (*final)(Ctx*, uint8_t*);
    const char* init_failed;
    const char* update_failed;
    const char* final_failed;
    const char* copy_failed;
    const char* cleanup_failed;
};

// GOST R 34.11-94 always runs over the default (CryptoPro) parameter set here. The row is at
// hand, so its table is taken straight from it rather than found again by identifier on every
// initialisation (HMAC and PBKDF2 initialise many times per iteration).
int init_94(GOSTR3411_94_CTX* ctx) {
    const GOSTR3411_94_PARAMS* par = GOSTR3411_94_DefaultPar();
    return par != nullptr ? GOSTR3411_94_Init_ex(ctx, par->tz) : -1;
}

constexpr HashCalls<GOSTR3411_94_CTX> k94{
    init_94,
    GOSTR3411_94_Update,
    GOSTR3411_94_Final,
    "GOSTR3411_94_Init failed, rc = 0x%x\n",
    "GOSTR3411_94_Update failed, rc = 0x%x\n",
    "GOSTR3411_94_Final failed, rc = 0x%x\n",
    "tvk_digest_94_copy: context copy failed, rc = 0x%x\n",
    "tvk_digest_94_cleanup: tvk_digest_94_init failed, rc = 0x%x\n"};
constexpr HashCalls<GOSTR3411_2012_CTX> k256{
    GOSTR3411_2012_256_Init,
    GOSTR3411_2012_256_Update,
    GOSTR3411_2012_256_Final,
    "GOSTR3411_2012_256_Init failed, rc = 0x%x\n",
    "GOSTR3411_256_Update failed, rc = 0x%x\n",
    "GOSTR3411_2012_256_Final failed, rc = 0x%x\n",
    "tvk_digest_256_copy: context copy failed, rc = 0x%x\n",
    "tvk_digest_256_cleanup: tvk_digest_256_init failed, rc = 0x%x\n"};
constexpr HashCalls<GOSTR3411_2012_CTX> k512{
    GOSTR3411_2012_512_Init,
    GOSTR3411_2012_512_Update,
    GOSTR3411_2012_512_Final,
    "GOSTR3411_2012_512_Init failed, rc = 0x%x\n",
    "GOSTR3411_2012_512_Update failed, rc = 0x%x\n",
    "GOSTR3411_2012_512_Final failed, rc = 0x%x\n",
    "tvk_digest_512_copy: context copy failed, rc = 0x%x\n",
    "tvk_digest_512_cleanup: tvk_digest_512_init failed, rc = 0x%x\n"};

template <class Ctx>
Ctx* state_of(const EVP_MD_CTX* ctx) {
    return static_cast<Ctx*>(EVP_MD_CTX_md_data(ctx));
}

template <const auto& S>
int digest_init(EVP_MD_CTX* ctx) {
    return engines::guarded("tvk_digest_init", 0, [&] {
        auto* state = state_of<typename std::remove_cvref_t<decltype(S)>::Context>(ctx);
        int rc = -1;
        if (state != nullptr) {
            std::memset(state, 0, sizeof *state);
            rc = S.init(state);
        }
        if (rc != 0) report(S.init_failed, rc);
        return rc == 0 ? 1 : 0;
    });
}

template <const auto& S>
int digest_update(EVP_MD_CTX* ctx, const void* data, size_t count) {
    return engines::guarded("tvk_digest_update", 0, [&] {
        if (count == 0) return 1;
        auto* state = state_of<typename std::remove_cvref_t<decltype(S)>::Context>(ctx);
        const int rc = engines::detail::update_in_pieces(
            static_cast<const uint8_t*>(data), count, engines::detail::kUpdatePiece,
            [state](const uint8_t* p, uint32_t n) { return state ? S.update(state, p, n) : -1; });
        if (rc != 0) report(S.update_failed, rc);
        return rc == 0 ? 1 : 0;
    });
}

template <const auto& S>
int digest_final(EVP_MD_CTX* ctx, unsigned char* md) {
    return engines::guarded("tvk_digest_final", 0, [&] {
        // Success without a place for the digest would report bytes that were never written.
        if (md == nullptr) return 0;
        auto* state = state_of<typename std::remove_cvref_t<decltype(S)>::Context>(ctx);
        const int rc = state != nullptr ? S.final(state, md) : -1;
        if (rc != 0) report(S.final_failed, rc);
        return rc == 0 ? 1 : 0;
    });
}

// The states hold nothing of their own beyond their bytes (GOST R 34.11-94 refers to its
// parameter set's shared table), so a byte copy is a whole, independent context and nothing is
// built again. The crypto library has usually copied the bytes already; copying them here keeps
// the slot correct for any caller.
template <const auto& S>
int digest_copy(EVP_MD_CTX* to, const EVP_MD_CTX* from) {
    return engines::guarded("tvk_digest_copy", 0, [&] {
        auto* src = state_of<typename std::remove_cvref_t<decltype(S)>::Context>(from);
        auto* dst = state_of<typename std::remove_cvref_t<decltype(S)>::Context>(to);
        if (src == dst) return 1;
        if (src == nullptr || dst == nullptr) {
            report(S.copy_failed, dst == nullptr ? -1 : 0);
            return 0;
        }
        std::memcpy(dst, src, sizeof *dst);
        return 1;
    });
}

// What the state held of the message or of an HMAC key is wiped, and a fresh state (public
// constants only) takes its place: a cleaned context still finishes as an empty message.
template <const auto& S>
int digest_cleanup(EVP_MD_CTX* ctx) {
    return engines::guarded("tvk_digest_cleanup", 0, [&] {
        auto* state = state_of<typename std::remove_cvref_t<decltype(S)>::Context>(ctx);
        // A context the library never gave data to has nothing to reset.
        if (state == nullptr) return 1;
        OPENSSL_cleanse(state, sizeof *state);
        const int rc = S.init(state);
        if (rc != 0) report(S.cleanup_failed, rc);
        return rc == 0 ? 1 : 0;
    });
}

template <const auto& S>
constexpr DigestDescriptor describe(Obj type, int md_size, int block_size) {
    using Context = typename std::remove_cvref_t<decltype(S)>::Context;
    return {type,
            md_size,
            block_size,
            static_cast<int>(sizeof(Context)),
            digest_init<S>,
            digest_update<S>,
            digest_final<S>,
            digest_copy<S>,
            digest_cleanup<S>,
            nullptr};
}

constexpr DigestDescriptor kDigest94 = describe<k94>(Obj::md_gost94, 32, 32);
constexpr DigestDescriptor kDigest256 = describe<k256>(Obj::md_gost12_256, 32, 64);
constexpr DigestDescriptor kDigest512 = describe<k512>(Obj::md_gost12_512, 64, 64);

}  // namespace

EVP_MD* tvk_make_digest(const GostDigestDescriptor& d) {
    ossl::MdMeth owned(EVP_MD_meth_new(objmap::nid(d.type), NID_undef));
    EVP_MD* md = owned.get();
    if (md == nullptr) return nullptr;
    if (EVP_MD_meth_set_result_size(md, d.md_size) &&
        EVP_MD_meth_set_input_blocksize(md, d.block_size) &&
        EVP_MD_meth_set_app_datasize(md, d.ctx_size) && EVP_MD_meth_set_init(md, d.init) &&
        EVP_MD_meth_set_update(md, d.update) && EVP_MD_meth_set_final(md, d.final) &&
        EVP_MD_meth_set_copy(md, d.copy) && EVP_MD_meth_set_cleanup(md, d.cleanup) &&
        (d.ctrl == nullptr || EVP_MD_meth_set_ctrl(md, d.ctrl)))
        return owned.release();
    return nullptr;
}

// The tables live as long as the process: the crypto library keeps pointers to them in its
// name table, which it clears only at exit.
const EVP_MD* tvk_digest_94() {
    static const EVP_MD* const md = tvk_make_digest(kDigest94);
    return md;
}

const EVP_MD* tvk_digest_256() {
    static const EVP_MD* const md = tvk_make_digest(kDigest256);
    return md;
}

const EVP_MD* tvk_digest_512() {
    static const EVP_MD* const md = tvk_make_digest(kDigest512);
    return md;
}

// GOST R 34.10 signatures and VKO: the contract edges (digest zero modulo q, out-of-range and
// swapped signature halves, failing random sources, bad public keys and peer points) and
// cross-verification with nettle and libgcrypt in both directions.
#include <random>

#include "gost/gost28147_params.h"
#include "gost/gostr3411_2012.h"
#include "gostr3410_peers.h"
#include "gostr3410_test_util.h"

using namespace gost_test;
using testing_support::Bytes;
using testing_support::from_hex;
using testing_support::to_hex;
using testing_support::VectorBlock;
using testing_support::VectorFile;

namespace {

using S256 = Size256;
using S512 = Size512;

int zero_random(unsigned char* buf, size_t len) {
    memset(buf, 0, len);
    return 0;
}

template <class S>
struct Key {
    std::vector<DIGIT_T> d = std::vector<DIGIT_T>(S::ND);
    typename S::Point q{};
};

template <class S>
Key<S> new_key(const typename S::Params* c) {
    Key<S> k;
    EXPECT_EQ(0, S::keygen(c, system_random, k.d.data(), &k.q));
    return k;
}

template <class S>
void signature_contract(const typename S::Params* c) {
    constexpr size_t ND = S::ND, L = S::L;
    Key<S> k = new_key<S>(c);
    EXPECT_EQ(0, S::check(c, &k.q));
    std::vector<DIGIT_T> e(ND), sig(2 * ND), bad(2 * ND);
    Bytes digest(L);
    system_random(digest.data(), L);
    S::load_digest(e.data(), digest.data());
    ASSERT_EQ(0, S::sign(c, e.data(), system_random, k.d.data(), sig.data()));
    EXPECT_EQ(0, S::verify(c, e.data(), &k.q, sig.data()));
    // A flipped digest bit, swapped halves in the byte form, a public key with y + 1.
    e[0] ^= 1;
    EXPECT_EQ(-1, S::verify(c, e.data(), &k.q, sig.data()));
    e[0] ^= 1;
    Bytes bytes(2 * L), swapped(2 * L);
    S::unload_sig(bytes.data(), sig.data());
    std::copy(bytes.begin() + L, bytes.end(), swapped.begin());
    std::copy(bytes.begin(), bytes.begin() + L, swapped.begin() + L);
    S::load_sig(bad.data(), swapped.data());
    EXPECT_EQ(-1, S::verify(c, e.data(), &k.q, bad.data()));
    typename S::Point q1 = k.q;
    DIGIT_T one[ND] = {1};
    mpAdd(q1.y, q1.y, one, ND);
    EXPECT_EQ(-1, S::check(c, &q1));
    EXPECT_EQ(-1, S::verify(c, e.data(), &q1, sig.data()));
    // r or s equal to 0, q, or q + r: refused before any arithmetic.
    for (int half = 0; half < 2; ++half) {
        DIGIT_T* v = bad.data() + half * ND;
        bad = sig;
        mpSetZero(v, ND);
        EXPECT_EQ(-1, S::verify(c, e.data(), &k.q, bad.data()));
        mpSetEqual(v, c->q, ND);
        EXPECT_EQ(-1, S::verify(c, e.data(), &k.q, bad.data()));
        mpAdd(v, c->q, sig.data() + half * ND, ND);
        EXPECT_EQ(-1, S::verify(c, e.data(), &k.q, bad.data()));
    }
    // A digest that is zero modulo q is signed as e = 1.
    std::vector<DIGIT_T> eq(c->q, c->q + ND), e1(ND);
    e1[0] = 1;
    ASSERT_EQ(0, S::sign(c, eq.data(), system_random, k.d.data(), sig.data()));
    EXPECT_EQ(0, S::verify(c, e1.data(), &k.q, sig.data()));
    std::vector<DIGIT_T> ezero(ND);
    EXPECT_EQ(0, S::verify(c, ezero.data(), &k.q, sig.data()));
    // Random sources that fail or never give a usable number end the call with a code.
    EXPECT_EQ(-3, S::sign(c, e.data(), failing_random, k.d.data(), sig.data()));
    EXPECT_EQ(-3, S::sign(c, e.data(), zero_random, k.d.data(), sig.data()));
    EXPECT_EQ(-2, S::sign(c, e.data(), nullptr, k.d.data(), sig.data()));
    Key<S> k2;
    EXPECT_EQ(S::kKeygenRandomFailure, S::keygen(c, failing_random, k2.d.data(), &k2.q));
    EXPECT_EQ(S::kKeygenRandomFailure, S::keygen(c, zero_random, k2.d.data(), &k2.q));
    EXPECT_EQ(-2, S::keygen(c, system_random, nullptr, &k2.q));
}

}  // namespace

TEST(Gostr3410, ByteFormsOfKeysAndSignatures) {
    unsigned char in[32] = {1}, out[32];
    DIGIT_T d[EC256_DIGITS];
    ASSERT_EQ(0, GOSTR3410_2012_256_LoadPrivateKeyValue(d, in));
    DIGIT_T one[EC256_DIGITS] = {1};
    EXPECT_TRUE(mpEqual(d, one, EC256_DIGITS));
    ASSERT_EQ(0, GOSTR3410_2001_UnloadPrivateKeyValue(out, d));
    EXPECT_EQ(0, memcmp(in, out, 32));
    // s first, then r, each big-endian.
    unsigned char sig[64] = {};
    sig[31] = 2;  // s = 2
    sig[63] = 3;  // r = 3
    DIGIT_T rs[2 * EC256_DIGITS];
    ASSERT_EQ(0, GOSTR3410_2012_256_LoadSignatureValue(rs, sig));
    EXPECT_EQ(3u, rs[0]);
    EXPECT_EQ(2u, rs[EC256_DIGITS]);
    EXPECT_EQ(-2, GOSTR3410_2012_256_LoadSignatureValue(rs, nullptr));
    EXPECT_EQ(-2, GOSTR3410_2012_512_LoadPrivateKeyValue(nullptr, in));
    EXPECT_EQ(-2, GOSTR3410_2012_512_UnloadPublicKeyValue(nullptr, nullptr));
    // Random scalars: a failing source, no source.
    EXPECT_EQ(-2, Getbig_RND(failing_random, d, GOSTR3410_2012_256_PARAMS[1].q));
    EXPECT_EQ(-1, Getbig_RND(nullptr, d, GOSTR3410_2012_256_PARAMS[1].q));
    DIGIT_T d17[EC512_DIGITS];
    EXPECT_EQ(-1, Getbig_RND_n(failing_random, d17, GOSTR3410_2012_512_PARAMS[1].q, EC512_DIGITS));
}

TEST(Gostr3410, SignatureContractOnEverySet) {
    for (const auto& c : GOSTR3410_2012_256_PARAMS) {
        SCOPED_TRACE(c.name2);
        signature_contract<S256>(&c);
    }
    for (const auto& c : GOSTR3410_2012_512_PARAMS) {
        SCOPED_TRACE(c.name);
        signature_contract<S512>(&c);
    }
}

template <class S>
void libgcrypt_both_ways(const typename S::Params* c, const char* gname) {
    SCOPED_TRACE(gname);
    constexpr size_t ND = S::ND;
    Key<S> k = new_key<S>(c);
    std::vector<DIGIT_T> e(ND), sig(2 * ND);
    Bytes digest(S::L);
    for (int i = 0; i < 2; ++i) {
        system_random(digest.data(), digest.size());
        S::load_digest(e.data(), digest.data());
        std::vector<DIGIT_T> er(ND);
        mpModulo(er.data(), e.data(), ND, c->q, ND);
        if (mpIsZero(er.data(), ND)) er[0] = 1;
        ASSERT_EQ(0, S::sign(c, e.data(), system_random, k.d.data(), sig.data()));
        gost_peers::Sig ours{hex_of(sig.data(), ND), hex_of(sig.data() + ND, ND)};
        EXPECT_TRUE(gost_peers::gcrypt_verify(gname, hex_of(k.q.x, ND), hex_of(k.q.y, ND),
                                              hex_of(er.data(), ND), ours));
        auto theirs = gost_peers::gcrypt_sign(gname, hex_of(k.d.data(), ND), hex_of(er.data(), ND));
        auto r = num(theirs.r, ND), s = num(theirs.s, ND);
        std::copy(r.begin(), r.end(), sig.begin());
        std::copy(s.begin(), s.end(), sig.begin() + ND);
        EXPECT_EQ(0, S::verify(c, e.data(), &k.q, sig.data()));
        sig[ND] ^= 4;
        EXPECT_EQ(-1, S::verify(c, e.data(), &k.q, sig.data()));
    }
}

TEST(Gostr3410, LibgcryptVerifiesOursAndWeVerifyTheirsOnEveryCurve) {
    for (size_t i = 0; i < S256::kCount; ++i)
        libgcrypt_both_ways<S256>(&S256::kTable[i], S256::kGcrypt[i]);
    each_product_form([] {
        for (size_t i = 0; i < S512::kCount; ++i)
            libgcrypt_both_ways<S512>(&S512::kTable[i], S512::kGcrypt[i]);
    });
}

template <class S>
void nettle_both_ways(const typename S::Params* c, const char* curve) {
    SCOPED_TRACE(curve);
    constexpr size_t ND = S::ND;
    Key<S> k = new_key<S>(c);
    const std::string x = hex_of(k.q.x, ND), y = hex_of(k.q.y, ND);
    std::vector<DIGIT_T> e(ND), sig(2 * ND);
    Bytes digest(S::L);
    for (int i = 0; i < 3; ++i) {
        system_random(digest.data(), digest.size());
        S::load_digest(e.data(), digest.data());  // nettle reads the same bytes little-endian
        ASSERT_EQ(0, S::sign(c, e.data(), system_random, k.d.data(), sig.data()));
        EXPECT_TRUE(gost_peers::nettle_verify(
            curve, x, y, digest, {hex_of(sig.data(), ND), hex_of(sig.data() + ND, ND)}));
        auto theirs = gost_peers::nettle_sign(curve, hex_of(k.d.data(), ND), digest);
        auto r = num(theirs.r, ND), s = num(theirs.s, ND);
        std::copy(r.begin(), r.end(), sig.begin());
        std::copy(s.begin(), s.end(), sig.begin() + ND);
        EXPECT_EQ(0, S::verify(c, e.data(), &k.q, sig.data()));
    }
    // VKO: both libraries derive the same point bytes, hashed to the same KEK.
    Key<S> peer = new_key<S>(c);
    for (size_t ukm_len : {size_t{8}, size_t{16}, S::L}) {
        Bytes ukm(ukm_len);
        system_random(ukm.data(), ukm.size());
        Bytes kx = gost_peers::nettle_vko(curve, hex_of(k.d.data(), ND), hex_of(peer.q.x, ND),
                                          hex_of(peer.q.y, ND), ukm);
        unsigned char want[32], got[32];
        ASSERT_EQ(0,
                  GOSTR3411_2012_256_Transform(kx.data(), static_cast<uint32_t>(kx.size()), want));
        ASSERT_EQ(0, S::vko(c, ukm.data(), ukm.size(), k.d.data(), &peer.q, got));
        EXPECT_EQ(to_hex(want, 32), to_hex(got, 32)) << ukm_len;
    }
}

TEST(Gostr3410, NettleAgreesOnSignaturesAndVko) {
    nettle_both_ways<S256>(GOSTR3410_2012_256_DefaultPar(), "gc256b");
    each_product_form([] { nettle_both_ways<S512>(GOSTR3410_2012_512_DefaultPar(), "gc512a"); });
}

template <class S>
void vko_contract(const typename S::Params* c) {
    constexpr size_t ND = S::ND, L = S::L;
    Key<S> a = new_key<S>(c), b = new_key<S>(c);
    Bytes ukm = {1, 2, 3, 4, 5, 6, 7, 8};
    unsigned char ka[32], kb[32];
    ASSERT_EQ(0, S::vko(c, ukm.data(), ukm.size(), a.d.data(), &b.q, ka));
    ASSERT_EQ(0, S::vko(c, ukm.data(), ukm.size(), b.d.data(), &a.q, kb));
    EXPECT_EQ(to_hex(ka, 32), to_hex(kb, 32));
    // UKM lengths outside 1 .. L.
    Bytes long_ukm(L + 1, 1);
    EXPECT_EQ(-1, S::vko(c, ukm.data(), 0, a.d.data(), &b.q, ka));
    EXPECT_EQ(-1, S::vko(c, long_ukm.data(), long_ukm.size(), a.d.data(), &b.q, ka));
    EXPECT_EQ(0, S::vko(c, long_ukm.data(), L, a.d.data(), &b.q, ka));
    // A UKM that is a multiple of q makes the scalar zero.
    Bytes uq(L);
    for (size_t i = 0; i < L; ++i) uq[i] = static_cast<unsigned char>(c->q[i / 4] >> (8 * (i % 4)));
    EXPECT_EQ(-1, S::vko(c, uq.data(), uq.size(), a.d.data(), &b.q, ka));
    // Peer points: off the curve, infinity, a coordinate not reduced below p.
    typename S::Point bad = b.q;
    bad.y[0] ^= 1;
    EXPECT_EQ(-1, S::vko(c, ukm.data(), ukm.size(), a.d.data(), &bad, ka));
    typename S::Point inf{};
    EXPECT_EQ(-1, S::vko(c, ukm.data(), ukm.size(), a.d.data(), &inf, ka));
    bad = b.q;
    if (mpAdd(bad.x, bad.x, c->p, ND) == 0 && bad.x[ND - 1] == 0) {  // x + p still fits L bytes
        EXPECT_EQ(-1, S::vko(c, ukm.data(), ukm.size(), a.d.data(), &bad, ka));
    }
    bad = b.q;
    mpAdd(bad.y, bad.y, c->p, ND);  // spare digit keeps y + p representable
    EXPECT_EQ(-1, S::vko(c, ukm.data(), ukm.size(), a.d.data(), &bad, ka));
    EXPECT_EQ(-1, S::vko(c, ukm.data(), ukm.size(), nullptr, &b.q, ka));
}

TEST(Gostr3410, VkoBothSidesAgreeAndBadPeersAreRefused) {
    for (const auto& c : GOSTR3410_2012_256_PARAMS) {
        SCOPED_TRACE(c.name2);
        vko_contract<S256>(&c);  // includes the cofactor-4 paramSetA
    }
    for (const auto& c : GOSTR3410_2012_512_PARAMS) {
        SCOPED_TRACE(c.name);
        vko_contract<S512>(&c);  // includes the cofactor-4 paramSetC
    }
    // The GOST R 34.11-94 variant: both sides agree; bounded UKM; the hash set is required.
    {
        const auto* c = GOSTR3410_2012_256_DefaultPar();
        Key<S256> a = new_key<S256>(c), b = new_key<S256>(c);
        const GOSTR3411_94_PARAMS* hp = GOSTR3411_94_DefaultPar();
        unsigned char ka[32], kb[32], ukm[33] = {1, 2, 3, 4, 5, 6, 7, 8};
        ASSERT_EQ(0, GOSTR3410_2001_VKO(c, hp, ukm, 8, a.d.data(), &b.q, ka));
        ASSERT_EQ(0, GOSTR3410_2001_VKO(c, hp, ukm, 8, b.d.data(), &a.q, kb));
        EXPECT_EQ(to_hex(ka, 32), to_hex(kb, 32));
        EXPECT_EQ(-1, GOSTR3410_2001_VKO(c, hp, ukm, 33, a.d.data(), &b.q, ka));
        EXPECT_EQ(-1, GOSTR3410_2001_VKO(c, hp, ukm, 0, a.d.data(), &b.q, ka));
        EXPECT_EQ(-1, GOSTR3410_2001_VKO(c, nullptr, ukm, 8, a.d.data(), &b.q, ka));
        ep_point off = b.q;
        off.x[0] ^= 1;
        EXPECT_EQ(-1, GOSTR3410_2001_VKO(c, hp, ukm, 8, a.d.data(), &off, ka));
    }
    // The point form: zero scalar from the UKM number itself.
    const auto* c = GOSTR3410_2012_256_DefaultPar();
    Key<S256> a = new_key<S256>(c);
    ep_point K;
    EXPECT_EQ(-1, GOSTR3410_2001_VKO_point(c, c->q, a.d.data(), &a.q, &K));
}

TEST(Gostr3410, VkoPublishedAndConfirmedValues) {
    VectorFile("gostr3410_vko.txt").each([](const VectorBlock& b) {
        b.text("name");
        b.text("source");
        b.text("confirmed");
        const std::string hash = b.text("hash");
        Bytes ukm = from_hex(b.text("ukm"));
        Bytes ukm_be(ukm.rbegin(), ukm.rend());
        EXPECT_EQ(b.text("ukm_int"), to_hex(ukm_be));
        Bytes prv_a = from_hex(b.text("prv_a")), prv_b = from_hex(b.text("prv_b"));
        Bytes pub_a = from_hex(b.text("pub_a")), pub_b = from_hex(b.text("pub_b"));
        EXPECT_EQ(b.text("prv_a_int"), to_hex(Bytes(prv_a.rbegin(), prv_a.rend())));
        EXPECT_EQ(b.text("prv_b_int"), to_hex(Bytes(prv_b.rbegin(), prv_b.rend())));
        const Bytes point_K = from_hex(b.text("point_K"));
        const Bytes kek = from_hex(b.text("kek"));
        const std::string curve = b.text("curve");
        Bytes kx(point_K.size());
        if (const auto* c = find256(curve)) {
            DIGIT_T da[EC256_DIGITS], db[EC256_DIGITS], u[EC256_DIGITS] = {};
            ep_point qa, qb, K, gen;
            GOSTR3410_2012_256_LoadPrivateKeyValue(da, prv_a.data());
            GOSTR3410_2012_256_LoadPrivateKeyValue(db, prv_b.data());
            GOSTR3410_2012_256_LoadPublicKeyValue(&qa, pub_a.data());
            GOSTR3410_2012_256_LoadPublicKeyValue(&qb, pub_b.data());
            ASSERT_EQ(0, GOSTR3410_2012_256_GeneratePublicKey(c, da, &gen));
            EXPECT_EQ(0, memcmp(&gen, &qa, sizeof gen));
            mpConvFromOctets(u, EC256_DIGITS, ukm_be.data(), ukm_be.size());
            ASSERT_EQ(0, GOSTR3410_2001_VKO_point(c, u, db, &qa, &K));  // B's side
            GOSTR3410_2012_256_UnloadPublicKeyValue(kx.data(), &K);
            EXPECT_EQ(to_hex(point_K), to_hex(kx));
            unsigned char out[32];
            if (hash == "streebog256") {
                ASSERT_EQ(0, GOSTR3410_2012_256_VKO_256(c, ukm.data(), ukm.size(), da, &qb, out));
            } else {  // GOST R 34.11-94 with the CryptoPro parameter set
                ASSERT_EQ(0, GOSTR3410_2001_VKO(c, GOSTR3411_94_DefaultPar(), ukm.data(),
                                                ukm.size(), da, &qb, out));
            }
            EXPECT_EQ(to_hex(kek), to_hex(out, 32));
        } else {
            const auto* c5 = find512(curve);
            ASSERT_NE(nullptr, c5);
            DIGIT_T da[EC512_DIGITS], db[EC512_DIGITS];
            dep_point qa, qb, gen;
            GOSTR3410_2012_512_LoadPrivateKeyValue(da, prv_a.data());
            GOSTR3410_2012_512_LoadPrivateKeyValue(db, prv_b.data());
            GOSTR3410_2012_512_LoadPublicKeyValue(&qa, pub_a.data());
            GOSTR3410_2012_512_LoadPublicKeyValue(&qb, pub_b.data());
            ASSERT_EQ(0, GOSTR3410_2012_512_GeneratePublicKey(c5, db, &gen));
            EXPECT_EQ(0, memcmp(&gen, &qb, sizeof gen));
            EXPECT_EQ(b.text("pub_a_x") + b.text("pub_a_y"),
                      hex_of(qa.x, EC512_DIGITS) + hex_of(qa.y, EC512_DIGITS));
            EXPECT_EQ(b.text("pub_b_x") + b.text("pub_b_y"),
                      hex_of(qb.x, EC512_DIGITS) + hex_of(qb.y, EC512_DIGITS));
            unsigned char out[32], out_b[32];
            ASSERT_EQ(0, GOSTR3410_2012_512_VKO_256(c5, ukm.data(), ukm.size(), da, &qb, out));
            ASSERT_EQ(0, GOSTR3410_2012_512_VKO_256(c5, ukm.data(), ukm.size(), db, &qa, out_b));
            EXPECT_EQ(to_hex(out, 32), to_hex(out_b, 32));
            Bytes h(hash == "streebog256" ? 32 : 64);
            ASSERT_EQ(0, GOSTR3411_2012_Transform(static_cast<uint32_t>(h.size()), point_K.data(),
                                                  static_cast<uint32_t>(point_K.size()), h.data()));
            EXPECT_EQ(to_hex(kek), to_hex(h));  // the vector's own point and KEK agree
            if (hash == "streebog256") {
                EXPECT_EQ(to_hex(kek), to_hex(out, 32));
            }
            // The point itself: ((m/q) ukm d_b mod q) Q_a through the public point functions.
            DIGIT_T u[EC512_DIGITS] = {}, t[EC512_DIGITS], cof[EC512_DIGITS] = {},
                    rem[EC512_DIGITS];
            mpConvFromOctets(u, EC512_DIGITS, ukm_be.data(), ukm_be.size());
            mpDivide(cof, rem, c5->m, EC512_DIGITS, c5->q, EC512_DIGITS);
            mpModMult(t, cof, u, c5->q, EC512_DIGITS);
            mpModMult(t, t, db, c5->q, EC512_DIGITS);
            dep_point K;
            ASSERT_EQ(0, depMultProj(&K, &qa, t, c5));
            GOSTR3410_2012_512_UnloadPublicKeyValue(kx.data(), &K);
            EXPECT_EQ(to_hex(point_K), to_hex(kx));
        }
    });
}

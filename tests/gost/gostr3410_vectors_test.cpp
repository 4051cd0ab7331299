// Published and independently confirmed GOST R 34.10 vectors: parameter sets, the worked examples
// and one fixed-nonce, one foreign and one corrupted signature per curve.
#include "gost/gost28147_params.h"
#include "gost/gostr3411_2012.h"
#include "gost/gostr3411_94.h"
#include "gostr3410_test_util.h"

using namespace gost_test;
using testing_support::Bytes;
using testing_support::from_hex;
using testing_support::to_hex;
using testing_support::VectorBlock;
using testing_support::VectorFile;

namespace {

struct AnyCurve {
    const gostr3410_256_params* p256 = nullptr;
    const gostr3410_512_params* p512 = nullptr;
    size_t nd() const { return p256 ? EC256_DIGITS : EC512_DIGITS; }
    size_t bytes() const { return p256 ? 32 : 64; }
    // a, b, p, m, q, x, y lead both record types as consecutive digit arrays.
    const DIGIT_T* field(char which) const {
        const size_t i = std::string("abpmqxy").find(which);
        return (p256 ? p256->a : p512->a) + i * nd();
    }
};

AnyCurve curve_of(const std::string& dotted) {
    AnyCurve c;
    c.p256 = find256(dotted);
    if (!c.p256) c.p512 = find512(dotted);
    return c;
}

void expect_field(const AnyCurve& c, const VectorBlock& b, char which) {
    auto want = num(b.text(std::string(1, which)), c.nd());
    EXPECT_EQ(0, mpCompare(want.data(), c.field(which), c.nd())) << b.where() << " field " << which;
}

Bytes le_of_be(Bytes b) {
    std::reverse(b.begin(), b.end());
    return b;
}

struct KeySig {
    AnyCurve c;
    std::vector<DIGIT_T> e, sig;
    ep_point q256{};
    dep_point q512{};
};

int verify(const KeySig& k) {
    return k.c.p256 ? GOSTR3410_2012_256_Verify(k.c.p256, k.e.data(), &k.q256, k.sig.data())
                    : GOSTR3410_2012_512_Verify(k.c.p512, k.e.data(), &k.q512, k.sig.data());
}

// Loads digest/e, public key and signature of a signature block through the byte forms.
KeySig load_signature_block(const VectorBlock& b, const AnyCurve& c) {
    KeySig k;
    k.c = c;
    const size_t nd = c.nd(), L = c.bytes();
    k.e.assign(nd, 0);
    k.sig.assign(2 * nd, 0);
    Bytes e_be = from_hex(b.text("e"));
    if (b.has("digest")) {
        Bytes digest = from_hex(b.text("digest"));
        EXPECT_EQ(L, digest.size());
        if (c.p256)
            GOSTR3410_2012_256_LoadDigestValue(k.e.data(), digest.data());
        else
            GOSTR3410_2012_512_LoadDigestValue(k.e.data(), digest.data());
        // The block's e is the digest read little-endian and reduced modulo q.
        std::vector<DIGIT_T> red(nd);
        mpModulo(red.data(), k.e.data(), nd, c.field('q'), nd);
        EXPECT_EQ(to_hex(e_be), to_hex(be(red.data(), nd, L))) << b.where();
    } else {
        k.e = num(e_be, nd);
    }
    Bytes pub = from_hex(b.text("pub_le"));
    EXPECT_EQ(to_hex(pub), to_hex(le_of_be(from_hex(b.text("pub_x")))) +
                               to_hex(le_of_be(from_hex(b.text("pub_y")))));
    Bytes sig = from_hex(b.text("sig"));
    EXPECT_EQ(to_hex(sig), b.text("s") + b.text("r"));
    if (c.p256) {
        EXPECT_EQ(0, GOSTR3410_2012_256_LoadPublicKeyValue(&k.q256, pub.data()));
        EXPECT_EQ(0, GOSTR3410_2012_256_LoadSignatureValue(k.sig.data(), sig.data()));
    } else {
        EXPECT_EQ(0, GOSTR3410_2012_512_LoadPublicKeyValue(&k.q512, pub.data()));
        EXPECT_EQ(0, GOSTR3410_2012_512_LoadSignatureValue(k.sig.data(), sig.data()));
    }
    return k;
}

// Re-signs with the block's nonce and private key; the result must be the block's signature.
void resign(const VectorBlock& b, const KeySig& k) {
    const size_t nd = k.c.nd(), L = k.c.bytes();
    Bytes prv_le = from_hex(b.text("prv_le"));
    EXPECT_EQ(to_hex(prv_le), to_hex(le_of_be(from_hex(b.text("prv")))));
    std::vector<DIGIT_T> d(nd), sig(2 * nd);
    Bytes pub(2 * L), out(2 * L);
    ScriptedRandom::clear();
    ScriptedRandom::push_scalar(from_hex(b.text("k")), nd);
    if (k.c.p256) {
        ep_point q;
        GOSTR3410_2012_256_LoadPrivateKeyValue(d.data(), prv_le.data());
        EXPECT_EQ(0, GOSTR3410_2012_256_GeneratePublicKey(k.c.p256, d.data(), &q));
        GOSTR3410_2012_256_UnloadPublicKeyValue(pub.data(), &q);
        EXPECT_EQ(0, GOSTR3410_2012_256_Sign(k.c.p256, k.e.data(), ScriptedRandom::call, d.data(),
                                             sig.data()));
        GOSTR3410_2012_256_UnloadSignatureValue(out.data(), sig.data());
    } else {
        dep_point q;
        GOSTR3410_2012_512_LoadPrivateKeyValue(d.data(), prv_le.data());
        EXPECT_EQ(0, GOSTR3410_2012_512_GeneratePublicKey(k.c.p512, d.data(), &q));
        GOSTR3410_2012_512_UnloadPublicKeyValue(pub.data(), &q);
        EXPECT_EQ(0, GOSTR3410_2012_512_Sign(k.c.p512, k.e.data(), ScriptedRandom::call, d.data(),
                                             sig.data()));
        GOSTR3410_2012_512_UnloadSignatureValue(out.data(), sig.data());
    }
    EXPECT_EQ(b.text("pub_le"), to_hex(pub)) << b.where();
    EXPECT_EQ(b.text("sig"), to_hex(out)) << b.where();
}

void parameter_set_block(const VectorBlock& b) {
    b.text("name");
    b.text("source");
    b.text("confirmed");
    b.text("libgcrypt");  // compared with libgcrypt itself in the curve tests
    AnyCurve c = curve_of(b.text("curve"));
    ASSERT_TRUE(c.p256 || c.p512) << b.where();
    EXPECT_EQ(b.number("bits"), c.p256 ? 256u : 512u);
    for (char f : std::string("abpmqxy")) expect_field(c, b, f);
    std::vector<DIGIT_T> quot(c.nd()), rem(c.nd());
    mpDivide(quot.data(), rem.data(), c.field('m'), c.nd(), c.field('q'), c.nd());
    EXPECT_TRUE(mpIsZero(rem.data(), c.nd()));
    EXPECT_EQ(b.number("cofactor"), quot[0]);
    if (b.has("alias_oid")) {
        std::string alias = b.text("alias_oid");
        AnyCurve a = curve_of(alias.substr(0, alias.find(' ')));
        ASSERT_TRUE(a.p256 != nullptr) << alias;
        for (char f : std::string("abpmqxy"))
            EXPECT_EQ(0, mpCompare(a.field(f), c.field(f), c.nd())) << alias;
    }
}

void worked_example_block(const VectorBlock& b) {
    b.text("name");
    b.text("source");
    b.text("confirmed");
    AnyCurve c = curve_of(b.text("curve"));
    ASSERT_TRUE(c.p256 || c.p512);
    for (char f : std::string("abpmqxy")) expect_field(c, b, f);
    KeySig k = load_signature_block(b, c);
    EXPECT_EQ("valid", b.text("expect"));
    EXPECT_EQ(0, verify(k)) << b.where();
    resign(b, k);
    const size_t nd = c.nd(), L = c.bytes();
    // C = k P through the public point interface.
    auto kk = num(b.text("k"), nd);
    Bytes cx, cy;
    if (c.p256) {
        ep_point C;
        ASSERT_EQ(0, epMultPP(&C, kk.data(), c.p256));
        cx = be(C.x, nd, L);
        cy = be(C.y, nd, L);
    } else {
        dep_point C;
        ASSERT_EQ(0, depMultPP(&C, kk.data(), c.p512));
        cx = be(C.x, nd, L);
        cy = be(C.y, nd, L);
    }
    EXPECT_EQ(b.text("C_x"), to_hex(cx));
    EXPECT_EQ(b.text("C_y"), to_hex(cy));
    if (b.has("v")) {  // verification intermediates: v = 1/e, z1 = s v, z2 = -r v
        auto e = num(b.text("e"), nd), q = std::vector<DIGIT_T>(c.field('q'), c.field('q') + nd);
        std::vector<DIGIT_T> v(nd), z(nd), t(nd);
        ASSERT_EQ(0, mpModInv(v.data(), e.data(), q.data(), nd));
        EXPECT_EQ(b.text("v"), to_hex(be(v.data(), nd, L)));
        mpModMult(z.data(), num(b.text("s"), nd).data(), v.data(), q.data(), nd);
        EXPECT_EQ(b.text("z1"), to_hex(be(z.data(), nd, L)));
        mpModMult(t.data(), num(b.text("r"), nd).data(), v.data(), q.data(), nd);
        mpSubtract(z.data(), q.data(), t.data(), nd);
        EXPECT_EQ(b.text("z2"), to_hex(be(z.data(), nd, L)));
    }
}

void signature_block(const VectorBlock& b) {
    b.text("name");
    b.text("source");
    b.text("confirmed");
    AnyCurve c = curve_of(b.text("curve"));
    ASSERT_TRUE(c.p256 || c.p512);
    Bytes msg = from_hex(b.text("msg"));
    EXPECT_EQ(b.text("msg_ascii"), std::string(msg.begin(), msg.end()));
    const std::string hash = b.text("hash");
    Bytes dg(hash == "streebog512" ? 64 : 32);
    if (hash == "gostr3411-94-cryptopro") {
        const GOSTR3411_94_PARAMS* hp = GOSTR3411_94_DefaultPar();
        ASSERT_EQ(0, GOSTR3411_94_Transform(hp->der, hp->der_len, msg.data(),
                                            static_cast<uint32_t>(msg.size()), dg.data()));
    } else {
        ASSERT_EQ(0, GOSTR3411_2012_Transform(static_cast<uint32_t>(dg.size()), msg.data(),
                                              static_cast<uint32_t>(msg.size()), dg.data()));
    }
    EXPECT_EQ(b.text("digest"), to_hex(dg));
    KeySig k = load_signature_block(b, c);
    const bool valid = b.text("expect") == "valid";
    EXPECT_EQ(valid ? 0 : -1, verify(k)) << b.where();
    if (b.has("k")) resign(b, k);
}

// Every block of the file: parameter sets, worked examples, per-curve signatures.
void every_block() {
    size_t sets = 0, examples = 0, signatures = 0;
    size_t n = VectorFile("gostr3410.txt").each([&](const VectorBlock& b) {
        if (b.has("libgcrypt")) {
            parameter_set_block(b);
            ++sets;
        } else if (b.has("hash")) {
            signature_block(b);
            ++signatures;
        } else {
            worked_example_block(b);
            ++examples;
        }
    });
    EXPECT_EQ(41u, n);
    EXPECT_EQ(11u, sets);
    EXPECT_EQ(2u, examples);
    EXPECT_EQ(28u, signatures);
}

}  // namespace

TEST(Gostr3410Vectors, EveryBlockOfTheSharedFile) {
    each_product_form([] { every_block(); });
}

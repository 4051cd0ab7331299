// Curve tables and point arithmetic: the typed-in parameters against libgcrypt's own curves, every
// lookup, the special cases of addition, and all multiplication paths against each other and
// against libgcrypt.
#include <gmp.h>

#include <random>
#include <thread>

#include "gostr3410_peers.h"
#include "gostr3410_test_util.h"

using namespace gost_test;
using testing_support::to_hex;

namespace {

template <class Params, class Point>
Point base_point(const Params& c) {
    Point g{};
    mpSetEqual(g.x, c.x, sizeof g.x / sizeof(DIGIT_T));
    mpSetEqual(g.y, c.y, sizeof g.y / sizeof(DIGIT_T));
    return g;
}

template <class Point>
bool same(const Point& a, const Point& b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

// Jacobian copy of an affine point scaled by lambda: (l^2 x, l^3 y, l).
template <class Params, class Point, class Proj>
Proj scaled(const Params& c, const Point& P, DIGIT_T lambda) {
    constexpr size_t ND = sizeof P.x / sizeof(DIGIT_T);
    Proj R{};
    DIGIT_T l[ND] = {lambda}, l2[ND], l3[ND];
    mpModMult(l2, l, l, c.p, ND);
    mpModMult(l3, l2, l, c.p, ND);
    mpModMult(R.X, P.x, l2, c.p, ND);
    mpModMult(R.Y, P.y, l3, c.p, ND);
    mpSetEqual(R.Z, l, ND);
    return R;
}

template <class A>
void point_arithmetic(const typename A::Params& c, const char* gname, std::mt19937_64& rng) {
    using Params = typename A::Params;
    using Point = typename A::Point;
    using Proj = typename A::Proj;
    constexpr size_t ND = A::ND;
    SCOPED_TRACE(gname);
    const Point G = base_point<Params, Point>(c);
    Point zero{}, R, S, negG = G;
    mpSubtract(negG.y, c.p, G.y, ND);
    // P + (-P) is infinity, infinity + P is P, P + P doubles.
    ASSERT_EQ(0, A::add(&R, &G, &negG, &c));
    EXPECT_TRUE(A::is_zero(&R));
    ASSERT_EQ(0, A::add(&R, &zero, &G, &c));
    EXPECT_TRUE(same(R, G));
    DIGIT_T two[ND] = {2}, one[ND] = {1}, kzero[ND] = {};
    A::add(&R, &G, &G, &c);
    A::mult(&S, &G, two, &c);
    EXPECT_TRUE(same(R, S));
    // Multiplication edge scalars.
    A::mult(&R, &G, kzero, &c);
    EXPECT_TRUE(A::is_zero(&R));
    A::mult(&R, &G, c.q, &c);
    EXPECT_TRUE(A::is_zero(&R));
    A::mult_pp(&R, c.q, &c);
    EXPECT_TRUE(A::is_zero(&R));
    A::mult(&R, &G, one, &c);
    EXPECT_TRUE(same(R, G));
    R = G;
    EXPECT_EQ(-1, A::mult_proj(&R, &G, kzero, &c));
    EXPECT_TRUE(same(R, G));  // not written
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, A::mult(nullptr, &G, one, &c));
    EXPECT_EQ(A::kMultMessage, testing::internal::GetCapturedStdout());

    // Jacobian special cases with operands in different scalings: P + P and P + (-P).
    const Proj g1 = scaled<Params, Point, Proj>(c, G, 1), g3 = scaled<Params, Point, Proj>(c, G, 3);
    const Proj n5 = scaled<Params, Point, Proj>(c, negG, 5);
    Proj J;
    Point two_g;
    A::mult(&two_g, &G, two, &c);
    ASSERT_EQ(0, A::add_proj(&J, &g3, &g1, &c));
    A::affine(&R, &J, &c);
    EXPECT_TRUE(same(R, two_g));
    A::add_proj(&J, &g3, &n5, &c);
    A::affine(&R, &J, &c);
    EXPECT_TRUE(A::is_zero(&R));
    A::add_mixed(&J, &g3, &G, &c);
    A::affine(&R, &J, &c);
    EXPECT_TRUE(same(R, two_g));
    A::add_mixed(&J, &g3, &negG, &c);
    A::affine(&R, &J, &c);
    EXPECT_TRUE(A::is_zero(&R));
    A::dbl(&J, &g3, &c);
    A::affine(&R, &J, &c);
    EXPECT_TRUE(same(R, two_g));
    Proj inf{};
    A::add_proj(&J, &inf, &g3, &c);
    A::affine(&R, &J, &c);
    EXPECT_TRUE(same(R, G));

    // The three multiplications agree with each other and with libgcrypt, for base and other
    // points.
    for (int i = 0; i < 3; ++i) {
        DIGIT_T k[ND] = {};
        for (size_t j = 0; j + 1 < ND; ++j) k[j] = static_cast<DIGIT_T>(rng());
        if (i == 1) mpModulo(k, k, ND, c.q, ND);  // also a scalar below q
        Point a, b, d;
        A::mult(&a, &G, k, &c);
        A::mult_proj(&b, &G, k, &c);
        A::mult_pp(&d, k, &c);
        EXPECT_TRUE(same(a, b));
        EXPECT_TRUE(same(a, d));
        auto want = gost_peers::gcrypt_mul(gname, hex_of(k, ND), hex_of(G.x, ND), hex_of(G.y, ND));
        EXPECT_EQ(want.first, hex_of(a.x, ND));
        EXPECT_EQ(want.second, hex_of(a.y, ND));
        // k * A for the non-base point A.
        A::mult_proj(&b, &a, k, &c);
        want = gost_peers::gcrypt_mul(gname, hex_of(k, ND), hex_of(a.x, ND), hex_of(a.y, ND));
        EXPECT_EQ(want.first, hex_of(b.x, ND));
        EXPECT_EQ(want.second, hex_of(b.y, ND));
    }
    // epMult reads k as signed: -k gives |k| * P, not -(k P).
    DIGIT_T k[ND] = {12345}, nk[ND];
    mpChs(nk, k, ND);
    A::mult(&R, &G, k, &c);
    A::mult(&S, &G, nk, &c);
    EXPECT_TRUE(same(R, S));
}

template <class Params>
void compare_with_libgcrypt(const Params& c, const char* name) {
    constexpr size_t ND = sizeof c.p / sizeof(DIGIT_T);
    SCOPED_TRACE(name);
    auto g = gost_peers::gcrypt_curve(name);
    EXPECT_EQ(g.p, hex_of(c.p, ND));
    EXPECT_EQ(g.a, hex_of(c.a, ND));
    EXPECT_EQ(g.b, hex_of(c.b, ND));
    EXPECT_EQ(g.n, hex_of(c.q, ND));
    EXPECT_EQ(g.gx, hex_of(c.x, ND));
    EXPECT_EQ(g.gy, hex_of(c.y, ND));
    DIGIT_T quot[ND], rem[ND];
    mpDivide(quot, rem, c.m, ND, c.q, ND);
    EXPECT_EQ(g.h, gost_peers::canon(std::to_string(quot[0])));
    EXPECT_TRUE(mpIsZero(rem, ND));
    // The table flag is set exactly when a = p - 3.
    DIGIT_T three[ND] = {3}, pm3[ND];
    mpSubtract(pm3, c.p, three, ND);
    EXPECT_EQ(mpEqual(pm3, c.a, ND) ? 1u : 0u, c.table_flag);
}

}  // namespace

TEST(GostCurves, TablesMatchLibgcryptCurves) {
    for (size_t i = 0; i < Size256::kCount; ++i)
        compare_with_libgcrypt(Size256::kTable[i], Size256::kGcrypt[i]);
    for (size_t i = 0; i < Size512::kCount; ++i)
        compare_with_libgcrypt(Size512::kTable[i], Size512::kGcrypt[i]);
}

TEST(GostCurves, LookupByDerIdentifier) {
    const auto* t = GOSTR3410_2012_256_PARAMS;
    EXPECT_EQ(&t[0], find256("1.2.643.2.2.35.0"));
    EXPECT_EQ(&t[0], find256("1.2.643.7.1.2.1.1.0"));
    EXPECT_EQ(&t[1], find256("1.2.643.2.2.35.1"));
    EXPECT_EQ(&t[1], find256("1.2.643.7.1.2.1.1.2"));  // entry 4 shares it but is never found by it
    EXPECT_EQ(&t[2], find256("1.2.643.2.2.35.2"));
    EXPECT_EQ(&t[2], find256("1.2.643.7.1.2.1.1.3"));
    EXPECT_EQ(&t[3], find256("1.2.643.2.2.35.3"));
    EXPECT_EQ(&t[3], find256("1.2.643.7.1.2.1.1.4"));
    EXPECT_EQ(&t[4], find256("1.2.643.2.2.36.0"));
    EXPECT_EQ(&t[5], find256("1.2.643.2.2.36.1"));
    EXPECT_EQ(&t[6], find256("1.2.643.7.1.2.1.1.1"));
    EXPECT_EQ(&t[1], GOSTR3410_2012_256_DefaultPar());
    const auto* u = GOSTR3410_2012_512_PARAMS;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(&u[i], find512("1.2.643.7.1.2.1.2." + std::to_string(i)));
    EXPECT_EQ(&u[1], GOSTR3410_2012_512_DefaultPar());
    // Identifiers of the other size, unknown ones, and encodings without tag and length.
    EXPECT_EQ(nullptr, find512("1.2.643.7.1.2.1.1.1"));
    EXPECT_EQ(nullptr, find512("1.2.643.2.2.35.1"));
    EXPECT_EQ(nullptr, find256("1.2.643.7.1.2.1.2.1"));
    EXPECT_EQ(nullptr, find256("1.2.643.2.2.35.4"));
    auto der = der_of("1.2.643.2.2.35.1");
    EXPECT_EQ((testing_support::Bytes{0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01}), der);
    const gostr3410_256_params* p = &t[0];
    EXPECT_EQ(-1, GOSTR3410_2012_256_FindParByDerOid(der.data() + 2, der.size() - 2, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(-1, GOSTR3410_2012_256_FindParByDerOid(der.data(), der.size() - 1, &p));
    EXPECT_EQ(-1, GOSTR3410_2012_256_FindParByDerOid(nullptr, 9, &p));
    const gostr3410_512_params* q = &u[0];
    EXPECT_EQ(-1, GOSTR3410_2012_512_FindParByDerOid(der.data(), der.size(), &q));
    EXPECT_EQ(nullptr, q);
}

TEST(GostCurves, PointArithmeticOnEverySet) {
    std::mt19937_64 rng(7);
    for (size_t i = 0; i < Size256::kCount; ++i)
        point_arithmetic<Size256>(Size256::kTable[i], Size256::kGcrypt[i], rng);
    for (size_t i = 0; i < Size512::kCount; ++i)
        point_arithmetic<Size512>(Size512::kTable[i], Size512::kGcrypt[i], rng);
}

namespace {

// The first point (x small) outside the subgroup of order q, and T = q times it, whose order
// divides the cofactor 4.
template <class A>
void off_subgroup_point(const typename A::Params& c, typename A::Point& R, typename A::Point& T) {
    constexpr size_t ND = A::ND;
    mpz_t p, x, rhs, t, e;
    mpz_inits(p, x, rhs, t, e, nullptr);
    mpz_set_str(p, hex_of(c.p, ND).c_str(), 16);
    ASSERT_EQ(3u, mpz_fdiv_ui(p, 4));  // square roots by one exponentiation
    R = {};
    T = {};
    for (unsigned long xi = 1; A::is_zero(&T) && xi < 1000; ++xi) {
        mpz_set_ui(x, xi);
        mpz_powm_ui(rhs, x, 3, p);
        mpz_set_str(t, hex_of(c.a, ND).c_str(), 16);
        mpz_addmul(rhs, t, x);
        mpz_set_str(t, hex_of(c.b, ND).c_str(), 16);
        mpz_add(rhs, rhs, t);
        mpz_mod(rhs, rhs, p);
        if (mpz_legendre(rhs, p) != 1) continue;
        mpz_add_ui(e, p, 1);
        mpz_fdiv_q_2exp(e, e, 2);
        mpz_powm(t, rhs, e, p);
        R = {};
        R.x[0] = static_cast<DIGIT_T>(xi);
        char* ys = mpz_get_str(nullptr, 16, t);
        auto y = num(ys, ND);
        free(ys);
        std::copy(y.begin(), y.end(), R.y);
        ASSERT_EQ(0, A::mult_proj(&T, &R, c.q, &c));
    }
    mpz_clears(p, x, rhs, t, e, nullptr);
}

}  // namespace

// A point outside the subgroup of order q: q times it has order dividing the cofactor 4, and its
// small multiples pass through infinity inside the scalar loop.
TEST(GostCurves, SmallOrderPointsOnCofactorFourCurves) {
    auto run = [](auto traits, const auto& c, const char* gname) {
        using A = decltype(traits);
        using Point = typename A::Point;
        constexpr size_t ND = A::ND;
        SCOPED_TRACE(gname);
        Point R, T, K, S;
        off_subgroup_point<A>(c, R, T);
        auto want =
            gost_peers::gcrypt_mul(gname, hex_of(c.q, ND), hex_of(R.x, ND), hex_of(R.y, ND));
        ASSERT_EQ(want.first, hex_of(T.x, ND));
        Point sum{};  // k T by repeated addition, against the scalar loop; k > 32 needs two windows
        for (DIGIT_T k = 1; k <= 70; ++k) {
            A::add(&sum, &sum, &T, &c);
            if (k > 9 && k != 33 && k != 70) continue;
            DIGIT_T kk[ND] = {k};
            ASSERT_EQ(0, A::mult(&K, &T, kk, &c));
            EXPECT_TRUE(same(K, sum)) << k;
            // And on a full-order point: (k q + 1) R = k T + R.
            DIGIT_T kq[2 * ND], one[ND] = {1};
            mpMultiply(kq, kk, c.q, ND);  // k q + 1 still fits ND digits
            mpAdd(kq, kq, one, ND);
            A::mult_proj(&K, &R, kq, &c);
            A::add(&S, &sum, &R, &c);
            EXPECT_TRUE(same(K, S)) << k;
        }
    };
    run(Size256{}, GOSTR3410_2012_256_PARAMS[6], Size256::kGcrypt[6]);
    run(Size512{}, GOSTR3410_2012_512_PARAMS[3], Size512::kGcrypt[3]);
}

// Verification of a key Q + T, T of small order: z2 (Q + T) = z2 Q exactly when the order of T
// divides z2 = -r / e mod q, so a signature made with Q's private key holds then and only then.
// The variable-time walk meets T's multiples, infinity among them, in its tables and sums.
TEST(GostCurves, VerificationSeesTheSmallOrderPartOfAKey) {
    auto run = [](auto traits, const auto* c) {
        using A = decltype(traits);
        using Point = typename A::Point;
        constexpr size_t ND = A::ND;
        Point R, T, T2, key, shifted;
        off_subgroup_point<A>(*c, R, T);
        A::add(&T2, &T, &T, c);
        const unsigned long order = A::is_zero(&T2) ? 2 : 4;
        std::vector<DIGIT_T> d(ND), e(ND), sig(2 * ND);
        ASSERT_EQ(0, A::keygen(c, system_random, d.data(), &key));
        A::add(&shifted, &key, &T, c);
        mpz_t q, ez, rz, z2;
        mpz_inits(q, ez, rz, z2, nullptr);
        mpz_set_str(q, hex_of(c->q, ND).c_str(), 16);
        int seen[2] = {};
        for (int i = 0; i < 64 && !(seen[0] && seen[1] > 2); ++i) {
            Bytes digest(A::L);
            system_random(digest.data(), digest.size());
            A::load_digest(e.data(), digest.data());
            ASSERT_EQ(0, A::sign(c, e.data(), system_random, d.data(), sig.data()));
            mpz_set_str(ez, hex_of(e.data(), ND).c_str(), 16);
            mpz_mod(ez, ez, q);
            if (mpz_sgn(ez) == 0) mpz_set_ui(ez, 1);
            mpz_set_str(rz, hex_of(sig.data(), ND).c_str(), 16);
            ASSERT_NE(0, mpz_invert(z2, ez, q));
            mpz_mul(z2, z2, rz);
            mpz_neg(z2, z2);
            mpz_mod(z2, z2, q);
            const bool holds = mpz_fdiv_ui(z2, order) == 0;
            ++seen[holds ? 0 : 1];
            EXPECT_EQ(holds ? 0 : -1, A::verify(c, e.data(), &shifted, sig.data())) << i;
        }
        EXPECT_TRUE(seen[0] && seen[1]);
        mpz_clears(q, ez, rz, z2, nullptr);
    };
    each_product_form([&] { run(Size512{}, &GOSTR3410_2012_512_PARAMS[3]); });
    run(Size256{}, &GOSTR3410_2012_256_PARAMS[6]);
}

TEST(GostCurves, RecordOutsideTheTableWorksWithoutPrecomputation) {
    // A caller's own copy of a record gets no cached table but the same results.
    gostr3410_256_params copy = GOSTR3410_2012_256_PARAMS[6];
    DIGIT_T k[EC256_DIGITS] = {0x89abcdef, 0x01234567, 0xdeadbeef, 5};
    ep_point a, b;
    epMultPP(&a, k, &GOSTR3410_2012_256_PARAMS[6]);
    epMultPP(&b, k, &copy);
    EXPECT_EQ(0, memcmp(&a, &b, sizeof a));
}

TEST(GostCurves, TablesBuiltOnceUnderConcurrentFirstUse) {
    // Every thread races to the first use of every set; all must see complete tables.
    DIGIT_T k[EC512_DIGITS] = {0x1234567, 0x89abcdef, 0x42, 0, 0, 0, 0, 0,
                               0,         0,          0,    0, 0, 0, 0, 0x7};
    std::vector<std::vector<uint8_t>> results(8);
    std::vector<std::thread> threads;
    for (auto& r : results)
        threads.emplace_back([&r, &k] {
            for (const auto& c : GOSTR3410_2012_256_PARAMS) {
                ep_point p;
                epMultPP(&p, k, &c);
                r.insert(r.end(), reinterpret_cast<uint8_t*>(&p),
                         reinterpret_cast<uint8_t*>(&p + 1));
            }
            for (const auto& c : GOSTR3410_2012_512_PARAMS) {
                dep_point p;
                depMultPP(&p, k, &c);
                r.insert(r.end(), reinterpret_cast<uint8_t*>(&p),
                         reinterpret_cast<uint8_t*>(&p + 1));
            }
        });
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(results[0], r);
}

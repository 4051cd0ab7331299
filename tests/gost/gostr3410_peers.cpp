#include "gostr3410_peers.h"

#include <gcrypt.h>
#include <gmp.h>
#include <gtest/gtest.h>
#include <nettle/ecc-curve.h>
#include <nettle/ecc.h>
#include <nettle/gostdsa.h>
#include <sys/random.h>

#include <stdexcept>

namespace gost_peers {

std::string canon(const std::string& hex) {
    std::string s;
    for (char c : hex) s += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t i = s.find_first_not_of('0');
    return i == std::string::npos ? "0" : s.substr(i);
}

namespace {

struct Mpz {
    mpz_t v;
    Mpz() { mpz_init(v); }
    explicit Mpz(const std::string& hex) {
        if (mpz_init_set_str(v, hex.c_str(), 16) != 0) throw std::invalid_argument(hex);
    }
    ~Mpz() { mpz_clear(v); }
    std::string hex() const {
        char* s = mpz_get_str(nullptr, 16, v);
        std::string out(s);
        free(s);
        return out;
    }
};

const ecc_curve* nettle_curve(const std::string& name) {
    if (name == "gc256b") return nettle_get_gost_gc256b();
    if (name == "gc512a") return nettle_get_gost_gc512a();
    throw std::invalid_argument(name);
}

void nettle_random(void*, size_t len, uint8_t* dst) {
    if (getrandom(dst, len, 0) != static_cast<ssize_t>(len)) abort();
}

struct Point {
    ecc_point p;
    Point(const ecc_curve* c, const std::string& x, const std::string& y) {
        ecc_point_init(&p, c);
        Mpz mx(x), my(y);
        if (!ecc_point_set(&p, mx.v, my.v)) throw std::invalid_argument("point not on curve");
    }
    ~Point() { ecc_point_clear(&p); }
};

struct Scalar {
    ecc_scalar s;
    Scalar(const ecc_curve* c, const std::string& d) {
        ecc_scalar_init(&s, c);
        Mpz md(d);
        if (!ecc_scalar_set(&s, md.v)) throw std::invalid_argument("bad scalar");
    }
    ~Scalar() { ecc_scalar_clear(&s); }
};

struct Sexp {
    gcry_sexp_t s = nullptr;
    ~Sexp() { gcry_sexp_release(s); }
};

struct Mpi {
    gcry_mpi_t m = nullptr;
    Mpi() = default;
    explicit Mpi(const std::string& hex) {
        std::string h = hex.size() % 2 ? "0" + hex : hex;
        if (gcry_mpi_scan(&m, GCRYMPI_FMT_HEX, h.c_str(), 0, nullptr))
            throw std::invalid_argument(hex);
    }
    ~Mpi() { gcry_mpi_release(m); }
    std::string hex() const {
        unsigned char* buf = nullptr;
        if (gcry_mpi_aprint(GCRYMPI_FMT_HEX, &buf, nullptr, m)) throw std::runtime_error("aprint");
        std::string s(reinterpret_cast<char*>(buf));
        gcry_free(buf);
        return canon(s);
    }
};

std::string token_hex(gcry_sexp_t s, const char* name) {
    Sexp t;
    t.s = gcry_sexp_find_token(s, name, 0);
    if (!t.s) throw std::runtime_error(std::string("no token ") + name);
    Mpi m;
    m.m = gcry_sexp_nth_mpi(t.s, 1, GCRYMPI_FMT_USG);
    return m.hex();
}

std::string pad(const std::string& hex, size_t chars) {
    std::string c = canon(hex);
    return std::string(chars > c.size() ? chars - c.size() : 0, '0') + c;
}

}  // namespace

Sig nettle_sign(const std::string& curve, const std::string& d_hex, const Bytes& digest) {
    const ecc_curve* c = nettle_curve(curve);
    Scalar key(c, d_hex);
    dsa_signature sig;
    dsa_signature_init(&sig);
    gostdsa_sign(&key.s, nullptr, nettle_random, digest.size(), digest.data(), &sig);
    Sig out;
    char* r = mpz_get_str(nullptr, 16, sig.r);
    char* s = mpz_get_str(nullptr, 16, sig.s);
    out.r = r;
    out.s = s;
    free(r);
    free(s);
    dsa_signature_clear(&sig);
    return out;
}

bool nettle_verify(const std::string& curve, const std::string& x_hex, const std::string& y_hex,
                   const Bytes& digest, const Sig& sig) {
    Point q(nettle_curve(curve), x_hex, y_hex);
    dsa_signature s;
    dsa_signature_init(&s);
    mpz_set_str(s.r, sig.r.c_str(), 16);
    mpz_set_str(s.s, sig.s.c_str(), 16);
    bool ok = gostdsa_verify(&q.p, digest.size(), digest.data(), &s) != 0;
    dsa_signature_clear(&s);
    return ok;
}

Bytes nettle_vko(const std::string& curve, const std::string& d_hex, const std::string& x_hex,
                 const std::string& y_hex, const Bytes& ukm) {
    const ecc_curve* c = nettle_curve(curve);
    Scalar key(c, d_hex);
    Point q(c, x_hex, y_hex);
    Bytes out(curve == "gc256b" ? 64 : 128);
    gostdsa_vko(&key.s, &q.p, ukm.size(), ukm.data(), out.data());
    return out;
}

void gcrypt_init() {
    static bool done = [] {
        if (!gcry_check_version(nullptr)) throw std::runtime_error("libgcrypt");
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    (void)done;
}

CurveParams gcrypt_curve(const std::string& curve) {
    gcrypt_init();
    Sexp s;
    s.s = gcry_pk_get_param(GCRY_PK_ECC, curve.c_str());
    if (!s.s) throw std::runtime_error("libgcrypt does not know " + curve);
    CurveParams c;
    c.p = token_hex(s.s, "p");
    c.a = token_hex(s.s, "a");
    c.b = token_hex(s.s, "b");
    c.n = token_hex(s.s, "n");
    {  // the cofactor comes as decimal text
        Sexp t;
        t.s = gcry_sexp_find_token(s.s, "h", 0);
        char* h = t.s ? gcry_sexp_nth_string(t.s, 1) : nullptr;
        if (!h) throw std::runtime_error("no cofactor");
        char buf[32];
        snprintf(buf, sizeof buf, "%lx", std::stoul(h));
        c.h = buf;
        gcry_free(h);
    }
    std::string g = token_hex(s.s, "g");  // 04 || x || y
    g = g.substr(1);                      // "4" (the 04 prefix without its leading zero)
    c.gx = canon(g.substr(0, g.size() / 2));
    c.gy = canon(g.substr(g.size() / 2));
    return c;
}

Sig gcrypt_sign(const std::string& curve, const std::string& d_hex, const std::string& e_hex) {
    gcrypt_init();
    Mpi d(d_hex), e(e_hex);
    Sexp key, data, sig;
    if (gcry_sexp_build(&key.s, nullptr, "(private-key (ecc (curve %s) (d %m)))", curve.c_str(),
                        d.m) ||
        gcry_sexp_build(&data.s, nullptr, "(data (flags gost) (value %m))", e.m) ||
        gcry_pk_sign(&sig.s, data.s, key.s))
        throw std::runtime_error("libgcrypt sign");
    return Sig{token_hex(sig.s, "r"), token_hex(sig.s, "s")};
}

bool gcrypt_verify(const std::string& curve, const std::string& x_hex, const std::string& y_hex,
                   const std::string& e_hex, const Sig& sig) {
    gcrypt_init();
    const size_t chars = curve.find("512") != std::string::npos ? 128 : 64;
    Mpi q("04" + pad(x_hex, chars) + pad(y_hex, chars)), e(e_hex), r(sig.r), s(sig.s);
    Sexp key, data, sv;
    if (gcry_sexp_build(&key.s, nullptr, "(public-key (ecc (curve %s) (q %m)))", curve.c_str(),
                        q.m) ||
        gcry_sexp_build(&data.s, nullptr, "(data (flags gost) (value %m))", e.m) ||
        gcry_sexp_build(&sv.s, nullptr, "(sig-val (gost (r %m) (s %m)))", r.m, s.m))
        throw std::runtime_error("libgcrypt build");
    return gcry_pk_verify(sv.s, data.s, key.s) == 0;
}

std::pair<std::string, std::string> gcrypt_mul(const std::string& curve, const std::string& k_hex,
                                               const std::string& x_hex, const std::string& y_hex) {
    gcrypt_init();
    gcry_ctx_t ctx = nullptr;
    if (gcry_mpi_ec_new(&ctx, nullptr, curve.c_str())) throw std::runtime_error("ec_new");
    Mpi k(k_hex), x(x_hex), y(y_hex), one("1"), rx, ry;
    rx.m = gcry_mpi_new(0);
    ry.m = gcry_mpi_new(0);
    gcry_mpi_point_t p = gcry_mpi_point_set(nullptr, x.m, y.m, one.m);
    gcry_mpi_point_t r = gcry_mpi_point_new(0);
    gcry_mpi_ec_mul(r, k.m, p, ctx);
    std::pair<std::string, std::string> out;
    if (gcry_mpi_ec_get_affine(rx.m, ry.m, r, ctx) == 0) out = {rx.hex(), ry.hex()};
    gcry_mpi_point_release(p);
    gcry_mpi_point_release(r);
    gcry_ctx_release(ctx);
    return out;
}

}  // namespace gost_peers

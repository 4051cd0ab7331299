#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "common/vectors.h"
#include "gost/gost28147_89.h"
#include "gost/gost28147_params.h"

using testing_support::Bytes;
using testing_support::from_hex;
using testing_support::to_hex;
using testing_support::VectorFile;

namespace {

const GOST28147_89_PARAMS& row_by_oid(const std::string& oid) {
    for (const auto& r : kGost28147Params)
        if (oid == r.oid) return r;
    for (const auto& r : kGostR341194Params)
        if (oid == r.oid) {
            // Only the table is used; the hash rows carry no cipher mode.
            static GOST28147_89_PARAMS hash_rows[2];
            auto& h = hash_rows[&r - kGostR341194Params];
            h = {r.der_len, r.der, r.oid, r.name, r.tz, 0, 0};
            return h;
        }
    throw std::invalid_argument("unknown S-box " + oid);
}

// libgcrypt knows each table by the OID of the first set that uses it.
const char* peer_oid(const GOST28147_89_PARAMS& row) {
    for (const auto& r : kGost28147Params)
        if (r.tz == row.tz) return r.oid;
    return row.oid;
}

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i);
    return b;
}

Bytes random_bytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

// Runs a context over the input in pieces of the given size (0 = one call) and returns the output.
Bytes run(uint32_t mode, int encrypt, const TZ* tz, uint32_t meshing, const Bytes& key,
          const Bytes* iv, const Bytes& in, size_t piece = 0) {
    GOST28147_89_CTX ctx;
    EXPECT_EQ(
        GOST28147_89_Init(&ctx, encrypt, tz, mode, meshing, iv ? iv->data() : nullptr, key.data()),
        0);
    Bytes out(in.size() + 8);
    size_t done = 0;
    if (piece == 0) piece = in.size();
    for (size_t off = 0; off < in.size(); off += piece) {
        const uint32_t n = uint32_t(std::min(piece, in.size() - off));
        GOST_BLOB i{n, const_cast<uint8_t*>(in.data() + off)};
        GOST_BLOB o{uint32_t(out.size() - done), out.data() + done};
        EXPECT_EQ(GOST28147_89_Update(&ctx, &i, &o), 0);
        done += o.length;
    }
    EXPECT_EQ(GOST28147_89_Final(&ctx), 0);
    out.resize(done);
    return out;
}

Bytes mac(const TZ* tz, uint32_t meshing, const Bytes& key, const Bytes* iv, const Bytes& msg,
          size_t piece = 0) {
    GOST28147_89_CTX ctx;
    EXPECT_EQ(GOST28147_89_Init(&ctx, 1, tz, GOST28147_89_MODE_MAC, meshing,
                                iv ? iv->data() : nullptr, key.data()),
              0);
    if (piece == 0) piece = msg.size();
    for (size_t off = 0; off < msg.size(); off += piece) {
        GOST_BLOB i{uint32_t(std::min(piece, msg.size() - off)), const_cast<uint8_t*>(&msg[off])};
        EXPECT_EQ(GOST28147_89_Update(&ctx, &i, nullptr), 0);
    }
    EXPECT_EQ(GOST28147_89_Final(&ctx), 0);
    Bytes out(8);
    std::memcpy(out.data(), ctx.mac, 8);  // N1 then N2, little-endian on this host
    return out;
}

Bytes sha256(const Bytes& b) {
    Bytes out(32);
    gcry_md_hash_buffer(GCRY_MD_SHA256, out.data(), b.data(), b.size());
    return out;
}

struct Gcrypt {
    gcry_cipher_hd_t h = nullptr;
    Gcrypt(int algo, int mode, const std::string& oid, const Bytes& key, const Bytes* iv) {
        gcry_check_version(nullptr);
        EXPECT_EQ(gcry_cipher_open(&h, algo, mode, 0), 0u);
        const gcry_error_t sbox_rc = gcry_cipher_set_sbox(h, oid.c_str());
        EXPECT_EQ(sbox_rc, 0u);
        EXPECT_EQ(gcry_cipher_setkey(h, key.data(), key.size()), 0u);
        if (iv) {
            EXPECT_EQ(gcry_cipher_setiv(h, iv->data(), iv->size()), 0u);
        }
    }
    ~Gcrypt() { gcry_cipher_close(h); }
    Bytes encrypt(const Bytes& in) {
        Bytes out(in.size());
        EXPECT_EQ(gcry_cipher_encrypt(h, out.data(), out.size(), in.data(), in.size()), 0u);
        return out;
    }
};

Bytes gcrypt_imit(const std::string& oid, const Bytes& key, const Bytes* iv, const Bytes& msg) {
    gcry_mac_hd_t h;
    EXPECT_EQ(gcry_mac_open(&h, GCRY_MAC_GOST28147_IMIT, 0, nullptr), 0u);
    EXPECT_EQ(gcry_mac_ctl(h, GCRYCTL_SET_SBOX, const_cast<char*>(oid.c_str()), 0), 0u);
    EXPECT_EQ(gcry_mac_setkey(h, key.data(), key.size()), 0u);
    if (iv) {
        EXPECT_EQ(gcry_mac_setiv(h, iv->data(), iv->size()), 0u);
    }
    EXPECT_EQ(gcry_mac_write(h, msg.data(), msg.size()), 0u);
    Bytes out(4);
    size_t n = 4;
    EXPECT_EQ(gcry_mac_read(h, out.data(), &n), 0u);
    gcry_mac_close(h);
    return out;
}

}  // namespace

TEST(Gost28147, EcbVectors) {
    const size_t n =
        VectorFile("gost28147.txt")
            .each(
                [](const auto& b) {
                    const std::string name = b.text("name");
                    const TZ* tz = row_by_oid(b.text("sbox")).tz;
                    const Bytes key = b.hex("key"), pt = b.hex("pt"), ct = b.hex("ct");
                    EXPECT_EQ(to_hex(run(GOST28147_89_MODE_ECB, 1, tz, 0, key, nullptr, pt)),
                              to_hex(ct))
                        << name;
                    EXPECT_EQ(to_hex(run(GOST28147_89_MODE_ECB, 0, tz, 0, key, nullptr, ct)),
                              to_hex(pt))
                        << name;
                },
                "ecb");
    EXPECT_EQ(n, 19u);
}

TEST(Gost28147, StreamVectorsInOneCallAndInSevenBytePieces) {
    VectorFile file("gost28147.txt");
    size_t n = 0;
    for (const char* kind : {"cfb", "cnt"}) {
        n += file.each(
            [&](const auto& b) {
                const std::string name = b.text("name");
                const uint32_t mode =
                    std::string(kind) == "cfb" ? GOST28147_89_MODE_CFB : GOST28147_89_MODE_CNT;
                const TZ* tz = row_by_oid(b.text("sbox")).tz;
                const uint32_t meshing = uint32_t(b.number("meshing"));
                const Bytes key = b.hex("key"), iv = b.hex("iv");
                const Bytes pt = b.has("pt") ? b.hex("pt") : pattern(b.number("pt_len"));
                for (size_t piece : {0, 7, 1024}) {
                    const Bytes ct = run(mode, 1, tz, meshing, key, &iv, pt, piece);
                    if (b.has("ct")) {
                        EXPECT_EQ(to_hex(ct), b.text("ct")) << name;
                    } else {
                        ASSERT_EQ(ct.size(), pt.size());
                        EXPECT_EQ(to_hex(sha256(ct)), b.text("ct_sha256")) << name << piece;
                        EXPECT_EQ(to_hex(&ct[0], 32), b.text("ct_first32")) << name;
                        EXPECT_EQ(to_hex(&ct[1008], 32), b.text("ct_1008_1040")) << name;
                        EXPECT_EQ(to_hex(&ct[ct.size() - 32], 32), b.text("ct_last32")) << name;
                    }
                    EXPECT_EQ(run(mode, 0, tz, meshing, key, &iv, ct, piece), pt) << name;
                }
            },
            kind);
    }
    EXPECT_EQ(n, 5u);
}

TEST(Gost28147, MacVectors) {
    const size_t n =
        VectorFile("gost28147.txt")
            .each(
                [](const auto& b) {
                    const std::string name = b.text("name");
                    const TZ* tz = row_by_oid(b.text("sbox")).tz;
                    const Bytes key = b.hex("key"), iv = b.hex("iv");
                    const Bytes msg = b.has("msg") ? b.hex("msg") : pattern(b.number("msg_len"));
                    const uint32_t meshing = uint32_t(b.number("meshing"));
                    for (size_t piece : {0, 3, 8}) {
                        const Bytes m =
                            mac(tz, meshing, key, iv.empty() ? nullptr : &iv, msg, piece);
                        EXPECT_EQ(to_hex(m), b.text("mac8")) << name;
                        EXPECT_EQ(to_hex(m.data(), 4), b.text("mac")) << name;
                    }
                },
                "mac");
    EXPECT_EQ(n, 20u);
}

// The published TLS record example drives the counter mode and the MAC with meshing across
// record boundaries: the counter stream and the MAC state carry over from one record to the next.
TEST(Gost28147, PublishedCounterAndMacRecords) {
    VectorFile("gost28147.txt")
        .each(
            [](const auto& b) {
                const std::string name = b.text("name");
                const TZ* tz = row_by_oid(b.text("sbox")).tz;
                const Bytes mac_key = b.hex("mac_key"), enc_key = b.hex("enc_key"),
                            iv = b.hex("iv");
                GOST28147_89_CTX m, e;
                ASSERT_EQ(
                    GOST28147_89_Init(&m, 1, tz, GOST28147_89_MODE_MAC, 1, nullptr, mac_key.data()),
                    0);
                ASSERT_EQ(GOST28147_89_Init(&e, 1, tz, GOST28147_89_MODE_CNT, 1, iv.data(),
                                            enc_key.data()),
                          0);
                auto mac_feed = [&](const Bytes& in) {
                    GOST_BLOB i{uint32_t(in.size()), const_cast<uint8_t*>(in.data())};
                    EXPECT_EQ(GOST28147_89_Update(&m, &i, nullptr), 0);
                    // The running MAC of the records so far, as if this were the last one.
                    GOST28147_89_CTX copy = m;
                    EXPECT_EQ(GOST28147_89_Final(&copy), 0);
                    return to_hex(reinterpret_cast<const uint8_t*>(copy.mac), 4);
                };
                auto encrypt = [&](const Bytes& in) {
                    Bytes out(in.size());
                    GOST_BLOB i{uint32_t(in.size()), const_cast<uint8_t*>(in.data())};
                    GOST_BLOB o{uint32_t(out.size()), out.data()};
                    EXPECT_EQ(GOST28147_89_Update(&e, &i, &o), 0);
                    return out;
                };
                EXPECT_EQ(mac_feed(b.hex("record0_mac_input")), b.text("record0_mac"));
                EXPECT_EQ(to_hex(encrypt(b.hex("record0_enc_input"))),
                          b.text("record0_enc_output"));
                Bytes input = b.hex("record1_mac_header");
                input.resize(input.size() + 2048);
                const std::string mac1 = mac_feed(input);
                EXPECT_EQ(mac1, b.text("record1_mac"));
                Bytes plain(2048);
                const Bytes tag = from_hex(mac1);
                plain.insert(plain.end(), tag.begin(), tag.end());
                const Bytes ct = encrypt(plain);
                EXPECT_EQ(to_hex(ct.data(), 16), b.text("record1_enc_first16"));
                EXPECT_EQ(to_hex(&ct[ct.size() - 25], 25), b.text("record1_enc_last25"));
                EXPECT_EQ(to_hex(sha256(ct)), b.text("record1_enc_sha256"));
            },
            "rfc9189");
}

// Each expanded table against its published S-boxes, nibble by nibble, and the whole cipher
// against libgcrypt with the same S-box chosen by OID.
TEST(Gost28147, ExpandedTablesMatchPublishedSboxesAndLibgcrypt) {
    std::mt19937 rng(28147);
    const size_t n = VectorFile("gost28147_sboxes.txt").each([&](const auto& b) {
        const std::string name = b.text("name"), oid = b.text("oid");
        const TZ* tz = row_by_oid(oid).tz;
        ASSERT_EQ(tz->ready, 1u);
        uint8_t s[8][16];
        for (int i = 0; i < 8; ++i) {
            const std::string row = b.text("k" + std::to_string(i + 1));
            for (int v = 0; v < 16; ++v)
                s[i][v] = uint8_t(std::stoi(row.substr(v, 1), nullptr, 16));
        }
        for (uint32_t x : {0u, 1u, 0x12345678u, 0xffffffffu, 0x80000000u, uint32_t(rng())}) {
            uint32_t sub = 0;
            for (int i = 0; i < 8; ++i) sub |= uint32_t(s[i][x >> (4 * i) & 15]) << (4 * i);
            const uint32_t want = sub << 11 | sub >> 21;
            const uint32_t got = tz->k[0][x & 255] ^ tz->k[1][x >> 8 & 255] ^
                                 tz->k[2][x >> 16 & 255] ^ tz->k[3][x >> 24];
            EXPECT_EQ(got, want) << name;
        }
        for (int j = 0; j < 4; ++j)
            for (int v = 0; v < 256; ++v) {
                const uint32_t sub =
                    (uint32_t(s[2 * j][v & 15]) | uint32_t(s[2 * j + 1][v >> 4]) << 4) << (8 * j);
                ASSERT_EQ(tz->k[j][v], sub << 11 | sub >> 21) << name << " " << j << " " << v;
            }
        for (int i = 0; i < 8; ++i) {
            const Bytes key = random_bytes(rng, 32), pt = random_bytes(rng, 8 * (1 + rng() % 40));
            Gcrypt g(GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_ECB, oid, key, nullptr);
            EXPECT_EQ(to_hex(run(GOST28147_89_MODE_ECB, 1, tz, 0, key, nullptr, pt)),
                      to_hex(g.encrypt(pt)))
                << name;
        }
    });
    EXPECT_EQ(n, 8u);
}

TEST(Gost28147, CfbAndCbcAgreeWithLibgcrypt) {
    std::mt19937 rng(4357);
    for (const auto& row : kGost28147Params) {
        for (int i = 0; i < 6; ++i) {
            const Bytes key = random_bytes(rng, 32), iv = random_bytes(rng, 8);
            const size_t len = i == 0 ? 1024 : i == 1 ? 3000 + rng() % 2000 : 1 + rng() % 2100;
            const Bytes pt = random_bytes(rng, len);
            const size_t piece = i % 3 == 0 ? 0 : 1 + rng() % 100;
            for (uint32_t mesh : {0u, 1u}) {
                // libgcrypt meshes only with the sets that call for it.
                if (mesh && !row.key_meshing) continue;
                Gcrypt g(mesh ? GCRY_CIPHER_GOST28147_MESH : GCRY_CIPHER_GOST28147,
                         GCRY_CIPHER_MODE_CFB, peer_oid(row), key, &iv);
                const Bytes ct = run(GOST28147_89_MODE_CFB, 1, row.tz, mesh, key, &iv, pt, piece);
                EXPECT_EQ(ct, g.encrypt(pt)) << row.name << " len " << len << " mesh " << mesh;
                EXPECT_EQ(run(GOST28147_89_MODE_CFB, 0, row.tz, mesh, key, &iv, ct, piece), pt);
            }
            const Bytes whole(pt.begin(), pt.begin() + (len & ~size_t(7)));
            Gcrypt cbc(GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_CBC, peer_oid(row), key, &iv);
            const Bytes ct = run(GOST28147_89_MODE_CBC, 1, row.tz, 0, key, &iv, whole, piece);
            EXPECT_EQ(ct, cbc.encrypt(whole)) << row.name;
            EXPECT_EQ(run(GOST28147_89_MODE_CBC, 0, row.tz, 0, key, &iv, ct, piece), whole);
        }
    }
}

// libgcrypt's MAC never meshes and pads messages of one block with an extra zero block, so it
// is a peer for messages over 8 bytes up to the first meshing point.
TEST(Gost28147, MacAgreesWithLibgcrypt) {
    std::mt19937 rng(5830);
    for (const auto& row : kGost28147Params) {
        for (int i = 0; i < 8; ++i) {
            const Bytes key = random_bytes(rng, 32), iv = random_bytes(rng, 8);
            const Bytes msg = random_bytes(rng, 9 + rng() % 1016);
            const Bytes* ivp = i % 2 ? &iv : nullptr;
            const Bytes ours = mac(row.tz, row.key_meshing, key, ivp, msg, 1 + rng() % 20);
            EXPECT_EQ(to_hex(ours.data(), 4), to_hex(gcrypt_imit(peer_oid(row), key, ivp, msg)))
                << row.name << " len " << msg.size();
        }
        const Bytes key = random_bytes(rng, 32), msg = random_bytes(rng, 3000);
        EXPECT_EQ(to_hex(mac(row.tz, 0, key, nullptr, msg).data(), 4),
                  to_hex(gcrypt_imit(peer_oid(row), key, nullptr, msg)));
    }
}

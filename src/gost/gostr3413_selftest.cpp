// Known-answer self-tests: the worked examples of GOST R 34.12-2015 and GOST R 34.13-2015 (Annex
// A), one per cipher and mode, run by every public initialisation before it touches the caller's
// context.
#include <array>
#include <cstring>

#include "gost/gostr3413_internal.h"

namespace gostr3413 {
namespace {

template <size_t N>
struct Hex {
    std::array<uint8_t, N> b{};
    consteval Hex(const char (&s)[2 * N + 1]) {
        auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
        for (size_t i = 0; i < N; ++i)
            b[i] = static_cast<uint8_t>(nibble(s[2 * i]) << 4 | nibble(s[2 * i + 1]));
    }
    const uint8_t* data() const { return b.data(); }
    static constexpr size_t size() { return N; }
};

// The examples of the standards, first byte first.
template <class C>
struct Example;

template <>
struct Example<Kuznechik> {
    static constexpr Hex<32> key{
        "8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef"};
    static constexpr Hex<64> pt{
        "1122334455667700ffeeddccbbaa998800112233445566778899aabbcceeff0a"
        "112233445566778899aabbcceeff0a002233445566778899aabbcceeff0a0011"};
    static constexpr Hex<8> iv_ctr{"1234567890abcef0"};
    static constexpr Hex<32> iv_cbc{
        "1234567890abcef0a1b2c3d4e5f0011223344556677889901213141516171819"};
    static constexpr Hex<32> iv_ofb = iv_cbc;
    static constexpr size_t s = 16, m_cbc = 32, m_ofb = 32, mac_len = 16;
    static constexpr Hex<64> ecb{
        "7f679d90bebc24305a468d42b9d4edcdb429912c6e0032f9285452d76718d08b"
        "f0ca33549d247ceef3f5a5313bd4b157d0b09ccde830b9eb3a02c4c5aa8ada98"};
    static constexpr Hex<64> ctr{
        "f195d8bec10ed1dbd57b5fa240bda1b885eee733f6a13e5df33ce4b33c45dee4"
        "a5eae88be6356ed3d5e877f13564a3a5cb91fab1f20cbab6d1c6d15820bdba73"};
    static constexpr Hex<64> ofb{
        "81800a59b1842b24ff1f795e897abd95ed5b47a7048cfab48fb521369d9326bf"
        "66a257ac3ca0b8b1c80fe7fc10288a13203ebbc066138660a0292243f6903150"};
    static constexpr Hex<64> cbc{
        "689972d4a085fa4d90e52e3d6d7dcc272826e661b478eca6af1e8e448d5ea5ac"
        "fe7babf1e91999e85640e8b0f49d90d0167688065a895c631a2d9a1560b63970"};
    static constexpr Hex<64> cfb{
        "81800a59b1842b24ff1f795e897abd95ed5b47a7048cfab48fb521369d9326bf"
        "79f2a8eb5cc68d38842d264e97a238b54ffebecd4e922de6c75bd9dd44fbf4d1"};
    static constexpr Hex<8> mac{"336f4d296059fbe3"};  // the standard prints these 8 bytes
};

template <>
struct Example<Magma> {
    static constexpr Hex<32> key{
        "ffeeddccbbaa99887766554433221100f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"};
    static constexpr Hex<32> pt{"92def06b3c130a59db54c704f8189d204a98fb2e67a8024c8912409b17b57e41"};
    static constexpr Hex<4> iv_ctr{"12345678"};
    static constexpr Hex<24> iv_cbc{"1234567890abcdef234567890abcdef134567890abcdef12"};
    static constexpr Hex<16> iv_ofb{"1234567890abcdef234567890abcdef1"};
    static constexpr size_t s = 8, m_cbc = 24, m_ofb = 16, mac_len = 8;
    static constexpr Hex<32> ecb{
        "2b073f0494f372a0de70e715d3556e4811d8d9e9eacfbc1e7c68260996c67efb"};
    static constexpr Hex<32> ctr{
        "4e98110c97b7b93c3e250d93d6e85d69136d868807b2dbef568eb680ab52a12d"};
    static constexpr Hex<32> ofb{
        "db37e0e266903c830d46644c1f9a089ca0f83062430e327ec824efb8bd4fdb05"};
    static constexpr Hex<32> cbc{
        "96d1b05eea683919aff76129abb937b95058b4a1c4bc001920b78b1a7cd7e667"};
    static constexpr Hex<32> cfb{
        "db37e0e266903c830d46644c1f9a089c24bdd2035315d38bbcc0321421075505"};
    // The standard prints the 32-bit MAC 154e7210; the whole last block is compared.
    static constexpr Hex<8> mac{"154e72102030c5bb"};
};

template <size_t N>
bool same(const uint8_t* got, const Hex<N>& want) {
    return std::memcmp(got, want.data(), N) == 0;
}

// Encrypts the example plaintext with a context built by setup and compares with want; with
// round_trip, decrypts the result with a second context and compares with the plaintext too.
template <class C, class Ctx, class Setup, class Update, size_t N>
bool run(Setup setup, Update update, const Hex<N>& want, bool round_trip) {
    using E = Example<C>;
    constexpr size_t len = E::pt.size();
    static_assert(N == len);
    uint8_t out[len], back[len];
    Ctx enc, dec;
    if (setup(&enc, GOSTR3413_ENCRYPT) != 0 || update(&enc, E::pt.data(), out, len) != 0)
        return false;
    if (!same(out, want)) return false;
    if (!round_trip) return true;
    if (setup(&dec, GOSTR3413_DECRYPT) != 0 || update(&dec, out, back, len) != 0) return false;
    return same(back, E::pt);
}

}  // namespace

template <class C>
int self_test(SelfTest which) {
    using E = Example<C>;
    const uint8_t* key = E::key.data();
    bool ok = false;
    switch (which) {
        case SelfTest::ecb:
            ok = run<C, Ecb<C>>([&](Ecb<C>* c, int d) { return ecb_setup(c, d, key); },
                                ecb_update<C>, E::ecb, false);
            break;
        case SelfTest::cbc:
            ok = run<C, Cbc<C>>(
                [&](Cbc<C>* c, int d) { return cbc_setup(c, d, key, E::iv_cbc.data(), E::m_cbc); },
                cbc_update<C>, E::cbc, true);
            break;
        case SelfTest::ctr:
            ok = run<C, Ctr<C>>(
                [&](Ctr<C>* c, int d) { return ctr_setup(c, d, key, E::s, E::iv_ctr.data()); },
                ctr_update<C>, E::ctr, false);
            break;
        case SelfTest::ofb:
            ok = run<C, Ofb<C>>(
                [&](Ofb<C>* c, int d) {
                    return ofb_setup(c, d, key, E::s, E::iv_ofb.data(), E::m_ofb);
                },
                ofb_update<C>, E::ofb, false);
            break;
        case SelfTest::cfb:
            ok = run<C, Cfb<C>>(
                [&](Cfb<C>* c, int d) {
                    return cfb_setup(c, d, key, E::s, E::iv_ofb.data(), E::m_ofb);
                },
                cfb_update<C>, E::cfb, true);
            break;
        case SelfTest::mac: {
            Mac<C> mac;
            uint8_t tag[C::block];
            ok = mac_setup(&mac, key, E::mac_len) == 0 &&
                 mac_update(&mac, E::pt.data(), E::pt.size()) == 0 && mac_final(&mac, tag) == 0 &&
                 same(tag, E::mac);
            break;
        }
    }
    return ok ? 0 : 1;
}

template int self_test<Kuznechik>(SelfTest);
template int self_test<Magma>(SelfTest);

}  // namespace gostr3413

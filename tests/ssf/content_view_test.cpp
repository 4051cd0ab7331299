// Large documents are worked on where they lie: the content read in place must be exactly what
// the crypto library's decoder gives, and outputs built around it exactly what the copying
// routines built.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fixture.h"
#include "ssf/encode.h"
#include "ssf/pkcs7/workers.h"

using namespace ssf_test;
using namespace test_pki;

namespace {

const std::string kDataOid = "\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x01";

// For the RSA leaf with AES-256-CBC: a block cipher whose padding the develope takes off.
std::string padded_envelope(const std::string& content) {
    ossl::X509Stack certs = ossl::new_x509_stack();
    sk_X509_push(certs.get(), ossl::up_ref(get().rsa_leaf.cert.get()).release());
    ossl::Bio in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    ossl::Pkcs7 p7(PKCS7_encrypt(certs.get(), in.get(), EVP_aes_256_cbc(), PKCS7_BINARY));
    return p7 ? str(to_der(p7.get())) : std::string();
}

class ContentView : public Started {};

// decode_data against the crypto library's own decoder, on every form a message may take.
TEST_F(ContentView, DecodedContentIsWhatTheDecoderReads) {
    const std::string der = data_message("abcde");
    const std::string big = data_message(std::string(70000, 'z'));
    const struct {
        const char* name;
        std::string input;
    } cases[] = {
        {"DER data", der},
        {"DER data, long lengths", big},
        {"trailing bytes", der + "xyz"},
        {"BER, indefinite and constructed", "\x30\x80" + kDataOid +
                                                std::string("\xa0\x80\x24\x80\x04\x03"
                                                            "abc\x04\x02"
                                                            "de",
                                                            14) +
                                                std::string(6, '\0')},
        {"long form of a short length", "\x30\x81\x14" + der.substr(2)},
        {"an element too many", "\x30\x16" + der.substr(2) + std::string("\x05\x00", 2)},
        {"empty content", data_message("")},
        {"absent content", "\x30\x0b" + kDataOid},
        {"truncated", der.substr(0, der.size() - 1)},
        {"length past the end", "\x30\x7f" + der.substr(2)},
        {"signed", str(signed_der("content"))},
        {"enveloped", str(enveloped_der("content"))},
        {"digested", str(digested_der())},
        {"no PKCS#7 at all", "hello"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const unsigned char* p = bytes(c.input).data();
        ossl::Pkcs7 ref(d2i_PKCS7(nullptr, &p, static_cast<long>(c.input.size())));
        ERR_clear_error();
        int want = ssf::SSF_RC_NOT_PKCS7;
        std::string content;
        if (ref && PKCS7_type_is_data(ref.get())) {
            if (ref->d.data)
                content.assign(reinterpret_cast<char*>(ref->d.data->data), ref->d.data->length);
            want = content.empty() ? ssf::SSF_RC_MEMORY : 0;
        } else if (ref && (PKCS7_type_is_signed(ref.get()) || PKCS7_type_is_enveloped(ref.get()))) {
            content = c.input;
            want = 0;
        }
        ssf::OutData out;
        EXPECT_EQ(ssf::decode_data(out, bytes(c.input)), want);
        EXPECT_EQ(str(out), want == 0 ? content : "");
    }
}

// The header written in front of content in place is the one encode_data writes, on both sides
// of every change in the size of a length.
TEST_F(ContentView, DataHeaderMatchesTheEncoder) {
    for (size_t n : {0, 1, 100, 112, 113, 127, 128, 200, 255, 256, 65535, 65536, 70000}) {
        SCOPED_TRACE(n);
        const std::string content(n, 'x');
        unsigned char header[ssf::kDataHeaderMax];
        const size_t h = ssf::data_message_header(n, header);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(header), h) + content, data_message(content));
    }
}

// Develope decrypts into the caller's buffer behind room for the header: padding taken off,
// sizes at the edges of a length, and a signed message that comes back as it is.
TEST_F(ContentView, DevelopedOutputAsTheEncoderMakesIt) {
    const std::string p12 = write_p12("rsa.p12", pki->rsa_leaf, kPassword);
    const std::string signed_content = str(signed_der("inner"));
    std::vector<std::string> contents = {signed_content};
    for (size_t n : {1, 15, 16, 100, 111, 112, 127, 128, 4096, 70000})
        contents.push_back(std::string(n, 'q'));
    for (const std::string& content : contents) {
        SCOPED_TRACE(content.size());
        Sap fmt("PKCS7"), input(padded_envelope(content));
        Record r(subject_text("Leaf RSA"), p12, kPassword);
        Out out;
        ASSERT_EQ(SsfDevelope(fmt.p(), fmt.n(), input.p(), input.n(), &r.info, &out.data, &out.len),
                  0u);
        EXPECT_EQ(out.str(), content == signed_content ? content : data_message(content));
    }
}

// Envelope writes the headers in front of content it encrypts in place: the message must be the
// one the encoder writes for it, on both sides of every change in the size of a length.
TEST_F(ContentView, EnvelopedOutputAsTheEncoderWritesIt) {
    const std::string pab = dir.path() + "/pab";
    ASSERT_EQ(mkdir(pab.c_str(), 0700), 0);
    write_file(pab + "/rsa.pem", pem_of(pki->rsa_leaf.cert.get()));
    const std::string p12 = write_p12("rsa.p12", pki->rsa_leaf, kPassword);
    for (size_t n : {1, 60, 61, 100, 200, 65400, 65536, 70000}) {
        SCOPED_TRACE(n);
        const std::string content(n, 'e');
        Record r(subject_text("Leaf RSA"));
        SigRcpSsfInformationListElement node{nullptr, &r.info};
        Sap fmt("PKCS7"), cipher("GOST-28147-89"), input(data_message(content)), name(pab);
        Out out;
        ASSERT_EQ(SsfEnvelope(fmt.p(), fmt.n(), cipher.p(), cipher.n(), input.p(), input.n(),
                              name.p(), name.n(), nullptr, 0, &node, &out.data, &out.len),
                  0u);
        const std::string der = out.str();
        ossl::Pkcs7 p7 = from_der(Der(der.begin(), der.end()));
        ASSERT_TRUE(p7);
        EXPECT_EQ(str(to_der(p7.get())), der);
        Sap env(der);
        Record me(subject_text("Leaf RSA"), p12, kPassword);
        Out plain;
        ASSERT_EQ(
            SsfDevelope(fmt.p(), fmt.n(), env.p(), env.n(), &me.info, &plain.data, &plain.len), 0u);
        EXPECT_EQ(plain.str(), data_message(content));
    }
}

}  // namespace

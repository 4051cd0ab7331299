// The object map against the crypto library's own table.
#include "cryptoext/objects.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <set>
#include <string>

#include "cryptoext/ossl.h"

using objmap::Obj;

namespace {

std::string dotted(int nid) {
    char buf[128] = "";
    OBJ_obj2txt(buf, sizeof buf, OBJ_nid2obj(nid), 1);
    return buf;
}

TEST(ObjectMap, EveryRowResolvesToItsIdentifierOrName) {
    ASSERT_TRUE(objmap::register_objects());
    std::set<int> seen;
    for (const auto& r : objmap::rows()) {
        SCOPED_TRACE(r.name);
        const int nid = objmap::nid(r.key);
        ASSERT_NE(nid, NID_undef);
        EXPECT_TRUE(seen.insert(nid).second) << "two rows name one object";
        if (r.oid != nullptr) {
            EXPECT_EQ(dotted(nid), r.oid);
        } else {
            EXPECT_STREQ(OBJ_nid2sn(nid), r.lookup_sn);
            EXPECT_EQ(OBJ_length(OBJ_nid2obj(nid)), 0u) << "expected an object without identifier";
        }
        ASSERT_NE(OBJ_nid2ln(nid), nullptr);
        EXPECT_STRNE(OBJ_nid2ln(nid), "");
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(Obj::kCount));
}

// Names other code looks our objects up by, where they differ from the crypto library's; the
// mode identifiers of the old patches belong to other modes here and ours must not take them.
TEST(ObjectMap, NamesTheCryptoLibraryUsesForOurObjects) {
    for (auto [o, sn] : {std::pair{Obj::gost_28147_param_Z, "id-tc26-gost-28147-param-Z"},
                         {Obj::magma, "id-tc26-cipher-gostr3412-2015-magma"},
                         {Obj::kuznechik, "id-tc26-cipher-gostr3412-2015-kuznyechik"},
                         {Obj::KC1ClassSignTool, "classSignToolKC1"},
                         {Obj::signingCertificateV2, "id-smime-aa-signingCertificateV2"},
                         {Obj::Gost28147_89_CryptoPro_Simple_D_ParamSet,
                          "id-Gost28147-89-CryptoPro-Simple-D-ParamSet"},
                         {Obj::archiveTimestampV2, "id-smime-aa-ets-archiveTimestampV2"},
                         {Obj::RNS_FSS, "RNS-FSS"},
                         {Obj::KP_FSS, "KP-FSS"}})
        EXPECT_STREQ(OBJ_nid2sn(objmap::nid(o)), sn);
    EXPECT_STREQ(OBJ_nid2ln(objmap::nid(Obj::KP_FSS)), "kp-fss");
    EXPECT_STREQ(OBJ_nid2ln(objmap::nid(Obj::RNS_FSS)), "rns-fss");
    EXPECT_NE(objmap::nid(Obj::magma_ecb), OBJ_txt2nid("1.2.643.7.1.1.5.1.1"));
    EXPECT_NE(objmap::nid(Obj::kuznechik_ecb), OBJ_txt2nid("1.2.643.7.1.1.5.2.1"));
}

// The string type the crypto library chose for the text, or -1 when it refused it.
int type_of(Obj attribute, const std::string& text) {
    ossl::Asn1String s(ASN1_STRING_set_by_NID(nullptr,
                                              reinterpret_cast<const unsigned char*>(text.c_str()),
                                              -1, MBSTRING_ASC, objmap::nid(attribute)));
    ERR_clear_error();
    return s ? ASN1_STRING_type(s.get()) : -1;
}

TEST(ObjectMap, RussianNameAttributesHaveExactLengthsAndOneStringType) {
    ASSERT_TRUE(objmap::register_objects());
    struct Rule {
        Obj attribute;
        size_t length;
        int type;
    } const rules[] = {
        {Obj::INN, 12, V_ASN1_NUMERICSTRING},       {Obj::OGRN, 13, V_ASN1_NUMERICSTRING},
        {Obj::SNILS, 11, V_ASN1_NUMERICSTRING},     {Obj::OGRNIP, 15, V_ASN1_NUMERICSTRING},
        {Obj::RNS_FSS, 10, V_ASN1_PRINTABLESTRING}, {Obj::KP_FSS, 4, V_ASN1_PRINTABLESTRING},
    };
    for (const auto& r : rules) {
        SCOPED_TRACE(r.length);
        EXPECT_EQ(type_of(r.attribute, std::string(r.length, '7')), r.type);
        EXPECT_EQ(type_of(r.attribute, std::string(r.length - 1, '7')), -1);
        EXPECT_EQ(type_of(r.attribute, std::string(r.length + 1, '7')), -1);
        // Outside the permitted type: letters for numbers, '@' for printable strings.
        EXPECT_EQ(type_of(r.attribute, std::string(r.length - 1, '7') +
                                           (r.type == V_ASN1_NUMERICSTRING ? "a" : "@")),
                  -1);
    }
}

TEST(ObjectMap, ErrorTextsOfOurOwnCode) {
    const int lib = objmap::err::library();
    ASSERT_GT(lib, 0);
    const std::pair<int, const char*> texts[] = {
        {objmap::err::kPrngReadInitial, "failed to read initial value"},
        {objmap::err::kPrngWriteInitial, "failed to write initial value"},
        {objmap::err::kPrngInit, "failed to initialize PRNG"},
        {objmap::err::kInvalidStringsNumber, "invalid strings number"},
        {objmap::err::kEmptyValue, "empty value"},
    };
    for (const auto& [reason, text] : texts)
        EXPECT_STREQ(ERR_reason_error_string(ERR_PACK(lib, 0, reason)), text);
    ERR_clear_error();
    objmap::err::raise("TPRNG_RAND_ADD", objmap::err::kPrngInit);
    const char* func = nullptr;
    const unsigned long e = ERR_get_error_all(nullptr, nullptr, &func, nullptr, nullptr);
    EXPECT_EQ(ERR_GET_LIB(e), lib);
    EXPECT_EQ(ERR_GET_REASON(e), objmap::err::kPrngInit);
    EXPECT_STREQ(func, "TPRNG_RAND_ADD");
}

}  // namespace

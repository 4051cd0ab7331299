// Records and lists: copies the record owns, list order, and release of everything (the
// sanitizer build reports any leak).
#include "ssf/records.h"

#include <openssl/crypto.h>

#include <cstring>

#include "fixture.h"
#include "ssf/codes.h"

using namespace ssf_test;

namespace {

class Records : public Started {
  protected:
    SigRcpSsfInfo* make(const char* id, const char* password = nullptr, SAP_UINT password_len = 0) {
        SigRcpSsfInfo* rec = nullptr;
        Sap i(id), pw(password ? password : "");
        EXPECT_EQ(SsfNEWSigRcpSsfInfo(i.p(), i.n(), nullptr, 0, nullptr, 0,
                                      password ? pw.p() : nullptr, password_len, 28, &rec),
                  0u);
        return rec;
    }
};

TEST_F(Records, NewRecordOwnsNulTerminatedCopiesOfWhatHasALength) {
    std::string id(40, 'a');
    Sap reserved("res"), profile("token=/lib/p11.so"), password("secret");
    SigRcpSsfInfo* rec = nullptr;
    ASSERT_EQ(SsfNEWSigRcpSsfInfo(Sap(id).p(), 40, reserved.p(), reserved.n(), profile.p(),
                                  profile.n(), password.p(), password.n(), 7, &rec),
              0u);
    EXPECT_EQ(rec->strSigRcpIdL, 40u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec->strSigRcpId)), id);  // NUL at [40]
    EXPECT_STREQ(reinterpret_cast<char*>(rec->strSigRcpReserved), "res");
    EXPECT_STREQ(reinterpret_cast<char*>(rec->strSigRcpProfile), "token=/lib/p11.so");
    EXPECT_EQ(rec->strSigRcpProfileL, profile.n());
    EXPECT_NE(rec->strSigRcpProfile, profile.p());
    EXPECT_STREQ(reinterpret_cast<char*>(rec->strSigRcpPassword), "secret");
    EXPECT_EQ(rec->uResult, 7u);
    std::string log = fresh();
    EXPECT_NE(log.find("strSigRcpId: size=40: 61 61"), std::string::npos);
    EXPECT_TRUE(has_line(log, "SsfNEWSigRcpSsfInfo() end, retcode = 0"));
    EXPECT_EQ(SsfDELSigRcpSsfInfo(&rec), 0u);
    // Fields given without a length stay empty; a length with its top bit set counts as none,
    // never as a copy of gigabytes.
    for (SAP_UINT n : {0u, 0x80000002u}) {
        rec = make("id", "pw", n);
        EXPECT_EQ(rec->strSigRcpPassword, nullptr);
        EXPECT_EQ(rec->strSigRcpPasswordL, 0u);
        EXPECT_EQ(rec->strSigRcpReserved, nullptr);
        EXPECT_EQ(SsfDELSigRcpSsfInfo(&rec), 0u);
    }
}

TEST_F(Records, MissingArgumentsGiveTheirCodes) {
    SigRcpSsfInfo* rec = reinterpret_cast<SigRcpSsfInfo*>(8);
    Sap id("x");
    EXPECT_EQ(SsfNEWSigRcpSsfInfo(id.p(), 0, nullptr, 0, nullptr, 0, nullptr, 0, 0, &rec), 52u);
    EXPECT_EQ(rec, nullptr);
    std::string log = fresh();
    EXPECT_NE(log.find("SsfNEWSigRcpSsfInfo() 1 : strSigRcpId = 0x"), std::string::npos);
    EXPECT_TRUE(has_line(log, "SsfNEWSigRcpSsfInfo() end, retcode = 52"));
    EXPECT_EQ(SsfNEWSigRcpSsfInfo(nullptr, 3, nullptr, 0, nullptr, 0, nullptr, 0, 0, &rec), 52u);
    EXPECT_EQ(SsfNEWSigRcpSsfInfo(id.p(), 0xFFFFFFFFu, nullptr, 0, nullptr, 0, nullptr, 0, 0, &rec),
              52u);
    EXPECT_EQ(SsfNEWSigRcpSsfInfo(id.p(), id.n(), nullptr, 0, nullptr, 0, nullptr, 0, 0, nullptr),
              13u);

    SigRcpSsfInfoList list = nullptr;
    EXPECT_EQ(SsfINSSigRcpSsfInfo(nullptr, &list), 53u);
    EXPECT_TRUE(has_line(fresh(), "SsfINSSigRcpSsfInfo() 1 : ptrSigRcpSsfInfo == NULL"));
    rec = make("id");
    EXPECT_EQ(SsfINSSigRcpSsfInfo(rec, nullptr), 54u);
    EXPECT_EQ(SsfDELSigRcpSsfInfo(&rec), 0u);
    EXPECT_EQ(rec, nullptr);  // released twice: a clean 53, not a double free
    EXPECT_EQ(SsfDELSigRcpSsfInfo(&rec), 53u);
    EXPECT_TRUE(has_line(fresh(), "SsfDELSigRcpSsfInfo() 2 : *ptrSigRcpSsfInfo == NULL"));
    EXPECT_EQ(SsfDELSigRcpSsfInfo(nullptr), 53u);
    EXPECT_TRUE(has_line(fresh(), "SsfDELSigRcpSsfInfo() 1 : ptrSigRcpSsfInfo == NULL"));
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(nullptr), 54u);
    EXPECT_TRUE(has_line(fresh(), "SsfDELSigRcpSsfInfoList() 1 : sigRcpSsfInfoList = 0"));
    // An empty list is released without a word.
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&list), 0u);
    EXPECT_EQ(fresh().find("ERROR"), std::string::npos);
}

TEST_F(Records, ListKeepsTheOrderOfTheCallsAndANodeWithoutRecordGivesMinusOne) {
    SigRcpSsfInfoList list = nullptr;
    for (const char* id : {"first", "second", "third"})
        ASSERT_EQ(SsfINSSigRcpSsfInfo(make(id), &list), 0u);
    std::vector<std::string> ids;
    for (auto* n = list; n; n = n->next)
        ids.emplace_back(reinterpret_cast<char*>(n->ptrSigRcp->strSigRcpId));
    EXPECT_EQ(ids, (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_TRUE(has_line(fresh(), "end SsfINSSigRcpSsfInfo, list == NULL"));
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&list), 0u);
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(has_line(fresh(), "end SsfDELSigRcpSsfInfoList, rc = 0"));

    ASSERT_EQ(SsfINSSigRcpSsfInfo(make("a"), &list), 0u);
    list->next = static_cast<SigRcpSsfInformationListElement*>(
        OPENSSL_zalloc(sizeof(SigRcpSsfInformationListElement)));
    ASSERT_EQ(SsfINSSigRcpSsfInfo(make("c"), &list), 0u);
    // The records behind the gap are freed too.
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&list), ssf::SSF_RC_NODE_WITHOUT_RECORD);
    EXPECT_EQ(list, nullptr);
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "######################## !cur->ptrSigRcp ############"));
    EXPECT_TRUE(has_line(log, "end SsfDELSigRcpSsfInfoList, rc = -1"));
}

TEST_F(Records, OctetStringReleaseAndSapStringCopies) {
    SAP_BYTE* p = static_cast<SAP_BYTE*>(OPENSSL_malloc(10));
    SAP_UINT n = 10;
    EXPECT_EQ(SsfDELSsfOctetstring(&p, &n), 0u);
    EXPECT_TRUE(p == nullptr && n == 0);
    n = 5;
    EXPECT_EQ(SsfDELSsfOctetstring(&p, &n), 0u);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(fresh().find("ERROR"), std::string::npos);
    EXPECT_EQ(SsfDELSsfOctetstring(nullptr, &n), 13u);
    EXPECT_EQ(SsfDELSsfOctetstring(&p, nullptr), 13u);

    const SAP_BYTE text[] = {'a', 'b', 0, 'c'};
    char* s = ssf::get_sz_string_from_sap_string(text, 4);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::memcmp(s, "ab\0c\0", 5), 0);
    OPENSSL_free(s);
    s = ssf::get_sz_string_from_sap_string(text, 0xFFFFFFFFu);
    EXPECT_STREQ(s, "");
    OPENSSL_free(s);
    EXPECT_EQ(ssf::get_sz_string_from_sap_string(nullptr, 3), nullptr);
    EXPECT_TRUE(has_line(fresh(), "get_sz_string_from_sap_string() 1 : Error: str = 0"));
}

}  // namespace

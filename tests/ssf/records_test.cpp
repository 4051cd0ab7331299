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
    SigRcpSsfInfo* make(const char* id, const char* profile = nullptr,
                        const char* password = nullptr, SAP_UINT password_len = 0) {
        SigRcpSsfInfo* rec = nullptr;
        Sap i(id), pr(profile ? profile : ""), pw(password ? password : "");
        EXPECT_EQ(SsfNEWSigRcpSsfInfo(i.p(), i.n(), nullptr, 0, profile ? pr.p() : nullptr, pr.n(),
                                      password ? pw.p() : nullptr, password_len, 28, &rec),
                  0u);
        return rec;
    }
};

TEST_F(Records, NewRecordOwnsNulTerminatedCopies) {
    std::string id(40, 'a');
    Sap reserved("res"), profile("token=/lib/p11.so"), password("secret");
    SigRcpSsfInfo* rec = nullptr;
    ASSERT_EQ(SsfNEWSigRcpSsfInfo(Sap(id).p(), 40, reserved.p(), reserved.n(), profile.p(),
                                  profile.n(), password.p(), password.n(), 7, &rec),
              0u);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->strSigRcpIdL, 40u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec->strSigRcpId)), id);  // NUL at [40]
    EXPECT_STREQ(reinterpret_cast<char*>(rec->strSigRcpReserved), "res");
    EXPECT_STREQ(reinterpret_cast<char*>(rec->strSigRcpProfile), "token=/lib/p11.so");
    EXPECT_EQ(rec->strSigRcpProfileL, profile.n());
    EXPECT_STREQ(reinterpret_cast<char*>(rec->strSigRcpPassword), "secret");
    EXPECT_EQ(rec->uResult, 7u);
    EXPECT_NE(rec->strSigRcpProfile, profile.p());
    std::string log = fresh();
    EXPECT_NE(log.find("SsfNEWSigRcpSsfInfo() started, strSigRcpId = 0x"), std::string::npos);
    EXPECT_NE(log.find("strSigRcpId: size=40: 61 61"), std::string::npos);
    EXPECT_TRUE(has_line(log, "SsfNEWSigRcpSsfInfo() end, retcode = 0"));
    EXPECT_EQ(SsfDELSigRcpSsfInfo(&rec), 0u);
}

TEST_F(Records, FieldsGivenWithoutLengthStayEmpty) {
    SigRcpSsfInfo* rec = make("id", "prof", "pw", 0);
    EXPECT_EQ(rec->strSigRcpPassword, nullptr);
    EXPECT_EQ(rec->strSigRcpPasswordL, 0u);
    EXPECT_EQ(rec->strSigRcpReserved, nullptr);
    EXPECT_EQ(SsfDELSigRcpSsfInfo(&rec), 0u);
    // A length with its top bit set counts as empty, never as a copy of gigabytes.
    rec = make("id", nullptr, "pw", 0x80000002u);
    EXPECT_EQ(rec->strSigRcpPassword, nullptr);
    EXPECT_EQ(SsfDELSigRcpSsfInfo(&rec), 0u);
}

TEST_F(Records, MissingIdentityGives52AndStoresNothing) {
    SigRcpSsfInfo* rec = reinterpret_cast<SigRcpSsfInfo*>(8);
    Sap id("x");
    EXPECT_EQ(SsfNEWSigRcpSsfInfo(id.p(), 0, nullptr, 0, nullptr, 0, nullptr, 0, 0, &rec), 52u);
    EXPECT_EQ(rec, nullptr);
    std::string log = fresh();
    EXPECT_NE(log.find("SsfNEWSigRcpSsfInfo() 1 : strSigRcpId = 0x"), std::string::npos);
    EXPECT_TRUE(has_line(log, "SsfDELSigRcpSsfInfo() 2 : *ptrSigRcpSsfInfo == NULL"));
    EXPECT_TRUE(has_line(log, "SsfNEWSigRcpSsfInfo() end, retcode = 52"));
    EXPECT_EQ(SsfNEWSigRcpSsfInfo(nullptr, 3, nullptr, 0, nullptr, 0, nullptr, 0, 0, &rec), 52u);
    EXPECT_EQ(SsfNEWSigRcpSsfInfo(id.p(), 0xFFFFFFFFu, nullptr, 0, nullptr, 0, nullptr, 0, 0, &rec),
              52u);
    EXPECT_EQ(SsfNEWSigRcpSsfInfo(id.p(), id.n(), nullptr, 0, nullptr, 0, nullptr, 0, 0, nullptr),
              13u);
}

TEST_F(Records, ListKeepsTheOrderOfTheCalls) {
    SigRcpSsfInfoList list = nullptr;
    for (const char* id : {"first", "second", "third"})
        ASSERT_EQ(SsfINSSigRcpSsfInfo(make(id), &list), 0u);
    std::vector<std::string> ids;
    for (auto* n = list; n; n = n->next)
        ids.emplace_back(reinterpret_cast<char*>(n->ptrSigRcp->strSigRcpId));
    EXPECT_EQ(ids, (std::vector<std::string>{"first", "second", "third"}));
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "end SsfINSSigRcpSsfInfo, list == NULL"));
    EXPECT_TRUE(has_line(log, "end SsfINSSigRcpSsfInfo, rc = 0"));
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&list), 0u);
    EXPECT_EQ(list, nullptr);
}

TEST_F(Records, MissingArguments) {
    SigRcpSsfInfoList list = nullptr;
    EXPECT_EQ(SsfINSSigRcpSsfInfo(nullptr, &list), 53u);
    EXPECT_TRUE(has_line(fresh(), "SsfINSSigRcpSsfInfo() 1 : ptrSigRcpSsfInfo == NULL"));
    SigRcpSsfInfo* rec = make("id");
    EXPECT_EQ(SsfINSSigRcpSsfInfo(rec, nullptr), 54u);
    EXPECT_EQ(SsfDELSigRcpSsfInfo(&rec), 0u);
    EXPECT_EQ(SsfDELSigRcpSsfInfo(nullptr), 53u);
    EXPECT_TRUE(has_line(fresh(), "SsfDELSigRcpSsfInfo() 1 : ptrSigRcpSsfInfo == NULL"));
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(nullptr), 54u);
    EXPECT_TRUE(has_line(fresh(), "SsfDELSigRcpSsfInfoList() 1 : sigRcpSsfInfoList = 0"));
    // An empty list is released without a word.
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&list), 0u);
    std::string log = fresh();
    EXPECT_EQ(log.find("ERROR"), std::string::npos);
    EXPECT_TRUE(has_line(log, "end SsfDELSigRcpSsfInfoList, rc = 0"));
}

TEST_F(Records, NodeWithoutRecordFreesTheWholeListAndGivesMinusOne) {
    SigRcpSsfInfoList list = nullptr;
    ASSERT_EQ(SsfINSSigRcpSsfInfo(make("a"), &list), 0u);
    auto* bare = static_cast<SigRcpSsfInformationListElement*>(
        OPENSSL_zalloc(sizeof(SigRcpSsfInformationListElement)));
    list->next = bare;
    ASSERT_EQ(SsfINSSigRcpSsfInfo(make("c"), &list), 0u);
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&list),
              0xFFFFFFFFu);  // the records behind the gap are freed too
    EXPECT_EQ(list, nullptr);
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "######################## !cur->ptrSigRcp ############"));
    EXPECT_TRUE(has_line(log, "end SsfDELSigRcpSsfInfoList, rc = -1"));
}

TEST_F(Records, OctetStringRelease) {
    SAP_BYTE* p = static_cast<SAP_BYTE*>(OPENSSL_malloc(10));
    SAP_UINT n = 10;
    EXPECT_EQ(SsfDELSsfOctetstring(&p, &n), 0u);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(n, 0u);
    n = 5;
    EXPECT_EQ(SsfDELSsfOctetstring(&p, &n), 0u);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(fresh().find("ERROR"), std::string::npos);
    EXPECT_EQ(SsfDELSsfOctetstring(nullptr, &n), 13u);
    EXPECT_EQ(SsfDELSsfOctetstring(&p, nullptr), 13u);
}

TEST_F(Records, SapStringCopies) {
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

// Protected profile passwords: recovery, integrity check and refusal of every damaged form.
#include "ssf/password.h"

#include <gtest/gtest.h>

#include "engines/gost/gost_ciphers.h"
#include "fixture.h"
#include "protected_password.h"

namespace {

using protected_password::protect;

class ProtectedPasswords : public ssf_test::Started {
  protected:
    std::string recover(const std::string& text) {
        ossl::CryptoChars p = ssf::DecryptPassword(text.c_str());
        return p ? std::string(p.get()) : std::string("<none>");
    }
};

TEST_F(ProtectedPasswords, RecoverTheirPasswordAndLogOnlyItsLength) {
    EXPECT_EQ(recover(protect("secret")), "secret");
    EXPECT_TRUE(logged("DecryptPassword() : password len = 6"));
    const std::string long_one(1023, 'p');
    EXPECT_EQ(recover(protect(long_one)), long_one);
    // Exactly IV and MAC: the empty password.
    EXPECT_EQ(protected_password::unbase64(protect("")).size(), 12u);
    EXPECT_EQ(recover(protect("")), "");
    EXPECT_FALSE(log_contains(protect("secret")));
}

TEST_F(ProtectedPasswords, DamagedFormsAreRefused) {
    std::string blob = protected_password::unbase64(protect("secret"));
    for (size_t i : {size_t{0}, size_t{8}, blob.size() - 1}) {
        std::string bad = blob;
        bad[i] ^= 0x01;
        EXPECT_EQ(recover(protected_password::base64(bad)), "<none>") << "byte " << i;
    }
    EXPECT_TRUE(logged("DecryptPassword() 3 : imito does not match"));

    EXPECT_EQ(recover(protected_password::base64(blob.substr(0, 11))), "<none>");
    EXPECT_TRUE(logged("DecryptPassword() 2 : wrong password len from '****************'"));
    EXPECT_EQ(recover("not base64 at all!"), "<none>");
    EXPECT_TRUE(logged("DecryptPassword() 1 : base64_decode() failed for '******************'"));
    EXPECT_EQ(recover(""), "<none>");
    // A password that would not fit the 1024-byte buffer is refused, not overrun.
    EXPECT_EQ(recover(protect(std::string(1024, 'p'))), "<none>");
    EXPECT_TRUE(logged("DecryptPassword() : password len = 1024"));
}

TEST_F(ProtectedPasswords, APasswordIsCutAtItsFirstNul) {
    // The MAC covers only the part before the NUL.
    const std::string with_nul("ab\0cd", 5);
    EXPECT_EQ(recover(protected_password::base64(protected_password::make_blob(with_nul, "ab"))),
              "ab");
    EXPECT_EQ(
        recover(protected_password::base64(protected_password::make_blob(with_nul, with_nul))),
        "<none>");
}

}  // namespace

// The stock openssl command as a real client of the engine, through the test-only dynamic
// engine wrapper: the digests must match the published vectors.
#include <gcrypt.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/openssl_tool.h"
#include "common/tempdir.h"
#include "common/vectors.h"

using testing_support::Bytes;
using testing_support::TempDir;
using testing_support::VectorBlock;
using testing_support::VectorFile;

namespace {

using Result = testing_support::ToolResult;

Result run(const std::string& args) {
    return testing_support::run_openssl(args);
}

class OpensslCli : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing_support::have_openssl()) GTEST_SKIP() << "no openssl command";
    }
    std::string dgst(const char* md, const Bytes& msg) {
        dir.write("msg", std::string(msg.begin(), msg.end()));
        const Result r = run("dgst -engine @W -" + std::string(md) + " -r " + dir.file("msg"));
        EXPECT_EQ(r.status, 0) << r.out;
        return r.out.substr(0, r.out.find(' '));
    }
    TempDir dir;
};

// Long messages and the test parameter set of 34.11-94 are covered in-process.
TEST_F(OpensslCli, DgstComputesTheGostDigests) {
    size_t n = 0;
    for (const char* file : {"streebog.txt", "gostr3411_94.txt"}) {
        VectorFile(file).each([&](const VectorBlock& b) {
            const std::string name = b.text("name"), digest = b.text("digest");
            (void)b.text("digest_rfc");
            const std::string alg = b.has("alg") ? b.text("alg") : b.text("paramset");
            if (!b.has("msg") || alg == "test") {
                if (!b.has("msg"))
                    (void)b.text("msg_len"), (void)b.text("msg_fill");
                else
                    (void)b.text("msg");
                return;
            }
            SCOPED_TRACE(name);
            const char* md = alg == "streebog256"   ? "md_gost12_256"
                             : alg == "streebog512" ? "md_gost12_512"
                                                    : "md_gost94";
            EXPECT_EQ(dgst(md, b.hex("msg")), digest);
            ++n;
        });
    }
    EXPECT_GE(n, 20u);
}

TEST_F(OpensslCli, HmacThroughTheCommand) {
    dir.write("msg", "abc");
    unsigned char mac[32];
    gcry_md_hd_t h = nullptr;
    ASSERT_EQ(gcry_md_open(&h, GCRY_MD_STRIBOG256, GCRY_MD_FLAG_HMAC), 0);
    ASSERT_EQ(gcry_md_setkey(h, "key", 3), 0);
    gcry_md_write(h, "abc", 3);
    std::memcpy(mac, gcry_md_read(h, GCRY_MD_STRIBOG256), sizeof mac);
    gcry_md_close(h);
    const Result r = run("dgst -engine @W -md_gost12_256 -hmac key -r " + dir.file("msg"));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 64), testing_support::to_hex(mac, sizeof mac));
}

// After LOAD the dynamic engine has become ours, so later -pre commands reach its control
// (every command's answers are checked in-process; here the route matters).
TEST_F(OpensslCli, EngineCommandsByName) {
    const std::string load = "engine -pre SO_PATH:@W -pre LOAD -pre ";
    struct Case {
        const char* command;
        bool accepted;
    } const cases[] = {
        {"PARAMS_GOST2012_512:id-tc26-gost-3410-2012-512-paramSetB", true},
        {"PBE_PRF_HMAC:id-tc26-hmac-gost-3411-2012-256", false},
    };
    for (const auto& c : cases) {
        const Result r = run(load + c.command + " dynamic");
        EXPECT_NE(r.out.find("Loaded: (gost) Kesta-Soft Orbssl Internal GOST engine"),
                  std::string::npos)
            << r.out;
        const std::string line =
            std::string(c.accepted ? "[Success]: " : "[Failure]: ") + c.command;
        EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    }
}

// The Kuznyechik and Magma ciphers through enc, both ways. enc cannot set an IV length, so only
// the examples whose register is the method's one block (or that take no IV) can run here.
TEST_F(OpensslCli, EncRunsTheKuznyechikAndMagmaExamples) {
    size_t n = 0;
    const VectorFile vectors("kuznyechik-magma.txt");
    for (const VectorBlock& b : vectors.blocks()) {
        const std::string kind = b.text("kind");
        const std::string mode = kind.substr(kind.find('-') + 1);
        const uint64_t block_bits = kind.rfind("kuznyechik", 0) == 0 ? 128 : 64;
        const bool cipher =
            mode == "ecb" || mode == "cbc" || mode == "ctr" || mode == "ofb" || mode == "cfb";
        if (!cipher || (b.has("m") && b.number("m") != block_bits)) continue;
        SCOPED_TRACE(b.text("name"));
        const Bytes pt = b.hex("pt"), ct = b.hex("ct");
        dir.write("pt", std::string(pt.begin(), pt.end()));
        dir.write("ct", std::string(ct.begin(), ct.end()));
        const std::string args = "enc -engine @W -" + kind + " -K " + b.text("key") +
                                 (b.has("iv") ? " -iv " + b.text("iv") : "") + " -in ";
        const Result enc = run(args + dir.file("pt")), dec = run(args + dir.file("ct") + " -d");
        EXPECT_EQ(enc.status, 0);
        EXPECT_EQ(enc.out, std::string(ct.begin(), ct.end()));
        EXPECT_EQ(dec.status, 0);
        EXPECT_EQ(dec.out, std::string(pt.begin(), pt.end()));
        ++n;
    }
    EXPECT_EQ(n, 10u);
    // A block mode given a message that is not whole blocks fails rather than dropping the rest.
    dir.write("odd", std::string(63, 'x'));
    EXPECT_NE(run("enc -engine @W -kuznyechik-cbc -K " + std::string(64, '1') + " -iv " +
                  std::string(32, '2') + " -in " + dir.file("odd"))
                  .status,
              0);
}

}  // namespace

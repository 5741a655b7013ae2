// SHA-256: standard digests, block boundaries, incremental feeding and a differential check
// against OpenSSL, each on both compression engines.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "crypto/sha256_impl.hpp"
#include "support/reference.hpp"
#include "tarn_crypto.h"

namespace {

using tarn::test::to_hex;

std::string digest(const std::string& m) {
    unsigned char out[32];
    tarn_sha256(m.data(), m.size(), out);
    return to_hex(out, 32);
}

std::string openssl_digest(const unsigned char* p, size_t n) {
    unsigned char out[32];
    SHA256(p, n, out);
    return to_hex(out, 32);
}

// Runs each test once on the portable engine and once on the SHA extensions (skipped when the
// CPU lacks them).
class Sha256 : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        const bool portable = GetParam();
        if (!portable && !tarn::crypto::sha256_hw_supported()) GTEST_SKIP() << "no SHA extensions";
        tarn::crypto::testing::force_portable_sha256(portable);
        ASSERT_EQ(tarn::crypto::testing::sha256_uses_hardware(), !portable);
    }
    void TearDown() override { tarn::crypto::testing::force_portable_sha256(false); }
};

TEST_P(Sha256, Fips180Vectors) {
    EXPECT_EQ(digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(digest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
                     "klmnopqrlmnopqrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    const std::string million(1000000, 'a');
    EXPECT_EQ(digest(million), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // The same million bytes fed 997 at a time (a prime, so block borders fall everywhere).
    tarn_sha256_ctx ctx;
    tarn_sha256_init(&ctx);
    for (size_t off = 0; off < million.size(); off += 997)
        tarn_sha256_update(&ctx, million.data() + off, std::min<size_t>(997, million.size() - off));
    EXPECT_EQ(ctx.total, 1000000u);
    unsigned char out[32];
    tarn_sha256_final(&ctx, out);
    EXPECT_EQ(to_hex(out, 32), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST_P(Sha256, PaddingBoundariesMatchOpenSsl) {
    // 55 bytes still fit the length in the last block, 56 need a second one; 63/64/65 straddle a
    // whole block; 119/120 and 128 do the same one block later.
    for (size_t n : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129}) {
        std::vector<unsigned char> m(n);
        for (size_t i = 0; i < n; ++i) m[i] = static_cast<unsigned char>(i * 7 + 1);
        unsigned char out[32];
        tarn_sha256(m.data(), n, out);
        EXPECT_EQ(to_hex(out, 32), openssl_digest(m.data(), n)) << "length " << n;
    }
}

TEST_P(Sha256, AnySplitGivesTheOneShotDigest) {
    std::vector<unsigned char> m(200);
    for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<unsigned char>(i ^ 0xA5);
    unsigned char whole[32];
    tarn_sha256(m.data(), m.size(), whole);
    // Every way of cutting the message into three pieces (with empty pieces and null data for
    // them), which covers every fill level of the block buffer before and after a bulk update.
    for (size_t i = 0; i <= m.size(); ++i) {
        for (size_t j = i; j <= m.size(); ++j) {
            tarn_sha256_ctx ctx;
            tarn_sha256_init(&ctx);
            tarn_sha256_update(&ctx, i ? m.data() : nullptr, i);
            tarn_sha256_update(&ctx, j > i ? m.data() + i : nullptr, j - i);
            tarn_sha256_update(&ctx, m.data() + j, m.size() - j);
            unsigned char out[32];
            tarn_sha256_final(&ctx, out);
            ASSERT_EQ(std::memcmp(out, whole, 32), 0) << "split " << i << "/" << j;
        }
    }
}

TEST_P(Sha256, RandomLengthsAndAlignmentsMatchOpenSsl) {
    std::mt19937_64 rng(GetParam() ? 1 : 2);
    std::vector<unsigned char> buf(20000);
    for (auto& b : buf) b = static_cast<unsigned char>(rng());
    for (int round = 0; round < 400; ++round) {
        const size_t offset = rng() % 16;  // whole blocks are read in place, at any alignment
        const size_t len = rng() % (buf.size() - 16);
        unsigned char out[32];
        tarn_sha256(buf.data() + offset, len, out);
        ASSERT_EQ(to_hex(out, 32), openssl_digest(buf.data() + offset, len))
            << "offset " << offset << " length " << len;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Portable" : "ShaExtensions"; });

// The run-time check must agree with what the kernel reports about the CPU, so that the fast path
// is neither missed on capable machines nor taken on machines without the instructions.
TEST(Sha256Dispatch, DetectionMatchesCpuFlags) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    bool found_flags = false, has_sha = false;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) != 0) continue;
        found_flags = true;
        has_sha = (line + " ").find(" sha_ni ") != std::string::npos;
        break;
    }
    if (!found_flags) GTEST_SKIP() << "no /proc/cpuinfo flags";
    EXPECT_EQ(tarn::crypto::sha256_hw_supported(), has_sha);
    tarn::crypto::testing::force_portable_sha256(false);
    EXPECT_EQ(tarn::crypto::testing::sha256_uses_hardware(), has_sha);
}

}  // namespace

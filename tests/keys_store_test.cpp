// The key store on a real data directory: keys.json as written byte for byte, the lenient reading
// rules, creation (also by processes racing for it), rotation, pruning, the listing, and what is
// left on disk when randomness, renames or the lock get in the way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/clock.hpp"
#include "foundation/fileio.hpp"
#include "id_foundation.h"
#include "id_jwt.h"
#include "id_keys.h"
#include "id_keys_bearssl.h"
#include "keys/key_store.hpp"
#include "support/jwt_reference.hpp"
#include "support/process.hpp"
#include "support/reference.hpp"
#include "support/test_env.hpp"

extern char** environ;

namespace {

using tarn::test::b64url;
using tarn::test::files_in;
using tarn::test::take;

using tarn::test::DataDirFixture;
using tarn::test::file_exists;
using tarn::test::read_file;
using tarn::test::write_file;

constexpr std::int64_t kNow = 1750000000;
constexpr std::int64_t kDay = 86400;
std::int64_t g_now = kNow;
std::int64_t test_clock() { return g_now; }

// One key object of keys.json.
struct Stored {
    std::string kid;
    std::int64_t created;
    std::string der;  // base64url
    std::string status;
};

// One element of "keys" as the store writes it, indented for its place in the array.
std::string element(const Stored& k) {
    return "        {\n            \"kid\": \"" + k.kid + "\",\n            \"created\": " +
           std::to_string(k.created) + ",\n            \"alg\": \"RS256\",\n" +
           "            \"priv_der_b64\": \"" + k.der + "\",\n            \"status\": \"" +
           k.status + "\"\n        }";
}

// keys.json in the form the store writes it (pretty, four-space indent, no final newline), from
// the texts of its elements.
std::string pretty_elements(const std::string& active, const std::vector<std::string>& elements) {
    std::string s = "{\n    \"active\": \"" + active + "\",\n    \"keys\": [";
    if (elements.empty()) return s + "]\n}";
    for (std::size_t i = 0; i < elements.size(); ++i) s += (i ? ",\n" : "\n") + elements[i];
    return s + "\n    ]\n}";
}

std::string pretty(const std::string& active, const std::vector<Stored>& keys) {
    std::vector<std::string> elements;
    for (const Stored& k : keys) elements.push_back(element(k));
    return pretty_elements(active, elements);
}

// Real key pairs, generated once per test program.
const std::vector<Stored>& pool() {
    static std::vector<Stored> keys = [] {
        std::vector<Stored> out;
        static id_key_entry e;
        for (int i = 0; i < 3; ++i) {
            if (id_key_generate(&e) != 0) std::abort();
            out.push_back({e.kid, 0, b64url(e.der, e.der_len), "retired"});
        }
        return out;
    }();
    return keys;
}

Stored key(int i, std::int64_t created, const std::string& status) {
    Stored k = pool()[static_cast<std::size_t>(i)];
    k.created = created;
    k.status = status;
    return k;
}

// A key object that loads (the store checks keys only at their first use).
Stored fake(const std::string& kid, std::int64_t created, const std::string& status) {
    return {kid, created, "MIIBAAAA", status};
}

timespec mtime(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mtim;
}

void set_old_mtime(const std::string& path) {
    timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

int fail_rename(const char*, const char*) {
    errno = EIO;
    return -1;
}
int g_renames_to_fail = 0;
int fail_some_renames(const char* from, const char* to) {
    if (g_renames_to_fail > 0) {
        --g_renames_to_fail;
        errno = EIO;
        return -1;
    }
    return ::rename(from, to);
}
int fail_link(const char*, const char*) {
    errno = EPERM;
    return -1;
}
br_prng_seeder no_seeder(const char**) { return nullptr; }

class KeyStore : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = kNow;
        tarn::testing::set_clock(&test_clock);
    }
    void TearDown() override {
        tarn::io_ops() = tarn::system_io();
        tarn::keys::testing::set_seeder_lookup(nullptr);
        tarn::testing::set_clock(nullptr);
        tarn::keys::testing::reset_table();
    }
    std::string keys_path() const { return data.file("keys.json"); }
    void write_keys(const std::string& text) {
        std::filesystem::create_directories(data.dir());
        write_file(keys_path(), text);
    }
    std::string active_kid() {
        char kid[24] = "unset";
        return id_keys_get_active(nullptr, nullptr, kid) == 0 ? kid : "<none>";
    }
    // A fresh table, as the next process would load it.
    std::string list_fresh() {
        tarn::keys::testing::reset_table();
        return take(id_keys_list_json());
    }
    // This process signs with the key `kid`, and the token verifies under that key as keys.json
    // holds it, read by OpenSSL and by PyJWT.
    void expect_signs_with(const std::string& kid) {
        char token[ID_JWT_TOKEN_CAP];
        ASSERT_EQ(id_jwt_sign_rs256(R"({"sub":"usr_1"})", token, sizeof token), 0);
        EXPECT_EQ(tarn::test::segment(token, 0), R"({"alg":"RS256","typ":"JWT","kid":")" + kid + "\"}");
        EVP_PKEY* pkey = tarn::test::stored_private_key(read_file(keys_path()), kid);
        ASSERT_NE(pkey, nullptr) << "OpenSSL reads the stored key";
        const std::string t(token);
        const std::string input = t.substr(0, t.rfind('.'));
        const tarn::test::Bytes sig = tarn::test::unb64url(t.substr(t.rfind('.') + 1));
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EXPECT_TRUE(EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, pkey) == 1 &&
                    EVP_DigestVerify(md, sig.data(), sig.size(), reinterpret_cast<const unsigned char*>(input.data()),
                                     input.size()) == 1);
        EVP_MD_CTX_free(md);
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PUBKEY(bio, pkey);
        char* pem = nullptr;
        const long pem_len = BIO_get_mem_data(bio, &pem);
        write_file(data.work() + "/public.pem", std::string(pem, static_cast<std::size_t>(pem_len)));
        BIO_free(bio);
        EVP_PKEY_free(pkey);
        write_file(data.work() + "/token", t);
        const std::string cmd = "/usr/bin/python3 -c 'import jwt, sys; d = jwt.decode(open(sys.argv[1]).read(), "
                                "open(sys.argv[2]).read(), algorithms=[\"RS256\"]); sys.exit(d[\"sub\"] != \"usr_1\")' " +
                                data.work() + "/token " + data.work() + "/public.pem";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << "PyJWT verifies the token";
    }

    DataDirFixture data;
};

TEST_F(KeyStore, FirstUseCreatesTheFileWithOneActiveKey) {
    int generated = tarn::keys::testing::generated_count();
    ASSERT_EQ(id_keys_load_or_create(), 0);
    EXPECT_EQ(tarn::keys::testing::generated_count(), generated + 1);
    const id_key_entry& e = tarn::keys::g_table.keys[0];
    ASSERT_EQ(tarn::keys::g_table.nkeys, 1);
    EXPECT_EQ(std::strlen(e.kid), 16u);
    EXPECT_EQ(read_file(keys_path()),
              pretty(e.kid, {{e.kid, kNow, b64url(e.der, e.der_len), "active"}}));
    EXPECT_EQ(tarn::test::file_mode(keys_path()), 0600u);
    EXPECT_EQ(files_in(data.dir()), (std::vector<std::string>{"keys.json", "keys.json.lock"}));
    EXPECT_EQ(active_kid(), e.kid);

    // Loaded once per process; the next process loads the same key instead of creating one.
    std::string kid = e.kid;
    std::string text = read_file(keys_path());
    EXPECT_EQ(id_keys_load_or_create(), 0);
    tarn::keys::testing::reset_table();
    EXPECT_EQ(id_keys_load_or_create(), 0);
    EXPECT_EQ(active_kid(), kid);
    EXPECT_EQ(read_file(keys_path()), text);
    EXPECT_EQ(tarn::keys::testing::generated_count(), generated + 1);
}

TEST_F(KeyStore, StoreWithoutUsableKeyFailsAndIsLeftAlone) {
    int generated = tarn::keys::testing::generated_count();
    for (const char* text : {"{\"keys\":[]}", "{\"active\":\"a\",\"keys\":[{\"kid\":\"a\"}]}", "[]",
                             "\"keys\"", "{\"keys\":{}}", "{\"active\":\"x\"}",
                             "{\"keys\":[1,\"x\",null,[]]}"}) {
        SCOPED_TRACE(text);
        tarn::keys::testing::reset_table();
        write_keys(text);
        set_old_mtime(keys_path());
        EXPECT_EQ(id_keys_load_or_create(), -1);
        EXPECT_EQ(take(id_keys_jwks_json()), "<null>");
        EXPECT_EQ(take(id_keys_list_json()), "<null>");
        EXPECT_EQ(id_keys_rotate(), -1);
        EXPECT_EQ(id_keys_prune(0), -1);
        EXPECT_EQ(read_file(keys_path()), text);
        EXPECT_EQ(mtime(keys_path()).tv_sec, 1000000000);
        EXPECT_EQ(files_in(data.dir()), (std::vector<std::string>{"keys.json", "keys.json.lock"}));
    }
    EXPECT_EQ(tarn::keys::testing::generated_count(), generated);
}

TEST_F(KeyStore, UnparseableStoreIsSetAsideBeforeItIsReplaced) {
    for (std::string text : {std::string("not json"), std::string("{\"keys\":[],}"),
                             std::string("{\"active\":\"\xC3\x28\",\"keys\":[]}")}) {
        SCOPED_TRACE(text);
        std::filesystem::remove_all(data.dir());
        tarn::keys::testing::reset_table();
        write_keys(text);
        ASSERT_EQ(id_keys_load_or_create(), 0);
        const id_key_entry& e = tarn::keys::g_table.keys[0];
        EXPECT_EQ(read_file(keys_path()),
                  pretty(e.kid, {{e.kid, kNow, b64url(e.der, e.der_len), "active"}}));
        std::string aside = "keys.json.corrupt-" + std::to_string(kNow);
        EXPECT_EQ(read_file(data.file(aside)), text);
        EXPECT_EQ(files_in(data.dir()), (std::vector<std::string>{"keys.json", aside, "keys.json.lock"}));
    }
}

TEST_F(KeyStore, UnparseableStoreStaysWhenItCannotBeSetAside) {
    write_keys("not json");
    tarn::io_ops().link = &fail_link;
    tarn::io_ops().rename = &fail_rename;
    EXPECT_EQ(id_keys_load_or_create(), -1);
    EXPECT_EQ(read_file(keys_path()), "not json");
    EXPECT_EQ(files_in(data.dir()), (std::vector<std::string>{"keys.json", "keys.json.lock"}));
}

TEST_F(KeyStore, UnreadableStoreIsNeverReplaced) {
    std::filesystem::create_directories(keys_path() + "/inside");
    int generated = tarn::keys::testing::generated_count();
    EXPECT_EQ(id_keys_load_or_create(), -1);
    EXPECT_TRUE(std::filesystem::is_directory(keys_path() + "/inside"));
    EXPECT_EQ(tarn::keys::testing::generated_count(), generated);
}

TEST_F(KeyStore, NoRandomnessNoKeyAndNothingStored) {
    tarn::keys::testing::set_seeder_lookup(&no_seeder);
    EXPECT_EQ(id_keys_load_or_create(), -1);
    EXPECT_EQ(take(id_keys_jwks_json()), "<null>");
    EXPECT_EQ(files_in(data.dir()), (std::vector<std::string>{"keys.json.lock"}));
    tarn::keys::testing::set_seeder_lookup(nullptr);
    EXPECT_EQ(id_keys_load_or_create(), 0);
    EXPECT_TRUE(file_exists(keys_path()));
}

TEST_F(KeyStore, FailedSaveOfTheFirstKeyIsRetriedThreeTimes) {
    int generated = tarn::keys::testing::generated_count();
    tarn::io_ops().rename = &fail_rename;
    EXPECT_EQ(id_keys_load_or_create(), -1);
    EXPECT_EQ(tarn::keys::testing::generated_count(), generated + 4) << "one save and 3 retries";
    EXPECT_EQ(files_in(data.dir()), (std::vector<std::string>{"keys.json.lock"}));
    id_lock lock;
    EXPECT_EQ(id_lock_acquire_wait(&lock, "keys.json", 0), 0) << "the lock was released";
    id_lock_release(&lock);

    // A save that fails once: the second fresh key is the one stored and used.
    tarn::io_ops().rename = &fail_some_renames;
    g_renames_to_fail = 1;
    generated = tarn::keys::testing::generated_count();
    ASSERT_EQ(id_keys_load_or_create(), 0);
    EXPECT_EQ(tarn::keys::testing::generated_count(), generated + 2);
    const id_key_entry& e = tarn::keys::g_table.keys[0];
    EXPECT_EQ(read_file(keys_path()),
              pretty(e.kid, {{e.kid, kNow, b64url(e.der, e.der_len), "active"}}));
}

TEST_F(KeyStore, LenientReadingRules) {
    std::string long_der(4097, 'A');
    std::string max_der(4096, 'A');
    write_keys(
        "{\"active\":\"named-by-active-and-cut-after-23\",\"active\":\"second\",\"keys\":[\n"
        " 7, \"text\", null, [],\n"
        " {\"kid\":\"no-der\"},\n"
        " {\"priv_der_b64\":\"AAAA\"},\n"
        " {\"kid\":5,\"priv_der_b64\":\"AAAA\"},\n"
        " {\"kid\":\"der-not-text\",\"priv_der_b64\":5},\n"
        " {\"kid\":\"hs256\",\"alg\":\"HS256\",\"priv_der_b64\":\"AAAA\"},\n"
        " {\"kid\":\"rs256-prefix\",\"alg\":\"RS2560\",\"priv_der_b64\":\"AAAA\"},\n"
        " {\"kid\":\"bad-char\",\"priv_der_b64\":\"AA*A\"},\n"
        " {\"kid\":\"empty-der\",\"priv_der_b64\":\"\"},\n"
        " {\"kid\":\"der-too-long\",\"priv_der_b64\":\"" + long_der + "\"},\n"
        " {\"kid\":\"no-alg\",\"priv_der_b64\":\"AAAA\",\"created\":12.9,\"status\":\"active\"},\n"
        " {\"kid\":\"alg-number\",\"alg\":256,\"priv_der_b64\":\"AA==\",\"created\":-12.9,\"status\":\"ACTIVE\"},\n"
        " {\"kid\":\"der-4096\",\"priv_der_b64\":\"" + max_der + "\",\"created\":\"1700000000\",\"status\":1},\n"
        " {\"kid\":\"first\",\"kid\":\"second\",\"priv_der_b64\":\"AAAA\",\"created\":9223372036854775807},\n"
        " {\"kid\":\"abcdefghijklmnopqrstuvwxyz\",\"alg\":\"RS256\",\"priv_der_b64\":\"AAAA\",\"created\":1e300},\n"
        " {\"kid\":\"aaaaaaaaaaaaaaaaaaaaaa\xE2\x82\xAC\",\"priv_der_b64\":\"AAAA\",\"created\":18446744073709551615},\n"
        " {\"kid\":\"q\\\"\\\\\\u0001\",\"priv_der_b64\":\"AAAA\",\"created\":-9223372036854775808}\n"
        "]}");
    ASSERT_EQ(id_keys_load_or_create(), 0);
    EXPECT_STREQ(tarn::keys::g_table.active_kid, "named-by-active-and-cut");
    EXPECT_EQ(take(id_keys_list_json()),
              "[{\"kid\":\"no-alg\",\"created\":12,\"alg\":\"RS256\",\"status\":\"active\"},"
              "{\"kid\":\"alg-number\",\"created\":-12,\"alg\":\"RS256\",\"status\":\"retired\"},"
              "{\"kid\":\"der-4096\",\"created\":0,\"alg\":\"RS256\",\"status\":\"retired\"},"
              "{\"kid\":\"first\",\"created\":9223372036854775807,\"alg\":\"RS256\",\"status\":\"retired\"},"
              "{\"kid\":\"abcdefghijklmnopqrstuvw\",\"created\":9223372036854775807,\"alg\":\"RS256\",\"status\":\"retired\"},"
              "{\"kid\":\"aaaaaaaaaaaaaaaaaaaaaa\",\"created\":9223372036854775807,\"alg\":\"RS256\",\"status\":\"retired\"},"
              "{\"kid\":\"q\\\"\\\\\\u0001\",\"created\":-9223372036854775808,\"alg\":\"RS256\",\"status\":\"retired\"}]");
    // The 4096-character text decodes into the 2048-byte buffer, cut short.
    EXPECT_EQ(tarn::keys::g_table.keys[2].der_len, 2048u);
    EXPECT_EQ(tarn::keys::g_table.keys[1].der_len, 1u);
    // None of these is a key: nothing is published and nothing signs.
    EXPECT_EQ(take(id_keys_jwks_json()), "[]");
    char token[1024];
    EXPECT_EQ(id_jwt_sign_rs256("{}", token, sizeof token), -1);
}

TEST_F(KeyStore, AtMostEightKeysAreLoadedAndSaved) {
    std::vector<Stored> ten;
    for (int i = 0; i < 10; ++i) ten.push_back(fake("k" + std::to_string(i), i * kDay, "retired"));
    ten[9].status = "active";
    write_keys(pretty("k9", ten));
    ASSERT_EQ(id_keys_load_or_create(), 0);
    std::string listing = take(id_keys_list_json());
    EXPECT_NE(listing.find("\"k7\""), std::string::npos);
    EXPECT_EQ(listing.find("\"k8\""), std::string::npos);

    // Full: rotation refuses and leaves the file as it is.
    set_old_mtime(keys_path());
    int generated = tarn::keys::testing::generated_count();
    EXPECT_EQ(id_keys_rotate(), -1);
    EXPECT_EQ(tarn::keys::testing::generated_count(), generated);
    EXPECT_EQ(read_file(keys_path()), pretty("k9", ten));
    EXPECT_EQ(mtime(keys_path()).tv_sec, 1000000000);

    // Pruning works on the eight it loaded and writes the rest back as they were.
    g_now = 10 * kDay;
    EXPECT_EQ(id_keys_prune(9), 1);  // k0 created at 0 < now - 9 days
    std::vector<Stored> kept(ten.begin() + 1, ten.end());
    EXPECT_EQ(read_file(keys_path()), pretty("k9", kept));
}

// Elements of "keys" the table does not take, in the store's own pretty form: they must come
// back exactly so.
const std::vector<std::string> kSkipped = {
    "        7",
    "        \"text\"",
    "        {\n            \"kid\": \"no-der\"\n        }",
    "        {\n            \"kid\": \"x\",\n            \"kid\": \"y\",\n            \"alg\": \"ES256\",\n"
    "            \"priv_der_b64\": \"AAAA\",\n            \"extra\": [\n                1.5,\n"
    "                {\n                    \"a\": null,\n                    \"s\": \"\\\"\\u0001\xC3\xA9\"\n"
    "                }\n            ]\n        }",
    "        {\n            \"kid\": \"bad-text\",\n            \"priv_der_b64\": \"AA*A\",\n"
    "            \"status\": \"active\"\n        }",
};

TEST_F(KeyStore, RotationWritesBackTheEntriesTheTableSkippedWhereTheyStood) {
    const Stored old_active = key(0, kNow - 40 * kDay, "active");
    const Stored retired = key(1, 100, "retired");
    write_keys(pretty_elements(old_active.kid, {kSkipped[0], element(old_active), kSkipped[1], kSkipped[2],
                                                element(retired), kSkipped[3], kSkipped[4]}));
    ASSERT_EQ(id_keys_load_or_create(), 0);
    ASSERT_EQ(tarn::keys::g_table.nkeys, 2);
    g_now = kNow + 7;
    ASSERT_EQ(id_keys_rotate(), 0);
    const id_key_entry& fresh = tarn::keys::g_table.keys[2];
    Stored now_retired = old_active;
    now_retired.status = "retired";
    const Stored added{fresh.kid, kNow + 7, b64url(fresh.der, fresh.der_len), "active"};
    const std::string rotated = pretty_elements(
        fresh.kid, {kSkipped[0], element(now_retired), kSkipped[1], kSkipped[2], element(retired), kSkipped[3],
                    kSkipped[4], element(added)});
    EXPECT_EQ(read_file(keys_path()), rotated);

    // The next process loads the three keys, signs with the new one, and a second rotation keeps
    // the skipped entries again.
    EXPECT_EQ(list_fresh(), "[{\"kid\":\"" + old_active.kid + "\",\"created\":" + std::to_string(kNow - 40 * kDay) +
                                ",\"alg\":\"RS256\",\"status\":\"retired\"},{\"kid\":\"" + retired.kid +
                                "\",\"created\":100,\"alg\":\"RS256\",\"status\":\"retired\"},{\"kid\":\"" + added.kid +
                                "\",\"created\":" + std::to_string(kNow + 7) + ",\"alg\":\"RS256\",\"status\":\"active\"}]");
    expect_signs_with(added.kid);
    ASSERT_EQ(id_keys_rotate(), 0);
    const std::string twice = read_file(keys_path());
    for (const std::string& e : kSkipped) EXPECT_NE(twice.find(e + ",\n"), std::string::npos) << e;

    // Pruning keeps them too: only the two old retired keys go.
    tarn::keys::testing::reset_table();
    EXPECT_EQ(id_keys_prune(30), 2);
    const std::string pruned = read_file(keys_path());
    EXPECT_EQ(pruned.find("\"" + old_active.kid + "\""), std::string::npos);
    EXPECT_EQ(pruned.find("\"" + retired.kid + "\""), std::string::npos);
    EXPECT_NE(pruned.find("\"" + added.kid + "\""), std::string::npos);
    for (const std::string& e : kSkipped) EXPECT_NE(pruned.find(e + ",\n"), std::string::npos) << e;
}

TEST_F(KeyStore, PruningNeverRemovesTheActiveKeyWhereverItStands) {
    // Eight old retired keys fill the table; the active key is the ninth key entry (the tenth
    // element), and one more old retired key follows it.
    std::vector<std::string> elements;
    std::vector<Stored> old;
    for (int i = 0; i < 8; ++i) {
        old.push_back(fake("old-" + std::to_string(i), kNow - 100 * kDay, "retired"));
        elements.push_back(element(old.back()));
        if (i == 2) elements.push_back(kSkipped[3]);
    }
    const Stored active = key(2, kNow - 100 * kDay, "active");
    const Stored beyond = fake("beyond", kNow - 100 * kDay, "retired");
    elements.push_back(element(active));
    elements.push_back(element(beyond));
    write_keys(pretty_elements(active.kid, elements));
    ASSERT_EQ(id_keys_load_or_create(), 0);
    ASSERT_EQ(tarn::keys::g_table.nkeys, 8);

    // The eight loaded retired keys go; what the table did not hold stays as it was.
    EXPECT_EQ(id_keys_prune(30), 8);
    EXPECT_EQ(read_file(keys_path()), pretty_elements(active.kid, {kSkipped[3], element(active), element(beyond)}));
    // The next process finds the active key in its table and signs with it; its pruning takes the
    // last old key and nothing else.
    tarn::keys::testing::reset_table();
    expect_signs_with(active.kid);
    EXPECT_EQ(id_keys_prune(30), 1);
    EXPECT_EQ(read_file(keys_path()), pretty_elements(active.kid, {kSkipped[3], element(active)}));
    for (int days : {30, 0, -1}) {
        SCOPED_TRACE(days);
        tarn::keys::testing::reset_table();
        EXPECT_EQ(id_keys_prune(days), 0);
    }
    EXPECT_EQ(read_file(keys_path()), pretty_elements(active.kid, {kSkipped[3], element(active)}));
    expect_signs_with(active.kid);
}

TEST_F(KeyStore, RotationRetiresTheActiveKeyAndAddsAnActiveOne) {
    std::vector<Stored> two = {key(0, 100, "retired"), key(1, 200, "active")};
    write_keys(pretty(two[1].kid, two));
    ASSERT_EQ(id_keys_load_or_create(), 0);
    EXPECT_EQ(active_kid(), two[1].kid);
    g_now = kNow + 5;
    ASSERT_EQ(id_keys_rotate(), 0);

    ASSERT_EQ(tarn::keys::g_table.nkeys, 3);
    const id_key_entry& fresh = tarn::keys::g_table.keys[2];
    std::vector<Stored> three = {two[0], two[1],
                                 {fresh.kid, kNow + 5, b64url(fresh.der, fresh.der_len), "active"}};
    three[1].status = "retired";
    EXPECT_EQ(read_file(keys_path()), pretty(fresh.kid, three));
    EXPECT_EQ(tarn::test::file_mode(keys_path()), 0600u);
    // This process signs with the new key and publishes all three.
    EXPECT_EQ(active_kid(), std::string(fresh.kid));
    std::string set = take(id_keys_jwks_json());
    for (const Stored& k : three) EXPECT_NE(set.find("\"kid\":\"" + k.kid + "\""), std::string::npos);
    EXPECT_EQ(list_fresh(),
              "[{\"kid\":\"" + three[0].kid + "\",\"created\":100,\"alg\":\"RS256\",\"status\":\"retired\"},"
              "{\"kid\":\"" + three[1].kid + "\",\"created\":200,\"alg\":\"RS256\",\"status\":\"retired\"},"
              "{\"kid\":\"" + three[2].kid + "\",\"created\":" + std::to_string(kNow + 5) +
              ",\"alg\":\"RS256\",\"status\":\"active\"}]");
}

TEST_F(KeyStore, RotationWorksOnTheCurrentFileNotAStaleTable) {
    write_keys(pretty(pool()[1].kid, {key(0, 100, "retired"), key(1, 200, "active")}));
    ASSERT_EQ(id_keys_load_or_create(), 0);
    // Another process replaces keys.json after this one loaded it.
    write_keys(pretty(pool()[2].kid, {key(2, 300, "active")}));
    ASSERT_EQ(id_keys_rotate(), 0);
    const id_key_entry& fresh = tarn::keys::g_table.keys[1];
    EXPECT_EQ(read_file(keys_path()),
              pretty(fresh.kid, {key(2, 300, "retired"),
                                 {fresh.kid, kNow, b64url(fresh.der, fresh.der_len), "active"}}));
}

TEST_F(KeyStore, FailedRotationChangesNeitherFileNorTable) {
    std::string text = pretty(pool()[1].kid, {key(0, 100, "retired"), key(1, 200, "active")});
    write_keys(text);
    ASSERT_EQ(id_keys_load_or_create(), 0);
    std::string set = take(id_keys_jwks_json());
    ASSERT_EQ(active_kid(), pool()[1].kid);

    tarn::io_ops().rename = &fail_rename;  // the save fails
    EXPECT_EQ(id_keys_rotate(), -1);
    tarn::io_ops() = tarn::system_io();
    tarn::keys::testing::set_seeder_lookup(&no_seeder);  // the generation fails
    EXPECT_EQ(id_keys_rotate(), -1);
    tarn::keys::testing::set_seeder_lookup(nullptr);

    EXPECT_EQ(read_file(keys_path()), text);
    EXPECT_EQ(files_in(data.dir()), (std::vector<std::string>{"keys.json", "keys.json.lock"}));
    // The process still signs with the key that is on disk and publishes what is on disk.
    EXPECT_EQ(active_kid(), pool()[1].kid);
    EXPECT_EQ(take(id_keys_jwks_json()), set);
}

TEST_F(KeyStore, RotationSetsAsideAStoreThatNoLongerParses) {
    write_keys(pretty(pool()[0].kid, {key(0, 100, "active")}));
    ASSERT_EQ(id_keys_load_or_create(), 0);
    write_keys("{\"broken\":");
    g_now = kNow + 1;
    ASSERT_EQ(id_keys_rotate(), 0);
    EXPECT_EQ(read_file(data.file("keys.json.corrupt-" + std::to_string(kNow + 1))), "{\"broken\":");
    const id_key_entry& fresh = tarn::keys::g_table.keys[1];
    EXPECT_EQ(read_file(keys_path()),
              pretty(fresh.kid, {key(0, 100, "retired"),
                                 {fresh.kid, kNow + 1, b64url(fresh.der, fresh.der_len), "active"}}));
}

TEST_F(KeyStore, PruningRemovesOldRetiredKeysOnly) {
    std::vector<Stored> keys = {
        fake("old-retired", kNow - 40 * kDay, "retired"),           // removed
        fake("exactly-30-days", kNow - 30 * kDay, "retired"),       // not strictly before: kept
        fake("31-days", kNow - 31 * kDay, "retired"),               // removed
        fake("old-status-active", kNow - 100 * kDay, "active"),     // active status: kept
        fake("named-active", kNow - 100 * kDay, "retired"),         // named by "active": kept
        fake("young-retired", kNow - 1 * kDay, "retired"),          // kept
        fake("odd-status", kNow - 50 * kDay, "Active"),             // reads as retired: removed
    };
    write_keys(pretty("named-active", keys));
    ASSERT_EQ(id_keys_load_or_create(), 0);
    EXPECT_EQ(id_keys_prune(30), 3);
    std::vector<Stored> kept = {keys[1], keys[3], keys[4], keys[5]};
    EXPECT_EQ(read_file(keys_path()), pretty("named-active", kept));
    EXPECT_EQ(tarn::keys::g_table.nkeys, 4);
    EXPECT_STREQ(tarn::keys::g_table.keys[3].kid, "young-retired");

    // Nothing qualifies: 0, and the file is not rewritten.
    set_old_mtime(keys_path());
    EXPECT_EQ(id_keys_prune(30), 0);
    EXPECT_EQ(read_file(keys_path()), pretty("named-active", kept));
    EXPECT_EQ(mtime(keys_path()).tv_sec, 1000000000);
    EXPECT_EQ(files_in(data.dir()), (std::vector<std::string>{"keys.json", "keys.json.lock"}));

    // A failed save leaves file and table as they were.
    g_now = kNow + 100 * kDay;
    tarn::io_ops().rename = &fail_rename;
    EXPECT_EQ(id_keys_prune(30), -1);
    EXPECT_EQ(read_file(keys_path()), pretty("named-active", kept));
    EXPECT_EQ(tarn::keys::g_table.nkeys, 4);
    tarn::io_ops() = tarn::system_io();
    // The same age counted from the later time removes every retired key but the named one.
    EXPECT_EQ(id_keys_prune(30), 2);
    EXPECT_EQ(read_file(keys_path()), pretty("named-active", {keys[3], keys[4]}));
}

TEST_F(KeyStore, ListingText) {
    write_keys(pretty("b", {fake("a", 1700000000, "active"), fake("b", 1700000001, "retired")}));
    EXPECT_EQ(take(id_keys_list_json()),
              "[{\"kid\":\"a\",\"created\":1700000000,\"alg\":\"RS256\",\"status\":\"active\"},"
              "{\"kid\":\"b\",\"created\":1700000001,\"alg\":\"RS256\",\"status\":\"retired\"}]");
}

TEST_F(KeyStore, CreationWaitsForTheLockAndLoadsWhatTheHolderStored) {
    std::filesystem::create_directories(data.dir());
    tarn::test::Child holder([] {
        static id_lock lock;
        if (id_lock_acquire_wait(&lock, "keys.json", 0) != 0) std::_Exit(1);
    });
    holder.wait_ready();
    std::string stored = pretty(pool()[2].kid, {key(2, 5, "active")});
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        write_file(keys_path(), stored);  // what the holder would have created
        holder.finish();
    });
    int generated = tarn::keys::testing::generated_count();
    int rc = id_keys_load_or_create();
    release.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(tarn::keys::testing::generated_count(), generated);
    EXPECT_EQ(active_kid(), pool()[2].kid);
    EXPECT_EQ(read_file(keys_path()), stored);
}

// Runs the jwks program with the data directory and returns what it wrote.
struct Running {
    pid_t pid;
    int out;
};

Running spawn_jwks(const std::string& data_dir) {
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::string env_data = "IDENTITY_DATA_DIR=" + data_dir;
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "IDENTITY_", 9) != 0) envp.push_back(*e);
    envp.push_back(env_data.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(JWKS_BINARY), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, JWKS_BINARY, &actions, nullptr, argv, envp.data()) != 0) std::abort();
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    return {pid, fds[0]};
}

std::string finish(const Running& r, int* status) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(r.out, buf, sizeof buf)) != 0)
        if (n > 0) out.append(buf, static_cast<std::size_t>(n));
    ::close(r.out);
    int st = 0;
    ::waitpid(r.pid, &st, 0);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

TEST_F(KeyStore, SixteenProcessesStartedTogetherShareOneKey) {
    std::vector<Running> running;
    for (int i = 0; i < 16; ++i) running.push_back(spawn_jwks(data.dir()));
    std::set<std::string> bodies;
    for (const Running& r : running) {
        int status = -1;
        std::string out = finish(r, &status);
        EXPECT_EQ(status, 0);
        bodies.insert(out.substr(out.find("\r\n\r\n") + 4));
    }
    ASSERT_EQ(bodies.size(), 1u) << "every process answered the same key set";
    const std::string& body = *bodies.begin();
    EXPECT_EQ(body.find("\"kid\":"), body.rfind("\"kid\":")) << "one key: " << body;
    tarn::keys::testing::reset_table();
    ASSERT_EQ(id_keys_load_or_create(), 0);
    EXPECT_EQ(tarn::keys::g_table.nkeys, 1);
    EXPECT_NE(body.find(std::string("\"kid\":\"") + tarn::keys::g_table.keys[0].kid + "\""),
              std::string::npos);
    EXPECT_EQ(files_in(data.dir()), (std::vector<std::string>{"keys.json", "keys.json.lock"}));
}

}  // namespace

// Documents on disk: the pretty saved form, strict loading, atomic saves under injected faults
// and crashes, setting unreadable documents aside, and the change-under-lock pattern.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "foundation/json_read.hpp"
#include "foundation/utf8.hpp"
#include "id_foundation.h"
#include "support/process.hpp"
#include "support/reference.hpp"
#include "support/test_env.hpp"

using tarn::test::DataDirFixture;
using tarn::test::file_exists;
using tarn::test::file_mode;
using tarn::test::files_in;
using tarn::test::read_file;
using tarn::test::write_file;

namespace {

tarn::Document parse(const std::string& text) {
    tarn::Document d;
    EXPECT_TRUE(tarn::parse_json(text, d)) << text;
    return d;
}

// Makes the Nth call of one I/O operation fail with EIO; restores the real calls on exit.
class FaultInjector {
public:
    enum Op { kWrite, kFsync, kClose, kRename };
    FaultInjector(Op op, int nth) {
        op_ = op;
        nth_ = nth;
        calls_ = 0;
        auto& io = tarn::io_ops();
        switch (op) {
            case kWrite: io.write = [](int fd, const void* b, size_t n) -> ssize_t { return hit() ? -1 : tarn::system_io().write(fd, b, n); }; break;
            case kFsync: io.fsync = [](int fd) { return hit() ? -1 : tarn::system_io().fsync(fd); }; break;
            case kClose: io.close = [](int fd) { tarn::system_io().close(fd); return hit() ? -1 : 0; }; break;
            case kRename: io.rename = [](const char* a, const char* b) { return hit() ? -1 : tarn::system_io().rename(a, b); }; break;
        }
    }
    ~FaultInjector() { tarn::io_ops() = tarn::system_io(); }
    static int calls() { return calls_; }

private:
    static bool hit() {
        if (++calls_ != nth_) return false;
        errno = EIO;
        return true;
    }
    static inline Op op_;
    static inline int nth_;
    static inline int calls_;
};

// A write that only ever takes a few bytes at a time: write_all must keep going.
ssize_t short_write(int fd, const void* b, size_t n) { return tarn::system_io().write(fd, b, n < 3 ? n : 3); }

}  // namespace

TEST(Document, SavedFormIsPrettyWithFourSpacesAndMode0600) {
    DataDirFixture fx;
    tarn::Document d = parse(R"({"a":1,"b":[1,-2],"c":{"d":"x\u00e9"},"e":[],"f":{},"g":null,"h":true,"i":18446744073709551615})");
    ASSERT_EQ(tarn::save_document("x.json", d), 0);
    EXPECT_EQ(read_file(fx.file("x.json")),
              "{\n    \"a\": 1,\n    \"b\": [\n        1,\n        -2\n    ],\n    \"c\": {\n        \"d\": \"x\xc3\xa9\"\n    },\n"
              "    \"e\": [],\n    \"f\": {},\n    \"g\": null,\n    \"h\": true,\n    \"i\": 18446744073709551615\n}");
    EXPECT_EQ(file_mode(fx.file("x.json")), 0600u);
    EXPECT_EQ(file_mode(fx.dir()), 0700u);
    EXPECT_EQ(files_in(fx.dir()), std::vector<std::string>{"x.json"});
}

TEST(Document, SaveKeepsMemberOrderAndDuplicatesRoundTrip) {
    DataDirFixture fx;
    std::string compact = R"({"z":1,"a":2,"z":3,"big":-9223372036854775808})";
    tarn::Document d = parse(compact);
    ASSERT_EQ(tarn::save_document("x.json", d), 0);
    tarn::Document back;
    ASSERT_EQ(tarn::load_document("x.json", back), tarn::LoadStatus::loaded);
    std::string text;
    ASSERT_TRUE(tarn::write_json(back, false, text));
    EXPECT_EQ(text, compact);
    EXPECT_EQ(back.FindMember("z")->value.GetInt(), 1);
}

TEST(Document, StrictLoading) {
    DataDirFixture fx;
    tarn::Document d;
    EXPECT_EQ(tarn::load_document("missing.json", d), tarn::LoadStatus::missing);
    EXPECT_TRUE(files_in(fx.dir()).empty());  // loading creates nothing
    for (const char* bad : {"[1,]", "{\"a\":1,}", "// c\n{}", "/* c */ {}", "{} {}", "", "{\"a\":\"\xff\"}",
                            "{\"a\":\"\x01\"}", "NaN", "{\"a\":01}"}) {
        write_file(fx.file("bad.json"), bad);
        EXPECT_EQ(tarn::load_document("bad.json", d), tarn::LoadStatus::invalid) << bad;
        EXPECT_EQ(id_load_json_file("bad.json"), nullptr) << bad;
    }
    write_file(fx.file("ok.json"), " [1, \"\xc3\xa9\"] \n");
    EXPECT_EQ(tarn::load_document("ok.json", d), tarn::LoadStatus::loaded);
    write_file(fx.file("deep.json"), std::string(1000000, '['));
    EXPECT_EQ(tarn::load_document("deep.json", d), tarn::LoadStatus::invalid);
    mkdir(fx.file("dir.json").c_str(), 0700);
    EXPECT_EQ(tarn::load_document("dir.json", d), tarn::LoadStatus::unreadable);
}

// At most 128 levels of arrays and objects, counted together; deeper text is refused without
// recursing into it, also by the C interface.
TEST(Document, NestingIsBoundedAt128Levels) {
    auto nested = [](int levels, const std::string& open, const std::string& close) {
        std::string s;
        for (int i = 0; i < levels; ++i) s += open;
        s += "1";
        for (int i = 0; i < levels; ++i) s += close;
        return s;
    };
    struct Row {
        std::string text;
        bool valid;
    };
    const Row rows[] = {
        {nested(128, "[", "]"), true},
        {nested(129, "[", "]"), false},
        {nested(64, "{\"a\":[", "]}"), true},   // 128 levels, objects and arrays alternating
        {nested(65, "{\"a\":[", "]}"), false},  // 130
        {"[" + nested(128, "[", "]") + "]", false},
        {std::string(1000000, '['), false},
        {std::string(1000000, '{'), false},
        {nested(200000, "[", "]"), false},
        {"[" + std::string(100000, '"') + "]", false},  // quotes are not levels
    };
    for (const Row& row : rows) {
        tarn::Document d;
        EXPECT_EQ(tarn::parse_json(row.text, d), row.valid) << row.text.substr(0, 48);
        id_json_doc* c = id_json_doc_parse(row.text.data(), row.text.size());
        EXPECT_EQ(c != nullptr, row.valid) << row.text.substr(0, 48);
        if (c) {
            char* again = id_json_doc_write(c, 0);  // what was read can be written back
            ASSERT_NE(again, nullptr);
            EXPECT_EQ(std::string(again), row.text);
            id_free(again);
        }
        id_json_doc_free(c);
    }
}

TEST(Document, CInterfaceRoundTrip) {
    DataDirFixture fx;
    EXPECT_EQ(id_save_json_file("x.json", nullptr), -1);
    EXPECT_FALSE(file_exists(fx.file("x.json")));
    EXPECT_FALSE(file_exists(fx.file("x.json.tmp")));
    id_json_doc* doc = id_json_doc_parse("{\"k\":[1,2]}", 11);
    ASSERT_NE(doc, nullptr);
    ASSERT_EQ(id_save_json_file("x.json", doc), 0);
    id_json_doc_free(doc);
    id_json_doc* back = id_load_json_file("x.json");
    ASSERT_NE(back, nullptr);
    char* text = id_json_doc_write(back, 0);
    EXPECT_STREQ(text, "{\"k\":[1,2]}");
    id_free(text);
    text = id_json_doc_write(back, 1);
    EXPECT_STREQ(text, "{\n    \"k\": [\n        1,\n        2\n    ]\n}");
    id_free(text);
    id_json_doc_free(back);
    EXPECT_EQ(id_json_doc_parse("{\"k\":1,}", 8), nullptr);
    id_json_doc_free(nullptr);
}

TEST(DocumentSave, InvalidUtf8FailsAndKeepsOldDocument) {
    DataDirFixture fx;
    ASSERT_EQ(tarn::save_document("x.json", parse("{\"v\":1}")), 0);
    std::string before = read_file(fx.file("x.json"));
    tarn::Document d(rapidjson::kObjectType);
    d.AddMember("v", tarn::Value(std::string("\xff\xfe"), d.GetAllocator()), d.GetAllocator());
    EXPECT_EQ(tarn::save_document("x.json", d), -1);
    EXPECT_EQ(read_file(fx.file("x.json")), before);
    EXPECT_FALSE(file_exists(fx.file("x.json.tmp")));
}

TEST(DocumentSave, TemporaryPathThatCannotBeWritten) {
    DataDirFixture fx;
    ASSERT_EQ(tarn::save_document("x.json", parse("{\"v\":1}")), 0);
    std::string before = read_file(fx.file("x.json"));
    ASSERT_EQ(mkdir(fx.file("x.json.tmp").c_str(), 0700), 0);
    EXPECT_EQ(tarn::save_document("x.json", parse("{\"v\":2}")), -1);
    EXPECT_EQ(read_file(fx.file("x.json")), before);
}

TEST(DocumentSave, StaleTemporaryFileIsReplaced) {
    DataDirFixture fx;
    tarn::Document d = parse("{\"v\":1}");
    ASSERT_EQ(tarn::save_document("x.json", d), 0);
    write_file(fx.file("x.json.tmp"), "garbage left by a crash");
    chmod(fx.file("x.json.tmp").c_str(), 0644);
    ASSERT_EQ(tarn::save_document("x.json", parse("{\"v\":2}")), 0);
    EXPECT_EQ(read_file(fx.file("x.json")), "{\n    \"v\": 2\n}");
    EXPECT_EQ(file_mode(fx.file("x.json")), 0600u);
    EXPECT_FALSE(file_exists(fx.file("x.json.tmp")));
}

TEST(DocumentSave, UnwritableDirectory) {
    DataDirFixture fx;
    ASSERT_EQ(tarn::save_document("x.json", parse("{\"v\":1}")), 0);
    std::string before = read_file(fx.file("x.json"));
    // Root ignores directory permissions, so the save runs in a child without privileges.
    ASSERT_EQ(chown(fx.dir().c_str(), 65534, 65534), geteuid() == 0 ? 0 : -1);
    ASSERT_EQ(chmod(fx.dir().c_str(), 0500), 0);
    chmod(fx.work().c_str(), 0755);
    auto c = tarn::test::capture_stdout([] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        _exit(tarn::save_document("x.json", parse("{\"v\":2}")) == -1 ? 0 : 1);
    });
    EXPECT_EQ(c.exit_status, 0);
    chmod(fx.dir().c_str(), 0700);
    EXPECT_EQ(read_file(fx.file("x.json")), before);
    EXPECT_EQ(files_in(fx.dir()), std::vector<std::string>{"x.json"});
}

TEST(DocumentSave, EveryInjectedFaultLeavesOldDocumentAndNoTemporaryFile) {
    DataDirFixture fx;
    std::string big(300000, 'x');  // several writes' worth when writes are short
    for (auto op : {FaultInjector::kWrite, FaultInjector::kFsync, FaultInjector::kClose, FaultInjector::kRename}) {
        ASSERT_EQ(tarn::save_document("x.json", parse("{\"v\":1}")), 0);
        std::string before = read_file(fx.file("x.json"));
        tarn::Document d = parse("{\"v\":\"" + big + "\"}");
        FaultInjector fault(op, 1);
        if (op == FaultInjector::kWrite) tarn::io_ops().write = [](int fd, const void* b, size_t n) -> ssize_t {
            static int calls = 0;
            if (++calls == 2) {
                calls = 0;
                errno = ENOSPC;
                return -1;
            }
            return short_write(fd, b, n);
        };
        EXPECT_EQ(tarn::save_document("x.json", d), -1) << op;
        EXPECT_EQ(read_file(fx.file("x.json")), before) << op;
        EXPECT_EQ(files_in(fx.dir()), std::vector<std::string>{"x.json"}) << op;
    }
}

TEST(DocumentSave, ShortWritesStillSaveWholeDocument) {
    DataDirFixture fx;
    tarn::io_ops().write = short_write;
    tarn::Document d = parse("{\"long\":\"" + std::string(1000, 'y') + "\"}");
    EXPECT_EQ(tarn::save_document("x.json", d), 0);
    tarn::io_ops() = tarn::system_io();
    tarn::Document back;
    ASSERT_EQ(tarn::load_document("x.json", back), tarn::LoadStatus::loaded);
    EXPECT_EQ(back["long"].GetStringLength(), 1000u);
}

TEST(DocumentSave, TheRenameIsTheCommitEvenWhenTheDirectorySyncFails) {
    DataDirFixture fx;
    ASSERT_EQ(tarn::save_document("x.json", parse("{\"v\":1}")), 0);
    FaultInjector fault(FaultInjector::kFsync, 2);  // the first fsync is the file's, the second the directory's
    EXPECT_EQ(tarn::save_document("x.json", parse("{\"v\":2}")), 0) << "every reader sees v 2 already";
    EXPECT_EQ(FaultInjector::calls(), 2);
    EXPECT_EQ(read_file(fx.file("x.json")), "{\n    \"v\": 2\n}");
    EXPECT_FALSE(file_exists(fx.file("x.json.tmp")));
}

TEST(DocumentSave, KilledWritersNeverLeaveAPartialDocument) {
    DataDirFixture fx;
    ASSERT_EQ(tarn::save_document("x.json", parse("{\"n\":0,\"pad\":\"\"}")), 0);
    for (int round = 0; round < 25; ++round) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string pad(200000 + round * 1000, 'p');
            for (int n = 1;; ++n) {
                tarn::Document d = parse("{\"n\":" + std::to_string(n) + ",\"pad\":\"" + pad + "\"}");
                tarn::DocumentLock lock;
                if (lock.acquire("x.json")) tarn::save_document("x.json", d);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + (round * 7) % 40));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        tarn::Document d;
        ASSERT_EQ(tarn::load_document("x.json", d), tarn::LoadStatus::loaded) << "round " << round;
        ASSERT_TRUE(d["n"].IsInt());
        // The killed writer's lock is free again.
        id_lock lock;
        ASSERT_EQ(id_lock_acquire_wait(&lock, "x.json", 0), 0);
        id_lock_release(&lock);
    }
}

TEST(DocumentSetAside, CopyStaysOnlyWhenKeptAndNeverOverwritesAnEarlierOne) {
    DataDirFixture fx;
    tarn::testing::set_clock([] { return std::int64_t{1700000000}; });
    write_file(fx.file("keys.json"), "not json");
    {
        tarn::SetAside aside("keys.json");
        ASSERT_TRUE(aside.ok());
        EXPECT_EQ(read_file(fx.file("keys.json")), "not json") << "the document stays in place";
        EXPECT_EQ(read_file(fx.file("keys.json.corrupt-1700000000")), "not json");
    }
    EXPECT_FALSE(file_exists(fx.file("keys.json.corrupt-1700000000"))) << "not kept: removed";
    {
        tarn::SetAside aside("keys.json");
        ASSERT_TRUE(aside.ok());
        aside.keep();
    }
    std::filesystem::remove(fx.file("keys.json"));  // a new file, as a save renames into place
    write_file(fx.file("keys.json"), "second");
    {
        tarn::SetAside aside("keys.json");
        ASSERT_TRUE(aside.ok());
        aside.keep();
    }
    EXPECT_EQ(read_file(fx.file("keys.json.corrupt-1700000000")), "not json");
    EXPECT_EQ(read_file(fx.file("keys.json.corrupt-1700000000.1")), "second");
    tarn::testing::set_clock(nullptr);
    EXPECT_FALSE(tarn::SetAside("absent.json").ok());
}

TEST(ChangeDocument, CreatesUpdatesAndSkipsSaveWhenUnchanged) {
    DataDirFixture fx;
    auto add_one = [](tarn::Document& d, bool existed) {
        if (!existed) d.SetObject().AddMember("n", 0, d.GetAllocator());
        d["n"].SetInt(d["n"].GetInt() + 1);
        return tarn::Outcome::saved(d["n"].GetInt());
    };
    EXPECT_EQ(tarn::change_document("c.json", ID_LOCK_RETRIES, tarn::Unreadable::fail, add_one), 1);
    EXPECT_EQ(tarn::change_document("c.json", ID_LOCK_RETRIES, tarn::Unreadable::fail, add_one), 2);
    EXPECT_EQ(read_file(fx.file("c.json")), "{\n    \"n\": 2\n}");
    struct stat before, after;
    ASSERT_EQ(stat(fx.file("c.json").c_str(), &before), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(tarn::change_document("c.json", ID_LOCK_RETRIES, tarn::Unreadable::fail,
                                    [](tarn::Document&, bool) { return tarn::Outcome::unchanged(7); }),
              7);
    ASSERT_EQ(stat(fx.file("c.json").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    // The lock is free again on every path.
    id_lock lock;
    EXPECT_EQ(id_lock_acquire_wait(&lock, "c.json", 0), 0);
    id_lock_release(&lock);
}

TEST(ChangeDocument, UnreadableDocumentFailsOrIsSetAside) {
    DataDirFixture fx;
    write_file(fx.file("c.json"), "{broken");
    bool called = false;
    auto change = [&called](tarn::Document& d, bool existed) {
        called = true;
        EXPECT_FALSE(existed);
        d.SetObject();
        return tarn::Outcome::saved();
    };
    EXPECT_EQ(tarn::change_document("c.json", 0, tarn::Unreadable::fail, change), -1);
    EXPECT_FALSE(called);
    EXPECT_EQ(read_file(fx.file("c.json")), "{broken");
    EXPECT_EQ(tarn::change_document("c.json", 0, tarn::Unreadable::set_aside, change), 0);
    EXPECT_TRUE(called);
    EXPECT_EQ(read_file(fx.file("c.json")), "{}");
    bool found = false;
    for (const auto& name : files_in(fx.dir())) {
        if (name.rfind("c.json.corrupt-", 0) == 0) found = read_file(fx.file(name)) == "{broken";
    }
    EXPECT_TRUE(found);
}

TEST(ChangeDocument, FailedSaveReportsFailure) {
    DataDirFixture fx;
    FaultInjector fault(FaultInjector::kRename, 1);
    EXPECT_EQ(tarn::change_document("c.json", 0, tarn::Unreadable::fail,
                                    [](tarn::Document& d, bool) {
                                        d.SetObject();
                                        return tarn::Outcome::saved(5);
                                    }),
              -1);
    EXPECT_FALSE(file_exists(fx.file("c.json")));
}

TEST(ChangeDocument, ConcurrentProcessesLoseNoUpdate) {
    DataDirFixture fx;
    constexpr int kProcs = 6, kEach = 40;
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int bad = 0;
            for (int i = 0; i < kEach; ++i) {
                int r = tarn::change_document("counter.json", ID_LOCK_RETRIES, tarn::Unreadable::fail,
                                              [](tarn::Document& d, bool existed) {
                                                  if (!existed) d.SetObject().AddMember("n", 0, d.GetAllocator());
                                                  d["n"].SetInt(d["n"].GetInt() + 1);
                                                  return tarn::Outcome::saved();
                                              });
                if (r != 0) ++bad;
            }
            _exit(bad);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    tarn::Document d;
    ASSERT_EQ(tarn::load_document("counter.json", d), tarn::LoadStatus::loaded);
    EXPECT_EQ(d["n"].GetInt(), kProcs * kEach);
}

// The one UTF-8 rule of every write: shortest forms, no surrogates, nothing above U+10FFFF, and
// a sequence cut by the end of its text is invalid (read without going past that end).
TEST(Utf8, StrictAndBoundedByTheText) {
    struct Row {
        std::string text;
        bool valid;
    };
    const Row rows[] = {
        {"", true}, {"plain", true}, {"\xC3\xA9", true}, {"\xE2\x82\xAC", true}, {"\xF0\x9F\x98\x80", true},
        {"\xF4\x8F\xBF\xBF", true},                                // U+10FFFF
        {"\xC0\xAF", false}, {"\xC1\xBF", false},                   // overlong two-byte forms
        {"\xE0\x9F\xBF", false}, {"\xF0\x8F\xBF\xBF", false},       // overlong three- and four-byte
        {"\xED\xA0\x80", false}, {"\xED\xBF\xBF", false},           // surrogates
        {"\xF4\x90\x80\x80", false}, {"\xF5\x80\x80\x80", false},   // above U+10FFFF
        {"\x80", false}, {"a\xBF", false}, {"\xFF", false},
        {"bob\xF0", false}, {"bob\xF0\x9F", false}, {"bob\xF0\x9F\x98", false}, {"\xE2\x82", false},
        {"\xC3", false}, {"\xC3\x28", false},
    };
    for (const Row& row : rows) {
        // The text alone in a heap block of its exact size: a read past it is an ASan error.
        std::unique_ptr<char[]> exact(new char[row.text.size() + 1]);
        std::memcpy(exact.get(), row.text.data(), row.text.size());
        EXPECT_EQ(tarn::utf8::valid(std::string_view(exact.get(), row.text.size())), row.valid)
            << tarn::test::to_hex(reinterpret_cast<const unsigned char*>(row.text.data()), row.text.size());
        tarn::Document d;
        d.SetObject();
        d.AddMember("k", tarn::json::copy(row.text, d), d.GetAllocator());
        std::string out;
        EXPECT_EQ(tarn::write_json(d, false, out), row.valid);
    }
}

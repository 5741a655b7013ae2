// Advisory document locks between threads, processes, and processes that die.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "id_foundation.h"
#include "support/process.hpp"
#include "support/test_env.hpp"

using tarn::test::Child;
using tarn::test::DataDirFixture;
using tarn::test::file_exists;
using tarn::test::file_mode;
using tarn::test::read_file;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

TEST(Lock, CreatesEmptyLockFileThatOutlivesRelease) {
    DataDirFixture fx;
    id_lock lock;
    ASSERT_EQ(id_lock_acquire(&lock, "x.json"), 0);
    EXPECT_EQ(lock.held, 1);
    EXPECT_GE(lock.handle, 0);
    EXPECT_EQ(std::string(lock.path), fx.file("x.json.lock"));
    EXPECT_EQ(id_lock_release(&lock), 1);
    EXPECT_EQ(lock.held, 0);
    EXPECT_EQ(lock.handle, -1);
    EXPECT_TRUE(file_exists(fx.file("x.json.lock")));
    EXPECT_EQ(read_file(fx.file("x.json.lock")), "");
    EXPECT_EQ(file_mode(fx.file("x.json.lock")), 0600u);
    EXPECT_EQ(id_lock_release(&lock), 0);  // twice is harmless
}

TEST(Lock, SecondAcquireInSameProcessIsNotReentrant) {
    DataDirFixture fx;
    id_lock first, second;
    ASSERT_EQ(id_lock_acquire(&first, "x.json"), 0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(id_lock_acquire_wait(&second, "x.json", 0), -1);
    EXPECT_LT(seconds_since(t0), 1.0);  // one attempt, no sleep
    EXPECT_EQ(second.held, 0);
    EXPECT_EQ(second.handle, -1);
    EXPECT_EQ(id_lock_release(&second), 0);
    // Another document's lock is independent.
    id_lock other;
    EXPECT_EQ(id_lock_acquire_wait(&other, "y.json", 0), 0);
    id_lock_release(&other);
    id_lock_release(&first);
    EXPECT_EQ(id_lock_acquire_wait(&second, "x.json", 0), 0);
    id_lock_release(&second);
}

TEST(Lock, RetriesWaitFiveMillisecondsEach) {
    DataDirFixture fx;
    id_lock holder, waiter;
    ASSERT_EQ(id_lock_acquire(&holder, "x.json"), 0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(id_lock_acquire_wait(&waiter, "x.json", 200), -1);
    EXPECT_GE(seconds_since(t0), 1.0);  // 200 sleeps of at least 5 ms
    id_lock_release(&holder);
}

TEST(Lock, WaiterSucceedsWhenHolderReleases) {
    DataDirFixture fx;
    id_lock holder;
    ASSERT_EQ(id_lock_acquire(&holder, "x.json"), 0);
    std::thread releaser([&holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        id_lock_release(&holder);
    });
    id_lock waiter;
    EXPECT_EQ(id_lock_acquire(&waiter, "x.json"), 0);
    releaser.join();
    id_lock_release(&waiter);
}

TEST(Lock, HeldByAnotherProcessBlocksUntilItFinishes) {
    DataDirFixture fx;
    Child child([] {
        static id_lock lock;
        if (id_lock_acquire(&lock, "x.json") != 0) _exit(2);
    });
    child.wait_ready();
    id_lock lock;
    EXPECT_EQ(id_lock_acquire_wait(&lock, "x.json", 10), -1);
    EXPECT_EQ(child.finish(), 0);
    EXPECT_EQ(id_lock_acquire_wait(&lock, "x.json", 0), 0);
    id_lock_release(&lock);
}

TEST(Lock, KilledHolderReleasesImplicitly) {
    DataDirFixture fx;
    Child child([] {
        static id_lock lock;
        if (id_lock_acquire(&lock, "x.json") != 0) _exit(2);
    });
    child.wait_ready();
    id_lock lock;
    ASSERT_EQ(id_lock_acquire_wait(&lock, "x.json", 0), -1);
    child.kill();
    EXPECT_EQ(id_lock_acquire_wait(&lock, "x.json", 0), 0);
    id_lock_release(&lock);
}

TEST(Lock, UnopenableLockFileFailsAtOnce) {
    DataDirFixture fx;
    tarn::test::write_file(fx.work() + "/plainfile", "x");
    tarn::test::ScopedEnv env("IDENTITY_DATA_DIR", fx.work() + "/plainfile/sub");
    id_lock lock;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(id_lock_acquire(&lock, "x.json"), -1);
    EXPECT_LT(seconds_since(t0), 1.0);
    EXPECT_EQ(lock.held, 0);
    EXPECT_EQ(lock.handle, -1);
    EXPECT_EQ(id_lock_acquire(nullptr, "x.json"), -1);
    EXPECT_EQ(id_lock_release(nullptr), 0);
}

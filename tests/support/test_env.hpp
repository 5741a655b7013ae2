// Helpers for tests that touch the process environment, the working directory and the disk.
#pragma once

#include <ctime>
#include <optional>
#include <string>

namespace tarn::test {

// A fresh directory under the system temporary directory, removed with its content on exit.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable and restores it on exit.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv();

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A time zone (TZ) for the object's lifetime; localtime_r reads TZ only when tzset is called.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        env_.emplace("TZ", std::string(tz));
        ::tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;
    ~ScopedTimeZone() {
        env_.reset();
        ::tzset();
    }

private:
    std::optional<ScopedEnv> env_;
};

// Changes the working directory and returns to the old one on exit.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& dir);
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;
    ~ScopedCwd();

private:
    std::string old_;
};

// A temporary data directory (created, mode 0700) in force through IDENTITY_DATA_DIR for the object's lifetime; the
// working directory moves into a scratch directory too, so that no config.json is picked up.
class DataDirFixture {
public:
    DataDirFixture();
    const std::string& dir() const { return data_; }
    std::string file(const std::string& name) const { return data_ + "/" + name; }
    const std::string& work() const { return root_.path(); }

private:
    TempDir root_;
    std::string data_;
    ScopedCwd cwd_;
    ScopedEnv env_;
};

std::string read_file(const std::string& path);          // whole content; "" when missing
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
unsigned file_mode(const std::string& path);             // permission bits (st_mode & 07777)

}  // namespace tarn::test

// The "id_session" cookie. Reading: the Cookie header from the input against a reference that
// splits the header at ";" (the reader walks it instead), at every capacity in a buffer of exactly
// that size: the value cut to capacity - 1, the result, and nothing written when no cookie
// matches. Writing: the Set-Cookie line captured from standard output against the line built from
// the rules (attributes, the 599-byte cut, "; Secure" up to 589 bytes on https, nothing at all for
// a value holding a control byte or ";").
//
// Input: a capacity byte, a flags byte (bit 0: no Cookie header; bit 1: forwarded over https;
// bits 2-3: the base URL's scheme), four bytes of max-age, then the Cookie header and the cookie
// value to write, separated by a NUL byte.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "id_tokens.h"

using namespace tarn::fuzz;

namespace {

std::string g_dir;

// Each ";"-separated part of the header, leading spaces removed, is a cookie; the first whose name
// is exactly id_session gives the value (the rest of its part).
std::optional<std::string> reference_cookie(const std::string& header) {
    std::size_t start = 0;
    while (true) {
        const std::size_t end = header.find(';', start);
        std::string part = header.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::size_t name = part.find_first_not_of(' ');
        part = name == std::string::npos ? std::string() : part.substr(name);
        if (part.compare(0, 11, "id_session=") == 0) return part.substr(11);
        if (end == std::string::npos) return std::nullopt;
        start = end + 1;
    }
}

void check_reading(std::uint8_t sel, bool unset, const std::string& header) {
    if (unset) ::unsetenv("HTTP_COOKIE");
    else ::setenv("HTTP_COOKIE", header.c_str(), 1);
    const std::optional<std::string> value = unset ? std::nullopt : reference_cookie(header);
    const std::size_t cap = pick_capacity(sel, value ? value->size() + 1 : 16);
    ExactBuffer out(cap);
    FUZZ_CHECK(id_get_cookie_session(nullptr, cap) == 0);
    const int r = id_get_cookie_session(out.chars(), cap);
    if (!value || cap == 0) {
        FUZZ_CHECK(r == 0);
        FUZZ_CHECK(out.untouched_from(0));
        return;
    }
    const std::string copied = value->substr(0, cap - 1);
    FUZZ_CHECK(r == (copied.empty() ? 0 : 1));
    FUZZ_CHECK(std::memcmp(out.chars(), copied.data(), copied.size()) == 0);
    FUZZ_CHECK(out.chars()[copied.size()] == '\0');
    FUZZ_CHECK(out.untouched_from(copied.size() + 1));
}

// What id_set_session_cookie writes, from the rules.
std::string reference_line(const std::string& value, int max_age, bool secure) {
    for (unsigned char c : value)
        if (c < 0x20 || c == 0x7F || c == ';') return "";
    std::string line = "Set-Cookie: id_session=" + value + "; Path=/; HttpOnly; SameSite=Lax; Max-Age=" +
                       std::to_string(max_age);
    if (line.size() > 599) line.resize(599);
    if (secure && line.size() <= 589) line += "; Secure";
    return line + "\r\n";
}

// Runs `fn` with standard output going to a memory file and returns what it wrote.
template <class Fn>
std::string captured_stdout(Fn fn) {
    std::fflush(stdout);
    const int mem = ::memfd_create("stdout", MFD_CLOEXEC);
    const int saved = ::dup(STDOUT_FILENO);
    FUZZ_CHECK(mem >= 0 && saved >= 0 && ::dup2(mem, STDOUT_FILENO) >= 0);
    fn();
    std::fflush(stdout);
    FUZZ_CHECK(::dup2(saved, STDOUT_FILENO) >= 0);
    ::close(saved);
    std::string out;
    char buf[1024];
    ssize_t n;
    while ((n = ::pread(mem, buf, sizeof buf, static_cast<off_t>(out.size()))) > 0) out.append(buf, static_cast<std::size_t>(n));
    ::close(mem);
    return out;
}

void check_writing(std::uint8_t flags, int max_age, const std::string& value) {
    const bool forwarded_https = flags & 2;
    static const char* const kBaseUrls[] = {"http://id.example", "https://id.example", "HTTPS://id.example", ""};
    const char* base = kBaseUrls[(flags >> 2) & 3];
    ::setenv("HTTP_X_FORWARDED_PROTO", forwarded_https ? ((flags & 16) ? "HTTPS" : "https") : "http", 1);
    ::setenv("IDENTITY_BASE_URL", base, 1);
    const bool secure = forwarded_https || std::strncmp(base, "https://", 8) == 0;
    const std::string written = captured_stdout([&] { id_set_session_cookie(value.c_str(), max_age); });
    FUZZ_CHECK(written == reference_line(value, max_age, secure));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_dir = scratch_dir("cookie");
    ::setenv("IDENTITY_DATA_DIR", (g_dir + "/data").c_str(), 1);  // the configuration creates it
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (g_dir.empty()) LLVMFuzzerInitialize(nullptr, nullptr);
    InDirectory in_scratch(g_dir);  // no config.json but ours (none)
    Input in(data, size);
    const std::uint8_t sel = in.byte();
    const std::uint8_t flags = in.byte();
    std::uint32_t age = 0;
    for (int i = 0; i < 4; ++i) age = (age << 8) | in.byte();
    const std::string header(in.until('\0'));
    const std::string value(in.until('\0'));
    check_reading(sel, flags & 1, header);
    check_writing(flags, static_cast<int>(age), value);
    return 0;
}

// server.log: security events appended one line each, and the client address that names the
// requesting client in them.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "foundation/plain_text.hpp"
#include "foundation/utf8.hpp"
#include "id_foundation.h"
#include "tarn_cgi.h"

namespace {

// Appends `message` with these written as \xNN, byte by byte: every byte below 0x20, the byte
// 0x7F and the backslash; every byte of a character that breaks a line or is not seen (C1 controls
// such as NEL, U+2028, U+2029, bidirectional and zero-width characters); every byte that is not
// part of a UTF-8 character. So a logged value (a username, a header) cannot start a line of its
// own or hide or reorder one for any reader, a line reads back one way only (a line feed and the
// text "\x0a" log differently), and the log is UTF-8 throughout.
void append_escaped(std::string& line, std::string_view message) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto escape = [&line](std::string_view bytes) {
        for (unsigned char c : bytes) {
            const char esc[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
            line.append(esc, 4);
        }
    };
    while (!message.empty()) {
        const tarn::utf8::Decoded d = tarn::utf8::decode(message);
        const std::size_t n = d.length ? d.length : 1;
        if (d.length == 0 || d.code_point == '\\' || tarn::plain_text::unseen(d.code_point)) {
            escape(message.substr(0, n));
        } else {
            line.append(message.substr(0, n));
        }
        message.remove_prefix(n);
    }
}

void log_line(const char* fmt, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    const int len = std::vsnprintf(nullptr, 0, fmt, args);
    if (len < 0) {
        va_end(again);
        return;
    }
    std::string message(static_cast<std::size_t>(len) + 1, '\0');
    std::vsnprintf(message.data(), message.size(), fmt, again);
    va_end(again);

    const std::time_t now = static_cast<std::time_t>(tarn::now_seconds());
    std::tm local{};
    if (!::localtime_r(&now, &local)) return;
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d ", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    std::string line = stamp;
    append_escaped(line, std::string_view(message.data(), static_cast<std::size_t>(len)));
    line.push_back('\n');

    // One write on an O_APPEND descriptor: lines of concurrent processes never interleave.
    tarn::FileDescriptor fd(::open(tarn::data_path("server.log").c_str(),
                                   O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd) tarn::write_all(fd.get(), line);  // a log that cannot be written drops the event
}

}  // namespace

extern "C" {

void id_log_line(const char* fmt, ...) {
    if (!fmt) return;
    std::va_list args;
    va_start(args, fmt);
    try {
        log_line(fmt, args);
    } catch (...) {
        // Out of memory: the event is dropped, as for a log that cannot be opened.
    }
    va_end(args);
}

void id_client_ip(char* dst, size_t cap) {
    if (!dst || cap == 0) return;
    const char* remote = std::getenv("REMOTE_ADDR");
    if (remote && *remote) {
        tarn_strlcpy(dst, remote, cap);
        return;
    }
    const char* forwarded = std::getenv("HTTP_X_FORWARDED_FOR");
    if (forwarded && *forwarded) {
        char first[64];  // at most 63 characters of the first entry
        std::size_t n = 0;
        while (forwarded[n] && forwarded[n] != ',' && n < sizeof first - 1) ++n;
        std::memcpy(first, forwarded, n);
        first[n] = '\0';
        tarn_rtrim(first);
        tarn_strlcpy(dst, first, cap);
        return;
    }
    tarn_strlcpy(dst, "?", cap);
}

}  // extern "C"

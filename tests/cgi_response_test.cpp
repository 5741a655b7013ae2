// The exact bytes of every response form and error page, and the exit status of the process.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/process.hpp"
#include "tarn_cgi.h"

using tarn::test::capture_stdout;

namespace {

const std::string kJson = "Content-Type: application/json; charset=utf-8\r\n";
const std::string kHtml = "Content-Type: text/html; charset=utf-8\r\n";
const std::string kText = "Content-Type: text/plain; charset=utf-8\r\n";
const std::string kEnd = "X-Content-Type-Options: nosniff\r\n\r\n";
const std::string kFrame =
    "<!DOCTYPE html><html><body style=\"background:#000;color:#fff;font-family:sans-serif;padding:40px\">";

std::string out_of(void (*fn)()) { return capture_stdout(fn).out; }

}  // namespace

TEST(CgiHeaders, ContentTypeLines) {
    EXPECT_EQ(out_of(cgi_header_json), kJson);
    EXPECT_EQ(out_of(cgi_header_html), kHtml);
    EXPECT_EQ(out_of(cgi_header_text), kText);
    EXPECT_EQ(kJson.size(), 47u);
    EXPECT_EQ(kHtml.size(), 40u);
    EXPECT_EQ(kText.size(), 41u);
    EXPECT_EQ(kFrame.size(), 98u);
}

TEST(CgiHeaders, StatusLineWithAndWithoutReason) {
    EXPECT_EQ(capture_stdout([] { cgi_header_status(404, "Not Found"); }).out, "Status: 404 Not Found\r\n");
    EXPECT_EQ(capture_stdout([] { cgi_header_status(404, nullptr); }).out, "Status: 404\r\n");
    EXPECT_EQ(capture_stdout([] { cgi_header_status(404, ""); }).out, "Status: 404\r\n");
}

TEST(CgiHeaders, ExtraAndCustomContentType) {
    EXPECT_EQ(capture_stdout([] { cgi_header_extra("Cache-Control: no-store"); }).out, "Cache-Control: no-store\r\n");
    // No line writes nothing: a bare line end would end the header block early.
    EXPECT_EQ(capture_stdout([] { cgi_header_extra(nullptr); }).out, "");
    EXPECT_EQ(capture_stdout([] { cgi_header_extra(""); }).out, "");
    EXPECT_EQ(capture_stdout([] {
                  cgi_header_json();
                  cgi_header_extra(nullptr);
                  cgi_header_extra("X-A: 1");
                  cgi_headers_end();
              }).out,
              kJson + "X-A: 1\r\n" + kEnd);
    EXPECT_EQ(capture_stdout([] { cgi_header_ct("image/png"); }).out, "Content-Type: image/png\r\n");
}

TEST(CgiHeaders, MinimalJsonResponseAndKeySetHeaders) {
    EXPECT_EQ(capture_stdout([] {
                  cgi_header_json();
                  cgi_headers_end();
              }).out,
              kJson + kEnd);
    auto c = capture_stdout([] {
        cgi_header_status(201, "Created");
        cgi_header_json();
        cgi_header_extra("Cache-Control: public, max-age=300");
        cgi_headers_end();
        std::fputs("{}", stdout);
    });
    EXPECT_EQ(c.out, "Status: 201 Created\r\n" + kJson + "Cache-Control: public, max-age=300\r\n" + kEnd + "{}");
    EXPECT_EQ(c.exit_status, 0);
}

TEST(CgiDiePages, JsonEscapesMessageAndExitsZero) {
    auto c = capture_stdout([] {
        cgi_die_json(400, "bad \"x\"");
        std::fputs("never", stdout);
    });
    EXPECT_EQ(c.out, "Status: 400\r\n" + kJson + kEnd + "{\"ok\":false,\"error\":\"bad \\\"x\\\"\"}\n");
    EXPECT_EQ(c.exit_status, 0);
    c = capture_stdout([] { cgi_die_json(500, nullptr); });
    EXPECT_EQ(c.out, "Status: 500\r\n" + kJson + kEnd + "{\"ok\":false,\"error\":\"error\"}\n");
}

TEST(CgiDiePages, Text) {
    auto c = capture_stdout([] { cgi_die_text(503, nullptr); });
    EXPECT_EQ(c.out, "Status: 503\r\n" + kText + kEnd + "\n");
    EXPECT_EQ(c.exit_status, 0);
    c = capture_stdout([] { cgi_die_text(403, "no <way>"); });
    EXPECT_EQ(c.out, "Status: 403\r\n" + kText + kEnd + "no <way>\n");
}

TEST(CgiDiePages, HtmlEscapesTitleButNotExtra) {
    auto c = capture_stdout([] { cgi_die_html(404, "A<B", nullptr); });
    EXPECT_EQ(c.out, "Status: 404\r\n" + kHtml + kEnd + kFrame + "<h1>A&lt;B</h1></body></html>\n");
    EXPECT_EQ(c.exit_status, 0);
    c = capture_stdout([] { cgi_die_html(500, nullptr, "<p>raw & kept</p>"); });
    EXPECT_EQ(c.out, "Status: 500\r\n" + kHtml + kEnd + kFrame + "<p>raw & kept</p></body></html>\n");
}

TEST(CgiEscapers, Json) {
    auto c = capture_stdout([] { json_escape_f(stdout, "\x01\t\n\r\"\\/\x08\x1f\x7f\xc3\xa9 ok"); });
    EXPECT_EQ(c.out, "\\u0001\\t\\n\\r\\\"\\\\/\\u0008\\u001f\x7f\xc3\xa9 ok");
    EXPECT_EQ(capture_stdout([] { json_escape_f(stdout, nullptr); }).out, "");
}

TEST(CgiEscapers, Html) {
    auto c = capture_stdout([] { html_escape_f(stdout, "<a href='x'>&</a>\"\xc3\xa9"); });
    EXPECT_EQ(c.out, "&lt;a href=&#39;x&#39;&gt;&amp;&lt;/a&gt;&quot;\xc3\xa9");
    EXPECT_EQ(capture_stdout([] { html_escape_f(stdout, nullptr); }).out, "");
}

// The characters that make text other than plain: those that break a line or are not seen, so
// that one text can pass for another on a page or in a log, and the blanks that a name may not
// begin or end with. Usernames are checked against them and server.log escapes them.
#pragma once

namespace tarn::plain_text {

// The controls (C0, DEL, C1), the line and paragraph separators, and Unicode's format characters
// (general category Cf: the soft hyphen; the Arabic, Syriac and Mongolian format marks; zero-width
// space, non-joiner and joiner; the directional marks, embeddings, overrides and isolates; the
// word joiner and invisible operators; the byte order mark; interlinear annotation; the Kaithi,
// Egyptian, shorthand and musical format controls; tags).
inline bool unseen(char32_t c) {
    struct Range {
        char32_t first, last;
    };
    static constexpr Range kUnseen[] = {
        {0x0000, 0x001F},   {0x007F, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},
        {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
        {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},
        {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
        {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
    };
    for (const Range& r : kUnseen)
        if (c >= r.first && c <= r.last) return true;
    return false;
}

// Unicode's space separators: space, no-break space, the Ogham space mark, the spaces from en quad
// to hair space, narrow no-break space, medium mathematical space, ideographic space.
inline bool blank(char32_t c) {
    return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

}  // namespace tarn::plain_text

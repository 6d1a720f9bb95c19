#include "shown_text.h"

namespace {

// Characters that make one text look like two lines or like another text:
// the C0 and C1 controls and DEL, the line and paragraph separators, and the
// bidirectional embeddings, overrides, isolates and marks, which can show a
// name's characters in another order than it has them.
bool NeedsEscape(char16_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029 || c == 0x200e ||
           c == 0x200f || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069) ||
           c == 0x061c;
}

constexpr char kHex[] = "0123456789abcdef";

template <typename Out> void AppendEscape(Out& out, char16_t c) {
    if (c == '\t') {
        out += "\\t";
    } else if (c == '\n') {
        out += "\\n";
    } else if (c <= 0xff) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0xf];
    } else {
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            out += kHex[(c >> shift) & 0xf];
    }
}

} // namespace

QString ShownText(const QString& text) {
    qsizetype first = 0;
    while (first < text.size() && !NeedsEscape(text[first].unicode()))
        ++first;
    if (first == text.size())
        return text; // the usual case: nothing to copy
    QString shown = text.left(first);
    for (qsizetype i = first; i < text.size(); ++i) {
        char16_t c = text[i].unicode();
        if (!NeedsEscape(c)) {
            shown += text[i];
            continue;
        }
        std::string escape;
        AppendEscape(escape, c);
        shown += QLatin1StringView(escape.c_str(), static_cast<qsizetype>(escape.size()));
    }
    return shown;
}

std::string ShownText(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
    for (size_t i = 0; i < text.size();) {
        // Only one- to three-byte forms can need an escape (every such
        // character is below U+10000); a longer or broken form is copied.
        char32_t c = bytes[i];
        size_t length = 1;
        auto continuation = [&](size_t at) {
            return at < text.size() && (bytes[at] & 0xc0) == 0x80;
        };
        if (c >= 0xc2 && c <= 0xdf && continuation(i + 1)) {
            c = ((c & 0x1f) << 6) | (bytes[i + 1] & 0x3f);
            length = 2;
        } else if (c >= 0xe0 && c <= 0xef && continuation(i + 1) && continuation(i + 2)) {
            c = ((c & 0x0f) << 12) | ((bytes[i + 1] & 0x3fu) << 6) | (bytes[i + 2] & 0x3f);
            length = c >= 0x800 ? 3 : 1; // an overlong form is no character
        }
        if ((length > 1 || c < 0x80) && NeedsEscape(static_cast<char16_t>(c)))
            AppendEscape(shown, static_cast<char16_t>(c));
        else
            shown.append(text, i, length);
        i += length;
    }
    return shown;
}

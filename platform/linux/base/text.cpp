#include <ombrel/text.h>

#include <cstring>

namespace ombrel::platform {
namespace {

// Length of the sequence a lead byte announces; 0 for a continuation or an
// invalid byte.
size_t SequenceLength(unsigned char lead) {
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence at text[at] and its value in code;
// 0 where the byte there begins none. The second byte's range rules out
// overlong forms, surrogates and values past U+10FFFF.
size_t DecodeUtf8(std::string_view text, size_t at, char32_t& code) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    unsigned char lead = byte(0);
    size_t length = SequenceLength(lead);
    if (length == 0 || at + length > text.size())
        return 0;
    if (length == 1) {
        code = lead;
        return 1;
    }
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (lead == 0xE0)
        low = 0xA0;
    else if (lead == 0xED)
        high = 0x9F;
    else if (lead == 0xF0)
        low = 0x90;
    else if (lead == 0xF4)
        high = 0x8F;
    if (byte(1) < low || byte(1) > high)
        return 0;
    code = lead & (0xFF >> (length + 1));
    for (size_t i = 1; i < length; ++i) {
        if (!IsContinuation(byte(i)))
            return 0;
        code = code << 6 | (byte(i) & 0x3F);
    }
    return length;
}

// Characters that make one text look like two lines or like another text:
// the C0 and C1 controls and DEL, the line and paragraph separators, and the
// bidirectional marks, embeddings, overrides and isolates, which can show a
// name's characters in another order than it has them.
bool NeedsEscape(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x200E ||
           c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
           c == 0x061C;
}

constexpr char kHex[] = "0123456789abcdef";

void AppendHex(std::string& out, uint32_t value, int digits) {
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        out += kHex[(value >> shift) & 0xF];
}

} // namespace

size_t Utf8FitLength(std::string_view text, size_t max) {
    if (text.size() <= max)
        return text.size();
    // Walk back over at most three continuation bytes to the sequence's lead;
    // cut before it only when the whole sequence would not fit.
    size_t cut = max;
    for (size_t back = 1; back <= 3 && back <= max; ++back) {
        unsigned char byte = static_cast<unsigned char>(text[max - back]);
        if (IsContinuation(byte))
            continue;
        size_t need = SequenceLength(byte);
        if (need > back) {
            bool wellFormed = true;
            for (size_t i = 1; i < need && max - back + i < text.size(); ++i)
                wellFormed &= IsContinuation(static_cast<unsigned char>(text[max - back + i]));
            if (wellFormed)
                cut = max - back;
        }
        break;
    }
    return cut;
}

size_t CopyText(char* buffer, size_t size, std::string_view text) {
    if (buffer == nullptr || size == 0)
        return 0;
    size_t length = Utf8FitLength(text, size - 1);
    std::memmove(buffer, text.data(), length);
    buffer[length] = '\0';
    return length;
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string ShownText(std::string_view text, Backslash backslash) {
    std::string shown;
    shown.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        char32_t code = 0;
        size_t length = DecodeUtf8(text, at, code);
        if (length == 0) {
            shown += "\\x";
            AppendHex(shown, static_cast<unsigned char>(text[at]), 2);
            ++at;
            continue;
        }
        if (code == '\t') {
            shown += "\\t";
        } else if (code == '\n') {
            shown += "\\n";
        } else if (code == '\\' && backslash == Backslash::Escaped) {
            shown += "\\\\";
        } else if (!NeedsEscape(code)) {
            shown.append(text, at, length);
        } else if (code < 0x80) {
            shown += "\\x";
            AppendHex(shown, code, 2);
        } else {
            shown += "\\u";
            AppendHex(shown, code, 4);
        }
        at += length;
    }
    return shown;
}

} // namespace ombrel::platform

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

} // namespace ombrel::platform

// Copying text into callers' fixed buffers, and writing it as UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ombrel::platform {

// The longest prefix of text that fits in max bytes without splitting a UTF-8
// sequence. Bytes that are not valid UTF-8 count as one character each.
size_t Utf8FitLength(std::string_view text, size_t max);

// Copies as much of text as fits in a buffer of size bytes, cut at a character
// boundary, and terminates it. Returns the bytes copied without the
// terminator; nothing is written when size is 0.
size_t CopyText(char* buffer, size_t size, std::string_view text);

// Appends the UTF-8 form of a Unicode scalar value (not a surrogate, at
// most U+10FFFF: the caller's to ensure).
void AppendUtf8(std::string& out, uint32_t code);

} // namespace ombrel::platform

// Copying text into callers' fixed buffers, writing it as UTF-8, and
// showing text the system does not control.
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

// Whether a backslash in a shown text stands for itself, or is written as
// \\ so that every shown text reads back to the one text it came from.
enum class Backslash { AsItIs, Escaped };

// A text the system does not control (a path, a process name, a string read
// from a file) as it is shown, in the window or on a terminal: valid UTF-8,
// on one line, with no byte that acts on a terminal or character that
// reorders what is around it. A tab is written \t, a newline \n; any other
// C0 control, DEL, and each byte that is not part of a valid UTF-8 sequence
// (overlong forms, surrogates and values past U+10FFFF are not) \xHH; a C1
// control, the line and paragraph separators and the bidirectional marks,
// embeddings, overrides and isolates \uHHHH (so \xHH is always one byte and
// \uHHHH one character). Everything else passes as it is.
std::string ShownText(std::string_view text, Backslash backslash = Backslash::AsItIs);

} // namespace ombrel::platform

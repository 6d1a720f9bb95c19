// A program file's version, description and company, from its version
// resource.
#pragma once

// The capacity of the detail pane's buffers, terminator included.
constexpr int kFileStringCapacity = 260;

// The fixed file version as "a.b.c.d" in buffer (size bytes, at least 1):
// 1 when written, 0 with the buffer untouched. Resources above 8,191 bytes
// are not read.
int GetFileVersionText(const char* path, char* buffer, int size);

// FileDescription and CompanyName of the file's first translation into
// description and company (either may be none), each of
// kFileStringCapacity bytes and cut at a character boundary to fit: 1 when
// the translation table was found, else 0. A value not found leaves its
// buffer untouched.
int GetFileStrings(const char* path, char* description, char* company);

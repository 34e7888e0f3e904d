// One JSON object on one line, written by hand: strings escaped byte by
// byte, numbers in decimal, nothing formatted from data.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// A JSON string of bytes in no known encoding (a code page's, say): quotes,
// backslashes and control characters escaped, and every byte from 0x80 up
// written as \u00XX, the character of the same number. The line stays
// ASCII and loses no byte: a reader takes each such character back as the
// byte it stands for.
void AppendJsonBytes(std::string* line, const char* bytes, std::size_t size);

// A JSON string of UTF-8 text: well-formed sequences are kept as they are;
// each byte of a malformed one becomes \ufffd, the replacement character.
void AppendJsonUtf8(std::string* line, const char* text, std::size_t size);

// ,"key": before every member but an object's first (a line that ends in
// '{' or '[' takes no comma).
void AppendJsonKey(std::string* line, const char* key);

void AppendJsonNumber(std::string* line, std::int64_t number);

// 100-nanosecond steps since 1601-01-01 UTC as an ISO 8601 string with
// milliseconds ("2026-12-06T10:20:30.250Z").
void AppendJsonUtcTime(std::string* line, std::uint64_t fileTime);

// Bounded text for the engine's fixed 260-byte buffers.
//
// Every copy and concatenation into a fixed buffer goes through joinText: it
// writes the whole result or nothing, so a result that does not fit is never
// truncated and nothing is written past the buffer. Case folding follows the
// system's ANSI code page, as the platform's own name comparisons do
// (CharUpperBuffA / CharLowerBuffA): "GERÄT" and "Gerät" are equal on code
// page 1252.
#pragma once

#include <cstddef>
#include <initializer_list>

// Writes the concatenation of `parts` (null parts count as empty) and its
// terminating zero into `dest` of `capacity` bytes. Returns false and leaves
// `dest` empty when the result would need more than `capacity` bytes.
// `dest` may be one of the parts only as the first one.
bool joinText(char* dest, size_t capacity, std::initializer_list<const char*> parts);

template <size_t N>
bool joinText(char (&dest)[N], std::initializer_list<const char*> parts) {
    return joinText(dest, N, parts);
}

// For a buffer that was zero-filled before the platform wrote data into it:
// true when it holds a zero-terminated string, false (buffer emptied) when
// the data filled all `capacity` bytes without a zero.
bool isTerminatedText(char* buffer, size_t capacity);

// Upper-cases / lower-cases the letters of the code page in place up to the
// first zero.
void upperText(char* text);
void lowerText(char* text);

// Whole-string equality ignoring case.
bool equalTextNoCase(const char* a, const char* b);

// True when `text` contains `part` (case-sensitive); an empty `part` is
// contained in every text.
bool containsText(const char* text, const char* part);

// True when `text` begins with `prefix` ignoring case.
bool startsWithNoCase(const char* text, const char* prefix);

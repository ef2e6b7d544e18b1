// Base58 text of the Trovix id and PIN (Bitcoin's alphabet, no check digits).
#pragma once

#include <stddef.h>
#include <stdint.h>

// Every leading zero byte becomes one '1'; the rest is written as one
// big-endian number in base 58, most significant digit first. Returns the
// text length, or -ENOSPC when size cannot hold it and its NUL (out is then
// an empty text when size > 0).
int encodeBase58(const uint8_t* bytes, size_t length, char* out, size_t size);

// Decodes text into a big-endian number of width bytes (at most 32).
// Leading '1' characters are skipped; an empty text or one of '1's only is
// zero. False, with out untouched, when a character is not a digit of the
// alphabet or the value does not fit the width.
bool decodeBase58Fixed(const char* text, uint8_t* out, size_t width);

// Byte views and the length-prefixed ByteArray record.
//
// ByteArrayRef is a pair (len, arr) passed by value that never owns its bytes;
// the empty view with a null arr means "no data". The operations below work
// in the caller's storage, allocate nothing and report no errors.
#pragma once

#include <cstdint>
#include <cstdio>

#include "lib/base.h"

struct ByteArrayRef {
    std::int32_t len; // number of bytes, never negative
    byte* arr;
};

// Makes a view without any check.
inline ByteArrayRef BAR(void* ptr, std::int32_t len) { return ByteArrayRef{len, static_cast<byte*>(ptr)}; }

// A length-prefixed byte array: the count, then `len` bytes directly after it
// in the same storage. Make one in a ByteArrayBuffer with ByteArray_Init.
struct ByteArray {
    std::int32_t len;
};

// Storage for a ByteArray of N bytes: the count followed by the bytes.
template <int N> struct alignas(ByteArray) ByteArrayBuffer {
    byte raw[sizeof(ByteArray) + N];
};

// Sets up a ByteArray of `len` bytes at the start of `storage`; returns it.
ByteArray* ByteArray_Init(void* storage, std::int32_t len);

// The view of the bytes that follow the count of `ba`.
ByteArrayRef ByteArray_BAR(ByteArray* ba);

// Brings `offset` into the view (negative counts from the end); -1 for an empty view.
int ByteArrayRef_Normalize(ByteArrayRef str, int offset);

// Cuts `len` so that offset + len stays inside the view; never below 0.
int ByteArrayRef_Bound(ByteArrayRef str, int offset, int len);

// Overlap-safe copy of len bytes, src+offs to dst+offd, unchecked; returns dst.
ByteArrayRef ByteArrayRef__OverwriteIn(ByteArrayRef dst, ByteArrayRef src, int offd, int offs, int len);

// The same with offsets normalised and the length bounded by both views; returns dst.
ByteArrayRef ByteArrayRef_OverwriteIn(ByteArrayRef dst, ByteArrayRef src, int offd, int offs, int len);

// memcmp-like order; a proper prefix sorts first (exactly -1 or 1).
int ByteArrayRef_Compare(ByteArrayRef str1, ByteArrayRef str2);

// Reverses the bytes in place; returns str.
ByteArrayRef ByteArrayRef_Reverse(ByteArrayRef str);

// Sets every byte to b; returns str.
ByteArrayRef ByteArrayRef_Fill(ByteArrayRef str, byte b);

// Calls f(byte, data) for each byte in order; returns str.
ByteArrayRef ByteArrayRef_Map(ByteArrayRef str, void (*f)(byte, void*), void* data);

// Writes each byte as "%02X " to f, no line end; returns bar.
ByteArrayRef ByteArrayRef_FPrintHex(ByteArrayRef bar, FILE* f);

// ByteArrayRef_FPrintHex on standard output.
ByteArrayRef ByteArrayRef_PrintHex(ByteArrayRef bar);

// Writes the bytes unchanged (zero bytes too) to f; returns bar.
ByteArrayRef ByteArrayRef_FPrint(ByteArrayRef bar, FILE* f);

// ByteArrayRef_FPrint on standard output.
ByteArrayRef ByteArrayRef_Print(ByteArrayRef bar);

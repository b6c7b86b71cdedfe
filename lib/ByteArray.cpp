#include "lib/ByteArray.h"

#include <algorithm>
#include <cstring>
#include <new>

ByteArray* ByteArray_Init(void* storage, std::int32_t len) { return new (storage) ByteArray{len}; }

ByteArrayRef ByteArray_BAR(ByteArray* ba) { return BAR(reinterpret_cast<byte*>(ba) + sizeof(ByteArray), ba->len); }

int ByteArrayRef_Normalize(ByteArrayRef str, int offset)
{
    if (offset < 0) {
        offset += str.len;
        if (offset < 0)
            offset = 0;
    }
    if (offset >= str.len)
        offset = str.len - 1;
    return offset;
}

int ByteArrayRef_Bound(ByteArrayRef str, int offset, int len)
{
    // 64-bit sums: offset + len must not overflow for any pair of ints.
    if (static_cast<long long>(offset) + len > str.len)
        len = static_cast<int>(static_cast<long long>(str.len) - offset);
    return len < 0 ? 0 : len;
}

ByteArrayRef ByteArrayRef__OverwriteIn(ByteArrayRef dst, ByteArrayRef src, int offd, int offs, int len)
{
    if (len > 0)
        std::memmove(dst.arr + offd, src.arr + offs, static_cast<size_t>(len));
    return dst;
}

ByteArrayRef ByteArrayRef_OverwriteIn(ByteArrayRef dst, ByteArrayRef src, int offd, int offs, int len)
{
    if (dst.len <= 0 || src.len <= 0)
        return dst;
    offd = ByteArrayRef_Normalize(dst, offd);
    offs = ByteArrayRef_Normalize(src, offs);
    len = ByteArrayRef_Bound(dst, offd, len);
    len = ByteArrayRef_Bound(src, offs, len);
    return ByteArrayRef__OverwriteIn(dst, src, offd, offs, len);
}

int ByteArrayRef_Compare(ByteArrayRef str1, ByteArrayRef str2)
{
    const int n = std::min(str1.len, str2.len);
    const int c = n > 0 ? std::memcmp(str1.arr, str2.arr, static_cast<size_t>(n)) : 0;
    if (str1.len == str2.len || c != 0)
        return c;
    return str1.len > str2.len ? 1 : -1;
}

ByteArrayRef ByteArrayRef_Reverse(ByteArrayRef str)
{
    for (int i = 0; i < str.len / 2; i++)
        std::swap(str.arr[i], str.arr[str.len - 1 - i]);
    return str;
}

ByteArrayRef ByteArrayRef_Fill(ByteArrayRef str, byte b)
{
    if (str.len > 0)
        std::memset(str.arr, b, static_cast<size_t>(str.len));
    return str;
}

ByteArrayRef ByteArrayRef_Map(ByteArrayRef str, void (*f)(byte, void*), void* data)
{
    for (int i = 0; i < str.len; i++)
        f(str.arr[i], data);
    return str;
}

ByteArrayRef ByteArrayRef_FPrintHex(ByteArrayRef bar, FILE* f)
{
    for (int i = 0; i < bar.len; i++)
        fprintf(f, "%02X ", bar.arr[i]);
    return bar;
}

ByteArrayRef ByteArrayRef_PrintHex(ByteArrayRef bar) { return ByteArrayRef_FPrintHex(bar, stdout); }

ByteArrayRef ByteArrayRef_FPrint(ByteArrayRef bar, FILE* f)
{
    for (int i = 0; i < bar.len; i++)
        fprintf(f, "%c", bar.arr[i]);
    return bar;
}

ByteArrayRef ByteArrayRef_Print(ByteArrayRef bar) { return ByteArrayRef_FPrint(bar, stdout); }

#include "lib/serial.h"

#include <array>

#include <unistd.h>

int serialEscape(byte b)
{
    return b == SERIAL_START || b == SERIAL_ESC || b == SERIAL_END || b == SERIAL_XON || b == SERIAL_XOFF;
}

int serialFrameOverhead(ByteArrayRef pkt)
{
    int n = 2;
    for (int i = 0; i < pkt.len; i++)
        n += serialEscape(pkt.arr[i]);
    return n;
}

int serialFrame(ByteArrayRef src, ByteArrayRef dst)
{
    int o = 0;
    dst.arr[o++] = SERIAL_START;
    for (int i = 0; i < src.len; i++) {
        const byte b = src.arr[i];
        if (serialEscape(b)) {
            dst.arr[o++] = SERIAL_ESC;
            dst.arr[o++] = static_cast<byte>(b ^ SERIAL_ESC_XOR);
        } else {
            dst.arr[o++] = b;
        }
    }
    // cppcheck-suppress unreadVariable ; the frame lives in the caller's buffer
    dst.arr[o] = SERIAL_END;
    return 1;
}

ByteArrayRef serialUnframe(ByteArrayRef src)
{
    if (src.len <= 0 || src.arr[0] != SERIAL_START || src.arr[src.len - 1] != SERIAL_END)
        return BAR(nullptr, 0);
    int out = 0;
    int escapes = 0;
    for (int i = 1; i <= src.len - 2; i++) {
        byte b = src.arr[i];
        if (b == SERIAL_ESC) {
            b = static_cast<byte>(src.arr[++i] ^ SERIAL_ESC_XOR);
            escapes++;
        }
        src.arr[out++] = b;
    }
    return BAR(src.arr, src.len - 2 - escapes);
}

int serialFramedSend(FILE* f, ByteArrayRef src)
{
    if (src.len < 0 || src.len > SERIAL_MAX_PACKET)
        return -1;
    // Room for the worst case: every byte escaped, plus both delimiters.
    std::array<byte, 2 * SERIAL_MAX_PACKET + 2> frame;
    const int n = src.len + serialFrameOverhead(src);
    serialFrame(src, BAR(frame.data(), n));
    return static_cast<int>(write(fileno(f), frame.data(), static_cast<size_t>(n)));
}

// Link framing: byte stuffing between 0x7E and 0x7F, and the framed send.
//
// A frame is 0x7E, the packet with every byte of the escape set sent as
// 0x7D and the byte XOR 0x20, then 0x7F. The escape set is 0x7E, 0x7D, 0x7F,
// 0x11 (XON) and 0x13 (XOFF).
#pragma once

#include <cstdio>

#include "lib/ByteArray.h"

constexpr byte SERIAL_START = 0x7E;
constexpr byte SERIAL_END = 0x7F;
constexpr byte SERIAL_ESC = 0x7D;
constexpr byte SERIAL_ESC_XOR = 0x20;
constexpr byte SERIAL_XON = 0x11;
constexpr byte SERIAL_XOFF = 0x13;

// Largest packet that serialFramedSend accepts.
constexpr int SERIAL_MAX_PACKET = 256;

// 1 if b must be escaped on the line, 0 otherwise.
int serialEscape(byte b);

// Frame bytes beyond the packet: 2 plus the number of bytes to escape.
int serialFrameOverhead(ByteArrayRef pkt);

// Writes the frame of src into dst.arr (the caller provides
// src.len + serialFrameOverhead(src) bytes); returns 1.
int serialFrame(ByteArrayRef src, ByteArrayRef dst);

// Decodes one whole frame in place; returns the packet view, or the empty
// view (null arr) when src is not a frame.
ByteArrayRef serialUnframe(ByteArrayRef src);

// Frames src and writes it with one write() on fileno(f); returns what write
// returned, or -1 for a packet longer than SERIAL_MAX_PACKET.
int serialFramedSend(FILE* f, ByteArrayRef src);

// Any packet frames and unframes back to itself, the frame carries no bare
// delimiter or flow-control byte, and the receiver returns the packet once
// its checksum is set.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/file.h"
#include "lib/serial.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 256)
        return 0;
    std::vector<byte> pkt(data, data + size);
    ByteArrayRef_Seal(BAR(pkt.data(), static_cast<int>(size)));
    const ByteArrayRef src = BAR(pkt.data(), static_cast<int>(size));
    std::vector<byte> frame(size + static_cast<size_t>(serialFrameOverhead(src)));
    serialFrame(src, BAR(frame.data(), static_cast<int>(frame.size())));
    if (frame.front() != SERIAL_START || frame.back() != SERIAL_END)
        abort();
    for (size_t i = 1; i + 1 < frame.size(); i++)
        if (frame[i] == SERIAL_START || frame[i] == SERIAL_END || frame[i] == SERIAL_XON || frame[i] == SERIAL_XOFF)
            abort();

    std::vector<byte> line = frame;
    FILE* f = fmemopen(line.data(), line.size(), "r");
    std::vector<byte> rx(256);
    const ByteArrayRef got = filePacketGet(f, BAR(rx.data(), 256));
    fclose(f);
    if (got.arr == nullptr || got.len != static_cast<int>(size) || std::memcmp(got.arr, pkt.data(), size) != 0)
        abort();

    const ByteArrayRef back = serialUnframe(BAR(frame.data(), static_cast<int>(frame.size())));
    if (back.len != static_cast<int>(size) || std::memcmp(back.arr, pkt.data(), size) != 0)
        abort();
    return 0;
}

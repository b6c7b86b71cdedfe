// The byte-wise receiver and checksum fed arbitrary line bytes: every packet
// returned fits the buffer and has a good checksum. The first byte picks the
// buffer size (1 to 256), so a store past it is caught by the address sanitizer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "lib/file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int cap = data[0] + 1;
    std::vector<uint8_t> line(data + 1, data + size);
    FILE* f = fmemopen(line.data(), line.size(), "r");
    if (f == nullptr)
        return 0;
    std::vector<byte> rx(static_cast<size_t>(cap));
    for (;;) {
        const ByteArrayRef p = filePacketGet(f, BAR(rx.data(), cap));
        if (p.arr == nullptr)
            break;
        if (p.arr != rx.data() || p.len < 1 || p.len > cap || (ByteArrayRef_Checksum(p) & 0xFF) != 0xFF)
            abort();
    }
    fclose(f);
    return 0;
}

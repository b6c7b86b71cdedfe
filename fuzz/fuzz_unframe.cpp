// serialUnframe on arbitrary bytes: it stays inside its input and returns
// either the empty view or a packet no longer than the frame's inside.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "lib/serial.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<byte> buf(data, data + size);
    const ByteArrayRef r = serialUnframe(BAR(buf.data(), static_cast<int>(buf.size())));
    if (r.arr == nullptr) {
        if (r.len != 0)
            abort();
        return 0;
    }
    if (r.arr != buf.data() || r.len < 0 || r.len > static_cast<int>(size) - 2)
        abort();
    return 0;
}

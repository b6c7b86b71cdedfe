// Framing, unframing, checksum and the byte-wise receiver, from tables.
#include <cstdio>
#include <vector>

#include <gtest/gtest.h>

#include "lib/file.h"
#include "tests/helpers.h"
#include "lib/serial.h"

using Bytes = std::vector<unsigned char>;

struct FrameRow {
    const char* what;
    Bytes packet;
    Bytes frame;
};

static void PrintTo(const FrameRow& r, std::ostream* os) { *os << r.what; }

class Framing : public ::testing::TestWithParam<FrameRow> {};

TEST_P(Framing, FramesAndUnframesExactly)
{
    const FrameRow& row = GetParam();
    Bytes pkt = row.packet;
    ByteArrayRef src = BAR(pkt.data(), static_cast<int>(pkt.size()));
    EXPECT_EQ(serialFrameOverhead(src), static_cast<int>(row.frame.size() - row.packet.size()));
    Bytes out(row.frame.size() + 8, 0xAA);
    EXPECT_EQ(serialFrame(src, BAR(out.data(), static_cast<int>(out.size()))), 1);
    EXPECT_EQ(hex(Bytes(out.begin(), out.begin() + static_cast<long>(row.frame.size()))), hex(row.frame));
    EXPECT_EQ(out[row.frame.size()], 0xAA) << "wrote past the frame";

    Bytes frame = row.frame;
    const ByteArrayRef back = serialUnframe(BAR(frame.data(), static_cast<int>(frame.size())));
    ASSERT_NE(back.arr, nullptr);
    EXPECT_EQ(hex(Bytes(back.arr, back.arr + back.len)), hex(row.packet));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Framing,
    ::testing::Values(
        FrameRow{"empty packet", {}, {0x7E, 0x7F}},
        FrameRow{"start delimiter and XOFF inside", {0x41, 0x7E, 0x13}, {0x7E, 0x41, 0x7D, 0x5E, 0x7D, 0x33, 0x7F}},
        FrameRow{"only escapes", {0x11, 0x13}, {0x7E, 0x7D, 0x31, 0x7D, 0x33, 0x7F}},
        FrameRow{"every escape",
                 {0x7E, 0x7D, 0x7F, 0x11, 0x13},
                 {0x7E, 0x7D, 0x5E, 0x7D, 0x5D, 0x7D, 0x5F, 0x7D, 0x31, 0x7D, 0x33, 0x7F}},
        FrameRow{"plain bytes", {0x01, 0x02, 0xFC, 0x12, 0x80}, {0x7E, 0x01, 0x02, 0xFC, 0x12, 0x80, 0x7F}}));

TEST(Unframe, RejectsWhatIsNotOneFrame)
{
    for (Bytes in : {Bytes{}, Bytes{0x41, 0x7F}, Bytes{0x7E, 0x41}, Bytes{0x7E}}) {
        const ByteArrayRef r = serialUnframe(BAR(in.data(), static_cast<int>(in.size())));
        EXPECT_EQ(r.arr, nullptr) << hex(in);
        EXPECT_EQ(r.len, 0);
    }
    Bytes frame{0x7E, 0x41, 0x7D, 0x5E, 0x7F};
    const ByteArrayRef r = serialUnframe(BAR(frame.data(), 5));
    EXPECT_EQ(r.len, 2);
    EXPECT_EQ(frame[0], 0x41);
    EXPECT_EQ(frame[1], 0x7E);
}

TEST(Checksum, SumAndRule)
{
    Bytes p{0x01, 0x02, 0x00};
    EXPECT_EQ(ByteArrayRef_Checksum(BAR(p.data(), 3)), 3);
    p[2] = static_cast<unsigned char>(-1 - ByteArrayRef_Checksum(BAR(p.data(), 3)));
    EXPECT_EQ(p[2], 0xFC);
    Bytes big(300, 0xFF);
    EXPECT_EQ(ByteArrayRef_Checksum(BAR(big.data(), 300)), 300 * 255) << "no reduction";
}

// Frames a packet of n bytes (no escapes) whose checksum passes.
static Bytes goodFrame(size_t n, unsigned char fill = 0x01)
{
    Bytes pkt(n, fill);
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < n; i++)
        sum += pkt[i];
    pkt[n - 1] = static_cast<unsigned char>(0xFF - (sum & 0xFF));
    Bytes f{0x7E};
    for (unsigned char b : pkt) {
        if (serialEscape(b)) {
            f.push_back(0x7D);
            f.push_back(b ^ 0x20);
        } else {
            f.push_back(b);
        }
    }
    f.push_back(0x7F);
    return f;
}

static Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct RxRow {
    const char* what;
    Bytes line;                // everything the stream delivers
    int capacity;              // receive buffer size
    std::vector<Bytes> expect; // packets returned by successive calls, then silence
};

static void PrintTo(const RxRow& r, std::ostream* os) { *os << r.what; }

class Receiver : public ::testing::TestWithParam<RxRow> {};

TEST_P(Receiver, ReturnsGoodPacketsOnly)
{
    const RxRow& row = GetParam();
    Bytes line = row.line;
    FILE* f = fmemopen(line.data(), line.size(), "r");
    ASSERT_NE(f, nullptr);
    Bytes buf(static_cast<size_t>(row.capacity) + 16, 0xEE);
    for (const Bytes& want : row.expect) {
        const ByteArrayRef got = filePacketGet(f, BAR(buf.data(), row.capacity));
        ASSERT_NE(got.arr, nullptr) << "expected " << hex(want);
        EXPECT_EQ(hex(Bytes(got.arr, got.arr + got.len)), hex(want));
    }
    EXPECT_EQ(filePacketGet(f, BAR(buf.data(), row.capacity)).arr, nullptr) << "expected no more packets";
    for (size_t i = static_cast<size_t>(row.capacity); i < buf.size(); i++)
        ASSERT_EQ(buf[i], 0xEE) << "stored past the buffer at " << i;
    fclose(f);
}

static Bytes unframed(const Bytes& frame) { return Bytes(frame.begin() + 1, frame.end() - 1); }

INSTANTIATE_TEST_SUITE_P(
    Rows, Receiver,
    ::testing::Values(
        RxRow{"plain", {0x7E, 0x01, 0x02, 0xFC, 0x7F}, 256, {{0x01, 0x02, 0xFC}}},
        RxRow{"noise before the frame",
              {0x00, 0x41, 0x7F, 0x7D, 0x7E, 0x01, 0x02, 0xFC, 0x7F},
              256,
              {{0x01, 0x02, 0xFC}}},
        RxRow{"repeated start", {0x7E, 0x7E, 0x41, 0xBE, 0x7F}, 256, {{0x41, 0xBE}}},
        RxRow{"empty frame yields nothing", {0x7E, 0x7F, 0x7E, 0xFF, 0x7F}, 256, {{0xFF}}},
        RxRow{
            "start inside a frame abandons it", {0x7E, 0x41, 0x7E, 0x42, 0xBD, 0x7F, 0x7E, 0xFF, 0x7F}, 256, {{0xFF}}},
        RxRow{"escaped first byte", {0x7E, 0x7D, 0x5F, 0x80, 0x7F}, 256, {{0x7F, 0x80}}},
        RxRow{"escape then end delimiter is data", {0x7E, 0x7D, 0x7F, 0xA0, 0x7F}, 256, {{0x5F, 0xA0}}},
        RxRow{"escape straight after start", {0x7E, 0x7D, 0x5E, 0x81, 0x7F}, 256, {{0x7E, 0x81}}},
        RxRow{"sum 0x1FF is good", {0x7E, 0xFF, 0xFF, 0x01, 0x7F}, 256, {{0xFF, 0xFF, 0x01}}},
        RxRow{"single 0xFF", {0x7E, 0xFF, 0x7F}, 256, {{0xFF}}},
        RxRow{"bad checksum then good frame",
              {0x7E, 0x01, 0x02, 0x03, 0x7F, 0x7E, 0x01, 0x02, 0xFC, 0x7F},
              256,
              {{0x01, 0x02, 0xFC}}},
        RxRow{"two frames, two calls", {0x7E, 0xFF, 0x7F, 0x7E, 0x01, 0xFE, 0x7F}, 256, {{0xFF}, {0x01, 0xFE}}},
        RxRow{"partial frame at the end", {0x7E, 0x01, 0x02}, 256, {}},
        RxRow{"255 bytes fit", goodFrame(255), 256, {unframed(goodFrame(255))}},
        RxRow{"256 bytes fit", goodFrame(256), 256, {unframed(goodFrame(256))}},
        RxRow{"257 bytes dropped, next frame kept", cat({goodFrame(257), {0x7E, 0xFF, 0x7F}}), 256, {{0xFF}}},
        RxRow{"600 bytes dropped, next frame kept", cat({goodFrame(600, 0x7E), {0x7E, 0xFF, 0x7F}}), 256, {{0xFF}}},
        RxRow{"frame longer than a 19-byte record buffer",
              cat({goodFrame(20), goodFrame(19)}),
              19,
              {unframed(goodFrame(19))}}),
    [](const ::testing::TestParamInfo<RxRow>& info) { return "row" + std::to_string(info.index); });

TEST(Receiver, BoundIsTheBufferNotAnEarlierPacket)
{
    // A short junk packet first: the next 19-byte packet must still fit when
    // the caller receives through the whole buffer again.
    Bytes line = cat({goodFrame(5), goodFrame(19)});
    FILE* f = fmemopen(line.data(), line.size(), "r");
    Bytes buf(256);
    const ByteArrayRef whole = BAR(buf.data(), 256);
    EXPECT_EQ(filePacketGet(f, whole).len, 5);
    EXPECT_EQ(filePacketGet(f, whole).len, 19);
    fclose(f);
}

TEST(WaitRead, EmptyOrNegativeListReturnsAtOnce)
{
    timeval tv{5, 0};
    EXPECT_EQ(filesWaitRead(IAR(nullptr, 0), &tv), 0);
    int fds[] = {-1, -7};
    EXPECT_EQ(filesWaitRead(IAR(fds, 2), nullptr), 0);
}

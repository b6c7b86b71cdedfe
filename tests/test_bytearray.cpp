// Byte-array operations, from tables.
#include <cstdio>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "lib/ByteArray.h"
#include "tests/helpers.h"

using Bytes = std::vector<unsigned char>;

struct NormRow {
    int len, offset, expect;
};

static void PrintTo(const NormRow& r, std::ostream* os)
{
    *os << "offset " << r.offset << " of " << r.len << " bytes is " << r.expect;
}

class Normalize : public ::testing::TestWithParam<NormRow> {};

TEST_P(Normalize, Offsets)
{
    Bytes b(static_cast<size_t>(GetParam().len));
    EXPECT_EQ(ByteArrayRef_Normalize(BAR(b.data(), GetParam().len), GetParam().offset), GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(Rows, Normalize,
                         ::testing::Values(NormRow{10, 3, 3}, NormRow{10, -1, 9}, NormRow{10, -10, 0},
                                           NormRow{10, -11, 0}, NormRow{10, 10, 9}, NormRow{10, 15, 9},
                                           NormRow{0, 0, -1}, NormRow{0, -5, -1}, NormRow{0, 5, -1}));

struct BoundRow {
    int offset, len, expect;
};

static void PrintTo(const BoundRow& r, std::ostream* os)
{
    *os << r.len << " bytes from " << r.offset << " of 10 are " << r.expect;
}

class Bound : public ::testing::TestWithParam<BoundRow> {};

TEST_P(Bound, Lengths)
{
    Bytes b(10);
    EXPECT_EQ(ByteArrayRef_Bound(BAR(b.data(), 10), GetParam().offset, GetParam().len), GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(Rows, Bound,
                         ::testing::Values(BoundRow{2, 5, 5}, BoundRow{8, 5, 2}, BoundRow{12, 5, 0}, BoundRow{2, -3, 0},
                                           BoundRow{0, 10, 10}, BoundRow{1, 2147483647, 9}));

struct CopyRow {
    const char* what;
    Bytes dst;
    Bytes src; // empty: copy within dst itself
    int offd, offs, len;
    Bytes expect;
    bool self = false; // src is dst itself
};

static void PrintTo(const CopyRow& r, std::ostream* os) { *os << r.what; }

class OverwriteIn : public ::testing::TestWithParam<CopyRow> {};

TEST_P(OverwriteIn, BoundedOverlapSafeCopy)
{
    CopyRow row = GetParam();
    Bytes guard = row.dst;
    guard.insert(guard.end(), 4, 0xEE);
    const ByteArrayRef dst = BAR(guard.data(), static_cast<int>(row.dst.size()));
    const ByteArrayRef src = row.self ? dst : BAR(row.src.data(), static_cast<int>(row.src.size()));
    const ByteArrayRef r = ByteArrayRef_OverwriteIn(dst, src, row.offd, row.offs, row.len);
    EXPECT_EQ(r.arr, dst.arr);
    EXPECT_EQ(r.len, dst.len);
    EXPECT_EQ(hex(Bytes(guard.begin(), guard.begin() + dst.len)), hex(row.expect));
    EXPECT_EQ(hex(Bytes(guard.begin() + dst.len, guard.end())), "EE EE EE EE");
}

static const Bytes ten{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

INSTANTIATE_TEST_SUITE_P(
    Rows, OverwriteIn,
    ::testing::Values(CopyRow{"offset past the end clamps to the last byte",
                              ten,
                              {0xA1, 0xA2, 0xA3, 0xA4},
                              20,
                              0,
                              4,
                              {0, 1, 2, 3, 4, 5, 6, 7, 8, 0xA1}},
                      CopyRow{"negative offset counts from the end",
                              ten,
                              {0xA1, 0xA2, 0xA3, 0xA4},
                              -3,
                              0,
                              4,
                              {0, 1, 2, 3, 4, 5, 6, 0xA1, 0xA2, 0xA3}},
                      CopyRow{"same bytes shifted up by one", ten, {}, 1, 0, 9, {0, 0, 1, 2, 3, 4, 5, 6, 7, 8}, true},
                      CopyRow{"same bytes shifted down by one", ten, {}, 0, 1, 9, {1, 2, 3, 4, 5, 6, 7, 8, 9, 9}, true},
                      CopyRow{
                          "source shorter than asked", ten, {0xA1, 0xA2}, 0, 1, 5, {0xA2, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
                      CopyRow{"negative length copies nothing", ten, {0xA1}, 0, 0, -1, ten},
                      CopyRow{"empty source copies nothing", ten, {}, 0, 0, 5, ten},
                      CopyRow{"empty destination copies nothing", {}, {0xA1}, 0, 0, 1, {}}));

struct CmpRow {
    Bytes a, b;
    int sign;
};

static void PrintTo(const CmpRow& r, std::ostream* os)
{
    *os << "[" << hex(r.a) << "] "
        << (r.sign < 0   ? "before"
            : r.sign > 0 ? "after"
                         : "equals")
        << " [" << hex(r.b) << "]";
}

class Compare : public ::testing::TestWithParam<CmpRow> {};

TEST_P(Compare, Signs)
{
    CmpRow row = GetParam();
    const int c = ByteArrayRef_Compare(BAR(row.a.data(), static_cast<int>(row.a.size())),
                                       BAR(row.b.data(), static_cast<int>(row.b.size())));
    EXPECT_EQ((c > 0) - (c < 0), row.sign);
}

INSTANTIATE_TEST_SUITE_P(Rows, Compare,
                         ::testing::Values(CmpRow{{0x61, 0x62}, {0x61, 0x62, 0x63}, -1},
                                           CmpRow{{0x61, 0x62, 0x63}, {0x61, 0x62}, 1},
                                           CmpRow{{0x61, 0x62}, {0x61, 0x63}, -1}, CmpRow{{0xFF}, {0x01}, 1},
                                           CmpRow{{0x01}, {0xFF, 0x00}, -1}, CmpRow{{}, {}, 0},
                                           CmpRow{{0x80, 0x01}, {0x80, 0x01}, 0}));

TEST(Compare, PrefixGivesExactlyOne)
{
    Bytes a{1, 2}, b{1, 2, 3};
    EXPECT_EQ(ByteArrayRef_Compare(BAR(a.data(), 2), BAR(b.data(), 3)), -1);
    EXPECT_EQ(ByteArrayRef_Compare(BAR(b.data(), 3), BAR(a.data(), 2)), 1);
}

TEST(Reverse, OddEvenAndTiny)
{
    for (auto [in, out] : std::vector<std::pair<Bytes, Bytes>>{
             {{}, {}}, {{1}, {1}}, {{1, 2}, {2, 1}}, {{1, 2, 3}, {3, 2, 1}}, {{1, 2, 3, 4}, {4, 3, 2, 1}}}) {
        ByteArrayRef_Reverse(BAR(in.data(), static_cast<int>(in.size())));
        EXPECT_EQ(in, out);
    }
}

TEST(FillAndMap, EveryByteInOrder)
{
    Bytes b{1, 2, 3};
    ByteArrayRef_Fill(BAR(b.data(), 3), 0x7E);
    EXPECT_EQ(b, (Bytes{0x7E, 0x7E, 0x7E}));
    Bytes seen;
    Bytes src{5, 0, 250};
    ByteArrayRef_Map(
        BAR(src.data(), 3), [](byte x, void* d) { static_cast<Bytes*>(d)->push_back(x); }, &seen);
    EXPECT_EQ(seen, src);
}

TEST(LengthPrefixed, ViewOfTrailingBytes)
{
    ByteArrayBuffer<5> storage{};
    ByteArray* ba = ByteArray_Init(&storage, 5);
    const ByteArrayRef v = ByteArray_BAR(ba);
    EXPECT_EQ(v.len, 5);
    EXPECT_EQ(v.arr, storage.raw + sizeof(ByteArray));
    ByteArrayRef_Fill(v, 0x42);
    EXPECT_EQ(storage.raw[sizeof(ByteArray) + 4], 0x42);
}

// Everything a print operation writes to a stream.
template <typename F> static std::string printed(F fn)
{
    char* buf = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&buf, &size);
    fn(f);
    fclose(f);
    std::string s(buf, size);
    free(buf);
    return s;
}

TEST(Print, ExactBytes)
{
    Bytes b{0x01, 0xAB};
    EXPECT_EQ(printed([&](FILE* f) { ByteArrayRef_FPrintHex(BAR(b.data(), 2), f); }), "01 AB ");
    EXPECT_EQ(printed([&](FILE* f) { ByteArrayRef_FPrintHex(BAR(b.data(), 0), f); }), "");
    Bytes z{0x41, 0x00, 0x42};
    EXPECT_EQ(printed([&](FILE* f) { ByteArrayRef_FPrint(BAR(z.data(), 3), f); }), std::string("A\0B", 3));
    ::testing::internal::CaptureStdout();
    ByteArrayRef_PrintHex(BAR(b.data(), 2));
    ByteArrayRef_Print(BAR(z.data(), 3));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string("01 AB A\0B", 9));
}

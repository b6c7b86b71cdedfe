#include "lib/siphash.h"

#include <cstring>

static std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

// Little-endian 64-bit word of 8 bytes.
static std::uint64_t load64(const std::uint8_t* p)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = (v << 8) | p[i];
    return v;
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;
};

static void sipRound(SipState* s)
{
    s->v0 += s->v1;
    s->v1 = rotl(s->v1, 13) ^ s->v0;
    s->v0 = rotl(s->v0, 32);
    s->v2 += s->v3;
    s->v3 = rotl(s->v3, 16) ^ s->v2;
    s->v0 += s->v3;
    s->v3 = rotl(s->v3, 21) ^ s->v0;
    s->v2 += s->v1;
    s->v1 = rotl(s->v1, 17) ^ s->v2;
    s->v2 = rotl(s->v2, 32);
}

// Mixes one message word with the two compression rounds.
static void sipWord(SipState* s, std::uint64_t m)
{
    s->v3 ^= m;
    sipRound(s);
    sipRound(s);
    s->v0 ^= m;
}

std::uint64_t sipHash24(const SipKey& key, const void* data, size_t len)
{
    const std::uint64_t k0 = load64(key.data());
    const std::uint64_t k1 = load64(key.data() + 8);
    SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
               k1 ^ 0x7465646279746573ULL};
    const auto* p = static_cast<const std::uint8_t*>(data);
    const size_t whole = len - len % 8;
    for (size_t i = 0; i < whole; i += 8)
        sipWord(&s, load64(p + i));
    std::uint8_t last[8] = {};
    if (len % 8 != 0)
        std::memcpy(last, p + whole, len % 8);
    last[7] = static_cast<std::uint8_t>(len);
    sipWord(&s, load64(last));
    s.v2 ^= 0xff;
    for (int i = 0; i < 4; i++)
        sipRound(&s);
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// SipHash-2-4: a keyed 64-bit hash of a short message, for values that
// only the holder of the 16-byte key can compute (cookies).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

using SipKey = std::array<std::uint8_t, 16>;

// The 64-bit SipHash-2-4 of len bytes at data under key.
std::uint64_t sipHash24(const SipKey& key, const void* data, size_t len);

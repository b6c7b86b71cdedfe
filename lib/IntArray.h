// IntArrayRef: a non-owning view of signed 32-bit integers (descriptor lists).
#pragma once

#include <cstdint>

struct IntArrayRef {
    std::int32_t len; // number of entries, never negative
    std::int32_t* arr;
};

// Makes a view without any check.
constexpr IntArrayRef IAR(std::int32_t* ptr, std::int32_t len) { return IntArrayRef{len, ptr}; }

// Fixed-width names shared by every wire record and buffer.
#pragma once

#include <cstdint>

using byte = std::uint8_t;   // unsigned 8 bits
using word = std::uint16_t;  // unsigned 16 bits
using dword = std::uint32_t; // unsigned 32 bits

// Decoding and printing of the supervisor's telemetry datagrams, and the
// command datagrams that steer it; shared by vexo-mon and its tests.
#pragma once

#include <cstdint>
#include <string>

#include "vexo.h"

enum class MonFormat { Text, Csv, Json };

// The record of a 104-byte datagram; false for any other size.
bool monDecode(const unsigned char* data, size_t len, vexoInfo* out);

// False when a number that is printed is not finite (NaN or infinite), as
// only a malformed or spoofed datagram carries.
bool monFinite(const vexoInfo& info);

// The CSV header line (no line end).
std::string monCsvHeader();

// One output line (no line end) for a record. A number that is not finite
// is null in JSON and an empty field in CSV.
std::string monFormat(const vexoInfo& info, MonFormat format);

// The 16-byte command datagram for command 1..4 and its arguments.
VEXOUDPcommand monCommand(std::int32_t command, std::int32_t a = 0, std::int32_t b = 0, std::int32_t c = 0);

// Parses a whole decimal integer in [min, max]; false for anything else.
bool monParseInt(const char* text, long min, long max, std::int32_t* out);

// Uuid: time-based (version 1) UUIDs, the stand-in for sequential UUIDs.
// Successive UUIDs of one process are distinct and their time fields rise.
#pragma once

#include <array>
#include <cstdint>

namespace tapscope::platform {

// The 16 bytes in the order in which a Windows GUID holds them in memory: the
// first three fields (time low, time mid, time high and version) little-endian,
// then the clock sequence and the node as they stand.
std::array<std::uint8_t, 16> CreateSequentialUuid();

}  // namespace tapscope::platform

#include "platform/uuid.h"

#include <sys/random.h>
#include <time.h>

#include <atomic>

namespace tapscope::platform {
namespace {

// 100-nanosecond intervals between 1582-10-15 (the UUID epoch) and 1970-01-01.
constexpr std::uint64_t kUuidEpochOffset = 0x01B21DD213814000ULL;

struct UuidIdentity {
    std::uint16_t clockSequence = 0;
    std::array<std::uint8_t, 6> node{};
};

const UuidIdentity& Identity() {
    // A random node with the multicast bit set, as RFC 4122 asks of a node that
    // is not a network card's address, and a random clock sequence.
    static const UuidIdentity identity = [] {
        UuidIdentity id;
        std::uint8_t random[8] = {};
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            struct timespec now {};
            clock_gettime(CLOCK_MONOTONIC, &now);
            for (unsigned i = 0; i < sizeof random; ++i) {
                random[i] = static_cast<std::uint8_t>(now.tv_nsec >> (i * 3));
            }
        }
        id.clockSequence = static_cast<std::uint16_t>((random[0] << 8 | random[1]) & 0x3FFF);
        for (unsigned i = 0; i < 6; ++i) {
            id.node[i] = random[2 + i];
        }
        id.node[0] |= 0x01;
        return id;
    }();
    return identity;
}

std::uint64_t NextTimestamp() {
    static std::atomic<std::uint64_t> last{0};
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::uint64_t current = static_cast<std::uint64_t>(now.tv_sec) * 10000000ULL +
                                  static_cast<std::uint64_t>(now.tv_nsec) / 100 + kUuidEpochOffset;
    // Two UUIDs within one tick (or after the clock stepped back) still differ.
    std::uint64_t previous = last.load(std::memory_order_relaxed);
    std::uint64_t next = 0;
    do {
        next = current > previous ? current : previous + 1;
    } while (!last.compare_exchange_weak(previous, next, std::memory_order_relaxed));
    return next;
}

}  // namespace

std::array<std::uint8_t, 16> CreateSequentialUuid() {
    const std::uint64_t timestamp = NextTimestamp();
    const UuidIdentity& identity = Identity();
    const std::uint32_t timeLow = static_cast<std::uint32_t>(timestamp);
    const std::uint16_t timeMid = static_cast<std::uint16_t>(timestamp >> 32);
    const std::uint16_t timeHigh =
        static_cast<std::uint16_t>(((timestamp >> 48) & 0x0FFF) | (1u << 12));

    std::array<std::uint8_t, 16> bytes{};
    for (unsigned i = 0; i < 4; ++i) {
        bytes[i] = static_cast<std::uint8_t>(timeLow >> (8 * i));
    }
    bytes[4] = static_cast<std::uint8_t>(timeMid);
    bytes[5] = static_cast<std::uint8_t>(timeMid >> 8);
    bytes[6] = static_cast<std::uint8_t>(timeHigh);
    bytes[7] = static_cast<std::uint8_t>(timeHigh >> 8);
    bytes[8] = static_cast<std::uint8_t>(((identity.clockSequence >> 8) & 0x3F) | 0x80);
    bytes[9] = static_cast<std::uint8_t>(identity.clockSequence);
    for (unsigned i = 0; i < 6; ++i) {
        bytes[10 + i] = identity.node[i];
    }
    return bytes;
}

}  // namespace tapscope::platform

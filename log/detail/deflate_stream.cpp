#include "log/detail/deflate_stream.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ZelLog::detail {
namespace {

// Deflate's limits: code lengths up to 15 bits, 286 literal/length symbols
// in use (288 in the fixed code), 30 distance symbols in use (32 in the fixed
// code), 19 code-length symbols.
constexpr int kMaxCodeBits = 15;
constexpr int kFixedLiteralSymbols = 288;
constexpr int kFixedDistanceSymbols = 32;
constexpr int kMaxLiteralSymbols = 286;
constexpr int kMaxDistanceSymbols = 30;
constexpr int kCodeLengthSymbols = 19;
constexpr int kEndOfBlock = 256;
constexpr int kFirstLengthSymbol = 257;
constexpr int kLastLengthSymbol = 285;

// Extra bits after each length symbol, from 257 on.
constexpr std::array<std::uint8_t, 29> kLengthExtraBits = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// The order in which a dynamic block lists the lengths of the code-length code.
constexpr std::array<std::uint8_t, kCodeLengthSymbols> kCodeLengthOrder = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Extra bits after distance symbol |symbol| (0 to 29).
int DistanceExtraBits(int symbol) {
    return symbol < 4 ? 0 : symbol / 2 - 1;
}

// Reads a deflate stream bit by bit, lowest bit of each byte first. Past the
// end it reads zeros; Overrun says when that happened.
class BitReader {
public:
    BitReader(const unsigned char* data, std::size_t size) : m_data(data), m_size(size) {}

    // The next 32 bits, the next bit of the stream in bit 0.
    std::uint32_t Peek() const {
        const std::size_t byte = m_position >> 3;
        std::uint64_t word = 0;
        if (byte + sizeof word <= m_size && std::endian::native == std::endian::little) {
            std::memcpy(&word, m_data + byte, sizeof word);
        } else {
            for (std::size_t i = 0; i < sizeof word && byte + i < m_size; ++i) {
                word |= std::uint64_t{m_data[byte + i]} << (8 * i);
            }
        }
        return static_cast<std::uint32_t>(word >> (m_position & 7));
    }
    // Takes |count| bits (at most 16) as a number, first bit lowest.
    std::uint32_t Take(int count) {
        const std::uint32_t value = Peek() & ((1u << count) - 1);
        m_position += static_cast<std::size_t>(count);
        return value;
    }
    void Skip(std::size_t bits) { m_position += bits; }
    void AlignToByte() { m_position = (m_position + 7) & ~std::size_t{7}; }
    std::size_t Position() const { return m_position; }
    bool Overrun() const { return m_position > m_size * 8; }

private:
    const unsigned char* m_data;
    std::size_t m_size;
    std::size_t m_position = 0;  // in bits
};

// A canonical Huffman code as a table indexed by the next bits of the stream.
class HuffmanTable {
public:
    // False when the lengths over-subscribe the code space. An incomplete
    // code is accepted; a pattern no symbol has fails to decode.
    bool Build(const std::uint8_t* lengths, int count) {
        std::array<int, kMaxCodeBits + 1> perLength{};
        for (int symbol = 0; symbol < count; ++symbol) {
            ++perLength[lengths[symbol]];
        }
        perLength[0] = 0;
        int longest = 0;
        int left = 1;
        for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
            left = (left << 1) - perLength[bits];
            if (left < 0) {
                return false;
            }
            if (perLength[bits] != 0) {
                longest = bits;
            }
        }
        std::array<std::uint32_t, kMaxCodeBits + 2> next{};
        std::uint32_t code = 0;
        for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
            code = (code + static_cast<std::uint32_t>(perLength[bits - 1])) << 1;
            next[bits] = code;
        }
        m_bits = longest;
        m_table.assign(std::size_t{1} << longest, 0);
        for (int symbol = 0; symbol < count; ++symbol) {
            const int length = lengths[symbol];
            if (length == 0) {
                continue;
            }
            // Codes are sent first bit first, which is their highest bit.
            const std::uint32_t canonical = next[length]++;
            std::uint32_t reversed = 0;
            for (int bit = 0; bit < length; ++bit) {
                reversed |= ((canonical >> bit) & 1u) << (length - 1 - bit);
            }
            const auto entry = static_cast<std::uint16_t>(symbol << 4 | length);
            for (std::size_t at = reversed; at < m_table.size(); at += std::size_t{1} << length) {
                m_table[at] = entry;
            }
        }
        return true;
    }

    // The next symbol, or -1 when no symbol has these bits.
    int Decode(BitReader& bits) const {
        const std::uint16_t entry = m_table[bits.Peek() & ((1u << m_bits) - 1)];
        const int length = entry & 15;
        if (length == 0) {
            return -1;
        }
        bits.Skip(static_cast<std::size_t>(length));
        return entry >> 4;
    }

private:
    std::vector<std::uint16_t> m_table;
    int m_bits = 0;
};

// Reads the code definitions at the start of a dynamic block.
bool ReadDynamicCodes(BitReader& bits, HuffmanTable& literals, HuffmanTable& distances) {
    const int literalCount = static_cast<int>(bits.Take(5)) + 257;
    const int distanceCount = static_cast<int>(bits.Take(5)) + 1;
    const int codeLengthCount = static_cast<int>(bits.Take(4)) + 4;
    if (literalCount > kMaxLiteralSymbols || distanceCount > kMaxDistanceSymbols) {
        return false;
    }
    std::array<std::uint8_t, kCodeLengthSymbols> codeLengthLengths{};
    for (int i = 0; i < codeLengthCount; ++i) {
        codeLengthLengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(bits.Take(3));
    }
    HuffmanTable codeLengths;
    if (!codeLengths.Build(codeLengthLengths.data(), kCodeLengthSymbols)) {
        return false;
    }
    std::array<std::uint8_t, kMaxLiteralSymbols + kMaxDistanceSymbols> lengths{};
    const int total = literalCount + distanceCount;
    for (int i = 0; i < total;) {
        const int symbol = codeLengths.Decode(bits);
        if (symbol < 0 || bits.Overrun()) {
            return false;
        }
        if (symbol < 16) {
            lengths[i++] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        std::uint8_t value = 0;
        int repeat = 0;
        if (symbol == 16) {
            if (i == 0) {
                return false;
            }
            value = lengths[i - 1];
            repeat = 3 + static_cast<int>(bits.Take(2));
        } else if (symbol == 17) {
            repeat = 3 + static_cast<int>(bits.Take(3));
        } else {
            repeat = 11 + static_cast<int>(bits.Take(7));
        }
        if (i + repeat > total) {
            return false;
        }
        for (; repeat > 0; --repeat) {
            lengths[i++] = value;
        }
    }
    if (lengths[kEndOfBlock] == 0) {
        return false;
    }
    return literals.Build(lengths.data(), literalCount) &&
           distances.Build(lengths.data() + literalCount, distanceCount);
}

void BuildFixedCodes(HuffmanTable& literals, HuffmanTable& distances) {
    std::array<std::uint8_t, kFixedLiteralSymbols> literalLengths{};
    for (int symbol = 0; symbol < kFixedLiteralSymbols; ++symbol) {
        literalLengths[symbol] = symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
    }
    std::array<std::uint8_t, kFixedDistanceSymbols> distanceLengths{};
    distanceLengths.fill(5);
    literals.Build(literalLengths.data(), kFixedLiteralSymbols);
    distances.Build(distanceLengths.data(), kFixedDistanceSymbols);
}

// Skips the symbols of a Huffman-coded block up to its end-of-block symbol.
bool SkipSymbols(BitReader& bits, const HuffmanTable& literals, const HuffmanTable& distances) {
    for (;;) {
        if (bits.Overrun()) {
            return false;
        }
        const int symbol = literals.Decode(bits);
        if (symbol < kEndOfBlock) {
            if (symbol < 0) {
                return false;
            }
            continue;
        }
        if (symbol == kEndOfBlock) {
            return true;
        }
        if (symbol > kLastLengthSymbol) {
            return false;
        }
        bits.Skip(kLengthExtraBits[symbol - kFirstLengthSymbol]);
        const int distance = distances.Decode(bits);
        if (distance < 0 || distance >= kMaxDistanceSymbols) {
            return false;
        }
        bits.Skip(static_cast<std::size_t>(DistanceExtraBits(distance)));
    }
}

// Walks every block up to the one marked final; |lastHeader| receives the bit
// position of that block's header.
bool WalkBlocks(BitReader& bits, std::size_t& lastHeader) {
    HuffmanTable literals;
    HuffmanTable distances;
    for (;;) {
        const std::size_t header = bits.Position();
        const bool final = bits.Take(1) != 0;
        const std::uint32_t type = bits.Take(2);
        if (type == 0) {
            bits.AlignToByte();
            const std::uint32_t length = bits.Take(16);
            const std::uint32_t check = bits.Take(16);
            if (length != (~check & 0xffffu)) {
                return false;
            }
            bits.Skip(std::size_t{length} * 8);
        } else if (type == 1 || type == 2) {
            if (type == 1) {
                BuildFixedCodes(literals, distances);
            } else if (!ReadDynamicCodes(bits, literals, distances)) {
                return false;
            }
            if (!SkipSymbols(bits, literals, distances)) {
                return false;
            }
        } else {
            return false;
        }
        if (bits.Overrun()) {
            return false;
        }
        if (final) {
            lastHeader = header;
            return true;
        }
    }
}

}  // namespace

std::size_t ContinueDeflateStream(unsigned char* stream, std::size_t size) {
    BitReader bits(stream, size);
    std::size_t lastHeader = 0;
    if (size == 0 || !WalkBlocks(bits, lastHeader)) {
        return 0;
    }
    // The stream must end in its last byte: anything after it would be read
    // as the next chunk's first block.
    const std::size_t end = bits.Position();
    if ((end + 7) / 8 != size) {
        return 0;
    }
    stream[lastHeader / 8] &= static_cast<unsigned char>(~(1u << (lastHeader % 8)));
    // The bits after the end are padding; clear them, and the three of the
    // empty stored block's header (not final, type 0) are zeros there too.
    if (end % 8 != 0) {
        stream[end / 8] &= static_cast<unsigned char>((1u << (end % 8)) - 1);
    }
    std::size_t next = (end + 3 + 7) / 8;
    if (next > size) {
        stream[size] = 0;
    }
    // Length 0 and its complement.
    stream[next++] = 0x00;
    stream[next++] = 0x00;
    stream[next++] = 0xff;
    stream[next++] = 0xff;
    return next;
}

}  // namespace ZelLog::detail

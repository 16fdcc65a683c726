// Runs the hive parser's fuzz target in the ordinary test build: over the
// seed corpus, then over inputs mutated from it with a fixed seed, so that
// every run checks the same few thousand texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

constexpr unsigned kSeed = 20240611;
constexpr int kMutatedInputs = 4000;
constexpr int kMaxMutationsPerInput = 6;

// Pieces of .reg syntax the mutator inserts.
const std::vector<std::string> kTokens = {
    "[",
    "]",
    "\\",
    "\"",
    "=",
    "@",
    ";",
    "\n",
    "\r\n",
    " ",
    std::string(1, '\0'),
    "dword:",
    "hex:",
    "hex(2):",
    ",\\\n  ",
    "REGEDIT4\n",
    "\xEF\xBB\xBF",
    "[HKEY_LOCAL_MACHINE\\",
    "[HKEY_CURRENT_USER\\",
    "[-HKEY_LOCAL_MACHINE\\",
    "\"Name\"=\"",
    "\\\\",
    "\\\"",
    "0000000a",
    "ff",
};

int RunTarget(const std::string& input) {
    return LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()),
                                  input.size());
}

std::string Mutate(std::string text, const std::vector<std::string>& seeds, std::mt19937& random) {
    const int steps = 1 + static_cast<int>(random() % kMaxMutationsPerInput);
    for (int step = 0; step < steps; ++step) {
        const std::size_t at = text.empty() ? 0 : random() % (text.size() + 1);
        switch (random() % 5) {
            case 0:  // flip one byte
                if (!text.empty()) {
                    text[at % text.size()] ^= static_cast<char>(1u << (random() % 8));
                }
                break;
            case 1:  // insert a token
                text.insert(at, kTokens[random() % kTokens.size()]);
                break;
            case 2:  // cut a piece out (a truncated file when it reaches the end)
                text.erase(at, random() % 64);
                break;
            case 3:  // repeat a piece
                text.insert(at, text.substr(at, random() % 128));
                break;
            default: {  // splice in a piece of another seed
                const std::string& other = seeds[random() % seeds.size()];
                const std::size_t from = other.empty() ? 0 : random() % other.size();
                text.insert(at, other.substr(from, random() % 256));
                break;
            }
        }
    }
    return text;
}

TEST(HiveParserFuzz, SeedCorpusAndMutationsKeepTheInvariants) {
    std::vector<std::string> seeds;
    for (const auto& entry : std::filesystem::directory_iterator(TAPSCOPE_HIVE_CORPUS_DIR)) {
        seeds.push_back(tapscope::testing::ReadFile(entry.path().string()));
    }
    ASSERT_GE(seeds.size(), 4u);
    for (const std::string& seed : seeds) {
        EXPECT_EQ(RunTarget(seed), 0);
    }
    std::mt19937 random(kSeed);
    for (int i = 0; i < kMutatedInputs; ++i) {
        EXPECT_EQ(RunTarget(Mutate(seeds[random() % seeds.size()], seeds, random)), 0);
    }
}

}  // namespace

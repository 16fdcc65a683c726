// Start-up cost of reading the log's configuration from a registry hive: a
// fresh (empty) hive, and hives of about 100 MB (many vendors' keys, as a
// machine-wide export would hold) with the log's keys missing (a first start,
// which writes them) and present (every later start, which writes nothing),
// and a 100 MB hive of lines that are not .reg syntax at all. Also the bare
// parse of the 100 MB text in memory. Hives live in a temporary folder
// under $TMPDIR (or /tmp).
//
//   build/bench/hive_bench [megabytes] [rounds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "log/configuration.h"
#include "log/debug.h"
#include "platform/detail/hive_document.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Vendor keys with string, number and binary values until |bytes| is reached.
std::string RealisticHive(std::size_t bytes) {
    std::string text = "REGEDIT4\n\n";
    text.reserve(bytes + 4096);
    char line[256];
    for (int key = 0; text.size() < bytes; ++key) {
        std::snprintf(line, sizeof line,
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor%04d\\Product%03d]\n", key / 100,
                      key % 100);
        text += line;
        for (int value = 0; value < 8; ++value) {
            std::snprintf(line, sizeof line,
                          "\"Setting%d\"=\"C:\\\\Program Files\\\\Vendor%04d\\\\data%d.bin\"\n"
                          "\"Count%d\"=dword:%08x\n",
                          value, key / 100, value, value, key * 8 + value);
            text += line;
        }
        text +=
            "\"Blob\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,\\\n"
            "  15,16,17,18,19,1a,1b,1c,1d,1e,1f,20\n\n";
    }
    return text;
}

std::string GarbageHive(std::size_t bytes) {
    std::string text;
    text.reserve(bytes + 128);
    while (text.size() < bytes) {
        text += "this line is not .reg syntax = at all; ]\"[ \\ 0123456789 abcdefghijklmnop\n";
    }
    return text;
}

// One start: the configuration read as the log object reads it.
double StartMs(const std::string& executable) {
    const auto start = Clock::now();
    const ZelLog::LogSettings settings =
        ZelLog::ReadLogConfiguration("", ZelLog::kRegistryPath, executable);
    const double ms = MillisecondsSince(start);
    if (settings.logFilePath.empty()) {
        std::fprintf(stderr, "no log file path\n");
    }
    return ms;
}

void Row(const char* label, double ms) {
    std::printf("%-58s %10.1f ms\n", label, ms);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::size_t bytes = megabytes << 20;

    tapscope::testing::TempDir folder;
    tapscope::testing::EnvGuard machine("ZEL_HKLM_HIVE", folder.File("HKLM.reg"));
    tapscope::testing::EnvGuard user("ZEL_HKCU_HIVE", folder.File("HKCU.reg"));
    std::filesystem::create_directory(folder.File("bin"));
    const std::string executable = folder.File("bin/tapscope");

    const std::string realistic = RealisticHive(bytes);
    const std::string garbage = GarbageHive(bytes);
    std::printf("hive of %zu MB, best of %d rounds\n", realistic.size() >> 20, rounds);

    double best[5] = {1e12, 1e12, 1e12, 1e12, 1e12};
    for (int round = 0; round < rounds; ++round) {
        std::filesystem::remove(folder.File("HKLM.reg"));
        best[0] = std::min(best[0], StartMs(executable));

        tapscope::testing::WriteFile(folder.File("HKLM.reg"), realistic);
        best[1] = std::min(best[1], StartMs(executable));
        // Written anew, as a new process would find it: nothing parsed yet.
        const std::string withKeys = tapscope::testing::ReadFile(folder.File("HKLM.reg"));
        std::filesystem::remove(folder.File("HKLM.reg"));
        tapscope::testing::WriteFile(folder.File("HKLM.reg"), withKeys);
        best[2] = std::min(best[2], StartMs(executable));

        tapscope::testing::WriteFile(folder.File("HKLM.reg"), garbage);
        best[3] = std::min(best[3], StartMs(executable));

        std::string copy = realistic;  // copied outside the timing
        const auto start = Clock::now();
        const tapscope::platform::detail::HiveDocument document("HKEY_LOCAL_MACHINE",
                                                                std::move(copy));
        best[4] = std::min(best[4], MillisecondsSince(start));
        if (!document.KeyExists("SOFTWARE\\Vendor0000")) {
            std::fprintf(stderr, "parse lost a key\n");
        }
    }
    Row("first start, empty hive (creates it)", best[0]);
    Row("first start, realistic hive (writes the log's keys)", best[1]);
    Row("later start, realistic hive (keys present, no write)", best[2]);
    Row("first start, hive of non-.reg lines (writes the keys)", best[3]);
    Row("parse of the realistic hive in memory", best[4]);
    return 0;
}

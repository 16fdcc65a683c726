// The gzip tool as an independent reader of the archives the log writes, and
// generators of test content.
#pragma once

#include <cstdio>
#include <random>
#include <string>

namespace ZelLog::testing {

// The output of |command| (run by the shell) and its exit status.
struct ToolRun {
    std::string output;
    int status = -1;
};

inline ToolRun RunTool(const std::string& command) {
    ToolRun run;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char block[65536];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, pipe)) > 0) {
        run.output.append(block, got);
    }
    run.status = ::pclose(pipe);
    return run;
}

inline std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

// True when "gzip -t" accepts the file.
inline bool GzipAccepts(const std::string& path) {
    return RunTool("gzip -t " + Quoted(path) + " 2>/dev/null").status == 0;
}

// What "gzip -dc" makes of the file (the concatenation of its members).
inline ToolRun Gunzip(const std::string& path) {
    return RunTool("gzip -dc " + Quoted(path) + " 2>/dev/null");
}

// Log-like lines of varying values, |size| bytes.
inline std::string LogLikeText(std::size_t size, unsigned seed) {
    std::mt19937 engine(seed);
    auto random = [&engine] { return static_cast<unsigned>(engine()); };
    std::string text;
    char line[256];
    unsigned ms = 0;
    while (text.size() < size) {
        ms += random() % 40;
        std::snprintf(line, sizeof line,
                      "[CPU=%04u][PID=%08u]:[NORMAL]:[TID=%08u]:[NORMAL] [15-06-26 "
                      "%02u:%02u:%02u.%03u] Success read [%u] symbols from socket\r\n",
                      random() % 4, 4000 + random() % 3, 4000 + random() % 9, (ms / 3600000) % 24,
                      (ms / 60000) % 60, (ms / 1000) % 60, ms % 1000, random() % 65536);
        text += line;
    }
    text.resize(size);
    return text;
}

// Bytes that do not compress.
inline std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    return bytes;
}

}  // namespace ZelLog::testing

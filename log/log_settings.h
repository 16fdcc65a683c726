// LogSettings: everything the log object is configured with when it is
// created. The defaults are those of a log with no stored configuration: level
// 0, so the log is off.
#pragma once

#include <cstdint>
#include <string>

namespace ZelLog {

struct LogSettings {
    std::string moduleName;              // lower-case executable name without extension
    std::string extension = "log";       // log file extension
    std::string logFilePath;             // full path of the log file
    std::int32_t level = 0;              // 0 off, 1 warnings and errors, 2 everything
    std::uint32_t options = 1;           // bits 0-3: file; bits 4-7: debug output
    std::uint32_t bufferSize = 4096;     // room for one queued line, in bytes
    std::uint32_t queueMaxLines = 5000;  // queue bound
    std::int32_t flushPeriod = 500;      // writer period in milliseconds
    std::int32_t maxSizeMb = 100;        // rotation size in MiB
    std::int32_t maxAgeHours = 48;       // rotation age in hours
    std::int32_t zipDays = 2;            // archive retention in days
    std::string filter;                  // line filter; empty = none
    std::string path;                    // "Path": the folder asked for the log file
};

}  // namespace ZelLog

// ZoneGuard: sets the time zone (TZ) for one scope and reloads the zone rules
// when it is set and again when the previous zone comes back.
#pragma once

#include <optional>
#include <string>

#include "platform/clock.h"
#include "tests/support/temp_dir.h"

namespace tapscope::testing {

class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone) {
        m_env.emplace("TZ", std::string(zone));
        platform::ReloadTimeZone();
    }
    ~ZoneGuard() {
        m_env.reset();
        platform::ReloadTimeZone();
    }
    ZoneGuard(const ZoneGuard&) = delete;
    ZoneGuard& operator=(const ZoneGuard&) = delete;

private:
    std::optional<EnvGuard> m_env;
};

}  // namespace tapscope::testing

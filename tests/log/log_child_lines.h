// The lines log_child writes, shared with the tests that check them: line i
// carries a payload whose length and letter follow from i, from empty to about
// 2,000 characters, so that a line cut or mixed with another shows.
#pragma once

#include <string>

namespace tapscope::testing {

inline std::size_t PayloadLength(int i) {
    return static_cast<std::size_t>(i) * 131 % 2000;
}

inline std::string Payload(int i) {
    return std::string(PayloadLength(i), static_cast<char>('a' + i % 26));
}

}  // namespace tapscope::testing

#include "app/strings.h"

namespace tapscope::app {

std::string LoadString(int id) {
    switch (id) {
        case IDS_ABOUTBOX:
            return "&About tapScope...";
        case IDS_TAB_COM:
            return "COM";
        case IDS_TAB_UDP:
            return "UDP";
        case IDS_TAB_TCP:
            return "TCP";
        case IDS_START:
            return "Start...";
        case IDS_STOP:
            return "Stop...";
        case IDS_PARSE_INT:
            return "Enter an integer.";
        case IDS_PARSE_INT_RANGE:
            return "Enter an integer between %1 and %2.";
        default:
            return {};
    }
}

}  // namespace tapscope::app

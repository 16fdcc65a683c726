#include "protocols/settings_document.h"

#include <algorithm>
#include <boost/property_tree/xml_parser.hpp>
#include <sstream>
#include <stdexcept>

int SettingsDocumentDepth(const std::string& document) {
    int depth = 0;
    int deepest = 0;
    const std::size_t size = document.size();
    std::size_t at = 0;
    while ((at = document.find('<', at)) != std::string::npos) {
        const char next = at + 1 < size ? document[at + 1] : '\0';
        if (next == '/') {  // "</a>"
            depth = depth > 0 ? depth - 1 : 0;
            at += 2;
            continue;
        }
        if (next == '!' || next == '?') {
            // "<!-- ... -->", "<![CDATA[ ... ]]>", "<?xml ... ?>": no element.
            const char* end = document.compare(at, 4, "<!--") == 0        ? "-->"
                              : document.compare(at, 9, "<![CDATA[") == 0 ? "]]>"
                                                                          : ">";
            const std::size_t close = document.find(end, at + 2);
            if (close == std::string::npos) {
                break;
            }
            at = close + 1;
            continue;
        }
        // An opening tag: to its '>', past quoted values (which may hold '>').
        ++depth;
        deepest = std::max(deepest, depth);
        std::size_t end = at + 1;
        char quote = '\0';
        for (; end < size; ++end) {
            const char c = document[end];
            if (quote != '\0') {
                quote = c == quote ? '\0' : quote;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>' || c == '<') {
                break;
            }
        }
        if (end < size && document[end] == '>' && document[end - 1] == '/') {
            --depth;  // "<a/>" opens and closes
        }
        at = end;
    }
    return deepest;
}

boost::property_tree::ptree ParseSettingsDocument(const std::string& document) {
    if (document.size() > kMaxSettingsDocumentSize) {
        throw std::length_error("settings document of " + std::to_string(document.size()) +
                                " bytes; at most " + std::to_string(kMaxSettingsDocumentSize) +
                                " are read");
    }
    if (SettingsDocumentDepth(document) > kMaxSettingsDocumentDepth) {
        throw std::length_error("settings document nested deeper than " +
                                std::to_string(kMaxSettingsDocumentDepth) + " elements");
    }
    std::istringstream text(document);
    boost::property_tree::ptree tree;
    boost::property_tree::read_xml(text, tree);
    return tree;
}

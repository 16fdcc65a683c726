#include "platform/detail/hive_document.h"

#include <algorithm>
#include <cstdio>

namespace tapscope::platform::detail {
namespace hive_syntax {
namespace {

constexpr std::string_view kHeaderV4 = "REGEDIT4";
constexpr std::string_view kHeaderV5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kDwordPrefix = "dword:";
constexpr std::size_t kDwordDigits = 8;
// "dword:0000000a" and its terminator.
constexpr std::size_t kDwordTextSize = 16;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned>(c - '0');
    }
    return static_cast<unsigned>((c | 0x20) - 'a' + 10);
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Without blanks around it and without the "\r" of a CR LF line end (or
// stray ones before it).
std::string_view Trim(std::string_view line) {
    while (!line.empty() && IsBlank(line.front())) {
        line.remove_prefix(1);
    }
    while (!line.empty() && (IsBlank(line.back()) || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    return line;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

// Reads a quoted string starting at text[pos] == '"'. Only \\ and \" are
// escapes. On success |pos| is just past the closing quote.
bool ReadQuoted(std::string_view text, std::size_t& pos, std::string& out) {
    out.clear();
    std::size_t i = pos + 1;
    while (i < text.size()) {
        const std::size_t special = text.find_first_of("\"\\", i);
        if (special == std::string_view::npos) {
            return false;
        }
        out.append(text.data() + i, special - i);
        if (text[special] == '"') {
            pos = special + 1;
            return true;
        }
        if (special + 1 >= text.size() || (text[special + 1] != '\\' && text[special + 1] != '"')) {
            return false;
        }
        out.push_back(text[special + 1]);
        i = special + 2;
    }
    return false;
}

void SkipBlanks(std::string_view text, std::size_t& pos) {
    while (pos < text.size() && IsBlank(text[pos])) {
        ++pos;
    }
}

// "hex:" or "hex(n):" followed by bytes; |continues| when it ends in "\".
bool IsHexData(std::string_view data, bool& continues) {
    std::size_t pos = 3;  // past "hex"
    if (pos < data.size() && data[pos] == '(') {
        const std::size_t close = data.find(')', pos);
        if (close == std::string_view::npos || close == pos + 1) {
            return false;
        }
        for (std::size_t i = pos + 1; i < close; ++i) {
            if (!IsHexDigit(data[i])) {
                return false;
            }
        }
        pos = close + 1;
    }
    if (pos >= data.size() || data[pos] != ':') {
        return false;
    }
    return IsContinuation(data.substr(pos + 1), continues);
}

bool ParseValue(std::string_view line, HiveValue& value, bool& continues) {
    std::size_t pos = 0;
    if (line[0] == '@') {
        value.name.clear();
        pos = 1;
    } else if (!ReadQuoted(line, pos, value.name)) {
        return false;
    }
    SkipBlanks(line, pos);
    if (pos >= line.size() || line[pos] != '=') {
        return false;
    }
    ++pos;
    SkipBlanks(line, pos);
    const std::string_view data = line.substr(pos);
    if (!data.empty() && data[0] == '"') {
        std::size_t end = 0;
        if (!ReadQuoted(data, end, value.data)) {
            return false;
        }
        SkipBlanks(data, end);
        if (end != data.size()) {
            return false;
        }
        value.type = HiveValueType::kString;
        value.dword = 0;
        return true;
    }
    if (StartsWithIgnoreCase(data, kDwordPrefix)) {
        const std::string_view digits = data.substr(kDwordPrefix.size());
        if (digits.empty() || digits.size() > kDwordDigits ||
            !std::all_of(digits.begin(), digits.end(), IsHexDigit)) {
            return false;
        }
        std::uint32_t number = 0;
        for (char c : digits) {
            number = (number << 4) | HexValue(c);
        }
        value.type = HiveValueType::kDword;
        value.dword = number;
        value.data.clear();
        return true;
    }
    if (StartsWithIgnoreCase(data, "hex") && IsHexData(data, continues)) {
        value.type = HiveValueType::kOther;
        value.data.assign(data);
        value.dword = 0;
        return true;
    }
    return false;
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string ToLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = Lower(c);
    }
    return lower;
}

bool IsContinuation(std::string_view line, bool& continues) {
    line = Trim(line);
    continues = !line.empty() && line.back() == '\\';
    if (continues) {
        line.remove_suffix(1);
    }
    bool any = continues;
    for (char c : line) {
        if (!IsHexDigit(c) && c != ',' && !IsBlank(c)) {
            return false;
        }
        any = any || IsHexDigit(c);
    }
    return any;
}

LineKind ParseLine(std::string_view raw, HiveValue& value, bool& continues, std::string& root,
                   std::string& path) {
    continues = false;
    const std::string_view line = Trim(raw);
    if (line.empty()) {
        return LineKind::kBlank;
    }
    if (line.find('\0') != std::string_view::npos) {
        return LineKind::kBad;
    }
    switch (line[0]) {
        case ';':
            return LineKind::kComment;
        case '[': {
            if (line.size() < 3 || line.back() != ']' || line[1] == '-') {
                return LineKind::kBadSection;
            }
            const std::string_view inner = line.substr(1, line.size() - 2);
            const std::size_t slash = inner.find('\\');
            const std::string_view rootName = inner.substr(0, slash);
            if (!StartsWithIgnoreCase(rootName, "HKEY_")) {
                return LineKind::kBadSection;
            }
            root.assign(rootName);
            path = slash == std::string_view::npos
                       ? std::string()
                       : HiveDocument::NormalizePath(inner.substr(slash + 1));
            return LineKind::kSection;
        }
        case '"':
        case '@':
            return ParseValue(line, value, continues) ? LineKind::kValue : LineKind::kBad;
        default:
            if (line == kHeaderV4 || line == kHeaderV5) {
                return LineKind::kHeader;
            }
            return LineKind::kBad;
    }
}

}  // namespace hive_syntax

using hive_syntax::LineKind;

bool HiveValue::SameData(const HiveValue& other) const {
    if (type != other.type) {
        return false;
    }
    return type == HiveValueType::kDword ? dword == other.dword : data == other.data;
}

HiveDocument::HiveDocument(std::string rootName, std::string content)
    : m_rootName(std::move(rootName)), m_content(std::move(content)) {
    Parse();
}

void HiveDocument::Ignore(std::size_t line) {
    if (m_ignoredCount++ == 0) {
        m_firstIgnored = line;
    }
}

void HiveDocument::Parse() {
    const std::size_t firstBreak = m_content.find('\n');
    if (firstBreak != std::string::npos && firstBreak > 0 && m_content[firstBreak - 1] == '\r') {
        m_newline = "\r\n";
    }
    m_preambleEnd = m_content.size();
    Section* current = nullptr;
    HiveValue value;
    std::string root;
    std::string path;
    std::size_t lineNumber = 0;
    std::size_t pos = 0;
    while (pos < m_content.size()) {
        std::size_t lineEnd = m_content.find('\n', pos);
        if (lineEnd == std::string::npos) {
            lineEnd = m_content.size();
        }
        std::string_view line(m_content.data() + pos, lineEnd - pos);
        std::size_t start = pos;
        pos = lineEnd < m_content.size() ? lineEnd + 1 : lineEnd;
        ++lineNumber;
        if (lineNumber == 1 &&
            line.substr(0, hive_syntax::kUtf8Bom.size()) == hive_syntax::kUtf8Bom) {
            // The mark stays in front of everything, as part of the preamble.
            line.remove_prefix(hive_syntax::kUtf8Bom.size());
            start += hive_syntax::kUtf8Bom.size();
        }
        bool continues = false;
        const LineKind kind = hive_syntax::ParseLine(line, value, continues, root, path);
        if (kind == LineKind::kSection || kind == LineKind::kBadSection) {
            if (current != nullptr) {
                current->end = start;
            } else {
                m_preambleEnd = start;
            }
            Section section;
            section.begin = start;
            section.body = pos;
            section.end = m_content.size();
            section.live =
                kind == LineKind::kSection && hive_syntax::EqualsIgnoreCase(root, m_rootName);
            if (section.live) {
                section.path = path;
                m_index[hive_syntax::ToLower(path)].push_back(m_sections.size());
            } else {
                Ignore(lineNumber);
            }
            m_sections.push_back(std::move(section));
            current = &m_sections.back();
            continue;
        }
        if (kind == LineKind::kBlank || kind == LineKind::kComment) {
            continue;
        }
        if (current == nullptr) {
            if (kind == LineKind::kHeader && !m_hasHeader) {
                m_hasHeader = true;
            } else {
                Ignore(lineNumber);
            }
            continue;
        }
        if (kind != LineKind::kValue || !current->live) {
            Ignore(lineNumber);
            continue;
        }
        while (continues && pos < m_content.size()) {
            std::size_t nextEnd = m_content.find('\n', pos);
            if (nextEnd == std::string::npos) {
                nextEnd = m_content.size();
            }
            if (!hive_syntax::IsContinuation(
                    std::string_view(m_content.data() + pos, nextEnd - pos), continues)) {
                break;
            }
            ++lineNumber;
            pos = nextEnd < m_content.size() ? nextEnd + 1 : nextEnd;
        }
    }
}

const std::vector<std::size_t>* HiveDocument::SectionsOf(std::string_view path) const {
    const auto it = m_index.find(hive_syntax::ToLower(NormalizePath(path)));
    return it == m_index.end() ? nullptr : &it->second;
}

bool HiveDocument::KeyExists(std::string_view path) const {
    const std::string lower = hive_syntax::ToLower(NormalizePath(path));
    if (lower.empty() || m_index.count(lower) != 0) {
        return true;
    }
    // A key below it: the first path after "lower\" in order starts with it.
    const std::string below = lower + '\\';
    const auto it = m_index.lower_bound(below);
    return it != m_index.end() && it->first.compare(0, below.size(), below) == 0;
}

bool HiveDocument::FindValue(std::string_view path, std::string_view name, HiveValue& value) const {
    bool found = false;
    ForEachValue(path, [&](const HiveValue& candidate) {
        if (hive_syntax::EqualsIgnoreCase(candidate.name, name)) {
            value = candidate;
            found = true;
        }
    });
    return found;
}

std::size_t HiveDocument::AddSection(std::string_view path) {
    Section section;
    section.begin = section.body = section.end = std::string::npos;
    section.path = NormalizePath(path);
    section.live = true;
    section.edited = true;
    m_index[hive_syntax::ToLower(section.path)].push_back(m_sections.size());
    m_sections.push_back(std::move(section));
    return m_sections.size() - 1;
}

void HiveDocument::Materialize(Section& section) {
    if (section.edited) {
        return;
    }
    std::vector<Item> items;
    VisitItems(section, [&](const Item& item) { items.push_back(item); });
    std::size_t headerEnd = m_content.find('\n', section.begin);
    if (headerEnd == std::string::npos || headerEnd > section.body) {
        headerEnd = section.body;
    }
    section.header.assign(m_content, section.begin, headerEnd - section.begin);
    section.items = std::move(items);
    section.edited = true;
}

bool HiveDocument::CreateKey(std::string_view path) {
    if (KeyExists(path)) {
        return false;
    }
    AddSection(path);
    return true;
}

bool HiveDocument::SetValue(std::string_view path, const HiveValue& value) {
    const std::vector<std::size_t>* sections = SectionsOf(path);
    if (sections == nullptr) {
        Section& added = m_sections[AddSection(path)];
        added.items.push_back(Item{{}, true, false, value});
        return true;
    }
    // The section that holds the winning value of that name, else the last.
    std::size_t target = sections->back();
    bool holds = false;
    HiveValue current;
    for (std::size_t index : *sections) {
        VisitItems(m_sections[index], [&](const Item& item) {
            if (item.isValue && hive_syntax::EqualsIgnoreCase(item.value.name, value.name)) {
                target = index;
                holds = true;
                current = item.value;
            }
        });
    }
    if (holds && current.SameData(value)) {
        return false;
    }
    Section& section = m_sections[target];
    Materialize(section);
    if (holds) {
        for (auto it = section.items.rbegin(); it != section.items.rend(); ++it) {
            if (it->isValue && hive_syntax::EqualsIgnoreCase(it->value.name, value.name)) {
                const std::string name = std::move(it->value.name);
                it->value = value;
                it->value.name = name;
                it->raw.clear();
                return true;
            }
        }
    }
    // After the last line that is not blank, so that the blank line before
    // the next section stays where it is.
    auto at = section.items.end();
    while (at != section.items.begin()) {
        if (!std::prev(at)->blank) {
            break;
        }
        --at;
    }
    section.items.insert(at, Item{{}, true, false, value});
    return true;
}

void HiveDocument::RenderValue(const HiveValue& value, std::string& out) const {
    const auto quoted = [&out](std::string_view text) {
        out.push_back('"');
        for (char c : text) {
            if (c == '\\' || c == '"') {
                out.push_back('\\');
            }
            out.push_back(c);
        }
        out.push_back('"');
    };
    if (value.name.empty()) {
        out.push_back('@');
    } else {
        quoted(value.name);
    }
    out.push_back('=');
    switch (value.type) {
        case HiveValueType::kString:
            quoted(value.data);
            break;
        case HiveValueType::kDword: {
            char digits[hive_syntax::kDwordTextSize];
            std::snprintf(digits, sizeof digits, "dword:%08x", static_cast<unsigned>(value.dword));
            out += digits;
            break;
        }
        case HiveValueType::kOther:
            out += value.data;
            break;
    }
}

std::string HiveDocument::Serialize() const {
    // Lines kept from the text end in "\n" (a "\r" before it is part of
    // them); rendered lines end in the text's own line break.
    std::string out;
    out.reserve(m_content.size() + 256);
    const auto endsWith = [&out](std::string_view tail) {
        return out.size() >= tail.size() &&
               out.compare(out.size() - tail.size(), tail.size(), tail.data(), tail.size()) == 0;
    };
    std::size_t kept = 0;
    if (!m_hasHeader) {
        // The header goes first, after a UTF-8 mark if the text has one.
        if (m_content.compare(0, hive_syntax::kUtf8Bom.size(), hive_syntax::kUtf8Bom) == 0) {
            out.append(hive_syntax::kUtf8Bom);
            kept = hive_syntax::kUtf8Bom.size();
        }
        out.append(hive_syntax::kHeaderV4).append(m_newline).append(m_newline);
    }
    out.append(m_content, kept,
               std::min(m_preambleEnd, m_content.size()) - std::min(kept, m_preambleEnd));
    const std::string blankLine = m_newline + m_newline;
    for (const Section& section : m_sections) {
        if (!out.empty() && !endsWith("\n")) {
            // The text ended without a line break.
            out.append(endsWith("\r") ? "\n" : m_newline);
        }
        if (!section.edited) {
            out.append(m_content, section.begin, section.end - section.begin);
            continue;
        }
        if (section.header.empty()) {
            // A new key: a blank line before it, as between exported keys.
            if (!out.empty() && !endsWith(blankLine)) {
                out.append(m_newline);
            }
            out.append("[").append(m_rootName);
            if (!section.path.empty()) {
                out.append("\\").append(section.path);
            }
            out.append("]").append(m_newline);
        } else {
            out.append(section.header).append("\n");
        }
        for (const Item& item : section.items) {
            if (item.raw.empty() && item.isValue) {
                RenderValue(item.value, out);
                out.append(m_newline);
            } else {
                out.append(item.raw).append("\n");
            }
        }
        if (section.header.empty()) {
            out.append(m_newline);
        }
    }
    return out;
}

bool HiveDocument::IsStorablePath(std::string_view path) {
    return path.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool HiveDocument::IsStorable(const HiveValue& value) {
    const std::string_view forbidden("\r\n\0", 3);
    return (value.type == HiveValueType::kString || value.type == HiveValueType::kDword) &&
           value.name.find_first_of(forbidden) == std::string::npos &&
           value.data.find_first_of(forbidden) == std::string::npos;
}

std::string HiveDocument::NormalizePath(std::string_view path) {
    std::string normal;
    normal.reserve(path.size());
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t slash = path.find('\\', pos);
        if (slash == std::string_view::npos) {
            slash = path.size();
        }
        if (slash > pos) {
            if (!normal.empty()) {
                normal.push_back('\\');
            }
            normal.append(path.substr(pos, slash - pos));
        }
        pos = slash + 1;
    }
    return normal;
}

}  // namespace tapscope::platform::detail

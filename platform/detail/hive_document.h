// HiveDocument: the text of one registry hive file in the .reg export format
// and the keys and values it holds, without any file access.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\ZEL\Korvantis\Debug]
//   "DebugLevel"="2"
//   "DebugOptions"=dword:00000011
//
// The text is kept as it was read; a change re-renders only the key it touches,
// so comments, layout and every line that could not be parsed survive a write.
// Lines that are not .reg syntax are ignored (and counted), never applied to a
// neighbouring key. Key and value names compare case-insensitively (ASCII).
//
// Not thread-safe: one owner at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tapscope::platform::detail {

enum class HiveValueType {
    kString,  // "Name"="text"
    kDword,   // "Name"=dword:0000000a
    kOther,   // "Name"=hex:... or hex(n):..., kept as it stands
};

struct HiveValue {
    std::string name;  // as stored; empty for the key's default value ("@")
    HiveValueType type = HiveValueType::kString;
    std::string data;         // kString: the text; kOther: everything after "="
    std::uint32_t dword = 0;  // kDword: the number

    // Same type and data; the name is not compared.
    bool SameData(const HiveValue& other) const;
};

class HiveDocument {
public:
    // |rootName| is the hive's root key as it heads each section, such as
    // "HKEY_LOCAL_MACHINE"; sections of any other root are ignored.
    explicit HiveDocument(std::string rootName, std::string content = {});

    // Lines that were ignored: not .reg syntax, or in a section that is not a
    // key of this hive. FirstIgnoredLine is 1-based, 0 when none.
    std::size_t IgnoredLineCount() const { return m_ignoredCount; }
    std::size_t FirstIgnoredLine() const { return m_firstIgnored; }

    // A key exists when it has a section, or a key below it has one.
    bool KeyExists(std::string_view path) const;
    // Looks |name| up in |path|; when a key has several sections, the last
    // value of that name wins. False when there is none.
    bool FindValue(std::string_view path, std::string_view name, HiveValue& value) const;
    // Visits every value of |path| in the order of the text (shadowed ones too).
    template <typename Visitor>
    void ForEachValue(std::string_view path, Visitor&& visit) const;

    // Adds a section for |path| when the key does not exist. True when the
    // text changed. The path must pass IsStorablePath.
    bool CreateKey(std::string_view path);
    // Stores |value| in |path| (adding the key when missing), in place of the
    // value that wins now, else at the end of the key's last section. A stored
    // name keeps its spelling. True when the text changed; storing the data
    // that is already there changes nothing. |value| must pass IsStorable.
    bool SetValue(std::string_view path, const HiveValue& value);

    // The whole text: what was read, with the changes applied. A text without
    // a "REGEDIT4" header gets one.
    std::string Serialize() const;

    // Key paths and strings are stored on one line: no line breaks or NULs.
    // Only kString and kDword values can be stored.
    static bool IsStorablePath(std::string_view path);
    static bool IsStorable(const HiveValue& value);
    // "a\\b\\\\c\\" -> "a\\b\\c": empty components dropped.
    static std::string NormalizePath(std::string_view path);

private:
    struct Item {
        std::string raw;  // the line(s) as in the text, without the final "\n"
        bool isValue = false;
        bool blank = false;
        HiveValue value;
    };
    struct Section {
        std::size_t begin = 0;  // offset of the header line in m_content
        std::size_t body = 0;   // offset of the line after the header
        std::size_t end = 0;    // offset past the section's last line
        std::string path;       // normalised key path below the root
        bool live = false;      // a key of this hive; else kept as it stands
        bool edited = false;    // rendered from |items| (and |header|)
        std::string header;     // the header line as written (without "\n"); empty for a new key
        std::vector<Item> items;
    };

    void Parse();
    void Ignore(std::size_t line);
    // Calls visit(item) for each item of |section| in order.
    template <typename Visitor>
    void VisitItems(const Section& section, Visitor&& visit) const;
    void Materialize(Section& section);
    std::size_t AddSection(std::string_view path);
    const std::vector<std::size_t>* SectionsOf(std::string_view path) const;
    void RenderValue(const HiveValue& value, std::string& out) const;

    std::string m_rootName;
    std::string m_content;
    std::string m_newline = "\n";  // the text's own line break, for rendered lines
    std::size_t m_preambleEnd = 0;
    bool m_hasHeader = false;
    std::vector<Section> m_sections;
    // Lower-case path -> indices of the live sections of that key, in order.
    std::map<std::string, std::vector<std::size_t>> m_index;
    std::size_t m_ignoredCount = 0;
    std::size_t m_firstIgnored = 0;
};

// One line of .reg text, parsed. Exposed for ForEachValue and the tests.
namespace hive_syntax {

// kBadSection: a line that opens a section but is no valid header (such as a
// deletion "[-...]" or a cut "[HKEY_LOC"); the lines under it belong to no key.
enum class LineKind { kBlank, kComment, kHeader, kSection, kBadSection, kValue, kBad };

// Classifies one line (without its line break; a trailing "\r" is allowed).
// For kValue, |value| is filled and |continues| tells whether the value goes
// on in the next line (a hex value ending in "\"). For kSection, |root| and
// |path| are filled (|path| normalised); a deletion "[-...]" is kBad.
LineKind ParseLine(std::string_view line, HiveValue& value, bool& continues, std::string& root,
                   std::string& path);
// True for a continuation line of a hex value: hex digits, commas, blanks and
// a final "\"; |continues| tells whether yet another line follows.
bool IsContinuation(std::string_view line, bool& continues);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
std::string ToLower(std::string_view text);

}  // namespace hive_syntax

template <typename Visitor>
void HiveDocument::ForEachValue(std::string_view path, Visitor&& visit) const {
    const std::vector<std::size_t>* sections = SectionsOf(path);
    if (sections == nullptr) {
        return;
    }
    for (std::size_t index : *sections) {
        VisitItems(m_sections[index], [&](const Item& item) {
            if (item.isValue) {
                visit(item.value);
            }
        });
    }
}

template <typename Visitor>
void HiveDocument::VisitItems(const Section& section, Visitor&& visit) const {
    if (section.edited) {
        for (const Item& item : section.items) {
            visit(item);
        }
        return;
    }
    Item item;
    std::string root;
    std::string path;
    std::size_t pos = section.body;
    while (pos < section.end) {
        std::size_t lineEnd = m_content.find('\n', pos);
        if (lineEnd == std::string::npos || lineEnd > section.end) {
            lineEnd = section.end;
        }
        const std::string_view line(m_content.data() + pos, lineEnd - pos);
        const std::size_t start = pos;
        pos = lineEnd < section.end ? lineEnd + 1 : section.end;
        bool continues = false;
        const hive_syntax::LineKind kind =
            hive_syntax::ParseLine(line, item.value, continues, root, path);
        item.isValue = kind == hive_syntax::LineKind::kValue;
        item.blank = kind == hive_syntax::LineKind::kBlank;
        std::size_t itemEnd = lineEnd;
        while (item.isValue && continues && pos < section.end) {
            std::size_t nextEnd = m_content.find('\n', pos);
            if (nextEnd == std::string::npos || nextEnd > section.end) {
                nextEnd = section.end;
            }
            const std::string_view next(m_content.data() + pos, nextEnd - pos);
            if (!hive_syntax::IsContinuation(next, continues)) {
                break;
            }
            item.value.data.push_back('\n');
            item.value.data.append(next);
            itemEnd = nextEnd;
            pos = nextEnd < section.end ? nextEnd + 1 : section.end;
        }
        item.raw.assign(m_content, start, itemEnd - start);
        visit(item);
    }
}

}  // namespace tapscope::platform::detail

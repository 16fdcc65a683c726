// Fuzz target for the registry hive parser: any text must parse without a
// crash in time linear in its size, be written back exactly as it was read,
// and keep every line it could not parse and every value it did not change
// when one value is changed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/detail/hive_document.h"

namespace {

using tapscope::platform::detail::HiveDocument;
using tapscope::platform::detail::HiveValue;
using tapscope::platform::detail::HiveValueType;
namespace hive_syntax = tapscope::platform::detail::hive_syntax;

constexpr const char* kRoot = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kHeaderLine = "[HKEY_LOCAL_MACHINE\\";

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "hive parser invariant broken: %s\n", what);
        std::abort();
    }
}

// The key path of the first header line of this root in |text|, if any.
std::string FirstKeyPath(std::string_view text) {
    const std::size_t at = text.find(kHeaderLine);
    if (at == std::string_view::npos) {
        return {};
    }
    const std::size_t begin = at + kHeaderLine.size();
    const std::size_t end = text.find_first_of("]\r\n", begin);
    return HiveDocument::NormalizePath(text.substr(begin, end - begin));
}

std::vector<HiveValue> ValuesOf(const HiveDocument& document, const std::string& path) {
    std::vector<HiveValue> values;
    document.ForEachValue(path, [&](const HiveValue& value) { values.push_back(value); });
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const HiveDocument document(kRoot, input);
    const std::string written = document.Serialize();

    // Untouched, the text comes back as it was, at most with a header added.
    Check(written.size() >= input.size(), "written text shorter than the input");
    if (written != input) {
        const HiveDocument again(kRoot, written);
        Check(again.Serialize() == written, "a header added twice");
        Check(again.IgnoredLineCount() == document.IgnoredLineCount(),
              "the added header changed what is ignored");
    }

    // Change one value of an existing key (or of a new one) and read it back.
    std::string path = FirstKeyPath(input);
    if (!HiveDocument::IsStorablePath(path) || !document.KeyExists(path)) {
        path = "SOFTWARE\\Fuzz";
    }
    const std::vector<HiveValue> before = ValuesOf(document, path);
    HiveValue value;
    value.name = before.empty() ? std::string("Fuzz") : before.front().name;
    value.type = size % 2 == 0 ? HiveValueType::kString : HiveValueType::kDword;
    value.data = value.type == HiveValueType::kString ? "new \"text\" \\ here" : "";
    value.dword = static_cast<std::uint32_t>(size);
    if (!HiveDocument::IsStorable(value)) {
        return 0;
    }
    HiveDocument changed(kRoot, input);
    changed.SetValue(path, value);
    const std::string rewritten = changed.Serialize();
    const HiveDocument reread(kRoot, rewritten);

    HiveValue found;
    Check(reread.FindValue(path, value.name, found) && found.SameData(value),
          "the changed value does not read back");
    Check(reread.IgnoredLineCount() == document.IgnoredLineCount(),
          "a change altered what is ignored");
    Check(reread.Serialize() == rewritten, "writing the changed text again changed it");
    // Every other value of the key keeps its data (the last of each name wins).
    for (const HiveValue& old : before) {
        if (hive_syntax::EqualsIgnoreCase(old.name, value.name)) {
            continue;
        }
        HiveValue winner;
        HiveValue now;
        document.FindValue(path, old.name, winner);
        Check(reread.FindValue(path, old.name, now) && now.SameData(winner),
              "a value the change did not touch was lost");
    }
    return 0;
}

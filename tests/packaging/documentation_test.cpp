// The manual page and the bash completion against the program: every command
// and option that "tapscope --help" lists must be in both, so that a new
// option cannot go undocumented unnoticed; and the completion, run in bash,
// offers what each place of a command line takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace tapscope::testing {
namespace {

constexpr int kExitLimitMs = 30000;
const std::string kManualPage = TAPSCOPE_PACKAGING_DIR "/tapscope.1";
const std::string kCompletion = TAPSCOPE_PACKAGING_DIR "/tapscope.bash-completion";

std::string RunToEnd(const std::string& program, const std::vector<std::string>& args) {
    ChildProcess child(program, args);
    child.CloseInput();
    const std::string output = child.ReadAll();
    int status = -1;
    EXPECT_TRUE(child.Wait(kExitLimitMs, &status));
    EXPECT_EQ(status, 0) << program << " said: " << output;
    return output;
}

// What the help lists: the options that open a line of it ("  -o, --output
// FILE"), every option of a synopsis line ("tapscope --help | --version"),
// and the word after "tapscope " there, a command ("tapscope capture ...").
// Options named inside the prose of a description are not counted.
std::set<std::string> NamesInHelp(const std::string& help) {
    const std::regex option("^--?[A-Za-z][A-Za-z0-9-]*");
    const std::regex anyOption("(^|[\\s\\[|,(])(--?[A-Za-z][A-Za-z0-9-]*)");
    const std::regex synopsis("^\\s*(Usage:)?\\s*tapscope( [a-z][a-z-]*)?(\\s|$)");
    std::set<std::string> names;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, synopsis)) {
            if (match[2].matched) {
                names.insert(match[2].str().substr(1));
            }
            for (std::sregex_iterator it(line.begin(), line.end(), anyOption), end; it != end;
                 ++it) {
                names.insert((*it)[2].str());
            }
            continue;
        }
        // "  -o, --output FILE", "  --parity none|odd|even": the leading options.
        std::string rest = line.substr(std::min(line.size(), line.find_first_not_of(' ')));
        while (std::regex_search(rest, match, option)) {
            names.insert(match.str());
            rest = match.suffix().str();
            const std::size_t next = rest.find_first_not_of(", |");
            if (next == std::string::npos || next == 0) {
                break;
            }
            rest = rest.substr(next);
        }
    }
    return names;
}

// True when |name| stands in |text| as a whole word, not as part of a longer
// name ("--port" is not found in "--portable").
bool HasWord(const std::string& text, const std::string& name) {
    for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        const auto isNamePart = [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-';
        };
        const bool startsWord = at == 0 || !isNamePart(text[at - 1]);
        const std::size_t end = at + name.size();
        if (startsWord && (end == text.size() || !isNamePart(text[end]))) {
            return true;
        }
    }
    return false;
}

TEST(DocumentationTest, EveryCommandAndOptionOfTheHelpIsInTheManualPageAndTheCompletion) {
    const std::set<std::string> names = NamesInHelp(RunToEnd(TAPSCOPE_PROGRAM, {"--help"}));
    // The help as it stands lists at least these; a parse that finds fewer is
    // broken, not a pass.
    for (const char* known : {"capture", "--help", "--version", "--port", "-o", "--output"}) {
        EXPECT_TRUE(names.count(known)) << known << " not found in the help";
    }
    // Roff writes a minus as "\-".
    const std::string manual = std::regex_replace(ReadFile(kManualPage), std::regex("\\\\-"), "-");
    const std::string completion = ReadFile(kCompletion);
    ASSERT_FALSE(manual.empty()) << kManualPage;
    ASSERT_FALSE(completion.empty()) << kCompletion;
    for (const std::string& name : names) {
        EXPECT_TRUE(HasWord(manual, name))
            << "the manual page " << kManualPage << " lacks " << name;
        EXPECT_TRUE(HasWord(completion, name))
            << "the bash completion " << kCompletion << " lacks " << name;
    }
}

// The completion, run as bash runs it: what it offers for the word being
// typed (the last one) of a command line.
std::set<std::string> Completions(const std::vector<std::string>& words) {
    std::vector<std::string> args = {
        "-c",
        "source \"$0\"; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); COMPREPLY=(); _tapscope; "
        "printf '%s\\n' \"${COMPREPLY[@]}\"",
        kCompletion};
    args.insert(args.end(), words.begin(), words.end());
    std::set<std::string> offered;
    std::istringstream lines(RunToEnd("/bin/bash", args));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            offered.insert(line);
        }
    }
    return offered;
}

TEST(DocumentationTest, TheCompletionOffersWhatEachPlaceOfACommandLineTakes) {
    TempDir dir;
    WriteFile(dir.File("till.bin"), "");
    struct Case {
        std::vector<std::string> words;
        std::set<std::string> offered;  // all of these
        std::set<std::string> notOffered;
    };
    const Case cases[] = {
        {{"tapscope", ""}, {"capture", "--help", "--version"}, {}},
        {{"tapscope", "capture", ""}, {"com", "udp", "tcp"}, {"capture"}},
        {{"tapscope", "capture", "com", "--"},
         {"--port", "--baudrate", "--charsize", "--parity", "--stopbits", "--settings", "--output",
          "--overwrite"},
         {"--ip"}},
        {{"tapscope", "capture", "udp", "--port", "8001", "--"},
         {"--ip", "--port", "--settings", "--output"},
         {"--parity", "--baudrate"}},
        {{"tapscope", "capture", "com", "--parity", ""}, {"none", "odd", "even"}, {"--port"}},
        // "--stopbits=o": bash splits the word at "=".
        {{"tapscope", "capture", "com", "--stopbits", "=", "o"}, {"one", "onepointfive"}, {"two"}},
        {{"tapscope", "capture", "com", "--overwrite", "--c"}, {"--charsize"}, {}},
        {{"tapscope", "capture", "tcp", "-o", dir.File("ti")}, {dir.File("till.bin")}, {}},
        {{"tapscope", "capture", "usb", "--"}, {}, {"--port", "--ip"}},
        {{"tapscope", "sh"}, {"show"}, {"capture"}},
        {{"tapscope", "show", dir.File("ti")}, {dir.File("till.bin")}, {}},
        {{"tapscope", "show", "--stats", dir.File("ti")}, {dir.File("till.bin")}, {}},
        {{"tapscope", "show", "till.bin", "--"},
         {"--source", "--since", "--until", "--raw", "--stats"},
         {"--port", "--output"}},
        // A source or a time is the user's to type: no file names offered.
        {{"tapscope", "show", "till.bin", "--source", dir.File("ti")}, {}, {dir.File("till.bin")}},
        {{"tapscope", "export", dir.File("ti")}, {dir.File("till.bin")}, {}},
        {{"tapscope", "export", "till.bin", "--"}, {"--pcapng", "--overwrite"}, {"--port"}},
        {{"tapscope", "export", "till.bin", "--pcapng", dir.File("ti")},
         {dir.File("till.bin")},
         {}},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& word : c.words) {
            line += "[" + word + "]";
        }
        SCOPED_TRACE(line);
        const std::set<std::string> offered = Completions(c.words);
        for (const std::string& word : c.offered) {
            EXPECT_TRUE(offered.count(word)) << word << " not offered";
        }
        for (const std::string& word : c.notOffered) {
            EXPECT_FALSE(offered.count(word)) << word << " offered";
        }
    }
}

}  // namespace
}  // namespace tapscope::testing

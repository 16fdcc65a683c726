// "tapscope show FILE": a capture file read with its record (FILE.jsonl) on
// the console: each row's time, source and bytes (hex and text, as xxd shows
// them), the events between them; or one source's bytes alone (--raw), or the
// capture's figures (--stats). A record that does not match its capture file
// is said, never silently trusted.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "app/record_time.h"

namespace tapscope::app {

// A --since or --until time as given: a time of day on the capture's first
// day, or a full date and time (local, or UTC with its "Z").
struct ShowTime {
    std::string text;
    CivilTime time;
    bool timeOfDay = false;
};

// "HH:MM:SS[.fraction]" or "YYYY-MM-DDTHH:MM:SS[.fraction][Z]"; nothing when
// it is neither.
std::optional<ShowTime> ParseShowTime(const std::string& text);

struct ShowOptions {
    std::string file;                  // the capture file
    std::vector<std::string> sources;  // --source: rows of any of them
    std::optional<ShowTime> since;
    std::optional<ShowTime> until;
    bool raw = false;    // the selected rows' bytes alone, unchanged
    bool stats = false;  // the figures instead of the rows
};

// Shows the capture on |out| and says what does not match on |err|. Returns
// the exit status: 0 shown; 1 shown as far as it could be, but the record
// does not match the capture file (or could not be read in full); 2 the
// capture file cannot be read, the output cannot be written, or a --source
// names no source of the record.
int RunShow(const ShowOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tapscope::app

#include "app/capture_record.h"

namespace tapscope::app {

std::string RecordPathFor(const std::string& capturePath) {
    return capturePath + ".jsonl";
}

const RecordSource* CaptureRecord::Source(std::uint64_t id) const {
    for (const RecordSource& source : sources) {
        if (source.id == id) {
            return &source;
        }
    }
    return nullptr;
}

}  // namespace tapscope::app

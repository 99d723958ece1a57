#pragma once
// How ndi-track shows frames: one line per instrument and frame (csv, jsonl)
// or a table of the latest frame with a status line.
#include "LinkGaps.h"
#include "TrackOptions.h"

#include <Velantor/TrackingInstrument.h>
#include <Velantor/TrackingStreamData.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ndi_track {

struct Frame {
    std::uint64_t number = 0;  // 1, 2, ... in the order the stream delivered them
    std::shared_ptr<const Velantor::TrackingStreamData> data;
};

struct RunStatus {
    double rateHz = 0;
    std::uint64_t frames = 0;
    std::uint64_t errors = 0;
    std::string lastError;
    // The tools named on the command line that are not tracked, with why.
    std::vector<std::string> untracked;
    // The system was lost and is being reconnected, for so long.
    bool reconnecting = false;
    double reconnectingSeconds = 0;
    std::uint64_t gaps = 0;  // the connection's gaps that ended with the system back
};

// "ok" (a pose from this frame), "missing" (in view of nothing: no pose) or
// "disabled" (no longer reported; not updated any more).
const char* instrumentState(const Velantor::TrackingInstrument& instrument);

class FramePrinter {
public:
    explicit FramePrinter(OutputFormat format) : m_format(format) {}

    // csv: the column names; empty for the other formats.
    std::string header() const;
    // csv and jsonl: one line (with its newline) per instrument of the frame.
    std::string lines(const Frame& frame) const;
    // csv and jsonl: the line (with its newline) that says the connection
    // was lost or is back; empty for the table.
    std::string event(const LinkEvent& event) const;
    // table: the table of a frame (null before the first) and the status line,
    // one string per screen line.
    std::vector<std::string> table(const Frame* frame, const RunStatus& status) const;

private:
    OutputFormat m_format;
};

}  // namespace ndi_track

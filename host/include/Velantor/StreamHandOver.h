#pragma once
// For programs that drive an algorithm's stream themselves (open, start,
// stop and close it on their own schedule, so that a stop request can cut
// any of them short): the algorithm builds its stream without opening or
// starting it, and hands it over.
#include <Velantor/Algorithm.h>
#include <Velantor/Properties.h>
#include <Velantor/TrackingStream.h>

#include <memory>
#include <string>

namespace Velantor {

// What the settings ask an algorithm to do with its stream once it is made.
struct StreamRunRequest {
    bool open = false;
    bool start = false;  // implies open
};

// Reads the request from the settings (of "open", "autoOpen", "connect" and
// of "start", "autoStart" the first key present decides, as the algorithms
// read them), and leaves the settings with "open" and "start" false and
// without the older keys, so that the algorithm leaves its stream closed.
StreamRunRequest takeStreamRunRequest(Properties& settings);

// Configures the algorithm with the settings, computes it and takes its
// tracking stream; null, with *error, when it made none.
std::unique_ptr<TrackingStream> takeTrackingStream(Algorithm& algorithm, const Properties& settings,
                                                   std::string* error);

}  // namespace Velantor

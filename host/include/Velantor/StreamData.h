#pragma once
// One frame of a stream, as sent through Stream::dataSignal. Frames are
// immutable once sent (receivers get std::shared_ptr<const StreamData>).
#include <Velantor/Data.h>

#include <cstdint>
#include <string>

namespace Velantor {

class StreamData : public Data {
public:
    explicit StreamData(std::string name = std::string()) : Data(std::move(name)) {}
    // Milliseconds since the epoch (system clock) when the frame was made.
    std::uint64_t timestamp = 0;
};

}  // namespace Velantor

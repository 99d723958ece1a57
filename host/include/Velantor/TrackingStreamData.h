#pragma once
// A tracking frame: copies of the stream's instruments as they stood when the
// frame was made, plus components such as TrackingInstrumentFiducialsData.
#include <Velantor/StreamData.h>
#include <Velantor/TrackingInstrument.h>

#include <string>
#include <vector>

namespace Velantor {

class TrackingStreamData : public StreamData {
public:
    using StreamData::StreamData;
    std::vector<TrackingInstrument> instruments;  // in the registry's id order
    std::string mainInstrumentId;
};

}  // namespace Velantor

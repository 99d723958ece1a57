// Feeds arbitrary datagrams to the PTP diagnostic decoder, as they could
// arrive on the PTP port from anyone on the network.
#include <NDIUtils.h>
#include <Velantor/Log.h>

#include <cstdint>
#include <vector>

namespace {

bool setUp()
{
    // Build every message (debug included) but print none of them.
    Velantor::Log::removeSink(Velantor::Log::stderrSink());
    Velantor::Log::setCategoryLevel("NDIUtils", 1);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool ready = setUp();
    (void)ready;
    Velantor::NDIUtils::logPtpDatagram("192.0.2.1", size == 0 ? nullptr : data, size);
    return 0;
}

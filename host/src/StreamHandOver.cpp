#include <Velantor/StreamHandOver.h>

namespace Velantor {

namespace {

const char* const kOpenKeys[] = {"open", "autoOpen", "connect"};
const char* const kStartKeys[] = {"start", "autoStart"};

template <std::size_t N>
bool firstFlag(const Properties& settings, const char* const (&keys)[N])
{
    for (const char* key : keys) {
        bool value = false;
        if (settings.param(key, value)) return value;
    }
    return false;
}

}  // namespace

StreamRunRequest takeStreamRunRequest(Properties& settings)
{
    StreamRunRequest request;
    request.start = firstFlag(settings, kStartKeys);
    request.open = request.start || firstFlag(settings, kOpenKeys);
    for (const char* key : kOpenKeys) settings.removeParam(key);
    for (const char* key : kStartKeys) settings.removeParam(key);
    settings.setParam("open", false);
    settings.setParam("start", false);
    return request;
}

std::unique_ptr<TrackingStream> takeTrackingStream(Algorithm& algorithm, const Properties& settings,
                                                   std::string* error)
{
    algorithm.configure(&settings);
    algorithm.compute();
    auto* output = dynamic_cast<StreamAlgorithmBase*>(&algorithm);
    std::unique_ptr<Stream> stream;
    if (output != nullptr && algorithm.status() == Algorithm::Success)
        stream = output->takeOutput();
    auto* tracking = dynamic_cast<TrackingStream*>(stream.get());
    if (tracking == nullptr) {
        if (error) *error = "the algorithm " + algorithm.id() + " made no tracking stream";
        return nullptr;
    }
    stream.release();
    return std::unique_ptr<TrackingStream>(tracking);
}

}  // namespace Velantor

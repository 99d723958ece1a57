#include "NDITrackingStream.h"

#include <Velantor/Log.h>
#include <Velantor/Properties.h>

namespace Velantor {

namespace {

const std::string kCategory = "NDI";

}  // namespace

std::string NDITrackingStream::joinOptions(const std::vector<std::string>& options)
{
    std::string joined;
    for (const std::string& option : options) joined += option + ", ";
    if (!joined.empty()) joined.resize(joined.size() - 2);
    return joined;
}

NDITrackingStream::NDITrackingStream(const std::string& name) : TrackingStream(name) {}

NDITrackingStream::~NDITrackingStream() = default;

std::vector<std::string> NDITrackingStream::measurementRateOptions() const { return {}; }

std::vector<std::string> NDITrackingStream::maxRangeOptions() const { return {}; }

int NDITrackingStream::maxRange() const { return 0; }

void NDITrackingStream::setMaxRange(int /*index*/) {}

void NDITrackingStream::configure(const Properties* p)
{
    Configurable::configure(p);
    if (p == nullptr) return;

    int range = 0;
    if (p->param("maxRange", range) && range != maxRange()) setMaxRange(range);

    // Old workspaces still carry these; their values never mattered.
    bool ignored = false;
    if (p->param("startAfterInit", ignored))
        Log::logIf(Log::Warning, kCategory, [] {
            return std::string("Parameter 'startAfterInit' was removed as it was not used anymore");
        });
    if (p->param("blockingInit", ignored))
        Log::logIf(Log::Warning, kCategory, [] {
            return std::string("Parameter 'blockingInit' was removed as it was not used anymore");
        });
}

void NDITrackingStream::configuration(Properties* p) const
{
    Configurable::configuration(p);
    if (p == nullptr) return;

    const std::vector<std::string> options = maxRangeOptions();
    if (options.empty()) return;
    p->setParam("maxRange", maxRange());
    p->setParamType("maxRange", PropertiesDetail::EnumIndex);
    p->setParamAttributes("maxRange", {Properties::Attribute("values", joinOptions(options))});
}

}  // namespace Velantor

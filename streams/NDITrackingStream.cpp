#include "NDITrackingStream.h"

#include "StreamSettingKeys.h"

#include <Velantor/Properties.h>

namespace Velantor {

std::string NDITrackingStream::joinOptions(const std::vector<std::string>& options)
{
    return StreamSettingKeys::joinOptions(options);
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
    StreamSettingKeys::warnAboutRemovedKeys(*p);
}

void NDITrackingStream::configuration(Properties* p) const
{
    Configurable::configuration(p);
    if (p == nullptr) return;

    StreamSettingKeys::writeMaxRange(*p, maxRange(), maxRangeOptions());
}

}  // namespace Velantor

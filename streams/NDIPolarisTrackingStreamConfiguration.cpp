// The marker stream's configuration keys: read with configure, written with
// configuration. The markers themselves are stored whole, each under its
// name in "TrackingTargets".
#include "NDIPolarisTrackingStream.h"

#include "HardwareDeviceSetting.h"
#include "NDIPolarisTrackingStreamImpl.h"
#include "NDIStreamLog.h"
#include "StreamSettingKeys.h"

#include <Velantor/Properties.h>

#include <utility>

namespace Velantor {

void NDIPolarisTrackingStream::configure(const Properties* p)
{
    Configurable::configure(p);
    if (p == nullptr) return;

    int range = 0;
    if (p->param("maxRange", range) && range != maxRange()) setMaxRange(range);
    StreamSettingKeys::warnAboutRemovedKeys(*p);

    std::string device;
    if (p->param("hardwareDevice", device)) setHardwareDevice(device);
    int port = 0;
    if (p->param("hardwarePort", port)) setHardwareIPPort(port);
    bool binary = true;
    if (p->param("binaryQueryMode", binary)) setBinaryQueryMode(binary);
    bool reconnect = true;
    if (p->param("autoReconnect", reconnect)) setAutoReconnect(reconnect);

    if (const Properties* targets = p->subProperties("TrackingTargets")) {
        // Markers can only be replaced while closed; a closing stream would
        // lose them all, since it refuses every add that follows the clear.
        if (isStateOneOf({Closed}))
            applyStoredMarkers(*targets);
        else
            NDIStreamLog::markerStreamLog(Log::Warning, [] {
                return "Stored markers (TrackingTargets) are only applied while the stream is "
                       "closed; the current markers are kept";
            });
    }

    std::string selected;
    // An empty id selects nothing; asking the registry for it only logs.
    if (p->param("selectedInstrument", selected) && !selected.empty())
        emitSignals(m_instruments->setMainById(selected));
}

void NDIPolarisTrackingStream::applyStoredMarkers(const Properties& targets)
{
    emitSignals(m_instruments->clear());
    for (const Properties* child : targets.subProperties()) {
        const std::string name = child->name();
        if (const Properties* stored = child->subProperties("Marker")) {
            auto marker = std::make_unique<OpticalTrackingMarker>(name);
            marker->configure(stored);
            if (marker->name().empty()) marker->setName(name);
            addTrackingMarker(std::move(marker));
            continue;
        }
        std::string path;
        if (child->param("Path", path)) OpticalTrackingInterface::addTrackingMarker(path, name);
    }
}

void NDIPolarisTrackingStream::configuration(Properties* p) const
{
    using Attribute = Properties::Attribute;
    Configurable::configuration(p);
    if (p == nullptr) return;

    StreamSettingKeys::writeMaxRange(*p, maxRange(), maxRangeOptions());

    const std::string device = hardwareDevice();
    p->setParam("hardwareDevice", device);
    p->setParam("hardwarePort", hardwareIPPort());
    if (HardwareDeviceSetting::isAutoDetect(device))
        p->setParamAttributes("hardwareDevice",
                              {Attribute("label", "IP address"),
                               Attribute("tooltip", "Auto-detect IP address upon open")});
    else
        p->setParamAttributes("hardwareDevice", {Attribute("label", "IP address")});
    p->setParam("binaryQueryMode", binaryQueryMode());
    p->setParam("autoReconnect", autoReconnect());

    p->removeSubProperties("TrackingTargets");
    Properties& targets = p->addSubProperties("TrackingTargets");
    targets.setAttributes({Attribute("hidden", "true")});
    m_instruments->modifyAll(Registry::SpecialFunction([&](const std::string&, ToolData& data) {
        if (!data.marker) return;
        Properties& child = targets.addSubProperties(data.marker->name());
        data.marker->configuration(&child.addSubProperties("Marker"));
    }));

    p->setParam("selectedInstrument", m_instruments->mainId());
    p->setParamAttributes("selectedInstrument", {Attribute("hidden", "true")});
}

}  // namespace Velantor

// The stream's configuration keys: read with configure, written with
// configuration, beside those every NDI stream shares.
#include "PolarisAuroraTrackingStream.h"

#include "HardwareDeviceSetting.h"
#include "PolarisAuroraTrackingStreamImpl.h"

#include <Velantor/Properties.h>

#include <utility>

namespace Velantor {

namespace {

// The registered tools of a "TrackingTargets" configuration; an entry
// without a ROM path is no tool.
std::vector<NDITrackingInstrumentInfo> readTrackingTargets(const Properties& targets)
{
    std::vector<NDITrackingInstrumentInfo> list;
    for (const Properties* child : targets.subProperties()) {
        NDITrackingInstrumentInfo info;
        info.name = child->name();
        std::int32_t targetPort = 0;
        child->param("Port", targetPort);
        info.port = targetPort;
        info.portHandle = -1;
        if (!child->param("Path", info.romPath)) continue;
        list.push_back(std::move(info));
    }
    return list;
}

}  // namespace

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::configure(const Properties* p)
{
    NDITrackingStream::configure(p);
    if (p == nullptr) return;

    int rate = 0;
    if (p->param("measurementRate", rate) && rate != measurementRate()) setMeasurementRate(rate);

    std::string device;
    if (p->param("hardwareDevice", device)) setHardwareDevice(device);
    int port = 0;
    if (p->param("hardwarePort", port)) setHardwareIPPort(port);
    bool binary = true;
    if (p->param("binaryQueryMode", binary)) setBinaryQueryMode(binary);
    bool reconnect = true;
    if (p->param("autoReconnect", reconnect)) setAutoReconnect(reconnect);

    const Properties* targets = p->subProperties("TrackingTargets");
    if (targets != nullptr && isStateOneOf({Closed, Closing})) {
        std::vector<NDITrackingInstrumentInfo> list = readTrackingTargets(*targets);
        std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
        m_trackingTargets = std::move(list);
    }

    std::string selected;
    if (p->param("selectedInstrument", selected)) configureSelection(selected);
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::configureSelection(const std::string& selected)
{
    {
        std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
        m_selectedInstrument = selected;
    }
    // An empty id selects nothing; asking the registry for it only logs.
    if (selected.empty() || m_instruments->size() == 0) return;
    const Flags<InstrumentModification> flags = m_instruments->setMainById(selected);
    if (flags.testFlag(InstrumentModification::MainInstrument)) {
        std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
        m_selectedInstrument.reset();
    }
    emitSignals(flags);
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::configuration(Properties* p) const
{
    NDITrackingStream::configuration(p);
    if (p == nullptr) return;

    writeDeviceConfiguration(*p);
    if (m_impl->connectionType == Serial) {
        p->setParam("measurementRate", measurementRate());
        p->setParamType("measurementRate", PropertiesDetail::EnumIndex);
        p->setParamAttributes(
            "measurementRate",
            {Properties::Attribute("values", joinOptions(measurementRateOptions()))});
    } else {
        p->setParam("hardwarePort", hardwareIPPort());
    }
    p->setParam("binaryQueryMode", binaryQueryMode());
    p->setParam("autoReconnect", autoReconnect());
    writeToolConfiguration(*p);
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::writeDeviceConfiguration(Properties& p) const
{
    using Attribute = Properties::Attribute;
    auto* self = const_cast<PolarisAuroraTrackingStream*>(this);

    const std::string device = hardwareDevice();
    p.setParam("hardwareDevice", device);
    const bool serial = m_impl->connectionType == Serial;
    const char* label = serial ? "COM port" : "IP address";
    const std::vector<Attribute> autoAttributes = {
        Attribute("label", label),
        Attribute("tooltip",
                  serial ? "Auto-detect COM port upon open" : "Auto-detect IP address upon open")};
    const bool usable =
        serial ? HardwareDeviceSetting::isSerialDeviceName(device) : NDIUtils::isValidIp(device);
    if (HardwareDeviceSetting::isAutoDetect(device)) {
        p.setParamAttributes("hardwareDevice", autoAttributes);
    } else if (usable) {
        p.setParamAttributes("hardwareDevice", {Attribute("label", label)});
    } else {
        // A device that cannot be used falls back to auto-detection.
        self->setHardwareDevice(std::string());
        p.setParam("hardwareDevice", std::string());
        p.setParamAttributes("hardwareDevice", autoAttributes);
    }
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::writeToolConfiguration(Properties& p) const
{
    using Attribute = Properties::Attribute;
    p.removeSubProperties("TrackingTargets");
    Properties& targets = p.addSubProperties("TrackingTargets");
    targets.setAttributes({Attribute("hidden", "true")});
    std::string selected = m_instruments->mainId();
    {
        std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
        for (const NDITrackingInstrumentInfo& target : m_trackingTargets) {
            Properties& child = targets.addSubProperties(target.name);
            child.setParam("Path", target.romPath);
            child.setParam("Port", target.port);
        }
        // A selection still waiting for its instrument is kept in the workspace.
        if (selected.empty() && m_selectedInstrument) selected = *m_selectedInstrument;
    }
    p.setParam("selectedInstrument", selected);
    p.setParamAttributes("selectedInstrument", {Attribute("hidden", "true")});
}

#define NDI_INSTANTIATE_CONFIGURATION(Type)                                                       \
    template void PolarisAuroraTrackingStream<Type>::configure(const Properties*);                \
    template void PolarisAuroraTrackingStream<Type>::configureSelection(const std::string&);      \
    template void PolarisAuroraTrackingStream<Type>::configuration(Properties*) const;            \
    template void PolarisAuroraTrackingStream<Type>::writeDeviceConfiguration(Properties&) const; \
    template void PolarisAuroraTrackingStream<Type>::writeToolConfiguration(Properties&) const;
NDI_INSTANTIATE_FOR_EVERY_FAMILY(NDI_INSTANTIATE_CONFIGURATION)

}  // namespace Velantor

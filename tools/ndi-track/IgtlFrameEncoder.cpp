#include "IgtlFrameEncoder.h"

#include "FramePrinter.h"

#include <Velantor/TrackingInstrumentFiducialsData.h>

#include <igtlPointMessage.h>
#include <igtlStatusMessage.h>
#include <igtlTimeStamp.h>
#include <igtlTransformMessage.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace ndi_track {

namespace {

// The header's device name field; longer names would be cut by the library
// wherever the bytes fall.
constexpr std::size_t kDeviceNameBytes = 20;
constexpr const char* kSuffix = "ToTracker";

void append(igtl::MessageBase& message, std::string& out)
{
    message.Pack();
    out.append(static_cast<const char*>(message.GetPackPointer()),
               static_cast<std::size_t>(message.GetPackSize()));
}

void setTime(igtl::MessageBase& message, igtl::TimeStamp::Pointer& time, std::uint64_t milliseconds)
{
    time->SetTime(static_cast<igtlUint32>(milliseconds / 1000),
                  static_cast<igtlUint32>((milliseconds % 1000) * 1000000));
    message.SetTimeStamp(time);
}

}  // namespace

std::string igtlDeviceName(const Velantor::TrackingInstrument& instrument)
{
    std::string name = instrument.id.name().empty() ? instrument.id.ID() : instrument.id.name();
    std::replace(name.begin(), name.end(), ' ', '_');
    const std::size_t room = kDeviceNameBytes - std::strlen(kSuffix);
    if (name.size() > room) name.resize(room);
    return name + kSuffix;
}

struct IgtlFrameEncoder::Messages {
    igtl::TransformMessage::Pointer transform = igtl::TransformMessage::New();
    igtl::PointMessage::Pointer points = igtl::PointMessage::New();
    igtl::StatusMessage::Pointer status = igtl::StatusMessage::New();
    igtl::TimeStamp::Pointer time = igtl::TimeStamp::New();
    std::vector<std::string> sent;  // device names of the frame being encoded
};

IgtlFrameEncoder::IgtlFrameEncoder(bool strays) : m_messages(new Messages), m_strays(strays)
{
    m_messages->points->SetDeviceName(kIgtlStrayDeviceName);
    m_messages->status->SetDeviceName(kIgtlStatusDeviceName);
}

IgtlFrameEncoder::~IgtlFrameEncoder() = default;

int IgtlFrameEncoder::encodeFrame(const Velantor::TrackingStreamData& frame, std::string& out)
{
    Messages& m = *m_messages;
    m.sent.clear();
    int transforms = 0;
    std::uint64_t frameTime = frame.timestamp;
    for (const auto& instrument : frame.instruments) {
        if (frameTime == 0) frameTime = instrument.timestamp;
        if (std::strcmp(instrumentState(instrument), "ok") != 0) continue;
        const std::string device = igtlDeviceName(instrument);
        const std::string& whole =
            instrument.id.name().empty() ? instrument.id.ID() : instrument.id.name();
        const auto warnOnce = [&](const std::string& text) {
            if (std::find(m_warned.begin(), m_warned.end(), device + text) != m_warned.end())
                return;
            m_warned.push_back(device + text);
            m_warnings.push_back(text);
        };
        if (std::find(m.sent.begin(), m.sent.end(), device) != m.sent.end()) {
            warnOnce("two tools share the OpenIGTLink device name " + device + ": '" + whole +
                     "' is not sent; give the tools names that differ in their first " +
                     std::to_string(kDeviceNameBytes - std::strlen(kSuffix)) + " characters");
            continue;
        }
        m.sent.push_back(device);
        if (device.size() - std::strlen(kSuffix) < whole.size())
            warnOnce("'" + whole + "' is sent as " + device +
                     ": an OpenIGTLink device name holds 20 characters");

        igtl::Matrix4x4 matrix;
        for (int row = 0; row < 4; ++row)
            for (int col = 0; col < 4; ++col)
                matrix[row][col] = static_cast<float>(instrument.matrix(row, col));
        m.transform->SetDeviceName(device.c_str());
        m.transform->SetMatrix(matrix);
        setTime(*m.transform, m.time,
                instrument.timestamp != 0 ? instrument.timestamp : frame.timestamp);
        append(*m.transform, out);
        ++transforms;
    }
    if (m_strays) {
        m.points->ClearPointElement();
        if (const auto* fiducials =
                frame.components().get<Velantor::TrackingInstrumentFiducialsData>()) {
            // Markers on tools are keyed by their tool; strays by the empty id.
            const std::uint64_t stray = std::hash<std::string>{}(std::string());
            const std::size_t n = std::min(fiducials->positions.size(), fiducials->keys.size());
            for (std::size_t k = 0; k < n; ++k) {
                if (fiducials->keys[k] != stray) continue;
                const auto& p = fiducials->positions[k];
                igtl::PointElement::Pointer point = igtl::PointElement::New();
                point->SetGroupName("Stray");
                point->SetPosition(static_cast<float>(p.x()), static_cast<float>(p.y()),
                                   static_cast<float>(p.z()));
                m.points->AddPointElement(point);
            }
        }
        setTime(*m.points, m.time, frameTime);
        append(*m.points, out);
    }
    return transforms;
}

void IgtlFrameEncoder::encodeStatus(IgtlStatusCode code, const std::string& text,
                                    std::uint64_t timestampMs, std::string& out)
{
    Messages& m = *m_messages;
    m.status->SetCode(static_cast<int>(code));
    m.status->SetSubCode(0);
    m.status->SetErrorName(code == IgtlStatusCode::Ok ? "" : "TrackerNotTracking");
    m.status->SetStatusString(text.c_str());
    setTime(*m.status, m.time, timestampMs);
    append(*m.status, out);
}

std::vector<std::string> IgtlFrameEncoder::takeWarnings()
{
    std::vector<std::string> out;
    out.swap(m_warnings);
    return out;
}

}  // namespace ndi_track

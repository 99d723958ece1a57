#pragma once
// Turns tracking frames into OpenIGTLink messages, apart from any socket so
// that the bytes can be checked and timed on their own: one TRANSFORM per
// tool with a pose, optionally one POINT with the stray markers, and STATUS
// messages about the measurement system.
#include <Velantor/TrackingInstrument.h>
#include <Velantor/TrackingStreamData.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ndi_track {

// Names a client looks a tool up by: "<instrument name>ToTracker", spaces
// turned into underscores, the instrument's id when it has no name. The
// message header holds 20 bytes: a longer name is shortened before the
// "ToTracker" ending, so that clients still recognise the convention.
std::string igtlDeviceName(const Velantor::TrackingInstrument& instrument);

// The device name of the POINT message that carries the stray markers.
constexpr const char* kIgtlStrayDeviceName = "StrayMarkers";
// The device name of the STATUS messages about the measurement system.
constexpr const char* kIgtlStatusDeviceName = "Tracker";

// The codes of STATUS messages this server sends, as the protocol numbers them.
enum class IgtlStatusCode : int {
    Ok = 1,         // tracking: frames are coming
    TimeOut = 7,    // no frame for a while: the system is silent or gone
    Disabled = 15,  // the stream is not tracking (stopped, closed)
    ShutDown = 19,  // the server is closing
};

class IgtlFrameEncoder {
public:
    explicit IgtlFrameEncoder(bool strays);
    ~IgtlFrameEncoder();
    IgtlFrameEncoder(const IgtlFrameEncoder&) = delete;
    IgtlFrameEncoder& operator=(const IgtlFrameEncoder&) = delete;

    // Appends the frame's messages to out; returns how many TRANSFORMs. Tools
    // without a pose in this frame send nothing.
    int encodeFrame(const Velantor::TrackingStreamData& frame, std::string& out);
    // Appends one STATUS message.
    void encodeStatus(IgtlStatusCode code, const std::string& text, std::uint64_t timestampMs,
                      std::string& out);

    // Each device name that had to be shortened, or that two tools share (the
    // later one is not sent: a client would take its pose for the other's),
    // once, as a sentence for the log.
    std::vector<std::string> takeWarnings();

private:
    struct Messages;
    std::unique_ptr<Messages> m_messages;
    const bool m_strays;
    std::vector<std::string> m_warned;  // device names already warned about
    std::vector<std::string> m_warnings;
};

}  // namespace ndi_track

#pragma once
// What the stream tests share: tool-definition files the simulator reads
// back, a recorder of the frames a stream emits, passes driven by hand with
// the device frame numbers around them, and comparisons with what the
// simulator says it reported.
#include <PolarisAuroraTrackingStream.h>

#include <ndisim/Simulator.h>

#include <Velantor/Log.h>
#include <Velantor/ToolDefinitionImageLayout.h>
#include <Velantor/TrackingInstrumentFiducialsData.h>
#include <Velantor/TrackingStreamData.h>

#include <ndi/protocol.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace streamtest {

using Velantor::NDIAurora;
using Velantor::NDIPolarisNetwork;
using Velantor::NDIPolarisSerial;
using Velantor::NDITrackingInstrumentInfo;
using AuroraStream = Velantor::PolarisAuroraTrackingStream<NDIAurora>;
using PolarisStream = Velantor::PolarisAuroraTrackingStream<NDIPolarisSerial>;
using VegaStream = Velantor::PolarisAuroraTrackingStream<NDIPolarisNetwork>;
using Frame = std::shared_ptr<const Velantor::TrackingStreamData>;

// Waits for a condition that the machine will reach; the limit only keeps a
// broken build from hanging, it is not a timing claim.
inline bool eventually(const std::function<bool()>& ready,
                       std::chrono::seconds limit = std::chrono::seconds(30))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A file that removes itself.
class TempFile {
public:
    TempFile(const std::string& name, const std::string& bytes)
        : m_path("/tmp/ndi-streams-test-" + std::to_string(::getpid()) + "-" + name)
    {
        std::ofstream(m_path, std::ios::binary) << bytes;
    }
    ~TempFile() { ::unlink(m_path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// A tool-definition image in the layout the simulator reads: the part number
// and, optionally, the marker geometry.
inline std::string romImage(const std::string& partNumber,
                            const std::vector<ndisim::Vec3>& markers = {})
{
    namespace L = Velantor::ToolDefinitionImageLayout;
    std::string image(L::kImageSize, '\0');
    std::memcpy(&image[L::kMagicOffset], L::kMagic, 4);
    image[L::kMarkerCountOffset] = static_cast<char>(markers.size());
    for (std::size_t m = 0; m < markers.size(); ++m)
        for (std::size_t k = 0; k < 3; ++k) {
            const float f = static_cast<float>(markers[m][k]);
            std::memcpy(&image[L::kMarkersOffset + m * L::kMarkerStride + 4 * k], &f, 4);
        }
    std::memcpy(&image[L::kSecondMagicOffset], L::kMagic, 4);
    std::memcpy(&image[L::kPartNumberOffset], partNumber.data(), partNumber.size());
    return image;
}

inline NDITrackingInstrumentInfo target(const std::string& name, const std::string& romPath,
                                        int port)
{
    NDITrackingInstrumentInfo info;
    info.name = name;
    info.romPath = romPath;
    info.port = port;
    info.portHandle = -1;
    return info;
}

// A device that loses its line speed must be found again with a break.
class BreakNotify {
public:
    explicit BreakNotify(const ndisim::Simulator& sim)
    {
        ::setenv("NDI_BREAK_NOTIFY", sim.breakNotifyPath().c_str(), 1);
    }
    ~BreakNotify() { ::unsetenv("NDI_BREAK_NOTIFY"); }
};

// Every frame a stream emits, in order.
class FrameLog {
public:
    explicit FrameLog(Velantor::Stream& stream) : m_stream(stream)
    {
        m_connection = stream.dataSignal.connect(
            this, [this](std::shared_ptr<const Velantor::StreamData> data) {
                auto frame = std::dynamic_pointer_cast<const Velantor::TrackingStreamData>(data);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_frames.push_back(frame);
                m_changed.notify_all();
            });
    }
    ~FrameLog() { m_stream.dataSignal.disconnect(m_connection); }
    FrameLog(const FrameLog&) = delete;
    FrameLog& operator=(const FrameLog&) = delete;

    std::vector<Frame> frames() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }
    std::size_t size() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames.size();
    }
    bool waitFor(std::size_t n)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30),
                                  [&] { return m_frames.size() >= n; });
    }

private:
    Velantor::Stream& m_stream;
    Velantor::SignalImpl<std::shared_ptr<const Velantor::StreamData>>::ConnectionId m_connection =
        0;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Frame> m_frames;
};

// Port handle of every instrument, by id.
template <class Stream>
std::map<std::string, int> handlesById(Stream& stream)
{
    std::map<std::string, int> handles;
    stream.instrumentRegistry()->modifyAll(typename Stream::Registry::SpecialFunction(
        [&](const std::string& id, NDITrackingInstrumentInfo& info) {
            handles[id] = info.portHandle;
        }));
    return handles;
}

inline Eigen::Matrix4d poseMatrix(const ndisim::Pose& pose)
{
    const double transform[8] = {pose.q[0], pose.q[1], pose.q[2], pose.q[3],
                                 pose.t[0], pose.t[1], pose.t[2], 0.0};
    double matrix[16];
    ndiTransformToMatrixd(transform, matrix);
    return Eigen::Map<const Eigen::Matrix4d>(matrix);
}

// Text replies round quaternions to 1e-4 and millimetres to 1e-2; binary
// replies carry floats.
constexpr double kRotationTolerance = 1e-3;
constexpr double kMillimetreTolerance = 0.02;

inline bool near(const Eigen::Vector3d& a, const ndisim::Vec3& b)
{
    for (int i = 0; i < 3; ++i)
        if (std::abs(a[i] - b[static_cast<std::size_t>(i)]) > kMillimetreTolerance) return false;
    return true;
}

inline bool sameMatrix(const Eigen::Matrix4d& a, const Eigen::Matrix4d& b)
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (std::abs(a(r, c) - b(r, c)) > kRotationTolerance) return false;
    for (int r = 0; r < 3; ++r)
        if (std::abs(a(r, 3) - b(r, 3)) > kMillimetreTolerance) return false;
    return a(3, 0) == 0 && a(3, 1) == 0 && a(3, 2) == 0 && a(3, 3) == 1;
}

// Whether a delivered frame is exactly what the device reported for frame
// number f: poses, qualities, visibility, and (when `markers`) every marker
// with its owner key. Differences go to *why.
inline bool frameMatches(const ndisim::Simulator& sim, const Velantor::TrackingStreamData& frame,
                         const std::map<std::string, int>& handles, std::uint32_t f, bool markers,
                         std::string* why)
{
    std::vector<Eigen::Vector3d> expectedPositions;
    std::vector<std::uint64_t> expectedKeys;
    for (const ndisim::Vec3& s : sim.expectedStrays(f)) {
        expectedPositions.emplace_back(s[0], s[1], s[2]);
        expectedKeys.push_back(std::hash<std::string>{}(std::string()));
    }
    for (const Velantor::TrackingInstrument& instrument : frame.instruments) {
        const auto handle = handles.find(instrument.id.ID());
        if (handle == handles.end()) {
            *why = "unknown instrument " + instrument.id.ID();
            return false;
        }
        const std::optional<ndisim::ToolFrame> want = sim.expectedFrame(handle->second, f);
        if (!want) {
            *why = "simulator has no tool on handle " + std::to_string(handle->second);
            return false;
        }
        if (!instrument.active) continue;  // left as it was: not part of this frame
        if (want->visibility == ndisim::Visibility::Visible) {
            if (!sameMatrix(instrument.matrix, poseMatrix(want->pose)) ||
                std::abs(instrument.quality - (1.0 - want->pose.error / 10.0)) > 1e-4) {
                *why =
                    instrument.id.ID() + " pose or quality differs in frame " + std::to_string(f);
                return false;
            }
        } else if (instrument.matrix != Eigen::Matrix4d::Identity() || instrument.quality != 0.0) {
            *why = instrument.id.ID() + " not tracked but has a pose";
            return false;
        }
        if (markers && want->visibility != ndisim::Visibility::Disabled) {
            for (const ndisim::Vec3& m : sim.expectedMarkers(handle->second, f)) {
                expectedPositions.emplace_back(m[0], m[1], m[2]);
                expectedKeys.push_back(std::hash<std::string>{}(instrument.id.ID()));
            }
        }
    }
    const auto* fiducials = frame.components().get<Velantor::TrackingInstrumentFiducialsData>();
    if (fiducials == nullptr) {
        *why = "no fiducials";
        return false;
    }
    if (fiducials->positions.size() != expectedPositions.size() ||
        fiducials->keys != expectedKeys) {
        *why = "fiducials: " + std::to_string(fiducials->positions.size()) + " positions, " +
               std::to_string(expectedPositions.size()) + " expected (or other owners)";
        return false;
    }
    for (std::size_t i = 0; i < expectedPositions.size(); ++i)
        if ((fiducials->positions[i] - expectedPositions[i]).cwiseAbs().maxCoeff() >
            kMillimetreTolerance) {
            *why = "fiducial " + std::to_string(i) + " moved";
            return false;
        }
    return true;
}

// One pass driven by hand (the host's worker does not run) with the device
// frame numbers taken just before and after it: the reply's frame lies in
// between.
struct Pass {
    std::uint32_t before = 0;
    std::uint32_t after = 0;
    Frame frame;  // null when the pass delivered nothing
};

template <class Stream>
Pass runPass(Stream& stream, const ndisim::Simulator& sim, FrameLog& log)
{
    Pass pass;
    const std::size_t had = log.size();
    pass.before = sim.currentFrame();
    stream.doWork();
    pass.after = sim.currentFrame();
    const std::vector<Frame> frames = log.frames();
    if (frames.size() > had) pass.frame = frames.back();
    return pass;
}

// The device frame number in [before, after] that the delivered frame
// matches, if any.
inline std::optional<std::uint32_t> matchingFrame(const ndisim::Simulator& sim, const Pass& pass,
                                                  const std::map<std::string, int>& handles,
                                                  bool markers, std::string* why)
{
    for (std::uint32_t f = pass.before; f <= pass.after; ++f)
        if (frameMatches(sim, *pass.frame, handles, f, markers, why)) return f;
    return std::nullopt;
}

inline std::size_t countContaining(const Velantor::LogCapture& log, int level,
                                   const std::string& text)
{
    std::size_t n = 0;
    for (const Velantor::LogRecord& r : log.records())
        if (r.level == level && r.category == "NDI" && r.message.find(text) != std::string::npos)
            ++n;
    return n;
}

// Passes driven by hand while the device corrupts or drops replies: a pass
// whose reply failed (the error callback reported it) must deliver nothing,
// and a delivered frame must be one the device reported. onFailed may check
// more about a failed pass, given the instruments from before it.
struct FaultyPasses {
    std::size_t failed = 0;
    std::size_t delivered = 0;
};

template <class Stream>
FaultyPasses passesUnderFaults(
    Stream& stream, const ndisim::Simulator& sim, FrameLog& frames, const Velantor::LogCapture& log,
    const std::string& streamError, const std::map<std::string, int>& handles,
    const std::function<void(const std::vector<Velantor::TrackingInstrument>&)>& onFailed = {})
{
    FaultyPasses result;
    for (int i = 0; i < 60; ++i) {
        const std::size_t errorsBefore = countContaining(log, Velantor::Log::Error, streamError);
        std::vector<Velantor::TrackingInstrument> before;
        if (onFailed) before = stream.trackingInstruments()->instruments();
        const Pass pass = runPass(stream, sim, frames);
        if (countContaining(log, Velantor::Log::Error, streamError) > errorsBefore) {
            ++result.failed;
            EXPECT_FALSE(pass.frame) << "pass " << i << " delivered from a failed reply";
            if (onFailed) onFailed(before);
        } else if (pass.frame) {
            ++result.delivered;
            std::string why;
            EXPECT_TRUE(matchingFrame(sim, pass, handles, true, &why).has_value()) << why;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    return result;
}

}  // namespace streamtest

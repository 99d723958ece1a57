// A campaign of device faults against streams that run on the host's worker:
// cable pulled, device power-cycled, replies that never come, trickle, carry
// garbage or bad CRCs, a device that refuses everything and a peer that hangs.
// Whatever the fault, the stream must not crash or hang, must deliver no pose
// the device did not report and no device frame twice on one connection,
// must bring the frames back by itself once the device is back, and must
// close promptly, also while the device is still gone. The measured close
// times are printed, one line per row, for the project's notes; only a hang
// guard is asserted, since this machine is shared and noisy.
#include "StreamTestSupport.h"

#include <NDIPolarisTrackingStream.h>

#include <cstdio>
#include <set>
#include <thread>

using namespace streamtest;
using Velantor::LogCapture;
using MarkerStream = Velantor::NDIPolarisTrackingStream;
using SteadyClock = std::chrono::steady_clock;

namespace {

enum class Kind { AuroraSerial, PolarisSerial, VegaCamera, VegaMarkers };

const char* kindName(Kind kind)
{
    switch (kind) {
    case Kind::AuroraSerial: return "aurora serial";
    case Kind::PolarisSerial: return "polaris serial";
    case Kind::VegaCamera: return "vega camera";
    case Kind::VegaMarkers: return "vega markers";
    }
    return "?";
}

bool isSerial(Kind kind) { return kind == Kind::AuroraSerial || kind == Kind::PolarisSerial; }

ndisim::Family familyOf(Kind kind)
{
    if (kind == Kind::AuroraSerial) return ndisim::Family::Aurora;
    if (kind == Kind::PolarisSerial) return ndisim::Family::Polaris;
    return ndisim::Family::Vega;
}

using SimAction = std::function<void(ndisim::Simulator&)>;

SimAction withFaults(const std::function<void(ndisim::Faults&)>& set)
{
    return [set](ndisim::Simulator& sim) {
        ndisim::Faults faults;
        set(faults);
        sim.setFaults(faults);
    };
}

struct Fault {
    const char* name;
    SimAction begin;
    SimAction end;
};

const SimAction kNothing = [](ndisim::Simulator&) {};
const SimAction kNoFaults = [](ndisim::Simulator& sim) { sim.setFaults(ndisim::Faults()); };

const Fault kCablePulled{"cable pulled and put back", [](ndisim::Simulator& sim) { sim.unplug(); },
                         [](ndisim::Simulator& sim) { sim.plugIn(); }};
// The device on a USB cable, or a camera on the network, switched off and on.
const Fault kPowerCycledOff{"power off and on",
                            [](ndisim::Simulator& sim) {
                                sim.unplug();
                                sim.powerCycle();
                            },
                            [](ndisim::Simulator& sim) { sim.plugIn(); }};
// A device on a serial cable that stays in: back at once, at 9600 baud.
const Fault kPowerCycledOnLine{"power-cycled on its line",
                               [](ndisim::Simulator& sim) { sim.powerCycle(); }, kNothing};
const Fault kNoReply{"reply never coming", withFaults([](ndisim::Faults& f) { f.dropEvery = 1; }),
                     kNoFaults};
// A byte a millisecond: a serial line waits the reply out, a network reply
// of a few hundred bytes misses its time-out.
const Fault kTrickle{"replies trickling byte by byte", withFaults([](ndisim::Faults& f) {
                         f.splitBytes = 1;
                         f.splitPauseMs = 1;
                     }),
                     kNoFaults};
const Fault kGarbage{"garbage before every reply",
                     withFaults([](ndisim::Faults& f) { f.garbageEvery = 1; }), kNoFaults};
const Fault kBadCrc{"bad CRC run", withFaults([](ndisim::Faults& f) { f.corruptCrcEvery = 1; }),
                    kNoFaults};
const Fault kErrorAll{"ERROR to everything", withFaults([](ndisim::Faults& f) {
                          f.errorAllCode = ndisim::kDefaultErrorAllCode;
                      }),
                      kNoFaults};
const Fault kHungPeer{"hung peer or device", withFaults([](ndisim::Faults& f) { f.silent = true; }),
                      kNoFaults};

enum class Ending { FaultEnds, ClosedDuringFault };

struct Row {
    Kind kind;
    const Fault* fault;
    Ending ending;
};

// Longer than the grace a stream gives a line (three failed passes and half a
// second) before it takes the line for lost, where replies fail fast; a
// serial reply that never comes is waited for seconds, so there the hold
// ends before the grace does.
constexpr auto kFaultHold = std::chrono::milliseconds(1300);
// Generous bounds that only keep a broken stream from hanging the run.
constexpr auto kFramesBack = std::chrono::seconds(30);
constexpr auto kCloseHangGuard = std::chrono::seconds(3);
constexpr std::size_t kFramesWanted = 5;

// A frame as it left the stream, with the device's frame counter at that
// moment (the reply's frame is no later) and the number of reconnections
// begun before it.
struct Delivered {
    Frame frame;
    std::uint32_t deviceFrameThen = 0;
    int connection = 0;
};

// Records frames and reconnection changes from the stream's own threads.
class Observer {
public:
    Observer(Velantor::Stream& stream, const ndisim::Simulator& sim) : m_stream(stream), m_sim(sim)
    {
        m_data = stream.dataSignal.connect(
            this, [this](std::shared_ptr<const Velantor::StreamData> data) {
                Delivered d;
                d.frame = std::dynamic_pointer_cast<const Velantor::TrackingStreamData>(data);
                d.deviceFrameThen = m_sim.currentFrame();
                std::lock_guard<std::mutex> lock(m_mutex);
                d.connection = m_reconnections;
                m_frames.push_back(std::move(d));
            });
        m_reconnect = stream.ReconnectingChange.connect(this, [this](bool reconnecting) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_changes.push_back(reconnecting);
            if (reconnecting) ++m_reconnections;
        });
    }
    ~Observer()
    {
        m_stream.dataSignal.disconnect(m_data);
        m_stream.ReconnectingChange.disconnect(m_reconnect);
    }
    Observer(const Observer&) = delete;
    Observer& operator=(const Observer&) = delete;

    std::vector<Delivered> frames() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }
    std::size_t count() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames.size();
    }
    std::vector<bool> changes() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_changes;
    }

private:
    Velantor::Stream& m_stream;
    const ndisim::Simulator& m_sim;
    Velantor::SignalImpl<std::shared_ptr<const Velantor::StreamData>>::ConnectionId m_data = 0;
    Velantor::SignalImpl<bool>::ConnectionId m_reconnect = 0;
    mutable std::mutex m_mutex;
    std::vector<Delivered> m_frames;
    std::vector<bool> m_changes;
    int m_reconnections = 0;
};

bool waitUntil(const std::function<bool()>& ready, SteadyClock::duration limit)
{
    const auto end = SteadyClock::now() + limit;
    while (!ready()) {
        if (SteadyClock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// How far a frame's poses are from the device's in frame f, in units of the
// tolerance (at most 1: the same); every instrument must be tracked, since
// the campaign's tools never leave the view.
double distance(const ndisim::Scenario& scenario, const Velantor::TrackingStreamData& frame,
                const std::map<std::string, int>& toolOf, std::uint32_t f, std::string* why)
{
    if (frame.instruments.size() != toolOf.size()) {
        *why = "the frame holds " + std::to_string(frame.instruments.size()) +
               " instruments, not " + std::to_string(toolOf.size());
        return 1e9;
    }
    double worst = 0;
    for (const Velantor::TrackingInstrument& instrument : frame.instruments) {
        const auto tool = toolOf.find(instrument.id.ID());
        if (tool == toolOf.end()) {
            *why = "unknown instrument " + instrument.id.ID();
            return 1e9;
        }
        if (!instrument.active) {
            *why = instrument.id.ID() + " delivered inactive";
            return 1e9;
        }
        const ndisim::ToolFrame want = ndisim::toolFrameAt(
            scenario.tools[static_cast<std::size_t>(tool->second)], f, scenario.frameRate);
        const Eigen::Matrix4d expected = poseMatrix(want.pose);
        if (instrument.matrix.row(3) != expected.row(3)) {
            *why = instrument.id.ID() + " has no pose matrix";
            return 1e9;
        }
        const double rotation = (instrument.matrix.block<3, 3>(0, 0) - expected.block<3, 3>(0, 0))
                                    .cwiseAbs()
                                    .maxCoeff();
        const double translation =
            (instrument.matrix.block<3, 1>(0, 3) - expected.block<3, 1>(0, 3))
                .cwiseAbs()
                .maxCoeff();
        const double quality = std::abs(instrument.quality - (1.0 - want.pose.error / 10.0));
        worst = std::max({worst, rotation / kRotationTolerance, translation / kMillimetreTolerance,
                          quality / 1e-4});
    }
    if (worst > 1) *why = "poses match no device frame of the last seconds";
    return worst;
}

// The device frame whose poses a delivered frame holds: the closest match
// among the frames of the last three seconds before delivery.
std::optional<std::uint32_t> deviceFrameOf(const ndisim::Scenario& scenario, const Delivered& d,
                                           const std::map<std::string, int>& toolOf,
                                           std::string* why)
{
    const auto window = static_cast<std::uint32_t>(scenario.frameRate * 3);
    std::optional<std::uint32_t> best;
    double bestDistance = 1;
    for (std::uint32_t back = 0; back <= window && back <= d.deviceFrameThen; ++back) {
        const std::uint32_t f = d.deviceFrameThen - back;
        const double x = distance(scenario, *d.frame, toolOf, f, why);
        if (x >= 1e9) return std::nullopt;
        if (x <= bestDistance) {
            bestDistance = x;
            best = f;
        }
    }
    if (best) why->clear();
    return best;
}

class TempFiles {
public:
    std::string add(const std::string& name, const std::string& bytes)
    {
        m_files.push_back(std::make_unique<TempFile>(name, bytes));
        return m_files.back()->path();
    }

private:
    std::vector<std::unique_ptr<TempFile>> m_files;
};

// The stream of a row's kind on its simulator with every scenario tool
// registered, and a way to learn which scenario tool each instrument is.
struct StreamUnderTest {
    std::unique_ptr<Velantor::TrackingStream> stream;
    std::function<std::map<std::string, int>()> handles;
};

StreamUnderTest makeStream(Kind kind, const std::string& name, const ndisim::Simulator& sim,
                           const std::string& link, TempFiles& files, const std::string& tag)
{
    std::vector<std::pair<std::string, std::string>> roms;  // name, path
    if (kind != Kind::AuroraSerial)
        for (const ndisim::ToolDescription& tool : sim.scenario().tools)
            roms.emplace_back(tool.name, files.add(tag + "-" + tool.partNumber + ".rom",
                                                   romImage(tool.partNumber, tool.markers)));
    StreamUnderTest s;
    switch (kind) {
    case Kind::AuroraSerial:
    case Kind::PolarisSerial: {
        std::unique_ptr<Velantor::NDITrackingStream> camera;
        if (kind == Kind::AuroraSerial) {
            auto aurora = std::make_unique<AuroraStream>(name);
            aurora->setHardwareDevice(link);
            camera = std::move(aurora);
        } else {
            auto polaris = std::make_unique<PolarisStream>(name);
            polaris->setHardwareDevice(link);
            for (const auto& [name, path] : roms) polaris->registerTool(target(name, path, 1));
            camera = std::move(polaris);
        }
        auto* raw = camera.get();
        s.handles = [raw, kind] {
            return kind == Kind::AuroraSerial ? handlesById(static_cast<AuroraStream&>(*raw))
                                              : handlesById(static_cast<PolarisStream&>(*raw));
        };
        s.stream = std::move(camera);
        break;
    }
    case Kind::VegaCamera: {
        auto vega = std::make_unique<VegaStream>(name);
        vega->setHardwareDevice("127.0.0.1");
        vega->setHardwareIPPort(sim.tcpPort());
        for (const auto& [name, path] : roms) vega->registerTool(target(name, path, 1));
        auto* raw = vega.get();
        s.handles = [raw] { return handlesById(*raw); };
        s.stream = std::move(vega);
        break;
    }
    case Kind::VegaMarkers: {
        auto markers = std::make_unique<MarkerStream>(name);
        markers->setHardwareDevice("127.0.0.1");
        markers->setHardwareIPPort(sim.tcpPort());
        for (const auto& [name, path] : roms) markers->addTrackingMarker(path, name);
        auto* raw = markers.get();
        s.handles = [raw] {
            std::map<std::string, int> handles;
            raw->instrumentRegistry()->modifyAll(MarkerStream::Registry::SpecialFunction(
                [&](const std::string& id, MarkerStream::ToolData& data) {
                    handles[id] = data.portHandle;
                }));
            return handles;
        };
        s.stream = std::move(markers);
        break;
    }
    }
    return s;
}

// Closes the stream, waiting no longer than a hang would; the time it took.
std::optional<double> timedClose(Velantor::Stream& stream)
{
    const auto begun = SteadyClock::now();
    const Velantor::Stream::AsyncResult closing = stream.closeAsync();
    if (closing.wait_for(std::chrono::seconds(30)) != std::future_status::ready)
        return std::nullopt;
    closing.get();
    return std::chrono::duration<double>(SteadyClock::now() - begun).count();
}

// Runs its action when the scope ends, also when an assertion leaves early.
class AtExit {
public:
    explicit AtExit(std::function<void()> action) : m_action(std::move(action)) {}
    ~AtExit() { m_action(); }
    AtExit(const AtExit&) = delete;
    AtExit& operator=(const AtExit&) = delete;

private:
    std::function<void()> m_action;
};

std::string rowName(const Row& row)
{
    return std::string(kindName(row.kind)) + ", " + row.fault->name +
           (row.ending == Ending::FaultEnds ? "" : ", closed during the fault");
}

void runRow(const Row& row, int number)
{
    const auto rowBegun = SteadyClock::now();
    LogCapture log;
    const std::string tag = "campaign-" + std::to_string(number);
    ndisim::Scenario scenario = ndisim::defaultScenario(familyOf(row.kind));
    for (ndisim::ToolDescription& tool : scenario.tools) {
        tool.missing.clear();
        tool.disabled.clear();
    }
    const std::string link = "/tmp/ndi-streams-test-" + std::to_string(::getpid()) + "-" + tag;
    auto sim = isSerial(row.kind) ? ndisim::Simulator::serial(scenario, link)
                                  : ndisim::Simulator::tcp(scenario, "127.0.0.1", 0);
    std::optional<BreakNotify> breaks;
    if (isSerial(row.kind)) breaks.emplace(*sim);
    TempFiles files;
    const std::string name = "Campaign " + std::to_string(number);
    StreamUnderTest s = makeStream(row.kind, name, *sim, link, files, tag);
    // What this row's stream says, among what the other lane's says.
    const std::string device =
        isSerial(row.kind) ? link : "127.0.0.1:" + std::to_string(sim->tcpPort());
    const auto ours = [&](const std::string& message) {
        return message.find("'" + name + "'") != std::string::npos ||
               message.find(device) != std::string::npos;
    };
    // The other lane's failures count in the same test: this row's are noted
    // here, and its stream's last words shown with them.
    bool failed = false;
    const auto note = [&failed](bool ok) {
        failed = failed || !ok;
        return ok;
    };
    const AtExit showLogOnFailure([&] {
        if (!failed) return;
        std::vector<Velantor::LogRecord> records = log.records();
        records.erase(
            std::remove_if(records.begin(), records.end(),
                           [&](const Velantor::LogRecord& r) { return !ours(r.message); }),
            records.end());
        const std::size_t from = records.size() > 40 ? records.size() - 40 : 0;
        std::printf("[ campaign ] %s: the last %zu of its %zu log records:\n", rowName(row).c_str(),
                    records.size() - from, records.size());
        for (std::size_t i = from; i < records.size(); ++i)
            std::printf("  %d %s: %s\n", records[i].level, records[i].category.c_str(),
                        records[i].message.c_str());
    });
    Velantor::TrackingStream& stream = *s.stream;
    Observer observer(stream, *sim);

    ASSERT_TRUE(note(stream.openAsync().get()));
    std::map<std::string, int> toolOf;
    for (const auto& [id, handle] : s.handles()) {
        toolOf[id] = sim->scenarioToolOf(handle);
        ASSERT_TRUE(note(toolOf[id] >= 0)) << id << " is none of the device's tools";
    }
    ASSERT_TRUE(note(toolOf.size() == scenario.tools.size()));
    ASSERT_TRUE(note(stream.startAsync().get()));
    ASSERT_TRUE(note(waitUntil([&] { return observer.count() >= kFramesWanted; }, kFramesBack)))
        << "no frames before the fault";

    row.fault->begin(*sim);
    std::this_thread::sleep_for(kFaultHold);
    std::size_t framesAtEnd = 0;
    std::optional<double> closeTime;
    if (row.ending == Ending::ClosedDuringFault) {
        closeTime = timedClose(stream);
        row.fault->end(*sim);
    } else {
        row.fault->end(*sim);
        framesAtEnd = observer.count();
        EXPECT_TRUE(note(waitUntil([&] { return observer.count() >= framesAtEnd + kFramesWanted; },
                                   kFramesBack)))
            << "the frames did not come back";
        closeTime = timedClose(stream);
    }

    const std::vector<bool> changes = observer.changes();
    const std::size_t reconnections =
        static_cast<std::size_t>(std::count(changes.begin(), changes.end(), true));
    char closeText[32] = "HUNG";
    if (closeTime) std::snprintf(closeText, sizeof closeText, "%.3f s", *closeTime);
    std::size_t lossesLogged = 0;
    for (const std::string& m : log.messages())
        if (m == "connection to " + device + " lost; reconnecting") ++lossesLogged;
    std::printf(
        "[ campaign ] %-14s | %-30s | %-19s | close %-7s | reconnections %zu (%zu logged) "
        "| row %.1f s\n",
        kindName(row.kind), row.fault->name,
        row.ending == Ending::FaultEnds ? "fault ends" : "closed during fault", closeText,
        reconnections, lossesLogged,
        std::chrono::duration<double>(SteadyClock::now() - rowBegun).count());
    std::fflush(stdout);
    ASSERT_TRUE(note(closeTime.has_value())) << "close hangs";
    EXPECT_TRUE(note(*closeTime < std::chrono::duration<double>(kCloseHangGuard).count()))
        << "close took " << closeText;
    EXPECT_TRUE(note(stream.currentState() == Velantor::Stream::Closed));

    // Reconnecting and back alternate, and a closed stream is no longer
    // reconnecting.
    for (std::size_t i = 0; i < changes.size(); ++i)
        EXPECT_TRUE(note(changes[i] == (i % 2 == 0))) << "reconnection change " << i;
    EXPECT_TRUE(note(!stream.reconnecting()));
    EXPECT_TRUE(note(changes.empty() || !changes.back()))
        << "closed while still said to be reconnecting";

    std::map<int, std::set<std::uint32_t>> seen;  // device frames by connection
    const std::vector<Delivered> frames = observer.frames();
    std::size_t bad = 0;
    for (std::size_t i = 0; i < frames.size() && bad < 3; ++i) {
        std::string why;
        const std::optional<std::uint32_t> f = deviceFrameOf(scenario, frames[i], toolOf, &why);
        if (!f) {
            ++bad;
            failed = true;
            ADD_FAILURE() << "frame " << i << (i >= framesAtEnd ? " (after" : " (before")
                          << " the fault ended): " << why;
            continue;
        }
        if (!seen[frames[i].connection].insert(*f).second) {
            ++bad;
            failed = true;
            ADD_FAILURE() << "frame " << i << ": device frame " << *f
                          << " delivered twice on one connection";
        }
    }
}

}  // namespace

TEST(FaultCampaign, StreamsRideOutDeviceFaults)
{
    using K = Kind;
    constexpr Ending kEnds = Ending::FaultEnds;
    constexpr Ending kClosed = Ending::ClosedDuringFault;
    const Row rows[] = {
        {K::AuroraSerial, &kCablePulled, kEnds},
        {K::AuroraSerial, &kCablePulled, kClosed},
        {K::AuroraSerial, &kPowerCycledOff, kEnds},
        {K::AuroraSerial, &kPowerCycledOnLine, kEnds},
        {K::AuroraSerial, &kNoReply, kEnds},
        {K::AuroraSerial, &kTrickle, kEnds},
        {K::AuroraSerial, &kGarbage, kEnds},
        {K::AuroraSerial, &kBadCrc, kEnds},
        {K::AuroraSerial, &kErrorAll, kEnds},
        // A reply a serial line waits seconds for, when the stream is closed.
        {K::AuroraSerial, &kHungPeer, kClosed},
        // Optical tools are uploaded: after a power cycle they must be again.
        {K::PolarisSerial, &kPowerCycledOff, kEnds},
        {K::VegaCamera, &kCablePulled, kEnds},
        {K::VegaCamera, &kCablePulled, kClosed},
        {K::VegaCamera, &kPowerCycledOff, kEnds},
        {K::VegaCamera, &kNoReply, kEnds},
        {K::VegaCamera, &kTrickle, kEnds},
        {K::VegaCamera, &kGarbage, kEnds},
        {K::VegaCamera, &kBadCrc, kEnds},
        {K::VegaCamera, &kErrorAll, kEnds},
        {K::VegaCamera, &kHungPeer, kEnds},
        {K::VegaCamera, &kHungPeer, kClosed},
        {K::VegaMarkers, &kCablePulled, kEnds},
        {K::VegaMarkers, &kCablePulled, kClosed},
        {K::VegaMarkers, &kPowerCycledOff, kEnds},
        {K::VegaMarkers, &kNoReply, kEnds},
        {K::VegaMarkers, &kBadCrc, kEnds},
        {K::VegaMarkers, &kErrorAll, kEnds},
        {K::VegaMarkers, &kHungPeer, kEnds},
        {K::VegaMarkers, &kHungPeer, kClosed},
    };
    LogCapture quiet(true);  // the streams' complaints are expected here
    // The serial rows run one after the other, since the break notifier is
    // found through the environment they share; the network rows run beside
    // them, which halves the campaign's time.
    std::vector<std::pair<Row, int>> serialRows, networkRows;
    int number = 0;
    for (const Row& row : rows)
        (isSerial(row.kind) ? serialRows : networkRows).push_back({row, number++});
    const auto lane = [](const std::vector<std::pair<Row, int>>& laneRows) {
        for (const auto& [row, n] : laneRows) {
            SCOPED_TRACE(rowName(row));
            runRow(row, n);
        }
    };
    std::thread networkLane(lane, networkRows);
    lane(serialRows);
    networkLane.join();
}

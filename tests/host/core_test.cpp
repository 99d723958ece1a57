// The small host services: signals, the log's filters and capture, flag
// sets, text and path helpers.
#include <Velantor/Filesystem.h>
#include <Velantor/Flags.h>
#include <Velantor/Log.h>
#include <Velantor/Signal.h>
#include <Velantor/String.h>
#include <Velantor/TrackingInstrument.h>
#include <Velantor/TrackingInstrumentFiducialsData.h>
#include <Velantor/TrackingStreamData.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

using namespace Velantor;

TEST(Signal, DisconnectWaitsForACallbackRunningOnAnotherThread)
{
    SignalImpl<int> signal;
    std::atomic<bool> entered{false}, release{false}, finished{false};
    int receiver = 0;
    signal.connect(&receiver, [&](int) {
        entered = true;
        while (!release) std::this_thread::yield();
        finished = true;
    });
    std::thread emitter([&] { signal.emitSignal(1); });
    while (!entered) std::this_thread::yield();
    std::atomic<bool> disconnected{false};
    std::thread disconnecter([&] {
        signal.disconnect(&receiver);
        EXPECT_TRUE(finished) << "disconnect returned while the callback still ran";
        disconnected = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let disconnect start waiting
    release = true;
    emitter.join();
    disconnecter.join();
    EXPECT_TRUE(disconnected);
    EXPECT_EQ(signal.connectionCount(), 0u);
}

TEST(Signal, CallbacksMayDisconnectThemselvesAndConnectOthers)
{
    SignalImpl<int> signal;
    std::vector<int> calls;
    SignalImpl<int>::ConnectionId self = 0;
    self = signal.connect(nullptr, [&](int v) {
        calls.push_back(v);
        signal.disconnect(self);  // must not deadlock
        signal.connect(nullptr, [&](int w) { calls.push_back(100 + w); });
    });
    signal.emitSignal(1);
    signal.emitSignal(2);
    EXPECT_EQ(calls, (std::vector<int>{1, 102}));
}

TEST(Log, FiltersByGlobalAndCategoryLevelAndBuildsOnlyAcceptedMessages)
{
    LogCapture log(true);
    const int saved = Log::g_globalLevel;
    Log::g_globalLevel = Log::Warning;
    Log::setCategoryLevel("NDI", Log::Debug);
    Log::setCategoryLevel("NDI.Quiet", Log::Error);

    EXPECT_FALSE(Log::isAccepted(Log::Info, "Other"));
    EXPECT_TRUE(Log::isAccepted(Log::Warning, "Other"));
    EXPECT_TRUE(Log::isAccepted(Log::Debug, "NDI"));
    EXPECT_TRUE(Log::isAccepted(Log::Debug, "NDI.NDIPolarisTrackingStream"))
        << "sub-categories follow their parent";
    EXPECT_FALSE(Log::isAccepted(Log::Warning, "NDI.Quiet"));
    EXPECT_FALSE(Log::isAccepted(Log::Info, "NDIUtils")) << "only dotted sub-categories inherit";

    int built = 0;
    Log::logIf(Log::Info, "Other", [&] {
        ++built;
        return std::string("dropped");
    });
    Log::logIf(Log::Error, "Other", [&] {
        ++built;
        return std::string("kept");
    });
    EXPECT_EQ(built, 1);
    Log::log(Log::Debug, "NDI", "direct", "", -1);

    const auto records = log.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "kept");
    EXPECT_EQ(records[0].category, "Other");
    EXPECT_EQ(records[0].line, -1);
    EXPECT_TRUE(log.contains(Log::Debug, "NDI", "direct"));

    Log::clearCategoryLevel("NDI");
    Log::clearCategoryLevel("NDI.Quiet");
    Log::g_globalLevel = saved;
}

TEST(Flags, CombineAndTestBits)
{
    using M = InstrumentModification;
    Flags<M> f;
    EXPECT_TRUE(f.empty());
    EXPECT_FALSE(f);
    f |= M::TrackingData;
    f |= M::InstrumentList | M::MainInstrument;
    EXPECT_EQ(f.toInt(), 7u);
    EXPECT_TRUE(f.testFlag(M::MainInstrument));
    EXPECT_FALSE(Flags<M>(M::InstrumentList).testFlag(M::MainInstrument));
    EXPECT_TRUE(static_cast<bool>(f & M::InstrumentList));
    EXPECT_EQ(Flags<M>::fromInt(6), M::InstrumentList | M::MainInstrument);
}

TEST(TrackingInstrument, InequalityCoversEveryFieldAndTreatsNaNAsChanged)
{
    const TrackingInstrument base(TrackerID("id", "model", "name"), true);
    EXPECT_FALSE(base != TrackingInstrument(base));
    auto changed = [&](auto edit) {
        TrackingInstrument t = base;
        edit(t);
        return t != base;
    };
    EXPECT_TRUE(changed([](TrackingInstrument& t) { t.id.setName("other"); }));
    EXPECT_TRUE(changed([](TrackingInstrument& t) { t.id.setModelNumber("other"); }));
    EXPECT_TRUE(changed([](TrackingInstrument& t) { t.matrix(2, 3) = 1.0; }));
    EXPECT_TRUE(changed([](TrackingInstrument& t) { t.quality = 0.5; }));
    EXPECT_TRUE(changed([](TrackingInstrument& t) { t.timestamp = 1; }));
    EXPECT_TRUE(changed([](TrackingInstrument& t) { t.status = 1; }));
    EXPECT_TRUE(changed([](TrackingInstrument& t) { t.active = false; }));
    TrackingInstrument nan = base;
    nan.matrix(0, 0) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(nan != TrackingInstrument(nan));
    EXPECT_EQ(base.matrix, Eigen::Matrix4d::Identity());
    EXPECT_EQ(base.id.ID(), "id");
    EXPECT_EQ(base.id.modelNumber(), "model");
    EXPECT_EQ(base.id.name(), "name");
}

TEST(String, SplitTrimContainsJoin)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(String::split("a, b, , c", ", "), (V{"a", "b", "", "c"}));
    EXPECT_EQ(String::split("a, b, , c", ", ", true), (V{"a", "b", "c"}));
    EXPECT_EQ(String::split("", ','), (V{""}));
    EXPECT_EQ(String::split("x", ""), (V{"x"}));
    EXPECT_EQ(String::trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(String::trim(" \t "), "");
    EXPECT_TRUE(String::contains("ndi-auto-x", "auto"));
    EXPECT_FALSE(String::contains("ndi", "auto"));
    EXPECT_EQ(String::join({"9600", "14400", "19200"}, ", "), "9600, 14400, 19200");
    EXPECT_EQ(String::join({}, ", "), "");
}

TEST(Filesystem, PathParts)
{
    const Filesystem::Path p("/tmp/dir/tool.v2.rom");
    EXPECT_EQ(p.fileName(), "tool.v2.rom");
    EXPECT_EQ(p.baseName(), "tool.v2");
    EXPECT_EQ(p.extension(), "rom");
    EXPECT_EQ(p.parentPath().string(), "/tmp/dir");
    EXPECT_EQ((Filesystem::Path("/tmp") / "x").string(), "/tmp/x");
    EXPECT_EQ(Filesystem::Path(".hidden").baseName(), ".hidden");
    EXPECT_TRUE(Filesystem::Path("/tmp").isDirectory());
    EXPECT_FALSE(Filesystem::Path("/tmp").isFile());
    EXPECT_FALSE(Filesystem::Path("").exists());
}

TEST(DataComponentList, AddReplacesAComponentOfTheSameType)
{
    struct Other : DataComponentBase<Other> {
        int value = 0;
    };
    TrackingStreamData frame("frame");
    auto first = std::make_unique<TrackingInstrumentFiducialsData>();
    first->positions.emplace_back(1, 2, 3);
    first->keys.push_back(std::hash<std::string>()(""));
    frame.components().add(std::move(first));
    Other other;
    other.value = 5;
    frame.components().add(other);
    auto second = std::make_unique<TrackingInstrumentFiducialsData>();
    second->positions.emplace_back(4, 5, 6);
    second->positions.emplace_back(7, 8, 9);
    second->keys.assign(2, 42);
    frame.components().add(std::move(second));

    EXPECT_EQ(frame.components().size(), 2u);
    const auto* fiducials = frame.components().get<TrackingInstrumentFiducialsData>();
    ASSERT_NE(fiducials, nullptr);
    EXPECT_EQ(fiducials->positions.size(), 2u);
    EXPECT_EQ(fiducials->positions[1], Eigen::Vector3d(7, 8, 9));
    ASSERT_NE(frame.components().get<Other>(), nullptr);
    EXPECT_EQ(frame.components().get<Other>()->value, 5);

    const DataComponentList copy = frame.components();  // deep
    frame.components().get<Other>()->value = 6;
    EXPECT_EQ(copy.get<Other>()->value, 5);
    EXPECT_TRUE(frame.components().remove<Other>());
    EXPECT_EQ(frame.components().get<Other>(), nullptr);
}

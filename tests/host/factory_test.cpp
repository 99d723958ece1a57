// The host's algorithm factory as the plugin relies on it, the hand-over of
// a stream algorithm's output, and the workspace conversions.
#include <Velantor/AlgorithmFactory.h>
#include <Velantor/Log.h>
#include <Velantor/Plugin.h>
#include <Velantor/Stream.h>
#include <Velantor/StreamUtils.h>
#include <Velantor/WorkspaceConversionRegistry.h>

#include <gtest/gtest.h>

#include <stdexcept>

using namespace Velantor;

namespace {

struct Recorder : IoAlgorithm {
    void compute() override {}
    void configure(const Properties* p) override
    {
        int v = 0;
        if (p && p->param("value", v)) values.push_back(v);
    }
    std::vector<int> values;
};

struct Exploding : IoAlgorithm {
    Exploding() { throw std::runtime_error("no device library"); }
    void compute() override {}
};

class NullStream : public Stream {
public:
    NullStream() : Stream("null") {}
    ~NullStream() override { closeAsync().wait(); }
    bool openImpl() override { return true; }
    bool closeImpl() override { return true; }
    bool startImpl() override { return true; }
    bool stopImpl() override { return true; }
    WorkResult doWork() override { return WorkResult(StreamUtils::systemTimeNs() + 1000000); }
};

struct StreamAlgo : StreamIoAlgorithm {
    ~StreamAlgo() override
    {
        if (!outputTaken()) delete s;
    }
    void compute() override { s = new NullStream; }
    Stream* stream() const override { return s; }
    void resetStream() override
    {
        if (!outputTaken()) delete s;
        s = nullptr;
        resetOutputTaken();
    }
    Stream* s = nullptr;
};

}  // namespace

TEST(AlgorithmFactory, RegistersUnderFullIdsAndKeepsTheFirstOfADuplicate)
{
    LogCapture log(true);
    AlgorithmFactory f("NDITracking");
    EXPECT_TRUE(f.registerAlgorithm<Recorder>("Aurora", "IO;NDI Tracking;Aurora"));
    EXPECT_FALSE(f.registerAlgorithm<Exploding>("Aurora", "second"));
    ASSERT_EQ(f.descriptors().size(), 1u);
    EXPECT_EQ(f.descriptors()[0].id, "NDITracking.Aurora");
    EXPECT_EQ(f.descriptors()[0].name, "IO;NDI Tracking;Aurora");
    EXPECT_TRUE(f.descriptors()[0].attributes.empty());
    EXPECT_EQ(log.messages("AlgorithmFactory"),
              (std::vector<std::string>{"Algorithm already registered: NDITracking.Aurora"}));
    EXPECT_TRUE(log.contains(Log::Warning, "AlgorithmFactory",
                             "Algorithm already registered: NDITracking.Aurora"));
}

TEST(AlgorithmFactory, OffersAlgorithmsOnlyForAnEmptyInputList)
{
    AlgorithmFactory f("F");
    f.registerAlgorithm<Recorder>("R", "Recorder");
    NullStream input;
    const DataList some{&input};
    EXPECT_EQ(f.compatibleAlgorithms({}), (std::vector<std::string>{"F.R"}));
    EXPECT_TRUE(f.compatibleAlgorithms(some).empty());
    EXPECT_EQ(f.create("F.R", some), nullptr);
    EXPECT_EQ(f.create("F.unknown"), nullptr);
    auto a = f.create("F.R");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->id(), "F.R");
    EXPECT_EQ(a->name(), "Recorder");
    EXPECT_EQ(a->status(), Algorithm::Success);
}

TEST(AlgorithmFactory, CreationAppliesGlobalSettingsThenDefaults)
{
    AlgorithmFactory f("G");
    Properties defaults;
    defaults.setParam("value", 2);
    f.registerAlgorithm<Recorder>("WithDefaults", "d", {}, defaults);
    f.registerAlgorithm<Recorder>("Plain", "p");
    Properties global;
    global.setParam("value", 1);
    IoAlgorithm::setGlobalSettings("G.WithDefaults", global);
    IoAlgorithm::setGlobalSettings("G.Plain", global);

    auto withDefaults = f.create("G.WithDefaults");
    auto plain = f.create("G.Plain");
    EXPECT_EQ(static_cast<Recorder&>(*withDefaults).values, (std::vector<int>{1, 2}));
    EXPECT_EQ(static_cast<Recorder&>(*plain).values, (std::vector<int>{1}));

    IoAlgorithm::setGlobalSettings("G.Plain", Properties());
    EXPECT_TRUE(static_cast<Recorder&>(*f.create("G.Plain")).values.empty());
}

TEST(AlgorithmFactory, AConstructorThatThrowsIsLoggedAndGivesNothing)
{
    LogCapture log(true);
    AlgorithmFactory f("E");
    f.registerAlgorithm<Exploding>("X", "Exploding one");
    EXPECT_EQ(f.create("E.X"), nullptr);
    EXPECT_TRUE(
        log.contains(Log::Error, "", "Cannot create algorithm Exploding one: no device library"));
}

TEST(StreamAlgorithmBase, TakeOutputHandsTheStreamOverOnce)
{
    StreamAlgo a;
    EXPECT_EQ(a.takeOutput(), nullptr);
    EXPECT_TRUE(a.dataGroup().empty());
    a.compute();
    EXPECT_EQ(a.dataGroup().size(), 1u);
    std::unique_ptr<Stream> taken = a.takeOutput();
    EXPECT_EQ(taken.get(), a.s);
    EXPECT_TRUE(a.outputTaken());
    EXPECT_EQ(a.takeOutput(), nullptr) << "handed over already";
    a.resetStream();  // must not destroy the stream the caller now owns
    EXPECT_FALSE(a.outputTaken());
    EXPECT_EQ(taken->name(), "null");
}

TEST(WorkspaceConversionRegistry, AppliesNewerConversionsInVersionOrder)
{
    auto& registry = WorkspaceConversionRegistry::instance();
    const auto before = registry.conversions().size();
    std::vector<std::string> ran;
    registry.addConversion({"second", 40, [&](Properties&, const Filesystem::Path&) {
                                ran.push_back("40");
                                return false;
                            }});
    registry.addConversion({"first", 33, [&](Properties& ws, const Filesystem::Path& path) {
                                ran.push_back("33:" + path.fileName());
                                ws.setParam("converted", true);
                                return true;
                            }});
    EXPECT_EQ(registry.conversions().size(), before + 2);
    Properties ws;
    EXPECT_TRUE(registry.convert(ws, Filesystem::Path("/w/old.vws"), 32));
    EXPECT_EQ(ran, (std::vector<std::string>{"33:old.vws", "40"}));
    EXPECT_TRUE(ws.hasParam("converted"));
    ran.clear();
    EXPECT_FALSE(registry.convert(ws, Filesystem::Path("/w/new.vws"), 33));
    EXPECT_EQ(ran, (std::vector<std::string>{"40"}));
}

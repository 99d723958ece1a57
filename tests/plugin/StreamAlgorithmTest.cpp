// The plugin's algorithms, created by the host through the loaded library's
// factory, making their streams against simulated systems: Aurora and Vicra
// on pseudo-terminals, a Vega over loopback TCP.
#include "LoadedNdiPlugin.h"

#include "../hostgui/GuiTestApp.h"

#include <ndisim/Simulator.h>

#include <Velantor/Algorithm.h>
#include <Velantor/AlgorithmControllerFactory.h>
#include <Velantor/AlgorithmFactory.h>
#include <Velantor/OpticalTrackingStreamController.h>
#include <Velantor/Plugin.h>
#include <Velantor/Properties.h>
#include <Velantor/Stream.h>
#include <Velantor/StreamControllerBase.h>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

using Velantor::Algorithm;
using Velantor::Properties;
using Velantor::Stream;
using Velantor::StreamAlgorithmBase;

namespace {

struct Family {
    const char* algorithm;
    ndisim::Family simulated;
    bool serial;
};

const Family kFamilies[] = {
    {"NDITracking.AuroraTrackingStream", ndisim::Family::Aurora, true},
    {"NDITracking.PolarisVicraTrackingStream", ndisim::Family::Polaris, true},
    {"NDITracking.PolarisVegaTrackingStream", ndisim::Family::Vega, false},
};

std::unique_ptr<Algorithm> createAlgorithm(const std::string& id)
{
    auto algorithm = loadedNdiPlugin().plugin()->algorithmFactory()->create(id);
    EXPECT_NE(algorithm, nullptr) << id;
    return algorithm;
}

Stream* streamOf(const Algorithm& algorithm)
{
    return dynamic_cast<const StreamAlgorithmBase&>(algorithm).stream();
}

std::unique_ptr<ndisim::Simulator> simulate(const Family& family)
{
    auto scenario = ndisim::defaultScenario(family.simulated);
    return family.serial ? ndisim::Simulator::serial(scenario)
                         : ndisim::Simulator::tcp(scenario, "127.0.0.1", 0);
}

// Where the stream finds the simulated system.
Properties deviceSettings(const Family& family, const ndisim::Simulator& sim)
{
    Properties p;
    if (family.serial) {
        p.setParam("hardwareDevice", sim.serialDevice());
    } else {
        p.setParam("hardwareDevice", sim.tcpAddress());
        p.setParam("hardwarePort", sim.tcpPort());
    }
    return p;
}

// Waits for something the simulator's thread will get to; the limit only
// keeps a broken build from hanging, it is no timing claim.
bool eventually(const std::function<bool()>& reached)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!reached()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A loopback port nobody listens on.
int closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

TEST(StreamAlgorithm, EachFamilyOpensAndStartsItsStreamOnTheSimulator)
{
    for (const Family& family : kFamilies) {
        SCOPED_TRACE(family.algorithm);
        auto sim = simulate(family);
        auto algorithm = createAlgorithm(family.algorithm);
        ASSERT_NE(algorithm, nullptr);
        Properties settings = deviceSettings(family, *sim);
        settings.setParam("open", true);
        settings.setParam("start", true);
        algorithm->configure(&settings);
        algorithm->compute();
        EXPECT_EQ(algorithm->status(), Algorithm::Success);
        Stream* stream = streamOf(*algorithm);
        ASSERT_NE(stream, nullptr);
        EXPECT_EQ(stream->currentState(), Stream::Running);
        EXPECT_TRUE(sim->stats().tracking);
        // The algorithm still owns the stream: it goes, closed, with it.
        algorithm.reset();
        EXPECT_FALSE(sim->stats().tracking);
        if (!family.serial) {
            // The simulator notices the closed socket on its own thread.
            EXPECT_TRUE(eventually([&] { return !sim->stats().connected; }));
        }
    }
}

TEST(StreamAlgorithm, ABadDeviceFailsWithNothingLeftBehind)
{
    for (const Family& family : kFamilies) {
        SCOPED_TRACE(family.algorithm);
        auto algorithm = createAlgorithm(family.algorithm);
        ASSERT_NE(algorithm, nullptr);
        Properties settings;
        if (family.serial) {
            settings.setParam("hardwareDevice", "/dev/nonexistent-ndi-line");
        } else {
            settings.setParam("hardwareDevice", "127.0.0.1");
            settings.setParam("hardwarePort", closedPort());
        }
        settings.setParam("open", true);
        settings.setParam("start", true);
        algorithm->configure(&settings);
        algorithm->compute();
        EXPECT_EQ(algorithm->status(), Algorithm::Failure);
        // The stream stays for the host to show; the algorithm still owns it.
        ASSERT_NE(streamOf(*algorithm), nullptr);
        EXPECT_EQ(streamOf(*algorithm)->currentState(), Stream::Closed);
    }
}

TEST(StreamAlgorithm, OpenAndStartFollowTheirKeysAndFallbacks)
{
    const Family& vega = kFamilies[2];
    auto sim = simulate(vega);
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, bool>> flags;
        Stream::State state;
    };
    const std::vector<Case> cases = {
        {"no keys: made and configured only", {}, Stream::Closed},
        {"start alone has no effect", {{"start", true}}, Stream::Closed},
        {"open", {{"open", true}}, Stream::Open},
        {"open and start", {{"open", true}, {"start", true}}, Stream::Running},
        {"autoOpen and autoStart", {{"autoOpen", true}, {"autoStart", true}}, Stream::Running},
        {"connect", {{"connect", true}}, Stream::Open},
        {"open wins over autoOpen", {{"open", false}, {"autoOpen", true}}, Stream::Closed},
        {"autoOpen wins over connect", {{"autoOpen", false}, {"connect", true}}, Stream::Closed},
        {"start wins over autoStart",
         {{"open", true}, {"start", false}, {"autoStart", true}},
         Stream::Open},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto algorithm = createAlgorithm(vega.algorithm);
        Properties settings = deviceSettings(vega, *sim);
        for (const auto& [key, value] : c.flags) settings.setParam(key, value);
        algorithm->configure(&settings);
        algorithm->compute();
        EXPECT_EQ(algorithm->status(), Algorithm::Success);
        ASSERT_NE(streamOf(*algorithm), nullptr);
        EXPECT_EQ(streamOf(*algorithm)->currentState(), c.state);
    }
}

TEST(StreamAlgorithm, ASecondComputeClosesTheFirstStreamUnlessTheHostTookIt)
{
    const Family& vega = kFamilies[2];
    auto sim = simulate(vega);
    auto algorithm = createAlgorithm(vega.algorithm);
    Properties settings = deviceSettings(vega, *sim);
    settings.setParam("open", true);
    algorithm->configure(&settings);
    algorithm->compute();
    ASSERT_EQ(algorithm->status(), Algorithm::Success);
    EXPECT_EQ(sim->stats().connections, 1u);

    // The camera serves one client at a time: the second open succeeds only
    // because the first stream went.
    algorithm->compute();
    EXPECT_EQ(algorithm->status(), Algorithm::Success);
    EXPECT_EQ(sim->stats().connections, 2u);
    EXPECT_EQ(streamOf(*algorithm)->currentState(), Stream::Open);

    // A stream the host took is the host's: a new compute leaves it alone.
    auto& streams = dynamic_cast<StreamAlgorithmBase&>(*algorithm);
    std::unique_ptr<Stream> taken = streams.takeOutput();
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(streams.takeOutput(), nullptr);
    settings.setParam("open", false);
    algorithm->configure(&settings);
    algorithm->compute();
    EXPECT_NE(streamOf(*algorithm), taken.get());
    EXPECT_EQ(taken->currentState(), Stream::Open);
    algorithm.reset();
    EXPECT_EQ(taken->currentState(), Stream::Open);
    EXPECT_TRUE(sim->stats().connected);
}

TEST(StreamAlgorithm, ConfigurationComesFromTheStreamOrWhatWasStored)
{
    const Family& aurora = kFamilies[0];
    auto algorithm = createAlgorithm(aurora.algorithm);
    Properties untouched("target");
    untouched.setParam("keep", 1);
    Properties target = untouched;
    algorithm->configuration(&target);
    EXPECT_EQ(target, untouched);

    Properties settings;
    settings.setParam("hardwareDevice", "/dev/ttyUSB3");
    settings.setParam("open", true);
    algorithm->configure(&settings);
    algorithm->configuration(&target);
    EXPECT_EQ(target.subProperties().size(), 0u);
    std::string device;
    EXPECT_TRUE(target.param("hardwareDevice", device));
    EXPECT_EQ(device, "/dev/ttyUSB3");

    settings.setParam("open", false);
    algorithm->configure(&settings);
    algorithm->compute();
    Properties fromStream;
    algorithm->configuration(&fromStream);
    EXPECT_TRUE(fromStream.param("hardwareDevice", device));
    EXPECT_EQ(device, "/dev/ttyUSB3");
    // The flags are the algorithm's, not the stream's settings.
    EXPECT_FALSE(fromStream.hasParam("open"));
}

namespace {

struct ForeignAlgorithm : Algorithm {
    void compute() override {}
};

}  // namespace

TEST(ControllerFactory, GivesEachFamilyItsPanel)
{
    guiTestApp();
    const Velantor::AlgorithmControllerFactory* factory =
        loadedNdiPlugin().plugin()->controllerFactory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->create(nullptr), nullptr);
    ForeignAlgorithm foreign;
    EXPECT_EQ(factory->create(&foreign), nullptr);
    for (const Family& family : kFamilies) {
        SCOPED_TRACE(family.algorithm);
        auto algorithm = createAlgorithm(family.algorithm);
        auto controller = factory->create(algorithm.get());
        ASSERT_NE(controller, nullptr);
        EXPECT_EQ(controller->algorithm(), algorithm.get());
        const bool optical =
            dynamic_cast<Velantor::OpticalTrackingStreamController*>(controller.get()) != nullptr;
        EXPECT_EQ(optical, !family.serial);
        auto* panel = dynamic_cast<Velantor::StreamControllerBase*>(controller.get());
        ASSERT_NE(panel, nullptr);
        panel->init();
    }
}

// A registry shared the way a running stream shares it: a worker rewriting
// every instrument each frame, the user interface creating, removing and
// selecting instruments, and host readers taking copies, all at once. Readers
// must never see an instrument half-rewritten, an id order broken or a frame
// going backwards; under ThreadSanitizer the run must also be race-free.
#include <ThreadSafeInstruments.h>

#include <Velantor/Log.h>
#include <Velantor/TrackingStream.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace Velantor {
namespace {

struct Frame {
    std::uint64_t number = 0;
};

using Registry = ThreadSafeInstruments<Frame>;

// Owns the registry the way a tracking stream does, so that one reader can
// take frames through the host's own path. Never opened.
class OwningStream : public TrackingStream {
public:
    OwningStream() : TrackingStream("registry owner")
    {
        auto owned = std::make_unique<Registry>();
        registry = owned.get();
        setInstruments(std::move(owned));
    }
    bool openImpl() override { return true; }
    bool closeImpl() override { return true; }
    bool startImpl() override { return true; }
    bool stopImpl() override { return true; }
    WorkResult doWork() override { return WorkResult(0, false); }

    Registry* registry = nullptr;
};

constexpr int kFixed = 24;
constexpr std::uint64_t kMinFrames = 1000;
constexpr int kCreations = 400;
constexpr int kReaders = 3;
constexpr int kReads = 400;

std::string fixedId(int i) { return "fixed-" + std::string(i < 10 ? "0" : "") + std::to_string(i); }

// A written instrument carries its frame number in every tracking field;
// a fresh one is untouched.
bool consistent(const TrackingInstrument& instrument)
{
    const double v = static_cast<double>(instrument.timestamp);
    if (instrument.timestamp == 0)
        return instrument.matrix.isIdentity(0.0) && instrument.quality == 0.0;
    return (instrument.matrix.array() == v).all() && instrument.quality == v &&
           instrument.status == static_cast<int>(instrument.timestamp % 7);
}

TEST(ThreadSafeInstrumentsConcurrencyTest, ReadersWriterAndListChangesTogether)
{
    // The generated instruments have no special object, which the writer's
    // modifyAll reports on every frame; keep that out of the output.
    Log::setCategoryLevel("ThreadSafeInstruments", Log::Error + 1);
    OwningStream stream;
    Registry& registry = *stream.registry;
    for (int i = 0; i < kFixed; ++i)
        registry.create(TrackerID(fixedId(i), "model", "name"), std::make_unique<Frame>(), true);

    // The writer goes on until the other threads are through, so that every
    // read and every list change meets a writer at work, however the threads
    // happen to be scheduled.
    std::atomic<int> othersDone{0};
    std::uint64_t lastFrame = 0;
    std::atomic<int> failures{0};
    auto fail = [&] { failures.fetch_add(1, std::memory_order_relaxed); };

    std::thread writer([&] {
        std::uint64_t frame = 0;
        while (frame < kMinFrames || othersDone.load() < kReaders + 1) {
            ++frame;
            const auto flags = registry.modifyAll(Registry::InstrumentSpecialFunction(
                [frame](const std::string&, TrackingInstrument& instrument, Frame& f) {
                    instrument.matrix.setConstant(static_cast<double>(frame));
                    instrument.quality = static_cast<double>(frame);
                    instrument.timestamp = frame;
                    instrument.status = static_cast<int>(frame % 7);
                    f.number = frame;
                }));
            if (!flags.testFlag(InstrumentModification::TrackingData)) fail();
        }
        lastFrame = frame;
    });

    std::thread lists([&] {
        for (int i = 0; i < kCreations; ++i) {
            const std::string id = "extra-" + std::to_string(i);
            if (!registry.create(TrackerID(id), std::make_unique<Frame>(), true)
                     .testFlag(InstrumentModification::InstrumentList))
                fail();
            registry.setMainById(i % 2 ? id : fixedId(i % kFixed));
            // Only this thread makes generated ids, and it removes each one
            // again, so the first free one is always gen0.
            registry.createWithPrefix("gen", "generated", "model", i % 3 == 0);
            registry.setMain(static_cast<std::uint32_t>(i % kFixed));
            registry.setActive(id, false);
            if (!registry.remove(id).testFlag(InstrumentModification::InstrumentList) ||
                !registry.remove("gen0").testFlag(InstrumentModification::InstrumentList))
                fail();
        }
        ++othersDone;
    });

    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            std::uint64_t lastSeen = 0;
            const std::string watched = fixedId(r * 7);
            for (int n = 0; n < kReads; ++n) {
                const auto all = registry.instruments();
                for (std::size_t i = 0; i < all.size(); ++i) {
                    if (!consistent(all[i]) || (i > 0 && !(all[i - 1].id.ID() < all[i].id.ID())))
                        fail();
                }
                const auto one = registry.find(watched);
                if (!one || !consistent(*one) || one->timestamp < lastSeen)
                    fail();
                else
                    lastSeen = one->timestamp;
                // The special object moves in step with its instrument.
                registry.modify(watched,
                                Registry::InstrumentSpecialFunction(
                                    [&](const std::string&, TrackingInstrument& i, Frame& f) {
                                        if (f.number != i.timestamp) fail();
                                    }));
                const auto frame = stream.createTrackingStreamData();
                for (const TrackingInstrument& instrument : frame->instruments) {
                    if (!consistent(instrument)) fail();
                }
                const auto main = registry.mainInstrument();
                if (main && !consistent(*main)) fail();
                registry.mainName();
                registry.mainIndex();
                registry.isActive(watched);
                if (registry.size() < kFixed) fail();
            }
            ++othersDone;
        });
    }

    writer.join();
    lists.join();
    for (std::thread& reader : readers) reader.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(registry.size(), static_cast<std::uint32_t>(kFixed));
    for (const TrackingInstrument& instrument : registry.instruments()) {
        EXPECT_EQ(instrument.timestamp, lastFrame) << instrument.id.ID();
        EXPECT_TRUE(consistent(instrument)) << instrument.id.ID();
    }
    EXPECT_TRUE(registry.find(registry.mainId()));
    Log::clearCategoryLevel("ThreadSafeInstruments");
}

}  // namespace
}  // namespace Velantor

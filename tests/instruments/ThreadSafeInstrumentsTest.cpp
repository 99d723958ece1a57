#include <ThreadSafeInstruments.h>

#include <Velantor/Log.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace Velantor {
namespace {

// A per-instrument object that counts its own destructions, so that the
// tests can tell when the registry let one go.
struct Special {
    Special(int v, int* destroyedCounter) : value(v), destroyed(destroyedCounter) {}
    ~Special()
    {
        if (destroyed) ++*destroyed;
    }
    int value;
    int* destroyed;
};

using Registry = ThreadSafeInstruments<Special>;
using Mods = Flags<InstrumentModification>;

constexpr unsigned kData = 1;
constexpr unsigned kMain = 2;
constexpr unsigned kList = 4;

const std::string kCategory = "ThreadSafeInstruments";

std::unique_ptr<Special> special(int value, int* destroyed = nullptr)
{
    return std::make_unique<Special>(value, destroyed);
}

std::vector<std::string> ids(const Registry& registry)
{
    std::vector<std::string> result;
    for (const TrackingInstrument& instrument : registry.instruments())
        result.push_back(instrument.id.ID());
    return result;
}

// Every message the registry logged since the capture started.
std::vector<std::string> registryMessages(const LogCapture& capture)
{
    return capture.messages(kCategory);
}

// The flags and main-instrument bookkeeping of one long sequence of
// operations; each step states what it must report, what the main instrument
// is afterwards and what (if anything) it logs.
TEST(ThreadSafeInstrumentsTest, CreationRemovalAndMainSelection)
{
    struct Step {
        const char* what;
        std::function<Mods(Registry&)> op;
        unsigned flags;
        std::string mainId;
        std::uint32_t mainIndex;
        std::string message;
    };
    auto create = [](std::string id) {
        return [id](Registry& r) { return r.create(TrackerID(id), true); };
    };
    auto remove = [](std::string id) { return [id](Registry& r) { return r.remove(id); }; };
    auto setMain = [](std::uint32_t i) { return [i](Registry& r) { return r.setMain(i); }; };
    auto setMainById = [](std::string id) {
        return [id](Registry& r) { return r.setMainById(id); };
    };
    auto clear = [](Registry& r) { return r.clear(); };

    const std::vector<Step> steps = {
        {"first creation becomes main", create("b"), kList | kMain, "b", 0, ""},
        {"later creation after the main", create("c"), kList, "b", 0, ""},
        {"creation before the main moves its index", create("a"), kList, "b", 1, ""},
        {"duplicate creation", create("b"), 0, "b", 1,
         "create: Instrument with ID b already exists"},
        {"main by its own id", setMainById("b"), 0, "b", 1, ""},
        {"main by unknown id", setMainById("x"), 0, "b", 1,
         "setMainById: Instrument with ID x not found"},
        {"main by id", setMainById("c"), kMain, "c", 2, ""},
        {"main by its own index", setMain(2), 0, "c", 2, ""},
        {"main by index", setMain(0), kMain, "a", 0, ""},
        {"main by index past the end", setMain(3), 0, "a", 0,
         "Index 3 exceeds size of instruments"},
        {"remove unknown id", remove("x"), 0, "a", 0, "remove: Instrument with ID x not found"},
        {"remove an instrument after the main", remove("b"), kList, "a", 0, ""},
        {"remove the main", remove("a"), kList | kMain, "c", 0, ""},
        {"creation before the main again", create("a"), kList, "c", 1, ""},
        {"remove an instrument before the main", remove("a"), kList, "c", 0, ""},
        {"remove the last instrument", remove("c"), kList | kMain, "", 0, ""},
        {"main by index in an empty registry", setMain(2), kMain, "", 2, ""},
        {"clear an empty registry without main", clear, 0, "", 2, ""},
        {"creation into an empty registry resets the index", create("m"), kList | kMain, "m", 0,
         ""},
        {"an empty id is an id like any other", create(""), kList, "m", 1, ""},
        {"removing the main hands over to the empty id", remove("m"), kList | kMain, "", 0, ""},
        {"main by the empty id it already has", setMainById(""), 0, "", 0, ""},
        {"clear with instruments", clear, kList, "", 0, ""},
        {"main by empty id in an empty registry", setMainById(""), 0, "", 0, ""},
        {"main by the index it already has", setMain(0), 0, "", 0, ""},
        {"fill again", create("z"), kList | kMain, "z", 0, ""},
        {"clear with a main", clear, kList | kMain, "", 0, ""},
    };

    Registry registry;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        LogCapture capture(true);
        EXPECT_EQ(step.op(registry).toInt(), step.flags);
        EXPECT_EQ(registry.mainId(), step.mainId);
        EXPECT_EQ(registry.mainIndex(), step.mainIndex);
        const auto main = registry.mainInstrument();
        ASSERT_EQ(main.has_value(), registry.find(step.mainId).has_value());
        if (main) {
            EXPECT_EQ(main->id.ID(), step.mainId);
        }
        EXPECT_EQ(registry.mainName(), main ? main->id.name() : "");
        const auto messages = registryMessages(capture);
        if (step.message.empty()) {
            EXPECT_TRUE(messages.empty()) << messages.front();
        } else {
            EXPECT_EQ(messages, std::vector<std::string>{step.message});
            EXPECT_TRUE(capture.contains(Log::Error, kCategory, step.message));
        }
    }
}

TEST(ThreadSafeInstrumentsTest, CreationKeepsIdentityDefaultsAndOwnership)
{
    int destroyed = 0;
    {
        LogCapture capture(true);
        Registry registry;
        EXPECT_EQ(registry.create(TrackerID("tool", "model", "name"), special(1, &destroyed), false)
                      .toInt(),
                  kList | kMain);
        // A refused creation destroys the object it was handed and leaves the
        // existing entry alone.
        EXPECT_EQ(
            registry.create(TrackerID("tool", "other", "other"), special(2, &destroyed)).toInt(),
            0u);
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(registryMessages(capture),
                  std::vector<std::string>{"create: Instrument with ID tool already exists"});
        int seen = 0;
        registry.modify("tool", Registry::SpecialFunction(
                                    [&](const std::string&, Special& s) { seen = s.value; }));
        EXPECT_EQ(seen, 1);

        const auto tool = registry.find("tool");
        ASSERT_TRUE(tool);
        EXPECT_EQ(tool->id, TrackerID("tool", "model", "name"));
        EXPECT_TRUE(tool->matrix.isIdentity(0.0));
        EXPECT_EQ(tool->quality, 0.0);
        EXPECT_EQ(tool->timestamp, 0u);
        EXPECT_EQ(tool->status, 0);
        EXPECT_FALSE(tool->active);
        EXPECT_EQ(registry.mainName(), "name");

        // createWithPrefix(prefix, name, model number): the name comes first.
        EXPECT_EQ(registry.createWithPrefix("t", "Pointer", "8700340", true).toInt(), kList);
        const auto generated = registry.find("t0");
        ASSERT_TRUE(generated);
        EXPECT_EQ(generated->id, TrackerID("t0", "8700340", "Pointer"));
        EXPECT_TRUE(generated->active);

        registry.create(TrackerID("gone"), special(3, &destroyed));
        EXPECT_EQ(registry.remove("gone").toInt(), kList);
        EXPECT_EQ(destroyed, 2);
        registry.create(TrackerID("cleared"), special(4, &destroyed));
        registry.clear();
        EXPECT_EQ(destroyed, 4);
        registry.create(TrackerID("left"), special(5, &destroyed));
    }
    EXPECT_EQ(destroyed, 5);  // the registry's destruction takes the rest
}

TEST(ThreadSafeInstrumentsTest, GeneratedIdsTakeTheFirstFreeNumber)
{
    struct Case {
        std::vector<std::string> present;
        std::string prefix;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{}, "tool", "tool0"},        {{"tool0", "tool1"}, "tool", "tool2"},
        {{"tool1"}, "tool", "tool0"}, {{"tool0", "tool00", "tool01", "tool10"}, "tool", "tool1"},
        {{"0", "1"}, "", "2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        Registry registry;
        for (const std::string& id : c.present) registry.create(TrackerID(id), true);
        EXPECT_EQ(registry.createWithPrefix(c.prefix, "n", "m", true).toInt() & kList, kList);
        EXPECT_EQ(registry.size(), c.present.size() + 1);
        EXPECT_TRUE(registry.find(c.expected));
    }
}

TEST(ThreadSafeInstrumentsTest, IterationFollowsByteOrderOfIds)
{
    Registry registry;
    for (const char* id : {"b", "\xc3\xa9", "a", "B", "a0", "10", "9"})
        registry.create(TrackerID(id), special(0));
    const std::vector<std::string> expected = {"10", "9", "B", "a", "a0", "b", "\xc3\xa9"};
    EXPECT_EQ(ids(registry), expected);

    std::vector<std::string> visited;
    registry.modifyAll([&](const std::string& id, TrackingInstrument&) { visited.push_back(id); });
    EXPECT_EQ(visited, expected);
    visited.clear();
    registry.modifyAll(
        Registry::SpecialFunction([&](const std::string& id, Special&) { visited.push_back(id); }));
    EXPECT_EQ(visited, expected);

    EXPECT_EQ(registry.setMain(3).toInt(), kMain);
    EXPECT_EQ(registry.mainId(), "a");
}

// The modification check is shared by all four callback forms; a form wired
// to the wrong instrument, or checking the wrong copy, shows up here.
TEST(ThreadSafeInstrumentsTest, CallbacksReportWhatTheyChanged)
{
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        std::function<void(TrackingInstrument&)> edit;
        unsigned flags;
        bool restored;  // the whole instrument went back to its state before
    };
    const std::vector<Case> cases = {
        {"nothing", [](TrackingInstrument&) {}, 0, false},
        {"active only", [](TrackingInstrument& i) { i.active = !i.active; }, 0, false},
        {"the same matrix again",
         [](TrackingInstrument& i) { i.matrix = Eigen::Matrix4d::Identity(); }, 0, false},
        {"one matrix element", [](TrackingInstrument& i) { i.matrix(2, 3) = 5.0; }, kData, false},
        {"quality", [](TrackingInstrument& i) { i.quality = 0.5; }, kData, false},
        {"timestamp", [](TrackingInstrument& i) { i.timestamp = 7; }, kData, false},
        {"status", [](TrackingInstrument& i) { i.status = 3; }, kData, false},
        {"name", [](TrackingInstrument& i) { i.id.setName("renamed"); }, kList, false},
        {"model number", [](TrackingInstrument& i) { i.id.setModelNumber("m2"); }, kList, false},
        {"name and pose",
         [](TrackingInstrument& i) {
             i.id.setName("renamed");
             i.matrix(0, 0) = -1.0;
         },
         kList | kData, false},
        {"NaN in the matrix", [](TrackingInstrument& i) { i.matrix(1, 1) = nan; }, kData, false},
        {"NaN quality", [](TrackingInstrument& i) { i.quality = nan; }, kData, false},
        {"the id",
         [](TrackingInstrument& i) {
             i.id.setID("other");
             i.id.setName("renamed");
             i.quality = 0.25;
             i.active = false;
         },
         0, true},
    };

    using Form = std::function<Mods(Registry&, const std::function<void(TrackingInstrument&)>&)>;
    const std::vector<std::pair<const char*, Form>> forms = {
        {"modify",
         [](Registry& r, const std::function<void(TrackingInstrument&)>& edit) {
             return r.modify("tool", [&](const std::string&, TrackingInstrument& i) { edit(i); });
         }},
        {"modify with special",
         [](Registry& r, const std::function<void(TrackingInstrument&)>& edit) {
             return r.modify("tool", Registry::InstrumentSpecialFunction(
                                         [&](const std::string&, TrackingInstrument& i, Special&) {
                                             edit(i);
                                         }));
         }},
        {"modifyAll",
         [](Registry& r, const std::function<void(TrackingInstrument&)>& edit) {
             return r.modifyAll([&](const std::string&, TrackingInstrument& i) { edit(i); });
         }},
        {"modifyAll with special",
         [](Registry& r, const std::function<void(TrackingInstrument&)>& edit) {
             return r.modifyAll(Registry::InstrumentSpecialFunction(
                 [&](const std::string&, TrackingInstrument& i, Special&) { edit(i); }));
         }},
    };

    for (const auto& [formName, form] : forms) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(formName) + ": " + c.what);
            Registry registry;
            registry.create(TrackerID("tool", "m1", "n1"), special(0), true);
            const TrackingInstrument before = *registry.find("tool");
            LogCapture capture(true);

            EXPECT_EQ(form(registry, c.edit).toInt(), c.flags);
            // A NaN never compares equal, so it is reported every time.
            if (std::string(c.what).find("NaN") != std::string::npos) {
                EXPECT_EQ(form(registry, [](TrackingInstrument&) {}).toInt(), kData);
            }

            const auto after = registry.find("tool");
            ASSERT_TRUE(after);
            EXPECT_EQ(registry.size(), 1u);
            if (c.restored) {
                EXPECT_EQ(*after, before);
                EXPECT_EQ(registryMessages(capture),
                          std::vector<std::string>{"ID must not be modified. TrackingInstrument "
                                                   "is reset to state before modification"});
            } else {
                EXPECT_TRUE(registryMessages(capture).empty());
            }
        }
    }
}

TEST(ThreadSafeInstrumentsTest, CallbacksAreSkippedWhereThereIsNothingToEdit)
{
    Registry registry;
    registry.create(TrackerID("plain"), true);
    registry.create(TrackerID("with"), special(1), true);
    registry.create(TrackerID("without"), true);
    LogCapture capture(true);
    std::vector<std::string> called;
    auto instrumentFn = [&](const std::string& id, TrackingInstrument& i) {
        called.push_back(id);
        i.quality = 1.0;
    };
    auto specialInstrumentFn = Registry::InstrumentSpecialFunction(
        [&](const std::string& id, TrackingInstrument& i, Special& s) {
            called.push_back(id);
            i.quality = 1.0;
            ++s.value;
        });
    auto specialFn = Registry::SpecialFunction([&](const std::string& id, Special& s) {
        called.push_back(id);
        ++s.value;
    });

    // Unknown ids: nothing called, nothing logged.
    EXPECT_EQ(registry.modify("unknown", instrumentFn).toInt(), 0u);
    EXPECT_EQ(registry.modify("unknown", specialInstrumentFn).toInt(), 0u);
    registry.modify("unknown", specialFn);
    EXPECT_TRUE(called.empty());
    EXPECT_TRUE(registryMessages(capture).empty());

    // An entry without special object is refused, with a message, by every
    // form that needs one.
    const std::string modifyRefused =
        "modify: Special object for instrument with ID plain does not exist";
    EXPECT_EQ(registry.modify("plain", specialInstrumentFn).toInt(), 0u);
    registry.modify("plain", specialFn);
    EXPECT_TRUE(called.empty());
    EXPECT_EQ(registryMessages(capture), (std::vector<std::string>{modifyRefused, modifyRefused}));
    capture.clear();

    const std::vector<std::string> modifyAllRefused = {
        "modifyAll: Special object for instrument with ID plain does not exist",
        "modifyAll: Special object for instrument with ID without does not exist"};
    EXPECT_EQ(registry.modifyAll(specialInstrumentFn).toInt(), kData);
    EXPECT_EQ(called, std::vector<std::string>{"with"});
    EXPECT_EQ(registryMessages(capture), modifyAllRefused);
    capture.clear();
    called.clear();

    registry.modifyAll(specialFn);
    EXPECT_EQ(registryMessages(capture), modifyAllRefused);
    capture.clear();
    registry.modify("with", specialFn);
    EXPECT_EQ(called, (std::vector<std::string>{"with", "with"}));
    int value = 0;
    registry.modify("with", Registry::SpecialFunction(
                                [&](const std::string&, Special& s) { value = s.value; }));
    EXPECT_EQ(value, 4);
    called.clear();

    EXPECT_EQ(registry.modifyAll(instrumentFn).toInt(), kData);
    EXPECT_EQ(called, (std::vector<std::string>{"plain", "with", "without"}));
    EXPECT_TRUE(registryMessages(capture).empty());
    Registry empty;
    EXPECT_EQ(empty.modifyAll(instrumentFn).toInt(), 0u);
    EXPECT_EQ(empty.modifyAll(specialInstrumentFn).toInt(), 0u);
}

TEST(ThreadSafeInstrumentsTest, ThrowingCallbacksReleaseTheLockAndKeepTheIdIntact)
{
    Registry registry;
    registry.create(TrackerID("a", "m", "n"), special(0), true);
    registry.create(TrackerID("b", "m", "n"), special(0), true);
    LogCapture capture(true);

    // What the callback did before it threw stands...
    EXPECT_THROW(registry.modify("a",
                                 [](const std::string&, TrackingInstrument& i) {
                                     i.quality = 0.75;
                                     throw std::runtime_error("half-way");
                                 }),
                 std::runtime_error);
    EXPECT_EQ(registry.find("a")->quality, 0.75);
    EXPECT_TRUE(registryMessages(capture).empty());

    // ...except a changed id, which would leave the entry under a key that no
    // longer names it.
    EXPECT_THROW(registry.modifyAll(Registry::InstrumentSpecialFunction(
                     [](const std::string& id, TrackingInstrument& i, Special&) {
                         if (id == "b") {
                             i.id.setID("stolen");
                             i.quality = 0.5;
                             throw std::runtime_error("half-way");
                         }
                     })),
                 std::runtime_error);
    const auto b = registry.find("b");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->id.ID(), "b");
    EXPECT_EQ(b->quality, 0.0);
    EXPECT_EQ(ids(registry), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(registryMessages(capture),
              std::vector<std::string>{
                  "ID must not be modified. TrackingInstrument is reset to state before "
                  "modification"});

    // An empty callback throws when it is about to be called, not before.
    EXPECT_THROW(registry.modify("a", Registry::InstrumentFunction()), std::bad_function_call);
    EXPECT_THROW(registry.modifyAll(Registry::SpecialFunction()), std::bad_function_call);
    EXPECT_EQ(registry.modify("unknown", Registry::InstrumentFunction()).toInt(), 0u);

    // The lock was released every time: this would dead-lock otherwise.
    EXPECT_EQ(registry.remove("a").toInt(), kList | kMain);
}

TEST(ThreadSafeInstrumentsTest, PerFrameUpdates)
{
    Registry registry;
    registry.create(TrackerID("a", "m", "n"), true);
    registry.create(TrackerID("b"), false);

    // Already reset to identity, quality 0, status 0 and timestamp 0.
    EXPECT_EQ(registry.prepareUpdate(0).toInt(), 0u);
    EXPECT_EQ(registry.prepareUpdate(5).toInt(), kData);
    EXPECT_EQ(registry.prepareUpdate(5).toInt(), 0u);

    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose(0, 3) = 12.5;
    EXPECT_EQ(registry.update("a", pose, 0.9, 6, 2).toInt(), kData);
    // update does not compare: the same values again still count.
    EXPECT_EQ(registry.update("a", pose, 0.9, 6, 2).toInt(), kData);
    EXPECT_EQ(registry.update("unknown", pose, 0.9, 6, 2).toInt(), 0u);
    const auto a = registry.find("a");
    EXPECT_EQ(a->matrix, pose);
    EXPECT_EQ(a->quality, 0.9);
    EXPECT_EQ(a->timestamp, 6u);
    EXPECT_EQ(a->status, 2);

    EXPECT_EQ(registry.prepareUpdate(6).toInt(), kData);
    const auto reset = registry.find("a");
    EXPECT_TRUE(reset->matrix.isIdentity(0.0));
    EXPECT_EQ(reset->quality, 0.0);
    EXPECT_EQ(reset->timestamp, 6u);
    EXPECT_EQ(reset->status, 0);
    EXPECT_EQ(reset->id, TrackerID("a", "m", "n"));
    EXPECT_TRUE(reset->active);
    EXPECT_FALSE(registry.isActive("b"));
}

TEST(ThreadSafeInstrumentsTest, ActiveFlag)
{
    Registry registry;
    registry.create(TrackerID("a"), true);
    LogCapture capture(true);
    registry.setActive("a", false);
    EXPECT_FALSE(registry.isActive("a"));
    registry.setActive("x", true);
    EXPECT_FALSE(registry.isActive("x"));
    // Unknown ids reported through the result alone.
    EXPECT_FALSE(registry.find("x"));
    EXPECT_EQ(registry.update("x", Eigen::Matrix4d::Zero(), 1.0, 1, 1).toInt(), 0u);
    EXPECT_EQ(registryMessages(capture),
              (std::vector<std::string>{"setActive: Instrument with ID x not found",
                                        "isActive: Instrument with ID x not found"}));
    EXPECT_EQ(registry.size(), 1u);
}

// A sink that reads the registry from inside the log: it would dead-lock if
// the registry logged while holding its lock.
class ReadingSink : public LogSink {
public:
    explicit ReadingSink(const Registry& registry) : m_registry(registry) {}
    void write(const LogRecord& record) override
    {
        if (record.category == kCategory) sizes.push_back(m_registry.size());
    }
    std::vector<std::uint32_t> sizes;

private:
    const Registry& m_registry;
};

TEST(ThreadSafeInstrumentsTest, MessagesAreFilteredFormattedAndLoggedOutsideTheLock)
{
    Registry registry;
    registry.create(TrackerID("a"), true);
    {
        LogCapture capture(true);
        auto sink = std::make_shared<ReadingSink>(registry);
        Log::addSink(sink);
        registry.remove("missing");
        registry.modifyAll(Registry::InstrumentSpecialFunction(
            [](const std::string&, TrackingInstrument&, Special&) {}));
        Log::removeSink(sink);
        EXPECT_EQ(sink->sizes, (std::vector<std::uint32_t>{1, 1}));

        const auto records = capture.records();
        ASSERT_EQ(records.size(), 2u);
        for (const LogRecord& record : records) {
            EXPECT_EQ(record.level, Log::Error);
            EXPECT_EQ(record.category, kCategory);
            EXPECT_EQ(record.file, "");
            EXPECT_EQ(record.line, -1);
        }
    }
    {
        // Refused by the category's threshold: log() itself does not filter,
        // so anything the registry handed over would show up here.
        LogCapture capture(true);
        Log::setCategoryLevel(kCategory, Log::Error + 1);
        registry.remove("missing");
        Log::clearCategoryLevel(kCategory);
        const int global = Log::g_globalLevel.exchange(Log::Error + 1);
        registry.setMainById("missing");
        Log::g_globalLevel = global;
        EXPECT_TRUE(capture.records().empty());
    }
}

}  // namespace

// Every member of the template compiles, used or not.
template class ThreadSafeInstruments<Special>;

}  // namespace Velantor

// Configuration records: values survive the trip through a block and its
// copies, conversions refuse what does not fit, attributes and sub-blocks
// behave as the streams and the workspace conversion expect. Also the
// optical marker's own configuration, which rides on them.
#include <Velantor/Log.h>
#include <Velantor/OpticalTrackingMarker.h>
#include <Velantor/Properties.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

using namespace Velantor;
using Attr = PropertiesDetail::Attribute;

TEST(Properties, ValuesRoundTripThroughBlocksAndCopies)
{
    Properties p("root");
    p.setParam("flag", true);
    p.setParam("count", 42);
    p.setParam("big", std::uint64_t{1} << 40);
    p.setParam("ratio", 0.25);
    p.setParam("device", "auto");
    p.setParam("text", std::string("x"));
    p.setParam("list", std::vector<double>{1, 2, 3});
    Properties& child = p.addSubProperties("child");
    child.setParam("Path", "/tmp/a.rom");

    const Properties copy = p;  // deep
    child.setParam("Path", "/changed");
    p.setParam("count", 7);

    bool flag = false;
    int count = 0;
    std::uint64_t big = 0;
    double ratio = 0;
    std::string device, path;
    std::vector<double> list;
    EXPECT_TRUE(copy.param("flag", flag) && flag);
    EXPECT_TRUE(copy.param("count", count));
    EXPECT_EQ(count, 42);
    EXPECT_TRUE(copy.param("big", big));
    EXPECT_EQ(big, std::uint64_t{1} << 40);
    EXPECT_TRUE(copy.param("ratio", ratio));
    EXPECT_EQ(ratio, 0.25);
    EXPECT_TRUE(copy.param("device", device));
    EXPECT_EQ(device, "auto");
    EXPECT_TRUE(copy.param("list", list));
    EXPECT_EQ(list, (std::vector<double>{1, 2, 3}));
    ASSERT_NE(copy.subProperties("child"), nullptr);
    EXPECT_TRUE(copy.subProperties("child")->param("Path", path));
    EXPECT_EQ(path, "/tmp/a.rom");
    EXPECT_EQ(copy.paramNames(), (std::vector<std::string>{"flag", "count", "big", "ratio",
                                                           "device", "text", "list"}));

    Properties target("kept name");
    target.setParam("stale", 1);
    target.copyFrom(copy);
    EXPECT_EQ(target.name(), "kept name");
    EXPECT_FALSE(target.hasParam("stale"));
    target.setName("root");
    EXPECT_EQ(target, copy);

    // copyFrom of one's own sub-block must not read freed memory.
    Properties outer;
    outer.addSubProperties("inner").setParam("k", 1);
    outer.copyFrom(*outer.subProperties("inner"));
    EXPECT_TRUE(outer.hasParam("k"));
    EXPECT_EQ(outer.subProperties().size(), 0u);
}

TEST(Properties, ReadingConvertsOnlyWhatFits)
{
    struct Case {
        const char* what;
        Properties::Value stored;
        bool asInt;
        int intValue;
        bool asBool;
        bool asString;
    };
    const Case cases[] = {
        {"int", std::int64_t{5}, true, 5, true, false},
        {"whole double", 2.0, true, 2, true, false},
        {"fractional double", 2.5, false, 0, true, false},
        {"numeric text", std::string("12"), true, 12, true, true},
        {"text with junk", std::string("12x"), false, 0, false, true},
        {"empty text", std::string(), false, 0, false, true},
        {"bool text", std::string("true"), true, 1, true, true},
        {"too big for int", std::int64_t{1} << 40, false, 0, true, false},
        {"list", std::vector<double>{1}, false, 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Properties p;
        std::visit([&](const auto& v) { p.setParam("k", v); }, c.stored);
        int i = -77;
        EXPECT_EQ(p.param("k", i), c.asInt);
        EXPECT_EQ(i, c.asInt ? c.intValue : -77) << "a refused read leaves the target alone";
        bool b = false;
        EXPECT_EQ(p.param("k", b), c.asBool);
        std::string s = "untouched";
        EXPECT_EQ(p.param("k", s), c.asString);
    }
    Properties p;
    p.setParam("neg", -1);
    unsigned u = 9;
    EXPECT_FALSE(p.param("neg", u));
    EXPECT_EQ(u, 9u);
    EXPECT_FALSE(p.param("absent", u));
}

TEST(Properties, TypesAndAttributesDescribeParameters)
{
    Properties p;
    p.setParam("maxRange", 1);
    p.setParamType("maxRange", 8);
    p.setParamAttributes("maxRange", {Attr("values", "Pyramid, Extended")});
    p.setParam("maxRange", 0);  // rewriting the value keeps type and attributes
    EXPECT_EQ(p.paramType("maxRange"), PropertiesDetail::EnumIndex);
    std::string values;
    EXPECT_TRUE(p.paramAttribute("maxRange", "values", values));
    EXPECT_EQ(values, "Pyramid, Extended");

    p.setParam("hardwareDevice", "auto");
    p.setParamAttributes("hardwareDevice",
                         {{"label", "COM port"}, {"tooltip", "Auto-detect COM port upon open"}});
    p.setParamAttributes("hardwareDevice", {{"label", "COM port"}});
    EXPECT_EQ(p.paramAttributes("hardwareDevice"), (std::vector<Attr>{Attr("label", "COM port")}))
        << "a new list replaces the old one";
    EXPECT_EQ(p.paramType("hardwareDevice"), PropertiesDetail::String);

    p.setParamType("absent", 8);
    p.setParamAttributes("absent", {{"hidden", "true"}});
    EXPECT_FALSE(p.hasParam("absent")) << "typing or describing a missing key does not invent it";

    Properties& targets = p.addSubProperties("TrackingTargets");
    targets.setAttributes({{"hidden", "true"}});
    std::string hidden;
    EXPECT_TRUE(p.subProperties("TrackingTargets")->attribute("hidden", hidden));
    EXPECT_EQ(hidden, "true");
}

TEST(Properties, SubBlocksKeepOrderAndDuplicateNames)
{
    Properties ws;
    EXPECT_EQ(ws.subProperties("Algorithms"), nullptr);
    EXPECT_TRUE(ws.subProperties().empty()) << "looking a block up does not create it";
    Properties& algorithms = ws.addSubProperties("Algorithms");
    algorithms.addSubProperties("A").setParam("systemType", 0);
    algorithms.addSubProperties("B");
    algorithms.addSubProperties("A").setParam("systemType", 2);
    ws.addSubProperties("Algorithms");

    EXPECT_EQ(ws.subPropertiesAll("Algorithms").size(), 2u);
    const auto all = algorithms.subPropertiesAll("A");
    ASSERT_EQ(all.size(), 2u);
    int type = -1;
    EXPECT_TRUE(all[1]->param("systemType", type));
    EXPECT_EQ(type, 2);
    all[0]->setName("Renamed");
    std::vector<std::string> names;
    for (const auto* c : algorithms.subProperties()) names.push_back(c->name());
    EXPECT_EQ(names, (std::vector<std::string>{"Renamed", "B", "A"}));
    EXPECT_EQ(algorithms.removeSubProperties("B"), 1u);
    EXPECT_EQ(algorithms.subProperties().size(), 2u);
}

TEST(OpticalTrackingMarker, ConfigurationRoundTripsAndRefusesBadValues)
{
    OpticalTrackingMarker m("probe", 7u, {{0, 0, 0}, {50, 0, 0}, {0, 80.5, -3}});
    m.setPartNumber("8700339");
    Properties p;
    m.configuration(&p);
    OpticalTrackingMarker back;
    back.configure(&p);
    EXPECT_EQ(back, m);

    OpticalTrackingMarker noId("x");
    Properties q;
    noId.configuration(&q);
    EXPECT_FALSE(q.hasParam("markerId"));
    OpticalTrackingMarker withId("y", 3u);
    withId.configure(&q);
    EXPECT_EQ(withId.markerId(), 3u) << "an absent key keeps the current value";
    EXPECT_EQ(withId.name(), "x");

    LogCapture log(true);
    Properties bad;
    bad.setParam("markerId", std::int64_t{1} << 33);
    bad.setParam("geometry", std::vector<double>{1, 2});
    bad.setParam("partNumber", std::string(21, '1'));
    OpticalTrackingMarker kept = m;
    kept.configure(&bad);
    EXPECT_EQ(kept, m);
    EXPECT_EQ(log.messages("OpticalTrackingMarker").size(), 3u);
    Properties nan;
    nan.setParam("geometry", std::vector<double>{1, 2, std::numeric_limits<double>::quiet_NaN()});
    kept.configure(&nan);
    EXPECT_EQ(kept.geometry(), m.geometry());
}

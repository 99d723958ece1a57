// A workspace file gives back exactly the tree that was saved, refuses
// anything else with the reason and where, and is replaced in one step. A
// loaded workspace is upgraded by the conversions newer than its file, says
// what they changed, and becomes configured algorithms, or fails as a whole.
#include <Velantor/Log.h>
#include <Velantor/PluginSet.h>
#include <Velantor/Workspace.h>
#include <Velantor/WorkspaceConversionRegistry.h>
#include <Velantor/WorkspaceFile.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <functional>
#include <limits>

using namespace Velantor;
using PropertiesDetail::ParamType;

namespace Velantor {
// Failures show trees as their file text rather than as bytes.
void PrintTo(const Properties& p, std::ostream* os)
{
    *os << WorkspaceFile::toJson(p, WorkspaceFile::kFormatVersion).toStdString();
}
}  // namespace Velantor

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

void writeBytes(const std::string& path, const std::string& bytes)
{
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes.data(), static_cast<qint64>(bytes.size())),
              static_cast<qint64>(bytes.size()));
}

std::string readBytes(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return "<unreadable>";
    return file.readAll().toStdString();
}

QStringList entries(const std::string& dir)
{
    return QDir(QString::fromStdString(dir)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
}

std::string fileWith(const std::string& workspace, const std::string& version = "34")
{
    return R"({"format": "velantor-workspace", "version": )" + version + R"(, "workspace": )" +
           workspace + "}";
}

Properties nested(int depth)
{
    Properties root("Workspace");
    Properties* at = &root;
    for (int i = 1; i < depth; ++i) at = &at->addSubProperties("Level");
    return root;
}

class WorkspaceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    std::string path(const std::string& name) const
    {
        return m_dir.path().toStdString() + "/" + name;
    }
    QTemporaryDir m_dir;
};

}  // namespace

TEST_F(WorkspaceTest, FileGivesBackTheTreeExactly)
{
    Properties saved("Workspace");
    saved.setAttributes({{"created by", "test"}, {"", ""}});
    Properties& algorithms = saved.addSubProperties("Algorithms");
    Properties& a = algorithms.addSubProperties("NDITracking.PolarisVegaTrackingStream");
    a.setParam("open", true);
    a.setParam("start", false);
    a.setParam("port", 8765);
    a.setParam("aboveDoublePrecision", std::int64_t(9007199254740993));  // 2^53 + 1
    a.setParam("lastExactNumber", std::int64_t(9007199254740991));
    a.setParam("lowest", std::numeric_limits<std::int64_t>::min());
    a.setParam("highest", std::numeric_limits<std::int64_t>::max());
    a.setParam("rate", 0.1);
    a.setParam("denormal", 4.9e-324);
    a.setParam("negativeZero", -0.0);
    a.setParam("infinite", kInf);
    a.setParam("negativeInfinite", -kInf);
    a.setParam("device", "192.168.1.20");
    a.setParam("unicode", "Z\xC3\xBCrich \xE2\x9C\x93 \"quoted\" back\\slash\n\ttab");
    a.setParam("withNul", std::string("a\0b", 3));
    a.setParam("empty", "");
    a.setParam("numberAsText", "12");
    a.setParam("geometry", std::vector<double>{0, -0.0, 1.5, -kInf, 1e300});
    a.setParamType("geometry", ParamType::Vector);  // the value's own kind, given explicitly
    a.setParam("noNumbers", std::vector<double>{});
    a.setParam("maxRange", 2);
    a.setParamType("maxRange", ParamType::EnumIndex);
    a.setParamAttributes("maxRange", {{"values", "Small, Medium, Large"}, {"label", "Range"}});
    Properties& targets = a.addSubProperties("TrackingTargets");
    targets.addSubProperties("Marker").setParam("name", "Pointer");
    targets.addSubProperties("Other");
    targets.addSubProperties("Marker").setParam("name", "Reference");
    targets.addSubProperties("Marker").setAttributes({{"hidden", "true"}});
    algorithms.addSubProperties("NDITracking.AuroraTrackingStream");
    algorithms.addSubProperties("NDITracking.AuroraTrackingStream");
    // NaN equals nothing, not even itself: checked apart from operator==.
    Properties& nan = saved.addSubProperties("NotANumber");
    nan.setParam("value", kNaN);
    nan.setParam("list", std::vector<double>{1, kNaN});

    std::string error;
    ASSERT_TRUE(WorkspaceFile::write(path("ws.json"), saved, &error)) << error;
    const std::string text = readBytes(path("ws.json"));
    // Readers that hold numbers as doubles get the exact integer as text.
    EXPECT_NE(text.find("\"9007199254740993\""), std::string::npos) << text;

    Properties back;
    int version = -1;
    ASSERT_TRUE(WorkspaceFile::read(path("ws.json"), back, version, &error)) << error;
    EXPECT_EQ(version, WorkspaceFile::kFormatVersion);
    const Properties* nanBack = back.subProperties("NotANumber");
    ASSERT_NE(nanBack, nullptr);
    double value = 0;
    std::vector<double> list;
    EXPECT_TRUE(nanBack->param("value", value) && std::isnan(value));
    ASSERT_TRUE(nanBack->param("list", list));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], 1);
    EXPECT_TRUE(std::isnan(list[1]));
    back.removeSubProperties("NotANumber");
    saved.removeSubProperties("NotANumber");
    EXPECT_EQ(back, saved);
    double zero = 0;
    ASSERT_TRUE(back.subProperties("Algorithms")->subProperties()[0]->param("negativeZero", zero));
    EXPECT_TRUE(std::signbit(zero));
}

TEST_F(WorkspaceTest, HostileOrBrokenFilesAreRefusedWithTheReason)
{
    std::string manyParams = R"({"name": "Workspace", "params": [)";
    for (int i = 0; i <= WorkspaceFile::kMaxParams; ++i)
        manyParams += std::string(i ? "," : "") + R"({"key": "k)" + std::to_string(i) +
                      R"(", "kind": "bool", "value": true})";
    manyParams += "]}";
    const std::string valid = fileWith(R"({"name": "Workspace"})");
    const std::string x = R"({"name": "Workspace", "blocks": [{"name": "Algorithms", "blocks": [
                             {"name": "NDITracking.X", "params": [)";
    const std::string xEnd = "]}]}]}";

    struct Case {
        const char* name;
        std::string content;  // written to the file unless setUp makes it
        std::string reason;   // expected after "cannot read workspace <path>: "
        std::function<void(const std::string&)> setUp;
    };
    const Case cases[] = {
        {"not JSON", "workspace = 1", "not JSON: ", {}},
        {"truncated", valid.substr(0, valid.size() / 2), "not JSON:", {}},
        {"empty", "", "the file is empty", {}},
        {"array at the top", "[]", "the top level is not an object", {}},
        {"wrong format",
         R"({"format": "other", "version": 34, "workspace": {"name": "Workspace"}})",
         "not a workspace file ('format' is not \"velantor-workspace\")",
         {}},
        {"no version",
         R"({"format": "velantor-workspace", "workspace": {"name": "W"}})",
         "'version' is missing",
         {}},
        {"fractional version",
         fileWith(R"({"name": "W"})", "33.5"),
         "'version' is not a whole number from 0 to 2147483647",
         {}},
        {"version as text",
         fileWith(R"({"name": "W"})", "\"34\""),
         "'version' is not a whole number from 0 to 2147483647",
         {}},
        {"unknown member",
         fileWith(R"({"name": "Workspace", "param": []})"),
         "'workspace': unknown member 'param'",
         {}},
        {"block without name",
         fileWith(R"({"params": []})"),
         "'workspace': 'name' is missing or not a text",
         {}},
        {"unknown kind",
         fileWith(x + R"({"key": "a", "kind": "foo", "value": 1})" + xEnd),
         "params[0] of block Workspace/Algorithms/NDITracking.X: unknown kind 'foo'",
         {}},
        {"bool given as number",
         fileWith(x + R"({"key": "a", "kind": "bool", "value": 1})" + xEnd),
         "params[0] of block Workspace/Algorithms/NDITracking.X: the value of kind bool is not "
         "true or false",
         {}},
        {"int beyond 64 bits",
         fileWith(x + R"({"key": "a", "kind": "int", "value": "9223372036854775808"})" + xEnd),
         "the value of kind int is not a whole 64-bit number",
         {}},
        {"fractional int",
         fileWith(x + R"({"key": "a", "kind": "int", "value": 2.5})" + xEnd),
         "the value of kind int is not a whole 64-bit number",
         {}},
        {"double as other text",
         fileWith(x + R"({"key": "a", "kind": "double", "value": "Infinity"})" + xEnd),
         "the value of kind double is not a number or one of",
         {}},
        {"list with a text",
         fileWith(x + R"({"key": "a", "kind": "list", "value": [1, "x"]})" + xEnd),
         "params[0] of block Workspace/Algorithms/NDITracking.X: element 1 of the list",
         {}},
        {"duplicate key",
         fileWith(x + R"({"key": "a", "kind": "bool", "value": true},
                         {"key": "a", "kind": "bool", "value": false})" +
                  xEnd),
         "params[1] of block Workspace/Algorithms/NDITracking.X: duplicate key 'a'",
         {}},
        {"type as text",
         fileWith(x + R"({"key": "a", "kind": "int", "value": 1, "type": "8"})" + xEnd),
         "'type' is not a whole number",
         {}},
        {"attribute not a pair",
         fileWith(x + R"({"key": "a", "kind": "int", "value": 1, "attributes": [["label"]]})" +
                  xEnd),
         "params[0] of block Workspace/Algorithms/NDITracking.X: attributes[0] is not a pair of "
         "texts",
         {}},
        {"second of two same-named blocks",
         fileWith(R"({"name": "Workspace", "blocks": [{"name": "Marker"},
                     {"name": "Marker", "params": {}}]})"),
         "block Workspace/Marker[1]: 'params' is not a list",
         {}},
        {"too deep",
         WorkspaceFile::toJson(nested(WorkspaceFile::kMaxDepth + 1), 34).toStdString(),
         "blocks nested deeper than 64 levels",
         {}},
        {"too many parameters",
         fileWith(manyParams),
         "block Workspace: more than 10000 parameters",
         {}},
        {"larger than 16 MB", "", "larger than 16 MB (16777217 bytes)",
         [](const std::string& p) {
             writeBytes(p, "");
             ASSERT_EQ(::truncate(p.c_str(), WorkspaceFile::kMaxFileSize + 1), 0);
         }},
        {"a directory", "", "it is a directory",
         [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); }},
        // Opening a FIFO for reading would wait for a writer for ever.
        {"a FIFO", "", "not a regular file",
         [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
        {"missing", "", "No such file or directory", [](const std::string&) {}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string p = path("case" + std::to_string(++n));
        if (c.setUp)
            c.setUp(p);
        else
            writeBytes(p, c.content);
        Properties workspace("Untouched");
        workspace.setParam("kept", 1);
        const Properties before = workspace;
        int version = 7;
        std::string error;
        EXPECT_FALSE(WorkspaceFile::read(p, workspace, version, &error));
        const std::string prefix = "cannot read workspace " + p + ": ";
        EXPECT_EQ(error.substr(0, prefix.size()), prefix);
        EXPECT_NE(error.find(c.reason, prefix.size()), std::string::npos) << error;
        EXPECT_EQ(workspace, before);
        EXPECT_EQ(version, 7);
    }

    // The limits themselves are fine.
    Properties deepest;
    int version = 0;
    std::string error;
    EXPECT_TRUE(WorkspaceFile::fromJson(WorkspaceFile::toJson(nested(WorkspaceFile::kMaxDepth), 34),
                                        deepest, version, &error))
        << error;
    EXPECT_EQ(deepest, nested(WorkspaceFile::kMaxDepth));
}

TEST_F(WorkspaceTest, WriteReplacesTheFileInOneStepOrNotAtAll)
{
    Properties big("Workspace");
    big.setParam("text", std::string(100000, 'x'));
    Properties notUtf8("Workspace");
    notUtf8.addSubProperties("Algorithms").setParam("device", "\xFF\xFE");
    // Qt drops a byte order mark that starts a text when it reads it back.
    Properties withByteOrderMark("Workspace");
    withByteOrderMark.addSubProperties(
        "\xEF\xBB\xBF"
        "Algorithms");

    struct Case {
        const char* name;
        Properties tree;
        std::string file;
        std::string reason;  // expected after "cannot write workspace <path>: "
        std::function<void()> during;
    };
    const Case cases[] = {
        {"missing directory", big, "missing/ws.json", "", {}},
        // A write that fails half-way, as on a full disk.
        {"file size limit reached", big, "ws.json", "",
         [] {
             const struct rlimit small = {4096, RLIM_INFINITY};
             ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
         }},
        {"text that is not UTF-8",
         notUtf8,
         "ws.json",
         "the value of device of block Workspace/Algorithms is not UTF-8 text",
         {}},
        {"text starting with a byte order mark",
         withByteOrderMark,
         "ws.json",
         "the name of block Workspace/\xEF\xBB\xBF"
         "Algorithms is not UTF-8 text or starts with a byte order mark",
         {}},
        {"too deep",
         nested(WorkspaceFile::kMaxDepth + 1),
         "ws.json",
         "is nested deeper than 64 levels",
         {}},
    };
    // Past the file size limit the kernel sends SIGXFSZ, which ends the process.
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit unlimited {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const std::string old = dir.path().toStdString() + "/ws.json";
        writeBytes(old, "the old workspace");
        const std::string target = dir.path().toStdString() + "/" + c.file;
        if (c.during) c.during();
        std::string error;
        const bool written = WorkspaceFile::write(target, c.tree, &error);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &unlimited), 0);
        EXPECT_FALSE(written);
        const std::string prefix = "cannot write workspace " + target + ": ";
        EXPECT_EQ(error.substr(0, prefix.size()), prefix);
        EXPECT_GT(error.size(), prefix.size());
        EXPECT_NE(error.find(c.reason, prefix.size()), std::string::npos) << error;
        EXPECT_EQ(readBytes(old), "the old workspace");
        EXPECT_EQ(entries(dir.path().toStdString()), QStringList{"ws.json"});
    }
    std::signal(SIGXFSZ, previousHandler);
}

namespace {

// Conversions of this test program, registered once: the registry lives as
// long as the process.
const std::string kMoved = "Moved Noop from extra to TestPlugin";
const std::string kMarked = "Marked every algorithm as converted";

void registerConversions()
{
    static const bool registered = [] {
        auto& registry = WorkspaceConversionRegistry::instance();
        registry.addConversion({kMarked, WorkspaceFile::kFormatVersion,
                                [](Properties& workspace, const Filesystem::Path&) {
                                    bool changed = false;
                                    if (Properties* algorithms =
                                            workspace.subProperties("Algorithms"))
                                        for (Properties* a : algorithms->subProperties())
                                            if (!a->hasParam("converted")) {
                                                a->setParam("converted", true);
                                                changed = true;
                                            }
                                    return changed;
                                }});
        registry.addConversion(
            {"Changes nothing", 25, [](Properties&, const Filesystem::Path&) { return false; }});
        registry.addConversion(
            {kMoved, 20, [](Properties& workspace, const Filesystem::Path&) {
                 bool changed = false;
                 if (Properties* algorithms = workspace.subProperties("Algorithms"))
                     for (Properties* a : algorithms->subPropertiesAll("extra.Noop")) {
                         a->setName("TestPlugin.Noop");
                         changed = true;
                     }
                 return changed;
             }});
        return true;
    }();
    (void)registered;
}

class LoadedWorkspaceTest : public WorkspaceTest {
protected:
    void SetUp() override
    {
        WorkspaceTest::SetUp();
        registerConversions();
        std::string error;
        ASSERT_TRUE(m_plugins.load(TEST_PLUGIN_VALID, &error)) << error;
        ASSERT_TRUE(m_plugins.load(TEST_PLUGIN_EXTRA, &error)) << error;
    }

    // A file saved with `version` that holds these algorithm blocks, each
    // with a parameter "block" giving its position.
    std::string saveFile(const std::vector<std::string>& blocks, int version)
    {
        Properties tree("Workspace");
        Properties& algorithms = tree.addSubProperties("Algorithms");
        int n = 0;
        for (const auto& name : blocks) algorithms.addSubProperties(name).setParam("block", ++n);
        const std::string p = path("saved" + std::to_string(version) + ".json");
        writeBytes(p, WorkspaceFile::toJson(tree, version).toStdString());
        return p;
    }

    LogCapture m_quiet{true};
    PluginSet m_plugins;
};

}  // namespace

TEST_F(LoadedWorkspaceTest, ConversionsNewerThanTheFileRunAndAreLogged)
{
    struct Case {
        int savedVersion;
        std::vector<std::string> applied;
        std::string firstBlock;
        bool marked;
    };
    const Case cases[] = {
        {0, {kMoved, kMarked}, "TestPlugin.Noop", true},
        {19, {kMoved, kMarked}, "TestPlugin.Noop", true},
        {20, {kMarked}, "extra.Noop", true},
        {WorkspaceFile::kFormatVersion - 1, {kMarked}, "extra.Noop", true},
        {WorkspaceFile::kFormatVersion, {}, "extra.Noop", false},
        {WorkspaceFile::kFormatVersion + 1, {}, "extra.Noop", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.savedVersion);
        const std::string p = saveFile({"extra.Noop", "TestPlugin.Noop"}, c.savedVersion);
        LogCapture log(true);
        Workspace workspace;
        std::string error;
        ASSERT_TRUE(workspace.load(p, m_plugins, &error)) << error;
        EXPECT_EQ(workspace.savedVersion(), c.savedVersion);
        EXPECT_EQ(workspace.conversions(), c.applied);

        std::vector<std::string> expectedLog;
        for (const auto& d : c.applied) expectedLog.push_back("Workspace " + p + ": " + d);
        if (c.firstBlock != "extra.Noop")
            expectedLog.push_back("Workspace " + p +
                                  ": algorithm block 1 extra.Noop is now TestPlugin.Noop (" +
                                  kMoved + "; " + kMarked + ")");
        EXPECT_EQ(log.messages("Workspace"), expectedLog);
        for (const auto& record : log.records())
            if (record.category == "Workspace") {
                EXPECT_EQ(record.level, Log::Info);
            }

        const auto& algorithms = workspace.algorithms();
        ASSERT_EQ(algorithms.size(), 2u);
        EXPECT_EQ(algorithms[0]->id(), c.firstBlock);
        EXPECT_EQ(algorithms[1]->id(), "TestPlugin.Noop");
        for (std::size_t i = 0; i < 2; ++i) {
            // Each algorithm got its own block, converted.
            Properties configuration;
            algorithms[i]->configuration(&configuration);
            int block = 0;
            EXPECT_TRUE(configuration.param("block", block));
            EXPECT_EQ(block, static_cast<int>(i) + 1);
            EXPECT_EQ(configuration.hasParam("converted"), c.marked);
        }
    }
}

TEST_F(LoadedWorkspaceTest, AnAlgorithmNoPluginOffersFailsTheWholeLoad)
{
    const std::string p = saveFile({"TestPlugin.Noop", "NDITracking.Missing"}, 34);
    Workspace workspace;
    std::string error;
    EXPECT_FALSE(workspace.load(p, m_plugins, &error));
    EXPECT_EQ(error, "Workspace " + p +
                         ": algorithm block 2 NDITracking.Missing: no loaded plugin offers "
                         "algorithm NDITracking.Missing (offered: TestPlugin.Noop, extra.Noop); "
                         "plugins loaded: Test.Plugin, Test.Extra");
    EXPECT_TRUE(workspace.algorithms().empty());
    EXPECT_EQ(workspace.properties(), Properties("Workspace"));
}

TEST_F(LoadedWorkspaceTest, SavedAlgorithmsComeBackConfigured)
{
    std::vector<std::unique_ptr<Algorithm>> algorithms;
    std::string error;
    for (const std::string id : {"extra.Noop", "TestPlugin.Noop", "extra.Noop"}) {
        algorithms.push_back(m_plugins.createAlgorithm(id, &error));
        ASSERT_NE(algorithms.back(), nullptr) << error;
        Properties configuration(id);
        configuration.setParam("index", static_cast<int>(algorithms.size()));
        configuration.addSubProperties("TrackingTargets").addSubProperties("Marker");
        algorithms.back()->configure(&configuration);
    }
    ASSERT_TRUE(Workspace::save(path("saved.json"), algorithms, &error)) << error;

    Workspace workspace;
    ASSERT_TRUE(workspace.load(path("saved.json"), m_plugins, &error)) << error;
    EXPECT_EQ(workspace.savedVersion(), WorkspaceFile::kFormatVersion);
    EXPECT_TRUE(workspace.conversions().empty());
    auto loaded = workspace.takeAlgorithms();
    ASSERT_EQ(loaded.size(), algorithms.size());
    for (std::size_t i = 0; i < loaded.size(); ++i) {
        EXPECT_EQ(loaded[i]->id(), algorithms[i]->id());
        Properties mine(loaded[i]->id());
        Properties theirs(loaded[i]->id());
        algorithms[i]->configuration(&theirs);
        loaded[i]->configuration(&mine);
        EXPECT_EQ(mine, theirs);
    }

    // An algorithm made by hand has no id to be made again by.
    struct Unregistered : Algorithm {
        void compute() override {}
    } unregistered;
    EXPECT_FALSE(Workspace::save(path("other.json"), {algorithms[0].get(), &unregistered}, &error));
    EXPECT_EQ(error, "cannot write workspace " + path("other.json") +
                         ": algorithm 2 has no id (it was not made by an algorithm factory)");
    EXPECT_FALSE(Filesystem::Path(path("other.json")).exists());
}

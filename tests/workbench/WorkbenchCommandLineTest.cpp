// What ndi-workbench tells a user who asks for a list, for help, or for
// something it cannot do: the exit code and the message, before any window.
#include "WorkbenchProcess.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace workbenchtest;

namespace {

struct Case {
    const char* what;
    QStringList arguments;
    int code;
    const char* expected;  // in stdout (code 0) or stderr
};

}  // namespace

TEST(WorkbenchCommandLine, AnswersOrRefusesBeforeShowingAWindow)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString garbage = dir.filePath(QStringLiteral("garbage.json"));
    {
        QFile f(garbage);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("{\"format\": \"something else\"}");
    }
    const QString aurora = QStringLiteral("AuroraTrackingStream");
    const Case cases[] = {
        {"list",
         {QStringLiteral("--list")},
         0,
         "NDITracking.AuroraTrackingStream\tIO;NDI Tracking;Aurora"},
        {"help", {QStringLiteral("--help")}, 0, "--screenshot"},
        {"unknown algorithm",
         {QStringLiteral("--algorithm"), QStringLiteral("Nope")},
         2,
         "no loaded plugin offers the algorithm Nope (offered: NDITracking.PolarisVegaTrackingStream"},
        {"missing workspace",
         {QStringLiteral("--workspace"), dir.filePath(QStringLiteral("none.json"))},
         2,
         "none.json"},
        {"workspace of another format",
         {QStringLiteral("--workspace"), garbage},
         2,
         "garbage.json"},
        {"device without a stream",
         {QStringLiteral("--device"), QStringLiteral("/dev/ttyUSB0")},
         2,
         "need --algorithm or --workspace"},
        {"address with a bad port",
         {QStringLiteral("--algorithm"), QStringLiteral("PolarisVegaTrackingStream"),
          QStringLiteral("--address"), QStringLiteral("127.0.0.1:99999")},
         2,
         "the port after ':' must be a number from 1 to 65535"},
        {"missing plugin",
         {QStringLiteral("--plugin"), dir.filePath(QStringLiteral("none.so")),
          QStringLiteral("--list")},
         1,
         "cannot load the plugin"},
        {"unwritable screenshot",
         {QStringLiteral("--algorithm"), aurora, QStringLiteral("--screenshot"),
          dir.filePath(QStringLiteral("no/such/dir/shot.png")), QStringLiteral("--after"),
          QStringLiteral("0")},
         1,
         "cannot write the screenshot to"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome run = runWorkbench(c.arguments);
        ASSERT_TRUE(run.ended);
        EXPECT_EQ(run.code, c.code) << run.err;
        const std::string& text = c.code == 0 ? run.out : run.err;
        EXPECT_NE(text.find(c.expected), std::string::npos) << text;
    }
}

// Without a screen, Qt would end the program with an abort and a riddle.
TEST(WorkbenchCommandLine, SaysSoWhenThereIsNoDisplay)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("DISPLAY"), QString());
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    const Outcome run = runWorkbench({}, env);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.code, 1) << run.err;
    EXPECT_NE(run.err.find("no display"), std::string::npos) << run.err;
}

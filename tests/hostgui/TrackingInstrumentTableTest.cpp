// The instrument table over a real stream and registry: it shows what the
// registry holds, follows list changes and the worker's frames through queued
// calls, never shows an untracked instrument at the origin, and makes an
// instrument main on request. Waits have a generous deadline: they
// wait for an outcome, they do not time anything.
#include "GuiTestApp.h"
#include "TestStreams.h"

#include <Velantor/TrackingInstrumentTable.h>

#include <QTest>

#include <gtest/gtest.h>

#include <thread>

using namespace Velantor;

namespace {

QString cell(const TrackingInstrumentTable& t, int row, int column)
{
    const QTableWidgetItem* it = t.item(row, column);
    return it ? it->text() : QStringLiteral("<none>");
}

class TrackingInstrumentTableTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { guiTestApp(); }
    void SetUp() override
    {
        stream.registry().create(TrackerID("tool0", "8700339", "Pointer"),
                                 std::make_unique<int>(0));
        stream.registry().create(TrackerID("tool1", "8700340", "Reference"),
                                 std::make_unique<int>(0), false);
    }
    PoseStream stream;
};

TEST_F(TrackingInstrumentTableTest, ShowsTheRegistryAndFollowsListChanges)
{
    TrackingInstrumentTable table(&stream, 7);
    ASSERT_EVENTUALLY_EQ(table.rowCount(), 2);
    EXPECT_EQ(cell(table, 0, TrackingInstrumentTable::IdColumn), "tool0");
    EXPECT_EQ(cell(table, 0, TrackingInstrumentTable::NameColumn), "Pointer");
    EXPECT_EQ(table.item(0, TrackingInstrumentTable::ActiveColumn)->checkState(), Qt::Checked);
    EXPECT_EQ(cell(table, 1, TrackingInstrumentTable::NameColumn), "Reference");
    EXPECT_EQ(table.item(1, TrackingInstrumentTable::ActiveColumn)->checkState(), Qt::Unchecked);
    // Never tracked yet: no position, rather than the origin.
    EXPECT_EQ(cell(table, 0, TrackingInstrumentTable::PositionColumn), "not tracked");
    EXPECT_EQ(table.mainInstrumentId(), "tool0");
    EXPECT_TRUE(table.item(0, TrackingInstrumentTable::IdColumn)->font().bold());
    EXPECT_FALSE(table.isColumnHidden(TrackingInstrumentTable::PositionColumn));

    // Announced from another thread, as a stream's open would.
    std::thread([&] {
        auto flags = stream.registry().remove("tool0");
        flags |=
            stream.registry().create(TrackerID("tool2", "", "Probe"), std::make_unique<int>(0));
        stream.emitSignals(flags);
    }).join();
    ASSERT_EVENTUALLY_EQ(table.instrumentIds(), (std::vector<std::string>{"tool1", "tool2"}));
    EXPECT_EQ(cell(table, 1, TrackingInstrumentTable::NameColumn), "Probe");
    EXPECT_EQ(table.mainInstrumentId(), "tool1");
}

TEST_F(TrackingInstrumentTableTest, FollowsTheWorkersFrames)
{
    TrackingInstrumentTable table(&stream, 7);
    ASSERT_EVENTUALLY_EQ(table.rowCount(), 2);
    stream.x = 10.0;
    stream.y = -20.5;
    stream.z = 1500.0;
    ASSERT_TRUE(stream.openAsync().get());
    ASSERT_TRUE(stream.startAsync().get());
    ASSERT_EVENTUALLY_EQ(cell(table, 0, TrackingInstrumentTable::PositionColumn),
                         "10.00, -20.50, 1500.00");
    EXPECT_EQ(cell(table, 0, TrackingInstrumentTable::QualityColumn), "1.000");

    // The tool leaves the volume: the table must say so, not show a pose.
    stream.quality = 0.0;
    ASSERT_EVENTUALLY_EQ(cell(table, 0, TrackingInstrumentTable::PositionColumn), "not tracked");
    stream.quality = 0.5;
    stream.x = 11.0;
    ASSERT_EVENTUALLY_EQ(cell(table, 1, TrackingInstrumentTable::PositionColumn),
                         "11.00, -20.50, 1500.00");
    ASSERT_TRUE(stream.stopAsync().get());
}

TEST_F(TrackingInstrumentTableTest, DiesCleanlyWhileTheStreamRuns)
{
    ASSERT_TRUE(stream.openAsync().get());
    ASSERT_TRUE(stream.startAsync().get());
    for (int i = 0; i < 5; ++i) {
        TrackingInstrumentTable table(&stream, 7);
        ASSERT_EVENTUALLY_EQ(table.rowCount(), 2);
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(stream.closeAsync().get());
}

TEST_F(TrackingInstrumentTableTest, DoubleClickMakesAnInstrumentMain)
{
    TrackingInstrumentTable table(&stream, 7);
    ASSERT_EVENTUALLY_EQ(table.rowCount(), 2);
    Flags<InstrumentModification> announced;
    stream.instrumentsChanged.connect(&announced,
                                      [&](Flags<InstrumentModification> f) { announced |= f; });

    Q_EMIT table.cellDoubleClicked(1, TrackingInstrumentTable::NameColumn);
    ASSERT_EVENTUALLY_EQ(table.mainInstrumentId(), std::string("tool1"));
    EXPECT_EQ(stream.registry().mainId(), "tool1");
    EXPECT_TRUE(table.item(1, TrackingInstrumentTable::IdColumn)->font().bold());
    EXPECT_FALSE(table.item(0, TrackingInstrumentTable::IdColumn)->font().bold());
    stream.instrumentsChanged.disconnect(&announced);
    EXPECT_TRUE(announced.testFlag(InstrumentModification::MainInstrument));
}

TEST_F(TrackingInstrumentTableTest, OptionsShapeTheTable)
{
    TrackingInstrumentTable plain(&stream, 0);
    ASSERT_EVENTUALLY_EQ(plain.rowCount(), 2);
    EXPECT_TRUE(plain.isColumnHidden(TrackingInstrumentTable::QualityColumn));
    EXPECT_TRUE(plain.isColumnHidden(TrackingInstrumentTable::PositionColumn));
    EXPECT_FALSE(plain.item(0, TrackingInstrumentTable::IdColumn)->font().bold());
    Q_EMIT plain.cellDoubleClicked(1, 0);  // no main selection without option 4
    // A request would run on the reader thread before this list change is read.
    stream.emitSignals(stream.registry().create(TrackerID("tool2"), std::make_unique<int>(0)));
    ASSERT_EVENTUALLY_EQ(plain.rowCount(), 3);
    EXPECT_EQ(stream.registry().mainId(), "tool0");

    TrackingInstrumentTable none(nullptr, 7);
    EXPECT_EQ(none.rowCount(), 0);
}

}  // namespace

// The live view's table: what it shows for an instrument in each state, and
// how it words a rotation. A position shown for an instrument that was not
// tracked would send a surgeon to the wrong place.
#include "InstrumentModel.h"
#include "PoseText.h"

#include <GuiTestApp.h>

#include <Eigen/Geometry>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using workbench::InstrumentModel;

namespace {

Eigen::Matrix4d pose(double degrees, const Eigen::Vector3d& axis, const Eigen::Vector3d& t)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() =
        Eigen::AngleAxisd(degrees * M_PI / 180.0, axis.normalized()).toRotationMatrix();
    m.block<3, 1>(0, 3) = t;
    return m;
}

Velantor::TrackingInstrument instrument(const std::string& id, bool active, double quality,
                                        const Eigen::Matrix4d& matrix)
{
    Velantor::TrackingInstrument i(Velantor::TrackerID(id, "", id + "-name"), active);
    i.quality = quality;
    i.matrix = matrix;
    return i;
}

QString cell(const InstrumentModel& model, int row, int column)
{
    return model.data(model.index(row, column)).toString();
}

}  // namespace

TEST(LiveView, ShowsAPoseOnlyForATrackedInstrument)
{
    guiTestApp();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Eigen::Matrix4d broken = pose(10, {0, 0, 1}, {1, 2, 3});
    broken(1, 3) = nan;
    struct Case {
        Velantor::TrackingInstrument instrument;
        const char* state;
        const char* x;  // "" when no position may be shown
        const char* rotation;
    };
    const Case cases[] = {
        {instrument("tracked", true, 0.98, pose(90, {0, 0, 1}, {12.345, -6, 250})), "ok", "12.35",
         "90.0\u00b0 about (0.00, 0.00, 1.00)"},
        {instrument("unseen", true, 0.0, Eigen::Matrix4d::Identity()), "missing", "", ""},
        {instrument("not-a-number", true, 0.9, broken), "missing", "", ""},
        {instrument("disabled", false, 0.9, pose(0, {1, 0, 0}, {5, 5, 5})), "disabled", "", ""},
    };
    Velantor::TrackingStreamData frame;
    for (const Case& c : cases) frame.instruments.push_back(c.instrument);
    InstrumentModel model;
    model.setFrame(frame);
    ASSERT_EQ(model.rowCount(), static_cast<int>(std::size(cases)));
    for (int r = 0; r < model.rowCount(); ++r) {
        const Case& c = cases[r];
        SCOPED_TRACE(c.instrument.id.ID());
        EXPECT_EQ(cell(model, r, InstrumentModel::Id).toStdString(), c.instrument.id.ID());
        EXPECT_EQ(cell(model, r, InstrumentModel::State), QString::fromUtf8(c.state));
        EXPECT_EQ(cell(model, r, InstrumentModel::X), QString::fromUtf8(c.x));
        EXPECT_EQ(cell(model, r, InstrumentModel::Rotation), QString::fromUtf8(c.rotation));
        if (*c.x == '\0') {
            EXPECT_EQ(cell(model, r, InstrumentModel::Y), QString());
            EXPECT_EQ(cell(model, r, InstrumentModel::Z), QString());
            EXPECT_EQ(cell(model, r, InstrumentModel::Quality), QString());
        }
    }
    EXPECT_EQ(cell(model, 0, InstrumentModel::Y), QStringLiteral("-6.00"));
    EXPECT_EQ(cell(model, 0, InstrumentModel::Z), QStringLiteral("250.00"));

    // The next frame with the same instruments updates the rows in place.
    frame.instruments[1] = instrument("unseen", true, 0.5, pose(0, {1, 0, 0}, {-1, -2, -3}));
    model.setFrame(frame);
    EXPECT_EQ(cell(model, 1, InstrumentModel::State), QStringLiteral("ok"));
    EXPECT_EQ(cell(model, 1, InstrumentModel::X), QStringLiteral("-1.00"));
}

TEST(LiveView, WordsARotationAsOneAngleAboutOneAxis)
{
    struct Case {
        double degrees;
        Eigen::Vector3d axis;
        const char* text;
    };
    const Case cases[] = {
        {0, {0, 0, 1}, "0.0\u00b0"},
        {90, {0, 0, 1}, "90.0\u00b0 about (0.00, 0.00, 1.00)"},
        {180, {1, 0, 0}, "180.0\u00b0 about (1.00, 0.00, 0.00)"},
        // A turn the other way round is the same turn about the opposite axis.
        {-45, {0, 1, 0}, "45.0\u00b0 about (0.00, -1.00, 0.00)"},
        {120, {1, 1, 1}, "120.0\u00b0 about (0.58, 0.58, 0.58)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(workbench::rotationText(pose(c.degrees, c.axis, {0, 0, 0})),
                  QString::fromUtf8(c.text));
    }
}

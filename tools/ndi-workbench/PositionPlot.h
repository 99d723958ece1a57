#pragma once
// A top-down plot of a frame: the position of every tracked instrument
// (a disc with its name), the markers that belong to a tool (small dots) and
// the stray markers (crosses), projected on the x/y or x/z plane of the
// tracker. The scale grows to hold everything seen so far and never shrinks,
// so that the picture does not jump with each frame.
#include <Velantor/TrackingStreamData.h>

#include <Eigen/Core>

#include <QRectF>
#include <QWidget>

#include <string>
#include <vector>

namespace workbench {

class PositionPlot : public QWidget {
    Q_OBJECT

public:
    enum class Plane { XY, XZ };

    explicit PositionPlot(QWidget* parent = nullptr);

    void setFrame(const Velantor::TrackingStreamData& frame);
    void setPlane(Plane plane);
    Plane plane() const { return m_plane; }

    QSize sizeHint() const override { return {360, 300}; }
    QSize minimumSizeHint() const override { return {160, 120}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Tool {
        QString name;
        Eigen::Vector3d position;
    };
    QPointF project(const Eigen::Vector3d& p) const;
    void grow(const QPointF& p);

    Plane m_plane = Plane::XY;
    std::vector<Tool> m_tools;
    std::vector<Eigen::Vector3d> m_toolMarkers;
    std::vector<Eigen::Vector3d> m_strays;
    QRectF m_extent;  // in plot millimetres, null until something was seen
};

}  // namespace workbench

#include "PositionPlot.h"

#include "PoseText.h"

#include <Velantor/TrackingInstrumentFiducialsData.h>

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <functional>

namespace workbench {

namespace {

// Tools keep their colour from frame to frame: it follows their place in the list.
const QColor kToolColours[] = {QColor(0x1f, 0x77, 0xb4), QColor(0x2c, 0xa0, 0x2c),
                               QColor(0x94, 0x67, 0xbd), QColor(0xff, 0x7f, 0x0e),
                               QColor(0x8c, 0x56, 0x4b), QColor(0x17, 0xbe, 0xcf)};

// The smallest square seen when only one point was: a tool alone at the
// origin still shows with some room around it.
constexpr double kMinimumSpanMm = 100.0;

double gridStep(double span)
{
    for (double step : {1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 200.0, 500.0, 1000.0})
        if (span / step <= 10.0) return step;
    return 2000.0;
}

}  // namespace

PositionPlot::PositionPlot(QWidget* parent) : QWidget(parent) { setAutoFillBackground(false); }

void PositionPlot::setFrame(const Velantor::TrackingStreamData& frame)
{
    m_tools.clear();
    m_toolMarkers.clear();
    m_strays.clear();
    for (const auto& i : frame.instruments) {
        // An instrument without a pose from this frame has no place to show.
        if (!hasPose(i)) continue;
        const std::string& name = i.id.name().empty() ? i.id.ID() : i.id.name();
        m_tools.push_back({QString::fromStdString(name), i.matrix.block<3, 1>(0, 3)});
        grow(project(m_tools.back().position));
    }
    if (const auto* f = frame.components().get<Velantor::TrackingInstrumentFiducialsData>()) {
        const std::uint64_t strayKey = std::hash<std::string>{}(std::string());
        const std::size_t n = std::min(f->positions.size(), f->keys.size());
        for (std::size_t k = 0; k < n; ++k) {
            if (!f->positions[k].allFinite()) continue;
            (f->keys[k] == strayKey ? m_strays : m_toolMarkers).push_back(f->positions[k]);
            grow(project(f->positions[k]));
        }
    }
    update();
}

void PositionPlot::setPlane(Plane plane)
{
    if (plane == m_plane) return;
    m_plane = plane;
    m_extent = QRectF();
    update();
}

QPointF PositionPlot::project(const Eigen::Vector3d& p) const
{
    return {p.x(), m_plane == Plane::XY ? p.y() : p.z()};
}

void PositionPlot::grow(const QPointF& p)
{
    const QRectF point(p.x() - kMinimumSpanMm / 2, p.y() - kMinimumSpanMm / 2, kMinimumSpanMm,
                       kMinimumSpanMm);
    m_extent = m_extent.isNull() ? point : m_extent.united(point);
}

void PositionPlot::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), QColor(0xfb, 0xfb, 0xfb));
    const QString vertical = m_plane == Plane::XY ? QStringLiteral("y") : QStringLiteral("z");
    const QRectF area = QRectF(rect()).adjusted(44, 12, -12, -30);
    if (area.width() < 20 || area.height() < 20) return;

    painter.setPen(QColor(0x60, 0x60, 0x60));
    if (m_extent.isNull()) {
        painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("no positions yet"));
        return;
    }
    // Equal scales on both axes: a top-down view must not distort distances.
    const double span = std::max(m_extent.width(), m_extent.height()) * 1.1;
    const double scale = std::min(area.width(), area.height()) / span;
    const QPointF centre = m_extent.center();
    const auto toScreen = [&](const QPointF& p) {
        return QPointF(area.center().x() + (p.x() - centre.x()) * scale,
                       area.center().y() - (p.y() - centre.y()) * scale);
    };
    const auto toPlot = [&](double sx, double sy) {
        return QPointF(centre.x() + (sx - area.center().x()) / scale,
                       centre.y() - (sy - area.center().y()) / scale);
    };

    // Grid and axis numbers.
    const QPointF low = toPlot(area.left(), area.bottom());
    const QPointF high = toPlot(area.right(), area.top());
    const double step = gridStep(std::max(high.x() - low.x(), high.y() - low.y()));
    QFont small = font();
    small.setPointSizeF(std::max(6.0, small.pointSizeF() * 0.8));
    painter.setFont(small);
    for (double x = std::ceil(low.x() / step) * step; x <= high.x(); x += step) {
        const double sx = toScreen({x, 0}).x();
        painter.setPen(x == 0 ? QColor(0xa0, 0xa0, 0xa0) : QColor(0xe4, 0xe4, 0xe4));
        painter.drawLine(QPointF(sx, area.top()), QPointF(sx, area.bottom()));
        painter.setPen(QColor(0x60, 0x60, 0x60));
        painter.drawText(QRectF(sx - 30, area.bottom() + 2, 60, 14), Qt::AlignHCenter,
                         QString::number(x, 'f', 0));
    }
    for (double y = std::ceil(low.y() / step) * step; y <= high.y(); y += step) {
        const double sy = toScreen({0, y}).y();
        painter.setPen(y == 0 ? QColor(0xa0, 0xa0, 0xa0) : QColor(0xe4, 0xe4, 0xe4));
        painter.drawLine(QPointF(area.left(), sy), QPointF(area.right(), sy));
        painter.setPen(QColor(0x60, 0x60, 0x60));
        painter.drawText(QRectF(0, sy - 7, area.left() - 4, 14), Qt::AlignRight | Qt::AlignVCenter,
                         QString::number(y, 'f', 0));
    }
    painter.drawText(QRectF(area.left(), area.bottom() + 14, area.width(), 14), Qt::AlignRight,
                     QStringLiteral("x (mm) \u2192   %1 (mm) \u2191").arg(vertical));
    painter.setClipRect(area.adjusted(-6, -6, 6, 6));

    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x50, 0x50, 0x50));
    for (const auto& m : m_toolMarkers) painter.drawEllipse(toScreen(project(m)), 2.0, 2.0);

    painter.setPen(QPen(QColor(0xd6, 0x27, 0x28), 1.6));
    for (const auto& m : m_strays) {
        const QPointF s = toScreen(project(m));
        painter.drawLine(s + QPointF(-4, -4), s + QPointF(4, 4));
        painter.drawLine(s + QPointF(-4, 4), s + QPointF(4, -4));
    }

    painter.setFont(font());
    for (std::size_t k = 0; k < m_tools.size(); ++k) {
        const QColor colour = kToolColours[k % std::size(kToolColours)];
        const QPointF s = toScreen(project(m_tools[k].position));
        painter.setPen(QPen(colour.darker(140), 1.2));
        painter.setBrush(colour);
        painter.drawEllipse(s, 6.0, 6.0);
        painter.setPen(colour.darker(160));
        painter.drawText(s + QPointF(9, -6), m_tools[k].name);
    }

    painter.setClipping(false);
    painter.setPen(QColor(0x60, 0x60, 0x60));
    painter.drawText(
        QRectF(area.left() + 4, area.top() + 2, area.width() - 8, 16), Qt::AlignLeft,
        QStringLiteral("\u25cf tools   \u00b7 tool markers   \u00d7 stray markers (%1)")
            .arg(m_strays.size()));
}

}  // namespace workbench

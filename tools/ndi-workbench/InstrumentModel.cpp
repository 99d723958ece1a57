#include "InstrumentModel.h"

#include "PoseText.h"

#include <QBrush>
#include <QFont>

#include <algorithm>

namespace workbench {

namespace {

bool sameIds(const std::vector<Velantor::TrackingInstrument>& a,
             const std::vector<Velantor::TrackingInstrument>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const auto& x, const auto& y) { return x.id == y.id; });
}

}  // namespace

InstrumentModel::InstrumentModel(QObject* parent) : QAbstractTableModel(parent) {}

void InstrumentModel::setFrame(const Velantor::TrackingStreamData& frame)
{
    ++m_framesShown;
    const bool mainChanged = frame.mainInstrumentId != m_mainId;
    m_mainId = frame.mainInstrumentId;
    // Rows keep their place (and the user's selection) while the list stands.
    if (!sameIds(m_rows, frame.instruments)) {
        beginResetModel();
        m_rows = frame.instruments;
        endResetModel();
        return;
    }
    m_rows = frame.instruments;
    if (!m_rows.empty())
        Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1),
                           mainChanged ? QVector<int>{} : QVector<int>{Qt::DisplayRole});
}

int InstrumentModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int InstrumentModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant InstrumentModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const Velantor::TrackingInstrument& i = m_rows[static_cast<std::size_t>(index.row())];
    const bool pose = hasPose(i);
    if (role == Qt::FontRole && i.id.ID() == m_mainId) {
        QFont bold;
        bold.setBold(true);
        return bold;
    }
    if (role == Qt::ForegroundRole && index.column() == State && !pose)
        return QBrush(i.active ? Qt::darkRed : Qt::gray);
    if (role == Qt::TextAlignmentRole && index.column() >= Quality && index.column() <= Z)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
    case Id: return QString::fromStdString(i.id.ID());
    case Name: return QString::fromStdString(i.id.name());
    case State: return stateText(i);
    case Quality: return pose ? QString::number(i.quality, 'f', 3) : QString();
    case X:
    case Y:
    case Z: return pose ? QString::number(i.matrix(index.column() - X, 3), 'f', 2) : QString();
    case Rotation: return pose ? rotationText(i.matrix) : QString();
    default: return {};
    }
}

QVariant InstrumentModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
    case Id: return QStringLiteral("ID");
    case Name: return QStringLiteral("Name");
    case State: return QStringLiteral("State");
    case Quality: return QStringLiteral("Quality");
    case X: return QStringLiteral("x (mm)");
    case Y: return QStringLiteral("y (mm)");
    case Z: return QStringLiteral("z (mm)");
    case Rotation: return QStringLiteral("Rotation");
    default: return {};
    }
}

QString InstrumentModel::toText() const
{
    QStringList lines;
    QStringList cells;
    for (int c = 0; c < ColumnCount; ++c) cells << headerData(c, Qt::Horizontal).toString();
    lines << cells.join(QLatin1Char('\t'));
    for (int r = 0; r < rowCount(); ++r) {
        cells.clear();
        for (int c = 0; c < ColumnCount; ++c) cells << data(index(r, c)).toString();
        lines << cells.join(QLatin1Char('\t'));
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

}  // namespace workbench

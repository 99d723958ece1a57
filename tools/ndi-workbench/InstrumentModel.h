#pragma once
// The live view's table: one row per instrument of the latest frame shown,
// with its pose (position in millimetres, rotation as angle and axis),
// quality and state. Fed on the user-interface thread with frames the view
// took from a FrameFeed; it never reads the stream.
#include <Velantor/TrackingStreamData.h>

#include <QAbstractTableModel>

#include <vector>

namespace workbench {

class InstrumentModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column : int { Id, Name, State, Quality, X, Y, Z, Rotation, ColumnCount };

    explicit InstrumentModel(QObject* parent = nullptr);

    void setFrame(const Velantor::TrackingStreamData& frame);
    const std::vector<Velantor::TrackingInstrument>& instruments() const { return m_rows; }
    bool hasShownFrame() const { return m_framesShown > 0; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // What the table shows, as tab-separated lines: the headers, then a line per row.
    QString toText() const;

private:
    std::vector<Velantor::TrackingInstrument> m_rows;
    std::string m_mainId;
    std::uint64_t m_framesShown = 0;
};

}  // namespace workbench

#pragma once
// TrackingInstrumentTable: a live list of a tracking stream's instruments,
// one row per instrument in the registry's id order, with the columns
// "ID", "Name", "Active" (a check mark), "Quality" and "Position" (x, y, z of
// the pose in millimetres; "not tracked" while the quality is not above 0 or
// the pose is not finite, so that an untracked instrument never shows the
// origin as a position).
//
// Options (a bit set; the serial streams' panel passes 7, all of them):
//   1 ShowTrackingData      show the "Quality" and "Position" columns
//   2 FollowFrames          follow the stream's frames (a few updates a
//                           second at most); without it the table changes only
//                           when the instrument list or the stream's state does
//   4 SelectMainInstrument  show the main instrument in bold; a double click on
//                           a row makes that instrument the main one (announced
//                           to the host through TrackingStream::emitSignals)
//
// The table never touches the stream's registry on the user-interface thread:
// a stream may hold the registry's lock while it talks to its device (a tool
// upload at open). The stream's signals only leave a note (the latest frame,
// or "read the registry") and queue a call to the table; the registry is read,
// and main-instrument requests are made, on the table's own reader thread.
// Destroying the table disconnects it from the stream and ends that thread;
// the stream must outlive the table.
#include <QElapsedTimer>
#include <QTableWidget>

#include <memory>
#include <string>
#include <vector>

namespace Velantor {

class TrackingStream;
struct TrackingInstrument;

class TrackingInstrumentTable : public QTableWidget {
    Q_OBJECT

public:
    enum Option : int {
        ShowTrackingData = 1,
        FollowFrames = 2,
        SelectMainInstrument = 4,
        AllOptions = 7,
    };
    enum Column : int {
        IdColumn = 0,
        NameColumn,
        ActiveColumn,
        QualityColumn,
        PositionColumn,
        ColumnCount
    };

    // stream may be null (an empty table).
    TrackingInstrumentTable(TrackingStream* stream, int options = AllOptions,
                            QWidget* parent = nullptr);
    ~TrackingInstrumentTable() override;

    TrackingStream* stream() const { return m_stream; }
    int options() const { return m_options; }

    // As shown now.
    std::vector<std::string> instrumentIds() const;
    std::string mainInstrumentId() const { return m_mainId; }
    // The id of the selected row, or "".
    std::string selectedInstrumentId() const;

    // Asks the stream's registry to make the instrument main (on the reader
    // thread); the table follows once the stream has announced the change.
    void requestMainInstrument(const std::string& id);

Q_SIGNALS:
    // After every update of the rows (also when nothing visible changed).
    void instrumentsUpdated();

private Q_SLOTS:
    void onFeedReady();

private:
    class Feed;
    void apply(const std::vector<TrackingInstrument>& instruments, const std::string& mainId);

    TrackingStream* m_stream = nullptr;
    int m_options = 0;
    std::string m_mainId;
    std::unique_ptr<Feed> m_feed;
    QTimer* m_throttle = nullptr;
    QElapsedTimer m_clock;
    qint64 m_lastApplyMs = -1;
};

}  // namespace Velantor

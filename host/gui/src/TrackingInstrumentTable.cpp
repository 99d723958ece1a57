#include <Velantor/TrackingInstrumentTable.h>

#include <Velantor/TrackingStream.h>

#include <QHeaderView>
#include <QMetaObject>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace Velantor {

namespace {

// Frames come every few milliseconds; people read a handful of updates a
// second, and a busy user-interface thread helps nobody.
constexpr qint64 kMinUpdateIntervalMs = 40;

QString positionText(const TrackingInstrument& instrument)
{
    const double x = instrument.matrix(0, 3), y = instrument.matrix(1, 3),
                 z = instrument.matrix(2, 3);
    if (!(instrument.quality > 0.0) || !std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z))
        return QStringLiteral("not tracked");
    return QStringLiteral("%1, %2, %3").arg(x, 0, 'f', 2).arg(y, 0, 'f', 2).arg(z, 0, 'f', 2);
}

}  // namespace

// What the stream's threads hand to the table, and the thread that reads the
// registry for it. Everything here is guarded by one mutex that is never held
// while calling out (into the registry, the stream or Qt).
class TrackingInstrumentTable::Feed {
public:
    struct Update {
        std::vector<TrackingInstrument> instruments;
        std::string mainId;
    };

    Feed(TrackingInstrumentTable* table, TrackingStream* stream) : m_table(table), m_stream(stream)
    {
        m_thread = std::thread([this] { run(); });
    }

    ~Feed()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    void wantSnapshot()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_snapshotWanted = true;
        }
        m_wake.notify_all();
    }

    void addJob(std::function<void()> job)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_jobs.push_back(std::move(job));
        }
        m_wake.notify_all();
    }

    void frameArrived(std::shared_ptr<const TrackingStreamData> frame)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_frame = std::move(frame);
            m_frameSerial = ++m_serial;
        }
        notifyTable();
    }

    // Called by the table before it takes: whatever arrives later queues a new call.
    void rearm() { m_posted.store(false); }

    // The newer of the latest frame and the latest registry snapshot.
    bool take(Update& out)
    {
        std::shared_ptr<const TrackingStreamData> frame;
        std::optional<Update> snapshot;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_frame && (!m_snapshot || m_frameSerial > m_snapshotSerial)) {
                frame = std::move(m_frame);
            } else if (m_snapshot) {
                snapshot = std::move(m_snapshot);
            }
            m_frame.reset();
            m_snapshot.reset();
        }
        if (frame) {
            out.instruments = frame->instruments;
            out.mainId = frame->mainInstrumentId;
            return true;
        }
        if (snapshot) {
            out = std::move(*snapshot);
            return true;
        }
        return false;
    }

private:
    void notifyTable()
    {
        // One queued call at a time; the table takes everything that piled up.
        if (!m_posted.exchange(true))
            QMetaObject::invokeMethod(m_table, "onFeedReady", Qt::QueuedConnection);
    }

    void run()
    {
        for (;;) {
            std::deque<std::function<void()>> jobs;
            bool snapshotWanted = false;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock,
                            [this] { return m_stopping || m_snapshotWanted || !m_jobs.empty(); });
                if (m_stopping) return;
                jobs.swap(m_jobs);
                snapshotWanted = m_snapshotWanted;
                m_snapshotWanted = false;
            }
            for (auto& job : jobs) job();
            if (!snapshotWanted) continue;
            Update update;
            if (ThreadSafeInstrumentsBase* registry = m_stream->trackingInstruments()) {
                update.instruments = registry->instruments();
                update.mainId = registry->mainId();
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_snapshot = std::move(update);
                m_snapshotSerial = ++m_serial;
            }
            notifyTable();
        }
    }

    TrackingInstrumentTable* const m_table;
    TrackingStream* const m_stream;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    bool m_snapshotWanted = false;
    std::deque<std::function<void()>> m_jobs;
    std::shared_ptr<const TrackingStreamData> m_frame;
    std::optional<Update> m_snapshot;
    std::uint64_t m_serial = 0, m_frameSerial = 0, m_snapshotSerial = 0;
    std::atomic<bool> m_posted{false};
    std::thread m_thread;
};

TrackingInstrumentTable::TrackingInstrumentTable(TrackingStream* stream, int options,
                                                 QWidget* parent)
    : QTableWidget(0, ColumnCount, parent), m_stream(stream), m_options(options)
{
    setHorizontalHeaderLabels({tr("ID"), tr("Name"), tr("Active"), tr("Quality"), tr("Position")});
    verticalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    const bool trackingData = (m_options & ShowTrackingData) != 0;
    setColumnHidden(QualityColumn, !trackingData);
    setColumnHidden(PositionColumn, !trackingData);

    m_clock.start();
    m_throttle = new QTimer(this);
    m_throttle->setSingleShot(true);
    connect(m_throttle, &QTimer::timeout, this, &TrackingInstrumentTable::onFeedReady);

    connect(this, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
        if (!(m_options & SelectMainInstrument)) return;
        if (QTableWidgetItem* id = item(row, IdColumn))
            requestMainInstrument(id->text().toStdString());
    });

    if (!m_stream) return;
    m_feed = std::make_unique<Feed>(this, m_stream);
    Feed* feed = m_feed.get();
    m_stream->instrumentsChanged.connect(
        this, [feed](Flags<InstrumentModification>) { feed->wantSnapshot(); });
    m_stream->StateChange.connect(this,
                                  [feed](Stream::State, Stream::State) { feed->wantSnapshot(); });
    if (m_options & FollowFrames) {
        m_stream->dataSignal.connect(this, [feed](std::shared_ptr<const StreamData> data) {
            if (auto frame = std::dynamic_pointer_cast<const TrackingStreamData>(data))
                feed->frameArrived(std::move(frame));
        });
    }
    feed->wantSnapshot();
}

TrackingInstrumentTable::~TrackingInstrumentTable()
{
    if (m_stream) {
        // Once these return no callback runs any more, so the feed can go.
        m_stream->dataSignal.disconnect(this);
        m_stream->instrumentsChanged.disconnect(this);
        m_stream->StateChange.disconnect(this);
    }
    m_feed.reset();
}

std::vector<std::string> TrackingInstrumentTable::instrumentIds() const
{
    std::vector<std::string> ids;
    for (int row = 0; row < rowCount(); ++row)
        if (const QTableWidgetItem* id = item(row, IdColumn))
            ids.push_back(id->text().toStdString());
    return ids;
}

std::string TrackingInstrumentTable::selectedInstrumentId() const
{
    const QList<QTableWidgetItem*> items = selectedItems();
    for (const QTableWidgetItem* it : items)
        if (const QTableWidgetItem* id = item(it->row(), IdColumn)) return id->text().toStdString();
    return std::string();
}

void TrackingInstrumentTable::requestMainInstrument(const std::string& id)
{
    if (!m_feed || id.empty()) return;
    TrackingStream* stream = m_stream;
    m_feed->addJob([stream, id] {
        ThreadSafeInstrumentsBase* registry = stream->trackingInstruments();
        if (!registry) return;
        stream->emitSignals(registry->setMainById(id));
    });
}

void TrackingInstrumentTable::onFeedReady()
{
    if (!m_feed) return;
    const qint64 now = m_clock.elapsed();
    if (m_lastApplyMs >= 0 && now - m_lastApplyMs < kMinUpdateIntervalMs) {
        // Too soon: the timer comes back for everything that piles up meanwhile
        // (no new queued calls are made until then).
        if (!m_throttle->isActive())
            m_throttle->start(static_cast<int>(kMinUpdateIntervalMs - (now - m_lastApplyMs)));
        return;
    }
    m_feed->rearm();
    Feed::Update update;
    if (!m_feed->take(update)) return;
    m_lastApplyMs = now;
    apply(update.instruments, update.mainId);
}

void TrackingInstrumentTable::apply(const std::vector<TrackingInstrument>& instruments,
                                    const std::string& mainId)
{
    const std::string selected = selectedInstrumentId();
    const std::vector<std::string> before = instrumentIds();
    const bool showMain = (m_options & SelectMainInstrument) != 0;

    setRowCount(static_cast<int>(instruments.size()));
    for (int row = 0; row < rowCount(); ++row) {
        const TrackingInstrument& instrument = instruments[static_cast<std::size_t>(row)];
        const bool bold = showMain && instrument.id.ID() == mainId;
        auto cell = [&](int column, const QString& text) -> QTableWidgetItem* {
            QTableWidgetItem* it = item(row, column);
            if (!it) {
                it = new QTableWidgetItem;
                it->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
                setItem(row, column, it);
            }
            if (it->text() != text) it->setText(text);
            if (it->font().bold() != bold) {
                QFont font = it->font();
                font.setBold(bold);
                it->setFont(font);
            }
            return it;
        };
        cell(IdColumn, QString::fromStdString(instrument.id.ID()));
        cell(NameColumn, QString::fromStdString(instrument.id.name()));
        QTableWidgetItem* active = cell(ActiveColumn, QString());
        const Qt::CheckState state = instrument.active ? Qt::Checked : Qt::Unchecked;
        if (active->data(Qt::CheckStateRole).isNull() || active->checkState() != state)
            active->setCheckState(state);
        cell(QualityColumn, instrument.quality > 0.0 ? QString::number(instrument.quality, 'f', 3)
                                                     : QStringLiteral("0"));
        cell(PositionColumn, positionText(instrument));
    }
    m_mainId = mainId;

    // Keep the selection on the same instrument when rows moved.
    if (!selected.empty() && instrumentIds() != before) {
        clearSelection();
        for (int row = 0; row < rowCount(); ++row)
            if (item(row, IdColumn)->text().toStdString() == selected) selectRow(row);
    }
    Q_EMIT instrumentsUpdated();
}

}  // namespace Velantor

#pragma once
// One stream on screen: the panel the plugin's controller factory makes for
// its algorithm, beside the live view of its frames (the instrument table and
// the top-down plot) and a status line. The page owns the session: the panel
// and the feed go before the stream they look at.
#include "StreamSession.h"

#include <Velantor/AlgorithmController.h>

#include <QElapsedTimer>
#include <QWidget>

#include <memory>

class QLabel;
class QScrollArea;
class QTableView;
class QTimer;

namespace workbench {

class AlgorithmHost;
class FrameFeed;
class InstrumentModel;
class PositionPlot;

class StreamPage : public QWidget {
    Q_OBJECT

public:
    StreamPage(const AlgorithmHost& host, std::unique_ptr<StreamSession> session,
               QWidget* parent = nullptr);
    ~StreamPage() override;

    StreamSession& session() const { return *m_session; }
    InstrumentModel& model() const { return *m_model; }
    // The panel the factory made, or null when it made none.
    QWidget* panel() const { return m_panelWidget; }
    // Nothing more to wait for before a picture shows what was asked: the
    // open (and start) requests have ended, the panel is built, and a started
    // stream's frames are on screen.
    bool settled() const;
    // Shows the latest frame now, without waiting for the next refresh.
    void refreshNow() { refresh(); }

private:
    void createPanel();
    void refresh();
    void reportRequests();

    const AlgorithmHost& m_host;
    std::unique_ptr<StreamSession> m_session;
    std::unique_ptr<FrameFeed> m_feed;
    std::unique_ptr<Velantor::AlgorithmController> m_controller;
    QWidget* m_panelWidget = nullptr;
    QScrollArea* m_panelArea = nullptr;
    bool m_panelCreated = false;
    InstrumentModel* m_model = nullptr;
    QTableView* m_table = nullptr;
    PositionPlot* m_plot = nullptr;
    QLabel* m_status = nullptr;
    QTimer* m_timer = nullptr;
    QElapsedTimer m_rateClock;
    std::uint64_t m_rateFrames = 0;
    double m_rate = 0;
    bool m_openReported = false;
    bool m_startReported = false;
};

}  // namespace workbench

#include "StreamPage.h"

#include "AlgorithmHost.h"
#include "FrameFeed.h"
#include "InstrumentModel.h"
#include "PositionPlot.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QScrollArea>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

namespace workbench {

namespace {

// The live view follows the frames at this pace: enough to watch a tool move,
// and little work for the user-interface thread whatever the stream's rate.
constexpr int kRefreshMs = 100;

}  // namespace

StreamPage::StreamPage(const AlgorithmHost& host, std::unique_ptr<StreamSession> session,
                       QWidget* parent)
    : QWidget(parent), m_host(host), m_session(std::move(session))
{
    m_feed = std::make_unique<FrameFeed>(m_session->stream());

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(splitter);

    auto* scroll = new QScrollArea(splitter);
    scroll->setWidgetResizable(true);
    scroll->setMinimumWidth(280);
    m_panelArea = scroll;
    auto* waiting = new QLabel(QStringLiteral("Opening the connection..."));
    waiting->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    scroll->setWidget(waiting);
    splitter->addWidget(scroll);

    auto* live = new QWidget(splitter);
    auto* liveLayout = new QVBoxLayout(live);
    liveLayout->setContentsMargins(0, 0, 0, 0);
    m_status = new QLabel(live);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    liveLayout->addWidget(m_status);

    m_model = new InstrumentModel(this);
    m_table = new QTableView(live);
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setStretchLastSection(true);
    liveLayout->addWidget(m_table, 2);

    auto* planeRow = new QHBoxLayout;
    auto* plane = new QComboBox(live);
    plane->addItem(QStringLiteral("x / y"));
    plane->addItem(QStringLiteral("x / z"));
    planeRow->addWidget(new QLabel(QStringLiteral("Positions, seen along the third axis:"), live));
    planeRow->addWidget(plane);
    planeRow->addStretch(1);
    liveLayout->addLayout(planeRow);
    m_plot = new PositionPlot(live);
    liveLayout->addWidget(m_plot, 3);
    connect(plane, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this](int index) {
        m_plot->setPlane(index == 0 ? PositionPlot::Plane::XY : PositionPlot::Plane::XZ);
    });

    splitter->addWidget(live);
    splitter->setStretchFactor(0, 2);
    splitter->setStretchFactor(1, 3);
    // Room for the panel's instrument ids, the rest for the live view.
    splitter->setSizes({470, 800});

    m_rateClock.start();
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &StreamPage::refresh);
    m_timer->start(kRefreshMs);
    refresh();
}

StreamPage::~StreamPage()
{
    m_timer->stop();
    // The panel and the feed look at the stream: they go first.
    m_controller.reset();
    m_panelWidget = nullptr;
    m_feed.reset();
    m_session.reset();
}

bool StreamPage::settled() const
{
    using R = StreamSession::Request;
    const R open = m_session->openResult();
    const R start = m_session->startResult();
    if (!m_panelCreated || open == R::Pending || start == R::Pending) return false;
    if (open == R::Failed || start == R::Failed) return true;
    return start != R::Succeeded || m_model->hasShownFrame();
}

void StreamPage::createPanel()
{
    m_controller = m_host.createController(&m_session->algorithm());
    m_panelWidget = dynamic_cast<QWidget*>(m_controller.get());
    if (m_controller) m_controller->init();
    if (m_panelWidget != nullptr) {
        m_panelArea->setWidget(m_panelWidget);
    } else {
        auto* none = new QLabel(QStringLiteral("The loaded plugins offer no panel for %1.")
                                    .arg(QString::fromStdString(m_session->algorithm().id())));
        none->setWordWrap(true);
        none->setAlignment(Qt::AlignTop | Qt::AlignLeft);
        m_panelArea->setWidget(none);
    }
}

void StreamPage::refresh()
{
    // A panel reads the stream's settings as it is built, and a stream may
    // rewrite its device setting while being read (a device it does not know
    // by name becomes auto-detection): built while an open is on its way, the
    // panel could change the device that open is about to use.
    if (!m_panelCreated && m_session->openResult() != StreamSession::Request::Pending) {
        m_panelCreated = true;
        createPanel();
    }
    if (auto frame = m_feed->takeLatest()) {
        m_model->setFrame(*frame);
        m_plot->setFrame(*frame);
    }
    const std::uint64_t frames = m_feed->count();
    const qint64 elapsed = m_rateClock.elapsed();
    if (elapsed >= 1000) {
        m_rate = static_cast<double>(frames - m_rateFrames) * 1000.0 / static_cast<double>(elapsed);
        m_rateFrames = frames;
        m_rateClock.restart();
    }
    reportRequests();
    const Velantor::Stream& stream = m_session->stream();
    QString text = QStringLiteral("<b>%1</b> \u2014 %2 \u00b7 %3 frames \u00b7 %4 Hz")
                       .arg(QString::fromStdString(stream.name()).toHtmlEscaped(),
                            QString::fromLatin1(Velantor::Stream::stateName(stream.currentState())))
                       .arg(frames)
                       .arg(m_rate, 0, 'f', 0);
    std::string reason;
    if (m_session->openResult(&reason) == StreamSession::Request::Failed)
        text += QStringLiteral(" \u00b7 <span style='color:#b00'>open failed: %1</span>")
                    .arg(QString::fromStdString(reason).toHtmlEscaped());
    else if (m_session->startResult(&reason) == StreamSession::Request::Failed)
        text += QStringLiteral(" \u00b7 <span style='color:#b00'>start failed: %1</span>")
                    .arg(QString::fromStdString(reason).toHtmlEscaped());
    m_status->setText(text);
}

void StreamPage::reportRequests()
{
    // Once each, on stderr too: a run without a screen (a script, a test)
    // must learn why its stream shows nothing.
    std::string reason;
    const std::string& id = m_session->algorithm().id();
    if (!m_openReported && m_session->openResult(&reason) == StreamSession::Request::Failed) {
        m_openReported = true;
        std::fprintf(stderr, "ndi-workbench: %s: the stream could not be opened (%s)\n", id.c_str(),
                     reason.c_str());
    }
    if (!m_startReported && !m_openReported &&
        m_session->startResult(&reason) == StreamSession::Request::Failed) {
        m_startReported = true;
        std::fprintf(stderr, "ndi-workbench: %s: tracking could not be started (%s)\n", id.c_str(),
                     reason.c_str());
    }
}

}  // namespace workbench

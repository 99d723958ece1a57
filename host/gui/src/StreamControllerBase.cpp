#include <Velantor/StreamControllerBase.h>

#include <Velantor/Algorithm.h>
#include <Velantor/Configurable.h>
#include <Velantor/Log.h>
#include <Velantor/Stream.h>
#include <Velantor/TrackingInstrumentTable.h>
#include <Velantor/TrackingStream.h>

#include <QGridLayout>
#include <QGroupBox>
#include <QMetaObject>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>

namespace Velantor {

namespace {

// A slot must not let an exception into Qt's event loop.
template <typename Action>
void guarded(const char* what, Action&& action)
{
    try {
        action();
    } catch (const std::exception& e) {
        Log::logIf(Log::Error, "StreamControllerBase",
                   [&] { return std::string(what) + ": " + e.what(); });
    } catch (...) {
        Log::logIf(Log::Error, "StreamControllerBase",
                   [&] { return std::string(what) + ": unknown exception"; });
    }
}

}  // namespace

StreamControllerBase::StreamControllerBase(Algorithm* algorithm, bool standardControls,
                                           QWidget* parent)
    : QWidget(parent), m_algorithm(algorithm), m_standardControls(standardControls)
{
}

StreamControllerBase::~StreamControllerBase()
{
    if (m_connectedStream) m_connectedStream->StateChange.disconnect(this);
    // The editor (a child) outlives our members: let it forget the block first.
    if (PropertiesWidget* editor = propertiesWidget())
        if (editor->properties() == &m_properties) editor->setProperties(nullptr);
}

Stream* StreamControllerBase::stream() const
{
    auto* streamAlgorithm = dynamic_cast<StreamAlgorithmBase*>(m_algorithm);
    return streamAlgorithm ? streamAlgorithm->stream() : nullptr;
}

PropertiesWidget* StreamControllerBase::propertiesWidget() const
{
    if (m_propertiesWidget) return m_propertiesWidget.data();
    return findChild<PropertiesWidget*>();
}

void StreamControllerBase::setPropertiesWidget(PropertiesWidget* widget)
{
    m_propertiesWidget = widget;
}

Configurable* StreamControllerBase::configurationTarget() const
{
    if (auto* configurable = dynamic_cast<Configurable*>(stream())) return configurable;
    return m_algorithm;
}

void StreamControllerBase::init()
{
    if (m_initialized) return;
    m_initialized = true;
    if (m_standardControls) buildStandardControls();
}

void StreamControllerBase::onParameterChanged()
{
    PropertiesWidget* editor = qobject_cast<PropertiesWidget*>(sender());
    if (!editor) editor = propertiesWidget();
    if (!editor) return;
    const std::vector<std::string> keys = editor->takeChangedKeys();
    const Properties* edited = editor->properties();
    Configurable* target = configurationTarget();
    if (keys.empty() || !edited || !target) return;

    Properties changes(edited->name());
    for (const std::string& key : keys) {
        const Properties::Value* value = edited->rawParam(key);
        if (!value) continue;
        std::visit([&](const auto& v) { changes.setParam(key, v); }, *value);
        changes.setParamType(key, edited->paramType(key));
        changes.setParamAttributes(key, edited->paramAttributes(key));
    }
    guarded("Applying the changed settings failed", [&] { target->configure(&changes); });
    updatePropertiesWidget();
}

void StreamControllerBase::updatePropertiesWidget()
{
    PropertiesWidget* editor = propertiesWidget();
    if (!editor) return;
    Properties current;
    if (Configurable* target = configurationTarget())
        guarded("Reading the settings failed", [&] { target->configuration(&current); });
    m_properties = current;
    if (editor->properties() == &m_properties)
        editor->refresh();
    else
        editor->setProperties(&m_properties);
}

void StreamControllerBase::buildStandardControls()
{
    m_mainLayout = new QVBoxLayout(this);

    auto* group = new QGroupBox(tr("Connection"), this);
    auto* grid = new QGridLayout(group);
    m_connectionButton = new QPushButton(tr("Open Connection"), group);
    m_connectionButton->setObjectName(QStringLiteral("connectionButton"));
    m_startButton = new QPushButton(tr("Start"), group);
    m_startButton->setObjectName(QStringLiteral("startButton"));
    grid->addWidget(m_connectionButton, 0, 0);
    grid->addWidget(m_startButton, 0, 1);
    connect(m_connectionButton, &QPushButton::clicked, this,
            &StreamControllerBase::onConnectionClicked);
    connect(m_startButton, &QPushButton::clicked, this, &StreamControllerBase::onStartClicked);
    m_mainLayout->addWidget(group);

    auto* editor = new PropertiesWidget(nullptr, this, this);
    editor->setSplitCamelCase(true);
    m_propertiesWidget = editor;
    connect(editor, &PropertiesWidget::parameterChanged, this,
            &StreamControllerBase::onParameterChanged);
    m_mainLayout->addWidget(editor);

    Stream* s = stream();
    m_table = new TrackingInstrumentTable(dynamic_cast<TrackingStream*>(s),
                                          TrackingInstrumentTable::AllOptions, this);
    m_mainLayout->addWidget(m_table);

    if (s) {
        m_connectedStream = s;
        // Any thread may change the state; the panel only ever changes on its own.
        s->StateChange.connect(this, [this](Stream::State, Stream::State) {
            QMetaObject::invokeMethod(this, "updateStandardControls", Qt::QueuedConnection);
        });
    }
    updateStandardControls();
    updatePropertiesWidget();
}

void StreamControllerBase::updateStandardControls()
{
    if (!m_connectionButton || !m_startButton) return;
    Stream* s = stream();
    const int state = s ? s->currentState() : Stream::Closed;
    QString connection;
    switch (state) {
    case Stream::Opening: connection = tr("Initializing..."); break;
    case Stream::Closing: connection = tr("Closing..."); break;
    case Stream::Closed: connection = tr("Open Connection"); break;
    default: connection = tr("Close Connection"); break;
    }
    m_connectionButton->setText(connection);
    m_connectionButton->setEnabled(s != nullptr);
    const bool running = state == Stream::Running || state == Stream::Paused;
    m_startButton->setText(running ? tr("Stop") : tr("Start"));
    m_startButton->setEnabled(s != nullptr && state > Stream::Opening && state != Stream::Closing);
}

void StreamControllerBase::onConnectionClicked()
{
    Stream* s = stream();
    if (!s) return;
    // The outcome arrives as state changes; the user-interface thread never waits for the device.
    if (s->isStateOneOf({Stream::Closed, Stream::Opening, Stream::Closing}))
        s->openAsync();
    else
        s->closeAsync();
    updateStandardControls();
}

void StreamControllerBase::onStartClicked()
{
    Stream* s = stream();
    if (!s) return;
    if (s->isStateOneOf({Stream::Running, Stream::Paused}))
        s->stopAsync();
    else
        s->startAsync();
    updateStandardControls();
}

}  // namespace Velantor

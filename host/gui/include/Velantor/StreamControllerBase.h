#pragma once
// StreamControllerBase: the base of the panels the host shows for stream
// algorithms (see AlgorithmControllerFactory). A QWidget that knows its
// algorithm and the algorithm's stream.
//
// Construction builds nothing; the host calls init() once afterwards.
// standardControls chooses who builds the panel:
//   true   the base's init() builds the host's standard panel: a "Connection"
//          group with the connection button (open/close) and the start
//          button (start/stop), a properties editor for the stream's
//          settings (camel case split) and a TrackingInstrumentTable with all
//          options (7). The buttons follow the stream's state; their requests
//          never wait for the stream.
//   false  init() builds nothing: a derived panel builds its own widgets.
//          If it adds a PropertiesWidget (as a child of the panel), the base
//          keeps that editor in step with the stream: connect the editor's
//          parameterChanged to onParameterChanged() and call
//          updatePropertiesWidget() whenever the editor should show the
//          stream's current settings.
//
// The editor edits a copy of the settings read with configuration() from the
// stream, or from the algorithm when the stream is not Configurable. A user
// change is applied by configure() with a block holding only the changed
// parameters (value, type and attributes), so that settings the user did not
// touch (a list of tools, say) are never re-applied; the editor is then
// refreshed, showing what the stream actually accepted. An exception thrown
// by configure() or configuration() is logged (error, category
// "StreamControllerBase") and goes no further.
//
// Everything here runs on the user-interface thread; the stream's state
// changes reach the standard panel as queued calls. The stream must outlive
// the panel.
#include <Velantor/AlgorithmController.h>
#include <Velantor/Properties.h>
#include <Velantor/PropertiesWidget.h>

#include <QPointer>
#include <QWidget>

class QPushButton;
class QVBoxLayout;

namespace Velantor {

class Algorithm;
class Configurable;
class Stream;
class TrackingInstrumentTable;

class StreamControllerBase : public QWidget, public AlgorithmController {
    Q_OBJECT

public:
    StreamControllerBase(Algorithm* algorithm, bool standardControls, QWidget* parent = nullptr);
    ~StreamControllerBase() override;

    void init() override;
    Algorithm* algorithm() const override { return m_algorithm; }
    // The algorithm's stream, or null (no stream yet, or not a stream algorithm).
    Stream* stream() const;
    bool hasStandardControls() const { return m_standardControls; }

    // The editor the base keeps in step: the one set with setPropertiesWidget,
    // else the first PropertiesWidget among the panel's children.
    PropertiesWidget* propertiesWidget() const;
    void setPropertiesWidget(PropertiesWidget* widget);

public Q_SLOTS:
    // Applies the parameters the user changed in the editor (the sender, or
    // propertiesWidget()) to the stream.
    virtual void onParameterChanged();
    // Reads the stream's settings anew into the editor.
    void updatePropertiesWidget();

protected:
    // Where settings are read from and written to (see above); may be null.
    Configurable* configurationTarget() const;
    // The standard panel's parts (null without standard controls or before init).
    QVBoxLayout* mainLayout() const { return m_mainLayout; }
    TrackingInstrumentTable* instrumentTable() const { return m_table; }
    QPushButton* connectionButton() const { return m_connectionButton; }
    QPushButton* startButton() const { return m_startButton; }
    // Brings the standard panel's controls in line with the stream's state;
    // called after every state change. Derived panels extend it.
    Q_INVOKABLE virtual void updateStandardControls();

private:
    void buildStandardControls();
    void onConnectionClicked();
    void onStartClicked();

    Algorithm* m_algorithm = nullptr;
    bool m_standardControls = false;
    bool m_initialized = false;
    Stream* m_connectedStream = nullptr;
    QPointer<PropertiesWidget> m_propertiesWidget;
    Properties m_properties;
    QVBoxLayout* m_mainLayout = nullptr;
    QPushButton* m_connectionButton = nullptr;
    QPushButton* m_startButton = nullptr;
    TrackingInstrumentTable* m_table = nullptr;
};

}  // namespace Velantor

#pragma once
// The host's panel for streams that track optical markers the host defines
// (OpticalTrackingInterface): the standard stream panel (see
// StreamControllerBase) plus "Add Marker ..." (reads a tool-definition image
// chosen with QtHelpers::getOpenFilename, category "Tracker", and registers
// it under the file's base name) and "Remove Marker" (the instrument selected
// in the table). Markers change only while the stream is closed, so both
// buttons are enabled only then. When the stream is not an
// OpticalTrackingInterface the panel is the standard one alone.
#include <Velantor/StreamControllerBase.h>

class QLabel;
class QPushButton;

namespace Velantor {

class OpticalTrackingInterface;

class OpticalTrackingStreamController : public StreamControllerBase {
    Q_OBJECT

public:
    explicit OpticalTrackingStreamController(Algorithm* algorithm, QWidget* parent = nullptr);
    ~OpticalTrackingStreamController() override;

    void init() override;

protected:
    void updateStandardControls() override;

private:
    OpticalTrackingInterface* markers() const;
    void addMarker();
    void removeMarker();

    QPushButton* m_addButton = nullptr;
    QPushButton* m_removeButton = nullptr;
    QLabel* m_status = nullptr;
};

}  // namespace Velantor

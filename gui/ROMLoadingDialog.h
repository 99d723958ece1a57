#pragma once
// Asks for a tool-definition (ROM) file and the Aurora port (1 to 16) the
// tool is plugged into. The caller runs it modally and then reads both
// fields; the dialog itself gives acceptance or rejection no meaning.
#include <QDialog>
#include <QFileInfo>

class QLineEdit;
class QSpinBox;

namespace Velantor {

class ROMLoadingDialog : public QDialog {
    Q_OBJECT

public:
    explicit ROMLoadingDialog(QWidget* parent = nullptr);

    // The path field's text as it stands, typed or chosen.
    QFileInfo romFilepath() const;
    int port() const;

private:
    void browse();

    QSpinBox* m_port = nullptr;
    QLineEdit* m_path = nullptr;
};

}  // namespace Velantor

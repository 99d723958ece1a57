#include "ROMLoadingDialog.h"

#include <Velantor/QtHelpers.h>

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace Velantor {

ROMLoadingDialog::ROMLoadingDialog(QWidget* parent) : QDialog(parent)
{
    auto* layout = new QVBoxLayout(this);

    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(new QLabel(QStringLiteral("ROM Geometry File:"), this));
    m_path = new QLineEdit(this);
    m_path->setObjectName(QStringLiteral("romPath"));
    fileRow->addWidget(m_path);
    auto* browseButton = new QPushButton(QStringLiteral("..."), this);
    browseButton->setObjectName(QStringLiteral("browseButton"));
    // "..." must not become the default button: Return in the path field
    // would otherwise open the file dialog instead of accepting.
    browseButton->setAutoDefault(false);
    connect(browseButton, &QPushButton::clicked, this, &ROMLoadingDialog::browse);
    fileRow->addWidget(browseButton);
    layout->addLayout(fileRow);

    auto* portRow = new QHBoxLayout;
    portRow->addWidget(new QLabel(QStringLiteral("Port:"), this));
    m_port = new QSpinBox(this);
    m_port->setObjectName(QStringLiteral("port"));
    m_port->setValue(1);
    m_port->setMinimum(1);
    m_port->setMaximum(16);
    portRow->addWidget(m_port);
    layout->addLayout(portRow);

    auto* buttonRow = new QHBoxLayout;
    auto* okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setObjectName(QStringLiteral("okButton"));
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    buttonRow->addWidget(okButton);
    buttonRow->addStretch();
    layout->addLayout(buttonRow);

    setWindowTitle(QStringLiteral("Load Geometry from ROM file"));
}

QFileInfo ROMLoadingDialog::romFilepath() const { return QFileInfo(m_path->text()); }

int ROMLoadingDialog::port() const { return m_port->value(); }

void ROMLoadingDialog::browse()
{
    // A cancelled choice clears the field too: what stands there is always
    // the user's last answer.
    m_path->setText(QtHelpers::getOpenFilename(this, tr("Tracker"), tr("Select Geometry file"),
                                               tr("Geometry files (*.rom)"), nullptr, QString(),
                                               nullptr, QFileDialog::Options()));
}

}  // namespace Velantor

// An X server of the test's own for the runs that need a real screen.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>

namespace workbenchtest {

// Xvfb on the first free display, which it names itself (-displayfd), so that
// runs side by side never take each other's.
class XServer {
public:
    XServer()
    {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (program.isEmpty()) return;
        m_process.start(
            program, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                      QStringLiteral("0"), QStringLiteral("1400x900x24"),
                      QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        if (!m_process.waitForStarted(10000)) return;
        QByteArray number;
        while (!number.endsWith('\n') && m_process.waitForReadyRead(20000))
            number += m_process.readAllStandardOutput();
        if (number.trimmed().isEmpty()) return;
        m_display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
    }
    ~XServer()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000)) {
                m_process.kill();
                m_process.waitForFinished(5000);
            }
        }
    }
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    static bool available()
    {
        return !QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty();
    }
    // ":N", or empty when the server did not start.
    const QString& display() const { return m_display; }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), m_display);
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        return env;
    }

private:
    QProcess m_process;
    QString m_display;
};

}  // namespace workbenchtest

// ndi-workbench run as a child process, with its output collected and a
// limit to its run.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <string>

namespace workbenchtest {

struct Outcome {
    bool ended = false;  // false: still running at the limit, and then killed
    int code = -1;       // exit code, or -1 when ended by a signal
    std::string out;
    std::string err;
};

inline QProcessEnvironment offscreenEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

class WorkbenchProcess {
public:
    WorkbenchProcess(const QStringList& arguments,
                     const QProcessEnvironment& env = offscreenEnvironment())
    {
        m_process.setProcessEnvironment(env);
        m_process.start(QStringLiteral(NDI_WORKBENCH), arguments);
    }
    ~WorkbenchProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    WorkbenchProcess(const WorkbenchProcess&) = delete;
    WorkbenchProcess& operator=(const WorkbenchProcess&) = delete;

    void terminate() { m_process.terminate(); }

    // Waits until it ends or `limitMs` passes (then kills it).
    Outcome wait(int limitMs)
    {
        Outcome o;
        o.ended = m_process.waitForFinished(limitMs);
        if (!o.ended) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
        o.code =
            o.ended && m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
        o.out = m_process.readAllStandardOutput().toStdString();
        o.err = m_process.readAllStandardError().toStdString();
        return o;
    }

private:
    QProcess m_process;
};

inline Outcome runWorkbench(const QStringList& arguments,
                            const QProcessEnvironment& env = offscreenEnvironment())
{
    WorkbenchProcess p(arguments, env);
    return p.wait(60000);
}

}  // namespace workbenchtest

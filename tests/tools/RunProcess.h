#pragma once
// Runs a program of ours to its end and keeps what it said. The deadlines only
// keep a broken build from hanging the suite; they are no timing claim.
#include <QProcess>
#include <QString>
#include <QStringList>

#include <string>

struct Outcome {
    int code = -1;  // -1: did not start, crashed or was killed at the deadline
    std::string out;
    std::string err;
};

inline Outcome runProcess(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    Outcome run;
    if (!process.waitForStarted(30000)) return run;
    process.closeWriteChannel();
    if (!process.waitForFinished(120000)) process.kill();
    process.waitForFinished(10000);
    run.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

inline Outcome ndiTrack(const QStringList& arguments)
{
    return runProcess(QStringLiteral(NDI_TRACK), arguments);
}

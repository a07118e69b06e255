#ifndef XRFRESULTSPROCESS_H
#define XRFRESULTSPROCESS_H

// The real xrfresults run as a process, for the tests that use it as a
// person does. Header-only: XRF_XRFRESULTS is defined per test target.

#include <QProcess>
#include <QString>
#include <QStringList>

namespace XrfResultsProcess {

struct Run
{
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QString out;
    QString err;
};

// A run that does not end within the time is killed and has exit code -1.
inline Run run(const QStringList &args, int timeoutMs = 120000, const QString &workDir = QString(),
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(XRF_XRFRESULTS), args);
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitCode();
    r.status = p.exitStatus();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

} // namespace XrfResultsProcess

#endif // XRFRESULTSPROCESS_H

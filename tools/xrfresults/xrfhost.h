#ifndef XRFHOST_H
#define XRFHOST_H

// The library as the analyser's application runs it: services configured,
// facade started on a data folder, the queue under that folder, the host's
// connections made, and shut down in order (queue first, then the facade).

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include "commands.h"
#include "xrferrorinfo.h"
#include "xrfkorviresult.h"

class ProgressBar;

class XrfHost : public QObject
{
    Q_OBJECT
public:
    struct Stored
    {
        QString source;
        XrfKorviResult result;
        int testId = -1;
        // Why it was not queued, when the host itself held it back, and
        // whose fault that is (the file's or the machine's).
        QString problem;
        ExitCode problemExit = ExitOk;
    };

    // Only a host that stores needs a writable data folder and the queue;
    // one that reads works on a read-only card.
    enum Mode { ReadOnly, Storing };

    XrfHost(const QString &dataDir, const QString &configDir, Mode mode);
    ~XrfHost() override;

    // Starts everything; false with *error set when it cannot. *code is
    // NoError when the configuration is at fault, else the library's code.
    bool start(QString *error, XrfErrorInfo::XrfError *code);
    void stop();

    QString dataDir() const { return m_dataDir; }
    QString configDir() const { return m_configDir; }
    QString imageDir() const { return m_dataDir + QStringLiteral("/images/"); }
    QString queueDir() const;
    int queuedFileCount() const;
    // The file the library opened, as far as the host can tell.
    QString databaseFile() const;
    QJsonObject dbInfo() const { return m_dbInfo; }

    // A store that sees no result stored for this long gives up (exit 2);
    // what it queued stays for the next run.
    void setWaitSeconds(int seconds) { m_waitSeconds = seconds; }

    // Queues the results as the instrument does (their images, when they lie
    // in imagesFrom, are copied into the image store first), waits until each
    // is committed and the queue is empty, and fills in the test ids. A
    // result without a date-time gets the current one. On false, *error is
    // one line per problem.
    bool store(QList<Stored> &results, const QString &imagesFrom, bool progress, QString *error);

private:
    QStringList queuedFiles() const;
    bool isStoredOrQueued(const XrfKorviResult &result) const;
    QString copyImages(const XrfKorviResult &result, const QString &imagesFrom,
                       ExitCode *exitCode) const;
    void removeOrphanCopies(const QList<Stored> &results) const;
    // The pictures copied into the store, listed before each copy.
    QString copiesList() const { return m_dataDir + QStringLiteral("/xrfresults.copies"); }
    bool waitForQueue(int maxFiles, ProgressBar *bar, int total, QString *error);
    QString waitReason(bool thorough) const;

    QString m_dataDir;
    QString m_configDir;
    Mode m_mode;
    QJsonObject m_dbInfo;
    bool m_started = false;
    int m_committed = 0;
    int m_waitSeconds = 60;
    XrfErrorInfo::XrfError m_refusal = XrfErrorInfo::NoError;
    QStringList m_notQueued;
    QStringList m_setAside;
};

#endif // XRFHOST_H

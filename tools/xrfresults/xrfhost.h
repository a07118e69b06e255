#ifndef XRFHOST_H
#define XRFHOST_H

// The library as the analyser's application runs it: services configured,
// facade started on a data folder, the queue under that folder, the host's
// connections made, and shut down in order (queue first, then the facade).

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

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
    };

    XrfHost(const QString &dataDir, const QString &configDir);
    ~XrfHost() override;

    // Starts everything; false with *error set when it cannot.
    bool start(QString *error, XrfErrorInfo::XrfError *code);
    void stop();

    QString dataDir() const { return m_dataDir; }
    QString imageDir() const { return m_dataDir + QStringLiteral("/images/"); }
    QString queueDir() const;
    int queuedFileCount() const;
    QString databaseFile() const;
    QJsonObject dbInfo() const { return m_dbInfo; }

    // Queues the results as the instrument does (their images, when they lie
    // in imagesFrom, are copied into the image store first), waits until each
    // is committed and the queue is empty, and fills in the test ids.
    bool store(QList<Stored> &results, const QString &imagesFrom, bool progress, QString *error);

private:
    bool isStoredOrQueued(const XrfKorviResult &result) const;
    void waitForQueue(int maxFiles, ProgressBar *bar, int done, int total);

    QString m_dataDir;
    QString m_configDir;
    QJsonObject m_dbInfo;
    bool m_started = false;
    int m_committed = 0;
};

#endif // XRFHOST_H

#ifndef LIBRARYFIXTURE_H
#define LIBRARYFIXTURE_H

// The library started as a host starts it, on a temporary folder of the
// test's own, and shut down in the host's order.

#include <QDateTime>
#include <QJsonObject>
#include <QScopedPointer>
#include <QString>
#include <QTemporaryDir>

#include "xrfkorviresult.h"

class DatabaseManager;
class XrfResultManager;
class XrfResultQueue;

namespace TestSupport {

// A bundled result from samples/, e.g. sample("01-stainless-316").
XrfKorviResult sample(const QString &name);
// Its JSON, under this test id when one is given.
QJsonObject sampleJson(const QString &name, int testId = -1);
QString samplePath(const QString &relative);
// A light result for tests that store many: a sample without spectra and
// pictures, under this name and time.
XrfKorviResult quickResult(const QString &tidName, const QDateTime &when);
// Copies the sample pictures a result names into cardDir/images/<its day>/.
bool placeImages(const XrfKorviResult &result, const QString &cardDir);

class LibraryFixture
{
public:
    ~LibraryFixture() { end(); }

    // A new folder, made the current directory (the queue takes its folder
    // from there), an instrument with this serial and actions that only
    // store.
    bool begin(const QString &serial, const QString &tubeAnode = QString());
    // Facade instance and init(); null when init() fails.
    XrfResultManager *startFacade();
    void openCard(const QString &card = QStringLiteral("card"));
    // The queue with a short check interval and the host's connections.
    XrfResultQueue *startQueue(int checkMsecs = 50, bool exportConnection = false);
    // Queue, then facade.
    void stopLibrary();
    // Stops the library, resets the services and removes the folder.
    void end();

    // Adds through the facade and waits for the commit: the test id, or -1
    // when the insertion or the commit failed. committedAt is the date-time
    // resultCommitted carried.
    int store(const XrfKorviResult &result, int timeoutMsecs = 10000);
    QDateTime committedAt;
    // The stored result read whole through the facade; an empty one when
    // that fails, which no check of a stored result accepts.
    static XrfKorviResult readBack(int testId);

    QString path(const QString &relative = QString()) const;
    static void setActions(bool db, bool cloud, bool autoExport,
                           const QString &location = QStringLiteral("Default Folder"));
    // The one place that looks inside the library.
    static DatabaseManager *database();
    static QString databaseFile();
    static bool databaseOpen();

    XrfResultManager *rm = nullptr;
    XrfResultQueue *queue = nullptr;

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_oldCwd;
};

} // namespace TestSupport

#endif // LIBRARYFIXTURE_H

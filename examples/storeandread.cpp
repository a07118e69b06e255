// Stores one result through the result queue, as an analyser's application
// does, in a temporary data folder, and reads it back from the database.
// Exits 0 only when the result came back as it was given.

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "resultmanager.h"
#include "xrfresultqueue.h"
#include "xrfservices.h"

namespace {

XrfKorviResult sampleResult()
{
    XrfKorviResult result;
    XrfAnalysisResult &analysis = result.analysis();
    analysis.setTestDateTime(QDateTime(QDate(2026, 11, 23), QTime(9, 41, 7, 250), Qt::UTC));
    analysis.setTidName(QStringLiteral("Flange 316L"));
    analysis.setMethodId(QStringLiteral("alloy"));
    analysis.setMethodDispName(QStringLiteral("Alloy"));
    analysis.setFinal(true);
    const struct { const char *element; float concentration, error; } rows[] = {
        { "Fe", 68.25f, 0.5f }, { "Cr", 16.75f, 0.25f }, { "Ni", 10.5f, 0.125f },
        { "Mo", 2.0625f, 0.0625f },
    };
    for (const auto &row : rows) {
        XrfChemistryResult c;
        c.setElementName(QString::fromLatin1(row.element));
        c.setConcentration(row.concentration);
        c.setError(row.error);
        result.chemistry() << c;
    }
    return result;
}

void print(const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
}

int run(const QString &configDir, const QString &dataDir)
{
    QString why;
    if (!XrfServices::loadConfiguration(configDir, &why)) {
        print(QStringLiteral("configuration: ") + why);
        return 1;
    }
    // The queue keeps its files in the current folder.
    QDir::setCurrent(dataDir);
    XrfResultManager *rm = XrfResultManager::instance();
    if (rm->init() != XrfErrorInfo::NoError
        || rm->setPaths(dataDir + QStringLiteral("/profile/"), dataDir) != XrfErrorInfo::NoError
        || !rm->databaseAvailable()) {
        print(QStringLiteral("the library did not start: ") + rm->databaseOpenError());
        return 1;
    }
    XrfResultQueue *queue = XrfResultQueue::instance();
    queue->setCheckInterval(50);
    QObject::connect(rm, &XrfResultManager::resultCommitted, queue,
                     &XrfResultQueue::onResultCommittedToDb);

    int testId = -1;
    QObject::connect(rm, &XrfResultManager::resultCommitted, qApp,
                     [&testId](const QDateTime &, bool, int id) {
                         testId = id;
                         QCoreApplication::quit();
                     });
    QObject::connect(queue, &XrfResultQueue::resultNotQueued, qApp, [] { QCoreApplication::quit(); });
    QTimer::singleShot(30000, qApp, [] { QCoreApplication::quit(); });

    const XrfKorviResult given = sampleResult();
    queue->addResult(given);
    QCoreApplication::exec();
    if (testId < 0) {
        print(QStringLiteral("the result was not stored"));
        return 1;
    }

    XrfKorviResult read;
    const XrfErrorInfo::XrfError code = rm->syncGetFullResult(testId, &read);
    print(QStringLiteral("stored in %1/db; read back (code %2):").arg(dataDir).arg(int(code)));
    const XrfAnalysisResult &a = read.analysis();
    print(QStringLiteral("  test %1 \"%2\" of %3 by %4, method %5")
                  .arg(a.testId())
                  .arg(a.tidName(), a.testDateTime().toUTC().toString(Qt::ISODateWithMs),
                       a.userId(), a.methodDispName()));
    for (const XrfChemistryResult &c : read.chemistry())
        print(QStringLiteral("  %1 %2 +- %3").arg(c.elementName()).arg(c.concentration()).arg(c.error()));

    // What the database adds: the test id and the user logged in.
    XrfKorviResult expected = given;
    expected.analysis().setTestId(testId);
    expected.analysis().setUserId(read.analysis().userId());
    const bool same = code == XrfErrorInfo::NoError && read == expected
            && !read.analysis().userId().isEmpty();
    if (!same) {
        auto json = [](const XrfKorviResult &r) {
            return QString::fromUtf8(QJsonDocument(r.toJsonObject()).toJson());
        };
        print(QStringLiteral("the result came back different; given:\n") + json(expected)
              + QStringLiteral("read:\n") + json(read));
        return 1;
    }
    print(QStringLiteral("the result came back equal"));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The library logs each step; this host shows its warnings only.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
    const QString configDir = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                       : QStringLiteral(XRF_CONFIG_DIR);
    QTemporaryDir data;
    if (!data.isValid()) {
        print(QStringLiteral("no temporary folder"));
        return 1;
    }
    const QString home = QDir::currentPath();
    const int exitCode = run(configDir, data.path());
    // The host's order: queue first, then the facade.
    XrfResultQueue::destroyInstance();
    XrfResultManager::instance()->Deinit();
    QDir::setCurrent(home);
    return exitCode;
}

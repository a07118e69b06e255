// A host that stores one result with one image through the facade, run as a
// second process by the durability test under a system-call tracer.
//
//   commithost DATA_DIR
//
// The camera's file is written to DATA_DIR/card/images/incoming/ first. When
// resultCommitted arrives, "COMMITTED <testId>" is written to stdout in one
// write(2), so that the trace shows the moment the host learnt of the commit.
// Exit codes: 1 the insertion failed, 2 usage, 3 gave up waiting.

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

#include "resultmanager.h"
#include "xrfkorviresult.h"
#include "xrfmethodmanager.h"
#include "xrfsettingsmanager.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: commithost DATA_DIR\n");
        return 2;
    }
    const QString dataDir = QDir(args.at(0)).absolutePath();
    QDir().mkpath(dataDir);
    QDir::setCurrent(dataDir);

    XrfSettingsManager *settings = XrfSettingsManager::instance();
    settings->setUniversalSetting(QStringLiteral("hardware.config"),
                                  { { QStringLiteral("insSerialNumber"), "SN-TRACE" } });
    settings->setGlobalSetting(QStringLiteral("print"), { { QStringLiteral("autoPrint"), false } });
    XrfMethodManager::instance()->setExportSettings(
            { { QStringLiteral("export"),
                QJsonObject { { QStringLiteral("autoExport"), false },
                              { QStringLiteral("selectedLocation"), "Default Folder" } } } });

    const QString incoming = dataDir + QStringLiteral("/card/images/incoming");
    QDir().mkpath(incoming);
    QFile image(incoming + QStringLiteral("/cam1.jpeg"));
    if (!image.open(QIODevice::WriteOnly) || image.write("jpeg of one") < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(image.fileName()));
        return 1;
    }
    image.close();

    XrfKorviResult result;
    result.analysis().setTestDateTime(QDateTime(QDate(2026, 5, 4), QTime(10, 30, 15), Qt::UTC));
    result.analysis().setTidName(QStringLiteral("Traced"));
    XrfChemistryResult fe;
    fe.setElementName(QStringLiteral("Fe"));
    fe.setConcentration(70.5f);
    result.chemistry().append(fe);
    XrfImageInfo info;
    info.setName(QStringLiteral("incoming/cam1.jpeg"));
    info.setCropAreaWidth(640);
    info.setCropAreaHeight(480);
    result.images().append(info);

    XrfResultManager *manager = XrfResultManager::instance();
    manager->init();
    manager->setPaths(dataDir + QStringLiteral("/profile/"), dataDir + QStringLiteral("/card"));

    int exitCode = 3;
    QObject::connect(manager, &XrfResultManager::resultCommitted, &app,
                     [&](QDateTime, bool, int testId) {
                         const QByteArray line = "COMMITTED " + QByteArray::number(testId) + '\n';
                         if (::write(STDOUT_FILENO, line.constData(), size_t(line.size())) < 0)
                             return;
                         exitCode = 0;
                         QCoreApplication::quit();
                     });
    QObject::connect(manager, &XrfResultManager::resultInserted, &app,
                     [&](XrfErrorInfo::XrfError code) {
                         if (code == XrfErrorInfo::NoError)
                             return;
                         std::fprintf(stderr, "insertion failed: %d\n", int(code));
                         exitCode = 1;
                         QCoreApplication::quit();
                     });
    QTimer::singleShot(30000, &app, &QCoreApplication::quit);
    if (manager->addTestResult(result) != XrfErrorInfo::NoError) {
        std::fprintf(stderr, "the result was refused\n");
        exitCode = 1;
    } else {
        QCoreApplication::exec();
    }
    manager->Deinit();
    return exitCode;
}

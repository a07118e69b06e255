// File helpers and platform paths of the common library: atomic JSON saves,
// the read codes callers branch on, and the free-space figure the storage
// checks trust.

#include <xrfplatform.h>
#include <xrfutils.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include "testsupport.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#    include <sys/inotify.h>
#endif

class TestXrfUtils : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        XrfPlatform::instance()->reset();
        XrfUtils::clearAvailableSpaceOverride();
    }
    void cleanup() { init(); }

    void saveReplacesFileThroughRename();
    void saveFailureKeepsOldFile_data();
    void saveFailureKeepsOldFile();
    void openReportsWhyFileIsUnusable_data();
    void openReportsWhyFileIsUnusable();
    void removeDirectoryRemovesTreeButRefusesEmptyPath();
    void availableSpace();
};

void TestXrfUtils::saveReplacesFileThroughRename()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Named like a queue file: the temporary file must never look like one.
    const QString name = QStringLiteral("20240305140709_A1.json");
    const QString target = dir.filePath(name);
    QVERIFY(TestSupport::writeFile(target, "{\"old\":true}"));
#ifdef Q_OS_LINUX
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(fd >= 0);
    QVERIFY(inotify_add_watch(fd, QFile::encodeName(dir.path()).constData(),
                              IN_CREATE | IN_MOVED_TO | IN_MODIFY)
            >= 0);
#endif

    const QJsonObject saved { { "result", QJsonObject { { "testId", 17 } } },
                              { "savedToDb", true } };
    QCOMPARE(XrfUtils::saveFileJsonFile(target, saved), XrfErrorInfo::NoError);

#ifdef Q_OS_LINUX
    QStringList created, movedIn, modified;
    alignas(inotify_event) char buffer[8192];
    ssize_t length;
    while ((length = ::read(fd, buffer, sizeof buffer)) > 0) {
        for (char *p = buffer; p < buffer + length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(p);
            const QString entry = QFile::decodeName(event->len ? event->name : "");
            (event->mask & IN_CREATE             ? created
                     : event->mask & IN_MOVED_TO ? movedIn
                                                 : modified)
                    << entry;
            p += sizeof(inotify_event) + event->len;
        }
    }
    ::close(fd);
    QVERIFY2(!modified.contains(name), "the target was written in place");
    QCOMPARE(movedIn, QStringList { name });
    QCOMPARE(created.size(), 1);
    const auto queueGlob = QRegularExpression::wildcardToRegularExpression("*_*.json");
    QVERIFY2(!QRegularExpression(queueGlob).match(created.first()).hasMatch(),
             qPrintable(created.first()));
#endif

    QCOMPARE(TestSupport::entries(dir.path()), QStringList { name });
    QJsonObject back;
    QCOMPARE(XrfUtils::openFileJsonFile(target, &back), XrfErrorInfo::NoError);
    QCOMPARE(back, saved);
    // Queue files are rewritten often; they are kept compact.
    QVERIFY(!TestSupport::readFile(target).contains('\n'));
}

void TestXrfUtils::saveFailureKeepsOldFile_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::newRow("target is a folder") << "folder";
    QTest::newRow("parent is a file") << "parentFile";
    QTest::newRow("disk refuses the write") << "writeFails";
    QTest::newRow("folder is read-only") << "readOnly";
}

void TestXrfUtils::saveFailureKeepsOldFile()
{
    QFETCH(QString, scenario);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath(QStringLiteral("q"));
    QVERIFY(QDir().mkpath(folder));
    QString target = folder + QStringLiteral("/state.json");
    QString keeper = target; // the file whose bytes must survive
    const QByteArray oldContent = "{\"generation\":1,\"payload\":\"intact\"}";
    QJsonObject replacement { { "generation", 2 } };

    if (scenario == QLatin1String("folder")) {
        QVERIFY(QDir(folder).mkdir(QStringLiteral("state.json")));
        keeper = target + QStringLiteral("/inside.txt");
    } else if (scenario == QLatin1String("parentFile")) {
        keeper = folder + QStringLiteral("/plain");
        target = keeper + QStringLiteral("/state.json");
    } else if (scenario == QLatin1String("writeFails")) {
        replacement.insert("payload", QString(256 * 1024, QLatin1Char('x')));
    }
    QVERIFY(TestSupport::writeFile(keeper, oldContent));
    const QStringList before = TestSupport::entries(folder);

    if (scenario == QLatin1String("readOnly")) {
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
        if (::access(QFile::encodeName(folder).constData(), W_OK) == 0) {
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QSKIP("permissions do not bind this user (root)");
        }
    }
    // A full card, as the kernel sees it: writes beyond 4 KiB fail.
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    if (scenario == QLatin1String("writeFails"))
        small.rlim_cur = 4096;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(target)));
    const auto code = XrfUtils::saveFileJsonFile(target, replacement);

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(code, XrfErrorInfo::FileCreateFailed);
    QCOMPARE(TestSupport::entries(folder), before);
    QCOMPARE(TestSupport::readFile(keeper), oldContent);
}

void TestXrfUtils::openReportsWhyFileIsUnusable_data()
{
    QTest::addColumn<QByteArray>("content"); // "<missing>" and "<folder>" make no file
    QTest::addColumn<int>("expected");
    const int notObject = XrfErrorInfo::FileAccessFailed;
    QTest::newRow("missing") << QByteArray("<missing>") << int(XrfErrorInfo::FileOpenFailed);
    QTest::newRow("folder") << QByteArray("<folder>") << int(XrfErrorInfo::FileOpenFailed);
    QTest::newRow("empty") << QByteArray() << notObject;
    QTest::newRow("truncated") << QByteArray("{\"result\":{\"testId\":4") << notObject;
    QTest::newRow("array") << QByteArray("[{\"testId\":4}]") << notObject;
    QTest::newRow("trailing garbage") << QByteArray("{\"a\":1}}") << notObject;
    QTest::newRow("object") << QByteArray("{\"a\":1}") << int(XrfErrorInfo::NoError);
}

void TestXrfUtils::openReportsWhyFileIsUnusable()
{
    QFETCH(QByteArray, content);
    QFETCH(int, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("in.json"));
    if (content == "<folder>")
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("in.json")));
    else if (content != "<missing>")
        QVERIFY(TestSupport::writeFile(path, content));

    if (expected == XrfErrorInfo::FileAccessFailed)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(path)));
    const QJsonObject sentinel { { "untouched", true } };
    QJsonObject obj = sentinel;
    QCOMPARE(int(XrfUtils::openFileJsonFile(path, &obj)), expected);
    QCOMPARE(obj, (expected == XrfErrorInfo::NoError ? QJsonObject { { "a", 1 } } : sentinel));
    QCOMPARE(XrfUtils::openFileJsonFile(path, nullptr), XrfErrorInfo::InvalidArgument);
}

void TestXrfUtils::removeDirectoryRemovesTreeButRefusesEmptyPath()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString images = dir.filePath(QStringLiteral("images"));
    const QString keep = dir.filePath(QStringLiteral("keep.txt"));
    QVERIFY(QDir().mkpath(images + QStringLiteral("/2024/03")));
    QVERIFY(TestSupport::writeFile(images + QStringLiteral("/2024/03/b.jpg"), "jpg"));
    QVERIFY(TestSupport::writeFile(keep, "keep"));

    QVERIFY(XrfUtils::removeDirectory(images));
    QVERIFY(!QFileInfo::exists(images));
    QVERIFY(XrfUtils::removeDirectory(images)); // already gone counts as done

    // An empty path must not mean "the current folder"; a file is no folder.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    const bool removedCurrent = XrfUtils::removeDirectory(QString());
    QDir::setCurrent(previous);
    QVERIFY(!removedCurrent);
    QVERIFY(!XrfUtils::removeDirectory(keep));
    QVERIFY(QFileInfo::exists(keep));
}

void TestXrfUtils::availableSpace()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    struct statvfs fs;
    QCOMPARE(statvfs(QFile::encodeName(dir.path()).constData(), &fs), 0);
    const qint64 expected = qint64(fs.f_bavail) * qint64(fs.f_frsize);
    const qint64 drift = 64 * 1024 * 1024; // other processes write meanwhile

    // The card's folder need not exist before the database is made.
    XrfPlatform::instance()->setInstrumentDataPath(dir.filePath(QStringLiteral("card/not/yet/")));
    const qint64 measured = XrfUtils::availableSpaceOnSdCard();
    QVERIFY2(qAbs(measured - expected) < drift, qPrintable(QString::number(measured)));

    // The storage check runs on the worker thread while a test sets the figure.
    auto readElsewhere = [] {
        qint64 value = 0;
        QScopedPointer<QThread> thread(
                QThread::create([&value] { value = XrfUtils::availableSpaceOnSdCard(); }));
        thread->start();
        thread->wait();
        return value;
    };
    XrfUtils::setAvailableSpaceOverride(104857600);
    QCOMPARE(readElsewhere(), qint64(104857600));
    XrfUtils::setAvailableSpaceOverride(0);
    QCOMPARE(readElsewhere(), qint64(0));
    XrfUtils::clearAvailableSpaceOverride();
    QVERIFY2(qAbs(readElsewhere() - expected) < drift, "override not cleared");
}

QTEST_GUILESS_MAIN(TestXrfUtils)
#include "tst_xrfutils.moc"

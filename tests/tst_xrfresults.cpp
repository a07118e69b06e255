// xrfresults as a person uses it: the real program, run as a process on a
// temporary data folder.

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include <functional>

#include "libraryfixture.h"
#include "samplenormaliser.h"
#include "testsupport.h"
#include "xrfkorviresult.h"
#include "xrfresultsprocess.h"

using TestSupport::querySqlite;
using XrfResultsProcess::Run;
using XrfResultsProcess::run;

class TestXrfResults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void storedSamplesShowAsStored();
    void bundledRepeatsAverageToTheirAlloy();
    void killedStoreResumesWithoutLosingOrDoubling();
    void badInputIsReportedAndLosesNothing();
    void relativePathsAreTakenFromWhereTheyWereTyped();
    void resultsThatCannotBeReadWhollyAreRefused();
    void storeThatCannotProceedGivesUpWithItsReason_data();
    void storeThatCannotProceedGivesUpWithItsReason();
    void storingTwiceLeavesNoOrphanImages();
    void resultsAreStoredWithEveryPictureOrNotAtAll();
    void twoStoresOnOneDataFolderTakeTurns();
    void readOnlyCardCanBeShownButNotStoredTo();
    void actionsThatCannotRunDoNotHoldTheStore_data();
    void actionsThatCannotRunDoNotHoldTheStore();

private:
    // Read-only by its mode bits, which the library honours even for root;
    // undone at cleanup.
    bool makeReadOnly(const QString &path);
    void undoReadOnly();
    QJsonObject generatedResult(int n);
    void writeJson(const QString &path, const QJsonObject &object);
    QString dbFile() const { return m_dir->filePath("data/db/XL5-70312.sqlite"); }
    int storedCount(const QString &what = "*") const
    {
        return querySqlite(dbFile(), "SELECT count(" + what + ") FROM analysisresult")
                .value(0)
                .toInt();
    }
    QStringList dataArgs() const { return { "--data", m_dir->filePath("data") }; }

    QTemporaryDir *m_dir = nullptr;
    QStringList m_readOnly;
    QString m_mounted;
};

void TestXrfResults::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
}

void TestXrfResults::cleanup()
{
    if (!m_mounted.isEmpty())
        QProcess::execute("umount", { m_mounted });
    m_mounted.clear();
    undoReadOnly();
    delete m_dir;
}

void TestXrfResults::undoReadOnly()
{
    for (const QString &path : qAsConst(m_readOnly))
        QFile::setPermissions(path, QFile::permissions(path) | QFile::WriteOwner);
    m_readOnly.clear();
}

bool TestXrfResults::makeReadOnly(const QString &path)
{
    m_readOnly << path;
    return QFile::setPermissions(path,
                                 QFile::permissions(path)
                                         & ~(QFile::WriteOwner | QFile::WriteUser
                                             | QFile::WriteGroup | QFile::WriteOther));
}

QJsonObject TestXrfResults::generatedResult(int n)
{
    const QString input = m_dir->filePath("generated");
    if (!QFileInfo::exists(input))
        run({ "generate", "20", input });
    return QJsonDocument::fromJson(TestSupport::readFile(QStringLiteral("%1/gen-%2.json")
                                                                 .arg(input)
                                                                 .arg(n, 5, 10, QLatin1Char('0'))))
            .object();
}

void TestXrfResults::writeJson(const QString &path, const QJsonObject &object)
{
    QVERIFY(TestSupport::writeFile(path, QJsonDocument(object).toJson()));
}

void TestXrfResults::storedSamplesShowAsStored()
{
    const QString samples = QStringLiteral(XRF_SOURCE_DIR "/samples");
    Run stored = run(dataArgs() << "store" << samples);
    QCOMPARE(stored.err, QString());
    QCOMPARE(stored.exitCode, 0);
    const QStringList lines = stored.out.split('\n', Qt::SkipEmptyParts);
    const QStringList files = QDir(samples).entryList({ "*.json" }, QDir::Files, QDir::Name);
    QCOMPARE(lines.size(), files.size());

    for (int i = 0; i < files.size(); ++i) {
        const XrfKorviResult original = TestSupport::sample(files.at(i).chopped(5));
        // "<test id>\t<UTC date-time>\t<name>", in the order of the files.
        const QStringList fields = lines.at(i).split('\t');
        QCOMPARE(fields.size(), 3);
        QCOMPARE(fields.at(1), original.analysis().dateTimeString());
        QCOMPARE(fields.at(2), original.analysis().tidName());
        const int testId = fields.at(0).toInt();

        Run shown = run(dataArgs() << "show" << QString::number(testId) << "--json");
        QCOMPARE(shown.exitCode, 0);
        const QJsonObject got = QJsonDocument::fromJson(shown.out.toUtf8()).object();
        // The bundled configuration's user is the one logged in.
        const QJsonObject want
                = TestSupport::normaliseStored(original, testId, dbFile(), "operator")
                          .toJsonObject();
        QVERIFY2(got == want, qPrintable(files.at(i)));

        Run summary = run(dataArgs() << "show" << QString::number(testId));
        QCOMPARE(summary.exitCode, 0);
        QVERIFY(summary.out.contains(original.analysis().tidName()));
    }
    Run info = run(dataArgs() << "info");
    QCOMPARE(info.exitCode, 0);
    QVERIFY2(info.out.contains(
                     QRegularExpression(QStringLiteral("results\\s+%1\\n").arg(files.size()))),
             qPrintable(info.out));
    QVERIFY(info.out.contains("(0 files)"));
}

void TestXrfResults::bundledRepeatsAverageToTheirAlloy()
{
    // The bundled repeat and a second repeat of the same fitting: their average is the brass
    // they both are, not a multiple of it.
    const QString first = QStringLiteral(XRF_SOURCE_DIR "/samples/05-brass-repeat.json");
    QJsonObject second = QJsonDocument::fromJson(TestSupport::readFile(first)).object();
    QJsonObject analysis = second["analysis"].toObject();
    analysis["tidName"] = "brass-fitting-13";
    analysis["testDateTime"] = "2026-11-25 11:21:02.101";
    second["analysis"] = analysis;
    second.remove("images"); // the first took its picture
    writeJson(m_dir->filePath("second.json"), second);
    const Run stored = run(dataArgs() << "store" << first << m_dir->filePath("second.json"));
    QVERIFY2(stored.exitCode == 0, qPrintable(stored.err));

    const Run averaged = run(dataArgs() << "average"
                                        << "1"
                                        << "2"
                                        << "--json");
    QVERIFY2(averaged.exitCode == 0, qPrintable(averaged.err));
    const QJsonArray shown = QJsonDocument::fromJson(averaged.out.toUtf8())
                                     .object()
                                     .value("testResult")["chemistry"]
                                     .toArray();
    QCOMPARE(shown.size(), second["chemistry"].toArray().size());
    // The user factors move each element a little.
    for (const QJsonValue &element : second["chemistry"].toArray())
        for (const QJsonValue &mean : shown)
            if (mean["element"] == element["elementName"]) {
                const double percent = mean["value"].toDouble()
                        / (mean["unit"].toString() == "ppm" ? 10000.0 : 1.0);
                QVERIFY2(qAbs(percent - element["concentration"].toDouble())
                                 < 0.05 * element["concentration"].toDouble() + 0.2,
                         qPrintable(mean["text"].toString()));
            }
}

void TestXrfResults::killedStoreResumesWithoutLosingOrDoubling()
{
    const QString input = m_dir->filePath("input");
    QCOMPARE(run({ "generate", "150", input }).exitCode, 0);
    QCOMPARE(QDir(input).entryList({ "*.json" }, QDir::Files).size(), 150);

    QProcess store;
    store.start(QStringLiteral(XRF_XRFRESULTS), dataArgs() << "store" << input);
    QVERIFY(store.waitForStarted());
    // Killed while some results are stored and others are still queued.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dbFile()) && storedCount() > 10, 30000);
    store.kill();
    QVERIFY(store.waitForFinished());
    QCOMPARE(store.exitStatus(), QProcess::CrashExit);
    QVERIFY(storedCount() < 150);

    Run again = run(dataArgs() << "store" << input);
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.out.split('\n', Qt::SkipEmptyParts).size(), 150);
    QCOMPARE(storedCount(), 150);
    QCOMPARE(storedCount("DISTINCT testDateTime || tidName"), 150);
    QCOMPARE(QDir(m_dir->filePath("data/resultQueue")).entryList(QDir::Files), QStringList());
}

void TestXrfResults::badInputIsReportedAndLosesNothing()
{
    const QString input = m_dir->filePath("input");
    QCOMPARE(run(dataArgs() << "store" << XRF_SOURCE_DIR "/samples/01-stainless-316.json").exitCode,
             0);
    QCOMPARE(storedCount(), 1);

    const QString notJson = input + "/broken.json", notResult = input + "/other.json";
    QVERIFY(TestSupport::writeFile(notJson, "{\"analysis\": {\"tidName\": "));
    QVERIFY(TestSupport::writeFile(notResult, "{\"customer\": \"ACME\"}"));
    const QString good = XRF_SOURCE_DIR "/samples/02-rohs-abs-housing.json";

    // The good file is stored all the same; each bad one gets its line.
    Run mixed = run(dataArgs() << "store" << notJson << notResult << good
                               << m_dir->filePath("missing.json"));
    QCOMPARE(mixed.exitCode, 3);
    const QStringList errors = mixed.err.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(errors.size(), 3);
    for (const QString &line : errors)
        QVERIFY2(line.startsWith("xrfresults: "), qPrintable(line));
    QVERIFY(mixed.err.contains("broken.json: not JSON"));
    QVERIFY(mixed.err.contains("other.json: not a test result"));
    QVERIFY(mixed.err.contains("missing.json: cannot read"));
    QCOMPARE(storedCount(), 2);

    const QList<QStringList> usage {
        { "frobnicate" }, { "--colour", "info" }, {}, { "show", "abc" }, { "info", "--json" }
    };
    for (const QStringList &args : usage) {
        Run r = run(dataArgs() + args);
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.err.count('\n'), 1);
        QVERIFY(r.err.startsWith("xrfresults: "));
    }
    Run missingId = run(dataArgs() << "show"
                                   << "99");
    QCOMPARE(missingId.exitCode, 2);
    QVERIFY(missingId.err.contains("-1997 ResultNotFound"));

    // A data folder that cannot be made (its parent is a file).
    // The environment, not the usage, is at fault.
    for (const QString &command : QStringList { "info", "store" }) {
        Run unwritable = run({ "--data", notJson + "/data", command, good });
        QCOMPARE(unwritable.exitCode, 2);
        QCOMPARE(unwritable.err.count('\n'), 1);
    }
    QCOMPARE(storedCount(), 2);
}

void TestXrfResults::relativePathsAreTakenFromWhereTheyWereTyped()
{
    QVERIFY(QDir().mkpath(m_dir->filePath("work/input")));
    QCOMPARE(run({ "generate", "3", "input" }, 60000, m_dir->filePath("work")).exitCode, 0);
    QVERIFY(QFileInfo::exists(m_dir->filePath("work/input/gen-00003.json")));

    // The data folder is elsewhere, and itself relative.
    Run file = run({ "--data", "../data", "store", "input/gen-00001.json" }, 60000,
                   m_dir->filePath("work"));
    QCOMPARE(file.err, QString());
    QCOMPARE(file.exitCode, 0);
    QCOMPARE(storedCount(), 1);
    Run folder = run(dataArgs() << "store"
                                << "input/",
                     60000, m_dir->filePath("work"));
    QCOMPARE(folder.err, QString());
    QCOMPARE(folder.exitCode, 0);
    QCOMPARE(folder.out.count('\n'), 3);
    QCOMPARE(storedCount(), 3);
    // The queue stays under the data folder.
    QVERIFY(QFileInfo(m_dir->filePath("data/resultQueue")).isDir());
    QVERIFY(!QFileInfo::exists(m_dir->filePath("work/resultQueue")));
}

// The value at a JSON pointer replaced (removed when undefined); lists grow
// with empty objects to reach the index.
QJsonValue withValue(const QJsonValue &at, QStringList path, const QJsonValue &value)
{
    if (path.isEmpty())
        return value;
    const QString key = path.takeFirst();
    if (at.isArray()) {
        QJsonArray list = at.toArray();
        while (list.size() <= key.toInt())
            list.append(QJsonObject());
        list.replace(key.toInt(), withValue(list.at(key.toInt()), path, value));
        return list;
    }
    QJsonObject object = at.toObject();
    if (path.isEmpty() && value.isUndefined())
        object.remove(key);
    else
        object.insert(key, withValue(object.value(key), path, value));
    return object;
}

void TestXrfResults::resultsThatCannotBeReadWhollyAreRefused()
{
    const QString input = m_dir->filePath("input");
    QVERIFY(generatedResult(1).value("analysis").isObject());
    // Where a value goes, the value, and the pointer the refusal must name
    // (the same, unless given).
    const QString when = QStringLiteral("/analysis/testDateTime");
    const QList<std::tuple<QString, QJsonValue, QString>> bad {
        { when, QJsonValue::Undefined, {} },
        { when, QJsonValue::Null, {} },
        { when, 20260105, {} },
        { when, true, {} },
        { when, "", {} },
        { when, "yesterday", {} },
        { when, "2026-02-30 10:00:00.000", {} },
        { when, "2026-13-01 10:00:00.000", {} },
        { when, "2026-01-05 25:00:00.000", {} },
        { when, QJsonObject { { "date", "2026-01-05" } }, {} },
        { "/chemistry/2/concentration", "12.5", {} },
        { "/chemistry/0/elementName", 26, {} },
        { "/chemistry", QJsonArray { 1, 2, 3 }, "/chemistry/0" },
        { "/spectra/0/data", "AAAAAAA=", {} },
        { "/analysis/dailyId", "seven", {} },
        { "/testInfo",
          QJsonArray { QJsonObject { { "key", "Lot" }, { "value", "7" } },
                       QJsonObject { { "key", 1 }, { "value", QJsonArray() } } },
          "/testInfo/1/key" },
    };
    for (int n = 0; n < bad.size(); ++n) {
        const auto &[pointer, value, named] = bad.at(n);
        writeJson(QStringLiteral("%1/bad-%2.json").arg(input).arg(n),
                  withValue(generatedResult(n + 1), pointer.split('/').mid(1), value).toObject());
    }
    writeJson(input + "/good-1.json", generatedResult(16));
    writeJson(input + "/good-2.json", generatedResult(17));

    for (int pass = 0; pass < 2; ++pass) {
        Run r = run(dataArgs() << "store" << input);
        QCOMPARE(r.exitCode, 3);
        QCOMPARE(r.out.count('\n'), 2);
        const QStringList lines = r.err.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), bad.size());
        for (int n = 0; n < bad.size(); ++n) {
            const auto &[pointer, value, named] = bad.at(n);
            const QString prefix = QStringLiteral("xrfresults: %1/bad-%2.json: ").arg(input).arg(n);
            const QStringList line = lines.filter(prefix);
            QVERIFY2(line.size() == 1, qPrintable(prefix));
            QVERIFY2(line.first().startsWith(prefix)
                             && line.first().contains(' ' + (named.isEmpty() ? pointer : named)
                                                      + ' '),
                     qPrintable(line.first()));
        }
        // Refused files are not stored on a second run either.
        QCOMPARE(storedCount(), 2);
    }
}

void TestXrfResults::storeThatCannotProceedGivesUpWithItsReason_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason");
    QTest::newRow("read-only database") << "read-only"
                                        << "DbOpenFailed";
    QTest::newRow("stray queue file") << "stray"
                                      << "20260101000000000_stray_9.json";
    QTest::newRow("no free space") << "space"
                                   << "NoStorage";
}

void TestXrfResults::storeThatCannotProceedGivesUpWithItsReason()
{
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    const QString input = m_dir->filePath("generated");
    generatedResult(1);
    QCOMPARE(run(dataArgs() << "store" << input + "/gen-00001.json").exitCode, 0);
    QCOMPARE(storedCount(), 1);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (fault == "read-only")
        QVERIFY(makeReadOnly(dbFile()));
    else if (fault == "stray")
        writeJson(m_dir->filePath("data/resultQueue/20260101000000000_stray_9.json"),
                  { { "queuedForDb", false }, { "savedToDb", false } });
    else
        env.insert("XRF_FREE_SPACE_OVERRIDE", QString::number(50 * 1024 * 1024));

    QElapsedTimer clock;
    clock.start();
    Run r = run(dataArgs() << "store"
                           << "--wait"
                           << "5" << input + "/gen-00002.json",
                20000, QString(), env);
    QCOMPARE(r.status, QProcess::NormalExit);
    QVERIFY(clock.elapsed() < 20000);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(reason), qPrintable(r.err));
    // Nothing stored before is lost.
    QVERIFY(querySqlite(dbFile(), "SELECT testId FROM analysisresult").contains(1));

    // The result left queued is stored once the fault is gone.
    undoReadOnly();
    QFile::remove(m_dir->filePath("data/resultQueue/20260101000000000_stray_9.json"));
    Run again = run(dataArgs() << "store" << input + "/gen-00002.json");
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(storedCount(), 2);
}

void TestXrfResults::storingTwiceLeavesNoOrphanImages()
{
    const QString samples = QStringLiteral(XRF_SOURCE_DIR "/samples");
    for (int pass = 0; pass < 2; ++pass)
        QCOMPARE(run(dataArgs() << "store" << samples).exitCode, 0);
    QSet<QString> named;
    for (const QVariant &v : querySqlite(dbFile(), "SELECT fileName FROM imageresult"))
        named.insert(v.toString());
    QVERIFY(named.size() >= 8);
    const QDir images(m_dir->filePath("data/images"));
    QDirIterator it(images.path(), QDir::Files, QDirIterator::Subdirectories);
    int files = 0;
    while (it.hasNext()) {
        const QString file = images.relativeFilePath(it.next());
        QVERIFY2(named.contains(file), qPrintable(file));
        ++files;
    }
    QCOMPARE(files, named.size());

    // A store killed after it copied a picture, before its result was
    // queued, listed the copy; the next store that ends removes it.
    QVERIFY(TestSupport::writeFile(images.filePath("2026-11-23/cam-cut-off.jpeg"), "jpeg"));
    QVERIFY(TestSupport::writeFile(m_dir->filePath("data/xrfresults.copies"),
                                   "2026-11-23/cam-cut-off.jpeg\n"));
    QCOMPARE(run(dataArgs() << "store" << samples).exitCode, 0);
    QVERIFY(!QFileInfo::exists(images.filePath("2026-11-23/cam-cut-off.jpeg")));
    QVERIFY(!QFileInfo::exists(m_dir->filePath("data/xrfresults.copies")));
    QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM imageresult"),
             QVariantList { named.size() });
}

void TestXrfResults::resultsAreStoredWithEveryPictureOrNotAtAll()
{
    const QString samples = QStringLiteral(XRF_SOURCE_DIR "/samples");
    // A file whose picture was not carried with it is refused, naming it;
    // the others of the batch are stored.
    const QString input = m_dir->filePath("input");
    QVERIFY(QDir().mkpath(input + "/images"));
    for (const char *name : { "/01-stainless-316.json", "/02-rohs-abs-housing.json" })
        QVERIFY(QFile::copy(samples + name, input + name));
    QVERIFY(QFile::copy(samples + "/images/cam-ABS-housing-17-1.jpeg",
                        input + "/images/cam-ABS-housing-17-1.jpeg"));
    QVERIFY(QFile::copy(samples + "/images/cam-316-bar-0042-1.jpeg",
                        input + "/images/cam-316-bar-0042-1.jpeg"));
    const Run partly = run(dataArgs() << "store" << input);
    QCOMPARE(partly.exitCode, 3);
    QVERIFY2(partly.err.contains("01-stainless-316.json")
                     && partly.err.contains("cam-316-bar-0042-2.jpeg"),
             qPrintable(partly.err));
    QCOMPARE(storedCount(), 1);
    QCOMPARE(querySqlite(dbFile(), "SELECT count(*) FROM imageresult"), QVariantList { 1 });

    // An image store that fills up: what is stored has all its pictures,
    // what is not is named, and the store says it failed.
    const QString images = m_dir->filePath("data/images");
    if (QProcess::execute("mount", { "-t", "tmpfs", "-o", "size=40k", "tmpfs", images }) != 0)
        QSKIP("A small image store needs mount rights");
    m_mounted = images;
    const Run full = run(dataArgs() << "store" << samples);
    QCOMPARE(full.exitCode, 2);
    QVERIFY2(full.err.contains("cannot be copied"), qPrintable(full.err));
    QMap<QString, int> named;
    for (const QString &file : QDir(samples).entryList({ "*.json" })) {
        const QJsonObject sample
                = QJsonDocument::fromJson(TestSupport::readFile(samples + '/' + file)).object();
        named.insert(TestSupport::tidNameOf(sample), sample.value("images").toArray().size());
    }
    const QVariantList rows = querySqlite(
            dbFile(),
            "SELECT a.tidName || '|' || (SELECT count(*) FROM imageresult i WHERE i.testId = "
            "a.testId) FROM analysisresult a");
    QVERIFY(rows.size() > 1 && rows.size() < named.size());
    for (const QVariant &row : rows) {
        const QString name = row.toString().section('|', 0, 0);
        QCOMPARE(row.toString().section('|', 1).toInt(), named.value(name));
        QVERIFY(!full.err.contains(name));
    }
    QCOMPARE(full.err.count("not queued"), named.size() - rows.size());
}

void TestXrfResults::twoStoresOnOneDataFolderTakeTurns()
{
    const QString input = m_dir->filePath("input");
    QCOMPARE(run({ "generate", "40", input }).exitCode, 0);
    // Both start while the lock is held (else a quick first store could be
    // done before the second begins), then take turns once it is free.
    const QString waiting = "another xrfresults is using " + m_dir->filePath("data") + "; waiting";
    QVERIFY(QDir().mkpath(m_dir->filePath("data")));
    QLockFile held(m_dir->filePath("data/xrfresults.lock"));
    QVERIFY(held.tryLock(0));
    QProcess first, second;
    QString errors[2];
    QProcess *stores[2] = { &first, &second };
    for (int i = 0; i < 2; ++i) {
        stores[i]->start(QStringLiteral(XRF_XRFRESULTS), dataArgs() << "store" << input);
        QVERIFY(QTest::qWaitFor(
                [&] {
                    errors[i] += QString::fromUtf8(stores[i]->readAllStandardError());
                    return errors[i].contains(waiting)
                            || stores[i]->state() == QProcess::NotRunning;
                },
                20000));
        QVERIFY2(errors[i].contains(waiting), qPrintable(errors[i]));
    }
    held.unlock();
    for (QProcess *p : stores) {
        QVERIFY(p->waitForFinished(60000));
        QCOMPARE(p->exitStatus(), QProcess::NormalExit);
        QCOMPARE(p->exitCode(), 0);
    }
    for (int i = 0; i < 2; ++i)
        errors[i] += QString::fromUtf8(stores[i]->readAllStandardError());
    QCOMPARE((errors[0] + errors[1]).count(waiting), 2);
    QCOMPARE(storedCount(), 40);
    QCOMPARE(storedCount("DISTINCT testDateTime || tidName"), 40);

    // With --no-wait, a second one gives up at once; the lock is an
    // ordinary advisory lock file that this test can hold as well.
    QLockFile holder(m_dir->filePath("data/xrfresults.lock"));
    QVERIFY(holder.tryLock(0));
    QElapsedTimer clock;
    clock.start();
    Run refused = run(dataArgs() << "--no-wait"
                                 << "store" << input,
                      10000);
    QCOMPARE(refused.exitCode, 2);
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY2(refused.err.contains("another xrfresults is using"), qPrintable(refused.err));
    // The commands that only read go on beside the holder, without waiting.
    for (const QStringList &reading : { QStringList { "info" }, QStringList { "show", "1" },
                                        QStringList { "list" }, QStringList { "calendar" } }) {
        clock.restart();
        const Run read = run(dataArgs() << reading, 10000);
        QVERIFY2(read.exitCode == 0 && !read.err.contains("another xrfresults"),
                 qPrintable(reading.join(' ') + ": " + read.err));
        QVERIFY(clock.elapsed() < 5000);
    }
    holder.unlock();

    // A holder killed before it wrote its process id left an empty lock
    // file; once it is a few seconds old it holds no one up.
    QVERIFY(TestSupport::writeFile(m_dir->filePath("data/xrfresults.lock"), QByteArray()));
    QFile empty(m_dir->filePath("data/xrfresults.lock"));
    QVERIFY(empty.open(QIODevice::ReadWrite));
    QVERIFY(empty.setFileTime(QDateTime::currentDateTime().addSecs(-10),
                              QFileDevice::FileModificationTime));
    empty.close();
    QCOMPARE(run(dataArgs() << "--no-wait"
                            << "store" << input,
                 10000)
                     .exitCode,
             0);
}

void TestXrfResults::readOnlyCardCanBeShownButNotStoredTo()
{
    QCOMPARE(run(dataArgs() << "store" << XRF_SOURCE_DIR "/samples/01-stainless-316.json").exitCode,
             0);
    const QString data = m_dir->filePath("data");
    // As a card mounted read-only: nothing in it can be created or changed.
    QDirIterator it(data, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    QStringList entries { data };
    while (it.hasNext())
        entries << it.next();
    for (auto e = entries.crbegin(); e != entries.crend(); ++e)
        QVERIFY(makeReadOnly(*e));

    Run info = run(dataArgs() << "info");
    QCOMPARE(info.err, QString());
    QCOMPARE(info.exitCode, 0);
    QVERIFY2(info.out.contains(QRegularExpression("results\\s+1\\n")), qPrintable(info.out));
    Run shown = run(dataArgs() << "show"
                               << "1");
    QCOMPARE(shown.exitCode, 0);
    QVERIFY(shown.out.contains("316-bar-0042"));
    // Its results can still be carried away: that only reads the card.
    const QString stick = m_dir->filePath("stick");
    QVERIFY(QDir().mkpath(stick));
    for (const QStringList &form : { QStringList { "--sqlite", stick + "/mini.sqlite" },
                                     QStringList { "--json", stick + "/all.json" } }) {
        const Run out = run(dataArgs() << "sync-out"
                                       << "--from"
                                       << "2000-01-01" << form);
        QVERIFY2(out.exitCode == 0 && out.out.startsWith("1 of 1 results"),
                 qPrintable(out.out + out.err));
    }
    QCOMPARE(querySqlite(stick + "/mini.sqlite", "SELECT count(*) FROM analysisresult"),
             QVariantList { 1 });
    Run stored = run(dataArgs() << "store" << XRF_SOURCE_DIR "/samples/02-rohs-abs-housing.json");
    QCOMPARE(stored.exitCode, 2);
    QCOMPARE(stored.err.count('\n'), 1);
}

void TestXrfResults::actionsThatCannotRunDoNotHoldTheStore_data()
{
    QTest::addColumn<QJsonObject>("actions");
    QTest::addColumn<QString>("location");
    const QJsonObject dbOnly { { "insertToDb", true }, { "uploadToCloud", false } };
    QTest::newRow("automatic export") << dbOnly << "Default Folder";
    QTest::newRow("cloud asked, disabled")
            << QJsonObject { { "insertToDb", true }, { "uploadToCloud", true } }
            << "Default Folder";
    QTest::newRow("network folder never mounts") << dbOnly << "Network Folder";
    QTest::newRow("malformed actions")
            << QJsonObject { { "insertToDb", "yes" } } << "Default Folder";
}

// Automatic export on, with settings under which some action can never run:
// every result is still stored, none is refused, and the store ends.
void TestXrfResults::actionsThatCannotRunDoNotHoldTheStore()
{
    QFETCH(QJsonObject, actions);
    QFETCH(QString, location);
    const QString config = m_dir->filePath("config");
    QVERIFY(QDir().mkpath(config));
    for (const QString &name : QDir(XRF_SOURCE_DIR "/config").entryList({ "*.json" }))
        QVERIFY(QFile::copy(XRF_SOURCE_DIR "/config/" + name, config + '/' + name));
    auto edit = [&](const QString &file, const std::function<void(QJsonObject &)> &change) {
        QJsonObject o
                = QJsonDocument::fromJson(TestSupport::readFile(config + '/' + file)).object();
        change(o);
        QFile::remove(config + '/' + file);
        writeJson(config + '/' + file, o);
    };
    edit("global.json", [&](QJsonObject &o) {
        o.insert("resultActions", actions);
        o.insert("cloudSettings", QJsonObject { { "enabled", false } });
    });
    edit("method.json", [&](QJsonObject &o) {
        QJsonObject exportSettings = o.value("exportSettings").toObject();
        QJsonObject exportObject = exportSettings.value("export").toObject();
        exportObject.insert("autoExport", true);
        exportObject.insert("selectedLocation", location);
        exportSettings.insert("export", exportObject);
        o.insert("exportSettings", exportSettings);
    });
    const QString input = m_dir->filePath("many");
    QCOMPARE(run({ "generate", "300", input }).exitCode, 0);
    QElapsedTimer clock;
    clock.start();
    const Run stored = run(dataArgs() << "--config" << config << "store"
                                      << "--wait"
                                      << "20" << input,
                           180000);
    QVERIFY2(stored.exitCode == 0, qPrintable(stored.err));
    QCOMPARE(storedCount(), 300);
    QVERIFY2(!stored.err.contains("not queued"), qPrintable(stored.err));
}

QTEST_GUILESS_MAIN(TestXrfResults)
#include "tst_xrfresults.moc"

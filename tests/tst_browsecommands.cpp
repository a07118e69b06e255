// xrfresults list, calendar, delete, average and edit-info as a person uses
// them: the real program on a temporary data folder, run in Berlin, where a
// local day starts an hour or two before the UTC one and 29 March 2026 lasts
// 23 hours.

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QtTest>

#include "testsupport.h"
#include "xrfresultsprocess.h"

using XrfResultsProcess::Run;

namespace {

const QString sampleDir = QStringLiteral(XRF_SOURCE_DIR "/samples");

// A parse failure fails the test; the empty document then fails what follows.
QJsonDocument json(const Run &r)
{
    QJsonParseError e;
    const QJsonDocument document = QJsonDocument::fromJson(r.out.toUtf8(), &e);
    QTest::qVerify(r.exitCode == 0 && e.error == QJsonParseError::NoError, "json",
                   qPrintable(r.err + r.out), __FILE__, __LINE__);
    return document;
}

QList<int> ints(const QJsonArray &array, const char *key = nullptr)
{
    QList<int> values;
    for (const QJsonValue &v : array)
        values << (key ? v.toObject().value(key) : v).toInt();
    std::sort(values.begin(), values.end());
    return values;
}

QList<QDate> calendarDays(const QJsonObject &calendar)
{
    QList<QDate> days;
    for (const QJsonValue &year : calendar.value("Calendar").toArray())
        for (const QString &y : year.toObject().keys())
            for (const QJsonValue &month : year.toObject().value(y).toArray())
                for (const QString &m : month.toObject().keys())
                    for (const QJsonValue &d : month.toObject().value(m).toArray())
                        days << QDate(y.toInt(), m.toInt(), d.toString().toInt());
    std::sort(days.begin(), days.end());
    return days;
}

} // namespace

class TestBrowseCommands : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
    }

    void localDaysAgreeAcrossCalendarListAndDelete();
    void deletionTakesExactlyWhatWasNamed();
    void badArgumentsAndAbsentTestsAreRefused();
    void averageIsTheMeanOfTheSamplesAndCanBeStored();
    void readingLeavesTheCardAsItWas();
    void openEndsSelectEverythingInEveryZone_data();
    void openEndsSelectEverythingInEveryZone();

private:
    Run xr(const QStringList &args, const QString &zone = QStringLiteral("Europe/Berlin"))
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TZ", zone);
        return XrfResultsProcess::run(QStringList { "--data", m_dir->filePath("data") } + args,
                                      120000, QString(), env);
    }
    // Stores the files, or copies of the first sample at these UTC times;
    // the test ids in their order.
    QList<int> store(QStringList files, const QStringList &times = {})
    {
        QJsonObject r = QJsonDocument::fromJson(
                                TestSupport::readFile(sampleDir + "/01-stainless-316.json"))
                                .object();
        r.remove("images");
        for (const QString &time : times) {
            QJsonObject analysis = r.value("analysis").toObject();
            analysis.insert("testDateTime", time);
            analysis.insert("tidName", "bar " + time);
            r.insert("analysis", analysis);
            files << m_dir->filePath(QStringLiteral("in/%1.json").arg(files.size()));
            TestSupport::writeFile(files.last(), QJsonDocument(r).toJson());
        }
        QList<int> ids;
        // One "<test id>\t<UTC date-time>\t<name>" line per file.
        for (const QString &line : xr(QStringList { "store" } + files).out.split('\n'))
            if (!line.isEmpty())
                ids << line.section('\t', 0, 0).toInt();
        return ids;
    }
    QList<int> storedIds() const
    {
        return TestSupport::queryInts(m_dir->filePath("data/db/XL5-70312.sqlite"),
                                      "SELECT testId FROM analysisresult");
    }

    QScopedPointer<QTemporaryDir> m_dir;
};

void TestBrowseCommands::localDaysAgreeAcrossCalendarListAndDelete()
{
    // Two on 28 March UTC, two on the 29th, the last after the switch to
    // summer time.
    const QStringList times { "2026-03-28 22:30:00.000", "2026-03-28 23:30:00.000",
                              "2026-03-29 00:30:00.000", "2026-03-29 22:30:00.000" };
    const QList<int> ids = store({}, times);
    QCOMPARE(ids.size(), 4);
    QMap<QDate, QList<int>> byDay;
    for (int i = 0; i < times.size(); ++i)
        byDay[QDateTime(QDate::fromString(times.at(i).left(10), Qt::ISODate),
                        QTime::fromString(times.at(i).mid(11), "hh:mm:ss.zzz"), Qt::UTC)
                      .toTimeZone(QTimeZone("Europe/Berlin"))
                      .date()]
                << ids.at(i);
    QCOMPARE(byDay.size(), 3);

    const QJsonObject calendar = json(xr({ "calendar", "--json" })).object();
    QCOMPARE(calendarDays(calendar), byDay.keys());
    QCOMPARE(calendar.value("numOfRecsInDb").toInt(), 4);
    const QString plainCalendar = xr({ "calendar" }).out;
    QVERIFY2(QRegularExpression("Mar +28 +29 +30\\n").match(plainCalendar).hasMatch(),
             qPrintable(plainCalendar));
    for (auto day = byDay.cbegin(); day != byDay.cend(); ++day)
        QCOMPARE(ints(json(xr({ "list", "--day", day.key().toString(Qt::ISODate), "--json" }))
                              .array(),
                      "tid"),
                 day.value());
    // A person reads local times.
    const QString plain = xr({ "list", "--day", "2026-03-29" }).out;
    QVERIFY2(plain.contains("2026-03-29 00:30:00") && plain.contains("2026-03-29 01:30:00")
                     && !plain.contains("2026-03-30"),
             qPrintable(plain));
    // After the first bound, up to and including the second.
    QCOMPARE(ints(json(xr({ "list", "--from", "2026-03-29 00:30:00", "--to", "2026-03-29 01:30:00",
                            "--json" }))
                          .array(),
                  "tid"),
             QList<int> { ids.at(2) });

    const QJsonObject deleted
            = json(xr({ "delete", "--day", "2026-03-29", "--yes", "--json" })).object();
    QCOMPARE(ints(deleted.value("deleted").toArray()), byDay.value(QDate(2026, 3, 29)));
    QCOMPARE(storedIds(), (QList<int> { ids.at(0), ids.at(3) }));
    QCOMPARE(calendarDays(json(xr({ "calendar", "--json" })).object()),
             (QList<QDate> { QDate(2026, 3, 28), QDate(2026, 3, 30) }));
}

void TestBrowseCommands::deletionTakesExactlyWhatWasNamed()
{
    QCOMPARE(store({},
                   { "2026-05-04 08:00:00.000", "2026-05-04 09:00:00.000",
                     "2026-05-04 10:00:00.000" }),
             (QList<int> { 1, 2, 3 }));
    // Nothing is deleted unasked: stdin here is no terminal.
    const Run unasked = xr({ "delete", "--ids", "3" });
    QCOMPARE(unasked.exitCode, 1);
    QCOMPARE(unasked.err.count('\n'), 1);
    const Run injected = xr({ "delete", "--ids", "0) OR (1=1", "--yes" });
    QVERIFY(injected.exitCode == 1 || injected.exitCode == 2);
    QCOMPARE(injected.err.count('\n'), 1);
    QCOMPARE(storedIds(), (QList<int> { 1, 2, 3 }));
    // A lookup that fails is no "nothing to delete".
    qputenv("XRF_FAULT_POINT", "reader-query-fail");
    const Run unread = xr({ "delete", "--ids", "1", "--yes" });
    qunsetenv("XRF_FAULT_POINT");
    QVERIFY2(unread.exitCode == 2 && unread.err.count('\n') == 1
                     && unread.err.contains("DbQueryFailed") && unread.out.isEmpty(),
             qPrintable(unread.out + unread.err));
    QCOMPARE(storedIds(), (QList<int> { 1, 2, 3 }));

    const QJsonObject some = json(xr({ "delete", "--ids", "1,2,99", "--yes", "--json" })).object();
    QCOMPARE(ints(some.value("deleted").toArray()), (QList<int> { 1, 2 }));
    QCOMPARE(ints(some.value("notStored").toArray()), QList<int> { 99 });
    QCOMPARE(storedIds(), QList<int> { 3 });
    // The last one: the library makes the file new and names no ids.
    QCOMPARE(ints(json(xr({ "delete", "--all", "--yes", "--json" }))
                          .object()
                          .value("deleted")
                          .toArray()),
             QList<int> { 3 });
    QCOMPARE(storedIds(), QList<int>());
    QCOMPARE(json(xr({ "calendar", "--json" })).object().value("numOfRecsInDb").toInt(-1), 0);
}

void TestBrowseCommands::badArgumentsAndAbsentTestsAreRefused()
{
    QCOMPARE(store({}, { "2026-05-04 08:00:00.000" }), QList<int> { 1 });
    const QList<std::pair<QStringList, int>> refused {
        { { "list", "--from", "yesterday", "--to", "2026-05-05 00:00:00" }, 1 },
        { { "list", "--from", "2026-05-04 00:00:00" }, 1 },
        { { "list", "--day", "2026-02-30" }, 1 },
        { { "list", "--latest", "0" }, 1 },
        { { "list", "--day", "2026-05-04", "--latest", "3" }, 1 },
        { { "calendar", "--ids", "1" }, 1 },
        { { "delete", "--day", "2026-05-04", "--all", "--yes" }, 1 },
        { { "average", "1", "1" }, 1 },
        { { "edit-info", "1", "Lot" }, 1 },
        { { "average", "1", "99" }, 2 },
        { { "edit-info", "99", "Lot", "L-1" }, 2 },
    };
    for (const auto &[args, code] : refused) {
        const Run r = xr(args);
        QVERIFY2(r.exitCode == code && r.err.count('\n') == 1 && r.err.startsWith("xrfresults: ")
                         && (code == 1 || r.err.contains("-1997 ResultNotFound")),
                 qPrintable(args.join(' ') + " -> " + r.err));
    }
    QCOMPARE(storedIds(), QList<int> { 1 });
    // And the one edit that can be made.
    QCOMPARE(xr({ "edit-info", "1", "Lot", "L-9; it's \"new\"" }).exitCode, 0);
    const QJsonArray info
            = json(xr({ "show", "1", "--json" })).object().value("testInfo").toArray();
    QVERIFY(info.contains(QJsonObject { { "key", "Lot" }, { "value", "L-9; it's \"new\"" } }));
}

void TestBrowseCommands::averageIsTheMeanOfTheSamplesAndCanBeStored()
{
    // Two tests of the current method without user factors.
    const QStringList files { sampleDir + "/01-stainless-316.json",
                              sampleDir + "/07-copper-awkward-texts.json" };
    QCOMPARE(store(files), (QList<int> { 1, 2 }));
    double mean = 0;
    for (const QString &file : files)
        for (const QJsonValue &c : QJsonDocument::fromJson(TestSupport::readFile(file))
                                           .object()
                                           .value("chemistry")
                                           .toArray())
            if (c.toObject().value("elementName") == "Fe")
                mean += c.toObject().value("concentration").toDouble() / 2;
    QVERIFY(mean > 1);

    const Run shown = xr({ "average", "1", "2" });
    const QRegularExpressionMatch fe = QRegularExpression("\\n +Fe +([0-9.]+)").match(shown.out);
    QVERIFY2(fe.hasMatch(), qPrintable(shown.err + shown.out));
    QVERIFY2(qAbs(fe.captured(1).toDouble() - mean) < 1e-3, qPrintable(fe.captured(0)));
    QCOMPARE(storedIds(), (QList<int> { 1, 2 }));

    const int id = json(xr({ "average", "1", "2", "--store", "--name", "mean-1", "--json" }))
                           .object()
                           .value("testId")
                           .toInt();
    QCOMPARE(storedIds(), (QList<int> { 1, 2, id }));
    const QJsonObject stored = json(xr({ "show", QString::number(id), "--json" })).object();
    QCOMPARE(stored.value("analysis").toObject().value("tidName").toString(), QString("mean-1"));
    double storedFe = 0;
    for (const QJsonValue &c : stored.value("chemistry").toArray())
        if (c.toObject().value("elementName") == "Fe")
            storedFe = c.toObject().value("concentration").toDouble();
    QVERIFY2(qAbs(storedFe - mean) < 1e-3, qPrintable(QString::number(storedFe)));
}

// Backups and checksums of a card see a change only where something changed.
void TestBrowseCommands::readingLeavesTheCardAsItWas()
{
    QCOMPARE(
            store({ sampleDir + "/01-stainless-316.json", sampleDir + "/02-rohs-abs-housing.json" })
                    .size(),
            2);
    const QString db = m_dir->filePath("data/db/XL5-70312.sqlite");
    const auto state = [&] {
        return QCryptographicHash::hash(TestSupport::readFile(db), QCryptographicHash::Sha256)
                       .toHex()
                + ' ' + QDir(m_dir->filePath("data/db")).entryList(QDir::Files).join(',');
    };
    const QString before = state();
    QVERIFY(QDir().mkpath(m_dir->filePath("stick")));
    for (const QStringList &args :
         { QStringList { "info" }, QStringList { "list" }, QStringList { "calendar" },
           QStringList { "show", "1" }, QStringList { "list", "--day", "2026-11-23" },
           QStringList { "export", "--ids", "1", "--format", "csv", "--out",
                         m_dir->filePath("out") },
           QStringList { "sync-out", "--from", "2000-01-01", "--sqlite",
                         m_dir->filePath("stick/mini.sqlite") } }) {
        QCOMPARE(xr(args).exitCode, 0);
        QVERIFY2(state() == before, qPrintable(args.join(' ')));
    }
}

void TestBrowseCommands::openEndsSelectEverythingInEveryZone_data()
{
    QTest::addColumn<QString>("zone");
    // West of UTC an "all time" end of 9999-12-31 local lies in year 10000 UTC.
    for (const char *zone :
         { "America/New_York", "Pacific/Honolulu", "Europe/Berlin", "Pacific/Kiritimati" })
        QTest::newRow(zone) << QString(zone);
}

void TestBrowseCommands::openEndsSelectEverythingInEveryZone()
{
    QFETCH(QString, zone);
    const QList<int> ids = store({}, { "2026-05-04 08:00:00.000", "2026-12-31 23:30:00.000" });
    QCOMPARE(ids.size(), 2);
    const auto exportedIds = [&](const QStringList &selection) {
        const QString out = m_dir->filePath("out-" + selection.join('_'));
        const Run r
                = xr(QStringList { "export", "--format", "json", "--out", out } + selection, zone);
        QTest::qVerify(r.exitCode == 0, "export", qPrintable(r.err), __FILE__, __LINE__);
        QList<int> found;
        for (const QString &file : r.out.split('\n', Qt::SkipEmptyParts))
            for (const QJsonValue &result :
                 QJsonDocument::fromJson(TestSupport::readFile(file)).array())
                found << result.toObject().value("analysis").toObject().value("testId").toInt();
        std::sort(found.begin(), found.end());
        return found;
    };
    QCOMPARE(exportedIds({}), ids);
    QCOMPARE(exportedIds({ "--from", "2026-01-01" }), ids);
    QCOMPARE(exportedIds({ "--to", "2100-01-01" }), ids);
    QCOMPARE(ints(json(xr({ "list", "--from", "1970-01-02", "--to", "9999-12-31 23:59:59.999",
                            "--json" },
                          zone))
                          .array(),
                  "tid"),
             ids);
    QCOMPARE(ints(json(xr({ "delete", "--all", "--yes", "--json" }, zone))
                          .object()
                          .value("deleted")
                          .toArray()),
             ids);
    QCOMPARE(storedIds(), QList<int>());
}

QTEST_GUILESS_MAIN(TestBrowseCommands)
#include "tst_browsecommands.moc"

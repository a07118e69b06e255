// The JSON object stream between an instrument and a PC, through the facade
// and the real worker thread: written from one card, imported into another
// that already holds results, and read back whole.

#include <QBuffer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include "databasemanager.h"
#include "libraryfixture.h"
#include "resultmanager.h"
#include "resultstreamreader.h"
#include "testsupport.h"

using TestSupport::LibraryFixture;
using TestSupport::querySqlite;

namespace {

QDateTime utc(int secs)
{
    return QDateTime(QDate(2024, 3, 1), QTime(8, 0), Qt::UTC).addSecs(secs);
}

QByteArray compact(const XrfKorviResult &r)
{
    return QJsonDocument(r.toJsonObject()).toJson(QJsonDocument::Compact);
}

struct Written
{
    XrfErrorInfo::XrfError code = XrfErrorInfo::NoError;
    int captured = -1;
    int found = -1;
    QString status;
};

} // namespace

class TestResultStream : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_lib.end(); }

    void instrumentToPcAndBack();
    void awkwardStreamAndResumedAbort();
    void readerCutsObjectsOnlyOutsideStrings();
    void limitsStatusesAndRefusals();

private:
    void switchCard(const QString &card)
    {
        m_rm->onInstrumentDataPathAvailable("SdCard", false, QString());
        m_lib.openCard(card);
        QVERIFY(m_lib.databaseOpen());
        m_db = m_lib.databaseFile();
    }
    // The import as the facade runs it, with its code and what it reported.
    XrfErrorInfo::XrfError import(const QString &file, int count, QList<int> *reported = nullptr)
    {
        QSignalSpy imported(m_rm, &XrfResultManager::resultsImported);
        XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
        DatabaseManager *db = LibraryFixture::database();
        QMetaObject::invokeMethod(
                db, [&] { rc = db->importResultsFromJsFile(file, count, QString()); },
                Qt::BlockingQueuedConnection);
        if (reported && imported.count() == 1)
            *reported = { imported.at(0).at(0).toInt(), imported.at(0).at(1).toInt(),
                          imported.at(0).at(2).toInt() };
        return rc;
    }
    Written write(const QString &from, const QString &to, const QString &tids, const QString &file,
                  uint limit)
    {
        Written w;
        DatabaseManager *db = LibraryFixture::database();
        QMetaObject::invokeMethod(
                db,
                [&] {
                    w.code = db->getAllResultsFromTestDateTime(from, to, tids, file, &w.captured,
                                                               &w.found, &w.status, limit);
                },
                Qt::BlockingQueuedConnection);
        return w;
    }
    int stored()
    {
        return querySqlite(m_db, "SELECT count(*) FROM analysisresult").value(0).toInt();
    }
    int idOf(const XrfKorviResult &r)
    {
        return querySqlite(m_db,
                           QStringLiteral("SELECT testId FROM analysisresult WHERE testDateTime = "
                                          "'%1' AND tidName = '%2'")
                                   .arg(r.analysis().dateTimeString(),
                                        r.analysis().tidName().replace("'", "''")))
                .value(0, -1)
                .toInt();
    }
    static int objectsIn(const QString &file)
    {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        ResultStreamReader reader(&f);
        QJsonObject o;
        int n = 0;
        while (reader.next(&o) == ResultStreamReader::Object)
            ++n;
        return n;
    }

    LibraryFixture m_lib;
    XrfResultManager *m_rm = nullptr;
    QString m_db;
};

void TestResultStream::init()
{
    QVERIFY(m_lib.begin("SN-STREAM"));
    QVERIFY(m_rm = m_lib.startFacade());
    m_lib.openCard("instrument");
    QVERIFY(m_lib.databaseOpen());
    m_db = m_lib.databaseFile();
}

void TestResultStream::instrumentToPcAndBack()
{
    QList<int> sent;
    for (const char *name :
         { "01-stainless-316", "02-rohs-abs-housing", "03-coating-au-ni-cu", "04-calibration-check",
           "05-brass-repeat", "06-soil-regression", "07-copper-awkward-texts" }) {
        XrfKorviResult r = TestSupport::sample(name);
        if (r.analysis().testType() == "REGRESSION")
            r.regressionInfo().setHistoricalTestId(sent.first());
        QVERIFY(TestSupport::placeImages(r, m_lib.path("instrument")));
        sent << m_lib.store(r);
        QVERIFY(sent.last() > 0);
    }
    XrfKorviResult averaged = TestSupport::sample("01-stainless-316");
    averaged.images().clear();
    averaged.analysis().setTestType("AVERAGED");
    averaged.analysis().setTidName("avg of 1 and 7");
    averaged.analysis().setTestDateTime(QDateTime::currentDateTimeUtc().addSecs(-60));
    for (int source : { sent.first(), sent.last() }) {
        XrfAverageInfo info;
        info.setTestId(source);
        averaged.avgOfTestsInfo() << info;
    }
    sent << m_lib.store(averaged);
    QList<XrfKorviResult> before;
    for (int id : sent)
        before << m_lib.readBack(id);
    QCOMPARE(before.last().avgOfTestsInfo().size(), 2);

    const QString stream = m_lib.path("pc/stream.json");
    QDir().mkpath(m_lib.path("pc"));
    const Written w = write("", "", "", stream, 0);
    QCOMPARE(w.code, XrfErrorInfo::NoError);
    QCOMPARE(w.captured, 8);
    QCOMPARE(w.found, 8);
    QCOMPARE(w.status, QStringLiteral("Complete"));
    QVERIFY(!QFile::exists(stream + ".part"));
    QVERIFY(QFile::copy(stream, stream + ".copy"));

    switchCard("receiver");
    const int own = m_lib.store(TestSupport::quickResult("receiver's own", utc(0)));
    const QJsonObject ownBefore = m_lib.readBack(own).toJsonObject();
    QList<int> reported;
    QCOMPARE(import(stream, 8, &reported), XrfErrorInfo::FileAccessFailed);
    QCOMPARE(reported, QList<int>({ 8, 0, 0 }));
    QVERIFY(!QFile::exists(stream));
    QCOMPARE(m_lib.readBack(own).toJsonObject(), ownBefore);

    QMap<int, int> receiverId; // sender's id -> receiver's
    for (int i = 0; i < sent.size(); ++i)
        receiverId.insert(sent.at(i), idOf(before.at(i)));
    for (int i = 0; i < sent.size(); ++i) {
        const XrfKorviResult back = m_lib.readBack(receiverId.value(sent.at(i)));
        QJsonObject got = back.toJsonObject();
        QJsonObject want = before.at(i).toJsonObject();
        // What must differ: ids, and the user (imports carry none).
        QCOMPARE(back.analysis().userId(), QString());
        for (QJsonObject *o : { &got, &want }) {
            QJsonObject a = o->value("analysis").toObject();
            a.remove("testId");
            a.remove("userId");
            o->insert("analysis", a);
        }
        const XrfKorviResult &sentResult = before.at(i);
        QJsonArray sources = want.value("avgOfTestsInfo").toArray();
        for (int s = 0; s < sources.size(); ++s) {
            QJsonObject source = sources.at(s).toObject();
            source.insert("testId", receiverId.value(source.value("testId").toInt()));
            sources.replace(s, source);
        }
        want.insert("avgOfTestsInfo", sources);
        if (sentResult.regressionInfo().historicalTestId() > 0) {
            QJsonObject history = want.value("regressionInfo").toObject();
            history.insert("historicalTestId",
                           receiverId.value(sentResult.regressionInfo().historicalTestId()));
            want.insert("regressionInfo", history);
        }
        QCOMPARE(got, want);
        for (const XrfImageInfo &image : back.images())
            QCOMPARE(TestSupport::readFile(m_lib.path("receiver/images/") + image.name()),
                     TestSupport::readFile(m_lib.path("instrument/images/") + image.name()));
    }
    QVERIFY(!before.at(0).images().isEmpty());

    // The same content again: nothing new, and the file goes.
    QCOMPARE(import(stream + ".copy", 8, &reported), XrfErrorInfo::FileAccessFailed);
    QCOMPARE(reported, QList<int>({ 0, 8, 0 }));
    QCOMPARE(stored(), 9);
    QVERIFY(!QFile::exists(stream + ".copy"));

    // A foreign result naming a picture of a stored one does not take it.
    const QString owned = m_lib.readBack(receiverId.value(sent.first())).images().value(0).name();
    const QByteArray picture = TestSupport::readFile(m_lib.path("receiver/images/") + owned);
    XrfKorviResult foreign = TestSupport::quickResult("foreign", utc(5));
    XrfImageInfo image;
    image.setName(owned);
    foreign.images() << image;
    QVERIFY(TestSupport::writeFile(stream, compact(foreign)));
    QCOMPARE(import(stream, 1, &reported), XrfErrorInfo::FileAccessFailed);
    QCOMPARE(reported, QList<int>({ 1, 0, 0 }));
    // It brings its own copy of the carried picture, under a name of its own.
    const QString copy = m_lib.readBack(idOf(foreign)).images().value(0).name();
    QVERIFY2(!copy.isEmpty() && copy != owned, qPrintable(copy));
    QCOMPARE(TestSupport::readFile(m_lib.path("receiver/images/") + copy), picture);
    QCOMPARE(m_lib.readBack(receiverId.value(sent.first())).images().value(0).name(), owned);
    QCOMPARE(TestSupport::readFile(m_lib.path("receiver/images/") + owned), picture);
}

void TestResultStream::awkwardStreamAndResumedAbort()
{
    XrfKorviResult awkward = TestSupport::quickResult("Prüfung µ-7 測試", utc(1));
    const QString value = "a }} b { c \"quoted\" \\ \\\" end";
    awkward.testInfo() = { QJsonObject { { "key", "Note" }, { "value", value } } };
    const XrfKorviResult plain = TestSupport::quickResult("plain", utc(2));
    const QString file = m_lib.path("pc/awkward.json");
    QVERIFY(TestSupport::writeFile(file,
                                   "header } text\n" + compact(awkward) + "\n--\n"
                                           + R"({"analysis":{"tidName":"bad" "x"}})"
                                           + compact(plain) + R"({"analysis":{"tidName":"x"}})"
                                           + "\ntrailer"));
    QList<int> reported;
    QCOMPARE(import(file, 4, &reported), XrfErrorInfo::FileAccessFailed);
    QCOMPARE(reported, QList<int>({ 2, 0, 2 }));
    QVERIFY(QFile::exists(file));
    QCOMPARE(stored(), 2);
    const XrfKorviResult back = m_lib.readBack(idOf(awkward));
    QCOMPARE(back.analysis().tidName(), awkward.analysis().tidName());
    QCOMPARE(back.testInfo().value(0).value("value").toString(), value);
    QCOMPARE(import(file, 4, &reported), XrfErrorInfo::FileAccessFailed);
    QCOMPARE(reported, QList<int>({ 0, 2, 2 }));

    // Aborted half-way from the progress report: what was stored stays, the
    // file stays, and a second run stores the rest once.
    QByteArray ten;
    for (int i = 0; i < 10; ++i)
        ten += compact(TestSupport::quickResult(QStringLiteral("r%1").arg(i), utc(10 + i)));
    const QString tenFile = m_lib.path("pc/ten.json");
    QVERIFY(TestSupport::writeFile(tenFile, ten));
    // A commit that fails loses the whole import, never the file.
    qputenv("XRF_FAULT_POINT", "import-commit-fail");
    QCOMPARE(import(tenFile, 10, &reported), XrfErrorInfo::DbQueryFailed);
    qunsetenv("XRF_FAULT_POINT");
    QCOMPARE(reported, QList<int>({ 0, 0, 10 }));
    QCOMPARE(stored(), 2);
    QVERIFY(QFile::exists(tenFile));
    QList<int> progress;
    const auto connection = connect(m_rm, &XrfResultManager::addedNResultsToDb, [&](int done, int) {
        progress << done;
        if (done == 4)
            m_rm->abortCurrentDbOperation();
    });
    QCOMPARE(import(tenFile, 10, &reported), XrfErrorInfo::OperationAborted);
    disconnect(connection);
    const int first = reported.value(0);
    QVERIFY(first >= 4 && first < 10);
    QCOMPARE(progress.mid(0, 4), QList<int>({ 1, 2, 3, 4 }));
    QVERIFY(QFile::exists(tenFile));
    QCOMPARE(stored(), 2 + first);
    QCOMPARE(import(tenFile, 10, &reported), XrfErrorInfo::FileAccessFailed);
    QCOMPARE(reported, QList<int>({ 10 - first, first, 0 }));
    QCOMPARE(stored(), 12);
    QVERIFY(!QFile::exists(tenFile));
}

void TestResultStream::readerCutsObjectsOnlyOutsideStrings()
{
    QBuffer buffer;
    buffer.setData(R"(noise ] } {"a":"}{\"}"} between {"b":{"c":[1,{}]}} {"x":1,} {"d":{"e":")");
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    ResultStreamReader reader(&buffer);
    QJsonObject o;
    QCOMPARE(reader.next(&o), ResultStreamReader::Object);
    QCOMPARE(o.value("a").toString(), QStringLiteral("}{\"}"));
    QCOMPARE(reader.next(&o), ResultStreamReader::Object);
    QCOMPARE(o.value("b").toObject().value("c").toArray().size(), 2);
    QCOMPARE(reader.next(&o), ResultStreamReader::Unreadable);
    QCOMPARE(reader.next(&o), ResultStreamReader::Truncated);
    QCOMPARE(reader.next(&o), ResultStreamReader::End);

    // Through the import: the good objects, then FileAccessFailed; the cut
    // one is not stored and the file is kept.
    const QString file = m_lib.path("pc/cut.json");
    const QByteArray good = compact(TestSupport::quickResult("good", utc(1)));
    QVERIFY(TestSupport::writeFile(file, good + good.left(good.size() / 2)));
    QList<int> reported;
    QCOMPARE(import(file, 2, &reported), XrfErrorInfo::FileAccessFailed);
    QCOMPARE(reported, QList<int>({ 1, 0, 1 }));
    QVERIFY(QFile::exists(file));
    QCOMPARE(import(m_lib.path("pc/none.json"), 1, &reported), XrfErrorInfo::FileOpenFailed);
    QCOMPARE(reported, QList<int>({ 0, 0, 0 }));

    // A quote left open in one object does not swallow the objects behind
    // it: they are read from where they begin, and every object is counted.
    // (No escaped quote in any text, which would set the reader right by
    // chance.)
    const auto plain = [](const QString &name, const QDateTime &when) {
        XrfKorviResult r = TestSupport::quickResult(name, when);
        r.testInfo().clear();
        return compact(r);
    };
    QByteArray damaged = plain("one", utc(2));
    QByteArray broken = plain("two", utc(3));
    broken.remove(broken.indexOf("\"two\"") + 4, 1);
    damaged += broken;
    for (int i = 0; i < 5; ++i)
        damaged += plain(QStringLiteral("after %1").arg(i), utc(4 + i));
    QVERIFY(TestSupport::writeFile(m_lib.path("pc/damaged.json"), damaged));
    QCOMPARE(import(m_lib.path("pc/damaged.json"), 7, &reported), XrfErrorInfo::FileAccessFailed);
    QCOMPARE(reported, QList<int>({ 6, 0, 1 }));
    QVERIFY(QFile::exists(m_lib.path("pc/damaged.json")));
}

void TestResultStream::limitsStatusesAndRefusals()
{
    QByteArray many;
    for (int i = 0; i < 501; ++i)
        many += compact(TestSupport::quickResult(QStringLiteral("m%1").arg(i), utc(i)));
    QVERIFY(TestSupport::writeFile(m_lib.path("pc/many.json"), many));
    QCOMPARE(import(m_lib.path("pc/many.json"), 501), XrfErrorInfo::FileAccessFailed);
    QCOMPARE(stored(), 501);

    const QString out = m_lib.path("pc/out.json");
    Written w = write("", "", "", out, 0);
    QCOMPARE(w.captured, 500);
    QCOMPARE(w.found, 501);
    QCOMPARE(w.status, QStringLiteral("Partial"));
    QCOMPARE(objectsIn(out), 500);
    w = write("", "", "", out, 600);
    QCOMPARE(w.captured, 501);
    QCOMPARE(w.status, QStringLiteral("Complete"));
    // Ranges exclude their start: (08:00:00, 08:00:02] holds m1 and m2.
    w = write("2024-03-01 08:00:00.000,2024-03-01 08:01:00.000",
              "2024-03-01 08:00:02.000,2024-03-01 08:01:01.000", "", out, 0);
    QCOMPARE(w.captured, 3);
    QCOMPARE(objectsIn(out), 3);

    QFile::remove(out);
    w = write("2024-03-01 08:00:00.000,2024-03-01 08:01:00.000", "2024-03-01 08:00:02.000", "", out,
              0);
    QCOMPARE(w.code, XrfErrorInfo::DatabaseEmpty);
    QCOMPARE(w.status, QStringLiteral("InvalidStartAndEndTime"));
    QVERIFY(!QFile::exists(out));
    // A listed id that is not stored is passed over, not written empty.
    w = write("a,b", "c", "7,99999", out, 0);
    QCOMPARE(w.code, XrfErrorInfo::NoError);
    QCOMPARE(w.captured, 1);
    QCOMPARE(w.found, 1);
    QCOMPARE(w.status, QStringLiteral("Complete"));
    QCOMPARE(objectsIn(out), 1);

    for (const QString &refused :
         { m_lib.path("instrument/images/out.json"), m_lib.path("instrument/db/x.json"), m_db }) {
        const QByteArray was = TestSupport::readFile(refused);
        QCOMPARE(write("", "", "", refused, 0).code, XrfErrorInfo::FileCreateFailed);
        QCOMPARE(TestSupport::readFile(refused), was);
    }
}

QTEST_GUILESS_MAIN(TestResultStream)
#include "tst_resultstream.moc"

// xrfresults serve as a person and a browser use it: the real program on a
// loopback port, its JSON checked against what a reader of the same file
// answers, hostile names and requests, a token on an open address, a store
// writing beside it, and the pages loaded in headless Chromium.

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>
#include <memory>
#include <vector>

#include "testsupport.h"
#include "xrfresultreader.h"
#include "xrfresultsprocess.h"

namespace {

const QString sampleDir = QStringLiteral(XRF_SOURCE_DIR "/samples");
const QString hostileName = QStringLiteral("<script>alert(1)</script>");
const QString hostileInfo = QStringLiteral("say \"hi\" </td><td>'x'");

struct Reply
{
    int status = 0; // 0: no answer at all
    QByteArray headers;
    QByteArray body;
};

// One request on a connection of its own, written as given: nothing between
// the test and the server normalises a path.
// With a form, it is posted.
Reply request(int port, const QByteArray &target, const QByteArray &extraHeaders = QByteArray(),
              const QByteArray &host = QByteArray(), const QByteArray &form = QByteArray())
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    Reply reply;
    if (!socket.waitForConnected(5000))
        return reply;
    const QByteArray body = form.isNull()
            ? QByteArray()
            : "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: "
                    + QByteArray::number(form.size()) + "\r\n";
    socket.write((form.isNull() ? "GET " : "POST ") + target + " HTTP/1.1\r\nHost: "
                 + (host.isEmpty() ? "127.0.0.1:" + QByteArray::number(port) : host)
                 + "\r\nConnection: close\r\n" + extraHeaders + body + "\r\n" + form);
    QByteArray raw;
    while (socket.state() == QAbstractSocket::ConnectedState || socket.bytesAvailable()) {
        if (!socket.bytesAvailable() && !socket.waitForReadyRead(20000))
            break;
        raw += socket.readAll();
    }
    const int end = raw.indexOf("\r\n\r\n");
    if (!raw.startsWith("HTTP/1.1 ") || end < 0)
        return reply;
    reply.status = raw.mid(9, 3).toInt();
    reply.headers = raw.left(end);
    reply.body = raw.mid(end + 4);
    return reply;
}

QJsonValue json(const Reply &reply)
{
    const QJsonDocument d = QJsonDocument::fromJson(reply.body);
    return d.isArray() ? QJsonValue(d.array()) : QJsonValue(d.object());
}

// The program serving a data folder on a free port, in a zone of its own.
class Server
{
public:
    Server(const QString &data, const QStringList &extra = {},
           const QString &zone = QString::fromLocal8Bit(qgetenv("TZ")))
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TZ"), zone);
        m_process.setProcessEnvironment(env);
        m_process.start(QStringLiteral(XRF_XRFRESULTS),
                        QStringList { "--data", data, "serve", "--port", "0" } << extra);
        QElapsedTimer clock;
        clock.start();
        while (m_url.isEmpty() && clock.elapsed() < 20000 && m_process.waitForReadyRead(20000)) {
            m_printed += QString::fromUtf8(m_process.readAllStandardOutput());
            const QRegularExpressionMatch m
                    = QRegularExpression(QStringLiteral("http://[^/ ]+:(\\d+)/(\\S*)"))
                              .match(m_printed);
            if (m.hasMatch()) {
                m_url = m.captured(0);
                port = m.captured(1).toInt();
                query = m.captured(2);
            }
        }
    }
    ~Server()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
    }
    // Stops as Ctrl-C stops it; its exit code.
    int stop()
    {
        m_process.terminate();
        return m_process.waitForFinished(10000) ? m_process.exitCode() : -1;
    }
    QString printed() const { return m_printed; }

    int port = 0;
    QString query;

private:
    QProcess m_process;
    QString m_printed;
    QString m_url;
};

// The local day's tests as the reader selects them: [midnight, next midnight).
QJsonArray readerDay(XrfResultReader &reader, const QDate &day)
{
    QJsonArray tests;
    reader.tests(QDateTime(day, QTime(0, 0)).toUTC(), true,
                 QDateTime(day.addDays(1), QTime(0, 0)).toUTC(), false, &tests);
    return tests;
}

QList<int> tids(const QJsonArray &tests)
{
    QList<int> ids;
    for (const QJsonValue &t : tests)
        ids << t.toObject().value("tid").toInt();
    return ids;
}

QList<QDate> days(const QJsonObject &calendar)
{
    QList<QDate> found;
    for (const QJsonValue &year : calendar.value("Calendar").toArray())
        for (const QString &y : year.toObject().keys())
            for (const QJsonValue &month : year.toObject().value(y).toArray())
                for (const QString &m : month.toObject().keys())
                    for (const QJsonValue &d : month.toObject().value(m).toArray())
                        found << QDate(y.toInt(), m.toInt(), d.toString().toInt());
    std::sort(found.begin(), found.end());
    return found;
}

void useZone(const QString &zone)
{
    qputenv("TZ", zone.toLocal8Bit());
    tzset();
}

} // namespace

class TestServe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyApiAnswerIsTheLibrarysInEachZone_data();
    void everyApiAnswerIsTheLibrarysInEachZone();
    void hostileTextsAreShownAsText();
    void hostileRequestsAreRefusedAndChangeNothing();
    void anOpenAddressNeedsTheToken();
    void downloadsLeaveNothingBehind();
    void anAverageIsShownNotStored();
    void pagesAnswerWhileAStoreWrites();
    void changesNeedAllowWriteTheTokenAndTheOrigin();
    void aBrowserShowsTheResultWithItsPlots();

private:
    QString dbFile() const
    {
        const QStringList files = QDir(m_data + "/db").entryList({ "*.sqlite" }, QDir::Files);
        return files.isEmpty() ? QString() : m_data + "/db/" + files.first();
    }
    // What lies in the data folder, with each file's digest: the log and
    // what an open database keeps beside it aside.
    QStringList folderState() const;

    QTemporaryDir m_dir;
    QString m_data;
    int m_hostileId = 0;
    QString m_zone;
};

void TestServe::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_zone = QString::fromLocal8Bit(qgetenv("TZ"));
    m_data = m_dir.filePath("data");
    // The samples, and one whose name and info are made to break a page.
    QFile copper(sampleDir + "/07-copper-awkward-texts.json");
    QVERIFY(copper.open(QIODevice::ReadOnly));
    QJsonObject hostile = QJsonDocument::fromJson(copper.readAll()).object();
    QJsonObject analysis = hostile.value("analysis").toObject();
    analysis.insert("tidName", hostileName);
    analysis.insert("testDateTime", "2026-11-27 12:00:00.000");
    hostile.insert("analysis", analysis);
    hostile.insert("testInfo",
                   QJsonArray { QJsonObject { { "key", "Lot" }, { "value", hostileInfo } } });
    hostile.insert("images", QJsonArray());
    QVERIFY(TestSupport::writeFile(m_dir.filePath("hostile/hostile.json"),
                                   QJsonDocument(hostile).toJson()));
    const auto stored = XrfResultsProcess::run(
            { "--data", m_data, "store", sampleDir, m_dir.filePath("hostile") });
    QVERIFY2(stored.exitCode == 0, qPrintable(stored.err));
    const QStringList lines = stored.out.split('\n', Qt::SkipEmptyParts);
    for (const QString &line : lines)
        if (line.contains(hostileName))
            m_hostileId = line.section('\t', 0, 0).toInt();
    QVERIFY(m_hostileId > 0);
}

QStringList TestServe::folderState() const
{
    QStringList state;
    QDirIterator it(m_data, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(".log") || path.endsWith("-wal") || path.endsWith("-shm")
            || path.endsWith(".sqlite"))
            continue;
        state << path.mid(m_data.size());
    }
    // The database by what it holds, not by its bytes (a checkpoint moves them).
    XrfResultReader reader(dbFile());
    QJsonObject calendar;
    reader.calendar(&calendar);
    state << QString::fromUtf8(QJsonDocument(calendar).toJson(QJsonDocument::Compact));
    state.sort();
    return state;
}

void TestServe::everyApiAnswerIsTheLibrarysInEachZone_data()
{
    QTest::addColumn<QString>("zone");
    QTest::newRow("west of UTC") << "America/New_York";
    QTest::newRow("east of UTC") << "Asia/Tokyo";
}

void TestServe::everyApiAnswerIsTheLibrarysInEachZone()
{
    QFETCH(QString, zone);
    useZone(zone);
    Server server(m_data, {}, zone);
    QVERIFY2(server.port > 0, qPrintable(server.printed()));
    XrfResultReader reader(dbFile());
    QVERIFY(reader.isOpen());

    // The calendar, with each day's count as a day list of the reader has it.
    QJsonObject expected;
    QCOMPARE(reader.calendar(&expected), XrfErrorInfo::NoError);
    QJsonObject calendar = json(request(server.port, "/api/calendar")).toObject();
    const QJsonObject counts = calendar.take("dayCounts").toObject();
    QCOMPARE(calendar, expected);
    const QList<QDate> stored = days(expected);
    QVERIFY(stored.size() >= 4);
    QCOMPARE(counts.size(), stored.size());
    int total = 0;
    for (const QDate &day : stored) {
        const QJsonArray tests = readerDay(reader, day);
        QCOMPARE(counts.value(day.toString(Qt::ISODate)).toInt(), tests.size());
        total += tests.size();
        QJsonArray summaries;
        reader.summaries(tids(tests), &summaries);
        const QJsonObject list
                = json(request(server.port, "/api/day/" + day.toString(Qt::ISODate).toLatin1()))
                          .toObject();
        QCOMPARE(list.value("tests").toArray(), summaries);
        QCOMPARE(list.value("capped").toBool(), false);
    }
    QCOMPARE(total, expected.value("numOfRecsInDb").toInt());

    // The latest, a range, a search.
    QJsonArray latest, summaries;
    reader.latestTests(3, &latest);
    reader.summaries(tids(latest), &summaries);
    QCOMPARE(json(request(server.port, "/api/latest?n=3")).toObject().value("tests").toArray(),
             summaries);
    const QDate first = stored.first();
    const QDate last = stored.last();
    QJsonArray between;
    reader.tests(QDateTime(first, QTime(12, 0)).toUTC(), false,
                 QDateTime(last, QTime(12, 0)).toUTC(), true, &between);
    summaries = QJsonArray();
    reader.summaries(tids(between), &summaries);
    const QByteArray range = "/api/range?from=" + first.toString(Qt::ISODate).toLatin1()
            + "%2012:00&to=" + last.toString(Qt::ISODate).toLatin1() + "T12:00";
    QCOMPARE(json(request(server.port, range)).toObject().value("tests").toArray(), summaries);
    QJsonArray found;
    reader.search("h-441", 200, &found);
    QVERIFY(!found.isEmpty());
    QCOMPARE(tids(json(request(server.port, "/api/search?q=h-441"))
                          .toObject()
                          .value("tests")
                          .toArray()),
             tids(found));
    const auto listed
            = XrfResultsProcess::run({ "--data", m_data, "list", "--search", "h-441", "--json" });
    QCOMPARE(tids(QJsonDocument::fromJson(listed.out.toUtf8()).array()), tids(found));

    // Each result whole, as show --json gives it; its spectra on their
    // calibration, with lines only of its elements.
    const QList<int> ids = tids(latest) << m_hostileId;
    for (int id : ids) {
        XrfKorviResult result;
        QCOMPARE(reader.result(id, &result), XrfErrorInfo::NoError);
        const Reply reply = request(server.port, "/api/test/" + QByteArray::number(id));
        QCOMPARE(reply.status, 200);
        QCOMPARE(json(reply).toObject(), result.toJsonObject());
        const auto shown = XrfResultsProcess::run(
                { "--data", m_data, "show", QString::number(id), "--json" });
        QCOMPARE(json(reply).toObject(), QJsonDocument::fromJson(shown.out.toUtf8()).object());
        QStringList elements;
        for (const XrfChemistryResult &c : result.chemistry())
            elements << c.elementName();
        for (int i = 0; i < result.spectra().size(); ++i) {
            const XrfSpectrum &s = result.spectra().at(i);
            const QJsonObject spectrum
                    = json(request(server.port,
                                   "/api/test/" + QByteArray::number(id) + "/spectrum/"
                                           + QByteArray::number(i)))
                              .toObject();
            const QJsonArray channels = spectrum.value("channels").toArray();
            QCOMPARE(channels.size(), s.channels().size());
            for (int c = 0; c < channels.size(); c += 97)
                QCOMPARE(quint32(channels.at(c).toDouble()), s.channels().at(c));
            QCOMPARE(spectrum.value("energySlope").toDouble(), s.energySlope());
            QCOMPARE(spectrum.value("energyOffset").toDouble(), s.energyOffset());
            for (const QJsonValue &line : spectrum.value("lines").toArray())
                QVERIFY(elements.contains(line.toObject().value("element").toString()));
        }
    }
    // Line energies as tables give them (keV): Fe Kα1, Cr Kα1, Ni Kα1.
    const QJsonArray lines = json(request(server.port, "/api/test/1/spectrum/0"))
                                     .toObject()
                                     .value("lines")
                                     .toArray();
    const QMap<QString, double> known { { "Fe", 6.404 }, { "Cr", 5.415 }, { "Ni", 7.478 } };
    int checked = 0;
    for (const QJsonValue &line : lines) {
        const QJsonObject o = line.toObject();
        if (known.contains(o.value("element").toString())
            && o.value("line").toString() == QString::fromUtf8("Kα")) {
            QVERIFY(qAbs(o.value("energyKeV").toDouble()
                         - known.value(o.value("element").toString()))
                    < 0.01);
            ++checked;
        }
    }
    QCOMPARE(checked, 3);

    // A day's trend of Cr: every test of the day that holds it, with its σ.
    const QDate day = stored.first();
    summaries = QJsonArray();
    reader.summaries(tids(readerDay(reader, day)), &summaries);
    QList<QPair<int, double>> cr;
    for (const QJsonValue &t : qAsConst(summaries))
        for (const QJsonValue &e : t.toObject().value("elements").toArray())
            if (e.toObject().value("element").toString() == "Cr")
                cr.append({ t.toObject().value("tid").toInt(),
                            e.toObject().value("error").toDouble() });
    const QJsonArray points
            = json(request(server.port,
                           "/api/trend?element=Cr&day=" + day.toString(Qt::ISODate).toLatin1()))
                      .toObject()
                      .value("points")
                      .toArray();
    QCOMPARE(points.size(), cr.size());
    for (int i = 0; i < cr.size(); ++i) {
        QCOMPARE(points.at(i).toObject().value("tid").toInt(), cr.at(i).first);
        QCOMPARE(points.at(i).toObject().value("error").toDouble(), cr.at(i).second);
    }
    QCOMPARE(server.stop(), 0);
    useZone(m_zone);
}

void TestServe::hostileTextsAreShownAsText()
{
    Server server(m_data);
    QVERIFY(server.port > 0);
    const QByteArray id = QByteArray::number(m_hostileId);
    XrfResultReader reader(dbFile());
    XrfKorviResult result;
    reader.result(m_hostileId, &result);
    const QString day = result.analysis().testDateTime().toLocalTime().date().toString(Qt::ISODate);
    for (const QByteArray &path :
         { "/test/" + id, "/day/" + day.toLatin1(), QByteArray("/search?q=alert") }) {
        const Reply page = request(server.port, path);
        QCOMPARE(page.status, 200);
        QVERIFY2(page.headers.contains(
                         "Content-Security-Policy: default-src 'none'; script-src 'self'"),
                 page.headers.constData());
        const QString html = QString::fromUtf8(page.body);
        QVERIFY2(html.contains("&lt;script&gt;alert(1)&lt;/script&gt;"), qPrintable(path));
        QVERIFY(!html.contains(hostileName));
        // Scripts only from the server's own files, never inline or in handlers.
        QCOMPARE(html.count("<script"), 2);
        QCOMPARE(html.count(QRegularExpression(" on[a-z]+=")), 0);
    }
    const QString html = QString::fromUtf8(request(server.port, "/test/" + id).body);
    QVERIFY(html.contains("say &quot;hi&quot; &lt;/td&gt;&lt;td&gt;&#39;x&#39;"));
    const QJsonObject whole = json(request(server.port, "/api/test/" + id)).toObject();
    QCOMPARE(whole.value("analysis").toObject().value("tidName").toString(), hostileName);
    QCOMPARE(whole.value("testInfo").toArray().at(0).toObject().value("value").toString(),
             hostileInfo);
}

void TestServe::hostileRequestsAreRefusedAndChangeNothing()
{
    Server server(m_data);
    QVERIFY(server.port > 0);
    const QStringList before = folderState();
    const QList<QByteArray> targets {
        "/test/../../../etc/passwd",
        "/../../etc/passwd",
        "/%2e%2e/%2e%2e/etc/passwd",
        "/static/%2e%2e/%2e%2e/etc/passwd",
        "/static/..%2f..%2fetc%2fpasswd",
        "/etc/passwd",
        "//etc/passwd",
        "/test//etc/passwd",
        "/test/1/picture/..%2f..%2fdb",
        "/test/1/picture/-1",
        "/test/99999999999999999999",
        "/test/2147483648",
        "/test/0",
        "/test/1%20OR%201=1",
        "/test/1;DROP%20TABLE%20analysisresult",
        "/api/test/1'%20OR%20'1'='1",
        "/api/test/1/spectrum/99",
        "/day/2026-02-30",
        "/day/../../db",
        "/range?from=2026-11-01'--&to=2026-12-01",
        "/api/latest?n=-5",
        "/export?ids=1,2;DELETE&format=csv",
        "/export?id=1&format=../../x",
        "/api/average?ids=1",
        "/trend?day=2026-11-23&element=%3Cimg%20src=x%3E",
    };
    for (const QByteArray &target : targets) {
        const Reply reply = request(server.port, target);
        QVERIFY2(reply.status >= 400 && reply.status < 500,
                 qPrintable(target + " answered " + QString::number(reply.status)));
        QVERIFY2(!reply.body.contains("root:") && !reply.body.contains("SQLite format"),
                 target.constData());
        // One line saying why.
        QVERIFY2(reply.body.count('\n') <= 1, reply.body.constData());
    }
    // No POST, PUT or DELETE is taken.
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", quint16(server.port));
    QVERIFY(socket.waitForConnected(5000));
    socket.write("DELETE /test/1 HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(server.port)
                 + "\r\nConnection: close\r\n\r\n");
    QVERIFY(socket.waitForReadyRead(5000));
    QVERIFY(socket.readAll().startsWith("HTTP/1.1 4"));

    // A page elsewhere that names this machine differently gets nothing.
    QCOMPARE(request(server.port, "/api/calendar", {}, "evil.example:80").status, 421);
    QCOMPARE(request(server.port, "/api/calendar", {}, "127.0.0.1.evil.example").status, 421);
    // Through a tunnel the port differs, the name does not.
    QCOMPARE(request(server.port, "/api/calendar", {}, "localhost:9000").status, 200);
    // A 10 MB header gets no page, and the server goes on.
    const Reply huge
            = request(server.port, "/api/calendar", "X-Big: " + QByteArray(10 << 20, 'a') + "\r\n");
    QVERIFY2(huge.status == 0 || (huge.status >= 400 && huge.status < 500),
             huge.headers.constData());
    QVERIFY(!huge.body.contains("Calendar"));
    QCOMPARE(request(server.port, "/api/calendar").status, 200);
    QCOMPARE(folderState(), before);
}

void TestServe::anOpenAddressNeedsTheToken()
{
    QCOMPARE(XrfResultsProcess::run(
                     { "--data", m_data, "serve", "--bind", "0.0.0.0", "--token", "short" })
                     .exitCode,
             1);
    Server open(m_data, { "--bind", "0.0.0.0" });
    QVERIFY2(open.port > 0, qPrintable(open.printed()));
    const QString token = open.query.section("token=", 1);
    QVERIFY2(token.size() >= 16, qPrintable(open.printed()));
    for (const QByteArray &target :
         { QByteArray("/"), QByteArray("/api/test/1"), QByteArray("/test/1/picture/0"),
           QByteArray("/api/calendar?token=wrong"), QByteArray("/static/viewer.js") }) {
        const Reply refused = request(open.port, target);
        QCOMPARE(refused.status, 401);
        QVERIFY(!refused.body.contains("316-bar"));
    }
    QCOMPARE(request(open.port, "/api/calendar",
                     "Authorization: Bearer wrong" + token.toLatin1() + "\r\n")
                     .status,
             401);
    const Reply first = request(open.port, "/api/test/1?token=" + token.toLatin1());
    QCOMPARE(first.status, 200);
    QVERIFY(first.body.contains("316-bar"));
    // The browser keeps it as a cookie for the pages that follow.
    QVERIFY(first.headers.contains("Set-Cookie: xrftoken=" + token.toLatin1()));
    QCOMPARE(request(open.port, "/test/1", "Cookie: xrftoken=" + token.toLatin1() + "\r\n").status,
             200);
    QCOMPARE(request(open.port, "/api/calendar",
                     "Authorization: Bearer " + token.toLatin1() + "\r\n")
                     .status,
             200);
}

void TestServe::downloadsLeaveNothingBehind()
{
    Server server(m_data);
    QVERIFY(server.port > 0);
    const QStringList before = folderState();
    const QStringList tempBefore
            = QDir(QDir::tempPath()).entryList({ "xrfresults-serve-*" }, QDir::Dirs);
    // The export command's own files, for the same tests.
    const QString out = m_dir.filePath("exported");
    const auto exported = XrfResultsProcess::run(
            { "--data", m_data, "export", "--ids", "1,2", "--format", "pdf", "--out", out });
    QCOMPARE(exported.exitCode, 0);
    const QString pdf = exported.out.trimmed();
    const Reply reply = request(server.port, "/export?id=1&id=2&format=pdf");
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.body.startsWith("%PDF-"));
    QVERIFY(reply.headers.contains("Content-Disposition: attachment; filename=\"chemistry-"));
    // Same writer: the same pages, within what a PDF's date stamps change.
    QVERIFY(qAbs(reply.body.size() - QFileInfo(pdf).size()) < 200);
    const Reply csv = request(server.port, "/export?id=1&id=2&format=csv");
    QCOMPARE(csv.status, 200);
    QVERIFY(csv.body.startsWith("PK")); // chemistry and spectra, zipped

    // A client that hangs up mid-download leaves no copy behind either.
    for (int i = 0; i < 3; ++i) {
        QTcpSocket socket;
        socket.connectToHost("127.0.0.1", quint16(server.port));
        QVERIFY(socket.waitForConnected(5000));
        socket.write("GET /export?ids=1,2,3,5,6,7&format=zip HTTP/1.1\r\nHost: 127.0.0.1:"
                     + QByteArray::number(server.port) + "\r\n\r\n");
        socket.waitForReadyRead(20000);
        socket.abort();
    }
    QTRY_COMPARE_WITH_TIMEOUT(
            QDir(QDir::tempPath()).entryList({ "xrfresults-serve-*" }, QDir::Dirs), tempBefore,
            20000);
    QCOMPARE(folderState(), before);

    // Ctrl-C while exports wait for the main thread, which runs them one at
    // a time: the server still stops, within the watchdog's ten seconds.
    std::vector<std::unique_ptr<QTcpSocket>> waiting;
    for (int i = 0; i < 8; ++i) {
        waiting.push_back(std::make_unique<QTcpSocket>());
        QTcpSocket &socket = *waiting.back();
        socket.connectToHost("127.0.0.1", quint16(server.port));
        QVERIFY(socket.waitForConnected(5000));
        socket.write("GET /export?ids=1,2,3,5,6,7&format=zip HTTP/1.1\r\nHost: 127.0.0.1:"
                     + QByteArray::number(server.port) + "\r\n\r\n");
        QVERIFY(socket.waitForBytesWritten(5000));
    }
    // One answer has begun: the others are queued behind it.
    QVERIFY(QTest::qWaitFor(
            [&] {
                for (const auto &socket : waiting)
                    if (socket->bytesAvailable() > 0)
                        return true;
                return false;
            },
            20000));
    QCOMPARE(server.stop(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(
            QDir(QDir::tempPath()).entryList({ "xrfresults-serve-*" }, QDir::Dirs), tempBefore,
            20000);
}

void TestServe::anAverageIsShownNotStored()
{
    Server server(m_data);
    QVERIFY(server.port > 0);
    const QStringList before = folderState();
    XrfResultReader reader(dbFile());
    XrfKorviResult first, seventh;
    reader.result(1, &first);
    reader.result(7, &seventh);
    const auto concentration = [](const QJsonObject &result, const QString &element) {
        for (const QJsonValue &c : result.value("chemistry").toArray())
            if (c.toObject().value("elementName").toString() == element)
                return c.toObject().value("concentration").toDouble();
        return -1.0;
    };
    const QJsonObject averaged = json(request(server.port, "/api/average?ids=1,7")).toObject();
    for (const QString element : { "Fe", "Cu" }) {
        const double mean = (concentration(first.toJsonObject(), element)
                             + concentration(seventh.toJsonObject(), element))
                / 2;
        QVERIFY2(qAbs(concentration(averaged, element) - mean) < 1e-3, qPrintable(element));
    }
    const Reply page = request(server.port, "/average?id=1&id=7");
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.contains("Not stored"));
    // Tests of different methods are not averaged.
    QCOMPARE(request(server.port, "/api/average?ids=1,2").status, 422);
    QCOMPARE(folderState(), before);
}

void TestServe::pagesAnswerWhileAStoreWrites()
{
    const QString data = m_dir.filePath("busy");
    const QString input = m_dir.filePath("generated");
    QCOMPARE(XrfResultsProcess::run({ "generate", "500", input }).exitCode, 0);
    QCOMPARE(XrfResultsProcess::run({ "--data", data, "store", sampleDir }).exitCode, 0);
    Server server(data);
    QVERIFY(server.port > 0);
    QProcess store;
    store.start(QStringLiteral(XRF_XRFRESULTS), { "--data", data, "store", input });
    QVERIFY(store.waitForStarted());
    QMap<int, QJsonObject> seen;
    int pages = 0;
    int next = 8; // after the samples
    int rounds = 0;
    do {
        for (const char *page : { "/", "/latest", "/api/calendar" }) {
            const Reply reply = request(server.port, page);
            QVERIFY2(reply.status == 200, qPrintable(page + QString(" %1").arg(reply.status)));
            ++pages;
        }
        // The next results in the order they are stored: each is there
        // whole, or not yet.
        for (int k = 0; k < 3; ++k) {
            const QByteArray id = QByteArray::number(next);
            const Reply result = request(server.port, "/api/test/" + id);
            if (result.status == 404)
                break;
            QCOMPARE(result.status, 200);
            seen.insert(next++, json(result).toObject());
            QCOMPARE(request(server.port, "/test/" + id).status, 200);
            pages += 2;
        }
        // The commands that only read go on beside the store too.
        if (++rounds % 5 == 1)
            for (const QStringList &reading :
                 { QStringList { "show", "1" }, QStringList { "list", "--latest", "3" } }) {
                const auto read = XrfResultsProcess::run(QStringList { "--data", data } << reading);
                QVERIFY2(read.exitCode == 0, qPrintable(read.err));
            }
    } while (!store.waitForFinished(0));
    QCOMPARE(store.exitStatus(), QProcess::NormalExit);
    QVERIFY2(store.exitCode() == 0, store.readAllStandardError().right(2000).constData());
    QVERIFY2(seen.size() > 3,
             qPrintable(QString("%1 results seen while storing").arg(seen.size())));
    qInfo("%d pages and %d results read while 500 results were stored", pages, int(seen.size()));
    // Each result read during the store is the whole result as it is now.
    const QStringList files = QDir(data + "/db").entryList({ "*.sqlite" }, QDir::Files);
    XrfResultReader reader(data + "/db/" + files.value(0));
    for (auto i = seen.cbegin(); i != seen.cend(); ++i) {
        XrfKorviResult result;
        QCOMPARE(reader.result(i.key(), &result), XrfErrorInfo::NoError);
        QCOMPARE(i.value(), result.toJsonObject());
    }
    QJsonObject calendar;
    reader.calendar(&calendar);
    QCOMPARE(calendar.value("numOfRecsInDb").toInt(), 507);
    // Deleting every result makes the file new; the viewer reads the new one.
    QCOMPARE(XrfResultsProcess::run({ "--data", data, "delete", "--all", "--yes" }).exitCode, 0);
    QCOMPARE(json(request(server.port, "/api/calendar")).toObject().value("numOfRecsInDb").toInt(),
             0);
    QCOMPARE(request(server.port, "/api/test/8").status, 404);
}

void TestServe::aBrowserShowsTheResultWithItsPlots()
{
    const QString chromium = QStandardPaths::findExecutable("chromium");
    if (chromium.isEmpty())
        QSKIP("chromium is not installed (scripts/install-deps.sh installs it)");
    Server server(m_data);
    QVERIFY(server.port > 0);
    const QString base = QString("http://127.0.0.1:%1").arg(server.port);
    const QString artefacts = QStringLiteral(XRF_BINARY_DIR "/test-artefacts");
    QDir().mkpath(artefacts);
    QTemporaryDir profile;
    auto browse = [&](const QString &path, const QString &screenshot, QString *console) {
        QProcess p;
        QStringList args { "--headless",
                           "--no-sandbox",
                           "--disable-gpu",
                           "--no-first-run",
                           "--user-data-dir=" + profile.path(),
                           "--enable-logging=stderr",
                           "--v=0",
                           "--virtual-time-budget=10000",
                           "--window-size=1280,2200" };
        args << (screenshot.isEmpty() ? QStringList { "--dump-dom" }
                                      : QStringList { "--screenshot=" + screenshot });
        p.start(chromium, args << base + path);
        if (!p.waitForFinished(60000))
            p.kill();
        *console = QString::fromUtf8(p.readAllStandardError());
        return QString::fromUtf8(p.readAllStandardOutput());
    };
    auto noErrors = [](const QString &console, const QString &dom) {
        for (const QString &line : console.split('\n'))
            QVERIFY2(!line.contains("CONSOLE") && !line.contains("Uncaught")
                             && !line.contains("Content Security Policy"),
                     qPrintable(line));
        QVERIFY(!dom.contains("data-script-errors"));
    };
    QString console;
    const QString calendar = browse("/", QString(), &console);
    noErrors(console, calendar);
    XrfResultReader reader(dbFile());
    QJsonObject stored;
    reader.calendar(&stored);
    for (const QDate &day : days(stored))
        QVERIFY(calendar.contains("href=\"/day/" + day.toString(Qt::ISODate) + "\""));

    XrfKorviResult result;
    reader.result(1, &result);
    const QString dayList = browse(
            "/day/" + result.analysis().testDateTime().toLocalTime().date().toString(Qt::ISODate),
            QString(), &console);
    noErrors(console, dayList);
    QVERIFY(dayList.contains("href=\"/test/1\""));
    QVERIFY(dayList.contains("name=\"id\" value=\"1\""));

    const QString page = browse("/test/1", QString(), &console);
    noErrors(console, page);
    // Chemistry as stored, in % with four decimals.
    for (const XrfChemistryResult &c : result.chemistry())
        QVERIFY2(page.contains(
                         QString("<th>%1</th><td class=\"value\">%2</td>")
                                 .arg(c.elementName(), QString::number(c.concentration(), 'f', 4))),
                 qPrintable(c.elementName()));
    // Every spectrum drawn on a canvas, its lines labelled; Fe, Cr and Ni
    // lines lie in any exposure of a stainless steel.
    QCOMPARE(page.count("<section class=\"spectrum\""), result.spectra().size());
    QCOMPARE(page.count("data-ready=\"1\""), result.spectra().size());
    QVERIFY(page.count("<canvas") >= result.spectra().size());
    const QRegularExpression label("<span class=\"line-label[^\"]*\" data-element=\"([A-Za-z]+)\"");
    QSet<QString> labelled;
    for (auto m = label.globalMatch(page); m.hasNext();)
        labelled << m.next().captured(1);
    QSet<QString> elements;
    for (const XrfChemistryResult &c : result.chemistry())
        elements << c.elementName();
    QVERIFY(labelled.contains("Fe") && labelled.contains("Cr") && labelled.contains("Ni"));
    QVERIFY(elements.contains(labelled));

    const QString shot = artefacts + "/serve-result-page.png";
    QFile::remove(shot);
    browse("/test/1", shot, &console);
    QVERIFY2(QFileInfo(shot).size() > 10000, qPrintable(console.right(2000)));
}

void TestServe::changesNeedAllowWriteTheTokenAndTheOrigin()
{
    const QString data = m_dir.filePath("writable");
    QCOMPARE(XrfResultsProcess::run({ "--data", data, "store", sampleDir }).exitCode, 0);
    const QString db = data + "/db/XL5-70312.sqlite";
    const auto lots = [&] {
        return TestSupport::querySqlite(db,
                                        "SELECT count(*) || ',' || (SELECT group_concat(info) "
                                        "FROM testinfo) FROM analysisresult");
    };
    const QVariantList before = lots();
    QCOMPARE(before.size(), 1);
    const QByteArray average = "id=1&id=7&name=Mean%201%2B7";
    {
        Server readOnly(data);
        QVERIFY(readOnly.port > 0);
        QCOMPARE(request(readOnly.port, "/average", {}, {}, average).status, 404);
        QCOMPARE(request(readOnly.port, "/test/1/info", {}, {}, "label=Lot&value=x").status, 404);
    }
    Server writable(data, { "--allow-write" });
    QVERIFY2(writable.port > 0, qPrintable(writable.printed()));
    // Writing always wants the token, even on loopback.
    const QByteArray token = writable.query.section("token=", 1).toLatin1();
    QVERIFY(token.size() >= 16);
    const QByteArray cookie = "Cookie: xrftoken=" + token + "\r\n";
    const QByteArray origin
            = "Origin: http://127.0.0.1:" + QByteArray::number(writable.port) + "\r\n";
    QCOMPARE(request(writable.port, "/average", origin, {}, average).status, 401);
    QCOMPARE(request(writable.port, "/average", cookie, {}, average).status, 403);
    QCOMPARE(request(writable.port, "/average", cookie + "Origin: http://evil.example\r\n", {},
                     average)
                     .status,
             403);
    QCOMPARE(lots(), before);

    const Reply stored = request(writable.port, "/average", cookie + origin, {}, average);
    QCOMPARE(stored.status, 303);
    const QRegularExpressionMatch location = QRegularExpression("Location: /test/(\\d+)")
                                                     .match(QString::fromLatin1(stored.headers));
    const int id = location.captured(1).toInt();
    QVERIFY2(id > 7, stored.headers.constData());
    XrfResultReader reader(db);
    XrfKorviResult result;
    QCOMPARE(reader.result(id, &result), XrfErrorInfo::NoError);
    QCOMPARE(result.analysis().tidName(), QString("Mean 1+7"));

    const Reply edited = request(writable.port, "/test/1/info", cookie + origin, {},
                                 "label=Lot&value=L-99%20%3C%2Ftd%3E");
    QCOMPARE(edited.status, 303);
    QVERIFY(TestSupport::querySqlite(db, "SELECT info FROM testinfo WHERE testId = 1")
                    .contains("L-99 </td>"));
}

QTEST_GUILESS_MAIN(TestServe)
#include "tst_serve.moc"

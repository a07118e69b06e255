// What the viewer (xrfresults serve) costs, side by side in one run on the
// same data folder: a result's JSON over HTTP from 8 concurrent loopback
// clients against syncGetFullResult and against 8 threads reading through
// their own XrfResultReader; the p50 and p99 latency of a result page and of
// a day list of 200 tests, idle and while a store writes beside it; and the
// server's peak RSS after 1,000 and after 10,000 requests.
//
//     servebench XRFRESULTS
//
// Prints figures and ratios; timing never fails it.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include <httplib.h>

#include "resultmanager.h"
#include "xrfresultreader.h"
#include "xrfservices.h"

namespace {

const int clients = 8;

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

bool run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(600000) && p.exitCode() == 0;
}

// Peak resident set of a process, in KiB.
long peakRssKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpressionMatch m
            = QRegularExpression(QStringLiteral("VmHWM:\\s+(\\d+)")).match(status.readAll());
    return m.hasMatch() ? m.captured(1).toLong() : -1;
}

// Requests per second of `total` GETs of paths(i) from 8 clients.
template<class Path>
double httpRate(int port, int total, Path path, std::atomic<int> *failed)
{
    QElapsedTimer clock;
    clock.start();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([=] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(true);
            client.set_tcp_nodelay(true);
            for (int i = c; i < total; i += clients) {
                const auto res = client.Get(path(i).c_str());
                if (!res || res->status != 200)
                    ++*failed;
            }
        });
    for (std::thread &t : threads)
        t.join();
    return total * 1000.0 / qMax<qint64>(1, clock.elapsed());
}

struct Latency
{
    double p50 = 0;
    double p99 = 0;
};

Latency latency(int port, const std::string &path, int runs)
{
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        const auto res = client.Get(path.c_str());
        ms.push_back(res && res->status == 200 ? clock.nsecsElapsed() / 1e6 : 1e9);
    }
    std::sort(ms.begin(), ms.end());
    return { ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)] };
}

QString latencyRow(const QString &what, const Latency &l)
{
    return QStringLiteral("%1 p50 %2 ms   p99 %3 ms\n")
            .arg(what, -44)
            .arg(l.p50, 6, 'f', 2)
            .arg(l.p99, 6, 'f', 2);
}

QString rateRow(const QString &what, double rate, double baseline)
{
    return QStringLiteral("%1 %2 results/s   %3\n")
            .arg(what, -44)
            .arg(rate, 8, 'f', 1)
            .arg(baseline > 0 ? QStringLiteral("%1x").arg(rate / baseline, 0, 'f', 2) : QString());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        QTextStream(stderr) << "usage: servebench XRFRESULTS\n";
        return 1;
    }
    const QString xrfresults = args.at(1);
    QTemporaryDir dir;
    const QString data = dir.filePath("data");
    // A day of 200 tests; the files stored beside the viewer later begin
    // with the same 200 (the generator is seeded), which are skipped.
    if (!run(xrfresults, { "generate", "200", dir.filePath("day") })
        || !run(xrfresults, { "--data", data, "store", dir.filePath("day") })
        || !run(xrfresults, { "generate", "1000", dir.filePath("beside") })) {
        QTextStream(stderr) << "servebench: cannot make the data folder\n";
        return 1;
    }
    XrfServices::loadConfiguration(XRF_SOURCE_DIR "/config");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const QString dbFile
            = data + "/db/" + QDir(data + "/db").entryList({ "*.sqlite" }, QDir::Files).value(0);
    QString day;
    {
        XrfResultReader reader(dbFile);
        QJsonArray latest;
        reader.latestTests(1, &latest);
        day = QDateTime::fromString(latest.at(0).toObject().value("dateTime").toString(),
                                    "yyyy-MM-dd hh:mm:ss.zzz")
                      .date()
                      .toString(Qt::ISODate);
    }
    const int ids = 200;
    const int requests = 4000;

    // In process: the facade (one worker), and 8 threads with a reader each.
    XrfResultManager *rm = XrfResultManager::instance();
    rm->init();
    rm->setReadOnly(true);
    rm->setPaths(data + "/profile/", data);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < requests; ++i) {
        XrfKorviResult r;
        rm->syncGetFullResult(1 + i % ids, &r);
        QJsonDocument(r.toJsonObject()).toJson(QJsonDocument::Compact);
    }
    const double facade = requests * 1000.0 / qMax<qint64>(1, clock.elapsed());
    rm->Deinit();
    clock.restart();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            XrfResultReader reader(dbFile);
            for (int i = c; i < requests; i += clients) {
                XrfKorviResult r;
                reader.result(1 + i % ids, &r);
                QJsonDocument(r.toJsonObject()).toJson(QJsonDocument::Compact);
            }
        });
    for (std::thread &t : threads)
        t.join();
    threads.clear();
    const double readers = requests * 1000.0 / qMax<qint64>(1, clock.elapsed());

    QProcess server;
    server.start(xrfresults, { "--data", data, "serve", "--port", "0" });
    int port = 0;
    QString printed;
    while (port == 0 && server.waitForReadyRead(20000)) {
        printed += QString::fromUtf8(server.readAllStandardOutput());
        const QRegularExpressionMatch m
                = QRegularExpression(QStringLiteral("127\\.0\\.0\\.1:(\\d+)/")).match(printed);
        if (m.hasMatch())
            port = m.captured(1).toInt();
    }
    if (port == 0) {
        QTextStream(stderr) << "servebench: the server did not start\n";
        return 1;
    }
    std::atomic<int> failed { 0 };
    auto resultPath = [](int i) { return "/api/test/" + std::to_string(1 + i % 200); };
    httpRate(port, 1000, resultPath, &failed);
    const long rss1000 = peakRssKiB(server.processId());
    const double http = httpRate(port, requests, resultPath, &failed);

    out() << "A result's JSON, " << requests << " requests over " << ids << " results:\n"
          << rateRow("syncGetFullResult (one worker)", facade, 0)
          << rateRow("8 threads, a reader each", readers, facade)
          << rateRow("HTTP, 8 loopback clients", http, facade)
          << QStringLiteral("HTTP against 8 readers: %1x\n").arg(http / readers, 0, 'f', 2);

    const std::string resultPage = "/test/100";
    const std::string dayPage = "/day/" + day.toStdString();
    out() << "\nLatency, idle:\n"
          << latencyRow("result page", latency(port, resultPage, 300))
          << latencyRow("day list of 200 tests", latency(port, dayPage, 100));
    // The same while a store writes 1,000 results into the folder.
    QProcess store;
    store.start(xrfresults, { "--data", data, "store", dir.filePath("beside") });
    store.waitForStarted();
    QElapsedTimer storeClock;
    storeClock.start();
    Latency page, list;
    std::vector<double> pageMs;
    int rounds = 0;
    do {
        const Latency p = latency(port, resultPage, 30);
        const Latency l = latency(port, dayPage, 10);
        page.p50 = std::max(page.p50, p.p50);
        page.p99 = std::max(page.p99, p.p99);
        list.p50 = std::max(list.p50, l.p50);
        list.p99 = std::max(list.p99, l.p99);
        ++rounds;
    } while (!store.waitForFinished(0));
    const double besideSeconds = storeClock.elapsed() / 1000.0;
    out() << "While store writes 800 results (worst of " << rounds << " rounds):\n"
          << latencyRow("result page", page) << latencyRow("day list of 200 tests", list);
    const QString alone = dir.filePath("alone");
    clock.restart();
    run(xrfresults, { "--data", alone, "store", dir.filePath("beside") });
    out() << QStringLiteral("store of 1,000 files: %1 s beside the viewer, %2 s alone\n")
                     .arg(besideSeconds, 0, 'f', 2)
                     .arg(clock.elapsed() / 1000.0, 0, 'f', 2);

    httpRate(port, std::max(0, 10000 - 1000 - requests - 400 - rounds * 40), resultPath, &failed);
    const long rss10000 = peakRssKiB(server.processId());
    out() << QStringLiteral("\nServer peak RSS: %1 MiB after 1,000 requests, %2 MiB after 10,000 "
                            "(%3x)\n")
                     .arg(rss1000 / 1024.0, 0, 'f', 1)
                     .arg(rss10000 / 1024.0, 0, 'f', 1)
                     .arg(double(rss10000) / qMax(1L, rss1000), 0, 'f', 2);
    if (failed > 0)
        out() << failed << " requests failed\n";
    server.terminate();
    server.waitForFinished(10000);
    return 0;
}

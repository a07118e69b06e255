// list, calendar, delete, average and edit-info: the analyser's browsing and
// editing requests (requests.h).

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QSet>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include "commands.h"
#include "requests.h"
#include "resultmanager.h"
#include "resultreport.h"
#include "xrffields.h"
#include "xrfhost.h"
#include "xrfresultreader.h"

namespace {

const int searchLimit = 1000;

// The ids of an answer's "xrfString", in its order.
QList<int> answeredIds(const QJsonObject &answer)
{
    QList<int> ids;
    const QStringList parts = answer.value(QStringLiteral("xrfString"))
                                      .toString()
                                      .split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &part : parts)
        ids << part.trimmed().toInt();
    return ids;
}

// Listed tests as aligned columns: test id, local date-time, name, note.
void printTests(const QJsonArray &tests)
{
    if (tests.isEmpty()) {
        out() << "No tests.\n";
        return;
    }
    int idWidth = 4;
    int nameWidth = 4;
    for (const QJsonValue &test : tests) {
        const QJsonObject o = test.toObject();
        idWidth = qMax(idWidth, QString::number(o.value(QStringLiteral("tid")).toInt()).size());
        nameWidth = qMax(nameWidth, o.value(QStringLiteral("tidName")).toString().size());
    }
    auto line = [&](const QString &id, const QString &when, const QString &name,
                    const QString &note) {
        QString text = id.rightJustified(idWidth) + QStringLiteral("  ") + when.leftJustified(19)
                + QStringLiteral("  ") + name.leftJustified(nameWidth) + QStringLiteral("  ")
                + note;
        while (text.endsWith(QLatin1Char(' ')))
            text.chop(1);
        out() << text << '\n';
    };
    line(QStringLiteral("Test"), QStringLiteral("Local date-time"), QStringLiteral("Name"),
         QStringLiteral("Note"));
    for (const QJsonValue &test : tests) {
        const QJsonObject o = test.toObject();
        line(QString::number(o.value(QStringLiteral("tid")).toInt()),
             localDateTime(o.value(QStringLiteral("dateTime")).toString()),
             o.value(QStringLiteral("tidName")).toString(),
             o.value(QStringLiteral("note")).toString());
    }
}

// Asks on a terminal; false when the person says anything but yes.
bool confirmed(const QString &question)
{
    out().flush();
    std::fprintf(stderr, "%s [y/N] ", qPrintable(question));
    std::fflush(stderr);
    const QString reply = QTextStream(stdin).readLine().trimmed().toLower();
    return reply == QLatin1String("y") || reply == QLatin1String("yes");
}

} // namespace

int runList(const CommandContext &context)
{
    const QMap<QString, QString> &options = context.options;
    if (!context.args.isEmpty())
        return fail(ExitUsage, QStringLiteral("list takes no arguments, only options"));
    const bool between
            = options.contains(QStringLiteral("from")) || options.contains(QStringLiteral("to"));
    const bool search = options.contains(QStringLiteral("search"));
    const int ways = int(options.contains(QStringLiteral("day")))
            + int(options.contains(QStringLiteral("latest"))) + int(between) + int(search);
    if (ways > 1)
        return fail(ExitUsage,
                    QStringLiteral("list takes one of --day, --latest, --from with --to and "
                                   "--search"));
    XrfResultManager *rm = XrfResultManager::instance();
    QJsonArray tests;

    if (search) {
        // The viewer's search, on a reader of this thread.
        const QString text = options.value(QStringLiteral("search")).trimmed();
        if (text.isEmpty())
            return fail(ExitUsage, QStringLiteral("--search needs a text"));
        XrfResultReader reader(context.host->databaseFile());
        const XrfErrorInfo::XrfError code = reader.search(text, searchLimit, &tests);
        if (code != XrfErrorInfo::NoError)
            return fail(ExitLibrary, QStringLiteral("the search") + codeText(code));
        if (tests.size() == searchLimit)
            QTextStream(stderr) << "xrfresults: the newest " << searchLimit
                                << " matching tests; narrow the search for older ones\n";
    } else if (options.contains(QStringLiteral("day"))) {
        QDate day;
        if (!parseDay(options.value(QStringLiteral("day")), &day))
            return fail(ExitUsage,
                        QStringLiteral("--day needs a date as YYYY-MM-DD, not '%1'")
                                .arg(options.value(QStringLiteral("day"))));
        const Answer answer = ask(XrfCommandIds::TestIdsOfDay,
                                  { { QStringLiteral("date"), day.toString(Qt::ISODate) } },
                                  [rm](XrfJsonMessage &m) { return rm->getTestIds(m); });
        if (const int code = libraryFailure(answer, QStringLiteral("the tests of a day")))
            return code;
        tests = answer.object.value(QStringLiteral("testIds")).toArray();
    } else if (between) {
        const QString from = options.value(QStringLiteral("from"));
        const QString to = options.value(QStringLiteral("to"));
        if (from.isEmpty() || to.isEmpty())
            return fail(ExitUsage, QStringLiteral("--from and --to go together"));
        const XrfErrorInfo::XrfError code = rm->getTestsBetweenDates(from, to, &tests);
        // The library is the judge of what a date-time is; a bound it cannot
        // read is the user's.
        if (code == XrfErrorInfo::InvalidArgument)
            return fail(ExitUsage,
                        QStringLiteral("--from '%1' or --to '%2' is no date-time "
                                       "(yyyy-MM-dd hh:mm:ss[.zzz] or ISO 8601)")
                                .arg(from, to));
        if (code != XrfErrorInfo::NoError)
            return fail(ExitLibrary,
                        QStringLiteral("the tests between two times") + codeText(code));
    } else {
        const QString text = options.value(QStringLiteral("latest"), QStringLiteral("20"));
        bool ok = false;
        const int number = text.toInt(&ok);
        if (!ok || number <= 0)
            return fail(ExitUsage,
                        QStringLiteral("--latest needs a positive number, not '%1'").arg(text));
        const Answer answer
                = ask(XrfCommandIds::LatestTestIds, { { QStringLiteral("number"), number } },
                      [rm](XrfJsonMessage &m) { return rm->getLatestTestIds(&m); });
        if (const int code = libraryFailure(answer, QStringLiteral("the latest tests")))
            return code;
        tests = answer.object.value(QStringLiteral("tidInfo")).toArray();
    }
    if (context.json)
        printJson(tests);
    else
        printTests(tests);
    return ExitOk;
}

int runCalendar(const CommandContext &context)
{
    if (!context.args.isEmpty())
        return fail(ExitUsage, QStringLiteral("calendar takes no arguments"));
    XrfResultManager *rm = XrfResultManager::instance();
    const Answer answer = ask(XrfCommandIds::Calendar, {},
                              [rm](XrfJsonMessage &m) { return rm->getCalendar(&m); });
    if (const int code = libraryFailure(answer, QStringLiteral("the calendar")))
        return code;
    if (context.json) {
        printJson(answer.object);
        return ExitOk;
    }
    // [{"2024": [{"5": ["7", "8"]}]}], by number whatever order it comes in.
    QMap<int, QMap<int, QList<int>>> days;
    for (const QJsonValue &year : answer.object.value(QStringLiteral("Calendar")).toArray()) {
        const QJsonObject yearObject = year.toObject();
        for (auto y = yearObject.begin(); y != yearObject.end(); ++y) {
            for (const QJsonValue &month : y.value().toArray()) {
                const QJsonObject monthObject = month.toObject();
                for (auto m = monthObject.begin(); m != monthObject.end(); ++m) {
                    QList<int> &list = days[y.key().toInt()][m.key().toInt()];
                    for (const QJsonValue &day : m.value().toArray())
                        list << day.toString().toInt();
                    std::sort(list.begin(), list.end());
                }
            }
        }
    }
    for (auto y = days.cbegin(); y != days.cend(); ++y) {
        QString yearText = QString::number(y.key());
        for (auto m = y->cbegin(); m != y->cend(); ++m) {
            QString line = yearText.leftJustified(6)
                    + QLocale::c().monthName(m.key(), QLocale::ShortFormat) + QLatin1Char(' ');
            for (int day : m.value())
                line += QStringLiteral(" %1").arg(day, 2);
            out() << line << '\n';
            yearText.clear();
        }
    }
    const int stored = answer.object.value(QStringLiteral("numOfRecsInDb")).toInt();
    out() << stored << (stored == 1 ? " result" : " results") << " stored\n";
    return ExitOk;
}

int runDelete(const CommandContext &context)
{
    const QMap<QString, QString> &options = context.options;
    if (!context.args.isEmpty())
        return fail(ExitUsage, QStringLiteral("delete takes no arguments, only options"));
    const bool byIds = options.contains(QStringLiteral("ids"));
    const bool byDay = options.contains(QStringLiteral("day"));
    const bool all = options.contains(QStringLiteral("all"));
    if (int(byIds) + int(byDay) + int(all) != 1)
        return fail(ExitUsage, QStringLiteral("delete needs one of --ids, --day and --all"));
    QList<int> ids;
    QDate day;
    if (byIds && !parseTestIds(options.value(QStringLiteral("ids")).split(QLatin1Char(',')), &ids))
        return fail(ExitUsage,
                    QStringLiteral("--ids needs test ids such as 1,2,3, not '%1'")
                            .arg(options.value(QStringLiteral("ids"))));
    if (byDay && !parseDay(options.value(QStringLiteral("day")), &day))
        return fail(ExitUsage,
                    QStringLiteral("--day needs a date as YYYY-MM-DD, not '%1'")
                            .arg(options.value(QStringLiteral("day"))));
    const bool asking = !options.contains(QStringLiteral("yes"));
    const bool terminal = ::isatty(STDIN_FILENO);
    if (asking && !terminal)
        return fail(ExitUsage, QStringLiteral("delete asks first on a terminal; give --yes"));

    // What is stored of the selection now: the count to confirm, and what
    // the answer's ids are checked against (it names absent ids too).
    XrfResultManager *rm = XrfResultManager::instance();
    QList<int> present;
    QList<int> absent;
    const QPair<QString, QString> range = byDay ? dayRange(day) : allTime();
    if (byIds) {
        // On a reader that says when it cannot look: testIdExists() would
        // answer "absent" for a lookup that failed.
        XrfResultReader reader(context.host->databaseFile());
        for (int id : qAsConst(ids)) {
            bool found = false;
            const XrfErrorInfo::XrfError code = reader.contains(id, &found);
            if (code != XrfErrorInfo::NoError)
                return fail(ExitLibrary, QStringLiteral("the tests to delete") + codeText(code));
            (found ? present : absent) << id;
        }
    } else {
        QJsonArray tests;
        const XrfErrorInfo::XrfError code
                = rm->getTestsBetweenDates(range.first, range.second, &tests);
        if (code != XrfErrorInfo::NoError)
            return fail(ExitLibrary, QStringLiteral("the tests to delete") + codeText(code));
        for (const QJsonValue &test : qAsConst(tests))
            present << test.toObject().value(QStringLiteral("tid")).toInt();
    }
    if (present.isEmpty()) {
        if (context.json)
            printJson(QJsonObject { { QStringLiteral("deleted"), QJsonArray() },
                                    { QStringLiteral("notStored"), idArray(absent) },
                                    { QStringLiteral("databaseRenewed"), false } });
        else
            out() << "Nothing to delete.\n";
        return ExitOk;
    }
    if (asking
        && !confirmed(QStringLiteral("Delete %1 result%2?")
                              .arg(present.size())
                              .arg(present.size() == 1 ? "" : "s")))
        return fail(ExitUsage, QStringLiteral("nothing deleted"));

    Answer answer;
    if (byIds) {
        answer = ask(XrfCommandIds::DeleteByTestIds,
                     { { QStringLiteral("xrfString"), joinIds(ids) } },
                     [rm](XrfJsonMessage &m) { return rm->deleteTestResults(m); });
    } else {
        const QJsonObject params { { QStringLiteral("dateList"),
                                     range.first + QLatin1Char(',') + range.second },
                                   { QStringLiteral("tidList"), QString() } };
        answer = ask(XrfCommandIds::DeleteByDate, params,
                     [rm](XrfJsonMessage &m) { return rm->deleteTestResultsByDate(m); });
    }
    if (const int code = libraryFailure(answer, QStringLiteral("deletion")))
        return code;
    // Answered as a deletion by date with no ids: every stored result was
    // chosen and the file made new.
    const bool erased = answer.commandId == XrfCommandIds::DeleteByDate;
    QList<int> deleted;
    if (erased) {
        deleted = present;
    } else {
        const QSet<int> wasStored(present.cbegin(), present.cend());
        for (int id : answeredIds(answer.object))
            if (wasStored.contains(id))
                deleted << id;
    }
    if (context.json) {
        printJson(QJsonObject { { QStringLiteral("deleted"), idArray(deleted) },
                                { QStringLiteral("notStored"), idArray(absent) },
                                { QStringLiteral("databaseRenewed"), erased } });
        return ExitOk;
    }
    out() << "Deleted " << deleted.size() << (deleted.size() == 1 ? " result: " : " results: ")
          << joinIds(deleted, QStringLiteral(", "));
    if (!absent.isEmpty())
        out() << " (not stored: " << joinIds(absent, QStringLiteral(", ")) << ')';
    out() << '\n';
    if (erased)
        out() << "That was every stored result; the database file was made new.\n";
    return ExitOk;
}

int runAverage(const CommandContext &context)
{
    QList<int> ids;
    if (!parseTestIds(context.args, &ids))
        return fail(ExitUsage,
                    QStringLiteral("average needs test ids, not '%1'").arg(context.args.join(' ')));
    if (ids.size() < 2)
        return fail(ExitUsage, QStringLiteral("average needs at least two different test ids"));
    const QString name = context.options.value(QStringLiteral("name"), QStringLiteral("Avg"));
    if (name.trimmed().isEmpty())
        return fail(ExitUsage, QStringLiteral("--name needs a name"));

    XrfResultManager *rm = XrfResultManager::instance();
    XrfKorviResult averaged;
    const Answer answer = ask(
            XrfCommandIds::AveragedResult,
            { { QStringLiteral("xrfString"), joinIds(ids) }, { QStringLiteral("tidName"), name } },
            [rm](XrfJsonMessage &m) { return rm->AddAveragedResult(m); }, &averaged);
    if (answer.code == XrfErrorInfo::ResultNotFound)
        return fail(ExitLibrary,
                    QStringLiteral("not every one of %1 is stored").arg(joinIds(ids, ", "))
                            + codeText(answer.code));
    if (const int code = libraryFailure(answer, QStringLiteral("averaging")))
        return code;
    if (!answer.resultReceived)
        return fail(ExitLibrary, QStringLiteral("averaging: the library sent no averaged result"));

    int testId = -1;
    if (context.options.contains(QStringLiteral("store"))) {
        XrfHost::Stored average;
        average.source = QStringLiteral("average of ") + joinIds(ids, ", ");
        average.result = averaged;
        QList<XrfHost::Stored> results { average };
        QString error;
        if (!context.host->store(results, QString(), false, &error))
            return fail(ExitLibrary, error);
        testId = results.first().testId;
    }
    if (context.json) {
        QJsonObject document = answer.object;
        if (testId > 0)
            document.insert(QStringLiteral("testId"), testId);
        printJson(document);
        return ExitOk;
    }
    out() << "Average of tests " << joinIds(ids, ", ") << ": " << averaged.analysis().tidName()
          << '\n'
          << ResultReport::chemistry(averaged);
    if (testId > 0)
        out() << "Stored as test " << testId << '\n';
    return ExitOk;
}

int runEditInfo(const CommandContext &context)
{
    if (context.args.size() != 3)
        return fail(ExitUsage, QStringLiteral("edit-info needs a test id, a label and a value"));
    int testId = 0;
    if (!parseTestId(context.args.at(0), &testId))
        return fail(ExitUsage,
                    QStringLiteral("edit-info needs a test id, not '%1'").arg(context.args.at(0)));
    const QString label = context.args.at(1);
    const QString value = context.args.at(2);
    if (label.trimmed().isEmpty())
        return fail(ExitUsage, QStringLiteral("edit-info needs a label"));
    XrfResultManager *rm = XrfResultManager::instance();
    const Answer answer = ask(XrfCommandIds::EditTestInfo,
                              { { QStringLiteral("testId"), QString::number(testId) },
                                { QStringLiteral("fieldName"), label },
                                { QStringLiteral("fieldValue"), value } },
                              [rm](XrfJsonMessage &m) { return rm->editTestInfo(&m); });
    if (answer.code == XrfErrorInfo::ResultNotFound)
        return fail(ExitLibrary,
                    QStringLiteral("no result with test id %1").arg(testId)
                            + codeText(answer.code));
    if (const int code = libraryFailure(answer, QStringLiteral("editing the test info")))
        return code;
    if (context.json)
        printJson(QJsonObject { { QStringLiteral("testId"), testId },
                                { QStringLiteral("label"), label },
                                { QStringLiteral("value"), value } });
    else
        out() << "Test " << testId << ": " << label << " = " << value << '\n';
    return ExitOk;
}

// Read as UTC digit by digit: a parse as local time would fail in a
// daylight-saving gap.
QString localDateTime(const QString &stored)
{
    const QDateTime utc = XrfFields::utcFromText(stored);
    return utc.isValid() ? utc.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                         : stored;
}

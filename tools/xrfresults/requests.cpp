#include "requests.h"

#include <QDateTime>
#include <QEventLoop>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTimer>

#include "commands.h"
#include "resultmanager.h"

namespace {
// Long enough for a deletion of many results on a slow card; an export
// reports progress, each report starts the wait anew.
const int answerTimeoutMs = 60000;
} // namespace

Answer ask(int commandId, const QJsonObject &params,
           const std::function<XrfErrorInfo::XrfError(XrfJsonMessage &)> &send,
           XrfKorviResult *averaged)
{
    static int lastRequestId = 0;
    XrfJsonMessage message(++lastRequestId, commandId, params);
    XrfResultManager *rm = XrfResultManager::instance();
    Answer answer;
    bool answered = false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        answer.timedOut = true;
        loop.quit();
    });
    QObject::connect(rm, &XrfResultManager::operationDone, &loop,
                     [&](int command, int requestId, const QJsonDocument &document,
                         XrfErrorInfo::XrfError code) {
                         if (requestId != message.id() || answered)
                             return;
                         answered = true;
                         answer.commandId = command;
                         answer.object = document.object();
                         answer.code = code;
                         loop.quit();
                     });
    QObject::connect(rm, &XrfResultManager::filterResultsProgress, &loop,
                     [&timer] { timer.start(answerTimeoutMs); });
    if (averaged)
        QObject::connect(rm, &XrfResultManager::aResultAvailable, &loop,
                         [&answer, averaged](const XrfKorviResult &result) {
                             *averaged = result;
                             answer.resultReceived = true;
                         });
    const XrfErrorInfo::XrfError refused = send(message);
    if (refused != XrfErrorInfo::NoError) {
        answer.code = refused;
        return answer;
    }
    timer.start(answerTimeoutMs);
    if (!answered)
        loop.exec();
    return answer;
}

int libraryFailure(const Answer &answer, const QString &what)
{
    if (answer.timedOut)
        return fail(ExitLibrary,
                    QStringLiteral("%1: no word from the library for %2 s")
                            .arg(what)
                            .arg(answerTimeoutMs / 1000));
    if (answer.code != XrfErrorInfo::NoError)
        return fail(ExitLibrary, what + codeText(answer.code));
    return ExitOk;
}

void printJson(const QJsonValue &value)
{
    const QJsonDocument document
            = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    out() << document.toJson(QJsonDocument::Indented);
}

bool parseDay(const QString &text, QDate *day)
{
    *day = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
    return text.size() == 10 && day->isValid();
}

bool parseTestId(const QString &text, int *id)
{
    bool ok = false;
    *id = text.trimmed().toInt(&ok);
    return ok && *id > 0;
}

bool parseTestIds(const QStringList &texts, QList<int> *ids)
{
    for (const QString &text : texts) {
        int id = 0;
        if (!parseTestId(text, &id))
            return false;
        if (!ids->contains(id))
            ids->append(id);
    }
    return !ids->isEmpty();
}

QJsonArray idArray(const QList<int> &ids)
{
    QJsonArray array;
    for (int id : ids)
        array << id;
    return array;
}

QString joinIds(const QList<int> &ids, const QString &separator)
{
    QStringList texts;
    for (int id : ids)
        texts << QString::number(id);
    return texts.join(separator);
}

QPair<QString, QString> dayRange(const QDate &day)
{
    const QString lastMs = QStringLiteral(" 23:59:59.999");
    return { day.addDays(-1).toString(Qt::ISODate) + lastMs, day.toString(Qt::ISODate) + lastMs };
}

QPair<QString, QString> allTime()
{
    return { QStringLiteral("0001-01-01 00:00:00.000"), QStringLiteral("9999-12-31 23:59:59.999") };
}

bool parseBound(const QString &text, QString *bound)
{
    static const QRegularExpression local(QStringLiteral(
            "^(\\d{4}-\\d{2}-\\d{2})(?:[ T](\\d{2}:\\d{2})(?::(\\d{2})(?:\\.(\\d{1,3}))?)?)?$"));
    const QRegularExpressionMatch m = local.match(text.trimmed());
    if (m.hasMatch()) {
        const QDate date = QDate::fromString(m.captured(1), QStringLiteral("yyyy-MM-dd"));
        const QString time = (m.captured(2).isEmpty() ? QStringLiteral("00:00") : m.captured(2))
                + QLatin1Char(':')
                + (m.captured(3).isEmpty() ? QStringLiteral("00") : m.captured(3))
                + QLatin1Char('.') + m.captured(4).leftJustified(3, QLatin1Char('0'));
        if (!date.isValid() || !QTime::fromString(time, QStringLiteral("hh:mm:ss.zzz")).isValid())
            return false;
        *bound = m.captured(1) + QLatin1Char(' ') + time;
        return true;
    }
    const QDateTime zoned = QDateTime::fromString(text.trimmed(), Qt::ISODateWithMs);
    if (!zoned.isValid() || zoned.timeSpec() == Qt::LocalTime)
        return false;
    *bound = zoned.toString(Qt::ISODateWithMs);
    return true;
}

bool parseUtcBound(const QString &text, QString *utc)
{
    QString bound;
    if (!parseBound(text, &bound))
        return false;
    QDateTime when = QDateTime::fromString(bound, Qt::ISODateWithMs);
    if (!when.isValid())
        when = QDateTime::fromString(bound, XrfAnalysisResult::dateTimeFormat);
    if (!when.isValid())
        return false;
    // Stored texts have four-digit years: west of UTC the end of 9999 local
    // lies past them.
    static const QDateTime last(QDate(9999, 12, 31), QTime(23, 59, 59, 999), Qt::UTC);
    *utc = qMin(when.toUTC(), last).toString(XrfAnalysisResult::dateTimeFormat);
    return true;
}

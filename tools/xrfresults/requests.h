#ifndef REQUESTS_H
#define REQUESTS_H

// Requests made of the facade as the analyser's application makes them, and
// the selection arguments the commands share. Most requests are answered
// later by operationDone; each command waits for its own answer.

#include <QDate>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

#include "xrferrorinfo.h"
#include "xrfjsonmessage.h"
#include "xrfkorviresult.h"

// The answer to one queued request.
struct Answer
{
    XrfErrorInfo::XrfError code = XrfErrorInfo::NoError;
    int commandId = 0;
    QJsonObject object;
    bool timedOut = false;
    // An averaging answer is followed by the averaged result itself.
    bool resultReceived = false;
};

// Makes one request and waits for the answer that carries its request id. A
// request refused at once gets no answer; its code is the answer. With
// averaged set, the result that follows an averaging answer is kept there.
// The library's progress reports keep the wait going.
Answer ask(int commandId, const QJsonObject &params,
           const std::function<XrfErrorInfo::XrfError(XrfJsonMessage &)> &send,
           XrfKorviResult *averaged = nullptr);

// Exit 2 for an answer that is no success; 0 for one that is.
int libraryFailure(const Answer &answer, const QString &what);

void printJson(const QJsonValue &value);

bool parseDay(const QString &text, QDate *day);
// A positive test id, as typed.
bool parseTestId(const QString &text, int *id);
// Positive ids, each once, at least one.
bool parseTestIds(const QStringList &texts, QList<int> *ids);
QJsonArray idArray(const QList<int> &ids);
QString joinIds(const QList<int> &ids, const QString &separator = QStringLiteral(","));

// The pair that selects a local day for the date-time requests: after the
// last millisecond of the day before, up to the last of this one.
QPair<QString, QString> dayRange(const QDate &day);
// A bound as a request's date-time range takes it: local wall-clock
// "yyyy-MM-dd hh:mm:ss.zzz", or ISO 8601 when the text names a zone. Seconds
// and milliseconds may be left out, the time too (midnight).
bool parseBound(const QString &text, QString *bound);
// The same bound as the stored text of its UTC time.
bool parseUtcBound(const QString &text, QString *utc);

// Every result, for --all: an instrument whose clock was reset stores
// results of 1970, so the lower bound lies well before. Local bounds; the
// library keeps them within the stored years in any zone.
QPair<QString, QString> allTime();

#endif // REQUESTS_H

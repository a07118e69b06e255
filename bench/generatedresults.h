#ifndef GENERATEDRESULTS_H
#define GENERATEDRESULTS_H

// The benchmarks' input: results of realistic variety made by
// `xrfresults generate` into a folder, and read back as the model holds them.

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QList>
#include <QProcess>

#include "xrfkorviresult.h"

// Generates COUNT result files into `folder` with the program and returns
// them read; empty when the program fails.
inline QList<XrfKorviResult> generatedResults(const QString &xrfresults, int count,
                                              const QString &folder)
{
    QList<XrfKorviResult> results;
    if (QProcess::execute(xrfresults, { "generate", QString::number(count), folder }) != 0)
        return results;
    for (const QString &name : QDir(folder).entryList({ "*.json" }, QDir::Files, QDir::Name)) {
        QFile f(folder + '/' + name);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        XrfKorviResult r;
        r.fromJsonObject(QJsonDocument::fromJson(f.readAll()).object());
        results << r;
    }
    return results;
}

#endif // GENERATEDRESULTS_H

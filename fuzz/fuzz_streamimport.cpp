// Bytes as a JSON object stream imported into a fresh database of the
// schema. What must hold for any input: the import reads to the end, the
// results it counts as stored are rows, and a second import of the same
// bytes stores nothing (a result is never stored twice).
#include "resultqueries.h"
#include "resultschema.h"
#include "streamimport.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

int storedResults(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT count(*) FROM ") + XrfTables::analysisResult)
        || !query.next())
        abort();
    return query.value(0).toInt();
}

StreamImport::Summary import(const QSqlDatabase &db, const QByteArray &bytes,
                             const QTemporaryDir &dir)
{
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    StreamImport::Context context;
    context.imageFolder = dir.filePath(QStringLiteral("images/"));
    context.aborted = [] { return false; };
    context.progress = [](int, int) {};
    context.storedTestId = [&db](const QString &when, const QString &name, int *id) {
        return ResultQueries(db).storedTestId(when, name, id) == XrfErrorInfo::NoError;
    };
    StreamImport::Summary summary;
    const XrfErrorInfo::XrfError rc
            = StreamImport(db, context)
                      .run(&buffer, dir.filePath(QStringLiteral("in.json")), 0, &summary);
    // Nothing aborts it and the database is in memory: it reads to the end.
    if (rc != XrfErrorInfo::FileAccessFailed || !summary.wholeFileRead)
        abort();
    return summary;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_streamimport";
    static char *argv[] = { name, nullptr };
    static QCoreApplication app(argc, argv);
    static QTemporaryDir dir;
    QDir(dir.path()).mkpath(QStringLiteral("images"));

    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    {
        QSqlDatabase db
                = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fuzz"));
        db.setDatabaseName(QStringLiteral(":memory:"));
        if (!db.open())
            abort();
        const QStringList statements
                = (ResultSchema::creationScript() + QLatin1Char(';') + ResultSchema::indexScript())
                          .split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (const QString &statement : statements)
            if (!statement.trimmed().isEmpty() && !QSqlQuery(db).exec(statement))
                abort();

        const StreamImport::Summary first = import(db, bytes, dir);
        if (storedResults(db) != first.stored)
            abort();
        const StreamImport::Summary second = import(db, bytes, dir);
        // An object may share its date-time and name with one stored
        // before it (then it is skipped both times) or after it (then it
        // failed the first time and is skipped the second).
        if (second.stored != 0 || second.skipped < first.stored
            || storedResults(db) != first.stored)
            abort();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fuzz"));
    return 0;
}

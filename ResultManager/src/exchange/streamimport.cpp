#include "streamimport.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

#include "exchangefiles.h"
#include "insdelqueries.h"
#include "picturesweep.h"
#include "resultschema.h"
#include "resultstreamreader.h"
#include "sqltext.h"
#include "xrfkorviresult.h"
#include "xrfutils.h"

StreamImport::StreamImport(const QSqlDatabase &db, Context context)
    : m_db(db), m_context(std::move(context))
{
}

bool StreamImport::savepoint(const char *statement)
{
    QSqlQuery q(m_db);
    if (q.exec(QLatin1String(statement)))
        return true;
    qWarning() << statement << "failed:" << q.lastError().text();
    return false;
}

XrfErrorInfo::XrfError StreamImport::importFile(QIODevice *device, const QString &inputFile,
                                                int numberOfResults, Summary *summary)
{
    // The one commit at the end must survive a power cut, as a stored
    // result's does.
    if (!SqlText::setSynchronous(m_db, SqlText::durableLevel(m_db)))
        return XrfErrorInfo::DbQueryFailed;
    const XrfErrorInfo::XrfError rc = run(device, inputFile, numberOfResults, summary);
    // Kept while anything in it was not stored: a second run stores the
    // rest and skips what is there.
    if (summary->wholeFileRead && summary->failed == 0 && rc == XrfErrorInfo::FileAccessFailed) {
        if (!QFile::remove(inputFile))
            qWarning() << "Cannot remove the imported file" << inputFile;
    } else {
        qInfo() << "The file" << inputFile << "is kept: not all of it was stored";
    }
    qDebug() << "import results completed";
    return rc;
}

XrfErrorInfo::XrfError StreamImport::run(QIODevice *device, const QString &inputFile,
                                         int numberOfResults, Summary *summary)
{
    if (!SqlText::beginWrite(m_db)) {
        qWarning() << "Cannot begin the import:" << m_db.lastError().text();
        return XrfErrorInfo::DbQueryFailed;
    }
    const double share = numberOfResults * 0.1;
    int step = int(share);
    int done = 0;
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    ResultStreamReader reader(device);
    for (;;) {
        QJsonObject object;
        QString problem;
        const ResultStreamReader::Outcome read = reader.next(&object, &problem);
        if (read == ResultStreamReader::End || read == ResultStreamReader::Truncated) {
            if (read == ResultStreamReader::Truncated) {
                qWarning() << "The stream" << inputFile
                           << "ends inside an object; it is not stored";
                ++summary->failed;
            }
            summary->wholeFileRead = true;
            rc = XrfErrorInfo::FileAccessFailed;
            break;
        }
        Outcome outcome = Failed;
        if (read == ResultStreamReader::Unreadable)
            qWarning() << "An object of" << inputFile << "before byte" << reader.position()
                       << "is not JSON (" << problem << "); it is not stored";
        else
            outcome = importOne(object, inputFile);
        switch (outcome) {
        case Stored:
            ++summary->stored;
            break;
        case Skipped:
            ++summary->skipped;
            break;
        case Failed:
            ++summary->failed;
            break;
        }
        ++done;
        if (m_context.aborted && m_context.aborted()) {
            qInfo() << "The import of" << inputFile << "is aborted after" << done << "objects";
            rc = XrfErrorInfo::OperationAborted;
            break;
        }
        if (done >= step) {
            if (m_context.progress)
                m_context.progress(done, numberOfResults);
            step = int(step + share);
        }
    }

    // What was renamed or copied into the store must be durable before the
    // rows that name it are.
    bool synced = true;
    for (const QString &folder : qAsConst(m_foldersToSync))
        synced = XrfUtils::syncFolder(folder) && synced;
    XrfUtils::crashPoint("import-before-commit");
    if (!synced || XrfUtils::faultPointArmed("import-commit-fail") || !m_db.commit()) {
        qWarning() << "The import of" << inputFile
                   << "cannot be committed:" << m_db.lastError().text()
                   << "- nothing of it is stored";
        m_db.rollback();
        // The pictures brought in for it are named by no row now.
        PictureSweep(m_context.imageFolder).settle(m_db);
        summary->failed += summary->stored;
        summary->stored = 0;
        summary->picturesMissing = m_missingPictures;
        return XrfErrorInfo::DbQueryFailed;
    }
    PictureSweep(m_context.imageFolder).clear();
    summary->picturesMissing = m_missingPictures;
    summary->picturesAdded = m_picturesAdded;
    if (m_missingPictures > 0)
        qWarning() << m_missingPictures << "pictures named in" << inputFile
                   << "were not beside it; their results are stored without them";
    return rc;
}

int StreamImport::receiverId(int senderId, const QString &testDateTime, const QString &tidName)
{
    int id = -1;
    if (!testDateTime.isEmpty() && m_context.storedTestId(testDateTime, tidName, &id) && id > 0)
        return id;
    // Only what this stream stored or found, and only under the same name.
    id = m_receiverIds.value(senderId, -1);
    if (id <= 0)
        return 0;
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT tidName FROM ") + XrfTables::analysisResult
              + QStringLiteral(" WHERE testId = ?"));
    q.addBindValue(id);
    if (!q.exec() || !q.next() || (!tidName.isEmpty() && q.value(0).toString() != tidName))
        return 0;
    return id;
}

bool StreamImport::isNamedByStoredResult(const QString &imageName)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT 1 FROM ") + XrfTables::imageResult
              + QStringLiteral(" WHERE fileName = ? LIMIT 1"));
    q.addBindValue(imageName);
    // A failed lookup counts as owned: never risk another result's picture.
    return !q.exec() || q.next();
}

void StreamImport::mapReferences(XrfKorviResult &result)
{
    const QString self = result.analysis().tidName();
    QList<XrfAverageInfo> sources;
    for (XrfAverageInfo source : result.avgOfTestsInfo()) {
        // The sender wrote the source's time on its own local clock.
        QDateTime when
                = QDateTime::fromString(source.testDateTime(), XrfAnalysisResult::dateTimeFormat);
        const QString stored = when.isValid()
                ? when.toUTC().toString(XrfAnalysisResult::dateTimeFormat)
                : QString();
        const int id = receiverId(source.testId(), stored, source.tidName());
        if (id <= 0) {
            qWarning() << "Averaged result" << self << ": its source" << source.tidName()
                       << source.testDateTime() << "is not stored here; the link is dropped";
            continue;
        }
        source.setTestId(id);
        sources << source;
    }
    result.avgOfTestsInfo() = sources;

    XrfRegressionInfo &history = result.regressionInfo();
    if (history.historicalTestId() > 0) {
        const int id = receiverId(history.historicalTestId(), history.historicalDateTime(),
                                  history.historicalTidName());
        if (id <= 0)
            qWarning() << "Regression" << self << ": its historical test"
                       << history.historicalTidName() << history.historicalDateTime()
                       << "is not stored here; it is written as none";
        history.setHistoricalTestId(qMax(0, id));
    }
}

StreamImport::Outcome StreamImport::importOne(const QJsonObject &object, const QString &inputFile)
{
    XrfKorviResult result;
    QStringList problems = result.readResultJson(object);
    XrfAnalysisResult &analysis = result.analysis();
    const QString dateTimePointer = QStringLiteral("/analysis/testDateTime");
    if (problems.contains(dateTimePointer)) {
        // An averaged result that older software sent without a date-time
        // takes the latest of its sources plus a millisecond: the same file
        // always gives the same, so a second import finds the first.
        QDateTime latest;
        for (const XrfAverageInfo &source : result.avgOfTestsInfo()) {
            // The sender wrote the source's time on its own local clock.
            const QDateTime when = QDateTime::fromString(source.testDateTime(),
                                                         XrfAnalysisResult::dateTimeFormat);
            if (when.isValid() && (!latest.isValid() || when > latest))
                latest = when;
        }
        if (latest.isValid()) {
            analysis.setTestDateTime(latest.toUTC().addMSecs(1));
            problems.removeAll(dateTimePointer);
        } else if (problems.size() == 1) {
            qWarning() << "Result" << analysis.tidName() << "of" << inputFile
                       << "has no date-time; it is not stored";
            return Failed;
        }
    }
    const QString name = analysis.tidName();
    const QString when = analysis.dateTimeString();
    if (!problems.isEmpty()) {
        qWarning() << "Result" << name << when << "of" << inputFile
                   << "cannot be read whole; not stored. Members:" << problems.join(", ");
        return Failed;
    }
    const QString unstorable = ResultBinding::whyNotStorable(result);
    if (!unstorable.isEmpty()) {
        qWarning() << "Result" << name << when << "cannot be stored:" << unstorable;
        return Failed;
    }
    const int senderId = analysis.testId();
    int existing = -1;
    if (!m_context.storedTestId(when, name, &existing)) {
        // Not knowing whether it is stored is no licence to store it again.
        return Failed;
    }
    if (existing > 0) {
        qDebug() << "Result" << name << when << "is already stored as test id" << existing;
        m_receiverIds.insert(senderId, existing);
        completePictures(result, existing, inputFile);
        return Skipped;
    }
    mapReferences(result);

    QStringList broughtIn;
    QList<int> numbers;
    if (!bringPicturesIn(result, inputFile, QSet<int>(), &numbers, &broughtIn)) {
        for (const QString &file : qAsConst(broughtIn))
            QFile::remove(file);
        return Failed;
    }

    if (!savepoint("SAVEPOINT streamresult"))
        return Failed;
    ResultWriter writer(m_db, m_context.imageFolder, QString());
    writer.setImageNumbers(numbers);
    int testId = -1;
    if (writer.insert(result, &testId, false) != XrfErrorInfo::NoError) {
        qWarning() << "Result" << name << when << "cannot be stored; it is rolled back";
        savepoint("ROLLBACK TO streamresult");
        savepoint("RELEASE streamresult");
        writer.restoreMovedImages();
        for (const QString &file : qAsConst(broughtIn))
            QFile::remove(file);
        return Failed;
    }
    savepoint("RELEASE streamresult");
    m_foldersToSync.unite(writer.movedImageFolders());
    for (const QString &file : qAsConst(broughtIn)) {
        const QString folder = QFileInfo(file).absolutePath();
        m_foldersToSync << folder << QFileInfo(folder).absolutePath();
    }
    writer.keepMovedImages();
    if (senderId > 0)
        m_receiverIds.insert(senderId, testId);
    return Stored;
}

bool StreamImport::bringPicturesIn(XrfKorviResult &result, const QString &inputFile,
                                   const QSet<int> &places, QList<int> *numbers,
                                   QStringList *broughtIn)
{
    const XrfAnalysisResult &analysis = result.analysis();
    const QString carrier = m_context.carrierFile.isEmpty() ? inputFile : m_context.carrierFile;
    const QString day = analysis.testDateTime().toUTC().toString(QStringLiteral("yyyy-MM-dd"));
    QList<XrfImageInfo> images;
    int number = 0;
    for (XrfImageInfo image : result.images()) {
        ++number;
        if (!places.isEmpty() && !places.contains(number))
            continue;
        const QString clean = ExchangeFiles::importableImageName(image.name());
        if (clean.isEmpty()) {
            qWarning() << "Result" << analysis.tidName() << ": image name" << image.name()
                       << "is not a name inside the image store; the image is dropped";
            continue;
        }
        const QString carried = ExchangeFiles::carriedImage(clean, carrier);
        if (carried.isEmpty()) {
            qWarning() << "Result" << analysis.tidName() << analysis.dateTimeString()
                       << ": its picture" << clean << "is not beside" << carrier;
            ++m_missingPictures;
            continue;
        }
        // A bare name lies in the result's day folder, where the writer looks.
        QString storedName
                = clean.contains(QLatin1Char('/')) ? clean : day + QLatin1Char('/') + clean;
        QString target = SqlText::storedImagePath(m_context.imageFolder, storedName);
        const bool taken = QFileInfo::exists(target) || QFileInfo(target).isSymLink();
        // The same bytes, named by no row: this picture, brought in by an
        // import that was cut off. Anything else there is another's.
        if (taken
            && (!ExchangeFiles::sameContent(carried, target)
                || isNamedByStoredResult(storedName))) {
            storedName = ExchangeFiles::freeImageName(
                    m_context.imageFolder, storedName,
                    [this](const QString &n) { return isNamedByStoredResult(n); });
            target = SqlText::storedImagePath(m_context.imageFolder, storedName);
        }
        if (!QFileInfo::exists(target)) {
            // Listed before it comes: a kill before the commit leaves it
            // named by no row, and the next open removes it.
            if (!PictureSweep(m_context.imageFolder).list({ storedName })
                || !QDir().mkpath(QFileInfo(target).absolutePath())
                || !ExchangeFiles::copyIntoStore(carried, target)) {
                qWarning() << "Result" << analysis.tidName() << ": its picture" << clean
                           << "cannot be copied into the image store";
                return false;
            }
            *broughtIn << target;
        }
        image.setName(storedName);
        images << image;
        *numbers << number;
    }
    result.images() = images;
    return true;
}

void StreamImport::completePictures(XrfKorviResult &result, int storedId, const QString &inputFile)
{
    if (result.images().isEmpty())
        return;
    // What the stored twin holds, by the names its pictures were given.
    QSet<QString> held;
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT fileName FROM ") + XrfTables::imageResult
              + QStringLiteral(" WHERE testId = ?"));
    q.addBindValue(storedId);
    if (!q.exec())
        return;
    while (q.next())
        held.insert(ExchangeFiles::baseImageName(q.value(0).toString()));
    const XrfAnalysisResult &analysis = result.analysis();
    const QString day = analysis.testDateTime().toUTC().toString(QStringLiteral("yyyy-MM-dd"));
    QSet<int> lacking;
    int number = 0;
    for (const XrfImageInfo &image : result.images()) {
        ++number;
        const QString clean = ExchangeFiles::importableImageName(image.name());
        const QString sent
                = clean.contains(QLatin1Char('/')) ? clean : day + QLatin1Char('/') + clean;
        if (!held.contains(
                    SqlText::storedImageName(analysis.tidName(), analysis.testDateTime(), number))
            && !held.contains(sent))
            lacking.insert(number);
    }
    if (lacking.isEmpty())
        return;
    const int missingBefore = m_missingPictures;
    QStringList broughtIn;
    QList<int> numbers;
    if (!savepoint("SAVEPOINT streampictures"))
        return;
    ResultWriter writer(m_db, m_context.imageFolder, QString());
    bool ok = bringPicturesIn(result, inputFile, lacking, &numbers, &broughtIn);
    // Still missing now: counted with the rest; not stored twice.
    if (ok && !numbers.isEmpty()) {
        writer.setImageNumbers(numbers);
        ok = writer.insertImages(storedId, result) == XrfErrorInfo::NoError;
    }
    if (!ok) {
        savepoint("ROLLBACK TO streampictures");
        savepoint("RELEASE streampictures");
        writer.restoreMovedImages();
        for (const QString &file : qAsConst(broughtIn))
            QFile::remove(file);
        qWarning() << "The pictures of stored result" << storedId << "cannot be completed";
        return;
    }
    savepoint("RELEASE streampictures");
    m_foldersToSync.unite(writer.movedImageFolders());
    for (const QString &file : qAsConst(broughtIn)) {
        const QString folder = QFileInfo(file).absolutePath();
        m_foldersToSync << folder << QFileInfo(folder).absolutePath();
    }
    writer.keepMovedImages();
    m_picturesAdded += numbers.size();
    qInfo() << "Stored result" << storedId << "gets" << numbers.size() << "of its pictures"
            << "(" << m_missingPictures - missingBefore << "still missing )";
}

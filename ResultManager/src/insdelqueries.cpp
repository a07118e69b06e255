// Insertion of a result's rows, its names rows and its images.
//
// Every row of a result is written by one ResultWriter inside the caller's
// transaction, in a fixed order; the first failing step ends the insertion,
// and the caller rolls back (and moves the images back with
// restoreMovedImages()), so a result is stored whole or not at all.
//
// Every statement is prepared once per connection (the cache the caller
// hands in) and its values bound, never spliced; a failing one is logged with
// the driver's text.

#include "insdelqueries.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>

#include "exchangefiles.h"
#include "sqltext.h"
#include "xrfkorviresult.h"
#include "xrfutils.h"

using namespace ResultBinding;

// --- One whole result ----------------------------------------------------------

ResultWriter::ResultWriter(const QSqlDatabase &db, const QString &imageFolder, const QString &user,
                           SqlText::StatementCache *statements)
    : m_db(db), m_ownStatements(db), m_statements(statements ? statements : &m_ownStatements),
      m_imageFolder(imageFolder), m_user(user)
{
}

XrfErrorInfo::XrfError ResultWriter::insertRow(const QString &table, const QStringList &columns,
                                               const QStringList &values)
{
    QStringList marks;
    for (int i = 0; i < columns.size(); ++i)
        marks << QStringLiteral("?");
    QSqlQuery *prepared
            = m_statements->prepared(QStringLiteral("INSERT into ") + table + QStringLiteral(" (")
                                     + columns.join(QLatin1Char(',')) + QStringLiteral(") VALUES(")
                                     + marks.join(QLatin1Char(',')) + QStringLiteral(")"));
    if (!prepared)
        return XrfErrorInfo::DbQueryFailed;
    QSqlQuery &q = *prepared;
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i).isNull() ? QStringLiteral("") : values.at(i));
    const bool ok = q.exec();
    if (!ok) {
        qDebug() << "Failed Query is " << q.lastQuery() << "with" << values;
        qDebug() << "SQL error is " << q.lastError().text();
    }
    q.finish();
    return ok ? XrfErrorInfo::NoError : XrfErrorInfo::DbQueryFailed;
}

XrfErrorInfo::XrfError ResultWriter::insertRow(const RowTable &row, const QStringList &values)
{
    return insertRow(row.table, row.keyColumns + row.columns, values);
}

XrfErrorInfo::XrfError ResultWriter::insert(XrfKorviResult &result, int *testId, bool newTestId)
{
    QElapsedTimer clock;
    clock.start();
    qDebug() << "**** Starting the insertion of an XrfKorviResult to the database.";
    m_lastTestId = 0;
    if (QSqlQuery *latest
        = m_statements->prepared(QStringLiteral("SELECT testId FROM ") + XrfTables::analysisResult
                                 + QStringLiteral(" ORDER BY testId DESC LIMIT 1"))) {
        if (latest->exec() && latest->next())
            m_lastTestId = latest->value(0).toInt();
        latest->finish();
    }

    XrfAnalysisResult &analysis = result.analysis();
    const QString type = analysis.testType();
    XrfErrorInfo::XrfError rc = newTestId ? insertAnalysis(analysis, testId)
                                          : insertImportedAnalysis(analysis, testId);
    XrfUtils::crashPoint("after-analysis-row");
    const int id = *testId;
    QSqlDatabase db = m_db;
    auto step = [&rc](bool condition, const std::function<XrfErrorInfo::XrfError()> &insert) {
        if (rc == XrfErrorInfo::NoError && condition)
            rc = insert();
    };

    step(type != QLatin1String("CALCHECK") && analysis.methodFamilyName() != 8
                 && !result.chemistry().isEmpty(),
         [&] { return insertRows(*m_statements, chemistryTable(), result.chemistry(), id); });
    step(true, [&] {
        return insertRows(*m_statements, pseudoElementTable(), result.pseudoElement(), id);
    });
    step(true, [&] { return insertNamesResult(result, id); });
    step(true, [&] { return insertRows(*m_statements, coatingTable(), result.coating(), id); });
    step(true,
         [&] { return insertRows(*m_statements, userFactorTable(), result.userFactor(), id); });
    step(true, [&] { return insertRows(*m_statements, compoundTable(), result.compound(), id); });
    step(true, [&] { return insertRohsResult(analysis, id); });
    step(true,
         [&] { return insertRows(*m_statements, actionLevelTable(), result.actionLevel(), id); });
    for (const XrfSpectrum &spectrum : result.spectra())
        step(true, [&] { return insertSpectrum(spectrum, id); });
    step(type == QLatin1String("REGRESSION") && result.regressionInfo().historicalTestId() > 0,
         [&] {
             int tid = id;
             return insertRegressionInfo(&tid, result.regressionInfo().historicalTestId());
         });
    step(type == QLatin1String("CALCHECK") && result.hasCalCheck(),
         [&] { return insertCalCheck(result.calCheck(), id); });
    step(!result.testInfo().isEmpty(),
         [&] { return insertRows(*m_statements, testInfoTable(), result.testInfo(), id); });
    if (rc == XrfErrorInfo::NoError && !result.images().isEmpty())
        rc = insertImages(id, result);
    step(type == QLatin1String("REPEAT"), [&] {
        return insertRepeatInfo(id, analysis.repeatTestIndex(), analysis.repeatTestTotal());
    });
    step(!result.gradeMatch().isEmpty(), [&] { return insertGradeMatch(id, result.gradeMatch()); });
    step(!result.gradeMatch().isEmpty(),
         [&] { return insertGradeMatchSpec(id, result.gradeMatch()); });
    step(analysis.auPlatingEnum() != -1,
         [&] { return insertPlating(analysis.auPlatingEnum(), id); });
    for (const XrfAverageInfo &source : result.avgOfTestsInfo())
        step(true, [&] { return insertAverageInfo(id, source.testId()); });

    qInfo() << "**** Completed inserting a result to the database in " << clock.elapsed()
            << " msec. Primary key for record is " << *testId;
    return rc;
}

XrfErrorInfo::XrfError ResultWriter::insertAnalysisRow(XrfAnalysisResult &analysis, int *testId,
                                                       bool withUser)
{
    *testId = -1;
    QStringList values { analysis.dateTimeString(),
                         QString::number(analysis.statusId()),
                         QString::number(analysis.final() ? 1 : 0),
                         analysis.testType(),
                         analysis.methodId(),
                         QString::number(int(analysis.methodFamilyName())),
                         analysis.methodDispName(),
                         QString::number(analysis.collimatedStatusInt()),
                         QString::number(analysis.dailyId()) };
    if (withUser)
        values << m_user;
    values << analysis.tidName() << analysis.testErrorInfo();
    QStringList columns = analysisRow().columns;
    if (!withUser)
        columns.removeOne(QStringLiteral("userId"));
    const XrfErrorInfo::XrfError rc = insertRow(XrfTables::analysisResult, columns, values);
    if (rc != XrfErrorInfo::NoError)
        return XrfErrorInfo::DbQueryFailed;
    *testId = m_lastTestId + 1;
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultWriter::insertAnalysis(XrfAnalysisResult &analysis, int *testId)
{
    if (insertAnalysisRow(analysis, testId, true) != XrfErrorInfo::NoError) {
        qInfo() << "Error inserting analysis result.";
        return XrfErrorInfo::DbQueryFailed;
    }
    analysis.setTestId(*testId);

    if (!qIsNaN(analysis.latitude()) && !qIsNaN(analysis.longitude()))
        return insertLocation(analysis.latitude(), analysis.longitude(), analysis.elevation(),
                              *testId);
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultWriter::insertImportedAnalysis(XrfAnalysisResult &analysis,
                                                            int *testId)
{
    const XrfErrorInfo::XrfError rc = insertAnalysisRow(analysis, testId, false);
    if (rc != XrfErrorInfo::NoError)
        return rc;
    if (!qIsNaN(analysis.latitude()) && !qIsNaN(analysis.longitude()))
        return insertLocation(analysis.latitude(), analysis.longitude(), analysis.elevation(),
                              *testId);
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultWriter::insertRohsResult(XrfAnalysisResult &analysis, int testId)
{
    if (analysis.rohsClassificationEnum() == -1)
        return XrfErrorInfo::NoError;
    return insertRow(rohsRow(),
                     { QString::number(testId), QString::number(analysis.rohsClassificationEnum()),
                       QString::number(analysis.rohsActionLevelEnum()),
                       analysis.rohsActionLevelName() });
}

XrfErrorInfo::XrfError ResultWriter::insertSpectrum(const XrfSpectrum &spectrum, int testId)
{
    int filterId = 0;
    findOrInsertFilterProps(spectrum.filter(), &filterId);
    const QStringList values {
        QString::number(testId),
        QString::number(spectrum.exposureNumber()),
        QString::number(spectrum.totalExposureNumber()),
        SqlText::sixDigits(spectrum.energySlope()),
        SqlText::sixDigits(spectrum.energyOffset()),
        SqlText::sixDigits(spectrum.liveTime()),
        SqlText::sixDigits(spectrum.liveTimeFromHardware()),
        SqlText::sixDigits(spectrum.resetTime()),
        QString::number(spectrum.fastCounts()),
        QString::number(spectrum.probeSerialNumber()),
        SqlText::sixDigits(spectrum.firstRate()),
        SqlText::sixDigits(spectrum.lastRate()),
        SqlText::sixDigits(spectrum.realTime()),
        QString::number(spectrum.vacuumPressure()),
        QString::number(spectrum.ambientPressureMillibars()),
        SqlText::sixDigits(spectrum.probeTemperature()),
        SqlText::sixDigits(spectrum.tubeCurrentSet()),
        SqlText::sixDigits(spectrum.tubeCurrentMonitor()),
        SqlText::sixDigits(spectrum.tubeVoltageSet()),
        SqlText::sixDigits(spectrum.tubeVoltageMonitor()),
        QString::number(spectrum.ltMultiplier()),
        QString::number(spectrum.colMultiplier()),
        QString::number(filterId),
        QString::number(spectrum.pileups()),
        QString::number(spectrum.clipBottom()),
        QString::number(spectrum.clipTop()),
        QString::number(spectrum.topResets()),
        QString::number(spectrum.stepIndex()),
        QString::number(spectrum.stepTotal()),
        QStringLiteral("0x") + QString::fromLatin1(spectrum.binaryData().toHex()),
    };
    return insertRow(spectrumRow(), values);
}

XrfErrorInfo::XrfError ResultWriter::findOrInsertFilterProps(const XrfFilterProperties &filter,
                                                             int *id)
{
    const RowTable &row = filterRow();
    const QStringList values { QString::number(filter.materialAtomicNumber()),
                               QString::number(filter.thicknessInMicrons()),
                               QString::number(filter.diameterInMicrons()),
                               QString::number(filter.hasCollimator() ? 1 : 0) };
    QStringList matches;
    for (const QString &column : row.columns)
        matches << column + QStringLiteral(" = ?");
    QSqlQuery *select = m_statements->prepared(QStringLiteral("SELECT id FROM ") + row.table
                                               + QStringLiteral(" WHERE ")
                                               + matches.join(QStringLiteral(" AND ")));
    if (!select)
        return XrfErrorInfo::DbQueryFailed;
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Bound as text, as the values are written: the columns' affinity
        // turns both into the same numbers.
        for (const QString &value : values)
            select->addBindValue(value);
        const bool found = select->exec() && select->next();
        if (found)
            *id = select->value(0).toInt();
        select->finish();
        if (found)
            return XrfErrorInfo::NoError;
        if (attempt == 0)
            insertRow(row, values);
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultWriter::insertRegressionInfo(int *testId, int historicalTestId)
{
    return insertRow(regressionRow(),
                     { QString::number(*testId), QString::number(historicalTestId) });
}

XrfErrorInfo::XrfError ResultWriter::insertCalCheck(XrfCalCheckResult *calCheck, int testId)
{
    const QStringList values { QString::number(testId),
                               SqlText::sixDigits(calCheck->rate()),
                               SqlText::sixDigits(calCheck->resolution()),
                               SqlText::sixDigits(calCheck->peak1()),
                               SqlText::sixDigits(calCheck->peak2()),
                               SqlText::sixDigits(calCheck->offset()),
                               SqlText::sixDigits(calCheck->slope()),
                               QString::number(calCheck->errorCode()),
                               QString::number(calCheck->restandardizeType()) };
    return insertRow(calCheckRow(), values);
}

XrfErrorInfo::XrfError ResultWriter::insertRepeatInfo(int testId, int repeatIndex, int repeatTotal)
{
    return insertRow(repeatRow(),
                     { QString::number(testId), QString::number(repeatIndex),
                       QString::number(repeatTotal) });
}

XrfErrorInfo::XrfError ResultWriter::insertGradeMatch(int testId,
                                                      const QList<XrfGradeMatch> &grades)
{
    return insertRows(*m_statements, gradeMatchTable(), grades, testId);
}

XrfErrorInfo::XrfError ResultWriter::insertGradeMatchSpec(int testId,
                                                          const QList<XrfGradeMatch> &grades)
{
    for (const XrfGradeMatch &grade : grades) {
        const XrfErrorInfo::XrfError rc
                = insertRows(*m_statements, gradeMatchSpecTable(), grade.gradeSpec(), testId,
                             { grade.gradeName() });
        if (rc != XrfErrorInfo::NoError)
            return rc;
    }
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultWriter::insertPlating(int auPlating, int testId)
{
    return insertRow(platingRow(), { QString::number(testId), QString::number(auPlating) });
}

XrfErrorInfo::XrfError ResultWriter::insertAverageInfo(int averagedTestId, int sourceTestId)
{
    return insertRow(averagedRow(),
                     { QString::number(averagedTestId), QString::number(sourceTestId) });
}

XrfErrorInfo::XrfError ResultWriter::insertLocation(double latitude, double longitude,
                                                    double elevation, int testId)
{
    return insertRow(locationRow(),
                     { QString::number(testId), SqlText::seventeenDigits(latitude),
                       SqlText::seventeenDigits(longitude), SqlText::seventeenDigits(elevation) });
}

// --- Names rows ------------------------------------------------------------------

XrfErrorInfo::XrfError ResultWriter::insertNamesResult(XrfKorviResult &result, int testId)
{
    struct NameRow
    {
        ResultSchema::NameType type;
        bool written;
        QString text;
        const char *debugText;
    };
    const XrfAnalysisResult &a = result.analysis();
    const bool hasUserFactorName = !a.userFactorName().isEmpty();
    const bool hasCompoundTemplate = !a.compoundTemplateName().isEmpty();
    const QString unitName = QString::fromLatin1(
            QMetaEnum::fromType<XrfUtils::ChemistryUnit>().valueToKey(a.coatingDisplayUnitEnum()));
    QList<NameRow> rows {
        { ResultSchema::UserFactorName, hasUserFactorName, a.userFactorName(), nullptr },
        { ResultSchema::UserFactorNormalizeFactor,
          hasUserFactorName && a.userFactorNormalizeFactor() != -1,
          SqlText::sixDigits(a.userFactorNormalizeFactor()),
          "Inserting userFactorRenormailize : " },
        { ResultSchema::CompoundTemplateName, hasCompoundTemplate, a.compoundTemplateName(),
          nullptr },
        { ResultSchema::CompoundSuppress100Warning, hasCompoundTemplate,
          a.compoundSuppress100Warning() ? "1" : "0", nullptr },
        { ResultSchema::TiTemplateName, !a.tiTemplateName().isEmpty(), a.tiTemplateName(),
          nullptr },
        { ResultSchema::CoatingConfigName, !a.coatingConfigName().isEmpty(), a.coatingConfigName(),
          nullptr },
        { ResultSchema::GradeCompareEnable, a.gradeCompareEnable() != -1,
          QString::number(a.gradeCompareEnable()), "Inserting gradeCompareEnable : " },
        { ResultSchema::PseudoElementGradeMatchEnable, a.pseudoElementGradeMatchEnable() != -1,
          QString::number(a.pseudoElementGradeMatchEnable()),
          "Inserting pseudoElementGradeMatchEnable : " },
        { ResultSchema::PseudoElementConfigName, !a.pseudoElementConfigName().isEmpty(),
          a.pseudoElementConfigName(), nullptr },
        { ResultSchema::LeadPaintActionLevel, a.leadPaintActionLevel() >= 0,
          SqlText::sixDigits(a.leadPaintActionLevel()), "Inserting leadPaintActionLevel : " },
        { ResultSchema::CoatingDisplayUnit, a.coatingDisplayUnitEnum() != -1,
          QString::number(a.coatingDisplayUnitEnum()), "Inserting coatingDisplayUnit : " },
        { ResultSchema::PythonPluginResult, !a.pythonPluginResult().isEmpty(),
          a.pythonPluginResult(), "Inserting pythonPluginResult : " },
        { ResultSchema::TavirexResult, !a.tavirexResult().isEmpty(), a.tavirexResult(),
          "Inserting tavirexResult : " },
        { ResultSchema::DigitalIOStateBefore, a.digitalIOStateBefore() != -1,
          QString::number(a.digitalIOStateBefore()), "Inserting digitalIOStateBefore : " },
        { ResultSchema::DigitalIOStateAfter, a.digitalIOStateAfter() != -1,
          QString::number(a.digitalIOStateAfter()), "Inserting digitalIOStateAfter : " },
    };
    int index = 0;
    for (const XrfSpectrum &spectrum : result.spectra()) {
        if (!spectrum.driftCorrection().timeStampUtc().isEmpty()) {
            QJsonObject drift = spectrum.driftCorrection().toJsonObject();
            drift.insert(QStringLiteral("index"), index);
            rows.append({ ResultSchema::DriftCorrection, true,
                          QString::fromUtf8(QJsonDocument(drift).toJson(QJsonDocument::Compact)),
                          nullptr });
        }
        ++index;
    }
    const XrfCalCheckResult *cal = result.calCheck();
    const bool hasCal = result.hasCalCheck();
    rows.append({ ResultSchema::ExpectedSlope, hasCal, SqlText::sixDigits(cal->expectedSlope()),
                  nullptr });
    rows.append({ ResultSchema::ExpectedOffset, hasCal, SqlText::sixDigits(cal->expectedOffset()),
                  nullptr });
    rows.append({ ResultSchema::ExpectedRate, hasCal, SqlText::sixDigits(cal->expectedRate()),
                  nullptr });
    rows.append({ ResultSchema::ExpectedResolution, hasCal,
                  SqlText::sixDigits(cal->expectedResolution()), nullptr });

    for (const NameRow &row : rows) {
        if (!row.written)
            continue;
        if (row.debugText)
            qDebug() << row.debugText
                     << (row.type == ResultSchema::CoatingDisplayUnit ? unitName : row.text);
        const XrfErrorInfo::XrfError rc = insertRow(
                namesRow(), { QString::number(testId), QString::number(row.type), row.text });
        if (rc != XrfErrorInfo::NoError)
            return XrfErrorInfo::DbQueryFailed;
    }
    return XrfErrorInfo::NoError;
}

// --- Images ------------------------------------------------------------------------

bool ResultWriter::isNamedByRow(const QString &name)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT 1 FROM ") + XrfTables::imageResult
              + QStringLiteral(" WHERE fileName = ? LIMIT 1"));
    q.addBindValue(name);
    // Not knowing counts as named: never hand out another result's name.
    return !q.exec() || q.next();
}

XrfErrorInfo::XrfError ResultWriter::insertImages(int testId, XrfKorviResult &result)
{
    const XrfAnalysisResult &analysis = result.analysis();
    const bool numbered = m_imageNumbers.size() == result.images().size();
    QList<XrfImageInfo> kept;
    int index = 0;
    for (XrfImageInfo image : result.images()) {
        const int number = numbered ? m_imageNumbers.at(index) : index + 1;
        ++index;
        bool recorded = false;
        const XrfErrorInfo::XrfError rc = insertImageInfo(
                testId, &image, analysis.tidName(), analysis.testDateTime(), number, &recorded);
        if (rc != XrfErrorInfo::NoError)
            return rc;
        if (recorded)
            kept << image;
    }
    result.images() = kept;
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError ResultWriter::insertImageInfo(int testId, XrfImageInfo *image,
                                                     const QString &tidName,
                                                     const QDateTime &testDateTime, int number,
                                                     bool *recorded)
{
    *recorded = false;
    const QString folder = QDir::cleanPath(QFileInfo(m_imageFolder).absoluteFilePath());
    const QString testDate = testDateTime.toUTC().toString(QStringLiteral("yyyy-MM-dd"));
    const QString named = image->name().contains(QLatin1Char('/'))
            ? image->name()
            : testDate + QLatin1Char('/') + image->name();
    const QString source = QDir::cleanPath(folder + QLatin1Char('/') + named);
    // A name that leads out of the image store (or to the store itself) is
    // never followed: the library moves files only inside its own store.
    if (!source.startsWith(folder + QLatin1Char('/'))) {
        qWarning() << "Image" << image->name() << "lies outside the image store; it is dropped";
        return XrfErrorInfo::NoError;
    }
    QString stored = SqlText::storedImageName(tidName, testDateTime, number);
    QString target = folder + QLatin1Char('/') + stored;

    if (source == target || !QFileInfo(source).isFile()) {
        // Stored once already (the source was moved then): record the target.
        if (!QFileInfo(target).isFile()) {
            ++m_missingPictures;
            if (m_missingPictureSkipped) {
                qWarning() << "The picture" << named << "of" << tidName
                           << "is not there; it is not recorded";
                return XrfErrorInfo::NoError;
            }
            // Stored short of a picture it names, the result would lose it
            // for good; it waits, and is set aside when it never comes.
            qWarning() << "The picture" << named << "of" << tidName
                       << "is not in the image store; the result is not stored";
            m_failureNotice = QStringLiteral("Picture %1 is missing.").arg(named);
            return XrfErrorInfo::FileAccessFailed;
        }
    } else if (QFileInfo::exists(target) || QFileInfo(target).isSymLink()) {
        if (ExchangeFiles::sameContent(source, target)) {
            // A copy of the picture that an earlier, cut-off run stored.
            m_redundantImages << source;
        } else {
            // The name is another picture's (an older card's naming, or two
            // names that are the same once made safe): this one gets its own.
            stored = ExchangeFiles::freeImageName(
                    folder, stored, [this](const QString &name) { return isNamedByRow(name); });
            target = folder + QLatin1Char('/') + stored;
        }
    }
    if (QFileInfo(source).isFile() && !QFileInfo::exists(target)) {
        const QString targetFolder = QFileInfo(target).absolutePath();
        if (!QFileInfo::exists(targetFolder)) {
            if (!QDir().mkpath(targetFolder)) {
                qWarning() << "Cannot make the picture folder" << targetFolder;
                m_failureNotice
                        = QStringLiteral("Picture folder %1 cannot be made.").arg(targetFolder);
                return XrfErrorInfo::FileCreateFailed;
            }
            m_createdImageFolders.append(targetFolder);
        }
        if (!QFile::rename(source, target)) {
            qWarning() << "Failed to rename image file: " << source << " -> " << target;
            m_failureNotice = QStringLiteral("Picture %1 cannot be stored.").arg(named);
            return XrfErrorInfo::FileCreateFailed;
        }
        m_movedImages.append({ source, target });
    }
    m_recordedImages.append(target);
    image->setName(stored);

    QStringList values { QString::number(testId), stored,
                         image->type() != 0 ? QStringLiteral("MACRO") : QStringLiteral("INLINE") };
    for (double v : { image->cropAreaTop(), image->cropAreaLeft(), image->cropAreaWidth(),
                      image->cropAreaHeight(), image->collimatorSpotX(), image->collimatorSpotY() })
        values << SqlText::sixDigits(v);
    values << QString::number(image->imageHasCircle() ? 1 : 0);
    const XrfErrorInfo::XrfError rc = insertRow(imageRow(), values);
    if (rc != XrfErrorInfo::NoError) {
        m_failureNotice = QStringLiteral("Failed to insert image result.");
        return XrfErrorInfo::DbQueryFailed;
    }
    *recorded = true;
    return XrfErrorInfo::NoError;
}

QSet<QString> ResultWriter::movedImageFolders() const
{
    QSet<QString> folders;
    for (const QString &created : qAsConst(m_createdImageFolders))
        folders.insert(QFileInfo(created).absolutePath());
    for (const auto &moved : qAsConst(m_movedImages)) {
        folders.insert(QFileInfo(moved.first).absolutePath());
        folders.insert(QFileInfo(moved.second).absolutePath());
    }
    // Whoever made the day folder and the store (a camera, say) may not have
    // synced their entries; a row must not outlive the path to its picture.
    if (!m_recordedImages.isEmpty()) {
        const QString store = QDir::cleanPath(QFileInfo(m_imageFolder).absoluteFilePath());
        folders << store << QFileInfo(store).absolutePath();
        for (const QString &image : qAsConst(m_recordedImages))
            folders.insert(QFileInfo(image).absolutePath());
    }
    return folders;
}

bool ResultWriter::syncMovedImageFolders()
{
    const QSet<QString> folders = movedImageFolders();
    m_createdImageFolders.clear();
    bool ok = true;
    // A camera that never synced its file would leave a stored row naming
    // an empty picture after a power cut.
    for (const QString &image : qAsConst(m_recordedImages))
        ok = XrfUtils::syncFile(image) && ok;
    m_recordedImages.clear();
    for (const QString &folder : qAsConst(folders))
        ok = XrfUtils::syncFolder(folder) && ok;
    return ok;
}

void ResultWriter::restoreMovedImages()
{
    m_createdImageFolders.clear();
    m_redundantImages.clear();
    for (auto it = m_movedImages.crbegin(); it != m_movedImages.crend(); ++it) {
        if (!QFile::rename(it->second, it->first))
            qWarning() << "Could not move image" << it->second << "back to" << it->first;
    }
    m_movedImages.clear();
}

void ResultWriter::keepMovedImages()
{
    m_createdImageFolders.clear();
    m_movedImages.clear();
    // Copies of pictures stored already go only once the rows are in.
    for (const QString &copy : qAsConst(m_redundantImages))
        QFile::remove(copy);
    m_redundantImages.clear();
}

// --- The store transaction ------------------------------------------------------------

XrfErrorInfo::XrfError
ResultWriter::store(XrfKorviResult &result, int *testId,
                    const std::function<void(XrfErrorInfo::XrfError)> &inserted)
{
    // The commit must survive a power cut before it is announced. (The
    // power-cut control and a benchmark take one level less through a test
    // hook.)
    const int durable = SqlText::durableLevel(m_db);
    if (!SqlText::setSynchronous(
                m_db, XrfUtils::faultPointArmed("synchronous-weaker") ? durable - 1 : durable)) {
        inserted(XrfErrorInfo::DbQueryFailed);
        return XrfErrorInfo::DbQueryFailed;
    }
    if (!SqlText::beginWrite(m_db)) {
        qWarning() << "Cannot begin a transaction to store a result:" << m_db.lastError().text();
        inserted(XrfErrorInfo::DbQueryFailed);
        return XrfErrorInfo::DbQueryFailed;
    }
    XrfErrorInfo::XrfError rc = insert(result, testId);
    if (rc == XrfErrorInfo::NoError && !syncMovedImageFolders())
        rc = XrfErrorInfo::FileAccessFailed;
    inserted(rc);
    if (rc != XrfErrorInfo::NoError) {
        restoreMovedImages();
        m_db.rollback();
        return rc;
    }
    XrfUtils::crashPoint("before-commit");
    if (XrfUtils::faultPointArmed("commit-fail") || !m_db.commit()) {
        qWarning() << "COMMIT of a result failed:" << m_db.lastError().text()
                   << "- it is rolled back";
        restoreMovedImages();
        m_db.rollback();
        // The earlier "inserted" spoke too soon.
        inserted(XrfErrorInfo::DbQueryFailed);
        return XrfErrorInfo::DbQueryFailed;
    }
    keepMovedImages();
    return XrfErrorInfo::NoError;
}

// --- Test info ------------------------------------------------------------------------

XrfErrorInfo::XrfError ResultWriter::editTestInfo(int testId,
                                                  const QList<QPair<QString, QString>> &entries)
{
    QList<QJsonObject> stored;
    if (readRows(m_db, testInfoTable(), testId, &stored, QStringLiteral(" order by id asc"))
        != XrfErrorInfo::NoError)
        return XrfErrorInfo::DbQueryFailed;
    if (!SqlText::beginWrite(m_db))
        return XrfErrorInfo::DbQueryFailed;
    QSqlQuery update(m_db);
    update.prepare(QStringLiteral("UPDATE ") + XrfTables::testInfo
                   + QStringLiteral(" SET info = ? WHERE testId = ? AND label = ?"));
    QSqlQuery add(m_db);
    add.prepare(QStringLiteral("INSERT INTO ") + XrfTables::testInfo
                + QStringLiteral(" (testId, label, info) VALUES (?, ?, ?)"));
    XrfErrorInfo::XrfError rc = XrfErrorInfo::NoError;
    for (const auto &entry : entries) {
        bool known = false;
        for (const QJsonObject &row : qAsConst(stored))
            known = known || row.value(QStringLiteral("key")).toString() == entry.first;
        // A null text would be bound as NULL; the column holds '' for none.
        const QString label = entry.first.isNull() ? QStringLiteral("") : entry.first;
        const QString info = entry.second.isNull() ? QStringLiteral("") : entry.second;
        QSqlQuery &q = known ? update : add;
        if (known) {
            q.addBindValue(info);
            q.addBindValue(testId);
            q.addBindValue(label);
        } else {
            q.addBindValue(testId);
            q.addBindValue(label);
            q.addBindValue(info);
        }
        if (!q.exec()) {
            qDebug() << "Failed Query is " << q.lastQuery();
            qDebug() << "SQL error is " << q.lastError().text();
            rc = XrfErrorInfo::DbQueryFailed;
            break;
        }
        q.finish();
        if (!known)
            stored.append(QJsonObject { { QStringLiteral("key"), entry.first } });
    }
    if (rc == XrfErrorInfo::NoError && !m_db.commit())
        rc = XrfErrorInfo::DbQueryFailed;
    if (rc != XrfErrorInfo::NoError)
        m_db.rollback();
    return rc;
}

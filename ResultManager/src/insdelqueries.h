#ifndef INSDELQUERIES_H
#define INSDELQUERIES_H

// The writer of whole results: ResultWriter writes every row of one result
// over an open connection, renames the result's images into the store and
// remembers what it moved, so that the images are moved back after a
// rollback and their folders synced before a commit.
//
// Values reach SQL bound: the one-row parts as text, prepared once per
// writer (a spectrum's channels alone would make a statement of tens of
// kilobytes to parse), the lists in batches or, for the few written per
// row, quoted (sqltext); the columns come from resultbinding.

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <functional>

#include "resultbinding.h"
#include "xrferrorinfo.h"

class XrfAnalysisResult;
class XrfCalCheckResult;
class XrfFilterProperties;
class XrfGradeMatch;
class XrfImageInfo;
class XrfKorviResult;
class XrfSpectrum;

class ResultWriter
{
public:
    // imageFolder is the store the images are renamed into; user is written
    // as the user of new results.
    // `statements`: those of the connection, kept while it stays open (null:
    // the writer's own, for this one result).
    ResultWriter(const QSqlDatabase &db, const QString &imageFolder, const QString &user,
                 SqlText::StatementCache *statements = nullptr);
    ResultWriter(const ResultWriter &) = delete;
    ResultWriter &operator=(const ResultWriter &) = delete;

    // Writes every row of the result; on success *testId is its new test id
    // and the image names in the result are the stored ones. A new result
    // (newTestId) carries the current user; an imported one does not.
    XrfErrorInfo::XrfError insert(XrfKorviResult &result, int *testId, bool newTestId = true);
    // Stores the result whole in one transaction made durable before it
    // returns (PRAGMA, BEGIN, every row, the pictures and their folders
    // synced, COMMIT), or not at all, its pictures moved back. `inserted`
    // hears the outcome of the rows, and once more when the commit fails.
    XrfErrorInfo::XrfError store(XrfKorviResult &result, int *testId,
                                 const std::function<void(XrfErrorInfo::XrfError)> &inserted);
    // Sets each (label, info) of a stored test: the entry of that label is
    // changed, or added; in one transaction, values bound.
    XrfErrorInfo::XrfError editTestInfo(int testId, const QList<QPair<QString, QString>> &entries);
    // What the user should be told about the failed step, or empty.
    QString failureNotice() const { return m_failureNotice; }

    // A picture the result names that is in neither its source nor its
    // stored place fails the insertion (FileAccessFailed), so the result
    // waits for it; an import instead records the rest and counts it.
    void setMissingPictureSkipped(bool skipped) { m_missingPictureSkipped = skipped; }
    int missingPictures() const { return m_missingPictures; }
    // The places (from 1) of the result's pictures among those it was sent
    // with, when some were left out: the stored names keep them.
    void setImageNumbers(const QList<int> &numbers) { m_imageNumbers = numbers; }
    // The rows of the result's pictures under a stored test id (insert()
    // writes them too); pictures that arrive after their result use it.
    XrfErrorInfo::XrfError insertImages(int testId, XrfKorviResult &result);

    // Syncs the pictures this insertion recorded and the folders that images
    // left, entered or were made in; false when one could not be synced.
    bool syncMovedImageFolders();
    // The folders syncMovedImageFolders() would sync, for a caller that
    // syncs those of many results at once.
    QSet<QString> movedImageFolders() const;
    // After a rollback: moves the images back, newest first.
    void restoreMovedImages();
    // After a commit: the moves stay.
    void keepMovedImages();

private:
    // One row of text values, bound to a statement prepared once per writer;
    // the values are stored as their quoted literals would be (a null text
    // as '').
    XrfErrorInfo::XrfError insertRow(const QString &table, const QStringList &columns,
                                     const QStringList &values);
    XrfErrorInfo::XrfError insertRow(const ResultBinding::RowTable &row, const QStringList &values);
    XrfErrorInfo::XrfError insertAnalysisRow(XrfAnalysisResult &analysis, int *testId,
                                             bool withUser);
    XrfErrorInfo::XrfError insertAnalysis(XrfAnalysisResult &analysis, int *testId);
    XrfErrorInfo::XrfError insertImportedAnalysis(XrfAnalysisResult &analysis, int *testId);
    XrfErrorInfo::XrfError insertNamesResult(XrfKorviResult &result, int testId);
    XrfErrorInfo::XrfError insertRohsResult(XrfAnalysisResult &analysis, int testId);
    XrfErrorInfo::XrfError insertSpectrum(const XrfSpectrum &spectrum, int testId);
    XrfErrorInfo::XrfError findOrInsertFilterProps(const XrfFilterProperties &filter, int *id);
    XrfErrorInfo::XrfError insertRegressionInfo(int *testId, int historicalTestId);
    XrfErrorInfo::XrfError insertCalCheck(XrfCalCheckResult *calCheck, int testId);
    XrfErrorInfo::XrfError insertImageInfo(int testId, XrfImageInfo *image, const QString &tidName,
                                           const QDateTime &testDateTime, int number,
                                           bool *recorded);
    bool isNamedByRow(const QString &name);
    XrfErrorInfo::XrfError insertRepeatInfo(int testId, int repeatIndex, int repeatTotal);
    XrfErrorInfo::XrfError insertGradeMatch(int testId, const QList<XrfGradeMatch> &grades);
    XrfErrorInfo::XrfError insertGradeMatchSpec(int testId, const QList<XrfGradeMatch> &grades);
    XrfErrorInfo::XrfError insertPlating(int auPlating, int testId);
    XrfErrorInfo::XrfError insertAverageInfo(int averagedTestId, int sourceTestId);
    XrfErrorInfo::XrfError insertLocation(double latitude, double longitude, double elevation,
                                          int testId);

    QSqlDatabase m_db;
    SqlText::StatementCache m_ownStatements;
    SqlText::StatementCache *m_statements;
    QString m_imageFolder;
    QString m_user;
    int m_lastTestId = 0;
    QString m_failureNotice;
    QList<QPair<QString, QString>> m_movedImages; // source, target of this insertion
    QStringList m_recordedImages; // every picture a row of this insertion names
    QStringList m_createdImageFolders; // made by this insertion; their parents need a sync
    QStringList m_redundantImages; // copies of pictures stored already; go after the commit
    QList<int> m_imageNumbers;
    bool m_missingPictureSkipped = false;
    int m_missingPictures = 0;
};

#endif // INSDELQUERIES_H

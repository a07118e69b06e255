#ifndef EXPORTCONVERSION_H
#define EXPORTCONVERSION_H

// Turns the intermediate files of one export into what the user asked for:
// a JSON copy with its pictures, CSV, MSA files of the beam data, a PDF
// report; in the chosen place, under one name; optionally packed into one
// zip file.
//
// Invariants: one free base is chosen before anything is written (none of
// its .json, .csv, .pdf, .msa, beam-spectra or zip files or its folders
// exists), every format uses it, and every file appears under its final name
// only when complete. A hidden marker names the run's outputs until it has
// ended, so that the next export removes what a killed one left half done.
// A USB or network location that is not mounted receives nothing; one that
// fills up fails the export, pictures included. The code is
// the first failure of any step; "outputFile" always names something that
// exists, or is empty. Runs on the worker thread; stops within one result
// when the abort flag is set.

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>

#include "work.h"
#include "xrferrorinfo.h"

class ExportConversion
{
public:
    using AbortCheck = Work::AbortCheck;
    using Progress = Work::Progress;

    ExportConversion(const QJsonObject &exportSettings, bool singleZip, bool fromPC,
                     AbortCheck aborted, Progress progress);

    // `summary` as ResultExporter::write() gives it. *completion gets
    // "outputFile", "files" and, as they exist, "spectraFile",
    // "imageFolder" and "images".
    XrfErrorInfo::XrfError run(const QJsonObject &summary, QJsonObject *completion);

    // The card's data folder (pictures under "images/", the default export
    // folder "exports/" when the platform names none).
    void setInstrumentDataPath(const QString &path) { m_dataPath = path; }
    // The serial number named by the database's device row, used when the
    // hardware configuration and the platform know none.
    void setDeviceSerial(const QString &serial) { m_deviceSerial = serial; }
    // The time stamp in names; the current local time unless set.
    void setTime(const QDateTime &local) { m_time = local; }

    // "name", "name(2)", ... : the first base none of whose outputs exists
    // (its beam-spectra file included, and its zip in zipFolder when given).
    static QString freeBase(const QString &folder, const QString &name,
                            const QString &zipFolder = QString());
    // A file-name part safe on any card: no separators, no "." or ".."
    static QString safeName(const QString &text);

private:
    // `shared`: a network folder, which other instruments write to as well.
    XrfErrorInfo::XrfError exportFolder(QString *folder, bool *shared) const;
    XrfErrorInfo::XrfError writeJson(const QJsonObject &summary, const QString &base,
                                     QStringList *files);
    XrfErrorInfo::XrfError copyImages(const QJsonObject &summary, const QString &base);
    XrfErrorInfo::XrfError zip(const QString &folder, const QString &base, bool pdfOnly,
                               QJsonObject *completion);

    QJsonObject m_settings;
    QJsonObject m_export;
    bool m_singleZip;
    bool m_fromPC;
    AbortCheck m_aborted;
    Progress m_progress;
    QDateTime m_time;
    QString m_deviceSerial;
    QString m_dataPath;
};

#endif // EXPORTCONVERSION_H

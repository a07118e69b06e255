#ifndef XRFUTILS_H
#define XRFUTILS_H

// File and storage helpers shared by every part of the analyser software.

#include "xrfcommon_global.h"
#include "xrferrorinfo.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QString>

class XRFCOMMON_EXPORT XrfUtils
{
    Q_GADGET
public:
    // Units a concentration or a coating thickness is shown in. The numbers
    // are stored with results, so existing values must never change.
    enum ChemistryUnit {
        Percent = 0,
        Ppm = 1,
        MgPerCm2 = 2,
        Micrometre = 3,
        Mils = 4,
        GPerM2 = 5,
        Nanometre = 6
    };
    Q_ENUM(ChemistryUnit)

    XrfUtils() = delete;

    // Free bytes for the caller on the file system that holds the instrument
    // data path, or -1 when that cannot be determined. A folder that does not
    // exist yet is measured at its nearest existing ancestor.
    static qint64 availableSpaceOnSdCard();
    // Makes availableSpaceOnSdCard() answer the given value until cleared.
    static void setAvailableSpaceOverride(qint64 bytes);
    static void clearAvailableSpaceOverride();

    // FileOpenFailed when the file is missing or unreadable, FileAccessFailed
    // when it does not hold one complete JSON object, InvalidArgument for a
    // null object. The object is only changed on success.
    static XrfErrorInfo::XrfError openFileJsonFile(const QString &path, QJsonObject *obj);

    // Replaces the file atomically and durably: a temporary file beside it
    // is written and synced, renamed over the target and the folder synced.
    // On failure the old file stays as it was and FileCreateFailed is
    // returned.
    static XrfErrorInfo::XrfError saveFileJsonFile(const QString &path, const QJsonObject &obj,
                                                   QJsonDocument::JsonFormat format
                                                   = QJsonDocument::Compact);
    // The same for bytes already made (a caller that measured them first).
    static XrfErrorInfo::XrfError saveFileBytes(const QString &path, const QByteArray &data);
    // Free bytes for the caller on the file system that holds `path`, or -1
    // when that cannot be determined (statvfs: no scan of the mount table).
    static qint64 availableSpaceAt(const QString &path);

    // The text as it may stand in a file name on any card: path separators,
    // control characters and the characters FAT refuses become "_", and the
    // UTF-8 form is cut to at most maxBytes at a character boundary.
    static QString safeFileNamePart(const QString &text, int maxBytes);

    // Whether the file or folder may be written: writable for this process and
    // not marked read-only by its mode bits (which root would otherwise
    // ignore; a card's files marked read-only are to be left alone).
    static bool isMarkedWritable(const QString &path);

    // Makes the folder's entry list durable (creations, renames and removals
    // inside it). True also where the file system cannot sync a folder.
    static bool syncFolder(const QString &folder);
    // Makes the file's contents durable; false when it cannot be opened or
    // synced.
    static bool syncFile(const QString &path);

    // Removes the folder with everything in it. True when it is gone
    // afterwards (also when it never existed); an empty path is refused.
    static bool removeDirectory(const QString &path);

    // Packs the files of sourceFolder into destination/zipName.
    // - recursive: sub-folders too, as entries "sub/file" (and "sub/" for
    //   each folder, so that empty ones come back); otherwise only the files
    //   directly in the folder. Symbolic links are left out.
    // - includeFolderName: every entry under the folder's own name
    //   ("export/file"), so that unpacking makes that folder.
    // - keepOnFailure: a source file that cannot be read is left out and the
    //   others are packed; the archive is put in place and FileAccessFailed
    //   returned. Without it such a file fails the whole call.
    // - password: empty for none; otherwise every entry is AES-256 encrypted
    //   (7-Zip and most archivers open it; Info-ZIP unzip cannot).
    // The archive is written under a hidden temporary name in the destination
    // and renamed into place once complete, so a failure never leaves a
    // partial archive, and an older archive of that name stays until the new
    // one replaces it. A destination whose mode bits say read-only is
    // refused, as on the card. Codes: FileOpenFailed (no source folder),
    // InvalidArgument (a zip name that is empty or has a path, or nothing to
    // pack), FileCreateFailed (the archive cannot be written or moved),
    // FileAccessFailed (a source file cannot be read), NotImplemented
    // (libzip without AES).
    static XrfErrorInfo::XrfError zip(const QString &sourceFolder, const QString &zipName,
                                      const QString &destination, bool recursive,
                                      bool includeFolderName, bool keepOnFailure,
                                      const QString &password);

    // Test hooks, armed through the environment: XRF_CRASH_POINT lists points
    // (comma-separated) where the process kills itself with SIGKILL, as a
    // power cut would stop it; XRF_FAULT_POINT lists points where a step fails.
    // Only a build configured with XRF_TEST_HOOKS has them; elsewhere they
    // compile to nothing.
#ifdef XRF_TEST_HOOKS
    static void crashPoint(const char *name);
    static bool faultPointArmed(const char *name);
#else
    static void crashPoint(const char *) { }
    static bool faultPointArmed(const char *)
    {
        return false;
    }
#endif
};

#endif // XRFUTILS_H

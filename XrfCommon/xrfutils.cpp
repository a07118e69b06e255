#include "xrfutils.h"

#include <sys/statvfs.h>

#include "xrfplatform.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonParseError>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QVector>

#include <csignal>
#include <unistd.h>

#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <limits>

#ifdef Q_OS_UNIX
#    include <cerrno>
#    include <cstring>
#    include <fcntl.h>
#    include <unistd.h>
#endif

namespace {

// One word so that a test thread can change it while the worker thread reads.
constexpr qint64 kNoOverride = std::numeric_limits<qint64>::min();
std::atomic<qint64> g_spaceOverride { kNoOverride };

QString nearestExistingFolder(const QString &path)
{
    QString candidate = QDir::cleanPath(
            QFileInfo(path.isEmpty() ? QDir::currentPath() : path).absoluteFilePath());
    while (!QFileInfo::exists(candidate)) {
        const QString parent = QFileInfo(candidate).absolutePath();
        if (parent == candidate)
            break;
        candidate = parent;
    }
    return candidate;
}

// The rename of a committed file lives in its folder's entry list, which
// has to reach the disk too or a power cut can bring back the old file.
bool syncFolderPath(const QString &folder, QString *reason)
{
#ifdef Q_OS_UNIX
    const QByteArray encoded = QFile::encodeName(folder);
    const int fd = ::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *reason = QStringLiteral("cannot open folder %1: %2")
                          .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc == -1 && errno == EINTR);
    const int syncErrno = errno;
    ::close(fd);
    // Some file systems cannot sync a folder at all; nothing more can be done there.
    if (rc == -1 && syncErrno != EINVAL && syncErrno != ENOTSUP) {
        *reason = QStringLiteral("cannot sync folder %1: %2")
                          .arg(folder, QString::fromLocal8Bit(std::strerror(syncErrno)));
        return false;
    }
#else
    Q_UNUSED(folder)
    Q_UNUSED(reason)
#endif
    return true;
}

bool syncFolderOf(const QString &filePath, QString *reason)
{
    QFileInfo info(filePath);
    const QString resolved = info.canonicalFilePath();
    return syncFolderPath(QFileInfo(resolved.isEmpty() ? filePath : resolved).absolutePath(),
                          reason);
}

} // namespace

qint64 XrfUtils::availableSpaceOnSdCard()
{
    const qint64 forced = g_spaceOverride.load();
    if (forced != kNoOverride)
        return forced;

    return availableSpaceAt(nearestExistingFolder(XrfPlatform::instance()->instrumentDataPath()));
}

void XrfUtils::setAvailableSpaceOverride(qint64 bytes)
{
    g_spaceOverride.store(bytes);
}

void XrfUtils::clearAvailableSpaceOverride()
{
    g_spaceOverride.store(kNoOverride);
}

XrfErrorInfo::XrfError XrfUtils::openFileJsonFile(const QString &path, QJsonObject *obj)
{
    if (!obj)
        return XrfErrorInfo::InvalidArgument;
    if (path.isEmpty())
        return XrfErrorInfo::FileOpenFailed;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return XrfErrorInfo::FileOpenFailed;
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return XrfErrorInfo::FileOpenFailed;

    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        qWarning() << "Cannot read JSON file" << path << ":" << parseError.errorString()
                   << "at offset" << parseError.offset;
        return XrfErrorInfo::FileAccessFailed;
    }
    if (!doc.isObject()) {
        qWarning() << "JSON file" << path << "does not hold an object";
        return XrfErrorInfo::FileAccessFailed;
    }
    *obj = doc.object();
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError XrfUtils::saveFileJsonFile(const QString &path, const QJsonObject &obj,
                                                  QJsonDocument::JsonFormat format)
{
    return saveFileBytes(path, QJsonDocument(obj).toJson(format));
}

qint64 XrfUtils::availableSpaceAt(const QString &path)
{
    struct statvfs fs;
    if (::statvfs(QFile::encodeName(path).constData(), &fs) != 0)
        return -1;
    return qint64(fs.f_bavail) * qint64(fs.f_frsize);
}

XrfErrorInfo::XrfError XrfUtils::saveFileBytes(const QString &path, const QByteArray &data)
{
    if (path.isEmpty()) {
        qWarning() << "Cannot save file: the path is empty";
        return XrfErrorInfo::FileCreateFailed;
    }
    if (QFileInfo(path).isDir()) {
        qWarning() << "Cannot save file" << path << ": it is a folder";
        return XrfErrorInfo::FileCreateFailed;
    }

    // QSaveFile writes "<name>.XXXXXX" beside the target, which never looks
    // like a queue file, and syncs it before the rename. No direct-write
    // fallback: a folder that refuses the temporary file refuses the save.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning() << "Cannot create file" << path << ":" << file.errorString();
        return XrfErrorInfo::FileCreateFailed;
    }
    // QSaveFile::commit() does not check its last flush: a short write on a
    // full disk would be renamed over the target. Flush and check first.
    if (file.write(data) != data.size() || faultPointArmed("json-save-write") || !file.flush()) {
        qWarning() << "Cannot write file" << path << ":" << file.errorString();
        file.cancelWriting(); // the temporary file goes with the QSaveFile
        return XrfErrorInfo::FileCreateFailed;
    }
    crashPoint("json-save-before-commit");
    if (!file.commit()) {
        qWarning() << "Cannot commit file" << path << ":" << file.errorString();
        return XrfErrorInfo::FileCreateFailed;
    }

    QString reason;
    if (!syncFolderOf(path, &reason)) {
        qWarning() << "File" << path << "written but not durable:" << reason;
        return XrfErrorInfo::FileCreateFailed;
    }
    return XrfErrorInfo::NoError;
}

QString XrfUtils::safeFileNamePart(const QString &text, int maxBytes)
{
    static const QString refusedSet = QStringLiteral("/\\:*?\"<>|");
    QString safe;
    safe.reserve(text.size());
    for (const QChar c : text) {
        const bool refused = c.unicode() < 0x20 || c.unicode() == 0x7f || refusedSet.contains(c);
        safe += refused ? QChar(QLatin1Char('_')) : c;
    }
    QByteArray utf8 = safe.toUtf8();
    if (utf8.size() <= maxBytes)
        return safe;
    int end = qMax(0, maxBytes);
    while (end > 0 && (uchar(utf8.at(end)) & 0xC0) == 0x80)
        --end;
    utf8.truncate(end);
    return QString::fromUtf8(utf8);
}

bool XrfUtils::isMarkedWritable(const QString &path)
{
    const QFileInfo info(path);
    return info.isWritable()
            && (info.permissions() & (QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther));
}

bool XrfUtils::syncFolder(const QString &folder)
{
    QString reason;
    if (syncFolderPath(folder, &reason))
        return true;
    qWarning() << reason;
    return false;
}

bool XrfUtils::removeDirectory(const QString &path)
{
    // An empty path would mean the current folder, and "/" everything.
    if (path.isEmpty())
        return false;
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    if (QDir(absolute).isRoot())
        return false;

    QDir dir(absolute);
    if (!dir.exists())
        return !QFileInfo::exists(absolute);
    return dir.removeRecursively();
}

namespace {

struct ZipEntry
{
    QString path;
    QString name; // in the archive; folders end in "/"
    bool folder = false;
};

// The entries of the folder, sorted by name so that two runs pack alike.
QVector<ZipEntry> zipEntries(const QString &source, const QString &target, bool recursive,
                             bool includeFolderName)
{
    QVector<ZipEntry> entries;
    const QString folderName = QFileInfo(source).fileName();
    const QString prefix = includeFolderName && !folderName.isEmpty()
            ? folderName + QLatin1Char('/')
            : QString();
    if (!prefix.isEmpty())
        entries.append({ source, prefix, true });
    const QDir root(source);
    QDirIterator it(source,
                    QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden
                            | QDir::NoSymLinks,
                    recursive ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
    while (it.hasNext()) {
        const QString path = it.next();
        const bool folder = it.fileInfo().isDir();
        // An archive of the same name inside the folder is the old one.
        if ((folder && !recursive) || QDir::cleanPath(path) == target)
            continue;
        QString name = prefix + root.relativeFilePath(path);
        if (folder)
            name += QLatin1Char('/');
        entries.append({ path, name, folder });
    }
    std::sort(entries.begin(), entries.end(),
              [](const ZipEntry &a, const ZipEntry &b) { return a.name < b.name; });
    return entries;
}

// Whether libzip can make a source of the file; a file that cannot be read
// would otherwise only fail zip_close(), taking every other file with it.
bool readable(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly);
}

bool replaceFile(const QString &from, const QString &to)
{
#ifdef Q_OS_UNIX
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#else
    QFile::remove(to);
    return QFile::rename(from, to);
#endif
}

} // namespace

XrfErrorInfo::XrfError XrfUtils::zip(const QString &sourceFolder, const QString &zipName,
                                     const QString &destination, bool recursive,
                                     bool includeFolderName, bool keepOnFailure,
                                     const QString &password)
{
    const QString source = QDir::cleanPath(QFileInfo(sourceFolder).absoluteFilePath());
    if (sourceFolder.isEmpty() || !QFileInfo(source).isDir()) {
        qWarning() << "Cannot zip" << sourceFolder << ": no such folder";
        return XrfErrorInfo::FileOpenFailed;
    }
    if (zipName.isEmpty() || zipName.contains(QLatin1Char('/'))
        || zipName.contains(QLatin1Char('\\')) || zipName == QLatin1String(".")
        || zipName == QLatin1String("..")) {
        qWarning() << "Cannot zip into" << zipName << ": not a file name";
        return XrfErrorInfo::InvalidArgument;
    }
    const QString folder = QDir::cleanPath(QFileInfo(destination).absoluteFilePath());
    if (destination.isEmpty() || !QFileInfo(folder).isDir() || !isMarkedWritable(folder)) {
        qWarning() << "Cannot zip into" << destination << ": not a writable folder";
        return XrfErrorInfo::FileCreateFailed;
    }
    const QString target = folder + QLatin1Char('/') + zipName;
    const QVector<ZipEntry> entries = zipEntries(source, target, recursive, includeFolderName);
    if (entries.isEmpty()) {
        // libzip writes no file for an empty archive.
        qWarning() << "Cannot zip" << sourceFolder << ": nothing to pack";
        return XrfErrorInfo::InvalidArgument;
    }
    if (!password.isEmpty() && !zip_encryption_method_supported(ZIP_EM_AES_256, 1)) {
        qWarning() << "Cannot zip with a password: this libzip has no AES";
        return XrfErrorInfo::NotImplemented;
    }

    // A free name beside the target; libzip creates it at zip_close() with
    // the mode of a new file (QTemporaryFile's would be 0600).
    QString temporary;
    {
        QTemporaryFile reserve(folder + QStringLiteral("/.") + zipName + QStringLiteral(".XXXXXX"));
        if (!reserve.open()) {
            qWarning() << "Cannot zip into" << destination << ":" << reserve.errorString();
            return XrfErrorInfo::FileCreateFailed;
        }
        temporary = reserve.fileName();
    }
    int openError = 0;
    zip_t *archive
            = zip_open(QFile::encodeName(temporary).constData(), ZIP_CREATE | ZIP_EXCL, &openError);
    if (!archive) {
        zip_error_t error;
        zip_error_init_with_code(&error, openError);
        qWarning() << "Cannot create" << temporary << ":" << zip_error_strerror(&error);
        zip_error_fini(&error);
        return XrfErrorInfo::FileCreateFailed;
    }
    const QByteArray secret = password.toUtf8();
    auto fail = [&](XrfErrorInfo::XrfError code, const QString &what) {
        qWarning() << "Cannot zip" << what << ":" << zip_strerror(archive);
        zip_discard(archive);
        QFile::remove(temporary);
        return code;
    };

    bool skipped = false;
    for (const ZipEntry &entry : entries) {
        const QByteArray name = entry.name.toUtf8();
        zip_int64_t index = -1;
        if (entry.folder) {
            index = zip_dir_add(archive, name.constData(), ZIP_FL_ENC_UTF_8);
            // libzip marks folders 0777; unpacked, they would be writable by all.
            if (index >= 0
                && zip_file_set_external_attributes(archive, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX,
                                                    zip_uint32_t(040755) << 16)
                        < 0)
                index = -1;
        } else {
            zip_source_t *data = readable(entry.path)
                    ? zip_source_file(archive, QFile::encodeName(entry.path).constData(), 0, 0)
                    : nullptr;
            if (!data) {
                if (!keepOnFailure)
                    return fail(XrfErrorInfo::FileAccessFailed, entry.path);
                qWarning() << "Zip" << target << "leaves out" << entry.path
                           << ": it cannot be read";
                skipped = true;
                continue;
            }
            index = zip_file_add(archive, name.constData(), data, ZIP_FL_ENC_UTF_8);
            if (index < 0)
                zip_source_free(data);
            else if (!secret.isEmpty()
                     && zip_file_set_encryption(archive, zip_uint64_t(index), ZIP_EM_AES_256,
                                                secret.constData())
                             < 0)
                return fail(XrfErrorInfo::FileCreateFailed, entry.path);
        }
        if (index < 0)
            return fail(XrfErrorInfo::FileCreateFailed, entry.path);
    }
    if (zip_get_num_entries(archive, 0) == 0)
        return fail(XrfErrorInfo::FileAccessFailed, sourceFolder);
    // The files are read here; a read error fails the whole archive.
    if (zip_close(archive) != 0) {
        const bool readError = zip_error_code_zip(zip_get_error(archive)) == ZIP_ER_READ;
        return fail(readError ? XrfErrorInfo::FileAccessFailed : XrfErrorInfo::FileCreateFailed,
                    target);
    }
    if (!syncFile(temporary) || faultPointArmed("zip-rename") || !replaceFile(temporary, target)) {
        qWarning() << "Cannot put the archive in place as" << target;
        QFile::remove(temporary);
        return XrfErrorInfo::FileCreateFailed;
    }
    syncFolder(folder);
    return skipped ? XrfErrorInfo::FileAccessFailed : XrfErrorInfo::NoError;
}

#ifdef XRF_TEST_HOOKS
namespace {
bool listedIn(const char *variable, const char *name)
{
    const QByteArray value = qgetenv(variable);
    return !value.isEmpty() && value.split(',').contains(QByteArray(name));
}
} // namespace

void XrfUtils::crashPoint(const char *name)
{
    if (listedIn("XRF_CRASH_POINT", name)) {
        qWarning() << "Crash point" << name << "reached; killing the process";
        ::kill(::getpid(), SIGKILL);
    }
}

bool XrfUtils::faultPointArmed(const char *name)
{
    return listedIn("XRF_FAULT_POINT", name);
}
#endif // XRF_TEST_HOOKS

bool XrfUtils::syncFile(const QString &path)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc == -1 && errno == EINTR);
    ::close(fd);
    return rc == 0;
#else
    Q_UNUSED(path)
    return true;
#endif
}

#include "xrfutils.h"

#include "xrfplatform.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonParseError>
#include <QSaveFile>

#include <QStorageInfo>
#include <csignal>
#include <unistd.h>

#include <atomic>
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

    QStorageInfo storage(nearestExistingFolder(XrfPlatform::instance()->instrumentDataPath()));
    if (!storage.isValid() || !storage.isReady())
        return -1;
    return storage.bytesAvailable();
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
    if (path.isEmpty()) {
        qWarning() << "Cannot save JSON file: the path is empty";
        return XrfErrorInfo::FileCreateFailed;
    }
    if (QFileInfo(path).isDir()) {
        qWarning() << "Cannot save JSON file" << path << ": it is a folder";
        return XrfErrorInfo::FileCreateFailed;
    }

    // QSaveFile writes "<name>.XXXXXX" beside the target, which never looks
    // like a queue file, and syncs it before the rename. No direct-write
    // fallback: a folder that refuses the temporary file refuses the save.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning() << "Cannot create JSON file" << path << ":" << file.errorString();
        return XrfErrorInfo::FileCreateFailed;
    }
    const QByteArray data = QJsonDocument(obj).toJson(format);
    // QSaveFile::commit() does not check its last flush: a short write on a
    // full disk would be renamed over the target. Flush and check first.
    if (file.write(data) != data.size() || faultPointArmed("json-save-write") || !file.flush()) {
        qWarning() << "Cannot write JSON file" << path << ":" << file.errorString();
        file.cancelWriting(); // the temporary file goes with the QSaveFile
        return XrfErrorInfo::FileCreateFailed;
    }
    crashPoint("json-save-before-commit");
    if (!file.commit()) {
        qWarning() << "Cannot commit JSON file" << path << ":" << file.errorString();
        return XrfErrorInfo::FileCreateFailed;
    }

    QString reason;
    if (!syncFolderOf(path, &reason)) {
        qWarning() << "JSON file" << path << "written but not durable:" << reason;
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

#include "hdffile.h"

#include <QDataStream>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

HdfFile::HdfFile(QObject *parent) : QObject(parent) { }

HdfFile::~HdfFile()
{
    close();
}

XrfErrorInfo::XrfError HdfFile::fail(XrfErrorInfo::XrfError code)
{
    m_error.setErrorCode(code);
    emit errorSignal(m_error.errorString());
    return code;
}

XrfErrorInfo::XrfError HdfFile::open()
{
    if (m_file.isOpen())
        close();
    if (m_file.fileName().trimmed().isEmpty()) {
        const QString folder = m_folder.isEmpty() ? QStringLiteral("./") : m_folder;
        m_file.setFileName(folder + QStringLiteral("Zefra") + QStringLiteral("-%1").arg(99999));
    }

    if (!m_file.exists()) {
        QDir().mkpath(QFileInfo(m_file.fileName()).absolutePath());
        if (!m_file.open(QIODevice::ReadWrite)) {
            qDebug() << "Creating new Hdf File failed";
            return fail(XrfErrorInfo::FileCreateFailed);
        }
        QDataStream out(&m_file);
        out << magic << version;
        out.setVersion(QDataStream::Qt_5_2); // stream version 15; integer layout is the same
        m_file.flush();
        m_dataStart = m_file.pos();
        return XrfErrorInfo::NoError;
    }

    if (!m_file.open(QIODevice::ReadWrite)) {
        qWarning() << "Unable to open file: " << m_file.fileName();
        return fail(XrfErrorInfo::FileOpenFailed);
    }
    QDataStream in(&m_file);
    qint32 fileMagic = 0;
    qint32 fileVersion = 0;
    in >> fileMagic >> fileVersion;
    m_dataStart = m_file.pos();
    if (in.status() == QDataStream::Ok && fileMagic == magic && fileVersion == version)
        return XrfErrorInfo::NoError;

    // A damaged record is dropped; the next open() starts a new one.
    qWarning() << "Day record" << m_file.fileName() << "has a bad header; it is made anew";
    m_file.close();
    m_file.remove();
    return fail(XrfErrorInfo::BadFileHeader);
}

void HdfFile::close()
{
    if (!m_file.isOpen())
        return;
    if (m_mappedData)
        m_file.unmap(m_mappedData);
    m_mappedData = nullptr;
    m_file.flush();
    m_file.close();
}

XrfErrorInfo::XrfError HdfFile::write(const QDate &day, qint64 counter)
{
    open();
    if (m_file.isOpen() && m_file.seek(m_dataStart)) {
        QDataStream out(&m_file);
        out << qint64(day.toJulianDay()) << counter;
    }
    close();
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError HdfFile::read(QDate &day, qint64 &counter)
{
    open();
    day = QDate();
    counter = 0;
    if (m_file.isOpen() && m_file.seek(m_dataStart) && !m_file.atEnd()) {
        QDataStream in(&m_file);
        qint64 julianDay = 0;
        qint64 storedCounter = 0;
        in >> julianDay >> storedCounter;
        if (in.status() == QDataStream::Ok) {
            const QDate stored = QDate::fromJulianDay(julianDay);
            day = stored.isValid() ? stored : QDate();
            counter = storedCounter;
        }
    }
    close();
    return XrfErrorInfo::NoError;
}

XrfErrorInfo::XrfError HdfFile::startCounting()
{
    QDate day;
    qint64 counter = 0;
    const XrfErrorInfo::XrfError rc = read(day, counter);
    if (rc != XrfErrorInfo::NoError)
        return rc;
    m_day = day;
    m_counter = counter;
    if (!m_day.isValid() || m_day != QDate::currentDate()) {
        m_day = QDate::currentDate();
        m_counter = 1;
    }
    return XrfErrorInfo::NoError;
}

void HdfFile::count()
{
    if (m_day != QDate::currentDate()) {
        m_day = QDate::currentDate();
        m_counter = 1;
    }
    write(m_day, m_counter);
    ++m_counter;
}

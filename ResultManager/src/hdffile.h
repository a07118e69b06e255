#ifndef HDFFILE_H
#define HDFFILE_H

// The day record: a tiny file beside the user profile holding a day and a
// counter of the results stored that day. Layout, big-endian through
// QDataStream:
//   0  int32  magic 0x20141121
//   4  int32  version 101
//   8  int64  the day as a Julian day number
//  16  int64  the day counter
// A header-only file (8 bytes) reads as no day and counter 0. A file with a
// wrong header is removed by the next open() and made again, so a damaged
// record costs the count of one day, never the database.

#include <QDate>
#include <QFile>
#include <QObject>

#include "xrferrorinfo.h"

class HdfFile : public QObject
{
    Q_OBJECT
public:
    static const qint32 magic = 0x20141121;
    static const qint32 version = 101;

    explicit HdfFile(QObject *parent = nullptr);
    ~HdfFile() override;

    void setFolder(const QString &folder) { m_folder = folder; }
    QString folder() const { return m_folder; }
    QString fileName() const { return m_file.fileName(); }

    XrfErrorInfo::XrfError open();
    void close();
    XrfErrorInfo::XrfError write(const QDate &day, qint64 counter);
    XrfErrorInfo::XrfError read(QDate &day, qint64 &counter);

    // Reads the record to count on from it: a day other than today starts
    // at 1.
    XrfErrorInfo::XrfError startCounting();
    // One more result stored today: the pair is written, then the counter
    // goes up (a new day starts again at 1).
    void count();
    QDate day() const { return m_day; }
    qint64 counter() const { return m_counter; }

    XrfErrorInfo lastError() const { return m_error; }

signals:
    void errorSignal(QString msg);

private:
    XrfErrorInfo::XrfError fail(XrfErrorInfo::XrfError code);

    QFile m_file;
    qint64 m_dataStart = 0;
    XrfErrorInfo m_error;
    uchar *m_mappedData = nullptr;
    QString m_folder;
    QDate m_day;
    qint64 m_counter = 0;
};

#endif // HDFFILE_H

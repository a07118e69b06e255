#ifndef FILEIDENTITY_H
#define FILEIDENTITY_H

// What tells one state of a file from another without reading it: device,
// inode, size and modification time. The database object keeps its
// connection open while work comes, and compares before each insertion, so
// that a file deleted, replaced or overwritten behind its back is opened
// again rather than written through a stale connection.

#include <QString>

struct FileIdentity
{
    bool exists = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNsecs = 0;

    static FileIdentity of(const QString &path);
    bool operator==(const FileIdentity &o) const
    {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size
                && modifiedNsecs == o.modifiedNsecs;
    }
    bool operator!=(const FileIdentity &o) const { return !(*this == o); }
};

#endif // FILEIDENTITY_H

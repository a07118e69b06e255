#ifndef SCRATCHPOSTGRES_H
#define SCRATCHPOSTGRES_H

// A PostgreSQL server of its own in a temporary folder, for the push test and
// its benchmark: initdb and pg_ctl from the server binaries (XRF_PG_BIN, else
// the newest /usr/lib/postgresql/*/bin), run as "nobody" when we are root
// (the server refuses root), on a free port of 127.0.0.1 and a socket in the
// folder. One superuser, "fleet", logs in with a password (scram).
// Header-only.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

class ScratchPostgres
{
public:
    static QString binDir()
    {
        const QString given = qEnvironmentVariable("XRF_PG_BIN");
        if (!given.isEmpty())
            return given;
        QDir versions(QStringLiteral("/usr/lib/postgresql"));
        QStringList found = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        std::sort(found.begin(), found.end(),
                  [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
        for (const QString &version : found) {
            const QString bin = versions.filePath(version + QStringLiteral("/bin"));
            if (QFileInfo(bin + QStringLiteral("/initdb")).isExecutable()
                && QFileInfo(bin + QStringLiteral("/pg_ctl")).isExecutable())
                return bin;
        }
        return QString();
    }

    ~ScratchPostgres() { stop(); }

    // Settings are postgres -c options ("fsync=off").
    bool start(const QStringList &settings, QString *error)
    {
        const QString bin = binDir();
        if (bin.isEmpty() || !m_dir.isValid()) {
            *error = QStringLiteral("no PostgreSQL server binaries (postgresql) or no folder");
            return false;
        }
        if (::geteuid() == 0) {
            const passwd *nobody = ::getpwnam("nobody");
            if (!nobody
                || ::chown(QFile::encodeName(m_dir.path()).constData(), nobody->pw_uid,
                           nobody->pw_gid)
                        != 0) {
                *error = QStringLiteral("cannot give the server folder to nobody");
                return false;
            }
            m_asUser = QStringList { QStringLiteral("/usr/bin/setpriv"),
                                     QStringLiteral("--reuid=%1").arg(nobody->pw_uid),
                                     QStringLiteral("--regid=%1").arg(nobody->pw_gid),
                                     QStringLiteral("--clear-groups"), QStringLiteral("--") };
        }
        m_port = freePort();
        const QString pwFile = m_dir.filePath(QStringLiteral("pw"));
        if (!runAsServer({ QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                           QStringLiteral("umask 077; echo %1 > %2").arg(password(), pwFile) },
                         error))
            return false;
        QStringList options { QStringLiteral("-k"), m_dir.path(),
                              QStringLiteral("-p"), QString::number(m_port),
                              QStringLiteral("-c"), QStringLiteral("listen_addresses=127.0.0.1") };
        for (const QString &setting : settings)
            options << QStringLiteral("-c") << setting;
        m_started = runAsServer({ bin + QStringLiteral("/initdb"), QStringLiteral("-D"), dataDir(),
                                  QStringLiteral("-U"), user(), QStringLiteral("--pwfile"), pwFile,
                                  QStringLiteral("-A"), QStringLiteral("scram-sha-256"),
                                  QStringLiteral("-E"), QStringLiteral("UTF8"),
                                  QStringLiteral("--locale=C"), QStringLiteral("--no-sync") },
                                error)
                && runAsServer({ bin + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), dataDir(),
                                 QStringLiteral("-l"), m_dir.filePath(QStringLiteral("server.log")),
                                 QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"),
                                 QStringLiteral("-o"), options.join(QLatin1Char(' ')),
                                 QStringLiteral("start") },
                               error);
        return m_started;
    }

    void stop()
    {
        if (!m_started)
            return;
        m_started = false;
        QString ignored;
        runAsServer({ binDir() + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), dataDir(),
                      QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("-w"),
                      QStringLiteral("stop") },
                    &ignored);
    }

    QString user() const { return QStringLiteral("fleet"); }
    QString password() const { return QStringLiteral("fleet-secret"); }
    int port() const { return m_port; }
    QString socketDir() const { return m_dir.path(); }
    QString url(const QString &database) const
    {
        return QStringLiteral("postgresql://%1@127.0.0.1:%2/%3")
                .arg(user())
                .arg(m_port)
                .arg(database);
    }
    QString socketUrl(const QString &database) const
    {
        return QStringLiteral("postgresql://%1@/%2?host=%3&port=%4")
                .arg(user(), database, socketDir())
                .arg(m_port);
    }
    // The environment a client logs in with.
    QProcessEnvironment environment(const QString &password) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PGPASSWORD"), password);
        return env;
    }
    QProcessEnvironment environment() const { return environment(password()); }

private:
    QString dataDir() const { return m_dir.filePath(QStringLiteral("data")); }

    bool runAsServer(const QStringList &command, QString *error) const
    {
        const QStringList full = m_asUser + command;
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setWorkingDirectory(m_dir.path());
        p.start(full.first(), full.mid(1));
        if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit
            || p.exitCode() != 0) {
            *error = QStringLiteral("%1 failed: %2")
                             .arg(QFileInfo(command.first()).fileName(),
                                  QString::fromLocal8Bit(p.readAll()).simplified());
            return false;
        }
        return true;
    }

    static int freePort()
    {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int port = 54329;
        if (s >= 0 && ::bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
            && ::getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        if (s >= 0)
            ::close(s);
        return port;
    }

    QTemporaryDir m_dir { QDir::tempPath() + QStringLiteral("/xrf-postgres-XXXXXX") };
    QStringList m_asUser;
    int m_port = 0;
    bool m_started = false;
};

#endif // SCRATCHPOSTGRES_H

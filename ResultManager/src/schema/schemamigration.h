#ifndef SCHEMAMIGRATION_H
#define SCHEMAMIGRATION_H

// Brings a results database file of an older schema up to the current one,
// over the open connection of the database object, before anything else
// reads or writes the file.
//
// Invariants: each step runs in one transaction, so a cut-off step leaves
// nothing of itself and the next open runs it again; the version is marked
// only after the last step. Before the first change the whole file is copied
// aside (synced, renamed to backupPath()); a step that fails puts that copy
// back, so a failed upgrade leaves the file byte for byte as it was and
// unmarked. A copy left by a run that was cut off is kept as it is: it, not
// the half-upgraded file, is the file as it was. No row is dropped: a file
// too old to upgrade is renamed aside whole, and replaced pseudo element rows
// stay in a table of their own. A file of a newer schema is never touched.

#include <QSqlDatabase>
#include <QString>

#include <functional>

class SchemaMigration
{
public:
    // The external migration program of the 5.0 step, from the universal
    // setting group "database.migration".
    struct Program
    {
        QString path; // absolute; empty: the step is skipped
        int startMsecs = 30000;
        int finishMsecs = 30000;

        static Program fromSettings();
    };

    enum Outcome {
        UpToDate, // nothing changed
        Upgraded, // steps ran (or missing columns were added) and the version is marked
        Newer, // a schema this software cannot write; untouched
        Failed // a step failed; the file is as it was
    };

    // createTables(setPragmas) runs the creation script with the device row
    // on the connection (the 4.0 step, and a new file after archiving).
    SchemaMigration(const QSqlDatabase &db, const QString &dbFile, const QString &serial,
                    const Program &program, std::function<bool(bool)> createTables);

    Outcome run(bool force);

    QString storedVersion() const { return m_storedVersion; }
    // The name the old file was archived under, when it was.
    QString archivedAs() const { return m_archivedAs; }
    // Why the outcome is Failed or Newer.
    QString failure() const { return m_failure; }

    static QString backupPath(const QString &dbFile);
    // An empty or missing version counts as 0.
    static double versionNumber(const QString &text);
    // The name the replaced pseudo element table keeps its rows under.
    static QString pseudoElementsBefore61();

private:
    // Folds a write-ahead log into the file, so that a copy of the file
    // alone is whole.
    bool checkpoint();
    bool makeBackup();
    bool backupIsOfThisFile(const QString &backup);
    void restoreBackup();
    bool archive();
    bool createTables(bool setPragmas);
    bool addColumnStep(int column);
    bool replacePseudoElementTable();
    bool runProgram();
    bool dateUndatedResults(bool *changed);
    bool markVersion();
    bool hasColumn(const QString &table, const QString &column);
    bool hasTable(const QString &table);
    bool exec(const QString &statement, QString *error = nullptr);
    bool commitOrFail(QString error);
    bool fail(const QString &why);

    QSqlDatabase m_db;
    QString m_dbFile;
    QString m_serial;
    Program m_program;
    std::function<bool(bool)> m_createTables;
    QString m_storedVersion;
    QString m_archivedAs;
    QString m_failure;
    bool m_backupMade = false;
};

#endif // SCHEMAMIGRATION_H

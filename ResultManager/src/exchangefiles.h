#ifndef EXCHANGEFILES_H
#define EXCHANGEFILES_H

// The files around an exchange with a PC: where an output may be written,
// which image names from a foreign file may be used, and the image links
// beside an output ("instrumentdata/images/<name>").
//
// Invariants: nothing here ever writes under the live database's folder or
// the image store except bringImageIn(), which only adds a missing file under
// a name that stays inside the store. Image names from files are data, not
// paths: a name that is absolute or leaves the store is never followed.

#include <QString>
#include <QStringList>

class ExchangeFiles
{
public:
    // True when `outputFile` is the live database file or lies under the
    // data folder's db/ or images/ (an output must never replace either).
    static bool isRefusedOutput(const QString &outputFile, const QString &instrumentDataPath,
                                const QString &databaseFile);
    // The name cleaned, or empty when it is absolute, empty or leaves the
    // store after cleaning.
    static QString importableImageName(const QString &name);
    // The folder of links beside an output file.
    static QString linkFolder(const QString &outputFile);
    // For each stored image name that exists under `imageFolder`: a symbolic
    // link beside the output, or a copy where links cannot be made. Returns
    // the number of names that got neither.
    static int linkImages(const QStringList &names, const QString &imageFolder,
                          const QString &outputFile);
    // Copies the image `name` from the link folder beside `inputFile` into
    // `imageFolder` (as `storedName` when given) when it is there and
    // missing from the store. True when the store holds the file afterwards;
    // false for a refused name.
    static bool bringImageIn(const QString &name, const QString &inputFile,
                             const QString &imageFolder, const QString &storedName = QString());
};

#endif // EXCHANGEFILES_H

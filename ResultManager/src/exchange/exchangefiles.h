#ifndef EXCHANGEFILES_H
#define EXCHANGEFILES_H

// The files around an exchange with a PC: where an output may be written,
// which image names from a foreign file may be used, and the pictures carried
// beside an exchange file ("instrumentdata/images/<name>").
//
// Invariants:
// - Nothing here writes under the live database's folder or the image store
//   except copyIntoStore(), which only adds a file under a name that stays
//   inside the store, staged and renamed so no half picture is ever named.
// - Image names from files are data, not paths: a name that is absolute or
//   leaves the store is never followed.
// - A carried picture is taken only as a regular file, or through a link
//   that resolves to one inside the carried folder: a file never brings in
//   what lies elsewhere on the machine.
// - Pictures written beside an output are copies, not links: the receiver
//   takes regular files only, and a stick must hold the pictures themselves.

#include <QString>
#include <QStringList>

#include <functional>

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
    // The folder of pictures beside an exchange file.
    static QString carriedFolder(const QString &file);
    // Copies each stored picture that exists under `imageFolder` beside the
    // output; one already there is kept. Returns the names that could not be
    // written (a full or refused medium).
    static QStringList placeImages(const QStringList &names, const QString &imageFolder,
                                   const QString &outputFile);
    // The path of the picture `name` carried beside `carrierFile`, or empty
    // when it is missing or not to be trusted (see above).
    static QString carriedImage(const QString &name, const QString &carrierFile);
    // Copies `source` to `target` in the store: a ".part" beside the target,
    // synced, then renamed. False (and nothing left) when it fails.
    static bool copyIntoStore(const QString &source, const QString &target);
    static bool sameContent(const QString &a, const QString &b);
    // A stored name for a picture whose wanted name is taken: `wanted`, then
    // "<stem>~2<ext>", "<stem>~3<ext>" ..., the first that names no file under
    // `imageFolder` and that `taken` refuses.
    static QString freeImageName(const QString &imageFolder, const QString &wanted,
                                 const std::function<bool(const QString &)> &taken);
    // The name a free name was made from ("~<n>" removed).
    static QString baseImageName(const QString &name);
};

#endif // EXCHANGEFILES_H

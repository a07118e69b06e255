#ifndef RESULTFILES_H
#define RESULTFILES_H

// Result files as the commands take them: one result per JSON file, a folder
// standing for its *.json files.

#include <QList>
#include <QStringList>

#include "xrfhost.h"

namespace ResultFiles {

struct Loaded
{
    QList<XrfHost::Stored> results;
    // One line per file that was refused, with the reason.
    QStringList problems;
};

Loaded load(const QStringList &paths);

} // namespace ResultFiles

#endif // RESULTFILES_H

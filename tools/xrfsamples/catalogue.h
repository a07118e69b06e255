#ifndef CATALOGUE_H
#define CATALOGUE_H

// The seven bundled samples, in the order of their file names. samples/README.md tells a
// user what each one is; keep the two in step.

#include <QList>

#include "samplebuilder.h"

QList<Sample> sampleCatalogue();

#endif // CATALOGUE_H

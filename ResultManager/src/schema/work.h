#ifndef WORK_H
#define WORK_H

// What every long piece of work of the library is handed: a way to learn
// that the user pressed abort (the database object's abort flag, polled
// between results) and a way to say how far it is. Declared once here,
// used by the rooms that read, export and exchange.

#include <functional>

namespace Work {

// True once the work is to stop; polled at least once per result.
using AbortCheck = std::function<bool()>;
// `done` of `total` results, said now and then.
using Progress = std::function<void(int done, int total)>;

} // namespace Work

#endif // WORK_H

#ifndef FACADEGUARD_H
#define FACADEGUARD_H

// Holds the facade alive for a call made from a thread that does not own it
// (the queue thread). Deinit() takes the same lock for writing before it
// deletes the facade and its worker, so a guarded call either finishes first
// or sees no facade at all; it never reaches a deleted worker, and it never
// makes a new facade as instance() would.
//
// Deadlock freedom: Deinit() holds the write lock only on the owner's thread
// and waits only on the worker thread, which never takes this lock.

#include <QReadWriteLock>

class XrfResultManager;

class FacadeGuard
{
public:
    FacadeGuard();
    ~FacadeGuard();
    FacadeGuard(const FacadeGuard &) = delete;
    FacadeGuard &operator=(const FacadeGuard &) = delete;

    // The facade, or null when none is initialised.
    XrfResultManager *facade() const;

    static QReadWriteLock &lifetimeLock();
};

#endif // FACADEGUARD_H

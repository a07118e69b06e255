#include "facadeguard.h"

#include "resultmanager.h"

FacadeGuard::FacadeGuard()
{
    lifetimeLock().lockForRead();
}

FacadeGuard::~FacadeGuard()
{
    lifetimeLock().unlock();
}

XrfResultManager *FacadeGuard::facade() const
{
    return XrfResultManager::m_pImpl ? XrfResultManager::m_pInstance : nullptr;
}

QReadWriteLock &FacadeGuard::lifetimeLock()
{
    static QReadWriteLock lock;
    return lock;
}

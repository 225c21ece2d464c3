#include "Quillmere/core/ItemsEvents.h"

CItemsEvents::CItemsEvents(CFolderObj* owner, LONG kind) : m_kind(kind), m_owner(owner) {}

void CItemsEvents::SetDirtyFlag() {
    if (m_dirty.load())
        return;
    CriticalSectionLock lock(m_dirtyLock);
    m_dirty = true;
}

void CItemsEvents::SetDeletedFlag() {
    if (m_deleted.load())
        return;
    CriticalSectionLock lock(m_deletedLock);
    m_deleted = true;
}

bool CItemsEvents::TakeDirtyFlag() {
    if (!m_dirtyLock.TryEnter())
        return false;
    bool value = m_dirty.exchange(false);
    m_dirtyLock.Leave();
    return value;
}

bool CItemsEvents::TakeDeletedFlag() {
    if (!m_deletedLock.TryEnter())
        return false;
    bool value = m_deleted.exchange(false);
    m_deletedLock.Leave();
    return value;
}

#include "Quillmere/core/ItemsEvents.h"

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HiddenWindow.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/outlook/Outlook.h"
#include "platform/win/Timer.h"

CItemsEvents::CItemsEvents(CFolderObj* owner, LONG kind) : m_kind(kind), m_owner(owner) {
    // Both flags start clear, each under its own lock, as the takers expect.
    {
        CriticalSectionLock lock(m_dirtyLock);
        m_dirty = false;
    }
    CriticalSectionLock lock(m_deletedLock);
    m_deleted = false;
}

CItemsEvents::~CItemsEvents() {
    Unadvise();
}

HRESULT CItemsEvents::Advise(IDispatch* items) {
    if (!items)
        return E_POINTER;
    m_items = items;
    CComPtr<IConnectionPointContainer> container;
    HRESULT hr =
        items->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (FAILED(hr) || !container)
        return FAILED(hr) ? hr : E_NOINTERFACE;
    CComPtr<IConnectionPoint> point;
    hr = container->FindConnectionPoint(IID_ItemsEvents, &point);
    if (FAILED(hr) || !point)
        return FAILED(hr) ? hr : E_NOINTERFACE;
    DWORD cookie = 0;
    hr = point->Advise(static_cast<IDispatch*>(this), &cookie);
    if (FAILED(hr))
        return hr;
    m_connectionPoint = point;
    m_cookie = cookie;
    return S_OK;
}

void CItemsEvents::Unadvise() {
    if (m_cookie != 0 && m_connectionPoint)
        m_connectionPoint->Unadvise(m_cookie);
    m_cookie = 0;
    m_connectionPoint.Release();
    m_items.Release();
}

HRESULT CItemsEvents::QueryInterface(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG CItemsEvents::AddRef() {
    return ++m_refCount;
}

ULONG CItemsEvents::Release() {
    // Never frees: the CFolderObj owns the sink. A count already at 0 stays
    // there rather than wrapping.
    ULONG count = m_refCount.load();
    while (count != 0 && !m_refCount.compare_exchange_weak(count, count - 1)) {
    }
    return count == 0 ? 0 : count - 1;
}

HRESULT CItemsEvents::GetTypeInfoCount(UINT* count) {
    if (count)
        *count = 0;
    return E_NOTIMPL;
}

HRESULT CItemsEvents::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info)
        *info = nullptr;
    return E_NOTIMPL;
}

HRESULT CItemsEvents::GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

HRESULT CItemsEvents::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                             UINT*) {
    CSyncEngine* engine = g_pEngine.load();
    if (!engine || engine->m_stopped.load() || !engine->IsStarted())
        return S_OK;
    if (m_kind == CFolderObj::kAlternateInbox) {
        if (id != outlook::dispid::kEventItemAdd)
            return S_OK;
        // A sync mail may have arrived: bring the heartbeat's next tick, and
        // with it the inbox importer's pass over the alternate inboxes, closer.
        if (HWND heartbeat = engine->HeartbeatWindow()) {
            KillTimer(heartbeat, kHeartbeatTimerId);
            SetTimer(heartbeat, kHeartbeatTimerId, kHeartbeatNewMailPeriod, nullptr);
        }
        engine->m_alternateInboxRequest = true;
        WriteDebugLog("alternate mailbox evt");
        return S_OK;
    }
    if (m_kind != CFolderObj::kSharedFolder)
        return S_OK;
    switch (id) {
        case outlook::dispid::kEventItemAdd:
            SetDirtyFlag();
            WriteDebugLogValue("Add Evt", m_shareName.c_str());
            break;
        case outlook::dispid::kEventItemChange:
            SetDirtyFlag();
            WriteDebugLogValue("Change Evt", m_shareName.c_str());
            break;
        case outlook::dispid::kEventItemRemove:
            // An Exchange folder's scan reports deletions itself; an ordinary
            // store's folder needs the deletion scan.
            if (m_isExchange)
                SetDirtyFlag();
            else
                SetDeletedFlag();
            WriteDebugLogValue("Delete Evt", m_shareName.c_str());
            break;
        default:
            break;
    }
    return S_OK;
}

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

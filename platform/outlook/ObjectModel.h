// Private to this library: the shared state behind the object model (the
// profile's store sessions, the item-event hub) and the helpers the COM
// classes share for late binding.
//
// Locking: Model::mutex (recursive) guards every store session and every
// object's store state; each object method takes it for its whole body.
// Model::hubMutex guards the list of event sources only; the store's change
// observer takes nothing else (see Model::OnChange). Events are fired with
// neither lock held.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/ComObject.h"
#include "platform/com/ConnectionPoint.h"
#include "platform/outlook/MapiObjects.h"
#include "platform/outlook/Outlook.h"
#include "platform/outlook/OutlookApplication.h"
#include "platform/store/Folder.h"
#include "platform/store/Message.h"
#include "platform/store/Notifications.h"
#include "platform/store/Session.h"
#include "platform/win/Mutex.h"
#include "platform/win/ThreadSafety.h"
#include "platform/win/Threads.h"

namespace outlook::impl {

using store::Bytes;

// --- Text forms of ids -----------------------------------------------------

std::wstring BytesToHex(const Bytes& bytes);
// Either case; nullopt for an odd length or a character that is no hex digit.
std::optional<Bytes> HexToBytes(std::wstring_view text);
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);
// Case-insensitive substring test (the platform's upper-casing rules).
bool ContainsNoCase(std::wstring_view text, std::wstring_view part);

// --- Late binding ------------------------------------------------------------

struct NameId {
    const wchar_t* name;
    DISPID id;
};
HRESULT LookupNames(const NameId* table, std::size_t size, OLECHAR** names, UINT count,
                    DISPID* ids);

// The arguments of one Invoke in natural order (DISPPARAMS keeps them last
// first); the named DISPID_PROPERTYPUT argument of a put is the value.
class InvokeArgs {
public:
    explicit InvokeArgs(const DISPPARAMS* params) : m_params(params) {}
    UINT Count() const { return m_params ? m_params->cArgs : 0; }
    // Null past the end.
    const VARIANT* At(UINT index) const;
    // A put's value (the last argument).
    const VARIANT* Value() const;

private:
    const DISPPARAMS* m_params;
};

bool IsGet(WORD flags);
bool IsPut(WORD flags);

// Stores a getter's result into an Invoke result (which may be null). Call
// the getter in a statement of its own, before: the order in which a call's
// arguments are evaluated is unspecified (GCC reads value before a getter in
// the same call has written it).
HRESULT ResultText(VARIANT* result, HRESULT hr, BSTR value);
HRESULT ResultLong(VARIANT* result, HRESULT hr, LONG value);
HRESULT ResultBool(VARIANT* result, HRESULT hr, VARIANT_BOOL value);
HRESULT ResultDate(VARIANT* result, HRESULT hr, DATE value);
// Takes over the reference in value.
HRESULT ResultDispatch(VARIANT* result, HRESULT hr, IDispatch* value);
HRESULT ResultUnknown(VARIANT* result, HRESULT hr, IUnknown* value);
HRESULT ResultVariant(VARIANT* result, HRESULT hr, VARIANT* value);
// The argument as text / number; DISP_E_TYPEMISMATCH, DISP_E_BADPARAMCOUNT.
HRESULT ArgText(const VARIANT* arg, CComBSTR& out);
HRESULT ArgLong(const VARIANT* arg, LONG* out);

// IDispatch members of a class whose InvokeMember does the work.
#define QM_OUTLOOK_DISPATCH_MEMBERS(table)                                                         \
    HRESULT GetTypeInfoCount(UINT* count) override {                                               \
        if (count)                                                                                 \
            *count = 0;                                                                            \
        return S_OK;                                                                               \
    }                                                                                              \
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {                                   \
        if (info)                                                                                  \
            *info = nullptr;                                                                       \
        return E_NOTIMPL;                                                                          \
    }                                                                                              \
    HRESULT GetIDsOfNames(REFIID, OLECHAR** names, UINT count, LCID, DISPID* ids) override {       \
        return ::outlook::impl::LookupNames(table, sizeof(table) / sizeof(table[0]), names, count, \
                                            ids);                                                  \
    }                                                                                              \
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,       \
                   EXCEPINFO*, UINT*) override {                                                   \
        return InvokeMember(id, flags, ::outlook::impl::InvokeArgs(params), result);               \
    }

// --- Shared state --------------------------------------------------------------

class ItemsEventSource;
class ApplicationObject;
class NameSpaceObject;
class COMAddInObject;

struct StoreEntry {
    std::string path;
    std::unique_ptr<store::Session> session;  // guarded by Model::mutex
    // Used only by the change observer, whose calls the store serialises.
    std::unique_ptr<store::Session> observerSession;
    GUID guid{};
    Bytes entryId;
    bool isDefault = false;
};

// Kinds of item object, from the message class.
enum class ItemKind { Mail, Appointment, Journal, Other };
ItemKind KindOfMessageClass(std::wstring_view messageClass);

// The application's lock (recursive). Taken on another thread than the
// client's UI thread (the one that created the application), it first tells
// the foreign-thread observer (OutlookApplication.h): every object of the
// model takes it for its state, so each such call of the object model is
// seen. The host's own side (OutlookApplication's methods) takes Unchecked().
class ApplicationLock {
public:
    void lock() {
        NoteThread();
        m_mutex.lock();
    }
    bool try_lock() {
        NoteThread();
        return m_mutex.try_lock();
    }
    void unlock() { m_mutex.unlock(); }
    std::recursive_mutex& Unchecked() { return m_mutex; }
    // Set once by OutlookApplication::Create.
    std::atomic<DWORD> uiThread{0};

private:
    void NoteThread();
    std::recursive_mutex m_mutex;
};

class Model : public std::enable_shared_from_this<Model> {
public:
    explicit Model(ApplicationOptions options) : options(std::move(options)) {}

    const ApplicationOptions options;
    ApplicationLock mutex;
    std::vector<StoreEntry> stores;  // fixed after Create
    std::size_t defaultStore = 0;

    // Set by OutlookApplication::Create, cleared by its destruction (under mutex).
    CComPtr<_Application> application;
    CComPtr<_NameSpace> nameSpace;
    CComPtr<IDispatch> inspectorItem;
    std::wstring inspectorCaption;
    std::vector<CComPtr<COMAddIn>> addIns;
    std::function<void()> quitHandler;
    bool quitRaised = false;

    // --- Stores ---------------------------------------------------------------
    StoreEntry& DefaultStore() { return stores[defaultStore]; }
    // Null when the profile has no such store.
    StoreEntry* StoreByGuid(const GUID& guid);
    StoreEntry* StoreByEntryId(const Bytes& storeEntryId);
    // The store an object entry id belongs to; null when none of the profile.
    StoreEntry* StoreOfObject(const Bytes& objectEntryId);

    // --- Objects (callers hold mutex) -------------------------------------------
    HRESULT MakeFolder(StoreEntry& store, const store::Folder& folder, MAPIFolder** out);
    HRESULT MakeItem(StoreEntry& store, std::unique_ptr<store::Message> message, IDispatch** out);
    HRESULT OpenItem(const Bytes& entryId, IDispatch** out);
    HRESULT MakeStore(StoreEntry& store, _Store** out);

    // --- Events ----------------------------------------------------------------
    void StartEvents();
    // Waits for a running observer call; afterwards no source is fired again.
    void StopEvents();
    void AddSource(const std::shared_ptr<ItemsEventSource>& source);
    void RemoveSource(const ItemsEventSource* source);

private:
    void OnChange(const store::ChangeNotification& change);

    win::Mutex hubMutex;
    std::vector<std::weak_ptr<ItemsEventSource>> sources GUARDED_BY(hubMutex);
    ULONG observerCookie = 0;
    std::atomic<bool> eventsStopped{false};
};

// The sinks of one _Items object and the folder they listen to. Shared
// between the _Items object and the hub, so that a change being delivered
// never touches an _Items object that is gone.
class ItemsEventSource {
public:
    ItemsEventSource(IConnectionPointContainer* owner, std::weak_ptr<Model> model,
                     const GUID& storeGuid, Bytes folderEntryId)
        : point(owner, IID_ItemsEvents),
          model(std::move(model)),
          storeGuid(storeGuid),
          folderEntryId(std::move(folderEntryId)) {}

    // UI thread: raises the event for one change.
    // UI thread: raises the event for one change; snapshot: the item's
    // content when the change was made (empty for a removal).
    void Deliver(const store::ChangeNotification& change, const mapi::MessageContent& snapshot);

    com::ConnectionPoint point;
    const std::weak_ptr<Model> model;
    const GUID storeGuid;
    const Bytes folderEntryId;
    std::atomic<bool> alive{true};
};

// --- Objects other files create --------------------------------------------------

HRESULT CreateFolders(const std::shared_ptr<Model>& model, std::size_t storeIndex,
                      const store::Folder& parent, _Folders** out);
HRESULT CreateItems(const std::shared_ptr<Model>& model, std::size_t storeIndex,
                    const store::Folder& folder, _Items** out);
HRESULT CreateRules(const std::shared_ptr<Model>& model, std::size_t storeIndex, _Rules** out);
HRESULT CreateNewItem(const std::shared_ptr<Model>& model, std::size_t storeIndex,
                      const store::Folder& folder, const std::wstring& messageClass,
                      IDispatch** out);
std::size_t IndexOf(const std::shared_ptr<Model>& model, const StoreEntry& store);
// The folder entry id behind a MAPIFolder of this library; false for others.
bool FolderLocation(MAPIFolder* folder, GUID* storeGuid, Bytes* entryId);

// Rules as saved in a store; matching for the host.
struct TextCondition {
    bool enabled = false;
    std::vector<std::wstring> texts;
};
struct RuleData {
    std::wstring name;
    bool enabled = true;
    OlRuleType type = olRuleReceive;
    TextCondition subject, body, bodyOrSubject;
    bool moveEnabled = false;
    Bytes moveFolder;
    bool copyEnabled = false;
    Bytes copyFolder;
};
HRESULT LoadRules(store::Session& session, std::vector<RuleData>* rules);
HRESULT SaveRules(store::Session& session, const std::vector<RuleData>& rules);
bool RuleMatches(const RuleData& rule, const std::wstring& subject, const std::wstring& body);

// Message class and container class of each item type.
std::wstring MessageClassOfItemType(OlItemType type);
OlItemType ItemTypeOfContainerClass(std::wstring_view containerClass);
std::optional<store::DefaultFolder> DefaultFolderOfItemType(OlItemType type);

}  // namespace outlook::impl

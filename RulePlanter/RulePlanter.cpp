#include "RulePlanter/RulePlanter.h"

#include "RulePlanter/RulePlanterModule.h"
#include "platform/com/Com.h"
#include "platform/win/Text.h"

namespace ruleplanter {
namespace {

// Case-sensitive, in the user's default locale, as the names are compared.
bool SameName(const wchar_t* a, const wchar_t* b) {
    return CompareStringW(LOCALE_USER_DEFAULT, 0, a ? a : L"", -1, b ? b : L"", -1) == CSTR_EQUAL;
}

// The sync folder's name widened through the thread's 8-bit code page.
std::wstring SyncFolderName() {
    wchar_t wide[64] = {};
    const int n = MultiByteToWideChar(CP_THREAD_ACP, 0, kSyncFolderName, -1, wide,
                                      static_cast<int>(sizeof wide / sizeof wide[0]));
    return n > 0 ? std::wstring(wide) : std::wstring();
}

CComVariant Index(LONG index) {
    return CComVariant(index, VT_I4);
}

// The two condition texts as one variant holding an array of strings.
HRESULT ConditionTexts(CComVariant* texts) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 2);
    if (!array)
        return E_OUTOFMEMORY;
    const wchar_t* items[] = {kSyncMailMarker, kPacketMailPrefix};
    for (LONG i = 0; i < 2; ++i) {
        CComBSTR text(items[i]);
        // The array keeps a copy of the string.
        HRESULT hr = SafeArrayPutElement(array, &i, text.m_str);
        if (FAILED(hr)) {
            SafeArrayDestroy(array);
            return hr;
        }
    }
    VariantClear(texts);
    texts->vt = VT_ARRAY | VT_BSTR;
    texts->parray = array;
    return S_OK;
}

// Steps 4 to 7 on a supported Outlook: the rules and the folder.
void SetUpOutlook(_Application* app, bool removeMode) {
    CComPtr<_NameSpace> nameSpace;
    if (FAILED(app->GetNamespace(CComBSTR(L"MAPI"), &nameSpace)) || !nameSpace)
        return;
    CComPtr<_Store> store;
    if (FAILED(nameSpace->get_DefaultStore(&store)) || !store)
        return;
    CComPtr<_Rules> rules;
    if (FAILED(store->GetRules(&rules)) || !rules)
        return;
    RemoveOldRules(rules);
    if (removeMode) {
        DeleteSyncFolder(nameSpace);
    } else {
        CreateSyncRule(nameSpace, rules);
    }
}

}  // namespace

HRESULT GetOutlookApplication(_Application** app) {
    *app = nullptr;
    HRESULT hr = CoGetClassObject(CLSID_OutlookApplication, CLSCTX_ALL, nullptr, IID__Application,
                                  reinterpret_cast<void**>(app));
    if (SUCCEEDED(hr) && *app)
        return hr;
    *app = nullptr;
    hr = CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_LOCAL_SERVER, IID__Application,
                          reinterpret_cast<void**>(app));
    if (FAILED(hr))
        *app = nullptr;
    return hr;
}

bool IsSupportedVersion(const std::wstring& version) {
    for (const wchar_t* major : {L"12.", L"13.", L"14."}) {
        if (version.compare(0, 3, major) == 0)
            return true;
    }
    return false;
}

void RemoveOldRules(_Rules* rules) {
    LONG count = 0;
    if (FAILED(rules->get_Count(&count)))
        return;
    // Downward: Remove moves every later rule one place down, so an upward
    // walk would step over the rule after each removed one.
    for (LONG index = count; index >= 1; --index) {
        CComPtr<_Rule> rule;
        if (FAILED(rules->Item(Index(index), &rule)) || !rule)
            continue;
        CComBSTR name;
        if (FAILED(rule->get_Name(&name)))
            continue;
        if (!SameName(name.m_str, kRuleName))
            continue;
        rule.Release();
        if (SUCCEEDED(rules->Remove(Index(index))))
            rules->Save(MissingArgument());
    }
}

HRESULT CreateSyncRule(_NameSpace* nameSpace, _Rules* rules) {
    CComPtr<_Rule> rule;
    HRESULT hr = rules->Create(CComBSTR(kRuleName), olRuleReceive, &rule);
    if (FAILED(hr) || !rule)
        return FAILED(hr) ? hr : E_POINTER;
    CComPtr<_RuleConditions> conditions;
    if (FAILED(hr = rule->get_Conditions(&conditions)) || !conditions)
        return FAILED(hr) ? hr : E_POINTER;
    // Both texts are subject markers: the subject condition carries them.
    CComPtr<_TextRuleCondition> subject;
    if (FAILED(hr = conditions->get_Subject(&subject)) || !subject)
        return FAILED(hr) ? hr : E_POINTER;
    if (FAILED(hr = subject->put_Enabled(VARIANT_TRUE)))
        return hr;
    CComVariant texts;
    if (FAILED(hr = ConditionTexts(&texts)))
        return hr;
    if (FAILED(hr = subject->put_Text(texts)))
        return hr;
    CComPtr<_RuleActions> actions;
    if (FAILED(hr = rule->get_Actions(&actions)) || !actions)
        return FAILED(hr) ? hr : E_POINTER;
    CComPtr<_MoveOrCopyRuleAction> move;
    if (FAILED(hr = actions->get_MoveToFolder(&move)) || !move)
        return FAILED(hr) ? hr : E_POINTER;
    CComPtr<MAPIFolder> folder;
    if (FAILED(hr = GetOrCreateSyncFolder(nameSpace, &folder)))
        return hr;
    if (FAILED(hr = move->put_Folder(folder)))
        return hr;
    if (FAILED(hr = move->put_Enabled(VARIANT_TRUE)))
        return hr;
    return rules->Save(MissingArgument());
}

HRESULT DeleteSyncFolder(_NameSpace* nameSpace) {
    CComPtr<MAPIFolder> folder;
    HRESULT hr = GetOrCreateSyncFolder(nameSpace, &folder);
    if (FAILED(hr))
        return hr;
    return folder->Delete();
}

HRESULT GetOrCreateSyncFolder(_NameSpace* nameSpace, MAPIFolder** folder) {
    *folder = nullptr;
    CComPtr<MAPIFolder> inbox;
    HRESULT hr = nameSpace->GetDefaultFolder(olFolderInbox, &inbox);
    if (FAILED(hr) || !inbox)
        return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
    CComPtr<IDispatch> parent;
    if (FAILED(hr = inbox->get_Parent(&parent)) || !parent)
        return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
    CComPtr<MAPIFolder> root;
    if (FAILED(hr = parent->QueryInterface(IID_MAPIFolder, reinterpret_cast<void**>(&root))) ||
        !root)
        return FAILED(hr) ? hr : E_NOINTERFACE;
    CComPtr<_Folders> folders;
    if (FAILED(hr = root->get_Folders(&folders)) || !folders)
        return FAILED(hr) ? hr : E_POINTER;
    const std::wstring wanted = SyncFolderName();
    LONG count = 0;
    if (FAILED(hr = folders->get_Count(&count)))
        return hr;
    for (LONG index = 1; index <= count; ++index) {
        CComPtr<MAPIFolder> candidate;
        if (FAILED(folders->Item(Index(index), &candidate)) || !candidate)
            continue;
        CComBSTR name;
        if (FAILED(candidate->get_Name(&name)))
            continue;
        if (SameName(name.m_str, wanted.c_str())) {
            *folder = candidate.Detach();
            return S_OK;
        }
    }
    CComPtr<MAPIFolder> added;
    hr = folders->Add(CComBSTR(wanted), MissingArgument(), &added);
    if (FAILED(hr) || !added)
        return FAILED(hr) ? hr : E_POINTER;
    *folder = added.Detach();
    return S_OK;
}

void RunOnOutlook(_Application* app, const std::wstring& commandLine) {
    CComBSTR version;
    // Any other version is left alone, and left running.
    if (FAILED(app->get_Version(&version)) ||
        !IsSupportedVersion(version.m_str ? std::wstring(version.m_str) : std::wstring()))
        return;
    SetUpOutlook(app, commandLine == kRemoveArgument);
    app->Quit();
}

int RulePlanterMain(const std::wstring& commandLine) {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        CComPtr<_Application> app;
        if (SUCCEEDED(GetOutlookApplication(&app)) && app)
            RunOnOutlook(app, commandLine);
    }  // every Outlook object is released here
    CRulePlanterModule module;
    const HRESULT result = module.WinMain(commandLine);
    if (SUCCEEDED(init))
        CoUninitialize();
    return static_cast<int>(result);
}

}  // namespace ruleplanter

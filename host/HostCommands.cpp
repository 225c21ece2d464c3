#include "host/HostCommands.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "host/AddInLoader.h"
#include "host/ErrorText.h"
#include "host/HostDialog.h"
#include "host/OutlookHost.h"
#include "host/PageDriver.h"
#include "host/WindowPictures.h"
#include "platform/com/Com.h"
#include "platform/com/ComError.h"
#include "platform/com/ComObject.h"
#include "platform/com/ConnectionPoint.h"
#include "platform/com/Dispatch.h"
#include "platform/com/OleObject.h"
#include "platform/mapi/PropTags.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/store/Message.h"
#include "platform/store/Session.h"
#include "platform/transport/MimeWriter.h"
#include "platform/win/CommonControls.h"
#include "platform/win/CrashPoints.h"
#include "platform/win/Dialog.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Paths.h"
#include "platform/win/ShellNotify.h"
#include "platform/win/Text.h"
#include "platform/win/UserInput.h"

namespace host {

namespace {

constexpr UINT kWmLButtonDblClk = 0x0203;

std::string Utf8(const CComBSTR& text) {
    return win::ToUtf8(std::wstring(text.View()));
}

// An Outlook item of any kind (mail, appointment, task, contact...) through
// the members every item has, called by DISPID: the user's commands work on
// every folder, whatever interface its items carry.
class ItemView {
public:
    explicit ItemView(IDispatch* item) : m_item(item) {}
    std::wstring Text(DISPID id) const {
        CComVariant value;
        if (!m_item || FAILED(com::GetProperty(m_item, id, &value)) || value.vt != VT_BSTR ||
            !value.bstrVal)
            return {};
        return std::wstring(value.bstrVal, SysStringLen(value.bstrVal));
    }
    std::string Utf8Text(DISPID id) const { return win::ToUtf8(Text(id)); }
    HRESULT Put(DISPID id, const std::string& utf8) {
        return m_item ? com::PutProperty(m_item, id, CComVariant(win::FromUtf8(utf8).c_str()))
                      : E_POINTER;
    }
    HRESULT Call(DISPID id) {
        return m_item ? com::CallMethod(m_item, id, nullptr, 0, nullptr) : E_POINTER;
    }
    // The store message behind the item (null when it has none).
    CComPtr<IUnknown> MapiObject() const {
        CComVariant value;
        if (!m_item || FAILED(com::GetProperty(m_item, outlook::dispid::kMAPIOBJECT, &value)) ||
            value.vt != VT_UNKNOWN)
            return nullptr;
        return value.punkVal;
    }

private:
    CComPtr<IDispatch> m_item;
};

// The button a user names: ok, cancel, yes, no or a control id.
bool ButtonId(const std::string& name, int* id) {
    static const std::map<std::string, int> kNames = {
        {"ok", IDOK}, {"cancel", IDCANCEL}, {"yes", IDYES}, {"no", IDNO}};
    auto it = kNames.find(name);
    if (it != kNames.end())
        return *id = it->second, true;
    char* end = nullptr;
    long value = std::strtol(name.c_str(), &end, 10);
    if (name.empty() || *end != '\0' || value <= 0 || value > 0xFFFF)
        return false;
    *id = static_cast<int>(value);
    return true;
}

// While it lives, every modal dialog of this thread is answered by clicking
// the button (0: nothing is installed, dialogs are cancelled as ever); each
// answer is reported in out.
class AnswerDialogs {
public:
    AnswerDialogs(int button, std::ostringstream& out) : m_button(button) {
        if (m_button == 0)
            return;
        win::SetModalDialogHandler([button, &out](const win::ModalDialogCall& call) {
            out << "  answered \"" << win::ToUtf8(call.caption) << "\" with " << button << "\n";
            HWND control = GetDlgItem(call.dialog, button);
            if (!control || !win::ClickButton(control))
                EndDialog(call.dialog, button);
        });
    }
    ~AnswerDialogs() {
        if (m_button != 0)
            win::SetModalDialogHandler({});
    }
    AnswerDialogs(const AnswerDialogs&) = delete;
    AnswerDialogs& operator=(const AnswerDialogs&) = delete;

private:
    int m_button;
};

// Arguments after the command: positional ones and --name value options
// (flags listed in `flags` take no value; repeatable options collect).
struct Parsed {
    std::vector<std::string> positional;
    std::multimap<std::string, std::string> options;
    std::string error;

    bool Has(const std::string& name) const { return options.count(name) != 0; }
    std::string Get(const std::string& name) const {
        auto it = options.find(name);
        return it == options.end() ? std::string() : it->second;
    }
};

Parsed Parse(const std::vector<std::string>& args, const std::set<std::string>& valued,
             const std::set<std::string>& flags) {
    Parsed p;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0) {
            p.positional.push_back(a);
            continue;
        }
        std::string name = a.substr(2);
        if (flags.count(name)) {
            p.options.emplace(name, "");
        } else if (valued.count(name)) {
            if (i + 1 >= args.size()) {
                p.error = "option " + a + " needs a value";
                return p;
            }
            p.options.emplace(name, args[++i]);
        } else {
            p.error = "unknown option " + a + " for " + args[0];
            return p;
        }
    }
    return p;
}

// What of a --to list the address book could not resolve: a name without
// '@' that is not in the address book (an address with '@' always resolves).
std::string UnknownRecipients(const std::string& to) {
    std::string unknown;
    std::size_t start = 0;
    while (start <= to.size()) {
        std::size_t end = to.find(';', start);
        std::string one =
            to.substr(start, end == std::string::npos ? std::string::npos : end - start);
        one.erase(0, one.find_first_not_of(' '));
        one.erase(one.find_last_not_of(' ') + 1);
        if (!one.empty() && one.find('@') == std::string::npos)
            unknown += (unknown.empty() ? "\"" : ", \"") + one + "\"";
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (unknown.empty())
        return "a recipient of \"" + to + "\" is unknown";
    return unknown + " is neither an e-mail address nor a name in the address book";
}

CommandResult Fail(const std::string& text) {
    return CommandResult{false, text, false};
}

// The command's arguments were wrong: nothing was tried.
CommandResult Usage(const std::string& text) {
    return CommandResult{false, text, false, true};
}

// A parse error, or the command's usage.
CommandResult Usage(const Parsed& p, const std::string& usage) {
    return Usage(p.error.empty() ? "usage: " + usage : p.error + "\nusage: " + usage);
}

// Writes each item event of an advised folder into the host's event log:
// "ItemAdd <subject>", "ItemChange <subject>", "ItemRemove".
class LoggingItemsSink final : public com::ComObject<LoggingItemsSink, IDispatch> {
public:
    LoggingItemsSink(OutlookHost& host, std::string folder)
        : m_host(host), m_folder(std::move(folder)) {}
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        std::string subject;
        if (params && params->cArgs >= 1 && params->rgvarg[params->cArgs - 1].vt == VT_DISPATCH) {
            CComVariant v;
            if (SUCCEEDED(com::GetProperty(params->rgvarg[params->cArgs - 1].pdispVal,
                                           outlook::dispid::kSubject, &v)) &&
                v.vt == VT_BSTR && v.bstrVal)
                subject = win::ToUtf8(v.bstrVal);
        }
        const char* name = id == outlook::dispid::kEventItemAdd      ? "ItemAdd"
                           : id == outlook::dispid::kEventItemChange ? "ItemChange"
                           : id == outlook::dispid::kEventItemRemove ? "ItemRemove"
                                                                     : "ItemEvent";
        m_host.Log(std::string(name) + " " + m_folder + (subject.empty() ? "" : ": " + subject));
        return S_OK;
    }

private:
    OutlookHost& m_host;
    std::string m_folder;
};

// What a dialog command asks of the pages.
struct DialogRequest {
    int answer = 0;  // the button that answers a page's modal question, 0: none
    std::vector<std::pair<std::wstring, std::wstring>> sets;
    std::vector<bool> setUsed;
    std::vector<int> clicks;
    std::vector<bool> clickUsed;
    bool apply = false;
};

// The request of a dialog command's options; a bad-arguments result when
// one is wrong.
std::optional<CommandResult> ParseDialog(const Parsed& p, DialogRequest* request) {
    if (p.Has("answer") && !ButtonId(p.Get("answer"), &request->answer))
        return Usage("--answer takes ok, cancel, yes, no or a control id, not \"" +
                     p.Get("answer") + "\"");
    auto sets = p.options.equal_range("set");
    for (auto it = sets.first; it != sets.second; ++it) {
        std::size_t eq = it->second.find('=');
        if (eq == std::string::npos || eq == 0)
            return Usage("--set needs NAME=VALUE, not \"" + it->second + "\"");
        request->sets.emplace_back(win::FromUtf8(it->second.substr(0, eq)),
                                   win::FromUtf8(it->second.substr(eq + 1)));
    }
    auto clicks = p.options.equal_range("click");
    for (auto it = clicks.first; it != clicks.second; ++it) {
        char* end = nullptr;
        long id = std::strtol(it->second.c_str(), &end, 10);
        if (it->second.empty() || *end != '\0' || id <= 0 || id > 0xFFFF)
            return Usage("--click takes a control id, not \"" + it->second + "\"");
        request->clicks.push_back(static_cast<int>(id));
    }
    request->setUsed.assign(request->sets.size(), false);
    request->clickUsed.assign(request->clicks.size(), false);
    request->apply = p.Has("apply");
    return std::nullopt;
}

// The page object of an entry (a new reference in *page): created by
// ProgID, or the object itself.
HRESULT PageObject(const outlook::PageEntry& e, IDispatch** page) {
    *page = nullptr;
    if (e.page.vt == VT_BSTR && e.page.bstrVal) {
        CLSID clsid{};
        HRESULT hr = CLSIDFromProgID(e.page.bstrVal, &clsid);
        if (SUCCEEDED(hr))
            hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                  reinterpret_cast<void**>(page));
        return hr;
    }
    if (e.page.vt == VT_DISPATCH && e.page.pdispVal) {
        *page = e.page.pdispVal;
        (*page)->AddRef();
        return S_OK;
    }
    if (e.page.vt == VT_UNKNOWN && e.page.punkVal)
        return e.page.punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(page));
    return E_INVALIDARG;
}

// Clicks control id of a page's window as its user would (a SysLink's
// first link, else a button); false when the control takes no input.
bool ClickControl(HWND control) {
    WCHAR name[32] = {};
    GetClassNameW(control, name, 32);
    if (std::wstring(name) == WC_LINK)
        return win::ClickLink(control, 0);
    return win::ClickButton(control);
}

// One page of a dialog, as the client's dialog shows it and as the user
// acts on it: created, shown in the dialog (HostDialog), its fields set (the
// add-in's pages through their controls, PageDriver.h; another page through
// its IDispatch by name), its controls clicked, applied. Marks the fields
// and controls it had in request; false when something failed.
bool ShowPage(const outlook::PageEntry& e, DialogRequest& request, std::ostringstream& out) {
    CComPtr<IDispatch> page;
    HRESULT hr = PageObject(e, &page);
    if (FAILED(hr) || !page) {
        out << "  cannot be created: " << ErrorText(FAILED(hr) ? hr : E_POINTER) << "\n";
        return false;
    }
    const bool byProgId = e.page.vt == VT_BSTR && e.page.bstrVal;
    const std::wstring progId = byProgId ? std::wstring(e.page.bstrVal) : L"";
    const bool driven = DrivesPage(progId);
    HostDialog dialog(byProgId ? progId : L"Dialog");
    HWND window = dialog.Show(page);
    const int changesBefore = dialog.StatusChanges();
    bool ok = true;
    for (std::size_t i = 0; i < request.sets.size(); ++i) {
        const auto& [name, value] = request.sets[i];
        if (driven) {
            if (!PageHasField(progId, name))
                continue;
            hr = window ? SetPageField(window, progId, name, value) : E_FAIL;
        } else {
            DISPID id = 0;
            OLECHAR* names[] = {const_cast<OLECHAR*>(name.c_str())};
            if (FAILED(page->GetIDsOfNames(IID_NULL, names, 1, 0, &id)))
                continue;
            hr = com::PutProperty(page, id, CComVariant(value.c_str()));
        }
        request.setUsed[i] = true;
        out << "  " << win::ToUtf8(name) << " = " << win::ToUtf8(value)
            << (SUCCEEDED(hr) ? "" : " refused: " + ErrorText(hr)) << "\n";
        ok = ok && SUCCEEDED(hr);
    }
    for (std::size_t i = 0; i < request.clicks.size(); ++i) {
        HWND control = window ? GetDlgItem(window, request.clicks[i]) : nullptr;
        if (!control)
            continue;
        request.clickUsed[i] = true;
        bool clicked = ClickControl(control);
        out << "  " << (clicked ? "clicked " : "cannot click (disabled) ") << request.clicks[i]
            << "\n";
        ok = ok && clicked;
    }
    if (dialog.StatusChanges() > changesBefore)
        out << "  status changed\n";
    CComQIPtr<PropertyPage> pageView(page);
    if (request.apply && pageView) {
        VARIANT_BOOL dirty = VARIANT_FALSE;
        pageView->get_Dirty(&dirty);
        if (dirty != VARIANT_FALSE) {
            hr = pageView->Apply();
            out << "  applied" << (SUCCEEDED(hr) ? "" : " with error " + ErrorText(hr)) << "\n";
            ok = ok && SUCCEEDED(hr);
        } else {
            out << "  nothing to apply\n";
        }
    }
    dialog.Close();
    return ok;
}

struct Watch {
    _ItemsPtr items;
    CComPtr<LoggingItemsSink> sink;
    DWORD cookie = 0;
};

class Runner {
public:
    explicit Runner(OutlookHost& host) : m_host(host), m_app(*host.Application()) {}

    MAPIFolderPtr Root() { return m_app.NameSpace()->GetDefaultStore()->GetRootFolder(); }

    // The folder of a path like "Inbox/Projects"; null with *error.
    MAPIFolderPtr FolderOf(const std::string& path, std::string* error) {
        MAPIFolderPtr folder = Root();
        std::wstring rest = win::FromUtf8(path);
        while (!rest.empty()) {
            std::size_t slash = rest.find(L'/');
            std::wstring name = rest.substr(0, slash);
            rest = slash == std::wstring::npos ? L"" : rest.substr(slash + 1);
            if (name.empty())
                continue;
            MAPIFolder* child = nullptr;
            _FoldersPtr folders = folder->GetFolders();
            if (FAILED(folders->raw_Item(CComVariant(name.c_str()), &child)) || !child) {
                *error = "no folder \"" + path + "\" (see: outlook-host list)";
                return {};
            }
            folder = MAPIFolderPtr(child);
            child->Release();
        }
        return folder;
    }

    IDispatchPtr ItemOf(MAPIFolder* folder, const std::string& index, std::string* error) {
        char* end = nullptr;
        long n = std::strtol(index.c_str(), &end, 10);
        _ItemsPtr items = folder->GetItems();
        IDispatch* item = nullptr;
        if (index.empty() || *end || n < 1 ||
            FAILED(items->raw_Item(CComVariant(static_cast<LONG>(n)), &item)) || !item) {
            *error = "no item " + index + " in the folder (it has " +
                     std::to_string(items->GetCount()) + ")";
            return {};
        }
        IDispatchPtr result(item);
        item->Release();
        return result;
    }

    void ListTree(MAPIFolder* folder, int depth, std::ostringstream& out) {
        _FoldersPtr folders = folder->GetFolders();
        for (LONG i = 1; i <= folders->GetCount(); ++i) {
            MAPIFolderPtr child = folders->Item(CComVariant(i));
            out << std::string(depth * 2, ' ') << Utf8(child->GetName()) << " ("
                << child->GetItems()->GetCount() << ")\n";
            ListTree(child, depth + 1, out);
        }
    }

    CommandResult List(const std::vector<std::string>& args) {
        Parsed p = Parse(args, {}, {"ids"});
        if (!p.error.empty() || p.positional.size() > 1 || (p.Has("ids") && p.positional.empty()))
            return Usage(p, "list [FOLDER [--ids]]");
        std::ostringstream out;
        if (p.positional.empty()) {
            ListTree(Root(), 0, out);
            return {true, out.str()};
        }
        std::string error;
        MAPIFolderPtr folder = FolderOf(p.positional[0], &error);
        if (!folder)
            return Fail(error);
        // The folder's own ids, as the add-in's registry settings name a folder.
        if (p.Has("ids"))
            out << "EntryID: " << Utf8(folder->GetEntryID())
                << "\nStoreID: " << Utf8(folder->GetStoreID()) << "\n";
        _ItemsPtr items = folder->GetItems();
        for (LONG i = 1; i <= items->GetCount(); ++i) {
            IDispatchPtr raw(items->Item(CComVariant(i)));
            ItemView item(raw);
            out << i << "\t" << item.Utf8Text(outlook::dispid::kSubject) << "\t"
                << item.Utf8Text(outlook::dispid::kEntryID) << "\n";
        }
        return {true, out.str()};
    }

    CommandResult Add(const std::vector<std::string>& args) {
        Parsed p = Parse(args, {"subject", "body", "class"}, {});
        if (!p.error.empty() || p.positional.size() != 1 || !p.Has("subject"))
            return Usage(p, "add FOLDER --subject S [--body B] [--class C]");
        std::string error;
        MAPIFolderPtr folder = FolderOf(p.positional[0], &error);
        if (!folder)
            return Fail(error);
        IDispatch* raw = nullptr;
        CComVariant type;
        if (p.Has("class"))
            type = CComVariant(win::FromUtf8(p.Get("class")).c_str());
        _ItemsPtr items = folder->GetItems();
        HRESULT hr = items->raw_Add(type, &raw);
        if (FAILED(hr) || !raw)
            return Fail("cannot add an item to " + p.positional[0] + ": " + ErrorText(hr));
        ItemView item(raw);
        raw->Release();
        item.Put(outlook::dispid::kSubject, p.Get("subject"));
        if (p.Has("body"))
            item.Put(outlook::dispid::kBody, p.Get("body"));
        hr = item.Call(outlook::dispid::kSave);
        if (FAILED(hr))
            return Fail("cannot save the item: " + ErrorText(hr));
        // Where list shows it.
        const std::string entryId = item.Utf8Text(outlook::dispid::kEntryID);
        LONG position = 0;
        for (LONG i = 1; i <= items->GetCount() && position == 0; ++i) {
            if (ItemView(IDispatchPtr(items->Item(CComVariant(i))))
                    .Utf8Text(outlook::dispid::kEntryID) == entryId)
                position = i;
        }
        return {true, "added " + item.Utf8Text(outlook::dispid::kSubject) + " (" +
                          item.Utf8Text(outlook::dispid::kMessageClass) + ") as item " +
                          std::to_string(position) + " of " + p.positional[0] + ", entry id " +
                          entryId + "\n"};
    }

    CommandResult Change(const std::vector<std::string>& args) {
        Parsed p = Parse(args, {"subject", "body"}, {});
        if (!p.error.empty() || p.positional.size() != 2 || (!p.Has("subject") && !p.Has("body")))
            return Usage(p, "change FOLDER N [--subject S] [--body B]");
        std::string error;
        MAPIFolderPtr folder = FolderOf(p.positional[0], &error);
        IDispatchPtr item = folder ? ItemOf(folder, p.positional[1], &error) : IDispatchPtr();
        if (!item)
            return Fail(error);
        ItemView view(item);
        if (p.Has("subject"))
            view.Put(outlook::dispid::kSubject, p.Get("subject"));
        if (p.Has("body"))
            view.Put(outlook::dispid::kBody, p.Get("body"));
        HRESULT hr = view.Call(outlook::dispid::kSave);
        if (FAILED(hr))
            return Fail("cannot save the item: " + ErrorText(hr));
        return {true, "changed " + view.Utf8Text(outlook::dispid::kSubject) + "\n"};
    }

    CommandResult Delete(const std::vector<std::string>& args) {
        Parsed p = Parse(args, {}, {});
        if (!p.error.empty() || p.positional.size() != 2)
            return Usage(p, "delete FOLDER N");
        std::string error;
        MAPIFolderPtr folder = FolderOf(p.positional[0], &error);
        IDispatchPtr item = folder ? ItemOf(folder, p.positional[1], &error) : IDispatchPtr();
        if (!item)
            return Fail(error);
        ItemView view(item);
        std::string subject = view.Utf8Text(outlook::dispid::kSubject);
        HRESULT hr = view.Call(outlook::dispid::kDelete);
        if (FAILED(hr))
            return Fail("cannot delete the item: " + ErrorText(hr));
        return {true, "deleted " + subject + "\n"};
    }

    CommandResult Show(const std::vector<std::string>& args) {
        Parsed p = Parse(args, {}, {});
        if (!p.error.empty() || p.positional.size() != 2)
            return Usage(p, "show FOLDER N");
        std::string error;
        MAPIFolderPtr folder = FolderOf(p.positional[0], &error);
        IDispatchPtr item = folder ? ItemOf(folder, p.positional[1], &error) : IDispatchPtr();
        if (!item)
            return Fail(error);
        ItemView view(item);
        std::ostringstream out;
        out << "Subject: " << view.Utf8Text(outlook::dispid::kSubject) << "\n"
            << "Class: " << view.Utf8Text(outlook::dispid::kMessageClass) << "\n"
            << "EntryID: " << view.Utf8Text(outlook::dispid::kEntryID) << "\n";
        // Recipients and attachments from the saved message.
        CComQIPtr<IQmMapiMessage> message(view.MapiObject());
        if (message) {
            message->AccessMessage([&](store::Message& m) {
                for (const auto& r : m.Recipients()) {
                    std::wstring address =
                        transport::PropText(r, mapi::PR_SMTP_ADDRESS)
                            .value_or(transport::PropText(r, mapi::PR_EMAIL_ADDRESS).value_or(L""));
                    out << "To: " << win::ToUtf8(address) << "\n";
                }
                for (const auto& a : m.Attachments()) {
                    out << "Attachment: "
                        << win::ToUtf8(transport::PropText(a.props, mapi::PR_ATTACH_LONG_FILENAME)
                                           .value_or(L""))
                        << " (" << a.data.size() << " bytes)\n";
                }
                return S_OK;
            });
        }
        out << "\n" << view.Utf8Text(outlook::dispid::kBody) << "\n";
        return {true, out.str()};
    }

    CommandResult Open(const std::vector<std::string>& args) {
        Parsed p = Parse(args, {}, {});
        if (!p.error.empty() || p.positional.size() != 2)
            return Usage(p, "open FOLDER N");
        std::string error;
        MAPIFolderPtr folder = FolderOf(p.positional[0], &error);
        IDispatchPtr item = folder ? ItemOf(folder, p.positional[1], &error) : IDispatchPtr();
        if (!item)
            return Fail(error);
        std::wstring caption = ItemView(item).Text(outlook::dispid::kSubject);
        HRESULT hr = m_app.OpenInspector(item, caption + L" - Message");
        if (FAILED(hr))
            return Fail("cannot open the item: " + ErrorText(hr));
        return {true, "opened " + win::ToUtf8(caption) + "\n"};
    }

    CommandResult Send(const std::vector<std::string>& args) {
        Parsed p = Parse(args, {"to", "subject", "body", "attach"}, {"delete-after-submit"});
        if (!p.error.empty() || !p.positional.empty() || !p.Has("to"))
            return Usage(p,
                         "send --to A[;B] [--subject S] [--body B] [--attach FILE]... "
                         "[--delete-after-submit]");
        // Without a post office a sent mail would only wait in the Outbox.
        if (m_host.Options().postOffice.empty())
            return Fail(
                "this host runs without a post office, so no mail can leave "
                "(run it with --postoffice DIR)");
        auto create = [](const wchar_t* progId, REFIID iid, void** out) {
            CLSID clsid{};
            HRESULT hr = CLSIDFromProgID(progId, &clsid);
            return SUCCEEDED(hr) ? CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out)
                                 : hr;
        };
        CComPtr<QMRRDOSession> session;
        HRESULT hr = create(L"QuillmereRDOx.QMRRDOSession", IID_QMRRDOSession,
                            reinterpret_cast<void**>(&session));
        if (FAILED(hr))
            return Fail("the helper library cannot be created: " + ErrorText(hr));
        hr = session->PutMAPIOBJECT(m_app.NameSpace()->GetMAPIOBJECT());
        CComPtr<QMRMAPIFolder> outbox;
        CComPtr<QMRItems> items;
        CComPtr<QMRMessage> mail;
        if (SUCCEEDED(hr))
            hr = session->GetDefaultFolder(4, &outbox);
        if (SUCCEEDED(hr))
            hr = outbox->GetItems(&items);
        if (SUCCEEDED(hr))
            hr = items->Add(CComVariant(L"IPM.Note"), &mail);
        if (FAILED(hr))
            return Fail("cannot make a mail in the Outbox: " + ErrorText(hr));
        mail->PutSubject(CComBSTR(win::FromUtf8(p.Get("subject")).c_str()));
        mail->PutBody(CComBSTR(win::FromUtf8(p.Get("body")).c_str()));
        mail->PutTo(CComBSTR(win::FromUtf8(p.Get("to")).c_str()));
        if (p.Has("delete-after-submit"))
            mail->PutDeleteAfterSubmit(VARIANT_TRUE);
        CComPtr<QMRAttachments> attachments;
        mail->GetAttachments(&attachments);
        auto range = p.options.equal_range("attach");
        for (auto it = range.first; it != range.second; ++it) {
            CComPtr<QMRAttachment> added;
            std::wstring path = win::WindowsPath(it->second);
            hr = attachments->Add(CComBSTR(path.c_str()), CComVariant(), CComVariant(),
                                  CComVariant(), &added);
            if (FAILED(hr))
                return Fail("cannot attach " + it->second + ": " + ErrorText(hr));
        }
        hr = mail->ResolveRecipients(0, nullptr);
        if (FAILED(hr))
            return Fail("cannot address the mail: " + UnknownRecipients(p.Get("to")) + " (" +
                        ErrorText(hr) + ")");
        hr = mail->Save();
        if (FAILED(hr))
            return Fail("cannot save the mail in the Outbox: " + ErrorText(hr));
        CComPtr<QMRSafeMailItem> safe;
        hr = create(L"QuillmereRDOx.QMRSafeMailItem", IID_QMRSafeMailItem,
                    reinterpret_cast<void**>(&safe));
        if (SUCCEEDED(hr))
            hr = safe->PutItem(mail);
        if (SUCCEEDED(hr))
            hr = safe->Send();
        if (FAILED(hr))
            return Fail("the mail was not sent: " + ErrorText(hr) + "; it waits in the Outbox");
        return {true, "sent " + p.Get("subject") + " to " + p.Get("to") + "\n"};
    }

    // The dialog shows each page that was added: a page given by ProgID is
    // created; a page control (IOleObject) gets a client site ("status
    // changed" says that it reported a change on it) and is shown in the
    // dialog's tab; each --set NAME=VALUE is put on every page that knows
    // NAME (IDispatch by name); each --click ID clicks the control of that id
    // on every page that has it; --apply applies the pages that are dirty.
    // Fails when no page was added, when no page knows a field or control,
    // or when a page refuses a value or cannot be created.
    CommandResult Dialog(const std::string& dialog, const std::string& noPageHint,
                         outlook::PropertyPageList* list, const Parsed& p) {
        DialogRequest request;
        if (std::optional<CommandResult> wrong = ParseDialog(p, &request))
            return *wrong;
        std::vector<outlook::PageEntry> entries = list->Entries();
        if (entries.empty())
            return Fail("no add-in added a page to the " + dialog + " (" + noPageHint + ")");
        std::ostringstream out;
        AnswerDialogs answering(request.answer, out);
        bool failed = false;
        for (const auto& e : entries) {
            bool byProgId = e.page.vt == VT_BSTR && e.page.bstrVal;
            out << (byProgId ? win::ToUtf8(e.page.bstrVal) : "(page object)") << "\t"
                << win::ToUtf8(e.title) << "\n";
            if (request.sets.empty() && request.clicks.empty() && !request.apply)
                continue;
            failed |= !ShowPage(e, request, out);
        }
        for (std::size_t i = 0; i < request.sets.size(); ++i) {
            if (!request.setUsed[i]) {
                out << "no page has a field " << win::ToUtf8(request.sets[i].first) << "\n";
                failed = true;
            }
        }
        for (std::size_t i = 0; i < request.clicks.size(); ++i) {
            if (!request.clickUsed[i]) {
                out << "no page has a control " << request.clicks[i] << "\n";
                failed = true;
            }
        }
        return {!failed, out.str()};
    }

    CommandResult Options(const std::vector<std::string>& args) {
        Parsed p = Parse(args, {"set", "click", "answer"}, {"apply"});
        if (!p.error.empty() || !p.positional.empty())
            return Usage(p,
                         "options [--set NAME=VALUE]... [--click ID]... [--apply] "
                         "[--answer BUTTON]");
        outlook::PropertyPageList* list = nullptr;
        CComPtr<PropertyPages> pages = outlook::CreatePropertyPages(&list);
        m_app.FireOptionsPagesAdd(pages);
        return Dialog("Options dialog", "is an add-in installed for this profile?", list, p);
    }

    CommandResult Props(const std::vector<std::string>& args) {
        Parsed p = Parse(args, {"set", "click", "answer"}, {"apply"});
        if (!p.error.empty() || p.positional.size() != 1)
            return Usage(p,
                         "props FOLDER [--set NAME=VALUE]... [--click ID]... [--apply] "
                         "[--answer BUTTON]");
        std::string error;
        MAPIFolderPtr folder = FolderOf(p.positional[0], &error);
        if (!folder)
            return Fail(error);
        outlook::PropertyPageList* list = nullptr;
        CComPtr<PropertyPages> pages = outlook::CreatePropertyPages(&list);
        m_app.FireFolderOptionsPagesAdd(pages, folder);
        return Dialog("Properties dialog of " + p.positional[0],
                      "is an add-in installed for this profile, and has it started? An add-in "
                      "may also leave a folder without its page",
                      list, p);
    }

    // picture options FILE | props FOLDER FILE | progress FILE | logviewer FILE
    CommandResult Picture(const std::vector<std::string>& args) {
        Parsed p = Parse(args, {"hover", "page"}, {"errorlog"});
        const std::string usage =
            "picture options FILE.png [--hover ID] [--page PROGID] | props FOLDER FILE.png "
            "[--hover ID] [--page PROGID] | progress FILE.png | logviewer FILE.png [--errorlog]";
        if (!p.error.empty() || p.positional.empty())
            return Usage(p, usage);
        const std::string& what = p.positional[0];
        const std::size_t files = what == "props" ? 3 : 2;
        if (p.positional.size() != files)
            return Usage(p, usage);
        const std::string& file = p.positional.back();
        std::string error;
        if (what == "progress") {
            if (!SaveProgressPicture(file, &error))
                return Fail(error);
            return {true, "saved the progress window to " + file + "\n"};
        }
        if (what == "logviewer") {
            if (!SaveLogViewerPicture(file, p.Has("errorlog"), 1000, 30, &error))
                return Fail(error);
            return {true, "saved the log viewer's window to " + file + "\n"};
        }
        if (what != "options" && what != "props")
            return Usage(p, usage);
        PagePictureRequest request;
        request.path = file;
        request.progId = win::FromUtf8(p.Get("page"));
        if (p.Has("hover")) {
            const std::string hover = p.Get("hover");
            char* end = nullptr;
            const long id = std::strtol(hover.c_str(), &end, 10);
            if (hover.empty() || *end || id <= 0 || id > 0xFFFF)
                return Usage("--hover takes a control id, not \"" + hover + "\"");
            request.hoverControl = static_cast<int>(id);
        }
        outlook::PropertyPageList* list = nullptr;
        CComPtr<PropertyPages> pages = outlook::CreatePropertyPages(&list);
        if (what == "options") {
            request.dialogCaption = L"Options";
            m_app.FireOptionsPagesAdd(pages);
        } else {
            MAPIFolderPtr folder = FolderOf(p.positional[1], &error);
            if (!folder)
                return Fail(error);
            request.dialogCaption = std::wstring(folder->GetName().View()) + L" Properties";
            m_app.FireFolderOptionsPagesAdd(pages, folder);
        }
        std::string shown;
        if (!SavePagePicture(list, request, &shown, &error))
            return Fail(error);
        return {true, "saved " + shown + " to " + file + "\n"};
    }

    CommandResult Tray(const std::vector<std::string>& args) {
        Parsed p = Parse(args, {}, {"double-click"});
        if (!p.error.empty() || !p.positional.empty())
            return Usage(p,
                         "tray [--double-click] (a double-click on the add-in's icon pauses or "
                         "resumes the add-in)");
        std::ostringstream out;
        for (const auto& icon : win::TrayIcons()) {
            out << "icon " << icon.id << (icon.hidden ? " hidden" : "") << "\t"
                << win::ToUtf8(icon.tip) << "\n";
            if (p.Has("double-click") && !icon.hidden) {
                BOOL ok = win::SimulateTrayMouse(icon.hwnd, icon.id, kWmLButtonDblClk);
                out << (ok ? "  double-clicked\n" : "  cannot be clicked\n");
            }
        }
        if (out.str().empty())
            out << "no tray icons\n";
        return {true, out.str()};
    }

    CommandResult MakeFolder(const std::vector<std::string>& args) {
        Parsed p = Parse(args, {}, {});
        if (!p.error.empty() || p.positional.size() != 2)
            return Usage(p, "folder PARENT NAME (PARENT \"\" is the top)");
        std::string error;
        MAPIFolderPtr parent = FolderOf(p.positional[0], &error);
        if (!parent)
            return Fail(error);
        MAPIFolder* made = nullptr;
        HRESULT hr = parent->GetFolders()->raw_Add(CComBSTR(win::FromUtf8(p.positional[1]).c_str()),
                                                   CComVariant(), &made);
        if (FAILED(hr) || !made)
            return Fail("cannot make the folder " + p.positional[1] + ": " + ErrorText(hr));
        made->Release();
        return {true, "made folder " + p.positional[1] + "\n"};
    }

    CommandResult Rule(const std::vector<std::string>& args) {
        Parsed p = Parse(args, {"subject-contains", "move-to"}, {});
        if (!p.error.empty() || p.positional.size() != 1 || !p.Has("subject-contains") ||
            !p.Has("move-to"))
            return Usage(p, "rule NAME --subject-contains TEXT --move-to FOLDER");
        std::string error;
        MAPIFolderPtr target = FolderOf(p.Get("move-to"), &error);
        if (!target)
            return Fail(error);
        _RulesPtr rules = m_app.NameSpace()->GetDefaultStore()->GetRules();
        _RulePtr rule = rules->Create(win::FromUtf8(p.positional[0]).c_str(), olRuleReceive);
        _TextRuleConditionPtr subject = rule->GetConditions()->GetSubject();
        HRESULT hr = subject->put_Enabled(VARIANT_TRUE);
        if (SUCCEEDED(hr))
            hr = subject->put_Text(CComVariant(win::FromUtf8(p.Get("subject-contains")).c_str()));
        _MoveOrCopyRuleActionPtr move = rule->GetActions()->GetMoveToFolder();
        if (SUCCEEDED(hr))
            hr = move->put_Enabled(VARIANT_TRUE);
        if (SUCCEEDED(hr))
            hr = move->put_Folder(target);
        if (SUCCEEDED(hr))
            hr = rules->raw_Save(CComVariant());
        if (FAILED(hr))
            return Fail("cannot save the rule: " + ErrorText(hr));
        return {true, "rule " + p.positional[0] + " saved\n"};
    }

    // The path of a folder as FolderOf reads it ("Inbox/Projects"), "" for
    // the top folder.
    std::string PathOf(MAPIFolder* folder) {
        const std::wstring top = Root()->GetEntryID().View().data();
        std::string path;
        MAPIFolderPtr f(folder);
        while (f && std::wstring(f->GetEntryID().View()) != top) {
            std::string name = Utf8(f->GetName());
            path = path.empty() ? name : name + "/" + path;
            f = MAPIFolderPtr(static_cast<IUnknown*>(f->GetParent()));
        }
        return path;
    }

    CommandResult Rules(const std::vector<std::string>& args) {
        Parsed p = Parse(args, {}, {});
        if (!p.error.empty() || !p.positional.empty())
            return Usage(p, "rules");
        _RulesPtr rules = m_app.NameSpace()->GetDefaultStore()->GetRules();
        std::ostringstream out;
        for (LONG i = 1; i <= rules->GetCount(); ++i) {
            _RulePtr rule = rules->Item(CComVariant(i));
            VARIANT_BOOL enabled = VARIANT_FALSE;
            OlRuleType type = olRuleReceive;
            rule->get_Enabled(&enabled);
            rule->get_RuleType(&type);
            out << i << "\t" << Utf8(rule->GetName()) << "\t"
                << (type == olRuleReceive ? "receive" : "send")
                << (enabled != VARIANT_FALSE ? "" : " (disabled)") << "\n";
            _RuleConditionsPtr conditions = rule->GetConditions();
            const struct {
                const char* what;
                HRESULT (_RuleConditions::*get)(_TextRuleCondition**);
            } kinds[] = {{"subject", &_RuleConditions::get_Subject},
                         {"body", &_RuleConditions::get_Body},
                         {"body or subject", &_RuleConditions::get_BodyOrSubject}};
            for (const auto& [what, get] : kinds) {
                _TextRuleCondition* raw = nullptr;
                HRESULT hr = (conditions.p->*get)(&raw);
                _TextRuleConditionPtr condition;
                condition.Attach(raw);
                VARIANT_BOOL on = VARIANT_FALSE;
                if (FAILED(hr) || !condition || FAILED(condition->get_Enabled(&on)) ||
                    on == VARIANT_FALSE)
                    continue;
                out << "  " << what << " contains " << ConditionTexts(condition) << "\n";
            }
            _MoveOrCopyRuleActionPtr move = rule->GetActions()->GetMoveToFolder();
            VARIANT_BOOL moves = VARIANT_FALSE;
            MAPIFolderPtr target;
            if (SUCCEEDED(move->get_Enabled(&moves)) && moves != VARIANT_FALSE &&
                SUCCEEDED(move->get_Folder(&target)) && target)
                out << "  moves to " << PathOf(target) << "\n";
        }
        return {true, out.str()};
    }

    // "a" or "b", as a condition's texts read.
    static std::string ConditionTexts(_TextRuleCondition* condition) {
        CComVariant texts;
        if (FAILED(condition->get_Text(&texts)) || !(texts.vt & VT_ARRAY) || !texts.parray)
            return "(nothing)";
        LONG low = 0, high = -1;
        SafeArrayGetLBound(texts.parray, 1, &low);
        SafeArrayGetUBound(texts.parray, 1, &high);
        std::string joined;
        for (LONG i = low; i <= high; ++i) {
            CComVariant text;
            SafeArrayGetElement(texts.parray, &i, &text);
            if (text.vt != VT_BSTR)
                continue;
            joined += (joined.empty() ? "\"" : " or \"") + win::ToUtf8(text.bstrVal) + "\"";
        }
        return joined;
    }

    CommandResult WatchFolder(const std::vector<std::string>& args,
                              std::map<std::string, Watch>* watches) {
        Parsed p = Parse(args, {}, {});
        if (!p.error.empty() || p.positional.size() != 1)
            return Usage(p, args[0] + " FOLDER");
        const std::string& path = p.positional[0];
        if (args[0] == "unwatch") {
            auto it = watches->find(path);
            if (it == watches->end())
                return Fail("the folder " + path + " is not watched");
            com::Unadvise(it->second.items, IID_ItemsEvents, it->second.cookie);
            watches->erase(it);
            return {true, "stopped watching " + path + "\n"};
        }
        if (watches->count(path))
            return {true, "watching " + path + " already\n"};
        std::string error;
        MAPIFolderPtr folder = FolderOf(path, &error);
        if (!folder)
            return Fail(error);
        Watch w;
        w.items = folder->GetItems();
        w.sink = new LoggingItemsSink(m_host, path);
        HRESULT hr =
            com::Advise(w.items, IID_ItemsEvents, static_cast<IDispatch*>(w.sink), &w.cookie);
        if (FAILED(hr))
            return Fail("cannot advise the folder's items: " + ErrorText(hr));
        (*watches)[path] = std::move(w);
        return {true, "watching " + path + "\n"};
    }

    CommandResult Log() {
        std::ostringstream out;
        for (const auto& line : m_host.EventLog())
            out << line << "\n";
        return {true, out.str()};
    }

private:
    OutlookHost& m_host;
    outlook::OutlookApplication& m_app;
};

}  // namespace

struct HostCommands::Watches {
    std::map<std::string, Watch> map;
};

HostCommands::HostCommands(OutlookHost& host) : m_host(host), m_watches(new Watches()) {}

HostCommands::~HostCommands() = default;

void HostCommands::ReleaseAll() {
    for (auto& [path, w] : m_watches->map)
        com::Unadvise(w.items, IID_ItemsEvents, w.cookie);
    m_watches->map.clear();
}

CommandResult HostCommands::Execute(const std::vector<std::string>& args) {
    if (args.empty())
        return Fail("no command");
    if (!m_host.Application())
        return Fail("the client is closing");
    Runner runner(m_host);
    const std::string& c = args[0];
    try {
        if (c == "list")
            return runner.List(args);
        if (c == "add")
            return runner.Add(args);
        if (c == "change")
            return runner.Change(args);
        if (c == "delete")
            return runner.Delete(args);
        if (c == "show")
            return runner.Show(args);
        if (c == "open")
            return runner.Open(args);
        if (c == "send")
            return runner.Send(args);
        if (c == "options")
            return runner.Options(args);
        if (c == "props")
            return runner.Props(args);
        if (c == "tray")
            return runner.Tray(args);
        if (c == "picture")
            return runner.Picture(args);
        if (c == "log")
            return runner.Log();
        if (c == "folder")
            return runner.MakeFolder(args);
        if (c == "rule")
            return runner.Rule(args);
        if (c == "rules")
            return runner.Rules(args);
        if (c == "watch" || c == "unwatch")
            return runner.WatchFolder(args, &m_watches->map);
        if (c == "crash-at") {
            // Test tooling: the process ends by SIGKILL just before the step.
            std::string point = args.size() > 1 ? args[1] : "";
            if (!win::ArmCrashPoint(point))
                return Fail("crash-at: no crash point \"" + point + "\" (KIND[:TEXT][#N])");
            return {true, point.empty() ? "disarmed\n" : "armed " + point + "\n"};
        }
        if (c == "quit") {
            if (args.size() == 1)
                return {true, "quitting\n", true};
            if (args.size() != 3 || args[1] != "--crash-at")
                return Usage("quit: only --crash-at POINT may follow");
            // Checked now, armed by the host as Quit begins.
            if (!win::ArmCrashPoint(args[2]) || !win::ArmCrashPoint(""))
                return Usage("quit: no crash point \"" + args[2] + "\" (KIND[:TEXT][#N])");
            CommandResult quitting{true, "quitting, crash point " + args[2] + " armed at Quit\n",
                                   true};
            quitting.crashAtQuit = args[2];
            return quitting;
        }
    } catch (const _com_error& e) {
        return Fail(c + " failed: " + ErrorText(e.Error()));
    }
    return Usage(
        "unknown command \"" + c +
        "\" (list, add, change, delete, show, open, send, folder, rule, rules, watch, unwatch, "
        "options, props, picture, tray, log, crash-at, quit)");
}

}  // namespace host

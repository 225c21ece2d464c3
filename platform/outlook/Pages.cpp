// The dialog-side objects of property pages: the PropertyPages collection
// the OptionsPagesAdd handlers fill, and the page site.
#include "platform/com/OleObject.h"
#include "platform/outlook/ObjectModel.h"

namespace outlook {
namespace {

constexpr impl::NameId kPagesNames[] = {
    {L"Count", dispid::kCount}, {L"Add", dispid::kAdd}, {L"Remove", dispid::kRemove}};

class PropertyPagesObject final : public com::ComObject<PropertyPagesObject, PropertyPages>,
                                  public PropertyPageList {
public:
    QM_OUTLOOK_DISPATCH_MEMBERS(kPagesNames)

    HRESULT get_Count(LONG* count) override {
        if (!count)
            return E_POINTER;
        win::MutexLock lock(m_mutex);
        *count = static_cast<LONG>(m_entries.size());
        return S_OK;
    }
    HRESULT Add(VARIANT page, BSTR title) override {
        bool progId = page.vt == VT_BSTR && SysStringLen(page.bstrVal) > 0;
        bool object = (page.vt == VT_DISPATCH || page.vt == VT_UNKNOWN) && page.punkVal;
        if (!progId && !object)
            return E_INVALIDARG;
        PageEntry entry;
        entry.page = page;
        entry.title = title ? title : L"";
        win::MutexLock lock(m_mutex);
        m_entries.push_back(std::move(entry));
        return S_OK;
    }
    HRESULT Remove(VARIANT index) override {
        LONG number = 0;
        if (FAILED(impl::ArgLong(&index, &number)))
            return DISP_E_TYPEMISMATCH;
        win::MutexLock lock(m_mutex);
        if (number < 1 || static_cast<std::size_t>(number) > m_entries.size())
            return DISP_E_BADINDEX;
        m_entries.erase(m_entries.begin() + (number - 1));
        return S_OK;
    }

    std::vector<PageEntry> Entries() const override {
        win::MutexLock lock(m_mutex);
        return m_entries;
    }

private:
    HRESULT InvokeMember(DISPID id, WORD flags, const impl::InvokeArgs& args, VARIANT* result) {
        if (!impl::IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        switch (id) {
            case dispid::kCount: {
                LONG v = 0;
                HRESULT hr = get_Count(&v);
                return impl::ResultLong(result, hr, v);
            }
            case dispid::kAdd: {
                CComBSTR title;
                if (!args.At(0))
                    return DISP_E_BADPARAMCOUNT;
                if (args.At(1) && FAILED(impl::ArgText(args.At(1), title)))
                    return DISP_E_TYPEMISMATCH;
                return Add(*args.At(0), title);
            }
            case dispid::kRemove:
                return args.At(0) ? Remove(*args.At(0)) : DISP_E_BADPARAMCOUNT;
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    mutable win::Mutex m_mutex;
    std::vector<PageEntry> m_entries GUARDED_BY(m_mutex);
};

constexpr impl::NameId kSiteNames[] = {{L"OnStatusChange", 0x2100}};

class PageSiteObject final
    : public com::ComObject<PageSiteObject, PropertyPageSite, IOleClientSite> {
public:
    explicit PageSiteObject(std::function<void()> onStatusChange)
        : m_onStatusChange(std::move(onStatusChange)) {}
    QM_OUTLOOK_DISPATCH_MEMBERS(kSiteNames)

    HRESULT OnStatusChange() override {
        if (m_onStatusChange)
            m_onStatusChange();
        return S_OK;
    }

private:
    HRESULT InvokeMember(DISPID id, WORD flags, const impl::InvokeArgs&, VARIANT*) {
        if (id == 0x2100 && impl::IsGet(flags))
            return OnStatusChange();
        return DISP_E_MEMBERNOTFOUND;
    }
    const std::function<void()> m_onStatusChange;
};

}  // namespace

CComPtr<PropertyPages> CreatePropertyPages(PropertyPageList** view) {
    auto pages = com::Make<PropertyPagesObject>();
    if (view)
        *view = pages.p;
    return CComPtr<PropertyPages>(static_cast<PropertyPages*>(pages.p));
}

CComPtr<PropertyPageSite> CreatePropertyPageSite(std::function<void()> onStatusChange) {
    return com::Make<PageSiteObject, PropertyPageSite>(std::move(onStatusChange));
}

}  // namespace outlook

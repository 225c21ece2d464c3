// QMRMAPIUtils: property access on any object of the library (and on the
// MAPIOBJECT of the mail client's items), named-property ids, id and time
// conversions, and the address book's pick dialog. Owner thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/rdo/RdoObject.h"

namespace rdo {

// Answers the modal pick dialog (the host's message-box hook or a test):
// given the title, fill chosen with names or addresses; S_OK, or
// MAPI_E_USER_CANCEL. Without a hook the dialog is cancelled. Any thread.
using AddressBookDialogHook =
    std::function<HRESULT(const std::wstring& title, std::vector<std::wstring>* chosen)>;
void SetAddressBookDialogHook(AddressBookDialogHook hook);

// The library's version text.
inline constexpr wchar_t kRdoVersion[] = L"5.0.0.1";

class RdoUtils final : public RdoObject<RdoUtils, QMRMAPIUtils> {
public:
    HRESULT HrGetOneProp(IUnknown* object, ULONG tag, VARIANT* value) override;
    HRESULT HrSetOneProp(IUnknown* object, ULONG tag, VARIANT value, VARIANT_BOOL save) override;
    HRESULT GetIDsFromNames(IUnknown* object, BSTR propertySet, VARIANT name, VARIANT_BOOL create,
                            ULONG* tag) override;
    HRESULT CompareEntryIDs(BSTR entryId1, BSTR entryId2, VARIANT_BOOL* same) override;
    HRESULT BinaryToText(VARIANT binary, BSTR* text) override;
    HRESULT TextToBinary(BSTR text, VARIANT* binary) override;
    HRESULT ConvertModificationTime(VARIANT utcTime, DATE* localTime) override;
    HRESULT AddressBookDialog(VARIANT recipients, VARIANT title, VARIANT oneAddress,
                              VARIANT forceResolution, VARIANT recipientLists, VARIANT toLabel,
                              VARIANT ccLabel, VARIANT bccLabel, VARIANT parentWindow,
                              QMRRecipients** chosen) override;
    HRESULT GetVersion(BSTR* version) override;
    HRESULT Cleanup() override;
};

// The property access of object: an object of this library (owner thread
// checked: RPC_E_WRONG_THREAD), a MAPI object of this platform, or a mail
// client object whose MAPIOBJECT (DISPID 0xF100) is one. holder keeps what
// *props points into. E_INVALIDARG for anything else.
HRESULT PropsOf(IUnknown* object, CComPtr<IUnknown>& holder, IRdoProps** props);

}  // namespace rdo

// QMRMAPIUtils: property access on any object of the library (and on the
// MAPIOBJECT of the mail client's items), named-property ids, id and time
// conversions, and the address book's pick dialog. Owner thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/rdo/RdoObject.h"

struct IQmMapiMessage;

namespace rdo {

class RdoMessage;

// Answers the modal pick dialog (a host or a test): given the title, fill
// chosen with names or addresses; S_OK, or MAPI_E_USER_CANCEL. Without a
// hook the dialog is a message box (MB_OKCANCEL, the title as its text,
// answered by the platform's message-box handler): OK gives an empty
// choice, Cancel MAPI_E_USER_CANCEL. Any thread.
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

// Runs action with the property access of object: an object of this library
// (owner thread checked: RPC_E_WRONG_THREAD), a MAPI object (this library's,
// or the mail client's folder or item), or a mail client object whose
// MAPIOBJECT (DISPID 0xF100) is one. A mail client item is reached under the
// object model's lock for the length of the action. E_INVALIDARG for
// anything else.
using PropsAction = std::function<HRESULT(IRdoProps*)>;
HRESULT WithProps(IUnknown* object, const PropsAction& action);
// The MAPI object of object (itself when it is one), or null.
CComPtr<IUnknown> MapiObjectOf(IUnknown* object);
// Runs action with a view of a mail client item's message (under the object
// model's lock; the view must not be kept).
HRESULT WithClientItem(IQmMapiMessage* item, const std::function<HRESULT(RdoMessage*)>& action);

}  // namespace rdo

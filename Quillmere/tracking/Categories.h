// The categories of items and the category lists kept in the registry: an
// item's categories ("Keywords" of the public-strings set), the folder's
// category filter, the categories linked to a partner, and adding one
// category to an Outlook item.
//
// Threads: every function runs on the calling thread with objects of that
// thread (helper-library objects never pass between threads). The registry
// reads may come from any thread.
#pragma once

#include <string>
#include <vector>

#include "platform/com/Dispatch.h"
#include "platform/com/Unknown.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

class CSyncEngine;

namespace categories {
// The public-strings property set and the add-in's own set, as "{GUID}" text.
inline constexpr const wchar_t* kPublicStrings = L"{00020329-0000-0000-C000-000000000046}";
inline constexpr const wchar_t* kOwnPropertySet = L"{0F62B4A7-203E-40de-99DA-6F03EE72A090}";
// The name of the categories property in both sets (type PT_MV_STRING8).
inline constexpr const wchar_t* kKeywordsName = L"Keywords";
// The tag's type part of the categories property.
inline constexpr ULONG kTypeMvString8 = 0x101E;

// Appends the BSTR elements of the multi-valued "Keywords" property of set
// propertySet on item to out, in order, stopping at the first element that
// is no BSTR. true when the property was there (even empty); false when it
// is missing, unmapped or unreadable (out is left as it was). utils and item
// are the caller's; a null one gives false.
bool ReadKeywords(QMRMAPIUtils* utils, IUnknown* item, const wchar_t* propertySet,
                  std::vector<std::wstring>& out);
}  // namespace categories

// The item's categories (PS_PUBLIC_STRINGS "Keywords") appended to out; a
// missing property leaves out as it was. item: a helper-library message or
// the MAPIOBJECT of an Outlook item.
void GetKeywords(QMRMAPIUtils* utils, IUnknown* item, std::vector<std::wstring>& out);

// The folder's category filter: the subkey names of HKCU
// "Software\Brindlecast\Quillmere\Folders\<folderKey>\CategoriesFilter",
// appended to out in enumeration order. A missing key (or a null folderKey)
// leaves out as it was. engine may be null.
void LoadCategoriesFilter(CSyncEngine* engine, std::vector<std::wstring>& out,
                          const wchar_t* folderKey);

// The categories linked to a partner: the subkey names of HKCU
// "Software\Brindlecast\Quillmere\UserCategories\<address>", appended to out.
void LoadUserCategories(CSyncEngine* engine, std::vector<std::wstring>& out,
                        const wchar_t* address);

// Feeds arbitrary text (UTF-8) to the search-filter parser; a filter that
// parses is matched against a fixed message.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/store/DaslFilter.h"
#include "platform/win/Text.h"

namespace {
USHORT ResolveAny(void*, const mapi::NamedProperty& name) {
    return name.IsString() && name.name.size() % 2 == 0 ? 0 : 0x8001;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring text =
        win::FromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
    store::DaslFilter filter;
    if (FAILED(store::DaslFilter::Parse(text, &ResolveAny, nullptr, &filter))) {
        return 0;
    }
    mapi::PropertyBag props;
    props.Set(mapi::PR_SUBJECT, mapi::PropValue::Unicode(L"Quillmere: a subject"));
    props.Set(mapi::PR_SEARCH_KEY, mapi::PropValue::Binary({0x01, 0xAB, 0xFF}));
    props.Set(mapi::PR_IMPORTANCE, mapi::PropValue::Long(2));
    props.Set(mapi::PROP_TAG(mapi::PT_BOOLEAN, 0x8001), mapi::PropValue::Boolean(true));
    props.Set(mapi::PR_BODY_A, mapi::PropValue::String8("8-bit body"));
    filter.Matches(props);
    filter.SearchKeyTerms();
    return 0;
}

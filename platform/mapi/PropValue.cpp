#include "platform/mapi/PropValue.h"

namespace mapi {

int ValueIndexForType(ULONG type) {
    const ULONG base = type & ~MV_FLAG;
    const bool multi = IsMultiValued(type);
    switch (base) {
        case PT_SHORT:
        case PT_LONG:
        case PT_LONGLONG:
        case PT_CURRENCY:
        case PT_SYSTIME:
            return multi ? 8 : 1;
        case PT_ERROR:
            return multi ? -1 : 1;
        case PT_BOOLEAN:
            return multi ? -1 : 2;
        case PT_FLOAT:
        case PT_DOUBLE:
        case PT_APPTIME:
            return multi ? 9 : 3;
        case PT_STRING8:
            return multi ? 10 : 4;
        case PT_UNICODE:
            return multi ? 11 : 5;
        case PT_BINARY:
            return multi ? 12 : 6;
        case PT_CLSID:
            return multi ? 13 : 7;
        case PT_NULL:
        case PT_OBJECT:
            return multi ? -1 : 0;
        default:
            return -1;
    }
}

bool PropValue::IsWellFormed() const {
    const int index = ValueIndexForType(m_type);
    return index >= 0 && static_cast<std::size_t>(index) == m_value.index();
}

}  // namespace mapi

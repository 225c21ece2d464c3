// An ordered set of properties, at most one value per property id (as a MAPI
// object holds them), ordered by tag.
//
// Value type; not synchronised.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/mapi/PropTags.h"
#include "platform/mapi/PropValue.h"

namespace mapi {

class PropertyBag {
public:
    using Map = std::map<ULONG, PropValue>;

    // Stores value under PROP_TAG(value.Type(), PROP_ID(tag)): the value's
    // own type wins over the tag's, so a PT_STRING8 value set with a
    // PT_UNICODE tag is kept as PT_STRING8. Any value of the same id with
    // another type is removed first.
    void Set(ULONG tag, PropValue value) {
        Erase(tag);
        m_props[PROP_TAG(value.Type(), PROP_ID(tag))] = std::move(value);
    }
    // The value of exactly this tag; with a PT_UNSPECIFIED tag, the value of
    // that id whatever its type. Null when absent. The pointer lives until
    // the next change of the bag.
    const PropValue* Find(ULONG tag) const {
        if (PROP_TYPE(tag) != PT_UNSPECIFIED) {
            auto it = m_props.find(tag);
            return it == m_props.end() ? nullptr : &it->second;
        }
        auto it = m_props.lower_bound(PROP_TAG(0, PROP_ID(tag)));
        if (it != m_props.end() && PROP_ID(it->first) == PROP_ID(tag)) {
            return &it->second;
        }
        return nullptr;
    }
    // The full tag kept for the id of tag, or nullopt.
    std::optional<ULONG> TagOf(ULONG tag) const {
        auto it = m_props.lower_bound(PROP_TAG(0, PROP_ID(tag)));
        if (it != m_props.end() && PROP_ID(it->first) == PROP_ID(tag)) {
            return it->first;
        }
        return std::nullopt;
    }
    bool Has(ULONG tag) const { return Find(tag) != nullptr; }
    // Removes the value of tag's id, whatever its type. True when one was there.
    bool Erase(ULONG tag) {
        auto it = m_props.lower_bound(PROP_TAG(0, PROP_ID(tag)));
        if (it != m_props.end() && PROP_ID(it->first) == PROP_ID(tag)) {
            m_props.erase(it);
            return true;
        }
        return false;
    }

    // Typed reads of tag's id: nullopt when absent or of another form.
    // Text accepts PT_UNICODE only; String8 accepts PT_STRING8 only.
    std::optional<std::int64_t> GetInteger(ULONG tag) const {
        const PropValue* v = Find(PROP_TAG(PT_UNSPECIFIED, PROP_ID(tag)));
        if (v == nullptr || v->Integer() == nullptr) {
            return std::nullopt;
        }
        return *v->Integer();
    }
    std::optional<bool> GetBool(ULONG tag) const {
        const PropValue* v = Find(PROP_TAG(PT_UNSPECIFIED, PROP_ID(tag)));
        if (v == nullptr || v->Bool() == nullptr) {
            return std::nullopt;
        }
        return *v->Bool();
    }
    std::optional<std::wstring> GetText(ULONG tag) const {
        const PropValue* v = Find(PROP_TAG(PT_UNSPECIFIED, PROP_ID(tag)));
        if (v == nullptr || v->Wide() == nullptr) {
            return std::nullopt;
        }
        return *v->Wide();
    }
    std::optional<std::string> GetString8(ULONG tag) const {
        const PropValue* v = Find(PROP_TAG(PT_UNSPECIFIED, PROP_ID(tag)));
        if (v == nullptr || v->Str8() == nullptr) {
            return std::nullopt;
        }
        return *v->Str8();
    }
    std::optional<Bytes> GetBinary(ULONG tag) const {
        const PropValue* v = Find(PROP_TAG(PT_UNSPECIFIED, PROP_ID(tag)));
        if (v == nullptr || v->Bin() == nullptr) {
            return std::nullopt;
        }
        return *v->Bin();
    }

    const Map& All() const { return m_props; }
    std::size_t Size() const { return m_props.size(); }
    bool Empty() const { return m_props.empty(); }
    Map::const_iterator begin() const { return m_props.begin(); }
    Map::const_iterator end() const { return m_props.end(); }

    friend bool operator==(const PropertyBag&, const PropertyBag&) = default;

private:
    Map m_props;
};

}  // namespace mapi

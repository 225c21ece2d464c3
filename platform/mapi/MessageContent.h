// The whole content of one message as it moves between a store and a message
// file: its properties, the names of its named properties, its recipients
// and its attachments (file data or an embedded message).
//
// Property ids >= 0x8000 in props, in the recipients and in the attachments'
// props are local to this MessageContent: `named` says what each one means.
// An embedded message carries its own `named` map.
//
// Value type (copies are deep); not synchronised.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/mapi/NamedProperty.h"
#include "platform/mapi/PropertyBag.h"

namespace mapi {

struct MessageContent;

struct AttachmentContent {
    // The attachment's properties without its data (PR_ATTACH_DATA_BIN and
    // PR_ATTACH_DATA_OBJ are kept in the members below, not here).
    PropertyBag props;
    // The file data of an attachment by value (ignored when embedded is set).
    // For an OLE attachment (PR_ATTACH_METHOD ATTACH_OLE) kept as an object
    // storage, that storage as a whole compound file.
    Bytes data;
    // The attached message of an ATTACH_EMBEDDED_MSG attachment, else null.
    std::unique_ptr<MessageContent> embedded;

    AttachmentContent() = default;
    AttachmentContent(const AttachmentContent& other);
    AttachmentContent& operator=(const AttachmentContent& other);
    AttachmentContent(AttachmentContent&&) noexcept = default;
    AttachmentContent& operator=(AttachmentContent&&) noexcept = default;
    ~AttachmentContent();

    friend bool operator==(const AttachmentContent& a, const AttachmentContent& b);
};

struct MessageContent {
    PropertyBag props;
    // Property id (0x8000..0xFFFE) -> the named property it stands for.
    std::map<USHORT, NamedProperty> named;
    std::vector<PropertyBag> recipients;
    std::vector<AttachmentContent> attachments;

    // The id this message uses for name, or nullopt.
    std::optional<USHORT> IdOfName(const NamedProperty& name) const {
        for (const auto& [id, n] : named) {
            if (n == name) {
                return id;
            }
        }
        return std::nullopt;
    }
    // The id of name, given the next free one when it has none yet; nullopt
    // when all 0x7FFF named ids are taken.
    std::optional<USHORT> MapName(const NamedProperty& name) {
        if (auto id = IdOfName(name)) {
            return id;
        }
        ULONG next = kFirstNamedId;
        if (!named.empty()) {
            next = named.rbegin()->first + 1u;
        }
        if (next > kLastNamedId) {
            for (next = kFirstNamedId; next <= kLastNamedId && named.count(USHORT(next)); ++next) {
            }
            if (next > kLastNamedId) {
                return std::nullopt;
            }
        }
        named[static_cast<USHORT>(next)] = name;
        return static_cast<USHORT>(next);
    }
    // The named property's value, by name. Null when absent.
    const PropValue* FindNamed(const NamedProperty& name) const {
        auto id = IdOfName(name);
        return id ? props.Find(PROP_TAG(PT_UNSPECIFIED, *id)) : nullptr;
    }
    // Sets a named property by name; false when no id is left.
    bool SetNamed(const NamedProperty& name, PropValue value) {
        auto id = MapName(name);
        if (!id) {
            return false;
        }
        props.Set(PROP_TAG(value.Type(), *id), std::move(value));
        return true;
    }

    friend bool operator==(const MessageContent&, const MessageContent&) = default;
};

inline AttachmentContent::AttachmentContent(const AttachmentContent& other)
    : props(other.props),
      data(other.data),
      embedded(other.embedded ? std::make_unique<MessageContent>(*other.embedded) : nullptr) {}

inline AttachmentContent& AttachmentContent::operator=(const AttachmentContent& other) {
    if (this != &other) {
        AttachmentContent copy(other);
        *this = std::move(copy);
    }
    return *this;
}

inline AttachmentContent::~AttachmentContent() = default;

inline bool operator==(const AttachmentContent& a, const AttachmentContent& b) {
    if (a.props != b.props || (a.embedded == nullptr) != (b.embedded == nullptr)) {
        return false;
    }
    if (a.embedded) {
        return *a.embedded == *b.embedded;
    }
    return a.data == b.data;
}

}  // namespace mapi

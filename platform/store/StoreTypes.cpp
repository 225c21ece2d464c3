#include "platform/store/StoreTypes.h"

namespace store {
namespace {
constexpr std::size_t kOffFlags = 0;
constexpr std::size_t kOffStoreGuid = 4;
constexpr std::size_t kOffType = 20;
constexpr std::size_t kOffReserved = 21;
constexpr std::size_t kOffObjectId = 24;
}  // namespace

const std::vector<DefaultFolder>& AllDefaultFolders() {
    static const std::vector<DefaultFolder> kAll = {
        DefaultFolder::Inbox,        DefaultFolder::Outbox,  DefaultFolder::SentMail,
        DefaultFolder::DeletedItems, DefaultFolder::Drafts,  DefaultFolder::Calendar,
        DefaultFolder::Contacts,     DefaultFolder::Journal, DefaultFolder::Notes,
        DefaultFolder::Tasks,
    };
    return kAll;
}

std::wstring DefaultFolderName(DefaultFolder role) {
    switch (role) {
        case DefaultFolder::DeletedItems:
            return L"Deleted Items";
        case DefaultFolder::Outbox:
            return L"Outbox";
        case DefaultFolder::SentMail:
            return L"Sent Items";
        case DefaultFolder::Inbox:
            return L"Inbox";
        case DefaultFolder::Calendar:
            return L"Calendar";
        case DefaultFolder::Contacts:
            return L"Contacts";
        case DefaultFolder::Journal:
            return L"Journal";
        case DefaultFolder::Notes:
            return L"Notes";
        case DefaultFolder::Tasks:
            return L"Tasks";
        case DefaultFolder::Drafts:
            return L"Drafts";
    }
    return L"";
}

std::wstring DefaultFolderClass(DefaultFolder role) {
    switch (role) {
        case DefaultFolder::Calendar:
            return L"IPF.Appointment";
        case DefaultFolder::Contacts:
            return L"IPF.Contact";
        case DefaultFolder::Journal:
            return L"IPF.Journal";
        case DefaultFolder::Notes:
            return L"IPF.StickyNote";
        case DefaultFolder::Tasks:
            return L"IPF.Task";
        default:
            return L"IPF.Note";
    }
}

std::vector<DefaultFolder> DefaultFoldersForKind(StoreKind kind) {
    if (kind == StoreKind::Other) {
        return {DefaultFolder::Calendar};
    }
    return AllDefaultFolders();
}

Bytes MakeEntryId(const GUID& storeGuid, ObjectType type, ObjectId id) {
    Bytes out(kEntryIdSize, 0);
    auto g = win::GuidToBytes(storeGuid);
    std::copy(g.begin(), g.end(), out.begin() + kOffStoreGuid);
    out[kOffType] = static_cast<std::uint8_t>(type);
    auto v = static_cast<std::uint64_t>(id);
    for (std::size_t i = 0; i < 8; ++i) {
        out[kOffObjectId + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    return out;
}

std::optional<EntryIdParts> ParseEntryId(const Bytes& entryId) {
    if (entryId.size() != kEntryIdSize) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        if (entryId[kOffFlags + i] != 0) {
            return std::nullopt;
        }
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (entryId[kOffReserved + i] != 0) {
            return std::nullopt;
        }
    }
    EntryIdParts parts;
    parts.storeGuid = win::GuidFromBytes(entryId.data() + kOffStoreGuid);
    BYTE type = entryId[kOffType];
    if (type != static_cast<BYTE>(ObjectType::Store) &&
        type != static_cast<BYTE>(ObjectType::Folder) &&
        type != static_cast<BYTE>(ObjectType::Message)) {
        return std::nullopt;
    }
    parts.type = static_cast<ObjectType>(type);
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        v |= static_cast<std::uint64_t>(entryId[kOffObjectId + i]) << (8 * i);
    }
    parts.id = static_cast<ObjectId>(v);
    if (parts.id < 0 || (parts.type == ObjectType::Store) != (parts.id == 0)) {
        return std::nullopt;
    }
    return parts;
}

}  // namespace store

#include "platform/msgfile/MsgFile.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <set>

#include "platform/msgfile/LittleEndian.h"
#include "platform/msgfile/Utf16.h"
#include "platform/win/Text.h"

namespace msgfile {

using namespace mapi;

namespace {

// Storage and stream names.
constexpr wchar_t kPropertiesStream[] = L"__properties_version1.0";
constexpr wchar_t kSubstgPrefix[] = L"__substg1.0_";
constexpr wchar_t kRecipPrefix[] = L"__recip_version1.0_#";
constexpr wchar_t kAttachPrefix[] = L"__attach_version1.0_#";
constexpr wchar_t kNameIdStorage[] = L"__nameid_version1.0";
constexpr wchar_t kEmbeddedStorage[] = L"__substg1.0_3701000D";
// The three streams of the named-property mapping storage (their "tags").
constexpr ULONG kGuidStreamTag = 0x00020102;
constexpr ULONG kEntryStreamTag = 0x00030102;
constexpr ULONG kStringStreamTag = 0x00040102;
constexpr ULONG kFirstMappingStreamId = 0x1000;
constexpr ULONG kMappingStreamCount = 0x1F;

// Property stream layout: a header, then one 16-byte entry per property
// (tag, flags, 8 bytes of value or of size).
constexpr std::size_t kTopHeaderSize = 32;
constexpr std::size_t kEmbeddedHeaderSize = 24;
constexpr std::size_t kSubObjectHeaderSize = 8;
constexpr std::size_t kHdrNextRecipientId = 8;
constexpr std::size_t kHdrNextAttachmentId = 12;
constexpr std::size_t kHdrRecipientCount = 16;
constexpr std::size_t kHdrAttachmentCount = 20;
constexpr std::size_t kEntrySize = 16;
constexpr std::size_t kEntryTag = 0;
constexpr std::size_t kEntryFlags = 4;
constexpr std::size_t kEntryValue = 8;
constexpr ULONG kPropAttrReadable = 0x2;
constexpr ULONG kPropAttrWritable = 0x4;
constexpr std::uint32_t kObjectSize = 0xFFFFFFFF;

// Named-property entry: 4 bytes id or string offset, 2 bytes
// (GUID index << 1 | kind), 2 bytes property index (id - 0x8000).
constexpr std::size_t kNameEntrySize = 8;
constexpr std::uint16_t kGuidIndexMapi = 1;
constexpr std::uint16_t kGuidIndexPublicStrings = 2;
constexpr std::uint16_t kFirstStreamGuidIndex = 3;

// Each message level nests two storages (attachment, embedded message) deeper.
constexpr int kMaxEmbeddingDepth = 24;

std::wstring Hex(ULONG v, int digits) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring s(static_cast<std::size_t>(digits), L'0');
    for (int i = digits - 1; i >= 0; --i) {
        s[static_cast<std::size_t>(i)] = kDigits[v & 0xF];
        v >>= 4;
    }
    return s;
}

std::wstring SubstgName(ULONG tag) {
    return kSubstgPrefix + Hex(tag, 8);
}

std::optional<ULONG> ParseHex(std::wstring_view text) {
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    ULONG v = 0;
    for (wchar_t c : text) {
        v <<= 4;
        if (c >= L'0' && c <= L'9') {
            v |= static_cast<ULONG>(c - L'0');
        } else if (c >= L'A' && c <= L'F') {
            v |= static_cast<ULONG>(c - L'A' + 10);
        } else if (c >= L'a' && c <= L'f') {
            v |= static_cast<ULONG>(c - L'a' + 10);
        } else {
            return std::nullopt;
        }
    }
    return v;
}

bool StartsWith(std::wstring_view s, std::wstring_view prefix) {
    return s.size() >= prefix.size() && CompareEntryNames(s.substr(0, prefix.size()), prefix) == 0;
}

// Size in bytes of one element of a fixed-size (multi-)value type, 0 for others.
std::size_t FixedElementSize(ULONG baseType) {
    switch (baseType) {
        case PT_SHORT:
        case PT_BOOLEAN:
            return 2;
        case PT_LONG:
        case PT_FLOAT:
        case PT_ERROR:
            return 4;
        case PT_DOUBLE:
        case PT_APPTIME:
        case PT_CURRENCY:
        case PT_LONGLONG:
        case PT_SYSTIME:
            return 8;
        case PT_CLSID:
            return 16;
        default:
            return 0;
    }
}

bool IsInlineType(ULONG type) {
    return !IsMultiValued(type) && type != PT_CLSID && FixedElementSize(type) != 0;
}

void PutFixed(std::uint8_t* p, ULONG baseType, const PropValue& v, std::size_t index) {
    std::int64_t i = 0;
    double d = 0;
    if (IsMultiValued(v.Type())) {
        if (v.MvIntegers() != nullptr) {
            i = (*v.MvIntegers())[index];
        } else if (v.MvReals() != nullptr) {
            d = (*v.MvReals())[index];
        }
    } else if (v.Integer() != nullptr) {
        i = *v.Integer();
    } else if (v.Real() != nullptr) {
        d = *v.Real();
    } else if (v.Bool() != nullptr) {
        i = *v.Bool() ? 1 : 0;
    }
    switch (baseType) {
        case PT_SHORT:
        case PT_BOOLEAN:
            le::Put16(p, static_cast<std::uint16_t>(i));
            break;
        case PT_LONG:
        case PT_ERROR:
            le::Put32(p, static_cast<std::uint32_t>(i));
            break;
        case PT_FLOAT:
            le::Put32(p, std::bit_cast<std::uint32_t>(static_cast<float>(d)));
            break;
        case PT_DOUBLE:
        case PT_APPTIME:
            le::Put64(p, std::bit_cast<std::uint64_t>(d));
            break;
        default:
            le::Put64(p, static_cast<std::uint64_t>(i));
            break;
    }
}

PropValue GetFixed(const std::uint8_t* p, ULONG type) {
    switch (type) {
        case PT_SHORT:
            return PropValue::Short(static_cast<std::int16_t>(le::Get16(p)));
        case PT_BOOLEAN:
            return PropValue::Boolean(p[0] != 0 || p[1] != 0);
        case PT_LONG:
            return PropValue::Long(static_cast<std::int32_t>(le::Get32(p)));
        case PT_ERROR:
            return PropValue::Error(static_cast<SCODE>(le::Get32(p)));
        case PT_FLOAT:
            return PropValue::Float(std::bit_cast<float>(le::Get32(p)));
        case PT_DOUBLE:
            return PropValue::Double(std::bit_cast<double>(le::Get64(p)));
        case PT_APPTIME:
            return PropValue::AppTime(std::bit_cast<double>(le::Get64(p)));
        case PT_CURRENCY:
            return PropValue::Currency(static_cast<std::int64_t>(le::Get64(p)));
        case PT_LONGLONG:
            return PropValue::LongLong(static_cast<std::int64_t>(le::Get64(p)));
        case PT_SYSTIME:
            return PropValue::SysTime(le::Get64(p));
        default:
            return PropValue();
    }
}

// ---------------------------------------------------------------- writing

class MsgWriter {
public:
    HRESULT Write(const MessageContent& message, Bytes* out);

private:
    HRESULT WriteMessage(const MessageContent& m, CfbNode& storage, bool top, int depth);
    HRESULT WriteRecipient(const MessageContent& owner, const PropertyBag& recip, CfbNode& storage);
    HRESULT WriteAttachment(const MessageContent& owner, const AttachmentContent& att,
                            CfbNode& storage, int depth);
    HRESULT WriteProps(const MessageContent& owner, const PropertyBag& props, CfbNode& storage,
                       Bytes& propStream);
    HRESULT WriteValue(ULONG tag, const PropValue& v, CfbNode& storage, Bytes& propStream);
    HRESULT FileTag(const MessageContent& owner, ULONG tag, ULONG* fileTag);
    void WriteNameStorage(CfbNode& root);

    std::vector<NamedProperty> m_names;  // index i has file id 0x8000 + i
    std::map<NamedProperty, USHORT> m_ids;
};

void AppendEntry(Bytes& ps, ULONG tag, const std::uint8_t value[8]) {
    const std::size_t at = ps.size();
    ps.resize(at + kEntrySize, 0);
    le::Put32(&ps[at + kEntryTag], tag);
    le::Put32(&ps[at + kEntryFlags], kPropAttrReadable | kPropAttrWritable);
    std::copy_n(value, 8, &ps[at + kEntryValue]);
}

void AppendSizeEntry(Bytes& ps, ULONG tag, std::uint32_t size) {
    std::uint8_t value[8] = {};
    le::Put32(value, size);
    AppendEntry(ps, tag, value);
}

HRESULT MsgWriter::FileTag(const MessageContent& owner, ULONG tag, ULONG* fileTag) {
    const ULONG id = PROP_ID(tag);
    if (!IsNamedId(id)) {
        if (id > kLastNamedId) {
            return MAPI_E_INVALID_PARAMETER;
        }
        *fileTag = tag;
        return S_OK;
    }
    auto def = owner.named.find(static_cast<USHORT>(id));
    if (def == owner.named.end()) {
        return MAPI_E_INVALID_PARAMETER;
    }
    auto known = m_ids.find(def->second);
    USHORT fileId;
    if (known != m_ids.end()) {
        fileId = known->second;
    } else {
        if (m_names.size() > kLastNamedId - kFirstNamedId) {
            return MAPI_E_TOO_BIG;
        }
        fileId = static_cast<USHORT>(kFirstNamedId + m_names.size());
        m_names.push_back(def->second);
        m_ids.emplace(def->second, fileId);
    }
    *fileTag = PROP_TAG(PROP_TYPE(tag), fileId);
    return S_OK;
}

HRESULT MsgWriter::WriteValue(ULONG tag, const PropValue& v, CfbNode& storage, Bytes& ps) {
    const ULONG type = PROP_TYPE(tag);
    const ULONG base = type & ~MV_FLAG;
    if (IsInlineType(type)) {
        std::uint8_t value[8] = {};
        PutFixed(value, type, v, 0);
        AppendEntry(ps, tag, value);
        return S_OK;
    }
    Bytes data;
    std::uint32_t sizeField = 0;
    if (!IsMultiValued(type)) {
        switch (type) {
            case PT_STRING8:
                data.assign(v.Str8()->begin(), v.Str8()->end());
                sizeField = static_cast<std::uint32_t>(data.size() + 1);
                break;
            case PT_UNICODE:
                data = EncodeUtf16Le(*v.Wide());
                sizeField = static_cast<std::uint32_t>(data.size() + 2);
                break;
            case PT_BINARY:
                data = *v.Bin();
                sizeField = static_cast<std::uint32_t>(data.size());
                break;
            case PT_CLSID: {
                auto b = win::GuidToBytes(*v.Guid());
                data.assign(b.begin(), b.end());
                sizeField = 16;
                break;
            }
            default:
                return MAPI_E_INVALID_PARAMETER;
        }
        if (data.size() >= 0xFFFFFFF0u) {
            return MAPI_E_TOO_BIG;
        }
        AppendSizeEntry(ps, tag, sizeField);
        storage.AddStream(SubstgName(tag), std::move(data));
        return S_OK;
    }
    if (const std::size_t elem = FixedElementSize(base);
        elem != 0 && base != PT_BOOLEAN && base != PT_ERROR) {
        std::size_t count = 0;
        if (v.MvIntegers()) {
            count = v.MvIntegers()->size();
        } else if (v.MvReals()) {
            count = v.MvReals()->size();
        } else if (v.MvGuids()) {
            count = v.MvGuids()->size();
        }
        data.resize(count * elem);
        for (std::size_t i = 0; i < count; ++i) {
            if (base == PT_CLSID) {
                auto b = win::GuidToBytes((*v.MvGuids())[i]);
                std::copy(b.begin(), b.end(), &data[i * elem]);
            } else {
                PutFixed(&data[i * elem], base, v, i);
            }
        }
        AppendSizeEntry(ps, tag, static_cast<std::uint32_t>(data.size()));
        storage.AddStream(SubstgName(tag), std::move(data));
        return S_OK;
    }
    // Variable-size multi-values: a stream of lengths, then one stream per value.
    std::vector<Bytes> values;
    if (base == PT_STRING8) {
        for (const auto& s : *v.MvStr8()) {
            Bytes b(s.begin(), s.end());
            b.push_back(0);
            values.push_back(std::move(b));
        }
    } else if (base == PT_UNICODE) {
        for (const auto& s : *v.MvWide()) {
            Bytes b = EncodeUtf16Le(s);
            b.push_back(0);
            b.push_back(0);
            values.push_back(std::move(b));
        }
    } else if (base == PT_BINARY) {
        values = *v.MvBin();
    } else {
        return MAPI_E_INVALID_PARAMETER;
    }
    Bytes lengths;
    for (const Bytes& b : values) {
        le::Append32(lengths, static_cast<std::uint32_t>(b.size()));
        if (base == PT_BINARY) {
            le::Append32(lengths, 0);
        }
    }
    AppendSizeEntry(ps, tag, static_cast<std::uint32_t>(lengths.size()));
    storage.AddStream(SubstgName(tag), std::move(lengths));
    for (std::size_t i = 0; i < values.size(); ++i) {
        storage.AddStream(SubstgName(tag) + L"-" + Hex(static_cast<ULONG>(i), 8),
                          std::move(values[i]));
    }
    return S_OK;
}

HRESULT MsgWriter::WriteProps(const MessageContent& owner, const PropertyBag& props,
                              CfbNode& storage, Bytes& ps) {
    for (const auto& [tag, value] : props) {
        const ULONG type = PROP_TYPE(tag);
        if (type == PT_OBJECT || type == PT_NULL) {
            continue;  // objects travel as storages, nulls not at all
        }
        if (!value.IsWellFormed() || value.Type() != type) {
            return MAPI_E_INVALID_PARAMETER;
        }
        ULONG fileTag = 0;
        HRESULT hr = FileTag(owner, tag, &fileTag);
        if (FAILED(hr)) {
            return hr;
        }
        hr = WriteValue(fileTag, value, storage, ps);
        if (FAILED(hr)) {
            return hr;
        }
    }
    return S_OK;
}

HRESULT MsgWriter::WriteRecipient(const MessageContent& owner, const PropertyBag& recip,
                                  CfbNode& storage) {
    Bytes ps(kSubObjectHeaderSize, 0);
    HRESULT hr = WriteProps(owner, recip, storage, ps);
    if (SUCCEEDED(hr)) {
        storage.AddStream(kPropertiesStream, std::move(ps));
    }
    return hr;
}

HRESULT MsgWriter::WriteAttachment(const MessageContent& owner, const AttachmentContent& att,
                                   CfbNode& storage, int depth) {
    PropertyBag props = att.props;
    const std::optional<Bytes> dataInBag = props.GetBinary(PR_ATTACH_DATA_BIN);
    props.Erase(PR_ATTACH_DATA_BIN);
    if (att.embedded && !props.Has(PR_ATTACH_METHOD)) {
        props.Set(PR_ATTACH_METHOD, PropValue::Long(ATTACH_EMBEDDED_MSG));
    }
    Bytes ps(kSubObjectHeaderSize, 0);
    HRESULT hr = WriteProps(owner, props, storage, ps);
    if (FAILED(hr)) {
        return hr;
    }
    if (att.embedded) {
        AppendSizeEntry(ps, PR_ATTACH_DATA_OBJ, kObjectSize);
        CfbNode& inner = storage.AddStorage(kEmbeddedStorage);
        hr = WriteMessage(*att.embedded, inner, false, depth + 1);
        if (FAILED(hr)) {
            return hr;
        }
    } else if (CfbNode object;
               props.GetInteger(PR_ATTACH_METHOD) == ATTACH_OLE &&
               SUCCEEDED(ReadCompoundFile(att.data.data(), att.data.size(), &object))) {
        AppendSizeEntry(ps, PR_ATTACH_DATA_OBJ, kObjectSize);
        object.name = kEmbeddedStorage;
        storage.children.push_back(std::move(object));
    } else {
        const Bytes& data = att.data.empty() && dataInBag ? *dataInBag : att.data;
        hr = WriteValue(PR_ATTACH_DATA_BIN, PropValue::Binary(data), storage, ps);
        if (FAILED(hr)) {
            return hr;
        }
    }
    storage.AddStream(kPropertiesStream, std::move(ps));
    return S_OK;
}

HRESULT MsgWriter::WriteMessage(const MessageContent& m, CfbNode& storage, bool top, int depth) {
    if (depth > kMaxEmbeddingDepth) {
        return MAPI_E_TOO_BIG;
    }
    if (m.recipients.size() > kMaxRecipients || m.attachments.size() > kMaxAttachments) {
        return MAPI_E_TOO_BIG;
    }
    PropertyBag props = m.props;
    if (top) {
        // Texts of this file may be Unicode; readers look for this bit.
        const std::int64_t mask = props.GetInteger(PR_STORE_SUPPORT_MASK).value_or(0);
        props.Set(PR_STORE_SUPPORT_MASK,
                  PropValue::Long(static_cast<std::int32_t>(mask | STORE_UNICODE_OK)));
    }
    Bytes ps(top ? kTopHeaderSize : kEmbeddedHeaderSize, 0);
    const auto recipients = static_cast<std::uint32_t>(m.recipients.size());
    const auto attachments = static_cast<std::uint32_t>(m.attachments.size());
    le::Put32(&ps[kHdrNextRecipientId], recipients);
    le::Put32(&ps[kHdrNextAttachmentId], attachments);
    le::Put32(&ps[kHdrRecipientCount], recipients);
    le::Put32(&ps[kHdrAttachmentCount], attachments);
    HRESULT hr = WriteProps(m, props, storage, ps);
    if (FAILED(hr)) {
        return hr;
    }
    for (std::uint32_t i = 0; i < recipients; ++i) {
        CfbNode& r = storage.AddStorage(kRecipPrefix + Hex(i, 8));
        hr = WriteRecipient(m, m.recipients[i], r);
        if (FAILED(hr)) {
            return hr;
        }
    }
    for (std::uint32_t i = 0; i < attachments; ++i) {
        CfbNode& a = storage.AddStorage(kAttachPrefix + Hex(i, 8));
        hr = WriteAttachment(m, m.attachments[i], a, depth);
        if (FAILED(hr)) {
            return hr;
        }
    }
    storage.AddStream(kPropertiesStream, std::move(ps));
    return S_OK;
}

void MsgWriter::WriteNameStorage(CfbNode& root) {
    CfbNode& names = root.AddStorage(kNameIdStorage);
    Bytes guids;
    std::vector<GUID> guidOrder;
    Bytes entries;
    Bytes strings;
    std::map<ULONG, Bytes> mapping;
    for (std::size_t i = 0; i < m_names.size(); ++i) {
        const NamedProperty& n = m_names[i];
        std::uint16_t guidIndex;
        if (n.guid == PS_MAPI) {
            guidIndex = kGuidIndexMapi;
        } else if (n.guid == PS_PUBLIC_STRINGS) {
            guidIndex = kGuidIndexPublicStrings;
        } else {
            auto it = std::find(guidOrder.begin(), guidOrder.end(), n.guid);
            if (it == guidOrder.end()) {
                guidOrder.push_back(n.guid);
                auto b = win::GuidToBytes(n.guid);
                guids.insert(guids.end(), b.begin(), b.end());
                it = guidOrder.end() - 1;
            }
            guidIndex =
                static_cast<std::uint16_t>(kFirstStreamGuidIndex + (it - guidOrder.begin()));
        }
        const std::uint16_t kind = n.IsString() ? 1 : 0;
        const auto indexAndKind = static_cast<std::uint16_t>((guidIndex << 1) | kind);
        std::uint32_t key;
        std::uint32_t hashed;
        if (n.IsString()) {
            key = static_cast<std::uint32_t>(strings.size());
            Bytes name = EncodeUtf16Le(n.name);
            hashed = NameCrc32(name.data(), name.size());
            le::Append32(strings, static_cast<std::uint32_t>(name.size()));
            strings.insert(strings.end(), name.begin(), name.end());
            while (strings.size() % 4 != 0) {
                strings.push_back(0);
            }
        } else {
            key = static_cast<std::uint32_t>(n.id);
            hashed = key;
        }
        le::Append32(entries, key);
        le::Append16(entries, indexAndKind);
        le::Append16(entries, static_cast<std::uint16_t>(i));
        const ULONG streamId =
            kFirstMappingStreamId + (hashed ^ indexAndKind) % kMappingStreamCount;
        Bytes& m = mapping[streamId];
        le::Append32(m, hashed);
        le::Append16(m, indexAndKind);
        le::Append16(m, static_cast<std::uint16_t>(i));
    }
    names.AddStream(SubstgName(kGuidStreamTag), std::move(guids));
    names.AddStream(SubstgName(kEntryStreamTag), std::move(entries));
    names.AddStream(SubstgName(kStringStreamTag), std::move(strings));
    for (auto& [id, bytes] : mapping) {
        names.AddStream(SubstgName(PROP_TAG(PT_BINARY, id)), std::move(bytes));
    }
}

HRESULT MsgWriter::Write(const MessageContent& message, Bytes* out) {
    CfbNode root = CfbNode::MakeStorage(L"Root Entry", kMsgFileClsid);
    HRESULT hr = WriteMessage(message, root, true, 0);
    if (FAILED(hr)) {
        return hr;
    }
    WriteNameStorage(root);
    return WriteCompoundFile(root, out);
}

// ---------------------------------------------------------------- reading

// Name lookup in one storage without a scan per property: a hostile file
// may hold many thousands of entries.
class StorageIndex {
public:
    explicit StorageIndex(const CfbNode& storage) : m_storage(storage) {
        for (const CfbNode& child : storage.children) {
            m_byName.emplace(FoldEntryName(child.name), &child);
        }
    }
    const CfbNode& Storage() const { return m_storage; }
    const CfbNode* Stream(const std::wstring& name) const {
        auto it = m_byName.find(FoldEntryName(name));
        return it != m_byName.end() && it->second->IsStream() ? it->second : nullptr;
    }
    const CfbNode* SubStorage(const std::wstring& name) const {
        auto it = m_byName.find(FoldEntryName(name));
        return it != m_byName.end() && it->second->IsStorage() ? it->second : nullptr;
    }

private:
    const CfbNode& m_storage;
    std::map<std::wstring, const CfbNode*> m_byName;
};

class MsgReader {
public:
    HRESULT Read(const CfbNode& root, MessageContent* out);

private:
    void ReadNames(const CfbNode& root);
    HRESULT ReadMessage(const CfbNode& storage, std::size_t headerSize, int depth,
                        MessageContent* out);
    // Reads the properties of one object; ids >= 0x8000 that the file
    // names are kept and recorded in used, others dropped.
    HRESULT ReadProps(const StorageIndex& storage, std::size_t headerSize, PropertyBag* bag,
                      std::set<USHORT>* used);
    std::optional<PropValue> ReadStreamValue(const StorageIndex& storage, ULONG tag);

    std::map<USHORT, NamedProperty> m_names;
};

void MsgReader::ReadNames(const CfbNode& root) {
    const CfbNode* storage = root.Find(kNameIdStorage);
    if (storage == nullptr || !storage->IsStorage()) {
        return;
    }
    auto stream = [&](ULONG tag) -> const Bytes* {
        const CfbNode* n = storage->Find(SubstgName(tag));
        return n != nullptr && n->IsStream() ? &n->data : nullptr;
    };
    const Bytes* guids = stream(kGuidStreamTag);
    const Bytes* entries = stream(kEntryStreamTag);
    const Bytes* strings = stream(kStringStreamTag);
    if (entries == nullptr) {
        return;
    }
    const std::size_t guidCount = guids != nullptr ? guids->size() / 16 : 0;
    for (std::size_t off = 0; off + kNameEntrySize <= entries->size(); off += kNameEntrySize) {
        const std::uint8_t* e = entries->data() + off;
        const std::uint32_t key = le::Get32(e);
        const std::uint16_t indexAndKind = le::Get16(e + 4);
        const std::uint16_t propIndex = le::Get16(e + 6);
        if (propIndex > kLastNamedId - kFirstNamedId) {
            continue;
        }
        const std::uint16_t guidIndex = indexAndKind >> 1;
        GUID guid;
        if (guidIndex == kGuidIndexMapi) {
            guid = PS_MAPI;
        } else if (guidIndex == kGuidIndexPublicStrings) {
            guid = PS_PUBLIC_STRINGS;
        } else if (guidIndex >= kFirstStreamGuidIndex &&
                   static_cast<std::size_t>(guidIndex - kFirstStreamGuidIndex) < guidCount) {
            guid = win::GuidFromBytes(guids->data() + 16 * (guidIndex - kFirstStreamGuidIndex));
        } else {
            continue;
        }
        NamedProperty n;
        if ((indexAndKind & 1) != 0) {
            if (strings == nullptr || key > strings->size() || strings->size() - key < 4) {
                continue;
            }
            const std::uint32_t length = le::Get32(strings->data() + key);
            if (length > strings->size() - key - 4) {
                continue;
            }
            n = NamedProperty::ByName(guid, DecodeUtf16Le(strings->data() + key + 4, length));
        } else {
            n = NamedProperty::ById(guid, static_cast<LONG>(key));
        }
        m_names[static_cast<USHORT>(kFirstNamedId + propIndex)] = std::move(n);
    }
}

std::optional<PropValue> MsgReader::ReadStreamValue(const StorageIndex& storage, ULONG tag) {
    const ULONG type = PROP_TYPE(tag);
    const ULONG base = type & ~MV_FLAG;
    const CfbNode* node = storage.Stream(SubstgName(tag));
    if (node == nullptr) {
        return std::nullopt;
    }
    const Bytes& d = node->data;
    if (!IsMultiValued(type)) {
        switch (type) {
            case PT_STRING8: {
                auto end = std::find(d.begin(), d.end(), std::uint8_t{0});
                return PropValue::String8(std::string(d.begin(), end));
            }
            case PT_UNICODE:
                return PropValue::Unicode(DecodeUtf16Le(d.data(), d.size()));
            case PT_BINARY:
                return PropValue::Binary(d);
            case PT_CLSID:
                if (d.size() < 16) {
                    return std::nullopt;
                }
                return PropValue::Clsid(win::GuidFromBytes(d.data()));
            default:
                return std::nullopt;
        }
    }
    if (const std::size_t elem = FixedElementSize(base);
        elem != 0 && base != PT_BOOLEAN && base != PT_ERROR) {
        const std::size_t count = d.size() / elem;
        if (base == PT_CLSID) {
            std::vector<GUID> v;
            for (std::size_t i = 0; i < count; ++i) {
                v.push_back(win::GuidFromBytes(&d[i * elem]));
            }
            return PropValue::MvClsid(std::move(v));
        }
        std::vector<std::int64_t> ints;
        std::vector<double> reals;
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t cell[8] = {};
            std::copy_n(&d[i * elem], elem, cell);
            PropValue one = GetFixed(cell, base);
            if (one.Integer()) {
                ints.push_back(*one.Integer());
            } else if (one.Real()) {
                reals.push_back(*one.Real());
            }
        }
        if (base == PT_FLOAT || base == PT_DOUBLE || base == PT_APPTIME) {
            return PropValue::MvDouble(base, std::move(reals));
        }
        return PropValue::MvInteger(base, std::move(ints));
    }
    if (base != PT_STRING8 && base != PT_UNICODE && base != PT_BINARY) {
        return std::nullopt;
    }
    const std::size_t lengthSize = base == PT_BINARY ? 8 : 4;
    const std::size_t count = d.size() / lengthSize;
    if (count > storage.Storage().children.size()) {
        return std::nullopt;  // more values than streams: damaged
    }
    std::vector<std::string> s8;
    std::vector<std::wstring> wide;
    std::vector<Bytes> bins;
    for (std::size_t i = 0; i < count; ++i) {
        const CfbNode* value =
            storage.Stream(SubstgName(tag) + L"-" + Hex(static_cast<ULONG>(i), 8));
        if (value == nullptr) {
            return std::nullopt;
        }
        const Bytes& v = value->data;
        if (base == PT_STRING8) {
            s8.emplace_back(v.begin(), std::find(v.begin(), v.end(), std::uint8_t{0}));
        } else if (base == PT_UNICODE) {
            wide.push_back(DecodeUtf16Le(v.data(), v.size()));
        } else {
            const std::size_t length =
                std::min<std::size_t>(le::Get32(&d[i * lengthSize]), v.size());
            bins.emplace_back(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(length));
        }
    }
    if (base == PT_STRING8) {
        return PropValue::MvString8(std::move(s8));
    }
    if (base == PT_UNICODE) {
        return PropValue::MvUnicode(std::move(wide));
    }
    return PropValue::MvBinary(std::move(bins));
}

HRESULT MsgReader::ReadProps(const StorageIndex& storage, std::size_t headerSize, PropertyBag* bag,
                             std::set<USHORT>* used) {
    const CfbNode* ps = storage.Stream(kPropertiesStream);
    if (ps == nullptr || ps->data.size() < headerSize) {
        return MAPI_E_CORRUPT_DATA;
    }
    auto keep = [&](ULONG tag) {
        const ULONG id = PROP_ID(tag);
        if (IsNamedId(id) || id > kLastNamedId) {
            if (!m_names.count(static_cast<USHORT>(id))) {
                return false;
            }
            used->insert(static_cast<USHORT>(id));
        }
        return true;
    };
    const Bytes& d = ps->data;
    for (std::size_t off = headerSize; off + kEntrySize <= d.size(); off += kEntrySize) {
        const ULONG tag = le::Get32(&d[off + kEntryTag]);
        const ULONG type = PROP_TYPE(tag);
        // The first entry of an id counts; repeats would only cost time.
        if (type == PT_OBJECT || type == PT_NULL ||
            bag->Has(PROP_TAG(PT_UNSPECIFIED, PROP_ID(tag))) || !keep(tag)) {
            continue;
        }
        if (IsInlineType(type)) {
            bag->Set(tag, GetFixed(&d[off + kEntryValue], type));
        } else if (auto v = ReadStreamValue(storage, tag)) {
            bag->Set(tag, std::move(*v));
        }
    }
    // Value streams the property stream forgot to list.
    const std::wstring_view prefix = kSubstgPrefix;
    for (const CfbNode& child : storage.Storage().children) {
        if (!child.IsStream() || child.name.size() != prefix.size() + 8 ||
            !StartsWith(child.name, prefix)) {
            continue;
        }
        auto tag = ParseHex(std::wstring_view(child.name).substr(prefix.size()));
        if (!tag || bag->Has(PROP_TAG(PT_UNSPECIFIED, PROP_ID(*tag)))) {
            continue;
        }
        const ULONG type = PROP_TYPE(*tag);
        if ((type != PT_STRING8 && type != PT_UNICODE && type != PT_BINARY) || !keep(*tag)) {
            continue;
        }
        if (auto v = ReadStreamValue(storage, *tag)) {
            bag->Set(*tag, std::move(*v));
        }
    }
    return S_OK;
}

// Sub-storages named prefix + 8 hex digits, in the order of their numbers.
std::vector<const CfbNode*> NumberedStorages(const CfbNode& storage, std::wstring_view prefix) {
    std::vector<std::pair<ULONG, const CfbNode*>> found;
    for (const CfbNode& child : storage.children) {
        if (!child.IsStorage() || child.name.size() != prefix.size() + 8 ||
            !StartsWith(child.name, prefix)) {
            continue;
        }
        if (auto n = ParseHex(std::wstring_view(child.name).substr(prefix.size()))) {
            found.emplace_back(*n, &child);
        }
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<const CfbNode*> out;
    for (const auto& f : found) {
        out.push_back(f.second);
    }
    return out;
}

HRESULT MsgReader::ReadMessage(const CfbNode& storage, std::size_t headerSize, int depth,
                               MessageContent* out) {
    if (depth > kMaxEmbeddingDepth) {
        return MAPI_E_CORRUPT_DATA;
    }
    std::set<USHORT> used;
    const StorageIndex index(storage);
    HRESULT hr = ReadProps(index, headerSize, &out->props, &used);
    if (FAILED(hr)) {
        return hr;
    }
    for (const CfbNode* r : NumberedStorages(storage, kRecipPrefix)) {
        PropertyBag recip;
        hr = ReadProps(StorageIndex(*r), kSubObjectHeaderSize, &recip, &used);
        if (FAILED(hr)) {
            return hr;
        }
        out->recipients.push_back(std::move(recip));
    }
    for (const CfbNode* a : NumberedStorages(storage, kAttachPrefix)) {
        AttachmentContent att;
        const StorageIndex attIndex(*a);
        hr = ReadProps(attIndex, kSubObjectHeaderSize, &att.props, &used);
        if (FAILED(hr)) {
            return hr;
        }
        if (auto data = att.props.GetBinary(PR_ATTACH_DATA_BIN)) {
            att.data = std::move(*data);
            att.props.Erase(PR_ATTACH_DATA_BIN);
        }
        if (const CfbNode* inner = attIndex.SubStorage(kEmbeddedStorage)) {
            if (att.props.GetInteger(PR_ATTACH_METHOD).value_or(ATTACH_EMBEDDED_MSG) ==
                ATTACH_EMBEDDED_MSG) {
                auto embedded = std::make_unique<MessageContent>();
                hr = ReadMessage(*inner, kEmbeddedHeaderSize, depth + 1, embedded.get());
                if (FAILED(hr)) {
                    return hr;
                }
                att.embedded = std::move(embedded);
            } else {
                // An OLE object's own storage: kept whole as a compound file.
                hr = WriteCompoundFile(*inner, &att.data);
                if (FAILED(hr)) {
                    return MAPI_E_CORRUPT_DATA;
                }
            }
        }
        out->attachments.push_back(std::move(att));
    }
    for (USHORT id : used) {
        out->named[id] = m_names[id];
    }
    return S_OK;
}

HRESULT MsgReader::Read(const CfbNode& root, MessageContent* out) {
    ReadNames(root);
    return ReadMessage(root, kTopHeaderSize, 0, out);
}

}  // namespace

std::uint32_t NameCrc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return crc;
}

UINT MessageCodePage(const MessageContent& message) {
    for (ULONG tag : {PR_MESSAGE_CODEPAGE, PR_INTERNET_CPID}) {
        if (auto cp = message.props.GetInteger(tag); cp && *cp > 0) {
            return static_cast<UINT>(*cp);
        }
    }
    return kCodePage1252;
}

std::optional<std::wstring> GetAnyText(const PropertyBag& bag, ULONG id, UINT codePage) {
    if (auto wide = bag.GetText(PROP_TAG(PT_UNICODE, id))) {
        return wide;
    }
    auto bytes = bag.GetString8(PROP_TAG(PT_STRING8, id));
    if (!bytes) {
        return std::nullopt;
    }
    if (bytes->empty()) {
        return std::wstring();
    }
    const int length = static_cast<int>(std::min<std::size_t>(bytes->size(), 0x7FFFFFFF));
    int needed = MultiByteToWideChar(codePage, 0, bytes->data(), length, nullptr, 0);
    if (needed <= 0) {
        codePage = kCodePage1252;
        needed = MultiByteToWideChar(codePage, 0, bytes->data(), length, nullptr, 0);
    }
    std::wstring text(static_cast<std::size_t>(std::max(needed, 0)), L'\0');
    MultiByteToWideChar(codePage, 0, bytes->data(), length, text.data(), needed);
    return text;
}

HRESULT WriteMsg(const MessageContent& message, Bytes* out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    out->clear();
    MsgWriter w;
    HRESULT hr = w.Write(message, out);
    if (FAILED(hr)) {
        out->clear();
    }
    return hr;
}

HRESULT ReadMsg(const std::uint8_t* data, std::size_t size, MessageContent* message) {
    if (message == nullptr) {
        return E_INVALIDARG;
    }
    *message = MessageContent{};
    CfbNode root;
    HRESULT hr = ReadCompoundFile(data, size, &root);
    if (FAILED(hr)) {
        return hr;
    }
    MsgReader r;
    hr = r.Read(root, message);
    if (FAILED(hr)) {
        *message = MessageContent{};
    }
    return hr;
}

HRESULT WriteMsgFile(const std::string& hostPath, const MessageContent& message) {
    Bytes bytes;
    HRESULT hr = WriteMsg(message, &bytes);
    if (FAILED(hr)) {
        return hr;
    }
    // Order matters: the new content is complete on disk before it takes
    // the old file's name, so a reader never sees half a message.
    const std::string temp = hostPath + ".tmp";
    {
        std::ofstream f(temp, std::ios::binary | std::ios::trunc);
        if (!f) {
            return MAPI_E_DISK_ERROR;
        }
        f.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
        f.flush();
        if (!f) {
            f.close();
            std::remove(temp.c_str());
            return MAPI_E_DISK_ERROR;
        }
    }
    if (std::rename(temp.c_str(), hostPath.c_str()) != 0) {
        std::remove(temp.c_str());
        return MAPI_E_DISK_ERROR;
    }
    return S_OK;
}

HRESULT ReadMsgFile(const std::string& hostPath, MessageContent* message) {
    if (message == nullptr) {
        return E_INVALIDARG;
    }
    *message = MessageContent{};
    errno = 0;
    std::ifstream f(hostPath, std::ios::binary);
    if (!f) {
        return errno == EACCES ? MAPI_E_NO_ACCESS : MAPI_E_NOT_FOUND;
    }
    f.seekg(0, std::ios::end);
    const std::streamoff size = f.tellg();
    if (size < 0) {
        return MAPI_E_DISK_ERROR;
    }
    if (static_cast<std::uint64_t>(size) > kMaxMsgFileSize) {
        return MAPI_E_TOO_BIG;
    }
    f.seekg(0, std::ios::beg);
    Bytes bytes(static_cast<std::size_t>(size));
    f.read(reinterpret_cast<char*>(bytes.data()), size);
    if (f.gcount() != size) {
        return MAPI_E_DISK_ERROR;
    }
    return ReadMsg(bytes, message);
}

}  // namespace msgfile

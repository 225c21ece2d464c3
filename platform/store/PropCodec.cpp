#include "platform/store/PropCodec.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace store::codec {
namespace {

using namespace mapi;

constexpr int kMaxNesting = kMaxEmbeddingDepth;

class Writer {
public:
    explicit Writer(Bytes& out) : m_out(out) {}
    void U8(std::uint8_t v) { m_out.push_back(v); }
    void U16(std::uint16_t v) {
        for (int i = 0; i < 2; ++i) {
            m_out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    void U32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            m_out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    void U64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) {
            m_out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    void Raw(const std::uint8_t* p, std::size_t n) { m_out.insert(m_out.end(), p, p + n); }
    void Str8(const std::string& s) {
        U32(static_cast<std::uint32_t>(s.size()));
        Raw(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    }
    void Wide(const std::wstring& s) {
        U32(static_cast<std::uint32_t>(s.size()));
        for (wchar_t c : s) {
            U32(static_cast<std::uint32_t>(c));
        }
    }
    void Bin(const Bytes& b) {
        U32(static_cast<std::uint32_t>(b.size()));
        Raw(b.data(), b.size());
    }
    void Guid(const GUID& g) {
        auto bytes = win::GuidToBytes(g);
        Raw(bytes.data(), bytes.size());
    }

private:
    Bytes& m_out;
};

class Reader {
public:
    Reader(const std::uint8_t* p, std::size_t n) : m_p(p), m_end(p + n) {}
    bool Ok() const { return m_ok; }
    bool AtEnd() const { return m_p == m_end; }
    std::size_t Left() const { return static_cast<std::size_t>(m_end - m_p); }
    bool Need(std::size_t n) {
        if (!m_ok || Left() < n) {
            m_ok = false;
            return false;
        }
        return true;
    }
    std::uint8_t U8() {
        if (!Need(1)) {
            return 0;
        }
        return *m_p++;
    }
    std::uint16_t U16() {
        if (!Need(2)) {
            return 0;
        }
        std::uint16_t v = static_cast<std::uint16_t>(m_p[0] | (m_p[1] << 8));
        m_p += 2;
        return v;
    }
    std::uint32_t U32() {
        if (!Need(4)) {
            return 0;
        }
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<std::uint32_t>(m_p[i]) << (8 * i);
        }
        m_p += 4;
        return v;
    }
    std::uint64_t U64() {
        if (!Need(8)) {
            return 0;
        }
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) {
            v |= static_cast<std::uint64_t>(m_p[i]) << (8 * i);
        }
        m_p += 8;
        return v;
    }
    // A count of items of at least minSize bytes each: fails when the rest
    // cannot hold them, so a damaged count never drives a huge allocation.
    std::uint32_t Count(std::size_t minSize) {
        std::uint32_t n = U32();
        if (m_ok && minSize > 0 && n > Left() / minSize) {
            m_ok = false;
            return 0;
        }
        return n;
    }
    std::string Str8() {
        std::uint32_t n = Count(1);
        if (!Need(n)) {
            return {};
        }
        std::string s(reinterpret_cast<const char*>(m_p), n);
        m_p += n;
        return s;
    }
    std::wstring Wide() {
        std::uint32_t n = Count(4);
        std::wstring s;
        s.reserve(n);
        for (std::uint32_t i = 0; i < n && m_ok; ++i) {
            s.push_back(static_cast<wchar_t>(U32()));
        }
        return s;
    }
    Bytes Bin() {
        std::uint32_t n = Count(1);
        if (!Need(n)) {
            return {};
        }
        Bytes b(m_p, m_p + n);
        m_p += n;
        return b;
    }
    GUID Guid() {
        if (!Need(16)) {
            return {};
        }
        GUID g = win::GuidFromBytes(m_p);
        m_p += 16;
        return g;
    }
    void Skip(std::size_t n) {
        if (Need(n)) {
            m_p += n;
        }
    }
    void Fail() { m_ok = false; }

private:
    const std::uint8_t* m_p;
    const std::uint8_t* m_end;
    bool m_ok = true;
};

bool IsIntegerType(ULONG base) {
    return base == PT_SHORT || base == PT_LONG || base == PT_LONGLONG || base == PT_CURRENCY ||
           base == PT_SYSTIME || base == PT_ERROR;
}
bool IsRealType(ULONG base) {
    return base == PT_FLOAT || base == PT_DOUBLE || base == PT_APPTIME;
}

void WriteValue(Writer& w, const PropValue& v) {
    std::visit(
        [&w](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                w.U64(static_cast<std::uint64_t>(x));
            } else if constexpr (std::is_same_v<T, bool>) {
                w.U8(x ? 1 : 0);
            } else if constexpr (std::is_same_v<T, double>) {
                w.U64(std::bit_cast<std::uint64_t>(x));
            } else if constexpr (std::is_same_v<T, std::string>) {
                w.Str8(x);
            } else if constexpr (std::is_same_v<T, std::wstring>) {
                w.Wide(x);
            } else if constexpr (std::is_same_v<T, Bytes>) {
                w.Bin(x);
            } else if constexpr (std::is_same_v<T, GUID>) {
                w.Guid(x);
            } else {
                w.U32(static_cast<std::uint32_t>(x.size()));
                for (const auto& e : x) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(e)>, std::int64_t>) {
                        w.U64(static_cast<std::uint64_t>(e));
                    } else if constexpr (std::is_same_v<std::decay_t<decltype(e)>, double>) {
                        w.U64(std::bit_cast<std::uint64_t>(e));
                    } else if constexpr (std::is_same_v<std::decay_t<decltype(e)>, std::string>) {
                        w.Str8(e);
                    } else if constexpr (std::is_same_v<std::decay_t<decltype(e)>, std::wstring>) {
                        w.Wide(e);
                    } else if constexpr (std::is_same_v<std::decay_t<decltype(e)>, Bytes>) {
                        w.Bin(e);
                    } else {
                        w.Guid(e);
                    }
                }
            }
        },
        v.Raw());
}

PropValue IntegerValue(ULONG base, std::int64_t v) {
    switch (base) {
        case PT_SHORT:
            return PropValue::Short(static_cast<std::int16_t>(v));
        case PT_LONG:
            return PropValue::Long(static_cast<std::int32_t>(v));
        case PT_CURRENCY:
            return PropValue::Currency(v);
        case PT_SYSTIME:
            return PropValue::SysTime(static_cast<std::uint64_t>(v));
        case PT_ERROR:
            return PropValue::Error(static_cast<SCODE>(v));
        default:
            return PropValue::LongLong(v);
    }
}

PropValue RealValue(ULONG base, double v) {
    switch (base) {
        case PT_FLOAT:
            return PropValue::Float(static_cast<float>(v));
        case PT_APPTIME:
            return PropValue::AppTime(v);
        default:
            return PropValue::Double(v);
    }
}

// Reads one value of type; false for types that are never kept.
bool ReadValue(Reader& r, ULONG type, PropValue* out) {
    const ULONG base = type & ~MV_FLAG;
    if (ValueIndexForType(type) < 0) {
        return false;
    }
    if (!IsMultiValued(type)) {
        if (IsIntegerType(base)) {
            *out = IntegerValue(base, static_cast<std::int64_t>(r.U64()));
        } else if (base == PT_BOOLEAN) {
            std::uint8_t b = r.U8();
            if (b > 1) {
                r.Fail();
            }
            *out = PropValue::Boolean(b != 0);
        } else if (IsRealType(base)) {
            *out = RealValue(base, std::bit_cast<double>(r.U64()));
        } else if (base == PT_STRING8) {
            *out = PropValue::String8(r.Str8());
        } else if (base == PT_UNICODE) {
            *out = PropValue::Unicode(r.Wide());
        } else if (base == PT_BINARY) {
            *out = PropValue::Binary(r.Bin());
        } else if (base == PT_CLSID) {
            *out = PropValue::Clsid(r.Guid());
        } else if (base == PT_OBJECT) {
            *out = PropValue::Object();
        } else {
            *out = PropValue();
        }
        return r.Ok();
    }
    std::uint32_t n = r.Count(base == PT_CLSID                          ? 16
                              : IsIntegerType(base) || IsRealType(base) ? 8
                                                                        : 4);
    if (IsIntegerType(base)) {
        std::vector<std::int64_t> v(n);
        for (auto& e : v) {
            e = static_cast<std::int64_t>(r.U64());
        }
        *out = PropValue::MvInteger(base, std::move(v));
    } else if (IsRealType(base)) {
        std::vector<double> v(n);
        for (auto& e : v) {
            e = std::bit_cast<double>(r.U64());
        }
        *out = PropValue::MvDouble(base, std::move(v));
    } else if (base == PT_STRING8) {
        std::vector<std::string> v(n);
        for (auto& e : v) {
            e = r.Str8();
        }
        *out = PropValue::MvString8(std::move(v));
    } else if (base == PT_UNICODE) {
        std::vector<std::wstring> v(n);
        for (auto& e : v) {
            e = r.Wide();
        }
        *out = PropValue::MvUnicode(std::move(v));
    } else if (base == PT_BINARY) {
        std::vector<Bytes> v(n);
        for (auto& e : v) {
            e = r.Bin();
        }
        *out = PropValue::MvBinary(std::move(v));
    } else {
        std::vector<GUID> v(n);
        for (auto& e : v) {
            e = r.Guid();
        }
        *out = PropValue::MvClsid(std::move(v));
    }
    return r.Ok();
}

// Skips one value without building it.
void SkipValue(Reader& r, ULONG type) {
    PropValue ignored;
    const ULONG base = type & ~MV_FLAG;
    if (!IsMultiValued(type) && (IsIntegerType(base) || IsRealType(base))) {
        r.Skip(8);
        return;
    }
    if (!IsMultiValued(type) && (base == PT_STRING8 || base == PT_BINARY)) {
        r.Skip(r.Count(1));
        return;
    }
    if (!ReadValue(r, type, &ignored)) {
        r.Fail();
    }
}

void WriteBag(Writer& w, const PropertyBag& bag) {
    std::uint32_t n = 0;
    for (const auto& [tag, v] : bag) {
        if (v.IsWellFormed()) {
            ++n;
        }
    }
    w.U32(n);
    for (const auto& [tag, v] : bag) {
        if (v.IsWellFormed()) {
            w.U32(tag);
            WriteValue(w, v);
        }
    }
}

bool ReadBag(Reader& r, PropertyBag* out) {
    *out = PropertyBag();
    std::uint32_t n = r.Count(4);
    ULONG previous = 0;
    for (std::uint32_t i = 0; i < n && r.Ok(); ++i) {
        ULONG tag = r.U32();
        if (i > 0 && PROP_ID(tag) <= PROP_ID(previous)) {
            return false;
        }
        previous = tag;
        PropValue v;
        if (!ReadValue(r, PROP_TYPE(tag), &v)) {
            return false;
        }
        out->Set(tag, std::move(v));
    }
    return r.Ok();
}

void WriteRows(Writer& w, const std::vector<PropertyBag>& rows) {
    w.U32(static_cast<std::uint32_t>(rows.size()));
    for (const auto& row : rows) {
        WriteBag(w, row);
    }
}

bool ReadRows(Reader& r, std::vector<PropertyBag>* out) {
    std::uint32_t n = r.Count(4);
    out->assign(n, PropertyBag());
    for (auto& row : *out) {
        if (!ReadBag(r, &row)) {
            return false;
        }
    }
    return r.Ok();
}

void WriteContent(Writer& w, const MessageContent& c);
bool ReadContent(Reader& r, MessageContent* c, int depth);

void WriteAttachments(Writer& w, const std::vector<AttachmentContent>& atts) {
    w.U32(static_cast<std::uint32_t>(atts.size()));
    for (const auto& a : atts) {
        WriteBag(w, a.props);
        w.Bin(a.data);
        w.U8(a.embedded ? 1 : 0);
        if (a.embedded) {
            WriteContent(w, *a.embedded);
        }
    }
}

bool ReadAttachments(Reader& r, std::vector<AttachmentContent>* out, int depth) {
    std::uint32_t n = r.Count(9);
    out->clear();
    out->resize(n);
    for (auto& a : *out) {
        if (!ReadBag(r, &a.props)) {
            return false;
        }
        a.data = r.Bin();
        std::uint8_t embedded = r.U8();
        if (embedded > 1 || !r.Ok()) {
            return false;
        }
        if (embedded == 1) {
            if (depth >= kMaxNesting) {
                return false;
            }
            a.embedded = std::make_unique<MessageContent>();
            if (!ReadContent(r, a.embedded.get(), depth + 1)) {
                return false;
            }
        }
    }
    return r.Ok();
}

void WriteContent(Writer& w, const MessageContent& c) {
    WriteBag(w, c.props);
    w.U32(static_cast<std::uint32_t>(c.named.size()));
    for (const auto& [id, name] : c.named) {
        w.U16(id);
        w.Guid(name.guid);
        w.U32(name.kind);
        w.U32(static_cast<std::uint32_t>(name.id));
        w.Wide(name.name);
    }
    WriteRows(w, c.recipients);
    WriteAttachments(w, c.attachments);
}

bool ReadContent(Reader& r, MessageContent* c, int depth) {
    if (!ReadBag(r, &c->props)) {
        return false;
    }
    std::uint32_t n = r.Count(30);
    for (std::uint32_t i = 0; i < n && r.Ok(); ++i) {
        USHORT id = r.U16();
        NamedProperty name;
        name.guid = r.Guid();
        name.kind = r.U32();
        name.id = static_cast<LONG>(r.U32());
        name.name = r.Wide();
        if (name.kind > MNID_STRING) {
            return false;
        }
        c->named[id] = std::move(name);
    }
    return r.Ok() && ReadRows(r, &c->recipients) && ReadAttachments(r, &c->attachments, depth);
}

}  // namespace

int EmbeddingDepth(const std::vector<AttachmentContent>& attachments) {
    int depth = 0;
    for (const auto& a : attachments) {
        if (a.embedded) {
            depth = std::max(depth, 1 + EmbeddingDepth(a.embedded->attachments));
        }
    }
    return depth;
}

Bytes EncodeBag(const PropertyBag& bag) {
    Bytes out;
    Writer w(out);
    WriteBag(w, bag);
    return out;
}

Bytes EncodeRows(const std::vector<PropertyBag>& rows) {
    Bytes out;
    Writer w(out);
    WriteRows(w, rows);
    return out;
}

Bytes EncodeAttachments(const std::vector<AttachmentContent>& attachments) {
    Bytes out;
    Writer w(out);
    WriteAttachments(w, attachments);
    return out;
}

bool DecodeBag(const std::uint8_t* data, std::size_t size, PropertyBag* out) {
    Reader r(data, size);
    return ReadBag(r, out) && r.AtEnd();
}

bool DecodeRows(const std::uint8_t* data, std::size_t size, std::vector<PropertyBag>* out) {
    Reader r(data, size);
    return ReadRows(r, out) && r.AtEnd();
}

bool DecodeAttachments(const std::uint8_t* data, std::size_t size,
                       std::vector<AttachmentContent>* out) {
    Reader r(data, size);
    return ReadAttachments(r, out, 0) && r.AtEnd();
}

bool DecodeSelected(const std::uint8_t* data, std::size_t size, const std::vector<ULONG>& tags,
                    PropertyBag* out) {
    *out = PropertyBag();
    Reader r(data, size);
    std::uint32_t n = r.Count(4);
    for (std::uint32_t i = 0; i < n && r.Ok(); ++i) {
        ULONG tag = r.U32();
        bool wanted = std::any_of(tags.begin(), tags.end(), [tag](ULONG t) {
            return PROP_ID(t) == PROP_ID(tag) &&
                   (PROP_TYPE(t) == PT_UNSPECIFIED || PROP_TYPE(t) == PROP_TYPE(tag));
        });
        if (!wanted) {
            SkipValue(r, PROP_TYPE(tag));
            continue;
        }
        PropValue v;
        if (!ReadValue(r, PROP_TYPE(tag), &v)) {
            return false;
        }
        out->Set(tag, std::move(v));
    }
    return r.Ok() && r.AtEnd();
}

}  // namespace store::codec

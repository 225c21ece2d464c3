#include "platform/msgfile/MsgFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/msgfile/LittleEndian.h"

namespace msgfile {
namespace {

using namespace mapi;
namespace fs = std::filesystem;

const std::string kOracle = std::string(QM_SOURCE_DIR) + "/platform/msgfile/msg_oracle.py";
const std::string kEmlOracle = std::string(QM_SOURCE_DIR) + "/platform/msgfile/eml_oracle.py";
const std::string kTestData = std::string(QM_TESTDATA_DIR) + "/msg";

// ---- helpers shared by the tests: the oracles' line format

std::string Fnv(const Bytes& data) {
    std::uint64_t h = 0xCBF29CE484222325ULL;
    for (std::uint8_t b : data) {
        h ^= b;
        h *= 0x100000001B3ULL;
    }
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char buf[3];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        out += buf;
    }
    return out;
}

std::string Utf8(const std::wstring& text) {
    std::string out;
    for (wchar_t wc : text) {
        auto c = static_cast<std::uint32_t>(wc);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

void TextLine(std::vector<std::string>& out, const std::string& label, const PropertyBag& bag,
              ULONG id) {
    if (auto w = bag.GetText(PROP_TAG(PT_UNICODE, id))) {
        out.push_back(label + " U:" + Hex(Utf8(*w)));
    } else if (auto a = bag.GetString8(PROP_TAG(PT_STRING8, id))) {
        out.push_back(label + " A:" + Hex(*a));
    }
}

void DescribeMessage(const MessageContent& m, const std::string& p, std::vector<std::string>& out) {
    TextLine(out, p + "subject", m.props, 0x0037);
    TextLine(out, p + "body", m.props, 0x1000);
    out.push_back(p + "recipients " + std::to_string(m.recipients.size()));
    for (std::size_t i = 0; i < m.recipients.size(); ++i) {
        const std::string r = p + "recip" + std::to_string(i) + ".";
        TextLine(out, r + "name", m.recipients[i], 0x3001);
        TextLine(out, r + "email", m.recipients[i], 0x3003);
        TextLine(out, r + "smtp", m.recipients[i], 0x39FE);
        if (auto t = m.recipients[i].GetInteger(PR_RECIPIENT_TYPE)) {
            out.push_back(r + "type " + std::to_string(*t));
        }
    }
    out.push_back(p + "attachments " + std::to_string(m.attachments.size()));
    for (std::size_t i = 0; i < m.attachments.size(); ++i) {
        const AttachmentContent& a = m.attachments[i];
        const std::string l = p + "att" + std::to_string(i) + ".";
        TextLine(out, l + "filename", a.props, 0x3704);
        TextLine(out, l + "longname", a.props, 0x3707);
        if (a.embedded) {
            DescribeMessage(*a.embedded, l + "msg.", out);
        } else {
            out.push_back(l + "data " + std::to_string(a.data.size()) + " " + Fnv(a.data));
        }
    }
}

void DescribeStreams(const CfbNode& node, const std::string& path, std::vector<std::string>& out) {
    for (const CfbNode& c : node.children) {
        const std::string p = path.empty() ? Utf8(c.name) : path + "/" + Utf8(c.name);
        if (c.IsStream()) {
            out.push_back("stream " + p + " " + std::to_string(c.data.size()) + " " + Fnv(c.data));
        } else {
            DescribeStreams(c, p, out);
        }
    }
}

// As olefile prints it: empty for the null class id.
std::string RootClsid(const CfbNode& root) {
    if (root.clsid == GUID_NULL) {
        return "";
    }
    std::string text = Utf8(win::GuidToString(root.clsid));
    return text.substr(1, text.size() - 2);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            out.push_back(line);
        }
    }
    return out;
}

std::string RunCommand(const std::string& command, int* status) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        *status = -1;
        return out;
    }
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        out.append(buf, n);
    }
    *status = pclose(p);
    return out;
}

std::vector<std::string> OracleLines(const std::string& path) {
    int status = 0;
    std::string text = RunCommand("/usr/bin/python3 " + kOracle + " '" + path + "'", &status);
    EXPECT_EQ(status, 0) << "olefile reader failed on " << path;
    return Lines(text);
}

// Splits oracle lines into the stream listing and the message facts.
void Split(const std::vector<std::string>& all, std::vector<std::string>* streams,
           std::vector<std::string>* facts) {
    for (const auto& l : all) {
        (l.rfind("stream ", 0) == 0 ? streams : facts)->push_back(l);
    }
}

Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/qm_msgfile_XXXXXX";
        m_path = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(m_path); }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes Pattern(std::size_t size, std::uint32_t seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<std::uint8_t>(seed >> 16);
    }
    return b;
}

// ---- a message as a store would hand it over

const NamedProperty kSyncSet = NamedProperty::ByName(
    GUID{0x0F62B4A7, 0x203E, 0x40DE, {0x99, 0xDA, 0x6F, 0x03, 0xEE, 0x72, 0xA0, 0x90}},
    L"qmr-basicid");
const NamedProperty kKeywords = KeywordsProperty();
const NamedProperty kReminderDelta = NamedProperty::ById(PSETID_Common, 0x8501);
const NamedProperty kResponseStatus = NamedProperty::ById(PSETID_Appointment, 0x8218);
const NamedProperty kHeader = NamedProperty::ByName(PS_INTERNET_HEADERS, L"x-quillmere");

const std::wstring kSubject = L"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600 sync";
const std::wstring kBody = L"First line\r\nZweite Zeile: \u00E4\u00F6\u00FC\r\n";

PropertyBag Recipient(const std::wstring& name, const std::wstring& address, LONG type) {
    PropertyBag r;
    r.Set(PR_DISPLAY_NAME, PropValue::Unicode(name));
    r.Set(PR_EMAIL_ADDRESS, PropValue::Unicode(address));
    r.Set(PR_SMTP_ADDRESS, PropValue::Unicode(address));
    r.Set(PR_ADDRTYPE, PropValue::Unicode(L"SMTP"));
    r.Set(PR_RECIPIENT_TYPE, PropValue::Long(type));
    return r;
}

AttachmentContent FileAttachment(const std::wstring& name, Bytes data) {
    AttachmentContent a;
    a.props.Set(PR_ATTACH_METHOD, PropValue::Long(ATTACH_BY_VALUE));
    a.props.Set(PR_ATTACH_FILENAME, PropValue::Unicode(name));
    a.props.Set(PR_ATTACH_LONG_FILENAME, PropValue::Unicode(name));
    a.props.Set(PR_ATTACH_SIZE, PropValue::Long(static_cast<std::int32_t>(data.size())));
    a.data = std::move(data);
    return a;
}

// Named ids as one store numbers them: deliberately not from 0x8000.
MessageContent SampleMessage() {
    MessageContent m;
    m.named[0x8123] = kSyncSet;
    m.named[0x8A00] = kKeywords;
    m.named[0x9001] = kReminderDelta;
    m.named[0x9002] = kResponseStatus;
    m.named[0x9003] = kHeader;
    m.props.Set(PR_MESSAGE_CLASS, PropValue::Unicode(L"IPM.Note"));
    m.props.Set(PR_SUBJECT, PropValue::Unicode(kSubject));
    m.props.Set(PR_BODY, PropValue::Unicode(kBody));
    m.props.Set(PR_HTML, PropValue::Binary(Bytes{'<', 'p', '>', 'x', '<', '/', 'p', '>'}));
    m.props.Set(PR_SEARCH_KEY, PropValue::Binary(Pattern(16, 7)));
    m.props.Set(PR_MESSAGE_FLAGS, PropValue::Long(MSGFLAG_UNSENT | MSGFLAG_HASATTACH));
    m.props.Set(PR_IMPORTANCE, PropValue::Long(IMPORTANCE_HIGH));
    m.props.Set(PR_SENSITIVITY, PropValue::Long(SENSITIVITY_PRIVATE));
    m.props.Set(PR_ICON_INDEX, PropValue::Long(0x202));
    m.props.Set(PR_CLIENT_SUBMIT_TIME, PropValue::SysTime(0x01DB2F0A12345678ULL));
    m.props.Set(PR_DELETE_AFTER_SUBMIT, PropValue::Boolean(true));
    m.props.Set(PR_INTERNET_CPID, PropValue::Long(65001));
    m.props.Set(PR_MESSAGE_CODEPAGE, PropValue::Long(1252));
    m.props.Set(PR_SUBJECT_PREFIX, PropValue::Unicode(L""));
    m.props.Set(PROP_TAG(PT_STRING8, 0x0E1D), PropValue::String8("caf\xE9"));
    m.props.Set(PROP_TAG(PT_SHORT, 0x6701), PropValue::Short(-3));
    m.props.Set(PROP_TAG(PT_LONGLONG, 0x6702), PropValue::LongLong(-(1LL << 40)));
    m.props.Set(PROP_TAG(PT_DOUBLE, 0x6703), PropValue::Double(-1.25e10));
    m.props.Set(PROP_TAG(PT_FLOAT, 0x6704), PropValue::Float(0.5f));
    m.props.Set(PROP_TAG(PT_APPTIME, 0x6705), PropValue::AppTime(45000.75));
    m.props.Set(PROP_TAG(PT_CURRENCY, 0x6706), PropValue::Currency(123456789));
    m.props.Set(PROP_TAG(PT_ERROR, 0x6707), PropValue::Error(MAPI_E_NOT_FOUND));
    m.props.Set(PROP_TAG(PT_CLSID, 0x6708), PropValue::Clsid(PSETID_Task));
    m.props.Set(PROP_TAG(PT_MV_LONG, 0x6709), PropValue::MvLong({1, -2, 0x7FFFFFFF}));
    m.props.Set(PROP_TAG(PT_MV_UNICODE, 0x670A),
                PropValue::MvUnicode({L"a\u00E9", L"", L"\u4E2D"}));
    m.props.Set(PROP_TAG(PT_MV_BINARY, 0x670B), PropValue::MvBinary({{1, 2, 3}, {}, {0xFF}}));
    m.props.Set(PROP_TAG(PT_MV_SYSTIME, 0x670C),
                PropValue::MvInteger(PT_SYSTIME, {0x01D0000000000000LL, 1}));
    m.props.Set(PROP_TAG(PT_MV_DOUBLE, 0x670D), PropValue::MvDouble(PT_DOUBLE, {0.5, -8}));
    m.props.Set(PROP_TAG(PT_MV_CLSID, 0x670E), PropValue::MvClsid({PS_MAPI, PSETID_Address}));
    m.props.Set(PROP_TAG(PT_BINARY, 0x670F), PropValue::Binary({}));
    m.props.Set(PROP_TAG(PT_LONG, 0x8123), PropValue::Long(4));
    m.props.Set(PROP_TAG(PT_MV_STRING8, 0x8A00), PropValue::MvString8({"Quillmere", "Work"}));
    m.props.Set(PROP_TAG(PT_LONG, 0x9001), PropValue::Long(15));
    m.props.Set(PROP_TAG(PT_LONG, 0x9002), PropValue::Long(3));
    m.props.Set(PROP_TAG(PT_UNICODE, 0x9003), PropValue::Unicode(L"on"));
    m.recipients.push_back(Recipient(L"Anna M\u00FCller", L"anna@example.org", MAPI_TO));
    m.recipients.push_back(Recipient(L"Bob", L"bob@example.net", MAPI_CC));
    m.attachments.push_back(FileAttachment(L"sync.zuf", Pattern(1000, 1)));
    m.attachments.push_back(FileAttachment(L"Bericht \u00FC.pdf", Pattern(70000, 2)));
    m.attachments[1].props.Set(PROP_TAG(PT_LONG, 0x9001), PropValue::Long(99));
    return m;
}

// What a reader must give back for a property of the source: named ones
// by name, others by tag.
void ExpectSameProps(const MessageContent& source, const PropertyBag& expected,
                     const MessageContent& readOwner, const PropertyBag& actual) {
    for (const auto& [tag, value] : expected) {
        ULONG readTag = tag;
        if (IsNamedId(PROP_ID(tag))) {
            auto id = readOwner.IdOfName(source.named.at(static_cast<USHORT>(PROP_ID(tag))));
            ASSERT_TRUE(id.has_value()) << std::hex << tag;
            readTag = PROP_TAG(PROP_TYPE(tag), *id);
        }
        const PropValue* got = actual.Find(readTag);
        ASSERT_NE(got, nullptr) << std::hex << tag;
        EXPECT_EQ(*got, value) << std::hex << tag;
    }
}

void ExpectSameMessage(const MessageContent& source, const MessageContent& read) {
    ExpectSameProps(source, source.props, read, read.props);
    ASSERT_EQ(read.recipients.size(), source.recipients.size());
    for (std::size_t i = 0; i < source.recipients.size(); ++i) {
        ExpectSameProps(source, source.recipients[i], read, read.recipients[i]);
    }
    ASSERT_EQ(read.attachments.size(), source.attachments.size());
    for (std::size_t i = 0; i < source.attachments.size(); ++i) {
        const auto& s = source.attachments[i];
        const auto& r = read.attachments[i];
        ExpectSameProps(source, s.props, read, r.props);
        ASSERT_EQ(r.embedded != nullptr, s.embedded != nullptr);
        if (s.embedded) {
            ExpectSameMessage(*s.embedded, *r.embedded);
        } else {
            EXPECT_EQ(r.data, s.data);
        }
    }
}

// ---- our writer, read by our reader

TEST(MsgFileTest, WrittenMessageReadsBackFieldForField) {
    const MessageContent source = SampleMessage();
    Bytes bytes;
    ASSERT_EQ(WriteMsg(source, &bytes), S_OK);
    MessageContent read;
    ASSERT_EQ(ReadMsg(bytes, &read), S_OK);
    ExpectSameMessage(source, read);
    EXPECT_EQ(read.named.size(), source.named.size());
    const auto mask = read.props.GetInteger(PR_STORE_SUPPORT_MASK);
    ASSERT_TRUE(mask.has_value());
    EXPECT_NE(*mask & STORE_UNICODE_OK, 0);
}

TEST(MsgFileTest, NamedPropertiesTravelByNameWithFileIdsFrom0x8000) {
    const MessageContent source = SampleMessage();
    Bytes bytes;
    ASSERT_EQ(WriteMsg(source, &bytes), S_OK);
    MessageContent read;
    ASSERT_EQ(ReadMsg(bytes, &read), S_OK);
    // The file numbers the five names 0x8000..0x8004, whatever the store used.
    ASSERT_EQ(read.named.size(), 5u);
    EXPECT_EQ(read.named.begin()->first, 0x8000);
    EXPECT_EQ(read.named.rbegin()->first, 0x8004);
    // A store with its own numbering maps them by name.
    MessageContent otherStore;
    otherStore.named[0x8000] = kResponseStatus;
    for (const auto& [id, name] : read.named) {
        const PropValue* v = read.props.Find(PROP_TAG(PT_UNSPECIFIED, id));
        ASSERT_NE(v, nullptr);
        ASSERT_TRUE(otherStore.SetNamed(name, *v));
    }
    EXPECT_EQ(*otherStore.FindNamed(kResponseStatus)->Integer(), 3);
    EXPECT_EQ(*otherStore.FindNamed(kReminderDelta)->Integer(), 15);
    EXPECT_EQ(*otherStore.FindNamed(kSyncSet)->Integer(), 4);
    EXPECT_EQ(*otherStore.FindNamed(kKeywords)->MvStr8(),
              (std::vector<std::string>{"Quillmere", "Work"}));
    EXPECT_EQ(*otherStore.FindNamed(kHeader)->Wide(), L"on");
}

TEST(MsgFileTest, NameStorageHoldsGuidsEntriesAndNamesAsLaidOut) {
    MessageContent m;
    m.named[0x8500] = kSyncSet;        // own set, string
    m.named[0x8501] = kReminderDelta;  // PSETID_Common, numeric
    m.named[0x8502] = kKeywords;       // public strings, string
    m.props.Set(PROP_TAG(PT_LONG, 0x8500), PropValue::Long(1));
    m.props.Set(PROP_TAG(PT_LONG, 0x8501), PropValue::Long(2));
    m.props.Set(PROP_TAG(PT_MV_STRING8, 0x8502), PropValue::MvString8({"x"}));
    Bytes bytes;
    ASSERT_EQ(WriteMsg(m, &bytes), S_OK);
    CfbNode root;
    ASSERT_EQ(ReadCompoundFile(bytes.data(), bytes.size(), &root), S_OK);
    const CfbNode* names = root.Find(L"__nameid_version1.0");
    ASSERT_NE(names, nullptr);
    const CfbNode* guids = names->Find(L"__substg1.0_00020102");
    const CfbNode* entries = names->Find(L"__substg1.0_00030102");
    const CfbNode* strings = names->Find(L"__substg1.0_00040102");
    ASSERT_TRUE(guids && entries && strings);
    // Two GUIDs of their own (PS_PUBLIC_STRINGS has the fixed index 2).
    ASSERT_EQ(guids->data.size(), 32u);
    EXPECT_EQ(win::GuidFromBytes(guids->data.data()), kSyncSet.guid);
    EXPECT_EQ(win::GuidFromBytes(guids->data.data() + 16), PSETID_Common);
    ASSERT_EQ(entries->data.size(), 24u);
    const std::uint8_t* e = entries->data.data();
    EXPECT_EQ(le::Get32(e), 0u);                // offset of "qmr-basicid"
    EXPECT_EQ(le::Get16(e + 4), (3 << 1) | 1);  // first own GUID, string
    EXPECT_EQ(le::Get16(e + 6), 0);
    EXPECT_EQ(le::Get32(e + 8), 0x8501u);
    EXPECT_EQ(le::Get16(e + 12), (4 << 1) | 0);
    EXPECT_EQ(le::Get16(e + 14), 1);
    EXPECT_EQ(le::Get16(e + 20), (2 << 1) | 1);
    // "qmr-basicid": 22 bytes, padded to 24; then "Keywords".
    EXPECT_EQ(le::Get32(strings->data.data()), 22u);
    EXPECT_EQ(le::Get32(e + 16), 28u);
    EXPECT_EQ(le::Get32(strings->data.data() + 28), 16u);
}

// Outlook files name each mapping stream by a hash of the name; ours must
// put every entry where Outlook would look for it.
TEST(MsgFileTest, MappingStreamsPlaceEntriesAsOutlookFilesDo) {
    int checkedStrings = 0;
    for (const auto& file : fs::directory_iterator(kTestData)) {
        if (file.path().extension() != ".msg") {
            continue;
        }
        Bytes bytes = ReadFile(file.path());
        CfbNode root;
        ASSERT_EQ(ReadCompoundFile(bytes.data(), bytes.size(), &root), S_OK) << file.path();
        const CfbNode* names = root.Find(L"__nameid_version1.0");
        ASSERT_NE(names, nullptr);
        const Bytes& entries = names->Find(L"__substg1.0_00030102")->data;
        const Bytes& strings = names->Find(L"__substg1.0_00040102")->data;
        for (std::size_t off = 0; off + 8 <= entries.size(); off += 8) {
            std::uint32_t key = le::Get32(&entries[off]);
            const std::uint16_t indexAndKind = le::Get16(&entries[off + 4]);
            if (indexAndKind & 1) {
                const std::uint32_t length = le::Get32(&strings[key]);
                key = NameCrc32(&strings[key + 4], length);
                ++checkedStrings;
            }
            wchar_t name[32];
            std::swprintf(name, 32, L"__substg1.0_%04X0102", 0x1000 + (key ^ indexAndKind) % 0x1F);
            const CfbNode* stream = names->Find(name);
            ASSERT_NE(stream, nullptr) << file.path() << " entry " << off / 8;
            bool found = false;
            for (std::size_t k = 0; k + 8 <= stream->data.size(); k += 8) {
                found |= le::Get32(&stream->data[k]) == key &&
                         le::Get16(&stream->data[k + 4]) == indexAndKind &&
                         le::Get16(&stream->data[k + 6]) == le::Get16(&entries[off + 6]);
            }
            EXPECT_TRUE(found) << file.path() << " entry " << off / 8;
        }
    }
    EXPECT_GT(checkedStrings, 20);
}

TEST(MsgFileTest, EmbeddedMessageKeepsItsOwnNamedProperties) {
    MessageContent inner;
    inner.named[0x8000] = kReminderDelta;  // clashes with the outer's 0x8000
    inner.props.Set(PR_SUBJECT, PropValue::Unicode(L"inner \u00E9"));
    inner.props.Set(PROP_TAG(PT_LONG, 0x8000), PropValue::Long(30));
    inner.recipients.push_back(Recipient(L"C", L"c@example.com", MAPI_BCC));
    inner.attachments.push_back(FileAttachment(L"deep.bin", Pattern(5000, 9)));
    MessageContent outer;
    outer.named[0x8000] = kSyncSet;
    outer.props.Set(PR_SUBJECT, PropValue::Unicode(L"outer"));
    outer.props.Set(PROP_TAG(PT_LONG, 0x8000), PropValue::Long(7));
    AttachmentContent att;
    att.props.Set(PR_DISPLAY_NAME, PropValue::Unicode(L"inner"));
    att.embedded = std::make_unique<MessageContent>(inner);
    outer.attachments.push_back(std::move(att));

    Bytes bytes;
    ASSERT_EQ(WriteMsg(outer, &bytes), S_OK);
    MessageContent read;
    ASSERT_EQ(ReadMsg(bytes, &read), S_OK);
    ExpectSameMessage(outer, read);
    ASSERT_NE(read.attachments[0].embedded, nullptr);
    const MessageContent& e = *read.attachments[0].embedded;
    EXPECT_EQ(*e.FindNamed(kReminderDelta)->Integer(), 30);
    EXPECT_EQ(e.FindNamed(kSyncSet), nullptr);
    EXPECT_EQ(*read.FindNamed(kSyncSet)->Integer(), 7);
    EXPECT_EQ(read.attachments[0].props.GetInteger(PR_ATTACH_METHOD), ATTACH_EMBEDDED_MSG);

    TempDir dir;
    WriteBytes(dir.File("nested.msg"), bytes);
    std::vector<std::string> streams, facts, expected;
    Split(OracleLines(dir.File("nested.msg")), &streams, &facts);
    expected.push_back("rootclsid 00020D0B-0000-0000-C000-000000000046");
    DescribeMessage(outer, "", expected);
    EXPECT_EQ(facts, expected);
}

TEST(MsgFileTest, UnnamedHighIdOrIllFormedValueIsRefused) {
    MessageContent noName;
    noName.props.Set(PROP_TAG(PT_LONG, 0x8005), PropValue::Long(1));
    Bytes bytes{1, 2, 3};
    EXPECT_EQ(WriteMsg(noName, &bytes), MAPI_E_INVALID_PARAMETER);
    EXPECT_TRUE(bytes.empty());

    MessageContent inRecipient;
    PropertyBag r;
    r.Set(PROP_TAG(PT_LONG, 0x8001), PropValue::Long(1));
    inRecipient.recipients.push_back(r);
    EXPECT_EQ(WriteMsg(inRecipient, &bytes), MAPI_E_INVALID_PARAMETER);

    MessageContent wrongForm;
    wrongForm.props.Set(PR_SUBJECT, PropValue::MvInteger(PT_UNICODE, {1}));
    EXPECT_EQ(WriteMsg(wrongForm, &bytes), MAPI_E_INVALID_PARAMETER);
}

TEST(MsgFileTest, ReadDropsHighIdsTheFileDoesNotName) {
    MessageContent m;
    m.named[0x8000] = kSyncSet;
    m.props.Set(PROP_TAG(PT_LONG, 0x8000), PropValue::Long(1));
    m.props.Set(PR_SUBJECT, PropValue::Unicode(L"s"));
    Bytes bytes;
    ASSERT_EQ(WriteMsg(m, &bytes), S_OK);
    // Remove the name entries: the id then names nothing.
    CfbNode root;
    ASSERT_EQ(ReadCompoundFile(bytes.data(), bytes.size(), &root), S_OK);
    auto& kids = root.children;
    kids.erase(std::remove_if(kids.begin(), kids.end(),
                              [](const CfbNode& n) { return n.name == L"__nameid_version1.0"; }),
               kids.end());
    Bytes stripped;
    ASSERT_EQ(WriteCompoundFile(root, &stripped), S_OK);
    MessageContent read;
    ASSERT_EQ(ReadMsg(stripped, &read), S_OK);
    EXPECT_EQ(read.props.Find(PROP_TAG(PT_LONG, 0x8000)), nullptr);
    EXPECT_TRUE(read.named.empty());
    EXPECT_EQ(read.props.GetText(PR_SUBJECT), L"s");
}

// A property stream that lists one id many times (with a large value
// stream) reads once: the first entry of an id counts.
TEST(MsgFileTest, RepeatedEntriesOfOneIdReadOnce) {
    CfbNode root = CfbNode::MakeStorage(L"Root Entry", kMsgFileClsid);
    Bytes ps(32, 0);
    auto entry = [&](ULONG tag, std::uint32_t size) {
        const std::size_t at = ps.size();
        ps.resize(at + 16, 0);
        le::Put32(&ps[at], tag);
        le::Put32(&ps[at + 4], 6);
        le::Put32(&ps[at + 8], size);
    };
    entry(PR_SUBJECT, 6);
    entry(PR_SUBJECT_A, 4);
    for (int i = 0; i < 200000; ++i) {
        entry(PR_HTML, 1 << 20);
    }
    root.AddStream(L"__properties_version1.0", ps);
    root.AddStream(L"__substg1.0_0037001F", Bytes{'h', 0, 'i', 0});
    root.AddStream(L"__substg1.0_0037001E", Bytes{'x', 'y', 'z'});
    root.AddStream(L"__substg1.0_10130102", Pattern(1 << 20, 3));
    Bytes bytes;
    ASSERT_EQ(WriteCompoundFile(root, &bytes), S_OK);
    MessageContent m;
    ASSERT_EQ(ReadMsg(bytes, &m), S_OK);
    EXPECT_EQ(m.props.GetText(PR_SUBJECT), L"hi");
    EXPECT_EQ(m.props.GetBinary(PR_HTML), Pattern(1 << 20, 3));
    EXPECT_EQ(m.props.Size(), 2u);
}

// ---- independent readers of our output

TEST(MsgFileTest, OlefileReadsOurFileAsWeWroteIt) {
    const MessageContent source = SampleMessage();
    Bytes bytes;
    ASSERT_EQ(WriteMsg(source, &bytes), S_OK);
    TempDir dir;
    WriteBytes(dir.File("sample.msg"), bytes);
    std::vector<std::string> streams, facts, expected;
    Split(OracleLines(dir.File("sample.msg")), &streams, &facts);
    expected.push_back("rootclsid 00020D0B-0000-0000-C000-000000000046");
    DescribeMessage(source, "", expected);
    EXPECT_EQ(facts, expected);
    // And the streams it sees are the ones we hold.
    CfbNode root;
    ASSERT_EQ(ReadCompoundFile(bytes.data(), bytes.size(), &root), S_OK);
    std::vector<std::string> ours;
    DescribeStreams(root, "", ours);
    std::sort(ours.begin(), ours.end());
    EXPECT_EQ(streams, ours);
    // The subject is UTF-16LE without terminator: one unit per character,
    // two for the character above U+FFFF.
    const std::string subjectStream =
        "stream __substg1.0_0037001F " + std::to_string(2 * (kSubject.size() + 1)) + " ";
    EXPECT_EQ(std::count_if(streams.begin(), streams.end(),
                            [&](const std::string& l) { return l.rfind(subjectStream, 0) == 0; }),
              1);
}

TEST(MsgFileTest, MsgconvertTurnsOurFileIntoTheSameMail) {
    // msgconvert itself mangles the body of a mail whose subject holds
    // characters beyond Latin-1 (it encodes the body twice), so this mail's
    // subject stays ASCII; the olefile test covers the wide subject.
    const std::wstring subject = L"Sync mail 42";
    MessageContent source = SampleMessage();
    source.props.Set(PR_SUBJECT, PropValue::Unicode(subject));
    Bytes bytes;
    ASSERT_EQ(WriteMsg(source, &bytes), S_OK);
    TempDir dir;
    WriteBytes(dir.File("sample.msg"), bytes);
    int status = 0;
    RunCommand("cd '" + dir.File("") + "' && msgconvert --outfile '" + dir.File("sample.eml") +
                   "' '" + dir.File("sample.msg") + "' 2>&1",
               &status);
    ASSERT_EQ(status, 0);
    const auto lines = Lines(RunCommand(
        "/usr/bin/python3 " + kEmlOracle + " '" + dir.File("sample.eml") + "'", &status));
    ASSERT_EQ(status, 0);
    std::wstring body = kBody;
    body.erase(std::remove(body.begin(), body.end(), L'\r'), body.end());
    while (!body.empty() && body.back() == L'\n') {
        body.pop_back();
    }
    std::vector<std::string> expected = {
        "subject " + Hex(Utf8(subject)),
        "body " + Hex(Utf8(body)),
        "attachment " + Hex(Utf8(L"sync.zuf")) + " 1000 " + Fnv(Pattern(1000, 1)),
        "attachment " + Hex(Utf8(L"Bericht \u00FC.pdf")) + " 70000 " + Fnv(Pattern(70000, 2)),
    };
    EXPECT_EQ(lines, expected);
}

TEST(MsgFileTest, LargeAttachmentNeedsDifatAndRoundTrips) {
    MessageContent m;
    m.props.Set(PR_SUBJECT, PropValue::Unicode(L"big"));
    // More than 109 FAT sectors' worth (109 * 128 * 512 bytes).
    const Bytes big = Pattern(7 * 1024 * 1024 + 300000, 5);
    m.attachments.push_back(FileAttachment(L"big.bin", big));
    Bytes bytes;
    ASSERT_EQ(WriteMsg(m, &bytes), S_OK);
    EXPECT_GE(le::Get32(&bytes[72]), 1u) << "DIFAT sector count";
    EXPECT_GT(le::Get32(&bytes[44]), 109u) << "FAT sector count";
    MessageContent read;
    ASSERT_EQ(ReadMsg(bytes, &read), S_OK);
    ASSERT_EQ(read.attachments.size(), 1u);
    EXPECT_TRUE(read.attachments[0].data == big);

    TempDir dir;
    WriteBytes(dir.File("big.msg"), bytes);
    std::vector<std::string> streams, facts;
    Split(OracleLines(dir.File("big.msg")), &streams, &facts);
    EXPECT_NE(std::find(facts.begin(), facts.end(),
                        "att0.data " + std::to_string(big.size()) + " " + Fnv(big)),
              facts.end());
}

// ---- Outlook's files, read by us and by the independent reader

TEST(MsgFileTest, EveryOutlookFileReadsAsTheIndependentReaderReadsIt) {
    int files = 0;
    for (const auto& file : fs::directory_iterator(kTestData)) {
        if (file.path().extension() != ".msg") {
            continue;
        }
        ++files;
        SCOPED_TRACE(file.path().filename().string());
        const Bytes bytes = ReadFile(file.path());
        CfbNode root;
        ASSERT_EQ(ReadCompoundFile(bytes.data(), bytes.size(), &root), S_OK);
        MessageContent m;
        ASSERT_EQ(ReadMsg(bytes, &m), S_OK);
        std::vector<std::string> streams, facts, ours;
        Split(OracleLines(file.path()), &streams, &facts);
        DescribeStreams(root, "", ours);
        std::sort(ours.begin(), ours.end());
        EXPECT_EQ(ours, streams);
        ours.clear();
        ours.push_back("rootclsid " + RootClsid(root));
        DescribeMessage(m, "", ours);
        EXPECT_EQ(ours, facts);
    }
    EXPECT_EQ(files, 13);
}

TEST(MsgFileTest, OutlookEmbeddedMessageAndStrayByteAreRead) {
    MessageContent nested;
    ASSERT_EQ(ReadMsgFile(kTestData + "/nested_simple_mail.msg", &nested), S_OK);
    ASSERT_EQ(nested.attachments.size(), 1u);
    ASSERT_NE(nested.attachments[0].embedded, nullptr);
    EXPECT_EQ(nested.attachments[0].embedded->props.GetText(PR_SUBJECT),
              L"outlookmsg2html Testmail");
    EXPECT_EQ(nested.attachments[0].embedded->recipients.size(), 1u);

    const Bytes stray = ReadFile(kTestData + "/plain_uc_wc_unsent.msg");
    ASSERT_NE(stray.size() % 512, 0u);
    MessageContent a, b;
    ASSERT_EQ(ReadMsg(stray, &a), S_OK);
    ASSERT_EQ(ReadMsgFile(kTestData + "/plain_uc_unsent.msg", &b), S_OK);
    EXPECT_EQ(a.props.GetText(PR_SUBJECT), L"Test for MSGConvert -- plain text");
    EXPECT_EQ(a.props.GetText(PR_SUBJECT), b.props.GetText(PR_SUBJECT));
    EXPECT_EQ(a.recipients, b.recipients);
}

TEST(MsgFileTest, OutlookFileSurvivesOurWriteAndRead) {
    // Import then save again: what another store receives is what Outlook wrote.
    for (const char* name : {"nested_simple_mail.msg", "issue-87-client-submit-time.msg",
                             "gpg_signed.msg", "simple_email_with_TO_and_CC_multiple.msg"}) {
        SCOPED_TRACE(name);
        MessageContent first;
        ASSERT_EQ(ReadMsgFile(kTestData + "/" + name, &first), S_OK);
        Bytes bytes;
        ASSERT_EQ(WriteMsg(first, &bytes), S_OK);
        MessageContent second;
        ASSERT_EQ(ReadMsg(bytes, &second), S_OK);
        ExpectSameMessage(first, second);
    }
}

TEST(MsgFileTest, EightBitTextsDecodeAsMsgconvertDecodesThem) {
    TempDir dir;
    for (const char* name : {"plain_unsent.msg", "charset.msg", "gpg_signed.msg"}) {
        SCOPED_TRACE(name);
        MessageContent m;
        ASSERT_EQ(ReadMsgFile(kTestData + "/" + name, &m), S_OK);
        ASSERT_TRUE(m.props.GetString8(PR_SUBJECT_A).has_value()) << "an 8-bit file";
        const UINT cp = MessageCodePage(m);
        std::wstring body = GetAnyText(m.props, PROP_ID(PR_BODY), cp).value_or(L"");
        body.erase(std::remove(body.begin(), body.end(), L'\r'), body.end());
        while (!body.empty() && std::iswspace(body.back())) {
            body.pop_back();
        }
        int status = 0;
        RunCommand("cd '" + dir.File("") + "' && msgconvert --outfile '" + dir.File("m.eml") +
                       "' '" + kTestData + "/" + name + "' 2>&1",
                   &status);
        ASSERT_EQ(status, 0);
        const auto lines = Lines(
            RunCommand("/usr/bin/python3 " + kEmlOracle + " '" + dir.File("m.eml") + "'", &status));
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[0], "subject " + Hex(Utf8(*GetAnyText(m.props, PROP_ID(PR_SUBJECT), cp))));
        EXPECT_EQ(lines[1], "body " + Hex(Utf8(body)));
    }
    PropertyBag bag;
    bag.Set(PR_SUBJECT_A, PropValue::String8("\x80 \xE9"));
    EXPECT_EQ(GetAnyText(bag, PROP_ID(PR_SUBJECT), 1252), L"\u20AC \u00E9");
    EXPECT_EQ(GetAnyText(bag, PROP_ID(PR_SUBJECT), 12345), L"\u20AC \u00E9");
    bag.Set(PR_SUBJECT_A, PropValue::String8("\xC3\xA9"));
    EXPECT_EQ(GetAnyText(bag, PROP_ID(PR_SUBJECT), 65001), L"\u00E9");
    EXPECT_FALSE(GetAnyText(bag, PROP_ID(PR_BODY), 1252).has_value());
}

TEST(MsgFileTest, OleAttachmentStorageSurvivesWriteAndRead) {
    CfbNode object = CfbNode::MakeStorage(L"", PSETID_Note);
    object.AddStream(L"CONTENTS", Pattern(3000, 4));
    object.AddStorage(L"sub").AddStream(L"x", Bytes{1, 2});
    Bytes objectBytes;
    ASSERT_EQ(WriteCompoundFile(object, &objectBytes), S_OK);
    MessageContent m;
    m.props.Set(PR_SUBJECT, PropValue::Unicode(L"ole"));
    AttachmentContent att;
    att.props.Set(PR_ATTACH_METHOD, PropValue::Long(ATTACH_OLE));
    att.data = objectBytes;
    m.attachments.push_back(att);
    Bytes bytes;
    ASSERT_EQ(WriteMsg(m, &bytes), S_OK);

    CfbNode root;
    ASSERT_EQ(ReadCompoundFile(bytes.data(), bytes.size(), &root), S_OK);
    const CfbNode* stored =
        root.Find(L"__attach_version1.0_#00000000")->Find(L"__substg1.0_3701000D");
    ASSERT_NE(stored, nullptr);
    ASSERT_TRUE(stored->IsStorage());
    EXPECT_EQ(stored->clsid, PSETID_Note);
    ASSERT_NE(stored->Find(L"CONTENTS"), nullptr);
    EXPECT_EQ(stored->Find(L"CONTENTS")->data, Pattern(3000, 4));

    MessageContent read;
    ASSERT_EQ(ReadMsg(bytes, &read), S_OK);
    ASSERT_EQ(read.attachments.size(), 1u);
    EXPECT_EQ(read.attachments[0].embedded, nullptr);
    CfbNode back;
    ASSERT_EQ(
        ReadCompoundFile(read.attachments[0].data.data(), read.attachments[0].data.size(), &back),
        S_OK);
    EXPECT_EQ(back.clsid, PSETID_Note);
    ASSERT_NE(back.Find(L"sub"), nullptr);
    EXPECT_EQ(back.Find(L"sub")->Find(L"x")->data, (Bytes{1, 2}));
}

TEST(MsgFileTest, SubObjectWithoutPropertyStreamIsDamage) {
    for (const wchar_t* sub : {L"__recip_version1.0_#00000000", L"__attach_version1.0_#00000000"}) {
        MessageContent m;
        m.recipients.push_back(PropertyBag());
        m.attachments.push_back(AttachmentContent());
        Bytes bytes;
        ASSERT_EQ(WriteMsg(m, &bytes), S_OK);
        CfbNode root;
        ASSERT_EQ(ReadCompoundFile(bytes.data(), bytes.size(), &root), S_OK);
        for (CfbNode& child : root.children) {
            if (child.name == sub) {
                child.children.clear();
            }
        }
        Bytes damaged;
        ASSERT_EQ(WriteCompoundFile(root, &damaged), S_OK);
        MessageContent read;
        EXPECT_EQ(ReadMsg(bytes, &read), S_OK);
        EXPECT_EQ(ReadMsg(damaged, &read), MAPI_E_CORRUPT_DATA);
    }
}

// ---- files and failures

TEST(MsgFileTest, FilesRoundTripAndMissingOnesAreNotFound) {
    TempDir dir;
    const MessageContent source = SampleMessage();
    ASSERT_EQ(WriteMsgFile(dir.File("share.syn"), source), S_OK);
    EXPECT_FALSE(fs::exists(dir.File("share.syn.tmp")));
    MessageContent read;
    ASSERT_EQ(ReadMsgFile(dir.File("share.syn"), &read), S_OK);
    ExpectSameMessage(source, read);
    EXPECT_EQ(ReadMsgFile(dir.File("absent.msg"), &read), MAPI_E_NOT_FOUND);
    EXPECT_EQ(WriteMsgFile(dir.File("no/such/dir/x.msg"), source), MAPI_E_DISK_ERROR);
}

TEST(MsgFileTest, DamagedFilesFailCleanly) {
    Bytes good;
    ASSERT_EQ(WriteMsg(SampleMessage(), &good), S_OK);
    MessageContent m;
    EXPECT_EQ(ReadMsg(Bytes{}, &m), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(ReadMsg(Bytes(good.begin(), good.begin() + 1024), &m), MAPI_E_CORRUPT_DATA);
    EXPECT_TRUE(m.props.Empty());
    // A compound file that is no message: no property stream at the top.
    CfbNode other = CfbNode::MakeStorage(L"Root Entry");
    other.AddStream(L"WordDocument", Bytes(100, 1));
    Bytes doc;
    ASSERT_EQ(WriteCompoundFile(other, &doc), S_OK);
    EXPECT_EQ(ReadMsg(doc, &m), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(ReadMsg(good, nullptr), E_INVALIDARG);
}

}  // namespace
}  // namespace msgfile

#include "platform/transport/MimeParser.h"

#include <vector>

#include "platform/transport/MimeCodec.h"
#include "platform/transport/MimeHeaders.h"
#include "platform/transport/MimeWriter.h"
#include "platform/win/Clock.h"
#include "platform/win/Text.h"

namespace transport {

namespace {

using mapi::PropValue;

// What the walk over the parts of one message collects.
struct Collected {
    bool haveBody = false;
    bool haveHtml = false;
    std::wstring body;
    std::string html;
    UINT htmlCodePage = 0;
    std::vector<mapi::AttachmentContent> attachments;
};

std::string_view TrimEnd(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

std::string DecodeTransfer(std::string_view body, std::string_view encoding) {
    if (encoding == "base64") {
        return DecodeBase64(body);
    }
    if (encoding == "quoted-printable") {
        return DecodeQuotedPrintable(body);
    }
    return std::string(body);
}

// The bodies of the parts of a multipart body: the text between delimiter
// lines "--boundary", without the line break that belongs to the next
// delimiter. A missing close delimiter ends the last part at the end.
std::vector<std::string_view> SplitMultipart(std::string_view body, std::string_view boundary) {
    std::vector<std::string_view> parts;
    std::string delimiter = "--" + std::string(boundary);
    bool inPart = false;
    std::size_t partStart = 0;
    std::size_t pos = 0;
    while (pos <= body.size()) {
        std::size_t lf = body.find('\n', pos);
        std::size_t lineEnd = lf == std::string_view::npos ? body.size() : lf;
        std::string_view line = body.substr(pos, lineEnd - pos);
        if (line.substr(0, delimiter.size()) == delimiter) {
            std::string_view rest = TrimEnd(line.substr(delimiter.size()));
            bool close = rest.substr(0, 2) == "--";
            if (close || rest.empty()) {
                if (inPart) {
                    std::size_t end = pos;
                    if (end > partStart && body[end - 1] == '\n') {
                        --end;
                        if (end > partStart && body[end - 1] == '\r') {
                            --end;
                        }
                    }
                    parts.push_back(body.substr(partStart, end - partStart));
                }
                if (close) {
                    return parts;
                }
                inPart = true;
                partStart = lf == std::string_view::npos ? body.size() : lf + 1;
            }
        }
        if (lf == std::string_view::npos) {
            break;
        }
        pos = lf + 1;
    }
    if (inPart) {
        parts.push_back(body.substr(partStart));
    }
    return parts;
}

mapi::PropertyBag RecipientRow(const MailAddress& mailbox, LONG type) {
    mapi::PropertyBag row;
    row.Set(mapi::PR_RECIPIENT_TYPE, PropValue::Long(type));
    row.Set(mapi::PR_DISPLAY_NAME,
            PropValue::Unicode(mailbox.name.empty() ? mailbox.address : mailbox.name));
    row.Set(mapi::PR_EMAIL_ADDRESS, PropValue::Unicode(mailbox.address));
    row.Set(mapi::PR_SMTP_ADDRESS, PropValue::Unicode(mailbox.address));
    row.Set(mapi::PR_ADDRTYPE, PropValue::Unicode(L"SMTP"));
    return row;
}

std::wstring StripAngles(std::wstring text) {
    if (text.size() >= 2 && text.front() == L'<' && text.back() == L'>') {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

const MailAddress* FirstAddress(const std::vector<MailAddress>& list) {
    for (const MailAddress& a : list) {
        if (!a.address.empty()) {
            return &a;
        }
    }
    return nullptr;
}

std::wstring HeaderText(const std::vector<HeaderField>& fields, std::string_view name) {
    const HeaderField* f = FindField(fields, name);
    return f == nullptr ? std::wstring() : DecodeHeaderText(f->value);
}

class Parser {
public:
    Parser(const ParseOptions& options, std::string* error) : m_options(options), m_error(error) {}

    HRESULT Failure() const { return m_failure; }

    bool Message(std::string_view bytes, int depth, bool topLevel, mapi::MessageContent* out) {
        std::vector<HeaderField> fields;
        std::string_view body;
        std::string why;
        if (!SplitEntity(bytes, kMaxHeaderFields, &fields, &body, &why)) {
            return Fail(MAPI_E_CORRUPT_DATA, why);
        }
        const HeaderField* from = FindField(fields, "from");
        if (topLevel && (from == nullptr || !FirstAddress(ParseAddressList(from->value)))) {
            return Fail(MAPI_E_CORRUPT_DATA, "no From header field with an address");
        }
        Collected collected;
        if (!Walk(fields, body, depth, &collected)) {
            return false;
        }
        std::size_t headerSize = body.data() == nullptr
                                     ? bytes.size()
                                     : static_cast<std::size_t>(body.data() - bytes.data());
        FillEnvelope(fields, bytes.substr(0, headerSize), out);
        FillContent(std::move(collected), out);
        return true;
    }

private:
    bool Fail(HRESULT hr, std::string why) {
        m_failure = hr;
        if (m_error != nullptr) {
            *m_error = std::move(why);
        }
        return false;
    }

    bool Walk(const std::vector<HeaderField>& fields, std::string_view body, int depth,
              Collected* collected) {
        if (++m_parts > kMaxMimeParts) {
            return Fail(MAPI_E_TOO_COMPLEX,
                        "more than " + std::to_string(kMaxMimeParts) + " MIME parts");
        }
        const HeaderField* ctField = FindField(fields, "content-type");
        StructuredValue type = ParseStructured(ctField ? ctField->value : "text/plain");
        if (type.value.find('/') == std::string::npos) {
            type.value = "text/plain";  // RFC 2045 5.2: a broken type is plain text
        }
        if (type.value.rfind("multipart/", 0) == 0) {
            return Multipart(type, body, depth, collected);
        }
        const HeaderField* cteField = FindField(fields, "content-transfer-encoding");
        std::string encoding = cteField ? AsciiLower(cteField->value) : "7bit";
        const HeaderField* dispField = FindField(fields, "content-disposition");
        StructuredValue disposition = ParseStructured(dispField ? dispField->value : "");
        std::wstring fileName;
        if (auto it = disposition.params.find("filename"); it != disposition.params.end()) {
            fileName = it->second;
        } else if (auto n = type.params.find("name"); n != type.params.end()) {
            fileName = n->second;
        }
        std::string data = DecodeTransfer(body, encoding);
        bool isText = type.value == "text/plain" || type.value == "text/html";
        bool inlineText = isText && disposition.value != "attachment" && fileName.empty();
        if (inlineText && type.value == "text/plain" && !collected->haveBody) {
            collected->haveBody = true;
            auto cs = type.params.find("charset");
            collected->body =
                DecodeCharset(data, cs == type.params.end() ? "us-ascii" : win::ToUtf8(cs->second));
            return true;
        }
        if (inlineText && type.value == "text/html" && !collected->haveHtml) {
            collected->haveHtml = true;
            collected->html = std::move(data);
            auto cs = type.params.find("charset");
            collected->htmlCodePage =
                cs == type.params.end() ? 0 : CodePageOfCharset(win::ToUtf8(cs->second));
            return true;
        }
        mapi::AttachmentContent attachment;
        if (type.value == "message/rfc822" && depth < kMaxMimeDepth) {
            auto embedded = std::make_unique<mapi::MessageContent>();
            std::size_t partsBefore = static_cast<std::size_t>(m_parts);
            if (Message(data, depth + 1, false, embedded.get())) {
                attachment.embedded = std::move(embedded);
            } else if (m_failure == MAPI_E_TOO_COMPLEX) {
                return false;
            } else {
                // Not a message after all: keep its bytes as a file.
                m_parts = static_cast<int>(partsBefore);
                m_failure = S_OK;
            }
        }
        FillAttachment(fields, type.value, fileName, std::move(data), &attachment);
        collected->attachments.push_back(std::move(attachment));
        return true;
    }

    bool Multipart(const StructuredValue& type, std::string_view body, int depth,
                   Collected* collected) {
        if (depth >= kMaxMimeDepth) {
            return Fail(MAPI_E_TOO_COMPLEX, "MIME parts nest too deeply");
        }
        auto boundary = type.params.find("boundary");
        if (boundary == type.params.end() || boundary->second.empty()) {
            return Fail(MAPI_E_CORRUPT_DATA, type.value + " without a boundary");
        }
        std::vector<std::string_view> parts = SplitMultipart(body, win::ToUtf8(boundary->second));
        if (parts.empty()) {
            return Fail(MAPI_E_CORRUPT_DATA, type.value + " without parts");
        }
        for (std::string_view part : parts) {
            std::vector<HeaderField> fields;
            std::string_view partBody;
            std::string why;
            if (!SplitEntity(part, kMaxHeaderFields, &fields, &partBody, &why)) {
                return Fail(MAPI_E_CORRUPT_DATA, "broken part header: " + why);
            }
            if (!Walk(fields, partBody, depth + 1, collected)) {
                return false;
            }
        }
        return true;
    }

    void FillAttachment(const std::vector<HeaderField>& fields, const std::string& mimeType,
                        const std::wstring& rawName, std::string data,
                        mapi::AttachmentContent* attachment) {
        mapi::PropertyBag& props = attachment->props;
        bool embedded = attachment->embedded != nullptr;
        props.Set(mapi::PR_ATTACH_METHOD,
                  PropValue::Long(embedded ? mapi::ATTACH_EMBEDDED_MSG : mapi::ATTACH_BY_VALUE));
        std::wstring name = SafeFileName(rawName);
        if (!name.empty()) {
            props.Set(mapi::PR_ATTACH_LONG_FILENAME, PropValue::Unicode(name));
            props.Set(mapi::PR_ATTACH_FILENAME, PropValue::Unicode(ShortFileName(name)));
            props.Set(mapi::PR_DISPLAY_NAME, PropValue::Unicode(name));
            if (std::size_t dot = name.rfind(L'.'); dot != std::wstring::npos) {
                props.Set(mapi::PR_ATTACH_EXTENSION, PropValue::Unicode(name.substr(dot)));
            }
        } else if (embedded) {
            props.Set(mapi::PR_DISPLAY_NAME,
                      PropValue::Unicode(
                          attachment->embedded->props.GetText(mapi::PR_SUBJECT).value_or(L"")));
        }
        props.Set(mapi::PR_ATTACH_MIME_TAG, PropValue::Unicode(win::FromUtf8(mimeType)));
        if (const HeaderField* id = FindField(fields, "content-id")) {
            std::wstring text = StripAngles(DecodeHeaderText(id->value));
            if (!text.empty()) {
                props.Set(mapi::PR_ATTACH_CONTENT_ID, PropValue::Unicode(text));
            }
        }
        if (!embedded) {
            attachment->data.assign(data.begin(), data.end());
        }
    }

    void FillEnvelope(const std::vector<HeaderField>& fields, std::string_view headerText,
                      mapi::MessageContent* out) {
        mapi::PropertyBag& props = out->props;
        props.Set(mapi::PR_SUBJECT, PropValue::Unicode(HeaderText(fields, "subject")));
        std::wstring messageClass = HeaderText(fields, "x-message-class");
        props.Set(mapi::PR_MESSAGE_CLASS,
                  PropValue::Unicode(messageClass.empty() ? L"IPM.Note" : messageClass));

        std::vector<MailAddress> from;
        if (const HeaderField* f = FindField(fields, "from")) {
            from = ParseAddressList(f->value);
        }
        std::vector<MailAddress> sender;
        if (const HeaderField* f = FindField(fields, "sender")) {
            sender = ParseAddressList(f->value);
        }
        if (FirstAddress(sender) == nullptr) {
            sender = from;
        }
        auto setAddress = [&](const std::vector<MailAddress>& list, ULONG nameTag, ULONG addrTag,
                              ULONG typeTag) {
            const MailAddress* first = FirstAddress(list);
            if (first == nullptr) {
                return;
            }
            const MailAddress& a = *first;
            props.Set(nameTag, PropValue::Unicode(a.name.empty() ? a.address : a.name));
            props.Set(addrTag, PropValue::Unicode(a.address));
            props.Set(typeTag, PropValue::Unicode(L"SMTP"));
        };
        setAddress(from, mapi::PR_SENT_REPRESENTING_NAME, mapi::PR_SENT_REPRESENTING_EMAIL_ADDRESS,
                   mapi::PR_SENT_REPRESENTING_ADDRTYPE);
        setAddress(sender, mapi::PR_SENDER_NAME, mapi::PR_SENDER_EMAIL_ADDRESS,
                   mapi::PR_SENDER_ADDRTYPE);

        static const std::pair<const char*, LONG> kRecipientFields[] = {
            {"to", mapi::MAPI_TO}, {"cc", mapi::MAPI_CC}, {"bcc", mapi::MAPI_BCC}};
        for (const auto& [name, type] : kRecipientFields) {
            for (const HeaderField& f : fields) {
                if (f.name != name) {
                    continue;
                }
                for (const MailAddress& a : ParseAddressList(f.value)) {
                    if (!a.address.empty()) {
                        out->recipients.push_back(RecipientRow(a, type));
                    }
                }
            }
        }

        std::optional<ULONGLONG> date;
        if (const HeaderField* f = FindField(fields, "date")) {
            date = ParseMailDate(f->value);
        }
        if (date) {
            props.Set(mapi::PR_CLIENT_SUBMIT_TIME, PropValue::SysTime(*date));
        }
        std::optional<ULONGLONG> delivered = m_options.deliveryTime;
        if (!delivered) {
            if (const HeaderField* f = FindField(fields, "received")) {
                if (std::size_t semi = f->value.rfind(';'); semi != std::string::npos) {
                    delivered = ParseMailDate(std::string_view(f->value).substr(semi + 1));
                }
            }
        }
        if (!delivered) {
            delivered = date;
        }
        if (!delivered) {
            FILETIME now{};
            GetSystemTimeAsFileTime(&now);
            delivered = win::FileTimeToUInt64(now);
        }
        props.Set(mapi::PR_MESSAGE_DELIVERY_TIME, PropValue::SysTime(*delivered));

        std::wstring messageId = HeaderText(fields, "message-id");
        if (!messageId.empty()) {
            props.Set(mapi::PR_INTERNET_MESSAGE_ID, PropValue::Unicode(messageId));
        }
        std::string importance = AsciiLower(win::ToUtf8(HeaderText(fields, "importance")));
        std::wstring priority = HeaderText(fields, "x-priority");
        if (importance == "low" || (importance.empty() && !priority.empty() &&
                                    priority[0] >= L'4' && priority[0] <= L'5')) {
            props.Set(mapi::PR_IMPORTANCE, PropValue::Long(mapi::IMPORTANCE_LOW));
        } else if (importance == "high" || (importance.empty() && !priority.empty() &&
                                            priority[0] >= L'1' && priority[0] <= L'2')) {
            props.Set(mapi::PR_IMPORTANCE, PropValue::Long(mapi::IMPORTANCE_HIGH));
        } else if (importance == "normal" || (!priority.empty() && priority[0] == L'3')) {
            props.Set(mapi::PR_IMPORTANCE, PropValue::Long(mapi::IMPORTANCE_NORMAL));
        }
        std::string sensitivity = AsciiLower(win::ToUtf8(HeaderText(fields, "sensitivity")));
        if (sensitivity == "personal") {
            props.Set(mapi::PR_SENSITIVITY, PropValue::Long(mapi::SENSITIVITY_PERSONAL));
        } else if (sensitivity == "private") {
            props.Set(mapi::PR_SENSITIVITY, PropValue::Long(mapi::SENSITIVITY_PRIVATE));
        } else if (sensitivity == "company-confidential") {
            props.Set(mapi::PR_SENSITIVITY,
                      PropValue::Long(mapi::SENSITIVITY_COMPANY_CONFIDENTIAL));
        }
        props.Set(mapi::PR_TRANSPORT_MESSAGE_HEADERS,
                  PropValue::Unicode(DecodeCharset(headerText, "")));
    }

    static void FillContent(Collected collected, mapi::MessageContent* out) {
        mapi::PropertyBag& props = out->props;
        props.Set(mapi::PR_BODY, PropValue::Unicode(std::move(collected.body)));
        if (collected.haveHtml) {
            props.Set(mapi::PR_HTML,
                      PropValue::Binary(mapi::Bytes(collected.html.begin(), collected.html.end())));
            if (collected.htmlCodePage != 0) {
                props.Set(mapi::PR_INTERNET_CPID,
                          PropValue::Long(static_cast<std::int32_t>(collected.htmlCodePage)));
            }
        }
        LONG flags = collected.attachments.empty() ? 0 : mapi::MSGFLAG_HASATTACH;
        props.Set(mapi::PR_MESSAGE_FLAGS, PropValue::Long(flags));
        out->attachments = std::move(collected.attachments);
    }

    const ParseOptions& m_options;
    std::string* m_error;
    HRESULT m_failure = S_OK;
    int m_parts = 0;
};

bool IsShortNameChar(wchar_t c) {
    if ((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9')) {
        return true;
    }
    return std::wstring_view(L"!#$%&'()-@^_`{}~").find(c) != std::wstring_view::npos;
}

std::wstring ShortPart(std::wstring_view text, std::size_t limit) {
    std::wstring out;
    for (wchar_t c : text) {
        if (out.size() >= limit) {
            break;
        }
        if (c == L' ' || c == L'.') {
            continue;
        }
        out += IsShortNameChar(c) ? c : L'_';
    }
    return win::ToUpper(out);
}

}  // namespace

HRESULT ParseMime(std::string_view bytes, const ParseOptions& options, mapi::MessageContent* out,
                  std::string* error) {
    if (bytes.size() > options.maxSize) {
        if (error != nullptr) {
            *error = "message of " + std::to_string(bytes.size()) + " bytes is larger than " +
                     std::to_string(options.maxSize);
        }
        return MAPI_E_TOO_BIG;
    }
    if (bytes.empty()) {
        if (error != nullptr) {
            *error = "empty message";
        }
        return MAPI_E_CORRUPT_DATA;
    }
    Parser parser(options, error);
    mapi::MessageContent message;
    if (!parser.Message(bytes, 0, true, &message)) {
        return parser.Failure();
    }
    *out = std::move(message);
    return S_OK;
}

std::wstring SafeFileName(std::wstring_view name) {
    std::size_t slash = name.find_last_of(L"/\\");
    if (slash != std::wstring_view::npos) {
        name = name.substr(slash + 1);
    }
    std::wstring out;
    for (wchar_t c : name) {
        if (c < 0x20 || c == 0x7F) {
            continue;
        }
        out += std::wstring_view(L":*?\"<>|").find(c) != std::wstring_view::npos ? L'_' : c;
    }
    std::size_t b = out.find_first_not_of(L' ');
    if (b == std::wstring::npos) {
        return {};
    }
    out = out.substr(b, out.find_last_not_of(L' ') - b + 1);
    if (out == L"." || out == L"..") {
        return {};
    }
    return out;
}

std::wstring ShortFileName(std::wstring_view name) {
    std::size_t dot = name.rfind(L'.');
    std::wstring_view base = dot == std::wstring_view::npos ? name : name.substr(0, dot);
    std::wstring_view ext =
        dot == std::wstring_view::npos ? std::wstring_view() : name.substr(dot + 1);
    bool fits = !base.empty() && base.size() <= 8 && ext.size() <= 3 &&
                (dot == std::wstring_view::npos || !ext.empty());
    for (wchar_t c : base) {
        fits = fits && IsShortNameChar(c);
    }
    for (wchar_t c : ext) {
        fits = fits && IsShortNameChar(c);
    }
    if (fits) {
        return std::wstring(name);
    }
    std::wstring shortBase = ShortPart(base, 6);
    if (shortBase.empty()) {
        shortBase = L"FILE";
    }
    std::wstring shortExt = ShortPart(ext, 3);
    std::wstring out = shortBase + L"~1";
    if (!shortExt.empty()) {
        out += L"." + shortExt;
    }
    return out;
}

}  // namespace transport

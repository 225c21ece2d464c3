#include "platform/transport/MimeWriter.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "platform/transport/MimeCodec.h"
#include "platform/win/Clock.h"
#include "platform/win/Guid.h"
#include "platform/win/Text.h"

namespace transport {

namespace {

using mapi::PropertyBag;

constexpr char kMailer[] = "Quillmere post office transport";

std::atomic<unsigned> g_boundaryCounter{0};

std::string RandomHex() {
    GUID g = win::NewGuid();
    auto bytes = win::GuidToBytes(g);
    std::string out;
    char hex[3];
    for (BYTE b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        out += hex;
    }
    return out;
}

std::string NewBoundary() {
    // "=_" cannot occur in base64 or quoted-printable text, so no encoded
    // line can look like a delimiter.
    return "=_QM_" + std::to_string(++g_boundaryCounter) + "_" + RandomHex();
}

std::string LocalHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

bool LooksLikeAddress(std::wstring_view text) {
    return text.find(L'@') != std::wstring_view::npos &&
           text.find_first_of(L" \t<>,;\"") == std::wstring_view::npos;
}

bool SameAddress(std::wstring_view a, std::wstring_view b) {
    return win::ToLower(a) == win::ToLower(b);
}

MailAddress Normalized(MailAddress a) {
    if (SameAddress(a.name, a.address)) {
        a.name.clear();
    }
    return a;
}

std::string BagBytes(const PropertyBag& bag, ULONG tag) {
    const mapi::PropValue* v = bag.Find(mapi::PROP_TAG(mapi::PT_UNSPECIFIED, mapi::PROP_ID(tag)));
    if (v == nullptr) {
        return {};
    }
    if (const mapi::Bytes* b = v->Bin()) {
        return std::string(b->begin(), b->end());
    }
    if (const std::wstring* w = v->Wide()) {
        return win::ToUtf8(*w);
    }
    if (const std::string* s = v->Str8()) {
        return *s;
    }
    return {};
}

// An identifier that can be written into a header as it is: printable
// ASCII without blanks or angle brackets (a decoded Message-ID or Content-ID
// from elsewhere may hold line breaks that would end the header section).
bool IsPlainIdentifier(std::wstring_view text) {
    if (text.empty()) {
        return false;
    }
    for (wchar_t c : text) {
        if (c <= 0x20 || c >= 0x7F || c == L'<' || c == L'>') {
            return false;
        }
    }
    return true;
}

bool IsMimeTypeToken(std::wstring_view text) {
    std::size_t slash = text.find(L'/');
    if (slash == 0 || slash == std::wstring_view::npos || slash + 1 == text.size()) {
        return false;
    }
    for (wchar_t c : text) {
        if (c <= 0x20 || c >= 0x7F ||
            std::wstring_view(L"()<>@,;:\\\"[]?=").find(c) != std::wstring_view::npos) {
            return false;
        }
    }
    return text.find(L'/', slash + 1) == std::wstring_view::npos;
}

// A body's bytes with the transfer encoding that keeps them exactly.
void AppendTextBody(std::string* out, std::string_view type, std::string_view charset,
                    std::string_view bytes) {
    *out += "Content-Type: ";
    *out += type;
    *out += "; charset=";
    *out += charset;
    *out += "\r\n";
    if (HasCanonicalLineEnds(bytes)) {
        *out += "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
        *out += EncodeQuotedPrintable(bytes);
    } else {
        *out += "Content-Transfer-Encoding: base64\r\n\r\n";
        *out += EncodeBase64Lines(bytes);
    }
}

class Writer {
public:
    explicit Writer(std::string* error) : m_error(error) {}

    // The whole entity (headers and body) of message.
    bool Entity(const mapi::MessageContent& message, const WriteOptions& options, bool topLevel,
                int depth, std::string* out) {
        if (depth > kMaxMimeDepth) {
            return Fail("embedded messages nest too deeply");
        }
        if (!Headers(message, options, topLevel, out)) {
            return false;
        }
        *out += "MIME-Version: 1.0\r\n";
        return Content(message, depth, out);
    }

    HRESULT Failure() const { return m_failure; }

private:
    bool Fail(std::string text, HRESULT hr = MAPI_E_TOO_COMPLEX) {
        m_failure = hr;
        if (m_error != nullptr) {
            *m_error = std::move(text);
        }
        return false;
    }

    bool Headers(const mapi::MessageContent& message, const WriteOptions& options, bool topLevel,
                 std::string* out) {
        const PropertyBag& props = message.props;
        std::optional<ULONGLONG> date;
        if (auto submit = props.GetInteger(mapi::PR_CLIENT_SUBMIT_TIME)) {
            date = static_cast<ULONGLONG>(*submit);
        } else if (options.date) {
            date = options.date;
        } else if (topLevel) {
            FILETIME now{};
            GetSystemTimeAsFileTime(&now);
            date = win::FileTimeToUInt64(now);
        }
        if (date) {
            std::string text = FormatMailDate(*date);
            if (!text.empty()) {
                *out += "Date: " + text + "\r\n";
            }
        }

        MailAddress account = options.sender;
        if (account.address.empty()) {
            account.name = PropText(props, mapi::PR_SENDER_NAME).value_or(L"");
            account.address = PropText(props, mapi::PR_SENDER_EMAIL_ADDRESS).value_or(L"");
        }
        MailAddress representing{
            PropText(props, mapi::PR_SENT_REPRESENTING_NAME).value_or(L""),
            PropText(props, mapi::PR_SENT_REPRESENTING_EMAIL_ADDRESS).value_or(L"")};
        if (representing.address.empty() && LooksLikeAddress(representing.name)) {
            representing.address = representing.name;
        }
        if (account.address.empty() && !representing.address.empty()) {
            account = representing;
        }
        if (account.address.empty()) {
            if (topLevel) {
                return Fail("the message has no sender address", MAPI_E_INVALID_PARAMETER);
            }
        } else if (!representing.address.empty() &&
                   !SameAddress(representing.address, account.address)) {
            *out += FormatAddressField("From", {Normalized(representing)});
            *out += FormatAddressField("Sender", {Normalized(account)});
        } else {
            *out += FormatAddressField("From", {Normalized(account)});
        }

        std::wstring subject = PropText(props, mapi::PR_SUBJECT).value_or(L"");
        *out += FormatUnstructuredField("Subject", subject);

        std::vector<MailAddress> to;
        std::vector<MailAddress> cc;
        for (const RecipientAddress& r : RecipientsOf(message)) {
            if (r.type == mapi::MAPI_CC) {
                cc.push_back(Normalized(r.mailbox));
            } else if (r.type != mapi::MAPI_BCC) {
                to.push_back(Normalized(r.mailbox));
            }
        }
        if (!to.empty()) {
            *out += FormatAddressField("To", to);
        }
        if (!cc.empty()) {
            *out += FormatAddressField("Cc", cc);
        }

        std::string messageId = options.messageId;
        if (messageId.empty()) {
            std::wstring stored = PropText(props, mapi::PR_INTERNET_MESSAGE_ID).value_or(L"");
            if (stored.size() > 2 && stored.front() == L'<' && stored.back() == L'>' &&
                IsPlainIdentifier(std::wstring_view(stored).substr(1, stored.size() - 2))) {
                messageId = win::ToAnsi(stored);
            }
        }
        if (messageId.empty() && topLevel) {
            messageId = NewMessageId(account.address);
        }
        if (!messageId.empty()) {
            *out += "Message-ID: " + messageId + "\r\n";
        }

        if (auto importance = props.GetInteger(mapi::PR_IMPORTANCE)) {
            const char* text = *importance == mapi::IMPORTANCE_LOW    ? "low"
                               : *importance == mapi::IMPORTANCE_HIGH ? "high"
                                                                      : "normal";
            *out += std::string("Importance: ") + text + "\r\n";
        }
        if (auto sensitivity = props.GetInteger(mapi::PR_SENSITIVITY)) {
            const char* text = *sensitivity == mapi::SENSITIVITY_PERSONAL  ? "Personal"
                               : *sensitivity == mapi::SENSITIVITY_PRIVATE ? "Private"
                               : *sensitivity == mapi::SENSITIVITY_COMPANY_CONFIDENTIAL
                                   ? "Company-Confidential"
                                   : nullptr;
            if (text != nullptr) {
                *out += std::string("Sensitivity: ") + text + "\r\n";
            }
        }
        if (auto messageClass = PropText(props, mapi::PR_MESSAGE_CLASS)) {
            *out += FormatUnstructuredField("X-Message-Class", *messageClass);
        }
        if (topLevel) {
            *out += std::string("X-Mailer: ") + kMailer + "\r\n";
        }
        return true;
    }

    // The bodies alone, or the alternative of text and HTML.
    void Bodies(const mapi::MessageContent& message, std::string* out) {
        std::string text = win::ToUtf8(PropText(message.props, mapi::PR_BODY).value_or(L""));
        const mapi::PropValue* html =
            message.props.Find(mapi::PROP_TAG(mapi::PT_UNSPECIFIED, mapi::PROP_ID(mapi::PR_HTML)));
        if (html == nullptr) {
            AppendTextBody(out, "text/plain", "utf-8", text);
            return;
        }
        std::string htmlBytes = BagBytes(message.props, mapi::PR_HTML);
        std::string_view htmlCharset = "utf-8";
        if (html->Bin() != nullptr) {
            if (auto cpid = message.props.GetInteger(mapi::PR_INTERNET_CPID)) {
                std::string_view known = CharsetOfCodePage(static_cast<UINT>(*cpid));
                if (!known.empty()) {
                    htmlCharset = known;
                }
            }
        }
        std::string boundary = NewBoundary();
        *out += "Content-Type: multipart/alternative;\r\n\tboundary=\"" + boundary + "\"\r\n\r\n";
        *out += "--" + boundary + "\r\n";
        AppendTextBody(out, "text/plain", "utf-8", text);
        *out += "\r\n--" + boundary + "\r\n";
        AppendTextBody(out, "text/html", htmlCharset, htmlBytes);
        *out += "\r\n--" + boundary + "--\r\n";
    }

    bool Attachment(const mapi::AttachmentContent& attachment, int depth, std::string* out) {
        const PropertyBag& props = attachment.props;
        LONG method = static_cast<LONG>(
            props.GetInteger(mapi::PR_ATTACH_METHOD).value_or(mapi::ATTACH_BY_VALUE));
        std::wstring name =
            PropText(props, mapi::PR_ATTACH_LONG_FILENAME)
                .value_or(PropText(props, mapi::PR_ATTACH_FILENAME)
                              .value_or(PropText(props, mapi::PR_DISPLAY_NAME).value_or(L"")));
        std::string disposition = "Content-Disposition: attachment";
        if (!name.empty()) {
            disposition += FormatParameter("filename", name);
        }
        disposition += "\r\n";
        if (auto contentId = PropText(props, mapi::PR_ATTACH_CONTENT_ID);
            contentId && IsPlainIdentifier(*contentId)) {
            disposition += "Content-ID: <" + win::ToAnsi(*contentId) + ">\r\n";
        }
        if (method == mapi::ATTACH_EMBEDDED_MSG && attachment.embedded) {
            *out += "Content-Type: message/rfc822\r\n" + disposition + "\r\n";
            return Entity(*attachment.embedded, WriteOptions{}, false, depth + 1, out);
        }
        std::wstring mimeTag = PropText(props, mapi::PR_ATTACH_MIME_TAG).value_or(L"");
        std::string type = IsMimeTypeToken(mimeTag) ? AsciiLower(win::ToAnsi(mimeTag))
                                                    : ContentTypeForFileName(name);
        if (type == "message/rfc822") {
            type = "application/octet-stream";  // bytes that need not parse as mail
        }
        *out += "Content-Type: " + type;
        if (!name.empty()) {
            *out += FormatParameter("name", name);
        }
        *out += "\r\nContent-Transfer-Encoding: base64\r\n" + disposition + "\r\n";
        *out += EncodeBase64Lines(std::string_view(
            reinterpret_cast<const char*>(attachment.data.data()), attachment.data.size()));
        return true;
    }

    bool Content(const mapi::MessageContent& message, int depth, std::string* out) {
        if (message.attachments.empty()) {
            Bodies(message, out);
            return true;
        }
        std::string boundary = NewBoundary();
        *out += "Content-Type: multipart/mixed;\r\n\tboundary=\"" + boundary + "\"\r\n\r\n";
        *out += "This is a multi-part message in MIME format.\r\n";
        *out += "--" + boundary + "\r\n";
        Bodies(message, out);
        for (const mapi::AttachmentContent& attachment : message.attachments) {
            *out += "\r\n--" + boundary + "\r\n";
            if (!Attachment(attachment, depth, out)) {
                return false;
            }
        }
        *out += "\r\n--" + boundary + "--\r\n";
        return true;
    }

    std::string* m_error;
    HRESULT m_failure = S_OK;
};

void SplitDisplayField(const PropertyBag& props, ULONG tag, LONG type,
                       std::vector<RecipientAddress>* out) {
    std::wstring text = PropText(props, tag).value_or(L"");
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of(L";,", start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        std::wstring piece = text.substr(start, end - start);
        std::size_t b = piece.find_first_not_of(L" \t");
        std::size_t e = piece.find_last_not_of(L" \t");
        if (b != std::wstring::npos) {
            piece = piece.substr(b, e - b + 1);
            if (LooksLikeAddress(piece)) {
                out->push_back({type, {L"", piece}});
            }
        }
        start = end + 1;
    }
}

}  // namespace

std::optional<std::wstring> PropText(const mapi::PropertyBag& bag, ULONG tag) {
    const mapi::PropValue* v = bag.Find(mapi::PROP_TAG(mapi::PT_UNSPECIFIED, mapi::PROP_ID(tag)));
    if (v == nullptr) {
        return std::nullopt;
    }
    if (const std::wstring* w = v->Wide()) {
        return *w;
    }
    if (const std::string* s = v->Str8()) {
        if (bag.GetInteger(mapi::PR_MESSAGE_CODEPAGE).value_or(0) == CP_UTF8) {
            return win::FromUtf8(*s);
        }
        return win::FromAnsi(*s);
    }
    return std::nullopt;
}

std::vector<RecipientAddress> RecipientsOf(const mapi::MessageContent& message) {
    std::vector<RecipientAddress> out;
    for (const PropertyBag& row : message.recipients) {
        RecipientAddress r;
        r.type = static_cast<LONG>(row.GetInteger(mapi::PR_RECIPIENT_TYPE).value_or(mapi::MAPI_TO));
        r.mailbox.name = PropText(row, mapi::PR_DISPLAY_NAME).value_or(L"");
        std::wstring addrType = PropText(row, mapi::PR_ADDRTYPE).value_or(L"");
        std::wstring address = PropText(row, mapi::PR_SMTP_ADDRESS).value_or(L"");
        if (address.empty() && (addrType.empty() || win::ToUpper(addrType) == L"SMTP")) {
            address = PropText(row, mapi::PR_EMAIL_ADDRESS).value_or(L"");
        }
        if (address.empty() && LooksLikeAddress(r.mailbox.name)) {
            address = r.mailbox.name;
        }
        if (address.empty() || r.type == mapi::MAPI_ORIG) {
            continue;
        }
        r.mailbox.address = address;
        out.push_back(std::move(r));
    }
    if (message.recipients.empty()) {
        SplitDisplayField(message.props, mapi::PR_DISPLAY_TO, mapi::MAPI_TO, &out);
        SplitDisplayField(message.props, mapi::PR_DISPLAY_CC, mapi::MAPI_CC, &out);
        SplitDisplayField(message.props, mapi::PR_DISPLAY_BCC, mapi::MAPI_BCC, &out);
    }
    return out;
}

HRESULT WriteMime(const mapi::MessageContent& message, const WriteOptions& options,
                  std::string* out, std::string* error) {
    std::string text;
    Writer writer(error);
    if (!writer.Entity(message, options, true, 0, &text)) {
        return writer.Failure();
    }
    *out = std::move(text);
    return S_OK;
}

std::string NewMessageId(std::wstring_view senderAddress) {
    std::string domain;
    if (std::size_t at = senderAddress.rfind(L'@'); at != std::wstring_view::npos) {
        domain = win::ToUtf8(senderAddress.substr(at + 1));
    }
    if (domain.empty() || domain.find_first_of("<>\r\n \t") != std::string::npos) {
        domain = LocalHostName();
    }
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return "<" + std::to_string(win::FileTimeToUInt64(now)) + "." + RandomHex() + "@" + domain +
           ">";
}

std::string ContentTypeForFileName(std::wstring_view fileName) {
    std::size_t dot = fileName.rfind(L'.');
    if (dot == std::wstring_view::npos) {
        return "application/octet-stream";
    }
    std::string ext = AsciiLower(win::ToAnsi(fileName.substr(dot + 1)));
    static const std::pair<const char*, const char*> kTypes[] = {
        {"msg", "application/vnd.ms-outlook"},
        {"txt", "text/plain"},
        {"htm", "text/html"},
        {"html", "text/html"},
        {"xml", "application/xml"},
        {"pdf", "application/pdf"},
        {"zip", "application/zip"},
        {"cab", "application/vnd.ms-cab-compressed"},
        {"eml", "message/rfc822"},
        {"ics", "text/calendar"},
        {"vcf", "text/vcard"},
        {"png", "image/png"},
        {"gif", "image/gif"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"doc", "application/msword"},
        {"xls", "application/vnd.ms-excel"},
        {"rtf", "application/rtf"},
    };
    for (const auto& [e, type] : kTypes) {
        if (ext == e) {
            return type;
        }
    }
    return "application/octet-stream";
}

}  // namespace transport

#include "Quillmere/exchange/SyncMailFormat.h"

#include "platform/win/Clock.h"
#include "platform/win/Text.h"

namespace syncmail {

namespace {

// The text between the ends of the first open marker and the first close
// marker; empty when the close marker starts before the open one ends (the
// reader must never take a negative span).
std::wstring Between(std::wstring_view body, std::size_t open, std::size_t openLength,
                     std::size_t close) {
    std::size_t start = open + openLength;
    if (close < start)
        return {};
    return std::wstring(body.substr(start, close - start));
}

void RemoveFirst(std::wstring& text, wchar_t c) {
    std::size_t at = text.find(c);
    if (at != std::wstring::npos)
        text.erase(at, 1);
}

// The part of a body after its intro: breaks line ends, the kind's flag on a
// line of its own (ended by a bare LF in both kinds), then the share name and
// the sync id between their markers, each line ended by lineEnd.
void AppendMarkerBlock(std::wstring& body, int breaks, std::wstring_view lineEnd,
                       std::wstring_view flag, std::wstring_view shareName,
                       std::wstring_view syncIdText) {
    for (int i = 0; i < breaks; ++i)
        body += lineEnd;
    body += flag;
    body += L'\n';
    body += kShareNameOpen;
    body += shareName;
    body += kShareNameClose;
    body += lineEnd;
    body += kSyncIdOpen;
    body += syncIdText;
    body += kSyncIdClose;
    body += lineEnd;
}

}  // namespace

SyncMailTime MakeSyncMailTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    now.wMilliseconds = 0;
    SyncMailTime time;
    DATE date = 0;
    if (!SystemTimeToVariantTime(&now, &date))
        return time;
    // A span of 0 days, 0 hours, 0 minutes and 10 seconds. Dates before
    // 1899-12-30 count their days backwards, but the clock never gives one.
    time.value = date + 10.0 / 86400.0;
    time.text = SyncMailTimeText(time.value);
    return time;
}

std::wstring SyncMailTimeText(DATE value) {
    SYSTEMTIME st;
    if (!VariantTimeToSystemTime(value, &st))
        return {};
    wchar_t date[80];
    wchar_t time[80];
    if (!GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, date, 80) ||
        !GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, nullptr, time, 80))
        return {};
    return std::wstring(date) + L' ' + time;
}

std::wstring BuildSyncMailSubject(std::wstring_view timeText, bool debugSwitch,
                                  std::wstring_view itemSubject) {
    std::wstring subject = BuildDeletionNoticeSubject(timeText);
    if (debugSwitch) {
        subject += kDebugSubjectTag;
        subject += itemSubject;
    }
    return subject;
}

std::wstring BuildDeletionNoticeSubject(std::wstring_view timeText) {
    std::wstring subject = kSubjectMarker;
    subject += L' ';
    subject += timeText;
    return subject;
}

std::wstring BuildPacketSubject(std::wstring_view timeText) {
    std::wstring subject = kPacketSubjectPrefix;
    subject += timeText;
    return subject;
}

std::wstring BuildSyncMailBody(std::wstring_view intro, bool debugSwitch,
                               std::wstring_view itemSubject, std::wstring_view shareName,
                               std::wstring_view syncIdText, bool formFlag) {
    std::wstring body(intro);
    if (debugSwitch) {
        body += kDebugBodyTag;
        body += itemSubject;
    }
    AppendMarkerBlock(body, kSyncMailBreaks, L"\r\n", kSyncMailFlag, shareName, syncIdText);
    if (formFlag) {
        body += kFormMarker;
        body += L"\r\n";
    }
    return body;
}

std::wstring BuildDeletionNoticeBody(std::wstring_view intro, std::wstring_view shareName,
                                     std::wstring_view syncIdText) {
    std::wstring body(intro);
    AppendMarkerBlock(body, kDeletionNoticeBreaks, L"\n", kDeletionFlag, shareName, syncIdText);
    return body;
}

SyncMailMarkers ReadSyncMailMarkers(std::wstring_view body) {
    SyncMailMarkers markers;
    SyncMailKind kind;
    if (body.find(kSyncMailFlag) != std::wstring_view::npos)
        kind = SyncMailKind::kSyncMail;
    else if (body.find(kDeletionFlag) != std::wstring_view::npos)
        kind = SyncMailKind::kDeletionNotice;
    else
        return markers;
    std::size_t shareOpen = body.find(kShareNameOpen);
    std::size_t shareClose = body.find(kShareNameClose);
    std::size_t idOpen = body.find(kSyncIdOpen);
    std::size_t idClose = body.find(kSyncIdClose);
    constexpr std::size_t npos = std::wstring_view::npos;
    if (shareOpen == npos || shareClose == npos || idOpen == npos || idClose == npos)
        return markers;
    markers.kind = kind;
    markers.shareName = Between(body, shareOpen, std::size(kShareNameOpen) - 1, shareClose);
    markers.syncIdText = Between(body, idOpen, std::size(kSyncIdOpen) - 1, idClose);
    RemoveFirst(markers.syncIdText, L'\n');
    RemoveFirst(markers.syncIdText, L'\r');
    RemoveFirst(markers.syncIdText, L' ');
    markers.formFlag = body.find(kFormMarker) != npos;
    return markers;
}

const wchar_t* ImportErrorName(int reason) {
    static const wchar_t* const kNames[] = {
        L"",
        L"NO TARGET",
        L"NO SHARENAME",
        L"NO ATTACHEMENT",
        L"PASSWORD",
        L"ATTACHEMENT ZIPPED",
        L"FILENAME CHANGED",
        L"NO FILENAME",
        L"NO DELMAILFROMID",
        L"EXTRACT FAILED",
        L"WRONG VERSION",
    };
    if (reason < 0 || reason >= static_cast<int>(std::size(kNames)))
        return L"UNKNOWN";
    return kNames[reason];
}

bool HasErrorMark(std::wstring_view subject) {
    return subject.find(kErrorMark) != std::wstring_view::npos;
}

std::wstring BuildFailedSubject(int reason) {
    std::wstring subject = kSubjectMarker;
    subject += kErrorSubjectTag;
    subject += ImportErrorName(reason);
    return subject;
}

}  // namespace syncmail

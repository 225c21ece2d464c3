// The locale half of Text.h: thread locales, GetLocaleInfoW and the date and
// time pictures of GetDateFormatW / GetTimeFormatW.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/win/Errors.h"
#include "platform/win/Text.h"

namespace {

constexpr LCTYPE LOCALE_S1159 = 0x0028;
constexpr LCTYPE LOCALE_S2359 = 0x0029;
constexpr LCTYPE LOCALE_SDAYNAME1 = 0x002A;  // Monday; 0x0030 = Sunday
constexpr LCTYPE LOCALE_SABBREVDAYNAME1 = 0x0031;
constexpr LCTYPE LOCALE_SMONTHNAME1 = 0x0038;
constexpr LCTYPE LOCALE_SABBREVMONTHNAME1 = 0x0044;

struct LocaleData {
    LCID lcid;
    const wchar_t* name;      // LOCALE_SNAME
    const wchar_t* language;  // ISO 639
    const wchar_t* country;   // ISO 3166
    const wchar_t* englishLanguage;
    const wchar_t* displayName;  // LOCALE_SLANGUAGE
    const wchar_t* countryName;
    const wchar_t* list;
    const wchar_t* decimal;
    const wchar_t* thousand;
    const wchar_t* dateSeparator;
    const wchar_t* shortDate;
    const wchar_t* longDate;
    const wchar_t* timeFormat;
    const wchar_t* am;
    const wchar_t* pm;
    DWORD oemCodePage;
    const wchar_t* const* months;        // 12
    const wchar_t* const* abbrevMonths;  // 12
    const wchar_t* const* days;          // 7, Sunday first
    const wchar_t* const* abbrevDays;    // 7, Sunday first
};

const wchar_t* const kEnMonths[12] = {L"January",   L"February", L"March",    L"April",
                                      L"May",       L"June",     L"July",     L"August",
                                      L"September", L"October",  L"November", L"December"};
const wchar_t* const kEnAbbrevMonths[12] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                            L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
const wchar_t* const kEnDays[7] = {L"Sunday",   L"Monday", L"Tuesday", L"Wednesday",
                                   L"Thursday", L"Friday", L"Saturday"};
const wchar_t* const kEnAbbrevDays[7] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};

const wchar_t* const kDeMonths[12] = {L"Januar",    L"Februar", L"M\u00e4rz", L"April",
                                      L"Mai",       L"Juni",    L"Juli",      L"August",
                                      L"September", L"Oktober", L"November",  L"Dezember"};
const wchar_t* const kDeAtMonths[12] = {L"J\u00e4nner", L"Februar", L"M\u00e4rz", L"April",
                                        L"Mai",         L"Juni",    L"Juli",      L"August",
                                        L"September",   L"Oktober", L"November",  L"Dezember"};
const wchar_t* const kDeAbbrevMonths[12] = {L"Jan", L"Feb", L"M\u00e4r", L"Apr", L"Mai", L"Jun",
                                            L"Jul", L"Aug", L"Sep",      L"Okt", L"Nov", L"Dez"};
const wchar_t* const kDeAtAbbrevMonths[12] = {L"J\u00e4n", L"Feb", L"M\u00e4r", L"Apr",
                                              L"Mai",      L"Jun", L"Jul",      L"Aug",
                                              L"Sep",      L"Okt", L"Nov",      L"Dez"};
const wchar_t* const kDeDays[7] = {L"Sonntag",    L"Montag",  L"Dienstag", L"Mittwoch",
                                   L"Donnerstag", L"Freitag", L"Samstag"};
const wchar_t* const kDeAbbrevDays[7] = {L"So", L"Mo", L"Di", L"Mi", L"Do", L"Fr", L"Sa"};

const wchar_t* const kFrMonths[12] = {L"janvier",   L"f\u00e9vrier", L"mars",     L"avril",
                                      L"mai",       L"juin",         L"juillet",  L"ao\u00fbt",
                                      L"septembre", L"octobre",      L"novembre", L"d\u00e9cembre"};
const wchar_t* const kFrAbbrevMonths[12] = {L"janv.", L"f\u00e9vr.", L"mars",  L"avr.",
                                            L"mai",   L"juin",       L"juil.", L"ao\u00fbt",
                                            L"sept.", L"oct.",       L"nov.",  L"d\u00e9c."};
const wchar_t* const kFrDays[7] = {L"dimanche", L"lundi",    L"mardi", L"mercredi",
                                   L"jeudi",    L"vendredi", L"samedi"};
const wchar_t* const kFrAbbrevDays[7] = {L"dim.", L"lun.", L"mar.", L"mer.",
                                         L"jeu.", L"ven.", L"sam."};

const wchar_t* const kEsMonths[12] = {L"enero",      L"febrero", L"marzo",     L"abril",
                                      L"mayo",       L"junio",   L"julio",     L"agosto",
                                      L"septiembre", L"octubre", L"noviembre", L"diciembre"};
const wchar_t* const kEsAbbrevMonths[12] = {L"ene.", L"feb.", L"mar.",  L"abr.", L"may.", L"jun.",
                                            L"jul.", L"ago.", L"sept.", L"oct.", L"nov.", L"dic."};
const wchar_t* const kEsDays[7] = {L"domingo", L"lunes",   L"martes",     L"mi\u00e9rcoles",
                                   L"jueves",  L"viernes", L"s\u00e1bado"};
const wchar_t* const kEsAbbrevDays[7] = {L"dom.", L"lun.", L"mar.",     L"mi\u00e9.",
                                         L"jue.", L"vie.", L"s\u00e1b."};

// The first entry of each language is the one other LCIDs of that language
// use. The invariant locale comes last.
const LocaleData kLocales[] = {
    {0x0409,
     L"en-US",
     L"en",
     L"US",
     L"English",
     L"English (United States)",
     L"United States",
     L",",
     L".",
     L",",
     L"/",
     L"M/d/yyyy",
     L"dddd, MMMM d, yyyy",
     L"h:mm:ss tt",
     L"AM",
     L"PM",
     437,
     kEnMonths,
     kEnAbbrevMonths,
     kEnDays,
     kEnAbbrevDays},
    {0x0809,
     L"en-GB",
     L"en",
     L"GB",
     L"English",
     L"English (United Kingdom)",
     L"United Kingdom",
     L",",
     L".",
     L",",
     L"/",
     L"dd/MM/yyyy",
     L"dd MMMM yyyy",
     L"HH:mm:ss",
     L"AM",
     L"PM",
     850,
     kEnMonths,
     kEnAbbrevMonths,
     kEnDays,
     kEnAbbrevDays},
    {0x0407,
     L"de-DE",
     L"de",
     L"DE",
     L"German",
     L"German (Germany)",
     L"Germany",
     L";",
     L",",
     L".",
     L".",
     L"dd.MM.yyyy",
     L"dddd, d. MMMM yyyy",
     L"HH:mm:ss",
     L"AM",
     L"PM",
     850,
     kDeMonths,
     kDeAbbrevMonths,
     kDeDays,
     kDeAbbrevDays},
    {0x0C07,
     L"de-AT",
     L"de",
     L"AT",
     L"German",
     L"German (Austria)",
     L"Austria",
     L";",
     L",",
     L".",
     L".",
     L"dd.MM.yyyy",
     L"dddd, d. MMMM yyyy",
     L"HH:mm:ss",
     L"AM",
     L"PM",
     850,
     kDeAtMonths,
     kDeAtAbbrevMonths,
     kDeDays,
     kDeAbbrevDays},
    {0x0807,
     L"de-CH",
     L"de",
     L"CH",
     L"German",
     L"German (Switzerland)",
     L"Switzerland",
     L";",
     L".",
     L"'",
     L".",
     L"dd.MM.yyyy",
     L"dddd, d. MMMM yyyy",
     L"HH:mm:ss",
     L"AM",
     L"PM",
     850,
     kDeMonths,
     kDeAbbrevMonths,
     kDeDays,
     kDeAbbrevDays},
    {0x040C,
     L"fr-FR",
     L"fr",
     L"FR",
     L"French",
     L"French (France)",
     L"France",
     L";",
     L",",
     L"\u00a0",
     L"/",
     L"dd/MM/yyyy",
     L"dddd d MMMM yyyy",
     L"HH:mm:ss",
     L"AM",
     L"PM",
     850,
     kFrMonths,
     kFrAbbrevMonths,
     kFrDays,
     kFrAbbrevDays},
    {0x0C0A,
     L"es-ES",
     L"es",
     L"ES",
     L"Spanish",
     L"Spanish (Spain)",
     L"Spain",
     L";",
     L",",
     L".",
     L"/",
     L"dd/MM/yyyy",
     L"dddd, d' de 'MMMM' de 'yyyy",
     L"H:mm:ss",
     L"a. m.",
     L"p. m.",
     850,
     kEsMonths,
     kEsAbbrevMonths,
     kEsDays,
     kEsAbbrevDays},
    {0x040A,
     L"es-ES_tradnl",
     L"es",
     L"ES",
     L"Spanish",
     L"Spanish (Spain, Traditional Sort)",
     L"Spain",
     L";",
     L",",
     L".",
     L"/",
     L"dd/MM/yyyy",
     L"dddd, d' de 'MMMM' de 'yyyy",
     L"H:mm:ss",
     L"a. m.",
     L"p. m.",
     850,
     kEsMonths,
     kEsAbbrevMonths,
     kEsDays,
     kEsAbbrevDays},
    {LOCALE_INVARIANT,
     L"",
     L"iv",
     L"IV",
     L"Invariant Language",
     L"Invariant Language",
     L"Invariant Country",
     L",",
     L".",
     L",",
     L"/",
     L"MM/dd/yyyy",
     L"dddd, dd MMMM yyyy",
     L"HH:mm:ss",
     L"AM",
     L"PM",
     437,
     kEnMonths,
     kEnAbbrevMonths,
     kEnDays,
     kEnAbbrevDays},
};

const LocaleData* FindExact(LCID lcid) {
    for (const auto& l : kLocales) {
        if (l.lcid == lcid)
            return &l;
    }
    return nullptr;
}

// Another LCID of a known language: that language's first entry.
const LocaleData* FindByLanguage(LCID lcid) {
    if (const auto* exact = FindExact(lcid & 0xFFFF))
        return exact;
    for (const auto& l : kLocales) {
        if (l.lcid != LOCALE_INVARIANT && (l.lcid & 0x3FF) == (lcid & 0x3FF))
            return &l;
    }
    return nullptr;
}

LCID InitialLocale() {
    static const LCID initial = [] {
        const char* v = std::getenv("QUILLMERE_LCID");
        if (v && *v) {
            char* end = nullptr;
            const unsigned long value = std::strtoul(v, &end, 16);  // accepts a "0x" prefix
            if (end != v && *end == '\0' && FindByLanguage(static_cast<LCID>(value)) &&
                value != LOCALE_INVARIANT) {
                return static_cast<LCID>(value);
            }
        }
        return static_cast<LCID>(0x0409);
    }();
    return initial;
}

thread_local LCID t_locale = 0;  // 0 = not set: the initial locale

LCID Resolve(LCID lcid) {
    if (lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_SYSTEM_DEFAULT || lcid == LOCALE_NEUTRAL) {
        return InitialLocale();
    }
    return lcid;
}

const LocaleData& DataOf(LCID lcid) {
    const LocaleData* data = FindByLanguage(Resolve(lcid));
    return data ? *data : kLocales[0];
}

// Copies text plus NUL by the cch rules of the locale calls.
int CopyWithNul(const std::wstring& text, wchar_t* out, int cch) {
    const int needed = static_cast<int>(text.size()) + 1;
    if (cch < 0 || (cch > 0 && !out)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cch == 0)
        return needed;
    if (cch < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::wmemcpy(out, text.c_str(), static_cast<std::size_t>(needed));
    return needed;
}

bool NumericInfo(const LocaleData& l, LCTYPE type, DWORD* value) {
    switch (type) {
        case LOCALE_ILANGUAGE:
            *value = l.lcid & 0xFFFF;
            return true;
        case LOCALE_IDEFAULTANSICODEPAGE:
            *value = kCodePage1252;
            return true;
        case LOCALE_IDEFAULTCODEPAGE:
            *value = l.oemCodePage;
            return true;
        default:
            return false;
    }
}

// The text of type, or false when the type is not supported.
bool TextInfo(const LocaleData& l, LCTYPE type, std::wstring* text) {
    if (type >= LOCALE_SDAYNAME1 && type < LOCALE_SDAYNAME1 + 7) {
        *text = l.days[(type - LOCALE_SDAYNAME1 + 1) % 7];  // the platform starts on Monday
        return true;
    }
    if (type >= LOCALE_SABBREVDAYNAME1 && type < LOCALE_SABBREVDAYNAME1 + 7) {
        *text = l.abbrevDays[(type - LOCALE_SABBREVDAYNAME1 + 1) % 7];
        return true;
    }
    if (type >= LOCALE_SMONTHNAME1 && type < LOCALE_SMONTHNAME1 + 12) {
        *text = l.months[type - LOCALE_SMONTHNAME1];
        return true;
    }
    if (type >= LOCALE_SABBREVMONTHNAME1 && type < LOCALE_SABBREVMONTHNAME1 + 12) {
        *text = l.abbrevMonths[type - LOCALE_SABBREVMONTHNAME1];
        return true;
    }
    switch (type) {
        case LOCALE_SLANGUAGE:
            *text = l.displayName;
            return true;
        case LOCALE_SENGLANGUAGE:
            *text = l.englishLanguage;
            return true;
        case LOCALE_SCOUNTRY:
            *text = l.countryName;
            return true;
        case LOCALE_SLIST:
            *text = l.list;
            return true;
        case LOCALE_SDECIMAL:
            *text = l.decimal;
            return true;
        case LOCALE_STHOUSAND:
            *text = l.thousand;
            return true;
        case LOCALE_SDATE:
            *text = l.dateSeparator;
            return true;
        case LOCALE_STIME:
            *text = L":";
            return true;
        case LOCALE_SSHORTDATE:
            *text = l.shortDate;
            return true;
        case LOCALE_SLONGDATE:
            *text = l.longDate;
            return true;
        case LOCALE_STIMEFORMAT:
            *text = l.timeFormat;
            return true;
        case LOCALE_S1159:
            *text = l.am;
            return true;
        case LOCALE_S2359:
            *text = l.pm;
            return true;
        case LOCALE_SISO639LANGNAME:
            *text = l.language;
            return true;
        case LOCALE_SISO3166CTRYNAME:
            *text = l.country;
            return true;
        case LOCALE_SNAME:
            *text = l.name;
            return true;
        default:
            break;
    }
    DWORD number = 0;
    if (!NumericInfo(l, type, &number))
        return false;
    wchar_t buffer[16];
    std::swprintf(buffer, 16, type == LOCALE_ILANGUAGE ? L"%04x" : L"%u", number);
    *text = buffer;
    return true;
}

void AppendNumber(std::wstring& out, unsigned value, int minDigits) {
    wchar_t buffer[16];
    std::swprintf(buffer, 16, L"%0*u", minDigits, value);
    out += buffer;
}

// Length of the run of c starting at p.
int RunLength(const wchar_t* p, wchar_t c) {
    int n = 0;
    while (p[n] == c)
        ++n;
    return n;
}

// Appends the quoted literal starting after the opening quote; returns the
// position after the closing quote ('' inside quotes is one quote).
const wchar_t* AppendQuoted(const wchar_t* p, std::wstring& out) {
    while (*p) {
        if (*p == L'\'') {
            if (p[1] == L'\'') {
                out += L'\'';
                p += 2;
                continue;
            }
            return p + 1;
        }
        out += *p++;
    }
    return p;
}

std::wstring FormatDatePicture(const LocaleData& l, const SYSTEMTIME& d, const wchar_t* p) {
    std::wstring out;
    while (*p) {
        const wchar_t c = *p;
        if (c == L'\'') {
            p = AppendQuoted(p + 1, out);
            continue;
        }
        const int n = RunLength(p, c);
        switch (c) {
            case L'd':
                if (n <= 2) {
                    AppendNumber(out, d.wDay, n);
                } else {
                    out += n == 3 ? l.abbrevDays[d.wDayOfWeek] : l.days[d.wDayOfWeek];
                }
                break;
            case L'M':
                if (n <= 2) {
                    AppendNumber(out, d.wMonth, n);
                } else {
                    out += n == 3 ? l.abbrevMonths[d.wMonth - 1] : l.months[d.wMonth - 1];
                }
                break;
            case L'y':
                if (n <= 2) {
                    AppendNumber(out, d.wYear % 100, n);
                } else {
                    AppendNumber(out, d.wYear, 4);
                }
                break;
            case L'g':
                out += L"A.D.";
                break;
            default:
                out.append(static_cast<std::size_t>(n), c);
                break;
        }
        p += n;
    }
    return out;
}

std::wstring FormatTimePicture(const LocaleData& l, const SYSTEMTIME& t, const wchar_t* p,
                               DWORD flags) {
    std::wstring out;
    // Where the text stood after the last field, so that a dropped field
    // takes the separator before it along (":ss" with TIME_NOSECONDS).
    std::size_t afterField = 0;
    while (*p) {
        const wchar_t c = *p;
        if (c == L'\'') {
            p = AppendQuoted(p + 1, out);
            continue;
        }
        const int n = RunLength(p, c);
        const bool drop = ((c == L'm' || c == L's') && (flags & TIME_NOMINUTESORSECONDS)) ||
                          (c == L's' && (flags & TIME_NOSECONDS)) ||
                          (c == L't' && (flags & TIME_NOTIMEMARKER));
        const bool field = c == L'h' || c == L'H' || c == L'm' || c == L's' || c == L't';
        if (drop) {
            out.resize(afterField);
        } else if (c == L'h' && !(flags & TIME_FORCE24HOURFORMAT)) {
            AppendNumber(out, t.wHour % 12 == 0 ? 12u : t.wHour % 12u, n >= 2 ? 2 : 1);
        } else if (c == L'h' || c == L'H') {
            AppendNumber(out, t.wHour, n >= 2 ? 2 : 1);
        } else if (c == L'm') {
            AppendNumber(out, t.wMinute, n >= 2 ? 2 : 1);
        } else if (c == L's') {
            AppendNumber(out, t.wSecond, n >= 2 ? 2 : 1);
        } else if (c == L't') {
            // The marker stays with TIME_FORCE24HOURFORMAT, as on the platform;
            // callers that want none add TIME_NOTIMEMARKER.
            const std::wstring marker = t.wHour < 12 ? l.am : l.pm;
            out += n == 1 ? marker.substr(0, 1) : marker;
        } else {
            out.append(static_cast<std::size_t>(n), c);
        }
        if (field)
            afterField = out.size();
        p += n;
    }
    return out;
}

bool IsLeap(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

bool ValidDate(const SYSTEMTIME& d) {
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (d.wYear < 1601 || d.wYear > 30827 || d.wMonth < 1 || d.wMonth > 12 || d.wDay < 1) {
        return false;
    }
    return d.wDay <= kDays[d.wMonth - 1] + (d.wMonth == 2 && IsLeap(d.wYear) ? 1u : 0u);
}

bool ValidTime(const SYSTEMTIME& t) {
    return t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60 && t.wMilliseconds < 1000;
}

// The day of week of a valid date (0 = Sunday), whatever the caller put in.
WORD DayOfWeekOf(const SYSTEMTIME& d) {
    SYSTEMTIME probe = d;
    probe.wHour = probe.wMinute = probe.wSecond = probe.wMilliseconds = 0;
    FILETIME ft{};
    SystemTimeToFileTime(&probe, &ft);
    SYSTEMTIME back{};
    FileTimeToSystemTime(&ft, &back);
    return back.wDayOfWeek;
}

}  // namespace

LCID GetThreadLocale() {
    return t_locale ? t_locale : InitialLocale();
}

BOOL SetThreadLocale(LCID locale) {
    if (locale == LOCALE_USER_DEFAULT || locale == LOCALE_SYSTEM_DEFAULT) {
        t_locale = InitialLocale();
        return TRUE;
    }
    if (locale == LOCALE_INVARIANT || !FindByLanguage(locale)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    t_locale = locale;
    return TRUE;
}

LCID GetUserDefaultLCID() {
    return InitialLocale();
}

LCID GetSystemDefaultLCID() {
    return InitialLocale();
}

LANGID GetUserDefaultLangID() {
    return static_cast<LANGID>(InitialLocale() & 0xFFFF);
}

int GetLocaleInfoW(LCID locale, LCTYPE type, wchar_t* data, int cch) {
    const LocaleData& l = DataOf(locale);
    const LCTYPE base = type & ~(LOCALE_NOUSEROVERRIDE | LOCALE_RETURN_NUMBER);
    if (type & LOCALE_RETURN_NUMBER) {
        DWORD number = 0;
        if (!NumericInfo(l, base, &number)) {
            SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
        constexpr int kCount = static_cast<int>(sizeof(DWORD) / sizeof(wchar_t));
        if (cch == 0)
            return kCount;
        if (cch < kCount || !data) {
            SetLastError(cch < kCount ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::memcpy(data, &number, sizeof number);
        return kCount;
    }
    std::wstring text;
    if (!TextInfo(l, base, &text)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    return CopyWithNul(text, data, cch);
}

int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, const wchar_t* format,
                   wchar_t* out, int cch) {
    const DWORD known = DATE_SHORTDATE | DATE_LONGDATE | LOCALE_NOUSEROVERRIDE;
    if (flags & ~known) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if ((format && (flags & (DATE_SHORTDATE | DATE_LONGDATE))) ||
        ((flags & DATE_SHORTDATE) && (flags & DATE_LONGDATE))) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    SYSTEMTIME d{};
    if (date) {
        d = *date;
    } else {
        GetLocalTime(&d);
    }
    if (!ValidDate(d)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    d.wDayOfWeek = DayOfWeekOf(d);
    const LocaleData& l = DataOf(locale);
    const wchar_t* picture = format ? format : (flags & DATE_LONGDATE) ? l.longDate : l.shortDate;
    return CopyWithNul(FormatDatePicture(l, d, picture), out, cch);
}

int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, const wchar_t* format,
                   wchar_t* out, int cch) {
    const DWORD known = TIME_NOMINUTESORSECONDS | TIME_NOSECONDS | TIME_NOTIMEMARKER |
                        TIME_FORCE24HOURFORMAT | LOCALE_NOUSEROVERRIDE;
    if (flags & ~known) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    SYSTEMTIME t{};
    if (time) {
        t = *time;
    } else {
        GetLocalTime(&t);
    }
    if (!ValidTime(t)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const LocaleData& l = DataOf(locale);
    std::wstring text = FormatTimePicture(l, t, format ? format : l.timeFormat, flags);
    // Dropping a leading marker ("tt h:mm") leaves its separator in front.
    while (!text.empty() && text.front() == L' ')
        text.erase(0, 1);
    return CopyWithNul(text, out, cch);
}

namespace win {

std::wstring LocaleInfo(LCID locale, LCTYPE type) {
    std::wstring text;
    TextInfo(DataOf(locale), type & ~LOCALE_NOUSEROVERRIDE, &text);
    return text;
}

std::wstring FormatDate(LCID locale, const SYSTEMTIME& date) {
    wchar_t buffer[128];
    const int n = GetDateFormatW(locale, 0, &date, nullptr, buffer, 128);
    return n > 0 ? std::wstring(buffer, static_cast<std::size_t>(n - 1)) : std::wstring();
}

std::wstring FormatTime(LCID locale, const SYSTEMTIME& time) {
    wchar_t buffer[128];
    const int n = GetTimeFormatW(locale, 0, &time, nullptr, buffer, 128);
    return n > 0 ? std::wstring(buffer, static_cast<std::size_t>(n - 1)) : std::wstring();
}

}  // namespace win

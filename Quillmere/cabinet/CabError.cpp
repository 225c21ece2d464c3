#include "Quillmere/cabinet/CabError.h"

#include "platform/win/FormatMessage.h"

namespace Cabinet {

namespace {

struct CodeText {
    int code;
    const wchar_t* text;
};

constexpr const wchar_t* kUnknownErrorText = L"Unknown error";
constexpr const wchar_t* kNoExplanationText = L"Microsoft has no explanation for this error code.";
constexpr DWORD kSystemTextChars = 2000;

constexpr CodeText kExtractionTexts[] = {
    {0, L"Success"},
    {1, L"Cabinet file (or part of splitted CAB) not found"},
    {2, L"The file is not a cabinet"},
    {3, L"Unknown cabinet version"},
    {4, L"Corrupt cabinet"},
    {5, L"Memory allocation failed"},
    {6, L"Unknown compression type"},
    {7, L"Failure decompressing data"},
    {8, L"Failure writing to target file"},
    {9, L"Cabinets in set have different RESERVE sizes"},
    {10, L"Cabinet returned on fdintNEXT_CABINET is incorrect"},
    {11, L"User aborted"},
    {1000, L"Could not load Cabinet.dll"},
    {1001, L"Could not load Wininet.dll"},
    {1002, L"Invalid parameters passed to extraction function. Read the documentation!"},
    {1003, L"Could not read CAB file"},
    {1004, L"The specified resource could not be opened."},
    {1005, L"The path is too long. (Max 250 Ansii characters or approx 100 Unicode characters)."},
    {1006, L"An internet error occurred."},
    {1007, L"The CAB archive is not encrypted but a decryption key was set."},
    {1008, L"The CAB archive is encrypted but no decryption key was set."},
    {1009, L"Invalid CAB file: Extracted file is longer than declared in fdintCOPY_FILE"},
    {1010, L"Internet Explorer is switched to Offline mode."},
    {1011,
     L"Cabinet.dll does not support calling the same CAB context from two different threads."},
    // clang-format off
    {1012, L"There must be only one CExtract instance per thread at the same time! Call CleanUp() before you use another instance in the same thread!"},
    // clang-format on
};

constexpr CodeText kCompressionTexts[] = {
    {0, L"Success"},
    {1, L"Failure opening file to be stored in cabinet"},
    {2, L"Failure reading file to be stored in cabinet"},
    {3, L"Insufficient memory in FCI"},
    {4, L"Could not create a temporary file"},
    {5, L"Unknown compression type"},
    {6, L"Could not create cabinet file"},
    {7, L"Client requested abort"},
    {8, L"Failure compressing data"},
    {1000, L"Could not load Cabinet.dll"},
    {1001, L"Invalid parameters passed to compression function. Read the documentation!"},
    {1002, L"Could not create the directory where to save the CAB file."},
    {1003, L"The path is too long. (Max 250 Ansii characters or approx 100 Unicode characters)."},
    // clang-format off
    {1004, L"To store files with names containing Unicode characters into the CAB file you must enable UTF8 encoding!"},
    // clang-format on
    {1005,
     L"Cabinet.dll does not support calling the same CAB context from two different threads."},
    {1006, L"Cabinet.dll does not support compressing files bigger than 2 GB."},
    {1007, L"The name of the CAB file must never contain characters above ASCII 127."},
};

template <std::size_t N>
const wchar_t* Lookup(const CodeText (&table)[N], int code) {
    for (const auto& entry : table) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return kUnknownErrorText;
}

}  // namespace

const wchar_t* GetCabErrorText(const CCabError& record, int code) {
    return record.IsExtraction() ? Lookup(kExtractionTexts, code) : Lookup(kCompressionTexts, code);
}

void CCabError::Clear() {
    m_erf = ERF{};
    m_ownCode = 0;
    m_ownWindowsError = 0;
}

void CCabError::Set(int ownCode, int windowsError) {
    m_ownCode = ownCode;
    m_ownWindowsError = windowsError;
}

bool CCabError::HasFailed() const {
    return m_erf.fError != 0 || m_erf.erfOper != 0 || m_ownCode != 0 || m_ownWindowsError != 0;
}

const wchar_t* CCabError::GetLastErrorText() {
    if (m_erf.fError == 0 && m_ownWindowsError == 0 && m_ownCode == 0) {
        return L"Success";
    }
    int code = m_erf.erfOper;
    if (m_ownCode != 0) {
        code = m_ownCode;
        m_erf.erfOper = m_ownCode;
    }
    int windowsError = m_ownWindowsError != 0 ? m_ownWindowsError : m_erf.erfType;
    const wchar_t* fixed = GetCabErrorText(*this, code);
    if (windowsError == 0) {
        return fixed;
    }
    wchar_t system[kSystemTextChars];
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(windowsError), 0, system, kSystemTextChars, nullptr);
    const wchar_t* explanation = length != 0 ? system : kNoExplanationText;
    m_text.Format(L"%s\nError %d: %s", fixed, windowsError, explanation);
    return m_text.Get();
}

}  // namespace Cabinet

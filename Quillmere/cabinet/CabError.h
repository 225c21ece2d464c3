// Error record of a cabinet writer or reader, and the fixed English texts of
// every failure they can report.
//
// The first member is the ERF that the cabinet library's FCI and FDI calls
// fill (its code, the errno or Windows error of the failing callback, and the
// failed flag); the class adds its own code (1000 and above, or a library code
// it sets itself) with the Windows error that goes with it. The extraction flag
// selects the reader's or the writer's text table.
//
// Threading: one record per writer or reader, used on that object's thread.
// Never fails; the text buffer may throw "Fatal error: Out of memory!".
#pragma once

#include "Quillmere/cabinet/CabStringW.h"
#include "platform/cabinet/fci.h"

namespace Cabinet {

class CCabError {
public:
    explicit CCabError(bool extraction) : m_extraction(extraction ? 1 : 0) {}

    // The record handed to FCICreate / FDICreate; it must outlive the context.
    ERF* Erf() { return &m_erf; }
    const ERF& GetErf() const { return m_erf; }
    bool IsExtraction() const { return m_extraction != 0; }

    // Forgets every failure (library record and own code).
    void Clear();
    // Records the class's own failure (code 1000 and above, or a library code
    // the class detected itself) and the Windows error that goes with it (0 =
    // none).
    void Set(int ownCode, int windowsError = 0);
    int OwnCode() const { return m_ownCode; }
    int OwnWindowsError() const { return m_ownWindowsError; }
    // True when the library or the class recorded a failure.
    bool HasFailed() const;
    // The code GetLastErrorText words: the own code, else the library's.
    int Code() const { return m_ownCode != 0 ? m_ownCode : m_erf.erfOper; }

    // The message of the last failure: "Success" when nothing failed; else
    // the code's fixed text, followed by "\nError <n>: <system text>" when a
    // Windows error goes with it. An own code is also written into the
    // library's code field. The text stays owned by the record until the
    // next call.
    const wchar_t* GetLastErrorText();

private:
    ERF m_erf = {};
    int m_extraction;
    CCabStringW m_text;
    int m_ownCode = 0;
    int m_ownWindowsError = 0;
};

// The fixed text of `code` from the extraction table when the record belongs
// to a reader, else from the compression table ("Unknown error" for a code
// the table lacks). Static storage.
const wchar_t* GetCabErrorText(const CCabError& record, int code);

}  // namespace Cabinet

#include "Quillmere/core/StateFileWriter.h"

#include <utility>

#include "platform/win/Crt.h"
#include "platform/win/Files.h"

CStateFileWriter::CStateFileWriter(std::wstring path, const wchar_t* mode)
    : m_path(std::move(path)) {
    m_stream = _wfopen(NewPath(m_path).c_str(), mode);
}

CStateFileWriter::~CStateFileWriter() {
    if (m_stream)
        fclose(m_stream);
    if (!m_committed)
        DeleteFileW(NewPath(m_path).c_str());
}

bool CStateFileWriter::Finish() {
    if (m_finished)
        return m_written;
    m_finished = true;
    if (!m_stream)
        return false;
    bool ok = fflush(m_stream) == 0 && ferror(m_stream) == 0 && _commit(_fileno(m_stream)) == 0;
    ok = fclose(m_stream) == 0 && ok;
    m_stream = nullptr;
    m_written = ok;
    return ok;
}

bool CStateFileWriter::Commit() {
    if (m_committed)
        return true;
    m_committed = Finish() && MoveFileExW(NewPath(m_path).c_str(), m_path.c_str(),
                                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!m_committed)
        DeleteFileW(NewPath(m_path).c_str());
    return m_committed;
}

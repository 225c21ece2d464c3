#include "Quillmere/core/FolderObj.h"

#include <string>

#include "Quillmere/core/DebugLog.h"

CFolderObj::CFolderObj(IDispatch* folder, LONG kind, bool isExchange, const std::wstring& entryId,
                       const std::wstring& storeId)
    : m_kind(kind), m_isExchange(isExchange), m_folder(folder) {
    WriteDebugLog("create FObj");
    m_sink = std::make_unique<CItemsEvents>(this, kind);
    m_sink->m_entryId = entryId;
    m_sink->m_storeId = storeId;
    m_sink->m_isExchange = isExchange;
    WriteDebugLog(kind == kAlternateInbox ? "create special FObj ready" : "create FObj ready");
    WriteDebugLog(isExchange ? "::IsExchangeFolder" : "::no Exchange");
}

CFolderObj::~CFolderObj() {
    std::wstring line = L"Folder " + m_shareName + L" has sent " +
                        std::to_wstring(m_sentCount.load()) + L" elems (no del's incl.)/ we have " +
                        std::to_wstring(m_elementCount) + L" elems in fldr";
    WriteDebugLog(line.c_str());
    m_run = false;
}

void CFolderObj::Start() {
    m_run = true;
    m_sentCount = 0;
    m_elementCount = 0;
    // The log line is held to 200 characters, as the share name may be long.
    std::wstring line = (L"FObj started " + m_shareName).substr(0, 199);
    WriteDebugLog(line.c_str());
}

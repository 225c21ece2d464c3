// Fills a folder with plain items for the store benchmarks, in transactions
// of 5,000 (one bulk arrival).
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/store/Folder.h"
#include "platform/store/Message.h"
#include "platform/store/Session.h"

namespace bench {

// items new messages of messageClass, subjects "<subject> <n>", each with
// body; their search keys are appended to searchKeys when it is not null.
inline HRESULT FillFolder(store::Session& session, store::Folder folder, int items,
                          const std::wstring& subject, const std::wstring& body,
                          const std::wstring& messageClass, std::vector<store::Bytes>* searchKeys) {
    using mapi::PropValue;
    constexpr int kPerTransaction = 5000;
    for (int done = 0; done < items;) {
        const int upto = std::min(items, done + kPerTransaction);
        HRESULT hr = session.Batch([&]() -> HRESULT {
            for (int i = done; i < upto; ++i) {
                std::unique_ptr<store::Message> m;
                HRESULT made = folder.CreateMessage(false, &m);
                if (FAILED(made)) {
                    return made;
                }
                m->SetProp(mapi::PR_SUBJECT,
                           PropValue::Unicode(subject + L" " + std::to_wstring(i)));
                m->SetProp(mapi::PR_BODY, PropValue::Unicode(body));
                m->SetProp(mapi::PR_MESSAGE_CLASS, PropValue::Unicode(messageClass));
                if (searchKeys != nullptr) {
                    searchKeys->push_back(*m->Props().GetBinary(mapi::PR_SEARCH_KEY));
                }
                made = m->Save();
                if (FAILED(made)) {
                    return made;
                }
            }
            return S_OK;
        });
        if (FAILED(hr)) {
            return hr;
        }
        done = upto;
    }
    return S_OK;
}

}  // namespace bench

// Builds a folder of N items (default 100,000) and times, in the same run,
// a contents-table scan sorted by PR_LAST_MODIFICATION_TIME descending that
// reads only the newest 50 rows and stops, against a scan that reads every
// row in batches of 300 (the same table, the same columns). Prints both
// timings and their ratio; exits 1 when the early stop costs 5 % of the full
// scan or more.
//
//   store_bench [items] [directory]
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/store/ContentsTable.h"
#include "platform/store/Folder.h"
#include "platform/store/Message.h"
#include "platform/store/Session.h"
#include "platform/win/Errors.h"

using namespace store;
using namespace mapi;

namespace {

constexpr LONG kNewest = 50;
constexpr LONG kBatch = 300;
constexpr int kRepeats = 5;

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

HRESULT Fill(Session& session, Folder folder, int items) {
    constexpr int kPerTransaction = 5000;
    for (int done = 0; done < items;) {
        const int upto = std::min(items, done + kPerTransaction);
        HRESULT hr = session.Batch([&]() -> HRESULT {
            for (int i = done; i < upto; ++i) {
                std::unique_ptr<Message> m;
                HRESULT made = folder.CreateMessage(false, &m);
                if (FAILED(made)) {
                    return made;
                }
                m->SetProp(PR_SUBJECT, PropValue::Unicode(L"Item number " + std::to_wstring(i)));
                m->SetProp(PR_BODY, PropValue::Unicode(std::wstring(200, L'x')));
                m->SetProp(PR_MESSAGE_CLASS, PropValue::Unicode(L"IPM.Appointment"));
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

// Rows read; -1 on failure.
long Scan(Folder folder, bool stopEarly) {
    std::unique_ptr<ContentsTable> table;
    if (FAILED(folder.GetContentsTable(false, &table)) ||
        FAILED(table->SetColumns(
            {PR_ENTRYID, PR_LAST_MODIFICATION_TIME, PR_SUBJECT, PR_SEARCH_KEY})) ||
        FAILED(table->SortTable({{PR_LAST_MODIFICATION_TIME, true}}))) {
        return -1;
    }
    ULONG count = 0;
    if (FAILED(table->GetRowCount(&count))) {
        return -1;
    }
    long read = 0;
    for (;;) {
        std::vector<TableRow> rows;
        if (FAILED(table->QueryRows(stopEarly ? kNewest : kBatch, &rows))) {
            return -1;
        }
        read += static_cast<long>(rows.size());
        if (rows.empty() || stopEarly) {
            break;
        }
    }
    return read;
}

double Best(Folder folder, bool stopEarly, long* rows) {
    double best = 1e30;
    for (int i = 0; i < kRepeats; ++i) {
        auto start = std::chrono::steady_clock::now();
        *rows = Scan(folder, stopEarly);
        best = std::min(best, Seconds(std::chrono::steady_clock::now() - start));
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int items = argc > 1 ? std::atoi(argv[1]) : 100000;
    std::string dir;
    if (argc > 2) {
        dir = argv[2];
    } else {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "qmstorebench.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            return 2;
        }
        dir = pattern;
    }
    const std::string path = dir + "/bench.qms";
    std::filesystem::remove(path);
    StoreOptions options;
    options.kind = StoreKind::PersonalUnicode;
    options.displayName = L"Bench";
    std::unique_ptr<Session> session;
    if (FAILED(Session::Create(path, options, &session))) {
        std::fprintf(stderr, "cannot create %s\n", path.c_str());
        return 2;
    }
    Folder folder;
    session->GetDefaultFolder(DefaultFolder::Calendar, &folder);
    auto fillStart = std::chrono::steady_clock::now();
    if (FAILED(Fill(*session, folder, items))) {
        std::fprintf(stderr, "fill failed\n");
        return 2;
    }
    const double fill = Seconds(std::chrono::steady_clock::now() - fillStart);

    long earlyRows = 0, fullRows = 0;
    const double full = Best(folder, false, &fullRows);
    const double early = Best(folder, true, &earlyRows);
    const double ratio = early / full;
    std::printf("items                 %d (filled in %.2f s)\n", items, fill);
    std::printf("full scan             %ld rows in %.3f ms\n", fullRows, full * 1e3);
    std::printf("newest %ld, then stop  %ld rows in %.3f ms\n", static_cast<long>(kNewest),
                earlyRows, early * 1e3);
    std::printf("ratio                 %.3f %% (goal < 5 %%)\n", ratio * 100);
    session.reset();
    if (argc <= 2) {
        std::filesystem::remove_all(dir);
    }
    return fullRows == items && earlyRows == std::min<long>(kNewest, items) && ratio < 0.05 ? 0 : 1;
}

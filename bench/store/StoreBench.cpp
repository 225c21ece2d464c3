// The store's reads against plain SQLite on the same file, in one run.
//
// It builds one folder of N items (default 100,000) in one go, as a bulk
// arrival leaves it: every row was modified within the last minutes, so a
// folder check's 15-minute window takes them all. Then, each figure the best
// of several repeats, side by side with its reference:
//
//   full scan      the store's contents table with a folder check's columns
//                  (search key, entry id, modification time, change key),
//                  newest first, 300 rows a batch, against a C program that
//                  asks SQLite for the same rows and columns of the same file
//                  (bench/store/PlainSqlite.c). Fair about: the same rows, the
//                  same order, the same index, a warm page cache for both.
//                  Not fair: the reference builds no values (no entry id or
//                  change key bytes, no row objects), which the store must.
//   check read     the same rows as a folder check reads them through the
//                  helper library: its table's SetColumns, Sort, GetRows and
//                  SeekRow, each cell read in place in the row arrays, the search
//                  key and change key turned into text by its utilities
//                  object and the time converted; per row, against the plain
//                  SQLite row. Not fair: the check's text and arrays are work
//                  the reference never does; the goal allows for it.
//   lookup         one item found by its search key through the helper
//                  library's Items.Find with the query the add-in sends (it
//                  hands out the opened message), against one probe of the
//                  same index by plain SQLite that reads the row's blobs.
//                  Not fair: the reference parses no query and decodes no
//                  property blob.
//   newest 50      a scan that reads the newest 50 rows and stops, against
//                  the full scan (the check's window must cost nothing for
//                  the rows it does not read).
//
// Each figure is the best CPU time (user and system, of the one thread that
// does the work) of several repeats. Exits 1 when a figure misses its goal,
// 2 when the bench cannot run.
//
//   store_bench [items] [directory]
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/store/FillFolder.h"
#include "bench/store/PlainSqlite.h"
#include "platform/com/Bstr.h"
#include "platform/com/SafeArray.h"
#include "platform/com/Variant.h"
#include "platform/rdo/RdoFolder.h"
#include "platform/rdo/RdoUtils.h"
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
// QM_STORE_BENCH_REPEATS raises it, so that a profile of the run is mostly reads.
const int kRepeats = std::getenv("QM_STORE_BENCH_REPEATS") != nullptr
                         ? std::max(1, std::atoi(std::getenv("QM_STORE_BENCH_REPEATS")))
                         : 5;
constexpr int kLookups = 2000;

// The folder check's columns, in its order.
const std::vector<ULONG> kCheckColumns = {PR_SEARCH_KEY, PR_ENTRYID, PR_LAST_MODIFICATION_TIME,
                                          PR_CHANGE_KEY};

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// CPU seconds of this thread (user and system): on a shared machine the
// wall time of a run also counts the time it waited for a processor.
double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Best CPU time of repeats runs of work.
double Best(const std::function<void()>& work) {
    double best = 1e30;
    for (int i = 0; i < kRepeats; ++i) {
        const double start = ThreadSeconds();
        work();
        best = std::min(best, ThreadSeconds() - start);
    }
    return best;
}

// Rows read by the store's own table; -1 on failure.
long StoreScan(Folder folder, LONG batch, bool stopAfterOne) {
    std::unique_ptr<ContentsTable> table;
    if (FAILED(folder.GetContentsTable(false, &table)) ||
        FAILED(table->SetColumns(kCheckColumns)) ||
        FAILED(table->SortTable({{PR_LAST_MODIFICATION_TIME, true}}))) {
        return -1;
    }
    long read = 0;
    for (;;) {
        std::vector<TableRow> rows;
        if (FAILED(table->QueryRows(batch, &rows))) {
            return -1;
        }
        read += static_cast<long>(rows.size());
        if (rows.empty() || stopAfterOne) {
            break;
        }
    }
    return read;
}

CComVariant CheckColumnsVariant() {
    CComVariant columns;
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(kCheckColumns.size()));
    for (LONG i = 0; i < static_cast<LONG>(kCheckColumns.size()); ++i) {
        LONG tag = static_cast<LONG>(kCheckColumns[i]);
        SafeArrayPutElement(array, &i, &tag);
    }
    columns.vt = VT_ARRAY | VT_I4;
    columns.parray = array;
    return columns;
}

// The cells of one array as the add-in's check reads them: views into the
// array's own storage, valid while it lives.
std::vector<VARIANT> Cells(const VARIANT& array) {
    std::vector<VARIANT> out;
    VARIANT* cells = nullptr;
    if (array.vt != (VT_ARRAY | VT_VARIANT) || !array.parray ||
        FAILED(SafeArrayAccessData(array.parray, reinterpret_cast<void**>(&cells)))) {
        return out;
    }
    out.assign(cells, cells + array.parray->rgsabound[0].cElements);
    SafeArrayUnaccessData(array.parray);
    return out;
}

// Rows a folder check reads through the helper library; -1 on failure.
long CheckRead(Folder folder, QMRMAPIUtils* utils, std::size_t* textChars) {
    std::unique_ptr<ContentsTable> contents;
    if (FAILED(folder.GetContentsTable(false, &contents))) {
        return -1;
    }
    CComPtr<rdo::RdoTable> table =
        com::Make<rdo::RdoTable>(std::shared_ptr<rdo::SessionContext>(), std::move(contents));
    LONG count = 0;
    if (FAILED(table->SetColumns(CheckColumnsVariant())) || FAILED(table->GetRowCount(&count)) ||
        FAILED(table->Sort(CComVariant(static_cast<LONG>(PR_LAST_MODIFICATION_TIME)),
                           CComVariant(LONG(1)))) ||
        FAILED(table->GoToFirst())) {
        return -1;
    }
    long position = 0;
    while (position < count) {
        CComVariant rows;
        if (FAILED(table->GetRows(kBatch, &rows))) {
            return -1;
        }
        if (rows.vt == VT_EMPTY) {
            break;
        }
        const std::vector<VARIANT> batch = Cells(rows);
        for (const VARIANT& row : batch) {
            const std::vector<VARIANT> cells = Cells(row);
            if (cells.size() != kCheckColumns.size()) {
                return -1;
            }
            CComBSTR key, changeKey;
            DATE modified = 0;
            if (FAILED(utils->BinaryToText(cells[0], &key)) ||
                FAILED(utils->ConvertModificationTime(cells[2], &modified)) ||
                FAILED(utils->BinaryToText(cells[3], &changeKey))) {
                return -1;
            }
            *textChars += key.Length() + changeKey.Length();
        }
        position += static_cast<long>(batch.size());
        if (batch.empty() || FAILED(table->SeekRow(position))) {
            break;
        }
    }
    return position;
}

std::wstring Hex(const Bytes& bytes) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    for (std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

// Items found (of lookups tried) through the helper library's Items.Find.
int LookupMany(Folder folder, const std::vector<Bytes>& keys) {
    CComPtr<rdo::RdoItems> items =
        com::Make<rdo::RdoItems>(std::shared_ptr<rdo::SessionContext>(), folder, false);
    const std::wstring folderId = Hex(folder.EntryId());
    const std::wstring name = L"\"http://schemas.microsoft.com/mapi/proptag/0x300B0102\"";
    int found = 0;
    for (int i = 0; i < kLookups; ++i) {
        const Bytes& key = keys[(static_cast<std::size_t>(i) * 7919) % keys.size()];
        const std::wstring query = L"SELECT \"DAV:id\", " + name + L" FROM \"" + folderId +
                                   L"\" WHERE " + name + L" = '" + Hex(key) + L"'";
        CComPtr<QMRMessage> message;
        if (SUCCEEDED(items->Find(CComBSTR(query.c_str()), &message)) && message) {
            ++found;
        }
    }
    return found;
}

int PlainLookupMany(PlainStore* plain, ObjectId folder, const std::vector<Bytes>& keys,
                    unsigned long long* checksum) {
    int found = 0;
    for (int i = 0; i < kLookups; ++i) {
        const Bytes& key = keys[(static_cast<std::size_t>(i) * 7919) % keys.size()];
        if (plain_probe(plain, folder, key.data(), static_cast<int>(key.size()), checksum) != 0) {
            ++found;
        }
    }
    return found;
}

struct Figure {
    const char* name;
    double measured;
    double reference;
    const char* unit;
    const char* referenceName;
    double goal;  // highest ratio that meets the goal
};

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
    if (items <= 0 || FAILED(Session::Create(path, options, &session))) {
        std::fprintf(stderr, "cannot create %s\n", path.c_str());
        return 2;
    }
    Folder folder;
    session->GetDefaultFolder(DefaultFolder::Calendar, &folder);
    std::vector<Bytes> keys;
    auto fillStart = std::chrono::steady_clock::now();
    if (FAILED(bench::FillFolder(*session, folder, items, L"Item number", std::wstring(200, L'x'),
                                 L"IPM.Appointment", &keys))) {
        std::fprintf(stderr, "fill failed\n");
        return 2;
    }
    const double fill = Seconds(std::chrono::steady_clock::now() - fillStart);
    PlainStore* plain = plain_open(path.c_str());
    if (plain == nullptr) {
        std::fprintf(stderr, "plain SQLite cannot open %s\n", path.c_str());
        return 2;
    }
    CComPtr<rdo::RdoUtils> utils = com::Make<rdo::RdoUtils>();

    long storeRows = 0, plainRows = 0, checkRows = 0, earlyRows = 0;
    unsigned long long checksum = 0;
    std::size_t textChars = 0;
    int found = 0, plainFound = 0;
    // Alternating each repeat would not change the picture; each figure
    // takes its best of kRepeats, the reference first.
    const double plainScan = Best([&] { plainRows = plain_scan(plain, folder.Id(), &checksum); });
    const double storeScan = Best([&] { storeRows = StoreScan(folder, kBatch, false); });
    const double check = Best([&] { checkRows = CheckRead(folder, utils, &textChars); });
    const double early = Best([&] { earlyRows = StoreScan(folder, kNewest, true); });
    const double plainLookup =
        Best([&] { plainFound = PlainLookupMany(plain, folder.Id(), keys, &checksum); });
    const double lookup = Best([&] { found = LookupMany(folder, keys); });
    plain_close(plain);

    const double perRow = 1e6 / items;
    const Figure figures[] = {
        {"full scan (store table)", storeScan * 1e3, plainScan * 1e3, "ms", "plain SQLite", 1.3},
        {"check read, per row", check * perRow, plainScan * perRow, "us", "plain SQLite", 2.0},
        {"lookup by search key", lookup * 1e6 / kLookups, plainLookup * 1e6 / kLookups, "us",
         "plain SQLite", 3.0},
        {"newest 50, then stop", early * 1e3, storeScan * 1e3, "ms", "full scan", 0.05},
    };
    std::printf("items %d in one folder, filled in %.2f s; best CPU time of %d runs each\n", items,
                fill, kRepeats);
    std::printf("%-26s %12s %12s %-13s %8s %8s\n", "figure", "measured", "reference", "(reference)",
                "ratio", "goal");
    bool met = true;
    for (const Figure& f : figures) {
        const double ratio = f.measured / f.reference;
        const bool ok = ratio <= f.goal;
        met = met && ok;
        std::printf("%-26s %9.3f %-2s %9.3f %-2s %-13s %8.3f %7s%.2f%s\n", f.name, f.measured,
                    f.unit, f.reference, f.unit, f.referenceName, ratio, "<= ", f.goal,
                    ok ? "" : "  MISSED");
    }
    const bool complete = storeRows == items && plainRows == items && checkRows == items &&
                          earlyRows == std::min<long>(kNewest, items) && found == kLookups &&
                          plainFound == kLookups;
    if (!complete) {
        std::printf(
            "rows read: store %ld, plain %ld, check %ld, newest %ld; found %d and %d of %d\n",
            storeRows, plainRows, checkRows, earlyRows, found, plainFound, kLookups);
    }
    session.reset();
    if (argc <= 2) {
        std::filesystem::remove_all(dir);
    }
    return complete && met ? 0 : 1;
}

// Cabinet packing and unpacking measured against the tools a user would pick
// instead, on real corpora of this machine and on generated mail text. Every
// figure is a ratio to its peer, both measured in the same run.
//
//   cabinet_bench [--quick] [--rounds N] [--item]
//
// --quick: corpora of 1 MB; --item: only the 4 KB item (for profiling).
//
// Corpora (each chosen reproducibly: regular files in path order, until about
// 10 MB; the first and last file are printed): "doc" text files below
// /usr/share/doc, "src" C headers below /usr/include, "bin" programs in
// /usr/bin, "msg" the real message files of shared/testdata/msg, and "gen"
// generated mail-folder text. Each corpus is copied into a scratch directory,
// one file per file, and a concatenation of it feeds the stream tools.
//
// What each comparison is fair about, and what not:
// - Times are CPU seconds (user + system) of whoever does the work: our code
//   in this process, each tool in its own process, start-up included. The
//   best of N interleaved rounds is kept, so a burst of load elsewhere hits
//   every method alike. Wall-clock MB/s are printed beside them.
// - Our packing reads each file from disk and writes a cabinet file (one
//   folder, 2 MiB window for LZX, unencrypted); gzip, xz and zstd read the
//   one concatenated file and write one stream. Same bytes in, but ours also
//   pays per-file opens and the cabinet's temporary file.
// - wimlib's LZX runs in this process on memory, in its largest chunks
//   (2 MiB), each chunk compressed on its own as WIM files do; ours carries
//   the 2 MiB window across the whole folder, which favours us on corpora
//   whose files repeat each other across chunk ends. Sizes are what is
//   compared: our "LZX data" (the cabinet's compressed data blocks alone,
//   as wimlib's figure has no names, entries or block headers either) and,
//   for reference, the whole cabinet; its speed is printed for reference.
// - xz -6 and zstd -19 use windows of 8 MiB and more; they show what a
//   stronger format reaches, not a goal.
// - gcab -z packs the same files as MSZIP from the same directory; it is the
//   peer of our MSZIP packing (speed and size).
// - Unpacking: our reader, cabextract and gcab -x each unpack the same
//   cabinet into a fresh directory on the same file system (removed before
//   each run, untimed). gzip -d to /dev/null only streams; it writes no files
//   and is shown for reference.
// - "4 KB item": one sync mail's cabinet, the way the add-in packs it (key
//   set, LZX 2^21, one file), end to end per item, averaged; beside it zlib
//   deflate -6 of the same bytes in memory, which writes no file at all.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <wimlib.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Quillmere/cabinet/Blowfish.h"
#include "Quillmere/cabinet/Compress.h"
#include "Quillmere/cabinet/Extract.h"
#include "Quillmere/cabinet/testing/CabTestSupport.h"

#ifndef QM_TESTDATA_DIR
#define QM_TESTDATA_DIR ""
#endif

namespace {

namespace fs = std::filesystem;
using Cabinet::testing::Bytes;
using Cabinet::testing::ScratchUser;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kSeed = 20261210;
constexpr std::size_t kWimlibBlock = 1u << 21;
constexpr std::uint64_t kCorpusBytes = 10'000'000;

// Wall and CPU seconds of one run; negative wall on failure.
struct Timing {
    double wall = 0;
    double cpu = 0;
};

double CpuNow() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Times work done in this process.
Timing TimeHere(const std::function<bool()>& work) {
    auto start = Clock::now();
    double cpu = CpuNow();
    bool ok = work();
    Timing t{Seconds(start), CpuNow() - cpu};
    if (!ok) {
        t.wall = -1;
    }
    return t;
}

// Times a shell command in a child process: wall time and the child's user +
// system time (the shell's included, a millisecond).
Timing TimeCommand(const std::string& command) {
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
        return {-1, 0};
    }
    Timing t{Seconds(start), static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        t.wall = -1;
    }
    return t;
}

struct CorpusFile {
    std::string relative;  // with '/' separators
    std::uint64_t size;
};

struct Corpus {
    std::string label;
    std::string origin;
    std::vector<CorpusFile> files;
    std::uint64_t bytes = 0;
    std::string hostDir;  // the copies, one per file
    std::string concat;   // all files in one host file
    std::wstring winDir;  // hostDir as a Windows path, with a trailing backslash
};

bool StartsWith(const Bytes& head, const char* magic, std::size_t n) {
    return head.size() >= n && std::memcmp(head.data(), magic, n) == 0;
}

Bytes Head(const std::string& path, std::size_t n) {
    Bytes head(n);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return Bytes();
    }
    head.resize(std::fread(head.data(), 1, n, f));
    std::fclose(f);
    return head;
}

// Regular files below root (links not followed), in byte order of their path.
std::vector<std::string> FilesBelow(const std::string& root) {
    std::vector<std::string> out;
    std::error_code ec;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code sec;
        if (it->is_symlink(sec)) {
            if (it->is_directory(sec)) {
                it.disable_recursion_pending();
            }
            continue;
        }
        if (it->is_regular_file(sec)) {
            out.push_back(it->path().string());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

using Filter = std::function<bool(const std::string& path, std::uint64_t size)>;

Bytes ReadFile(const std::string& path) {
    return Cabinet::testing::ReadHostFile(path);
}

// Copies the chosen files below the scratch directory and writes their
// concatenation.
void Materialise(Corpus& corpus, const std::vector<std::pair<std::string, Bytes>>& files) {
    corpus.winDir = L"C:\\bench\\" + std::wstring(corpus.label.begin(), corpus.label.end()) + L"\\";
    corpus.hostDir = ScratchUser::Host(corpus.winDir);
    fs::create_directories(corpus.hostDir);
    corpus.concat = corpus.hostDir.substr(0, corpus.hostDir.find_last_not_of('/')) + ".concat";
    FILE* all = std::fopen(corpus.concat.c_str(), "wb");
    for (const auto& [relative, data] : files) {
        Cabinet::testing::WriteHostFile(corpus.hostDir + "/" + relative, data);
        std::fwrite(data.data(), 1, data.size(), all);
        corpus.files.push_back({relative, data.size()});
        corpus.bytes += data.size();
    }
    std::fclose(all);
}

Corpus FromMachine(const std::string& label, const std::string& root, std::uint64_t maxFile,
                   const Filter& keep, std::uint64_t limit) {
    Corpus corpus;
    corpus.label = label;
    std::vector<std::pair<std::string, Bytes>> chosen;
    std::uint64_t total = 0;
    for (const std::string& path : FilesBelow(root)) {
        if (total >= limit) {
            break;
        }
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 || st.st_size <= 0 ||
            static_cast<std::uint64_t>(st.st_size) > maxFile ||
            !keep(path, static_cast<std::uint64_t>(st.st_size))) {
            continue;
        }
        Bytes data = ReadFile(path);
        if (data.size() != static_cast<std::size_t>(st.st_size)) {
            continue;
        }
        total += data.size();
        chosen.emplace_back(path.substr(root.size() + 1), std::move(data));
    }
    if (!chosen.empty()) {
        corpus.origin = root + ": " + chosen.front().first + " .. " + chosen.back().first;
    }
    Materialise(corpus, chosen);
    return corpus;
}

bool IsPlainText(const std::string& path, std::uint64_t) {
    Bytes head = Head(path, 4096);
    return !head.empty() && std::find(head.begin(), head.end(), 0) == head.end();
}

bool IsHeader(const std::string& path, std::uint64_t) {
    return path.size() > 2 && path.compare(path.size() - 2, 2, ".h") == 0;
}

bool IsElf(const std::string& path, std::uint64_t) {
    return StartsWith(Head(path, 4),
                      "\x7f"
                      "ELF",
                      4);
}

// Mail-folder text: threads of messages with full header blocks, replies
// that quote an earlier message of the folder in full, fixed signatures and
// a disclaimer, and bodies drawn from a Zipf-distributed vocabulary.
class MailFolderText {
public:
    explicit MailFolderText(std::uint32_t seed) : m_random(seed) {
        static const char* kSyllables[] = {"ka",  "re",  "mi",  "to",  "sa", "lo",  "ven",  "der",
                                           "an",  "is",  "ber", "gen", "ta", "pro", "ject", "ment",
                                           "ing", "con", "ex",  "or",  "al", "tion"};
        for (int i = 0; i < 4000; ++i) {
            std::string word;
            int parts = 1 + static_cast<int>(m_random() % 4);
            for (int p = 0; p < parts; ++p) {
                word += kSyllables[m_random() % (sizeof kSyllables / sizeof *kSyllables)];
            }
            m_words.push_back(word);
            m_weights.push_back(1.0 / (i + 1));
        }
        m_zipf = std::discrete_distribution<int>(m_weights.begin(), m_weights.end());
        for (const char* name : {"anna.berg", "jonas.keller", "marie.dubois", "lucas.garcia",
                                 "sofia.romero", "peter.lang"}) {
            m_people.push_back(name);
        }
    }

    Bytes Make(std::size_t size) {
        std::string text;
        while (text.size() < size) {
            std::string message = Message();
            m_history.push_back(message);
            if (m_history.size() > 60) {
                m_history.erase(m_history.begin());
            }
            text += message;
        }
        text.resize(size);
        return Bytes(text.begin(), text.end());
    }

private:
    std::string Hex(int digits) {
        std::string out;
        for (int i = 0; i < digits; ++i) {
            out += "0123456789abcdef"[m_random() % 16];
        }
        return out;
    }
    std::string Date() {
        char buffer[64];
        std::snprintf(
            buffer, sizeof buffer, "Thu, %u Dec 2026 %02u:%02u:%02u +0100",
            static_cast<unsigned>(1 + m_random() % 28), static_cast<unsigned>(m_random() % 24),
            static_cast<unsigned>(m_random() % 60), static_cast<unsigned>(m_random() % 60));
        return buffer;
    }
    std::string Paragraph() {
        std::string out;
        std::string line;
        int words = 20 + static_cast<int>(m_random() % 60);
        for (int w = 0; w < words; ++w) {
            std::string word = m_words[m_zipf(m_random)];
            if (line.size() + word.size() + 1 > 72) {
                out += line + "\r\n";
                line.clear();
            }
            line += (line.empty() ? "" : " ") + word;
        }
        return out + line + ".\r\n\r\n";
    }
    std::string Message() {
        const std::string& from = m_people[m_random() % m_people.size()];
        const std::string& to = m_people[m_random() % m_people.size()];
        std::string m;
        for (int hop = 0; hop < 3; ++hop) {
            m += "Received: from mx" + std::to_string(m_random() % 4) +
                 ".example.org (mx.example.org [10.0.0." + std::to_string(m_random() % 8) +
                 "]) by mail.example.com (Postfix) with ESMTPS id " + Hex(10) + "; " + Date() +
                 "\r\n";
        }
        m += "Message-ID: <" + Hex(16) + "@example.org>\r\nDate: " + Date() + "\r\nFrom: " + from +
             "@example.org\r\nTo: " + to +
             "@example.org\r\nSubject: Re: " + m_words[m_random() % 50] + " " +
             m_words[m_random() % 50] +
             "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
             "Content-Transfer-Encoding: 8bit\r\nX-Mailer: Microsoft Outlook 16.0\r\n\r\n";
        int paragraphs = 1 + static_cast<int>(m_random() % 5);
        for (int p = 0; p < paragraphs; ++p) {
            m += Paragraph();
        }
        m += "-- \r\n" + from +
             "\r\nExample Org, Research Division\r\n+49 30 1234 5678\r\n\r\n"
             "This message and any attachments are confidential and intended solely for the "
             "addressee.\r\nIf you received it in error, please notify the sender and delete "
             "it.\r\n\r\n";
        if (!m_history.empty() && m_random() % 4 != 0) {
            const std::string& quoted = m_history[m_random() % m_history.size()];
            m += "On " + Date() + ", " + to + " wrote:\r\n";
            std::size_t start = 0;
            std::size_t limit = std::min<std::size_t>(quoted.size(), 24000);
            while (start < limit) {
                std::size_t end = quoted.find("\r\n", start);
                if (end == std::string::npos || end > limit) {
                    end = limit;
                }
                m += "> " + quoted.substr(start, end - start) + "\r\n";
                start = end + 2;
            }
            m += "\r\n";
        }
        return m;
    }

    std::mt19937 m_random;
    std::vector<std::string> m_words;
    std::vector<double> m_weights;
    std::discrete_distribution<int> m_zipf;
    std::vector<std::string> m_people;
    std::vector<std::string> m_history;
};

Corpus Generated(std::uint64_t limit) {
    Corpus corpus;
    corpus.label = "gen";
    corpus.origin = "generated mail-folder text, seed " + std::to_string(kSeed);
    std::mt19937 random(kSeed);
    MailFolderText folder(kSeed);
    std::vector<std::pair<std::string, Bytes>> files;
    std::uint64_t total = 0;
    for (int n = 0; total < limit; ++n) {
        std::size_t size = n == 0 ? (1u << 20) : 1024 + random() % (192 * 1024);
        Bytes data =
            folder.Make(static_cast<std::size_t>(std::min<std::uint64_t>(size, limit - total)));
        total += data.size();
        files.emplace_back("msg" + std::to_string(n) + ".txt", std::move(data));
    }
    Materialise(corpus, files);
    return corpus;
}

Corpus Messages() {
    Corpus corpus;
    corpus.label = "msg";
    std::string root = QM_TESTDATA_DIR "/msg";
    std::vector<std::pair<std::string, Bytes>> files;
    for (const std::string& path : FilesBelow(root)) {
        if (path.size() > 4 && path.compare(path.size() - 4, 4, ".msg") == 0) {
            files.emplace_back(path.substr(root.size() + 1), ReadFile(path));
        }
    }
    corpus.origin = root + " (" + std::to_string(files.size()) + " message files)";
    Materialise(corpus, files);
    return corpus;
}

std::wstring Wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

std::wstring Backslashed(std::string s) {
    std::replace(s.begin(), s.end(), '/', '\\');
    return Wide(s);
}

bool PackCabinet(const Corpus& corpus, TCOMP type, const std::wstring& cab) {
    Cabinet::CCompress writer;
    writer.AllocateBuffer();
    bool ok = writer.CreateFCIContext(cab.c_str(), TRUE, TRUE, 0x7FFFFFFF, 23364, 0);
    for (const auto& file : corpus.files) {
        std::wstring path = corpus.winDir + Backslashed(file.relative);
        std::wstring name = Backslashed(file.relative);
        ok = ok && writer.AddFile(path.c_str(), name.c_str(), type);
    }
    ok = writer.CleanUp() && ok;
    if (!ok) {
        std::fwprintf(stderr, L"packing failed: %ls\n", writer.GetLastErrorText());
    }
    return ok;
}

bool UnpackCabinet(const std::wstring& cab, const std::wstring& target) {
    Cabinet::CExtract reader;
    reader.AllocateBuffer();
    bool ok = reader.CreateFDIContext() && reader.ExtractFile(cab.c_str(), target.c_str(), 0);
    reader.CleanUp();
    if (!ok) {
        std::fwprintf(stderr, L"unpacking failed: %ls\n", reader.GetLastErrorText());
    }
    return ok;
}

std::string Q(const std::string& s) {
    return Cabinet::testing::ShellQuote(s);
}

void RemoveTree(const std::string& dir) {
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(dir, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(dir, ignored);
}

// One measured thing: run() once per round (prepare() untimed before it);
// size() after the first run.
struct Method {
    std::string name;
    std::function<Timing()> run;
    std::function<std::uint64_t()> size;
    bool everyRound = true;  // else measured in the first round only
    std::function<void()> prepare;
    Timing best{0, 0};
    std::uint64_t bytes = 0;
};

void Keep(Timing& best, const Timing& t) {
    if (best.wall < 0) {
        return;
    }
    if (t.wall < 0) {
        best = t;
        return;
    }
    if (best.wall == 0 || t.cpu < best.cpu) {
        best.cpu = t.cpu;
    }
    if (best.wall == 0 || t.wall < best.wall) {
        best.wall = t.wall;
    }
}

void Measure(std::vector<Method>& methods, int rounds) {
    for (int round = 0; round < rounds; ++round) {
        for (Method& m : methods) {
            if (round > 0 && !m.everyRound) {
                continue;
            }
            if (m.prepare) {
                m.prepare();
            }
            Keep(m.best, m.run());
            if (round == 0 && m.size) {
                m.bytes = m.size();
            }
        }
    }
}

Method& Find(std::vector<Method>& methods, const std::string& name) {
    for (Method& m : methods) {
        if (m.name == name) {
            return m;
        }
    }
    std::fprintf(stderr, "no method %s\n", name.c_str());
    std::abort();
}

// The compressed bytes of a cabinet's data blocks (what the codec wrote),
// without the cabinet's header, folder and file entries and block headers.
// The bench's cabinets have one set of no reserves and no neighbours.
std::uint64_t CabinetDataBytes(const std::string& path) {
    Bytes cab = ReadFile(path);
    auto u16 = [&](std::size_t at) {
        return at + 2 <= cab.size() ? static_cast<std::uint32_t>(cab[at] | (cab[at + 1] << 8)) : 0u;
    };
    auto u32 = [&](std::size_t at) { return u16(at) | (u16(at + 2) << 16); };
    if (cab.size() < 36 || std::memcmp(cab.data(), "MSCF", 4) != 0 || u16(30) != 0) {
        return 0;
    }
    std::uint64_t total = 0;
    for (std::uint32_t f = 0; f < u16(26); ++f) {
        std::size_t at = u32(36 + 8 * f);
        for (std::uint32_t b = 0; b < u16(36 + 8 * f + 4) && at + 8 <= cab.size(); ++b) {
            total += u16(at + 4);
            at += 8 + u16(at + 4);
        }
    }
    return total;
}

std::uint64_t FileSize(const std::string& path) {
    std::error_code ec;
    auto n = fs::file_size(path, ec);
    return ec ? 0 : n;
}

struct Goal {
    std::string corpus;
    std::string what;
    double value;
    bool atMost;
    double limit;
};
std::vector<Goal> g_goals;

void Ratio(const Corpus& corpus, const std::string& what, double value, const char* goal = nullptr,
           double limit = 0) {
    if (!(value > 0) || !std::isfinite(value)) {
        std::printf("    %-52s %9s\n", what.c_str(), "n/a");
        return;
    }
    std::printf("    %-52s %9.3f", what.c_str(), value);
    if (goal != nullptr) {
        bool atMost = std::strcmp(goal, "<=") == 0;
        bool met = atMost ? value <= limit : value >= limit;
        std::printf("   goal %s %.2f  %s", goal, limit, met ? "met" : "MISSED");
        g_goals.push_back({corpus.label, what, value, atMost, limit});
    }
    std::printf("\n");
}

// Speed ratio a/b from CPU times of the same amount of work.
double Faster(const Method& a, const Method& b) {
    if (a.best.wall <= 0 || b.best.wall <= 0 || a.best.cpu <= 0) {
        return 0;
    }
    return b.best.cpu / a.best.cpu;
}

double Smaller(const Method& a, const Method& b) {
    return b.bytes ? static_cast<double>(a.bytes) / static_cast<double>(b.bytes) : 0;
}

void BenchCorpus(const Corpus& corpus, int rounds, bool machineCorpus) {
    std::printf("\ncorpus %s: %zu files, %.2f MB\n  %s\n", corpus.label.c_str(),
                corpus.files.size(), corpus.bytes / 1e6, corpus.origin.c_str());
    if (corpus.files.empty()) {
        std::printf("  (no files)\n");
        return;
    }
    const std::wstring lzxCab = L"C:\\bench\\" + Wide(corpus.label) + L"-lzx.cab";
    const std::wstring mszipCab = L"C:\\bench\\" + Wide(corpus.label) + L"-mszip.cab";
    const std::string lzxHost = ScratchUser::Host(lzxCab);
    const std::string mszipHost = ScratchUser::Host(mszipCab);
    const std::string gcabHost = corpus.concat + ".gcab.cab";
    const std::string out = corpus.concat + ".out";
    const std::wstring outWin = L"C:\\bench\\" + Wide(corpus.label) + L".concat.out";
    const std::string concat = Q(corpus.concat);

    std::string fileList;
    for (const auto& f : corpus.files) {
        fileList += " " + Q(f.relative);
    }
    auto wipeOut = [out] { RemoveTree(out); };

    struct Wim {
        Bytes all;
        Bytes packed = Bytes(kWimlibBlock + kWimlibBlock / 8);
        std::uint64_t size = 0;
    };
    auto wim = std::make_shared<Wim>();
    wim->all = ReadFile(corpus.concat);
    auto wimlib = [wim](unsigned level) {
        return [wim, level] {
            wimlib_compressor* compressor = nullptr;
            if (wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZX, kWimlibBlock, level,
                                         &compressor) != 0) {
                return Timing{-1, 0};
            }
            Timing t = TimeHere([&] {
                wim->size = 0;
                for (std::size_t at = 0; at < wim->all.size(); at += kWimlibBlock) {
                    std::size_t n = std::min(kWimlibBlock, wim->all.size() - at);
                    std::size_t packed =
                        wimlib_compress(wim->all.data() + at, n, wim->packed.data(), n, compressor);
                    wim->size += packed != 0 ? packed : n;
                }
                return true;
            });
            wimlib_free_compressor(compressor);
            return t;
        };
    };
    auto wimSize = [wim] { return wim->size; };

    std::vector<Method> m;
    m.push_back({"our LZX pack",
                 [&] {
                     return TimeHere(
                         [&] { return PackCabinet(corpus, TCOMPfromLZXWindow(21), lzxCab); });
                 },
                 [&] { return FileSize(lzxHost); }});
    // Sizes only: the LZX data of the same cabinet, the peer of wimlib's
    // figure, which has no directory either. Measured after the packing.
    m.push_back({"our LZX data",
                 [] {
                     return Timing{0, 0};
                 },
                 [&] { return CabinetDataBytes(lzxHost); }, false});
    m.push_back({"gzip -6",
                 [=] { return TimeCommand("gzip -6 -c " + concat + " > " + concat + ".gz"); },
                 [&] { return FileSize(corpus.concat + ".gz"); }});
    m.push_back(
        {"our MSZIP pack",
         [&] { return TimeHere([&] { return PackCabinet(corpus, tcompTYPE_MSZIP, mszipCab); }); },
         [&] { return FileSize(mszipHost); }});
    m.push_back({"gcab -z",
                 [=] {
                     return TimeCommand("cd " + Q(corpus.hostDir) + " && gcab -c -z " +
                                        Q(gcabHost) + fileList);
                 },
                 [=] { return FileSize(gcabHost); }});
    m.push_back({"wimlib LZX 50", wimlib(50), wimSize});
    // Unpacking runs start from an empty target.
    auto unpack = [&](const std::string& name, std::function<Timing()> run) {
        m.push_back({name, std::move(run), {}, true, wipeOut});
    };
    unpack("our LZX unpack",
           [=] { return TimeHere([=] { return UnpackCabinet(lzxCab, outWin); }); });
    unpack("cabextract LZX",
           [=] { return TimeCommand("cabextract -q -d " + Q(out) + " " + Q(lzxHost)); });
    unpack("gcab -x LZX", [=] { return TimeCommand("gcab -x -C " + Q(out) + " " + Q(lzxHost)); });
    unpack("our MSZIP unpack",
           [=] { return TimeHere([=] { return UnpackCabinet(mszipCab, outWin); }); });
    unpack("cabextract MSZIP",
           [=] { return TimeCommand("cabextract -q -d " + Q(out) + " " + Q(mszipHost)); });
    m.push_back(
        {"gzip -d", [=] { return TimeCommand("gzip -d -c " + concat + ".gz > /dev/null"); }});
    m.push_back({"wimlib LZX 100", wimlib(100), wimSize, false});
    m.push_back({"xz -6",
                 [=] { return TimeCommand("xz -6 -T1 -c " + concat + " > " + concat + ".xz"); },
                 [&] { return FileSize(corpus.concat + ".xz"); }, false});
    m.push_back(
        {"zstd -19",
         [=] { return TimeCommand("zstd -q -19 -T1 -c " + concat + " > " + concat + ".zst"); },
         [&] { return FileSize(corpus.concat + ".zst"); }, false});
    Measure(m, rounds);
    RemoveTree(out);

    std::printf("  %-18s %12s %11s %11s\n", "method", "bytes", "CPU MB/s", "wall MB/s");
    for (const Method& x : m) {
        if (x.best.wall < 0) {
            std::printf("  %-18s failed\n", x.name.c_str());
            continue;
        }
        char bytes[32] = "-";
        if (x.bytes) {
            std::snprintf(bytes, sizeof bytes, "%llu", static_cast<unsigned long long>(x.bytes));
        }
        if (x.best.wall == 0) {
            std::printf("  %-18s %12s %11s %11s\n", x.name.c_str(), bytes, "-", "-");
            continue;
        }
        std::printf("  %-18s %12s %11.2f %11.2f\n", x.name.c_str(), bytes,
                    x.best.cpu > 0 ? corpus.bytes / 1e6 / x.best.cpu : 0,
                    x.best.wall > 0 ? corpus.bytes / 1e6 / x.best.wall : 0);
    }
    Method& lzx = Find(m, "our LZX pack");
    Method& lzxData = Find(m, "our LZX data");
    Method& mszip = Find(m, "our MSZIP pack");
    std::printf("  ratios (same run)\n");
    const char* speedGoal = machineCorpus ? ">=" : nullptr;
    const char* sizeGoal = "<=";
    Ratio(corpus, "LZX data size / wimlib LZX default (50)",
          Smaller(lzxData, Find(m, "wimlib LZX 50")), sizeGoal, 1.0);
    Ratio(corpus, "LZX data size / wimlib LZX 100", Smaller(lzxData, Find(m, "wimlib LZX 100")));
    Ratio(corpus, "LZX cabinet size / wimlib LZX default (50)",
          Smaller(lzx, Find(m, "wimlib LZX 50")));
    Ratio(corpus, "LZX size / xz -6", Smaller(lzx, Find(m, "xz -6")));
    Ratio(corpus, "LZX size / zstd -19", Smaller(lzx, Find(m, "zstd -19")));
    Ratio(corpus, "LZX size / gzip -6", Smaller(lzx, Find(m, "gzip -6")));
    Ratio(corpus, "LZX packing speed / gzip -6", Faster(lzx, Find(m, "gzip -6")), speedGoal, 1.0);
    Ratio(corpus, "LZX packing speed / wimlib LZX default (50)",
          Faster(lzx, Find(m, "wimlib LZX 50")));
    Ratio(corpus, "MSZIP size / gcab -z", Smaller(mszip, Find(m, "gcab -z")));
    Ratio(corpus, "MSZIP packing speed / gcab -z", Faster(mszip, Find(m, "gcab -z")));
    Ratio(corpus, "LZX unpacking to disk / cabextract",
          Faster(Find(m, "our LZX unpack"), Find(m, "cabextract LZX")),
          machineCorpus ? ">=" : nullptr, 1.0);
    Ratio(corpus, "LZX unpacking to disk / gcab -x",
          Faster(Find(m, "our LZX unpack"), Find(m, "gcab -x LZX")));
    Ratio(corpus, "MSZIP unpacking to disk / cabextract",
          Faster(Find(m, "our MSZIP unpack"), Find(m, "cabextract MSZIP")));
    Ratio(corpus, "LZX unpacking to disk / gzip -d to /dev/null",
          Faster(Find(m, "our LZX unpack"), Find(m, "gzip -d")));
}

// The add-in's way of packing one item: a writer per cabinet, key set, LZX
// 2^21, one file "sync.msg" into "sync.zuf".
bool PackItem(const std::wstring& source, const std::wstring& cab) {
    Cabinet::CCompress writer;
    const char key[] = "folder password";
    writer.Cipher().SetKey(reinterpret_cast<const BYTE*>(key), sizeof key - 1);
    writer.AllocateBuffer();
    bool ok = writer.CreateFCIContext(cab.c_str(), TRUE, TRUE, 0x7FFFFFFF, 23364, 0) &&
              writer.AddFile(source.c_str(), L"sync.msg", TCOMPfromLZXWindow(21));
    return writer.CleanUp() && ok;
}

bool UnpackItem(const std::wstring& cab, const std::wstring& target) {
    Cabinet::CExtract reader;
    const char key[] = "folder password";
    reader.Cipher().SetKey(reinterpret_cast<const BYTE*>(key), sizeof key - 1);
    reader.AllocateBuffer();
    bool ok = reader.CreateFDIContext() && reader.ExtractFile(cab.c_str(), target.c_str(), 0);
    return reader.CleanUp() && ok;
}

void BenchSmallItem(int rounds) {
    Bytes item = MailFolderText(kSeed + 1).Make(4096);
    const std::wstring source = L"C:\\bench\\item\\item.msg";
    const std::wstring cab = L"C:\\bench\\item\\sync.zuf";
    const std::wstring target = L"C:\\bench\\item\\EXT\\";
    Cabinet::testing::WriteHostFile(ScratchUser::Host(source), item);
    constexpr int kItems = 400;
    Timing pack{0, 0};
    Timing unpack{0, 0};
    Timing zlib{0, 0};
    std::vector<Bytef> packed(compressBound(item.size()));
    for (int round = 0; round < rounds; ++round) {
        Keep(pack, TimeHere([&] {
                 bool ok = true;
                 for (int i = 0; i < kItems; ++i) {
                     ok = PackItem(source, cab) && ok;
                 }
                 return ok;
             }));
        Keep(unpack, TimeHere([&] {
                 bool ok = true;
                 for (int i = 0; i < kItems; ++i) {
                     ok = UnpackItem(cab, target) && ok;
                 }
                 return ok;
             }));
        Keep(zlib, TimeHere([&] {
                 for (int i = 0; i < kItems; ++i) {
                     uLongf n = packed.size();
                     compress2(packed.data(), &n, item.data(), item.size(), 6);
                 }
                 return true;
             }));
    }
    auto ms = [](const Timing& t, double Timing::*field) { return t.*field * 1000 / kItems; };
    std::printf("\n4 KB item (one sync mail's cabinet, encrypted, LZX 2^21), per item\n");
    std::printf("  %-28s %9s %9s\n", "", "CPU ms", "wall ms");
    std::printf("  %-28s %9.4f %9.4f\n", "our packing", ms(pack, &Timing::cpu),
                ms(pack, &Timing::wall));
    std::printf("  %-28s %9.4f %9.4f\n", "our unpacking", ms(unpack, &Timing::cpu),
                ms(unpack, &Timing::wall));
    std::printf("  %-28s %9.4f %9.4f\n", "zlib deflate -6 in memory", ms(zlib, &Timing::cpu),
                ms(zlib, &Timing::wall));
    std::printf("  ratios (same run)\n");
    Corpus item4k;
    item4k.label = "4 KB item";
    Ratio(item4k, "packing CPU ms / goal 0.2 ms", ms(pack, &Timing::cpu) / 0.2, "<=", 1.0);
    Ratio(item4k, "packing wall ms / goal 0.2 ms", ms(pack, &Timing::wall) / 0.2);
    Ratio(item4k, "packing / zlib deflate -6 in memory", pack.cpu / zlib.cpu);
}

// Our cipher over 16 MiB for about a second; MB/s.
double BlowfishMBps(const Cabinet::CBlowfish& cipher, Bytes& data) {
    auto start = Clock::now();
    int rounds = 0;
    do {
        cipher.EncryptBlocks(data.data(), data.size() / 8);
        ++rounds;
    } while (Seconds(start) < 1.0);
    return data.size() * rounds / 1e6 / Seconds(start);
}

// OpenSSL's Blowfish ECB on 16 KiB buffers for a second, in MB/s; 0 when
// unavailable.
double OpenSslBlowfishMBps() {
    std::string output;
    Cabinet::testing::RunCommand(
        "openssl speed -mr -seconds 1 -bytes 16384 -provider legacy -provider default "
        "-evp bf-ecb 2>/dev/null",
        &output);
    std::istringstream lines(output);
    std::string line;
    double best = 0;
    while (std::getline(lines, line)) {
        // "+F:<n>:BF-ECB:<bytes per second>"
        if (line.rfind("+F:", 0) == 0) {
            best = std::max(best, std::stod(line.substr(line.rfind(':') + 1)) / 1e6);
        }
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    bool itemOnly = false;  // the 4 KB item alone, for profiling
    int rounds = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--item") == 0) {
            itemOnly = true;
        } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        }
    }
    const std::uint64_t limit = quick ? kCorpusBytes / 10 : kCorpusBytes;
    ScratchUser user;
    std::printf("cabinet bench (best of %d interleaved rounds%s; ratios > 1 faster, < 1 smaller)\n",
                rounds, quick ? ", quick: 1 MB corpora" : "");
    if (itemOnly) {
        BenchSmallItem(rounds);
        return 0;
    }
    std::vector<std::pair<Corpus, bool>> corpora;
    corpora.emplace_back(FromMachine("doc", "/usr/share/doc", 1 << 20, IsPlainText, limit), true);
    corpora.emplace_back(FromMachine("src", "/usr/include", 1 << 20, IsHeader, limit), true);
    corpora.emplace_back(FromMachine("bin", "/usr/bin", 4 << 20, IsElf, limit), true);
    corpora.emplace_back(Messages(), false);
    corpora.emplace_back(Generated(limit), false);
    for (const auto& [corpus, machine] : corpora) {
        BenchCorpus(corpus, rounds, machine);
    }
    BenchSmallItem(rounds);

    Cabinet::CBlowfish cipher;
    const char key[] = "folder password";
    cipher.SetKey(reinterpret_cast<const BYTE*>(key), sizeof key - 1);
    Bytes data = Cabinet::testing::RandomBytes(kSeed, 16 << 20);
    double ours = 0;
    double openssl = 0;
    for (int round = 0; round < rounds; ++round) {
        ours = std::max(ours, BlowfishMBps(cipher, data));
        openssl = std::max(openssl, OpenSslBlowfishMBps());
    }
    Corpus cipherRow;
    cipherRow.label = "cipher";
    std::printf("\nBlowfish ECB, 16 MiB in memory (wall)\n");
    Ratio(cipherRow, "our Blowfish / OpenSSL Blowfish", openssl > 0 ? ours / openssl : 0);

    std::printf("\ngoals\n");
    int missed = 0;
    for (const Goal& g : g_goals) {
        bool met = g.atMost ? g.value <= g.limit : g.value >= g.limit;
        missed += met ? 0 : 1;
        std::printf("  %-10s %-46s %8.3f %s %.2f  %s\n", g.corpus.c_str(), g.what.c_str(), g.value,
                    g.atMost ? "<=" : ">=", g.limit, met ? "met" : "MISSED");
    }
    std::printf("  %d of %zu met\n", static_cast<int>(g_goals.size()) - missed, g_goals.size());
    return 0;
}

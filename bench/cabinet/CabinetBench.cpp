// Packs a seeded corpus of message-like files with the cabinet writer (our
// LZX with a 2^21 window and our MSZIP, both through the cabinet library),
// wimlib's LZX compressor, gzip -6 and xz -6; unpacks with the cabinet reader
// and gzip -d; and times the cipher against OpenSSL's Blowfish. Prints sizes
// as ratios to our MSZIP, and MB/s.
//
//   cabinet_bench [--quick]
//
// Timings are the best of five rounds that run every method in turn.
#include <wimlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
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

namespace {

namespace fs = std::filesystem;
using Cabinet::testing::Bytes;
using Cabinet::testing::ScratchUser;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kSeed = 20261210;
constexpr std::size_t kWimlibBlock = 1u << 21;

struct CorpusFile {
    std::wstring path;
    std::wstring name;
    std::size_t size;
};

struct Corpus {
    std::string label;
    std::vector<CorpusFile> files;
    std::size_t bytes = 0;
    std::string concatenatedHost;  // all files in one host file, for the tools
};

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double MBps(std::size_t bytes, double seconds) {
    return seconds > 0 ? bytes / 1e6 / seconds : 0;
}

// Mail-folder text: threads of messages with full header blocks, replies
// that quote an earlier message of the folder in full, fixed signatures and
// a disclaimer, and bodies drawn from a Zipf-distributed vocabulary. Quoted
// messages lie up to a few hundred kilobytes back, as in a real folder.
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

// A binary attachment: an image-like mix of compressible runs and noise.
Bytes Attachment(std::uint32_t seed, std::size_t size) {
    std::mt19937 random(seed);
    Bytes data(size);
    for (std::size_t i = 0; i < size;) {
        std::size_t run = 16 + random() % 512;
        bool noise = random() % 3 != 0;
        auto value = static_cast<std::uint8_t>(random());
        for (std::size_t j = 0; j < run && i < size; ++j, ++i) {
            data[i] = noise ? static_cast<std::uint8_t>(random()) : value;
        }
    }
    return data;
}

Corpus MakeCorpus(const std::string& label, bool withAttachments, bool quick) {
    Corpus corpus;
    corpus.label = label;
    std::mt19937 random(kSeed);
    std::vector<std::size_t> sizes = {1024,   3000,       8 * 1024, 20000,  64 * 1024,
                                      150000, 512 * 1024, 1 << 20,  4 << 20};
    for (int i = 0; i < (quick ? 8 : 40); ++i) {
        sizes.push_back(1024 + random() % (96 * 1024));
    }
    if (quick) {
        sizes.pop_back();
    }
    Bytes all;
    int n = 0;
    MailFolderText folder(kSeed);
    for (std::size_t size : sizes) {
        std::wstring name = L"msg" + std::to_wstring(n) + L".txt";
        std::wstring path =
            L"C:\\bench\\" + std::wstring(label.begin(), label.end()) + L"\\" + name;
        Bytes data = folder.Make(size);
        ++n;
        Cabinet::testing::WriteHostFile(ScratchUser::Host(path), data);
        all.insert(all.end(), data.begin(), data.end());
        corpus.files.push_back({path, name, size});
    }
    if (withAttachments) {
        for (std::size_t size : {std::size_t{40000}, std::size_t{300000}, std::size_t{1 << 20}}) {
            std::wstring name = L"attachment" + std::to_wstring(n) + L".bin";
            std::wstring path =
                L"C:\\bench\\" + std::wstring(label.begin(), label.end()) + L"\\" + name;
            Bytes data = Attachment(kSeed + n++, size);
            Cabinet::testing::WriteHostFile(ScratchUser::Host(path), data);
            all.insert(all.end(), data.begin(), data.end());
            corpus.files.push_back({path, name, size});
        }
    }
    corpus.bytes = all.size();
    corpus.concatenatedHost =
        ScratchUser::Host(L"C:\\bench\\" + std::wstring(label.begin(), label.end()) + L".concat");
    Cabinet::testing::WriteHostFile(corpus.concatenatedHost, all);
    return corpus;
}

struct Result {
    std::string method;
    std::size_t size = 0;
    double packMBps = 0;
    double unpackMBps = 0;
};

// Every timing is the best of this many rounds. Each round runs every method
// once, so that a burst of load elsewhere on the machine hits them alike and
// disturbs the ratios as little as it can.
constexpr int kRounds = 5;

// One way of packing a corpus. pack and unpack run once and return seconds
// (negative on failure); unpack may be empty; size is the packed size after
// a pack.
struct Method {
    std::string name;
    std::function<double()> pack;
    std::function<double()> unpack;
    std::function<std::size_t()> size;
};

double PackOnce(const Corpus& corpus, TCOMP type, const std::wstring& cab) {
    auto start = Clock::now();
    Cabinet::CCompress writer;
    writer.AllocateBuffer();
    bool ok = writer.CreateFCIContext(cab.c_str(), TRUE, TRUE, 0x7FFFFFFF, 23364, 0);
    for (const auto& file : corpus.files) {
        ok = ok && writer.AddFile(file.path.c_str(), file.name.c_str(), type);
    }
    ok = writer.CleanUp() && ok;
    if (!ok) {
        std::fwprintf(stderr, L"packing failed: %ls\n", writer.GetLastErrorText());
        return -1;
    }
    return Seconds(start);
}

double UnpackOnce(const std::wstring& cab) {
    auto start = Clock::now();
    Cabinet::CExtract reader;
    reader.AllocateBuffer();
    std::wstring target = cab + L".out";
    bool ok = reader.CreateFDIContext() && reader.ExtractFile(cab.c_str(), target.c_str(), 0);
    reader.CleanUp();
    if (!ok) {
        std::fwprintf(stderr, L"unpacking failed: %ls\n", reader.GetLastErrorText());
        return -1;
    }
    return Seconds(start);
}

Method Ours(const Corpus& corpus, const char* name, TCOMP type, const std::wstring& cab) {
    return {name, [&corpus, type, cab] { return PackOnce(corpus, type, cab); },
            [cab] { return UnpackOnce(cab); },
            [cab] { return static_cast<std::size_t>(fs::file_size(ScratchUser::Host(cab))); }};
}

// wimlib's LZX in 2 MiB chunks (its largest) at a compression level: 0 is
// its default (near-optimal parsing), 20 one of its fast (lazy) levels.
Method Wimlib(const Corpus& corpus, unsigned level) {
    struct State {
        Bytes all;
        Bytes out = Bytes(kWimlibBlock);
        std::size_t size = 0;
        wimlib_compressor* compressor = nullptr;
        ~State() { wimlib_free_compressor(compressor); }
    };
    auto state = std::make_shared<State>();
    state->all = Cabinet::testing::ReadHostFile(corpus.concatenatedHost);
    if (wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZX, kWimlibBlock, level,
                                 &state->compressor) != 0) {
        std::fprintf(stderr, "wimlib_create_compressor failed\n");
        state->compressor = nullptr;
    }
    auto pack = [state] {
        if (state->compressor == nullptr) {
            return -1.0;
        }
        auto start = Clock::now();
        state->size = 0;
        for (std::size_t at = 0; at < state->all.size(); at += kWimlibBlock) {
            std::size_t n = std::min(kWimlibBlock, state->all.size() - at);
            std::size_t packed = wimlib_compress(state->all.data() + at, n, state->out.data(),
                                                 state->out.size(), state->compressor);
            state->size += packed != 0 ? packed : n;
        }
        return Seconds(start);
    };
    return {level == 0 ? "wimlib LZX" : "wimlib LZX " + std::to_string(level), pack, {}, [state] {
                return state->size;
            }};
}

// Times a shell command; returns seconds, or -1 when it failed.
double TimeCommand(const std::string& command) {
    auto start = Clock::now();
    int status = Cabinet::testing::RunCommand(command);
    return status == 0 ? Seconds(start) : -1;
}

Method Tool(const Corpus& corpus, const std::string& tool, const std::string& level,
            const std::string& suffix) {
    std::string in = Cabinet::testing::ShellQuote(corpus.concatenatedHost);
    std::string packed = corpus.concatenatedHost + suffix;
    std::string quotedPacked = Cabinet::testing::ShellQuote(packed);
    return {tool + " " + level,
            [=] { return TimeCommand(tool + " " + level + " -c " + in + " > " + quotedPacked); },
            [=] { return TimeCommand(tool + " -d -c " + quotedPacked + " > /dev/null"); },
            [packed] { return fs::exists(packed) ? fs::file_size(packed) : 0; }};
}

// Keeps the smaller of best and seconds; a failure (negative) sticks.
void KeepBest(double& best, double seconds) {
    if (best == 0 || seconds < 0 || (best > 0 && seconds < best)) {
        best = seconds;
    }
}

std::vector<Result> Measure(const Corpus& corpus, const std::vector<Method>& methods) {
    std::vector<double> pack(methods.size(), 0);
    std::vector<double> unpack(methods.size(), 0);
    for (int round = 0; round < kRounds; ++round) {
        for (std::size_t i = 0; i < methods.size(); ++i) {
            KeepBest(pack[i], methods[i].pack());
            if (methods[i].unpack) {
                KeepBest(unpack[i], methods[i].unpack());
            }
        }
    }
    std::vector<Result> results;
    for (std::size_t i = 0; i < methods.size(); ++i) {
        Result r{methods[i].name, methods[i].size()};
        r.packMBps = pack[i] > 0 ? MBps(corpus.bytes, pack[i]) : 0;
        r.unpackMBps = unpack[i] > 0 ? MBps(corpus.bytes, unpack[i]) : 0;
        results.push_back(r);
    }
    return results;
}

void PrintCorpus(const Corpus& corpus, const std::vector<Result>& results) {
    std::printf("\ncorpus %s: %zu files, %.2f MB\n", corpus.label.c_str(), corpus.files.size(),
                corpus.bytes / 1e6);
    std::printf("  %-14s %12s %9s %12s %12s\n", "method", "bytes", "x mszip", "pack MB/s",
                "unpack MB/s");
    double mszip = static_cast<double>(results[1].size);
    for (const auto& r : results) {
        std::printf("  %-14s %12zu %9.3f %12.2f", r.method.c_str(), r.size, r.size / mszip,
                    r.packMBps);
        if (r.unpackMBps > 0) {
            std::printf(" %12.2f\n", r.unpackMBps);
        } else {
            std::printf(" %12s\n", "-");
        }
    }
}

// Our cipher over 16 MiB for about a second; MB/s.
double BlowfishMBps(const Cabinet::CBlowfish& cipher, Bytes& data) {
    auto start = Clock::now();
    int rounds = 0;
    do {
        cipher.EncryptBlocks(data.data(), data.size() / 8);
        ++rounds;
    } while (Seconds(start) < 1.0);
    return MBps(data.size() * rounds, Seconds(start));
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

void Goal(const char* what, double value, const char* op, double limit) {
    bool met = std::strcmp(op, "<=") == 0 ? value <= limit : value >= limit;
    std::printf("  %-44s %8.3f %s %5.2f  %s\n", what, value, op, limit, met ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    ScratchUser user;
    std::printf("cabinet bench (seed %u%s, best of %d interleaved rounds)\n", kSeed,
                quick ? ", quick" : "", kRounds);
    std::vector<Corpus> corpora = {MakeCorpus("text", false, quick),
                                   MakeCorpus("mail", true, quick)};
    std::vector<std::vector<Result>> all;
    for (const auto& corpus : corpora) {
        std::wstring label(corpus.label.begin(), corpus.label.end());
        std::vector<Method> methods = {
            Ours(corpus, "our LZX-21", TCOMPfromLZXWindow(21),
                 L"C:\\bench\\" + label + L"-lzx.cab"),
            Ours(corpus, "our MSZIP", tcompTYPE_MSZIP, L"C:\\bench\\" + label + L"-mszip.cab"),
            Wimlib(corpus, 0),
            Wimlib(corpus, 20),
            Tool(corpus, "gzip", "-6", ".gz"),
            Tool(corpus, "xz", "-6", ".xz")};
        all.push_back(Measure(corpus, methods));
        PrintCorpus(corpus, all.back());
    }

    Cabinet::CBlowfish cipher;
    const char key[] = "folder password";
    cipher.SetKey(reinterpret_cast<const BYTE*>(key), sizeof key - 1);
    Bytes data = Cabinet::testing::RandomBytes(kSeed, 16 << 20);
    double ours = 0;
    double openssl = 0;
    for (int round = 0; round < kRounds; ++round) {
        ours = std::max(ours, BlowfishMBps(cipher, data));
        openssl = std::max(openssl, OpenSslBlowfishMBps());
    }
    std::printf("\nBlowfish ECB: ours %.1f MB/s, OpenSSL %.1f MB/s\n", ours, openssl);

    // Rows: our LZX, our MSZIP, wimlib (default level), wimlib 20, gzip, xz.
    const auto& text = all[0];
    std::printf("\ngoals (text corpus)\n");
    Goal("our LZX size / our MSZIP size", double(text[0].size) / text[1].size, "<=", 0.70);
    Goal("our LZX size / wimlib LZX size", double(text[0].size) / text[2].size, "<=", 1.15);
    Goal("our LZX packing / gzip -6 packing", text[0].packMBps / text[4].packMBps, ">=", 0.5);
    Goal("our LZX unpacking / gzip -d", text[0].unpackMBps / text[4].unpackMBps, ">=", 0.7);
    Goal("our MSZIP unpacking / gzip -d", text[1].unpackMBps / text[4].unpackMBps, ">=", 0.7);
    if (openssl > 0) {
        Goal("our Blowfish / OpenSSL Blowfish", ours / openssl, ">=", 0.7);
    }
    return 0;
}

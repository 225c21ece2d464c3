// Test support for the cabinet library: callbacks over POSIX files (as the
// add-in's callbacks are over its platform), a builder that writes a cabinet
// set through FCI, an extractor that reads one through FDI into memory the way
// the add-in's reader walks a set, temporary directories and shell commands
// for the independent readers (cabextract, gcab).
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/cabinet/fci.h"
#include "platform/cabinet/fdi.h"

namespace cabtest {

inline int PosixFlags(int oflag) {
    int f = 0;
    switch (oflag & 3) {
        case kCab_O_WRONLY:
            f = O_WRONLY;
            break;
        case kCab_O_RDWR:
            f = O_RDWR;
            break;
        default:
            f = O_RDONLY;
    }
    if (oflag & kCab_O_CREAT)
        f |= O_CREAT;
    if (oflag & kCab_O_TRUNC)
        f |= O_TRUNC;
    if (oflag & kCab_O_EXCL)
        f |= O_EXCL;
    if (oflag & kCab_O_APPEND)
        f |= O_APPEND;
    return f;
}

// ---- FCI callbacks -------------------------------------------------------

struct FciEnv {
    std::string tempDir;
    int tempCounter = 0;
    std::vector<std::string> placed;     // "name|continuation|iCab"
    std::vector<std::string> cabinets;   // full paths in order of naming
    std::string pattern = "part%d.cab";  // for further parts
    int statusCabinetCalls = 0;
    int failWriteAfter = -1;  // fail the n-th write to a cabinet (0 = first)
    int cabWrites = 0;
    std::map<INT_PTR, bool> cabHandles;
    USHORT attribs = _A_ARCH;
    USHORT date = 0x5A8C;  // 2025-04-12
    USHORT time = 0x6A45;
    bool abortStatus = false;
};

inline void* Alloc(ULONG cb) {
    return malloc(cb);
}
inline void Free(void* p) {
    free(p);
}

inline INT_PTR FciOpen(char* file, int oflag, int pmode, int* err, void* pv) {
    int fd = ::open(file, PosixFlags(oflag), 0644);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    auto* env = static_cast<FciEnv*>(pv);
    std::string f(file);
    if (f.size() > 4 && f.substr(f.size() - 4) == ".cab") {
        env->cabHandles[fd] = true;
    }
    return fd;
}
inline UINT FciRead(INT_PTR hf, void* mem, UINT cb, int* err, void*) {
    ssize_t n = ::read(static_cast<int>(hf), mem, cb);
    if (n < 0) {
        *err = errno;
        return static_cast<UINT>(-1);
    }
    return static_cast<UINT>(n);
}
inline UINT FciWrite(INT_PTR hf, void* mem, UINT cb, int* err, void* pv) {
    auto* env = static_cast<FciEnv*>(pv);
    if (env->cabHandles.count(hf)) {
        if (env->failWriteAfter >= 0 && env->cabWrites++ >= env->failWriteAfter) {
            *err = ENOSPC;
            return static_cast<UINT>(-1);
        }
    }
    ssize_t n = ::write(static_cast<int>(hf), mem, cb);
    if (n < 0) {
        *err = errno;
        return static_cast<UINT>(-1);
    }
    return static_cast<UINT>(n);
}
inline int FciClose(INT_PTR hf, int* err, void* pv) {
    static_cast<FciEnv*>(pv)->cabHandles.erase(hf);
    if (::close(static_cast<int>(hf)) != 0) {
        *err = errno;
        return -1;
    }
    return 0;
}
inline LONG FciSeek(INT_PTR hf, LONG dist, int type, int* err, void*) {
    off_t r = ::lseek(static_cast<int>(hf), dist, type);
    if (r < 0) {
        *err = errno;
        return -1;
    }
    return static_cast<LONG>(r);
}
inline int FciDelete(char* file, int* err, void*) {
    if (::unlink(file) != 0) {
        *err = errno;
        return -1;
    }
    return 0;
}
inline BOOL FciTemp(char* name, int cb, void* pv) {
    auto* env = static_cast<FciEnv*>(pv);
    std::string n = env->tempDir + "/CabTmp_" + std::to_string(++env->tempCounter);
    if (static_cast<int>(n.size()) + 1 > cb)
        return FALSE;
    std::memcpy(name, n.c_str(), n.size() + 1);
    return TRUE;
}
inline int FciPlaced(PCCAB cab, char* file, LONG, BOOL cont, void* pv) {
    static_cast<FciEnv*>(pv)->placed.push_back(std::string(file) + "|" + std::to_string(cont) +
                                               "|" + std::to_string(cab->iCab));
    return 0;
}
inline BOOL FciNext(PCCAB cab, ULONG, void* pv) {
    auto* env = static_cast<FciEnv*>(pv);
    std::snprintf(cab->szCab, sizeof(cab->szCab), env->pattern.c_str(), cab->iCab);
    std::snprintf(cab->szDisk, sizeof(cab->szDisk), "Disk %d", cab->iDisk++);
    env->cabinets.push_back(std::string(cab->szCabPath) + cab->szCab);
    return TRUE;
}
inline LONG FciStatus(UINT type, ULONG, ULONG, void* pv) {
    auto* env = static_cast<FciEnv*>(pv);
    if (type == statusCabinet)
        env->statusCabinetCalls++;
    return env->abortStatus ? -1 : 0;
}
inline INT_PTR FciOpenInfo(char* name, USHORT* date, USHORT* time, USHORT* attribs, int* err,
                           void* pv) {
    auto* env = static_cast<FciEnv*>(pv);
    *date = env->date;
    *time = env->time;
    *attribs = env->attribs;
    return FciOpen(name, kCab_O_RDONLY | kCab_O_BINARY, 0, err, pv);
}

struct AddSpec {
    std::string source;  // path of the source file
    std::string stored;  // name inside the cabinet
    TCOMP type = tcompTYPE_MSZIP;
    USHORT attribs = _A_ARCH;
};

struct BuildOptions {
    ULONG cb = 0x7FFFFFFF;
    ULONG thresh = 0x7FFFFFFF;
    UINT reserveHeader = 0, reserveFolder = 0, reserveData = 0;
    USHORT setId = 23364;
};

// Writes dir/name (and further parts dir/part<N>.cab). Returns FALSE with erf
// filled on failure.
inline bool Build(const std::string& dir, const std::string& name,
                  const std::vector<AddSpec>& files, const BuildOptions& o, ERF& erf, FciEnv& env) {
    if (env.tempDir.empty())
        env.tempDir = dir;
    CCAB ccab{};
    ccab.cb = o.cb;
    ccab.cbFolderThresh = o.thresh;
    ccab.cbReserveCFHeader = o.reserveHeader;
    ccab.cbReserveCFFolder = o.reserveFolder;
    ccab.cbReserveCFData = o.reserveData;
    ccab.iCab = 1;
    ccab.iDisk = 1;
    ccab.setID = o.setId;
    std::snprintf(ccab.szCab, sizeof(ccab.szCab), "%s", name.c_str());
    std::snprintf(ccab.szCabPath, sizeof(ccab.szCabPath), "%s/", dir.c_str());
    env.cabinets.push_back(dir + "/" + name);
    HFCI h = FCICreate(&erf, FciPlaced, Alloc, Free, FciOpen, FciRead, FciWrite, FciClose, FciSeek,
                       FciDelete, FciTemp, &ccab, &env);
    if (!h)
        return false;
    bool ok = true;
    for (const AddSpec& f : files) {
        env.attribs = f.attribs;
        std::string src = f.source, stored = f.stored;
        if (!FCIAddFile(h, src.data(), stored.data(), FALSE, FciNext, FciStatus, FciOpenInfo,
                        f.type)) {
            ok = false;
            break;
        }
    }
    if (ok)
        ok = FCIFlushCabinet(h, FALSE, FciNext, FciStatus) != FALSE;
    FCIDestroy(h);
    return ok;
}

// ---- FDI callbacks: cabinets from disk, outputs into memory ---------------

constexpr INT_PTR kOutBase = 0x40000000;

struct Extracted {
    std::string name;
    std::vector<std::uint8_t> data;
    USHORT date = 0, time = 0, attribs = 0;
    bool closed = false;
};

struct FdiEnv {
    std::vector<Extracted> files;
    std::vector<std::string> partial;
    std::string nextCab;  // as the add-in's reader keeps it
    std::string nextPathOverride;
    int nextCabinetCalls = 0;
    FDIERROR lastNextError = FDIERROR_NONE;
    bool skipAll = false;
    bool abortOnCopy = false;
    std::size_t maxOutput = std::size_t(1) << 31;
};

inline FdiEnv*& CurrentFdiEnv() {
    thread_local FdiEnv* env = nullptr;
    return env;
}

inline INT_PTR FdiOpen(char* file, int oflag, int) {
    int fd = ::open(file, PosixFlags(oflag));
    return fd < 0 ? -1 : fd;
}
// Calls of FdiRead on this thread.
inline int& FdiReadCalls() {
    thread_local int calls = 0;
    return calls;
}
inline UINT FdiRead(INT_PTR hf, void* pv, UINT cb) {
    ++FdiReadCalls();
    ssize_t n = ::read(static_cast<int>(hf), pv, cb);
    return n < 0 ? static_cast<UINT>(-1) : static_cast<UINT>(n);
}
inline UINT FdiWrite(INT_PTR hf, void* pv, UINT cb) {
    FdiEnv* env = CurrentFdiEnv();
    if (hf < kOutBase || !env)
        return static_cast<UINT>(-1);
    Extracted& e = env->files.at(static_cast<std::size_t>(hf - kOutBase));
    if (e.data.size() + cb > env->maxOutput)
        return static_cast<UINT>(-1);
    auto* p = static_cast<std::uint8_t*>(pv);
    e.data.insert(e.data.end(), p, p + cb);
    return cb;
}
inline int FdiClose(INT_PTR hf) {
    if (hf >= kOutBase)
        return 0;
    return ::close(static_cast<int>(hf));
}
inline LONG FdiSeek(INT_PTR hf, LONG dist, int type) {
    return static_cast<LONG>(::lseek(static_cast<int>(hf), dist, type));
}

inline INT_PTR FdiNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION n) {
    FdiEnv* env = static_cast<FdiEnv*>(n->pv);
    switch (type) {
        case fdintCABINET_INFO:
            if (env->nextCab.empty())
                env->nextCab = n->psz1;
            return 0;
        case fdintPARTIAL_FILE:
            env->partial.push_back(n->psz1);
            return 0;
        case fdintCOPY_FILE: {
            if (env->abortOnCopy)
                return -1;
            if (env->skipAll)
                return 0;
            Extracted e;
            e.name = n->psz1;
            env->files.push_back(e);
            return kOutBase + static_cast<INT_PTR>(env->files.size() - 1);
        }
        case fdintCLOSE_FILE_INFO: {
            Extracted& e = env->files.at(static_cast<std::size_t>(n->hf - kOutBase));
            e.date = n->date;
            e.time = n->time;
            e.attribs = n->attribs;
            e.closed = true;
            return TRUE;
        }
        case fdintNEXT_CABINET:
            env->nextCabinetCalls++;
            env->lastNextError = n->fdie;
            if (n->fdie != FDIERROR_NONE)
                return -1;
            if (!env->nextPathOverride.empty()) {
                std::snprintf(n->psz3, 256, "%s", env->nextPathOverride.c_str());
            }
            env->nextCab = n->psz1;
            return 0;
        default:
            return 0;
    }
}

// Extracts dir/name and the cabinets it continues into, calling FDICopy once
// per cabinet as the add-in's reader does. Returns FALSE with erf filled.
inline bool Extract(const std::string& dir, const std::string& name, FdiEnv& env, ERF& erf,
                    bool followSet = true) {
    HFDI h = FDICreate(Alloc, Free, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpu80386, &erf);
    if (!h)
        return false;
    CurrentFdiEnv() = &env;
    std::string path = dir + "/";
    std::string cab = name;
    bool ok = true;
    for (int guard = 0; guard < 100; ++guard) {
        env.nextCab.clear();
        if (!FDICopy(h, cab.data(), path.data(), 0, FdiNotify, nullptr, &env)) {
            ok = false;
            break;
        }
        if (!followSet || env.nextCab.empty())
            break;
        cab = env.nextCab;
    }
    FDIDestroy(h);
    CurrentFdiEnv() = nullptr;
    return ok;
}

// ---- Files and commands ----------------------------------------------------

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/qm_cabinet_XXXXXX";
        char* p = mkdtemp(tmpl);
        m_path = p ? p : "/tmp";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline void WriteFile(const std::string& path, const std::vector<std::uint8_t>& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// One read of the whole file (byte-wise stream iteration is slow in
// unoptimised builds); empty when the file is missing.
inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    if (error) {
        return {};
    }
    std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
    std::ifstream f(path, std::ios::binary);
    f.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    data.resize(static_cast<std::size_t>(f.gcount()));
    return data;
}

inline std::vector<std::uint8_t> RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<std::uint8_t>(rng());
    return v;
}

// Compressible text: words drawn from a small vocabulary.
inline std::vector<std::uint8_t> TextBytes(std::size_t n, unsigned seed) {
    static const char* kWords[] = {"folder ",  "mail ",      "sync ",    "partner ", "item ",
                                   "change\n", "Quillmere ", "cabinet ", "the ",     "of "};
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v;
    v.reserve(n + 16);
    while (v.size() < n) {
        const char* w = kWords[rng() % 10];
        v.insert(v.end(), w, w + std::strlen(w));
    }
    v.resize(n);
    return v;
}

inline int RunCommand(const std::string& cmd, std::string* output = nullptr) {
    std::string full = cmd + " 2>&1";
    FILE* p = popen(full.c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    std::string out;
    std::size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    int rc = pclose(p);
    if (output)
        *output = out;
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

inline bool HaveTool(const std::string& tool) {
    return RunCommand("command -v " + tool + " >/dev/null") == 0;
}

}  // namespace cabtest

#include "platform/win/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/win/CrashPoints.h"
#include "platform/win/Environment.h"
#include "platform/win/Mutex.h"
#include "platform/win/RegFile.h"

namespace win {
namespace {

constexpr REGSAM kGenericRead = 0x80000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kIgnoredAccess = KEY_WOW64_32KEY | KEY_WOW64_64KEY;

// ---- names -------------------------------------------------------------

// Upper-casing as the platform compares registry names: simple one-to-one
// mappings for Latin-1, Latin Extended-A, Greek and Cyrillic; other
// characters compare as they are.
wchar_t UpperChar(wchar_t c) {
    auto u = static_cast<std::uint32_t>(c);
    if (u >= 'a' && u <= 'z')
        return static_cast<wchar_t>(u - 32);
    if (u < 0xE0)
        return c;
    if (u <= 0xFE)
        return u == 0xF7 ? c : static_cast<wchar_t>(u - 32);
    if (u == 0xFF)
        return static_cast<wchar_t>(0x178);
    if (u >= 0x100 && u <= 0x137)
        return static_cast<wchar_t>(u & ~1u);
    if (u >= 0x139 && u <= 0x148)
        return (u & 1) ? c : static_cast<wchar_t>(u - 1);
    if (u >= 0x14A && u <= 0x177)
        return static_cast<wchar_t>(u & ~1u);
    if (u >= 0x179 && u <= 0x17E)
        return (u & 1) ? c : static_cast<wchar_t>(u - 1);
    if (u >= 0x3B1 && u <= 0x3C9)
        return static_cast<wchar_t>(u == 0x3C2 ? 0x3A3 : u - 32);
    if (u >= 0x430 && u <= 0x44F)
        return static_cast<wchar_t>(u - 32);
    if (u >= 0x450 && u <= 0x45F)
        return static_cast<wchar_t>(u - 80);
    return c;
}

std::wstring Folded(const std::wstring& name) {
    std::wstring out = name;
    for (auto& c : out)
        c = UpperChar(c);
    return out;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpperChar(a[i]) != UpperChar(b[i]))
            return false;
    return true;
}

bool IsTextType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// ---- tree --------------------------------------------------------------

struct Value {
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Key {
    std::wstring name;
    Key* parent = nullptr;
    // Keyed by the upper-cased name: the map's order is the enumeration order.
    std::map<std::wstring, std::shared_ptr<Key>> children;
    std::vector<Value> values;  // in creation order
    bool deleted = false;
    ULONGLONG lastWrite = 0;  // FILETIME ticks
};

ULONGLONG NowFileTime() {
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void MarkDeleted(Key& key) {
    key.deleted = true;
    for (auto& [folded, child] : key.children)
        MarkDeleted(*child);
}

void RemoveChild(Key& parent, const std::wstring& name) {
    auto it = parent.children.find(Folded(name));
    if (it == parent.children.end())
        return;
    MarkDeleted(*it->second);
    parent.children.erase(it);
    parent.lastWrite = NowFileTime();
}

Key* Child(Key& key, const std::wstring& name) {
    auto it = key.children.find(Folded(name));
    return it == key.children.end() ? nullptr : it->second.get();
}

Key& AddChild(Key& key, const std::wstring& name) {
    auto& slot = key.children[Folded(name)];
    if (!slot) {
        slot = std::make_shared<Key>();
        slot->name = name;
        slot->parent = &key;
        slot->lastWrite = NowFileTime();
        key.lastWrite = slot->lastWrite;
    }
    return *slot;
}

Value* FindValue(Key& key, const std::wstring& name) {
    for (auto& v : key.values)
        if (SameName(v.name, name))
            return &v;
    return nullptr;
}

void SetValue(Key& key, const std::wstring& name, DWORD type, std::vector<BYTE> data) {
    Value* v = FindValue(key, name);
    if (!v) {
        key.values.push_back({name, type, {}});
        v = &key.values.back();
    }
    v->type = type;
    v->data = std::move(data);
    key.lastWrite = NowFileTime();
}

bool DeleteValue(Key& key, const std::wstring& name) {
    for (auto it = key.values.begin(); it != key.values.end(); ++it) {
        if (SameName(it->name, name)) {
            key.values.erase(it);
            key.lastWrite = NowFileTime();
            return true;
        }
    }
    return false;
}

bool SameValues(const std::vector<Value>& a, const std::vector<Value>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].name != b[i].name || a[i].type != b[i].type || a[i].data != b[i].data)
            return false;
    return true;
}

// Takes fresh (a tree just read from the file) into live, keeping the live
// nodes that still exist so that open handles stay valid, and marking the
// vanished ones deleted.
void Merge(Key& live, Key& fresh) {
    live.name = fresh.name;
    if (!SameValues(live.values, fresh.values)) {
        live.values = std::move(fresh.values);
        live.lastWrite = fresh.lastWrite;
    }
    for (auto it = live.children.begin(); it != live.children.end();) {
        if (fresh.children.count(it->first)) {
            ++it;
        } else {
            MarkDeleted(*it->second);
            it = live.children.erase(it);
        }
    }
    for (auto& [folded, child] : fresh.children) {
        auto found = live.children.find(folded);
        if (found != live.children.end()) {
            Merge(*found->second, *child);
        } else {
            child->parent = &live;
            live.children.emplace(folded, child);
        }
    }
}

// Splits a subkey path. Empty components (a trailing or doubled backslash)
// are skipped; a leading backslash is refused as on the platform.
bool SplitPath(const WCHAR* path, std::vector<std::wstring>& parts) {
    parts.clear();
    if (!path || !*path)
        return true;
    if (*path == L'\\')
        return false;
    std::wstring cur;
    for (const WCHAR* p = path; *p; ++p) {
        if (*p == L'\\') {
            if (!cur.empty())
                parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(*p);
        }
    }
    if (!cur.empty())
        parts.push_back(cur);
    return true;
}

// ---- hives -------------------------------------------------------------

struct FileIdentity {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    long mtimeSec = 0;
    long mtimeNsec = 0;
    bool operator==(const FileIdentity&) const = default;
};

FileIdentity IdentityOf(const struct stat& st) {
    FileIdentity id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtimeSec = static_cast<long>(st.st_mtim.tv_sec);
    id.mtimeNsec = st.st_mtim.tv_nsec;
    return id;
}

struct Hive {
    explicit Hive(const wchar_t* rootName) : name(rootName) {}
    const wchar_t* name;  // the root's name in the file, e.g. HKEY_CURRENT_USER
    std::shared_ptr<Key> root = std::make_shared<Key>();
    bool known = false;  // the file has been looked at since the last reset
    FileIdentity identity;
    std::vector<BYTE> bytes;  // the file's content as last read or written
    bool damaged = false;
    std::string diagnostic;  // set while damaged
};

struct OpenKey {
    Hive* hive = nullptr;
    std::shared_ptr<Key> key;
    REGSAM access = 0;
};

Mutex g_mutex;
Hive g_hives[3] GUARDED_BY(g_mutex) = {Hive(L"HKEY_CLASSES_ROOT"), Hive(L"HKEY_CURRENT_USER"),
                                       Hive(L"HKEY_LOCAL_MACHINE")};
std::unordered_map<std::uintptr_t, OpenKey> g_handles GUARDED_BY(g_mutex);
std::uintptr_t g_nextHandle GUARDED_BY(g_mutex) = 0x100;

Hive* PredefinedHive(HKEY key) REQUIRES(g_mutex) {
    if (key == HKEY_CLASSES_ROOT)
        return &g_hives[0];
    if (key == HKEY_CURRENT_USER)
        return &g_hives[1];
    if (key == HKEY_LOCAL_MACHINE)
        return &g_hives[2];
    return nullptr;
}

std::string ToHostText(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::string RegistryDirectory() {
    return UserDirectory() + "/registry";
}

std::string FilePath(const Hive& hive) {
    return RegistryDirectory() + "/" + ToHostText(hive.name) + ".reg";
}

void ResetHives() EXCLUDES(g_mutex) {
    MutexLock lock(g_mutex);
    for (auto& hive : g_hives) {
        MarkDeleted(*hive.root);
        hive.root = std::make_shared<Key>();
        hive.known = false;
        hive.identity = {};
        hive.bytes.clear();
        hive.damaged = false;
        hive.diagnostic.clear();
    }
}

void EnsureListener() {
    static std::once_flag once;
    std::call_once(once, [] { AddEnvironmentListener(&ResetHives); });
}

bool ReadWholeFile(const std::string& path, std::vector<BYTE>& bytes, FileIdentity* identity) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    bytes.clear();
    BYTE buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        bytes.insert(bytes.end(), buf, buf + n);
    }
    ::close(fd);
    if (identity)
        *identity = IdentityOf(st);
    return true;
}

// Applies parsed sections to a tree whose root stands for rootName. Returns
// false (and the offending line) for a section outside that root.
bool ApplySections(Key& root, const wchar_t* rootName,
                   const std::vector<const regfile::Section*>& sections, int& badLine) {
    for (const regfile::Section* s : sections) {
        std::wstring path = regfile::FromU16(s->path);
        std::vector<std::wstring> parts;
        if (!SplitPath(path.c_str(), parts) || parts.empty() || !SameName(parts[0], rootName)) {
            badLine = s->line;
            return false;
        }
        parts.erase(parts.begin());
        if (s->remove) {
            Key* parent = &root;
            for (size_t i = 0; parent && i + 1 < parts.size(); ++i)
                parent = Child(*parent, parts[i]);
            if (parent && !parts.empty())
                RemoveChild(*parent, parts.back());
            continue;
        }
        Key* key = &root;
        for (const auto& part : parts)
            key = &AddChild(*key, part);
        for (const regfile::Entry& e : s->entries) {
            std::wstring name = regfile::FromU16(e.name);
            if (e.remove)
                DeleteValue(*key, name);
            else
                SetValue(*key, name, e.type, e.data);
        }
    }
    return true;
}

void ReportDamage(Hive& hive, const std::string& path, int line, const std::string& why)
    REQUIRES(g_mutex) {
    std::string text = path + ":" + std::to_string(line) + ": " + why;
    if (hive.damaged && hive.diagnostic == text)
        return;
    hive.damaged = true;
    hive.diagnostic = text;
    std::fprintf(stderr,
                 "registry: damaged hive file %s; the hive is unusable and will not be written "
                 "until the file is repaired or removed\n",
                 text.c_str());
}

// Takes the file's content (just read) as the hive's state.
void Load(Hive& hive, const std::string& path, std::vector<BYTE> bytes, const FileIdentity& id)
    REQUIRES(g_mutex) {
    hive.known = true;
    hive.identity = id;
    if (!hive.damaged && !hive.bytes.empty() && bytes == hive.bytes)
        return;
    hive.bytes = std::move(bytes);
    std::vector<regfile::Section> sections;
    regfile::ParseError error;
    if (!regfile::Parse(hive.bytes, sections, error)) {
        ReportDamage(hive, path, error.line, error.message);
        return;
    }
    std::vector<const regfile::Section*> all;
    for (const auto& s : sections)
        all.push_back(&s);
    Key fresh;
    fresh.name = hive.root->name;
    int badLine = 0;
    if (!ApplySections(fresh, hive.name, all, badLine)) {
        ReportDamage(hive, path, badLine, "key outside this hive");
        return;
    }
    ULONGLONG mtime = static_cast<ULONGLONG>(id.mtimeSec) * 10000000ull + id.mtimeNsec / 100 +
                      116444736000000000ull;
    std::vector<Key*> stack = {&fresh};
    while (!stack.empty()) {
        Key* k = stack.back();
        stack.pop_back();
        k->lastWrite = mtime;
        for (auto& [f, c] : k->children)
            stack.push_back(c.get());
    }
    hive.damaged = false;
    hive.diagnostic.clear();
    Merge(*hive.root, fresh);
}

void LoadMissing(Hive& hive) REQUIRES(g_mutex) {
    Key empty;
    Merge(*hive.root, empty);
    hive.known = true;
    hive.identity = {};
    hive.bytes.clear();
    hive.damaged = false;
    hive.diagnostic.clear();
}

// Brings the hive up to date with its file. force: read the content even
// when the identity looks unchanged (timestamps are coarse; used under the
// write lock, where a missed change would be lost for good).
void Refresh(Hive& hive, bool force) REQUIRES(g_mutex) {
    EnsureListener();
    std::string path = FilePath(hive);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (!hive.known || hive.identity.exists || hive.damaged)
            LoadMissing(hive);
        return;
    }
    if (!force && hive.known && hive.identity == IdentityOf(st))
        return;
    std::vector<BYTE> bytes;
    FileIdentity id;
    if (!ReadWholeFile(path, bytes, &id)) {
        if (errno == ENOENT)
            LoadMissing(hive);
        return;  // unreadable now: keep what we have
    }
    Load(hive, path, std::move(bytes), id);
}

void CollectSections(const Key& key, const std::u16string& path,
                     std::vector<regfile::Section>& out) {
    regfile::Section s;
    s.path = path;
    for (const Value& v : key.values) {
        regfile::Entry e;
        e.name = regfile::ToU16(v.name);
        e.type = v.type;
        e.data = v.data;
        s.entries.push_back(std::move(e));
    }
    out.push_back(std::move(s));
    for (const auto& [folded, child] : key.children)
        CollectSections(*child, path + u"\\" + regfile::ToU16(child->name), out);
}

std::vector<BYTE> Serialize(const Hive& hive) REQUIRES(g_mutex) {
    std::vector<regfile::Section> sections;
    CollectSections(*hive.root, regfile::ToU16(hive.name), sections);
    return regfile::Write(sections);
}

bool WriteAll(int fd, const std::vector<BYTE>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Replaces the file at path by bytes. Order matters: the new content goes to
// a temporary file that is synced to disk before it is renamed over the old
// one, and the directory is synced after the rename, so that a crash at any
// point leaves either the old or the new file whole, never a torn one.
bool ReplaceFile(const std::string& path, const std::vector<BYTE>& bytes, FileIdentity* identity) {
    win::CountCrashStep(win::CrashStep::kRegistry, path);
    std::string tmp = path + "." + std::to_string(::getpid()) + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0 && ::fstat(fd, &st) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    std::string dir = path.substr(0, path.rfind('/'));
    int dfd = ::open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    if (identity)
        *identity = IdentityOf(st);
    return true;
}

bool MakeDirectories(const std::string& dir) {
    if (dir.empty())
        return true;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    auto slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash)))
        return false;
    return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

// Holds the hive's inter-process write lock for its scope.
class HiveFileLock {
public:
    explicit HiveFileLock(const std::string& hivePath) {
        if (!MakeDirectories(RegistryDirectory()))
            return;
        m_fd = ::open((hivePath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0)
            return;
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(m_fd);
                m_fd = -1;
                return;
            }
        }
    }
    ~HiveFileLock() {
        if (m_fd >= 0)
            ::close(m_fd);  // closing releases the flock
    }
    HiveFileLock(const HiveFileLock&) = delete;
    HiveFileLock& operator=(const HiveFileLock&) = delete;
    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// One read-modify-write of a hive: under the file lock, bring the hive up to
// date, apply change (which returns an error without changing anything, or
// changes the tree and returns ERROR_SUCCESS), write the whole hive.
template <class Change>
LSTATUS Modify(Hive& hive, Change change) REQUIRES(g_mutex) {
    std::string path = FilePath(hive);
    HiveFileLock fileLock(path);
    if (!fileLock.Held())
        return ERROR_CANTWRITE;
    Refresh(hive, true);
    if (hive.damaged)
        return ERROR_BADDB;
    LSTATUS status = change();
    if (status != ERROR_SUCCESS)
        return status;
    std::vector<BYTE> bytes = Serialize(hive);
    FileIdentity id;
    if (!ReplaceFile(path, bytes, &id)) {
        // Undo the change in memory by taking the file's content again.
        hive.bytes.clear();
        hive.known = false;
        Refresh(hive, true);
        return ERROR_CANTWRITE;
    }
    hive.bytes = std::move(bytes);
    hive.identity = id;
    hive.known = true;
    return ERROR_SUCCESS;
}

REGSAM EffectiveAccess(REGSAM desired) {
    REGSAM a = desired & ~kIgnoredAccess;
    if (a & MAXIMUM_ALLOWED)
        a |= KEY_ALL_ACCESS;
    if (a & kGenericAll)
        a |= KEY_ALL_ACCESS;
    if (a & kGenericRead)
        a |= KEY_READ;
    if (a & kGenericWrite)
        a |= KEY_WRITE;
    return a & (KEY_ALL_ACCESS | WRITE_DAC | WRITE_OWNER);
}

// Resolves a handle and brings its hive up to date. On success the key is
// live (not deleted) and its hive not damaged.
LSTATUS Resolve(HKEY hKey, OpenKey& out, bool refresh = true) REQUIRES(g_mutex) {
    if (Hive* hive = PredefinedHive(hKey)) {
        if (refresh)
            Refresh(*hive, false);
        out = {hive, hive->root, KEY_ALL_ACCESS};
    } else {
        auto it = g_handles.find(reinterpret_cast<std::uintptr_t>(hKey));
        if (it == g_handles.end())
            return ERROR_INVALID_HANDLE;
        out = it->second;
        if (refresh)
            Refresh(*out.hive, false);
    }
    if (out.hive->damaged)
        return ERROR_BADDB;
    if (out.key->deleted)
        return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

HKEY NewHandle(Hive* hive, std::shared_ptr<Key> key, REGSAM access) REQUIRES(g_mutex) {
    std::uintptr_t h = g_nextHandle;
    g_nextHandle += 4;
    g_handles[h] = {hive, std::move(key), access};
    return reinterpret_cast<HKEY>(h);
}

std::shared_ptr<Key> SharedOf(Key* key) {
    if (!key->parent)
        return nullptr;
    return key->parent->children.at(Folded(key->name));
}

std::shared_ptr<Key> Walk(const OpenKey& from, const std::vector<std::wstring>& parts) {
    std::shared_ptr<Key> key = from.key;
    for (const auto& part : parts) {
        Key* child = Child(*key, part);
        if (!child)
            return nullptr;
        key = SharedOf(child);
    }
    return key;
}

// Names with a line break can't be written to a hive file (the platform
// allows them; regedit's format doesn't): refused, so that one odd name can
// never make the whole hive unreadable.
bool Storable(const std::wstring& name) {
    return name.find_first_of(L"\r\n") == std::wstring::npos;
}

bool StorablePath(const std::vector<std::wstring>& parts) {
    for (const auto& p : parts)
        if (!Storable(p))
            return false;
    return true;
}

std::wstring NameOf(const WCHAR* name) {
    return name ? std::wstring(name) : std::wstring();
}

std::vector<BYTE> DataIn(DWORD type, const void* data, DWORD cb, bool wide) {
    std::vector<BYTE> out;
    if (!data)
        return out;
    if (wide && IsTextType(type)) {
        const auto* p = static_cast<const BYTE*>(data);
        size_t elements = (static_cast<size_t>(cb) + 1) / 2;
        for (size_t i = 0; i < elements; ++i) {
            wchar_t e;
            std::memcpy(&e, p + i * sizeof(wchar_t), sizeof e);
            auto u = static_cast<std::uint32_t>(e);
            if (u > 0xFFFF)
                u = 0xFFFD;
            out.push_back(static_cast<BYTE>(u & 0xFF));
            if (2 * i + 1 < cb)
                out.push_back(static_cast<BYTE>(u >> 8));
        }
        return out;
    }
    const auto* p = static_cast<const BYTE*>(data);
    out.assign(p, p + cb);
    return out;
}

LSTATUS DataOut(const Value& v, DWORD* type, void* data, DWORD* cbData, bool wide) {
    if (type)
        *type = v.type;
    auto size = static_cast<DWORD>(v.data.size());
    if (!data) {
        if (cbData)
            *cbData = size;
        return ERROR_SUCCESS;
    }
    if (wide && IsTextType(v.type)) {
        size_t elements = (static_cast<size_t>(size) + 1) / 2;
        size_t capacity = (static_cast<size_t>(*cbData) + 1) / 2;
        if (elements > capacity) {
            *cbData = size;
            return ERROR_MORE_DATA;
        }
        auto* p = static_cast<BYTE*>(data);
        for (size_t i = 0; i < elements; ++i) {
            std::uint32_t u = v.data[2 * i];
            if (2 * i + 1 < v.data.size())
                u |= static_cast<std::uint32_t>(v.data[2 * i + 1]) << 8;
            auto e = static_cast<wchar_t>(u);
            std::memcpy(p + i * sizeof(wchar_t), &e, sizeof e);
        }
    } else {
        if (size > *cbData) {
            *cbData = size;
            return ERROR_MORE_DATA;
        }
        if (size)
            std::memcpy(data, v.data.data(), size);
    }
    *cbData = size;
    return ERROR_SUCCESS;
}

LSTATUS QueryValue(HKEY hKey, const WCHAR* valueName, DWORD* type, void* data, DWORD* cbData,
                   bool wide) {
    if (data && !cbData)
        return ERROR_INVALID_PARAMETER;
    MutexLock lock(g_mutex);
    OpenKey k;
    if (LSTATUS s = Resolve(hKey, k); s != ERROR_SUCCESS)
        return s;
    if (!(k.access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    const Value* v = FindValue(*k.key, NameOf(valueName));
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    return DataOut(*v, type, data, cbData, wide);
}

LSTATUS SetValueData(HKEY hKey, const WCHAR* valueName, DWORD type, const void* data, DWORD cb,
                     bool wide) {
    if ((!data && cb != 0) || !Storable(NameOf(valueName)))
        return ERROR_INVALID_PARAMETER;
    MutexLock lock(g_mutex);
    OpenKey k;
    if (LSTATUS s = Resolve(hKey, k); s != ERROR_SUCCESS)
        return s;
    if (!(k.access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    std::vector<BYTE> bytes = DataIn(type, data, cb, wide);
    return Modify(*k.hive, [&]() -> LSTATUS {
        if (k.key->deleted)
            return ERROR_KEY_DELETED;
        SetValue(*k.key, NameOf(valueName), type, std::move(bytes));
        return ERROR_SUCCESS;
    });
}

LSTATUS EnumValue(HKEY hKey, DWORD index, WCHAR* valueName, DWORD* cchValueName, DWORD* type,
                  void* data, DWORD* cbData, bool wide) {
    if (!valueName || !cchValueName || (data && !cbData))
        return ERROR_INVALID_PARAMETER;
    MutexLock lock(g_mutex);
    OpenKey k;
    if (LSTATUS s = Resolve(hKey, k); s != ERROR_SUCCESS)
        return s;
    if (!(k.access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    if (index >= k.key->values.size())
        return ERROR_NO_MORE_ITEMS;
    const Value& v = k.key->values[index];
    if (v.name.size() + 1 > *cchValueName) {
        *cchValueName = static_cast<DWORD>(v.name.size());
        return ERROR_MORE_DATA;
    }
    std::memcpy(valueName, v.name.c_str(), (v.name.size() + 1) * sizeof(WCHAR));
    *cchValueName = static_cast<DWORD>(v.name.size());
    return DataOut(v, type, data, cbData, wide);
}

void PutFileTime(FILETIME* ft, ULONGLONG t) {
    if (!ft)
        return;
    ft->dwLowDateTime = static_cast<DWORD>(t);
    ft->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

Hive* HiveByRootName(const std::wstring& name) REQUIRES(g_mutex) {
    for (auto& hive : g_hives)
        if (SameName(name, hive.name))
            return &hive;
    return nullptr;
}

}  // namespace

// ---- the calls -----------------------------------------------------------

LSTATUS ImportRegFile(const std::string& path) {
    std::vector<BYTE> bytes;
    if (!ReadWholeFile(path, bytes, nullptr))
        return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_CANTREAD;
    return ImportRegData(bytes, path);
}

LSTATUS ImportRegData(const std::vector<BYTE>& bytes, const std::string& path) {
    std::vector<regfile::Section> sections;
    regfile::ParseError error;
    if (!regfile::Parse(bytes, sections, error)) {
        std::fprintf(stderr, "registry: %s:%d: %s; nothing imported\n", path.c_str(), error.line,
                     error.message.c_str());
        return ERROR_BADDB;
    }
    MutexLock lock(g_mutex);
    std::map<Hive*, std::vector<const regfile::Section*>> byHive;
    for (const auto& s : sections) {
        std::wstring full = regfile::FromU16(s.path);
        Hive* hive = HiveByRootName(full.substr(0, full.find(L'\\')));
        if (!hive) {
            std::fprintf(stderr, "registry: %s:%d: key outside the known hives; nothing imported\n",
                         path.c_str(), s.line);
            return ERROR_INVALID_PARAMETER;
        }
        byHive[hive].push_back(&s);
    }
    for (auto& entry : byHive) {
        Hive* h = entry.first;
        const auto& list = entry.second;
        LSTATUS status = Modify(*h, [&]() -> LSTATUS {
            int badLine = 0;
            ApplySections(*h->root, h->name, list, badLine);
            return ERROR_SUCCESS;
        });
        if (status != ERROR_SUCCESS)
            return status;
    }
    return ERROR_SUCCESS;
}

LSTATUS ExportRegFile(HKEY hive, const std::string& path) {
    MutexLock lock(g_mutex);
    Hive* h = PredefinedHive(hive);
    if (!h)
        return ERROR_INVALID_HANDLE;
    Refresh(*h, false);
    if (h->damaged)
        return ERROR_BADDB;
    return ReplaceFile(path, Serialize(*h), nullptr) ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

std::string HiveFilePath(HKEY hive) {
    MutexLock lock(g_mutex);
    Hive* h = PredefinedHive(hive);
    return h ? FilePath(*h) : std::string();
}

}  // namespace win

using win::OpenKey;

LSTATUS RegOpenKeyExW(HKEY hKey, const WCHAR* subKey, DWORD options, REGSAM desired, PHKEY result) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::vector<std::wstring> parts;
    if (!win::SplitPath(subKey, parts))
        return ERROR_BAD_PATHNAME;
    win::MutexLock lock(win::g_mutex);
    OpenKey from;
    if (LSTATUS s = win::Resolve(hKey, from); s != ERROR_SUCCESS)
        return s;
    std::shared_ptr<win::Key> key = win::Walk(from, parts);
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    *result = win::NewHandle(from.hive, key, win::EffectiveAccess(desired));
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY hKey, const WCHAR* subKey, DWORD reserved, WCHAR* keyClass,
                        DWORD options, REGSAM desired,
                        const SECURITY_ATTRIBUTES* securityAttributes, PHKEY result,
                        DWORD* disposition) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::vector<std::wstring> parts;
    if (!win::SplitPath(subKey, parts))
        return ERROR_BAD_PATHNAME;
    if (!win::StorablePath(parts))
        return ERROR_INVALID_PARAMETER;
    win::MutexLock lock(win::g_mutex);
    OpenKey from;
    if (LSTATUS s = win::Resolve(hKey, from); s != ERROR_SUCCESS)
        return s;
    if (std::shared_ptr<win::Key> key = win::Walk(from, parts)) {
        *result = win::NewHandle(from.hive, key, win::EffectiveAccess(desired));
        if (disposition)
            *disposition = REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    }
    if (!(from.access & KEY_CREATE_SUB_KEY))
        return ERROR_ACCESS_DENIED;
    std::shared_ptr<win::Key> created;
    DWORD how = REG_OPENED_EXISTING_KEY;
    LSTATUS status = win::Modify(*from.hive, [&]() -> LSTATUS {
        if (from.key->deleted)
            return ERROR_KEY_DELETED;
        // Another process may have created it meanwhile.
        how = win::Walk(from, parts) ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
        win::Key* key = from.key.get();
        for (const auto& part : parts)
            key = &win::AddChild(*key, part);
        created = parts.empty() ? from.key : win::SharedOf(key);
        return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS)
        return status;
    *result = win::NewHandle(from.hive, created, win::EffectiveAccess(desired));
    if (disposition)
        *disposition = how;
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey) {
    win::MutexLock lock(win::g_mutex);
    if (win::PredefinedHive(hKey))
        return ERROR_SUCCESS;
    return win::g_handles.erase(reinterpret_cast<std::uintptr_t>(hKey)) ? ERROR_SUCCESS
                                                                        : ERROR_INVALID_HANDLE;
}

LSTATUS RegQueryValueExW(HKEY hKey, const WCHAR* valueName, DWORD* reserved, DWORD* type,
                         BYTE* data, DWORD* cbData) {
    return win::QueryValue(hKey, valueName, type, data, cbData, false);
}

LSTATUS RegQueryValueExW(HKEY hKey, const WCHAR* valueName, DWORD* reserved, DWORD* type,
                         WCHAR* data, DWORD* cbData) {
    return win::QueryValue(hKey, valueName, type, data, cbData, true);
}

LSTATUS RegSetValueExW(HKEY hKey, const WCHAR* valueName, DWORD reserved, DWORD type,
                       const BYTE* data, DWORD cbData) {
    return win::SetValueData(hKey, valueName, type, data, cbData, false);
}

LSTATUS RegSetValueExW(HKEY hKey, const WCHAR* valueName, DWORD reserved, DWORD type,
                       const WCHAR* data, DWORD cbData) {
    return win::SetValueData(hKey, valueName, type, data, cbData, true);
}

LSTATUS RegDeleteValueW(HKEY hKey, const WCHAR* valueName) {
    win::MutexLock lock(win::g_mutex);
    OpenKey k;
    if (LSTATUS s = win::Resolve(hKey, k); s != ERROR_SUCCESS)
        return s;
    if (!(k.access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    std::wstring name = win::NameOf(valueName);
    return win::Modify(*k.hive, [&]() -> LSTATUS {
        if (k.key->deleted)
            return ERROR_KEY_DELETED;
        return win::DeleteValue(*k.key, name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LSTATUS RegDeleteKeyW(HKEY hKey, const WCHAR* subKey) {
    if (!subKey)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::wstring> parts;
    if (!win::SplitPath(subKey, parts))
        return ERROR_BAD_PATHNAME;
    win::MutexLock lock(win::g_mutex);
    OpenKey from;
    if (LSTATUS s = win::Resolve(hKey, from); s != ERROR_SUCCESS)
        return s;
    return win::Modify(*from.hive, [&]() -> LSTATUS {
        if (from.key->deleted)
            return ERROR_KEY_DELETED;
        std::shared_ptr<win::Key> key = win::Walk(from, parts);
        if (!key)
            return ERROR_FILE_NOT_FOUND;
        if (!key->parent || !key->children.empty())
            return ERROR_ACCESS_DENIED;
        win::RemoveChild(*key->parent, key->name);
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteTreeW(HKEY hKey, const WCHAR* subKey) {
    std::vector<std::wstring> parts;
    if (!win::SplitPath(subKey, parts))
        return ERROR_BAD_PATHNAME;
    win::MutexLock lock(win::g_mutex);
    OpenKey from;
    if (LSTATUS s = win::Resolve(hKey, from); s != ERROR_SUCCESS)
        return s;
    REGSAM needed = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
    if (parts.empty())
        needed |= KEY_SET_VALUE;
    if ((from.access & needed) != needed)
        return ERROR_ACCESS_DENIED;
    return win::Modify(*from.hive, [&]() -> LSTATUS {
        if (from.key->deleted)
            return ERROR_KEY_DELETED;
        std::shared_ptr<win::Key> key = win::Walk(from, parts);
        if (!key)
            return ERROR_FILE_NOT_FOUND;
        if (parts.empty()) {
            while (!key->children.empty())
                win::RemoveChild(*key, key->children.begin()->second->name);
            key->values.clear();
            key->lastWrite = win::NowFileTime();
        } else {
            win::RemoveChild(*key->parent, key->name);
        }
        return ERROR_SUCCESS;
    });
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD index, WCHAR* name, DWORD* cchName, DWORD* reserved,
                      WCHAR* keyClass, DWORD* cchClass, FILETIME* lastWriteTime) {
    if (!name || !cchName)
        return ERROR_INVALID_PARAMETER;
    win::MutexLock lock(win::g_mutex);
    OpenKey k;
    if (LSTATUS s = win::Resolve(hKey, k); s != ERROR_SUCCESS)
        return s;
    if (!(k.access & KEY_ENUMERATE_SUB_KEYS))
        return ERROR_ACCESS_DENIED;
    if (index >= k.key->children.size())
        return ERROR_NO_MORE_ITEMS;
    const win::Key& child = *std::next(k.key->children.begin(), index)->second;
    if (child.name.size() + 1 > *cchName)
        return ERROR_MORE_DATA;
    std::memcpy(name, child.name.c_str(), (child.name.size() + 1) * sizeof(WCHAR));
    *cchName = static_cast<DWORD>(child.name.size());
    if (keyClass && cchClass && *cchClass > 0)
        keyClass[0] = L'\0';
    if (cchClass)
        *cchClass = 0;
    win::PutFileTime(lastWriteTime, child.lastWrite);
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD index, WCHAR* valueName, DWORD* cchValueName,
                      DWORD* reserved, DWORD* type, BYTE* data, DWORD* cbData) {
    return win::EnumValue(hKey, index, valueName, cchValueName, type, data, cbData, false);
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD index, WCHAR* valueName, DWORD* cchValueName,
                      DWORD* reserved, DWORD* type, WCHAR* data, DWORD* cbData) {
    return win::EnumValue(hKey, index, valueName, cchValueName, type, data, cbData, true);
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, WCHAR* keyClass, DWORD* cchClass, DWORD* reserved,
                         DWORD* subKeys, DWORD* maxSubKeyLen, DWORD* maxClassLen, DWORD* values,
                         DWORD* maxValueNameLen, DWORD* maxValueLen, DWORD* cbSecurityDescriptor,
                         FILETIME* lastWriteTime) {
    win::MutexLock lock(win::g_mutex);
    OpenKey k;
    if (LSTATUS s = win::Resolve(hKey, k); s != ERROR_SUCCESS)
        return s;
    if (!(k.access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    const win::Key& key = *k.key;
    DWORD maxSub = 0, maxName = 0, maxData = 0;
    for (const auto& [f, c] : key.children)
        maxSub = std::max(maxSub, static_cast<DWORD>(c->name.size()));
    for (const auto& v : key.values) {
        maxName = std::max(maxName, static_cast<DWORD>(v.name.size()));
        maxData = std::max(maxData, static_cast<DWORD>(v.data.size()));
    }
    if (keyClass && cchClass && *cchClass > 0)
        keyClass[0] = L'\0';
    if (cchClass)
        *cchClass = 0;
    if (subKeys)
        *subKeys = static_cast<DWORD>(key.children.size());
    if (maxSubKeyLen)
        *maxSubKeyLen = maxSub;
    if (maxClassLen)
        *maxClassLen = 0;
    if (values)
        *values = static_cast<DWORD>(key.values.size());
    if (maxValueNameLen)
        *maxValueNameLen = maxName;
    if (maxValueLen)
        *maxValueLen = maxData;
    if (cbSecurityDescriptor)
        *cbSecurityDescriptor = 0;
    win::PutFileTime(lastWriteTime, key.lastWrite);
    return ERROR_SUCCESS;
}

LSTATUS RegFlushKey(HKEY hKey) {
    win::MutexLock lock(win::g_mutex);
    OpenKey k;
    return win::Resolve(hKey, k);
}

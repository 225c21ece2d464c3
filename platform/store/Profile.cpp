#include "platform/store/Profile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/store/Faults.h"
#include "platform/store/Session.h"
#include "platform/store/StoreDatabase.h"
#include "platform/win/Errors.h"

namespace store {
namespace {

std::string Trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) {
        return {};
    }
    std::size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool ParseLong(const std::string& text, LONG* out) {
    if (text.empty() || text.size() > 11) {
        return false;
    }
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (end == nullptr || *end != '\0' || v < INT32_MIN || v > INT32_MAX) {
        return false;
    }
    *out = static_cast<LONG>(v);
    return true;
}

bool ParseHex(const std::string& text, Bytes* out) {
    if (text.size() % 2 != 0) {
        return false;
    }
    out->clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned v = 0;
        for (std::size_t k = 0; k < 2; ++k) {
            char c = text[i + k];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                v |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v |= static_cast<unsigned>(c - 'A' + 10);
            else
                return false;
        }
        out->push_back(static_cast<std::uint8_t>(v));
    }
    return true;
}

std::string Hex(const Bytes& b) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (auto v : b) {
        out.push_back(kDigits[v >> 4]);
        out.push_back(kDigits[v & 15]);
    }
    return out;
}

bool ParseBool(const std::string& text, bool* out) {
    if (text == "1" || text == "yes" || text == "true") {
        *out = true;
        return true;
    }
    if (text == "0" || text == "no" || text == "false") {
        *out = false;
        return true;
    }
    return false;
}

enum class Section { None, Profile, Store, Account, Category, Address };

// Applies key=value to the current section's last entry; false if unknown
// or malformed.
bool Apply(Profile& p, Section section, const std::string& key, const std::string& value) {
    LONG number = 0;
    switch (section) {
        case Section::Profile:
            if (key == "Name") {
                p.name = Wide(value);
            } else if (key == "ConnectionMode" && ParseLong(value, &number)) {
                p.connectionMode = number;
            } else if (key == "ExchangeVersion") {
                p.exchangeVersion = Wide(value);
            } else {
                return false;
            }
            return true;
        case Section::Store: {
            ProfileStore& s = p.stores.back();
            if (key == "File" && !value.empty()) {
                s.file = value;
            } else if (key == "Kind" && ParseLong(value, &number) && IsValidKind(number)) {
                s.kind = static_cast<StoreKind>(number);
            } else if (key == "Tracking" && ParseLong(value, &number) && number >= 1 &&
                       number <= 3) {
                s.tracking = static_cast<ChangeTracking>(number);
            } else if (key == "ProviderId" && ParseHex(value, &s.providerId) &&
                       s.providerId.size() == 16) {
            } else if (key == "Name") {
                s.displayName = Wide(value);
            } else if (key == "Default" && ParseBool(value, &s.isDefault)) {
            } else {
                return false;
            }
            return true;
        }
        case Section::Account: {
            ProfileAccount& a = p.accounts.back();
            if (key == "Name") {
                a.name = Wide(value);
            } else if (key == "Id" && ParseLong(value, &number)) {
                a.id = number;
            } else if (key == "Address") {
                a.address = Wide(value);
            } else if (key == "Order" && ParseLong(value, &number)) {
                a.order = number;
            } else {
                return false;
            }
            return true;
        }
        case Section::Category:
            if (key == "Name") {
                p.categories.back() = Wide(value);
                return true;
            }
            return false;
        case Section::Address: {
            AddressEntry& e = p.addressBook.back();
            if (key == "Name") {
                e.displayName = Wide(value);
            } else if (key == "Address") {
                e.address = Wide(value);
            } else if (key == "Type") {
                e.addressType = Wide(value);
            } else if (key == "EntryId" && ParseHex(value, &e.entryId)) {
            } else {
                return false;
            }
            return true;
        }
        case Section::None:
            return false;
    }
    return false;
}

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

std::string Profile::FileFor(const std::string& userDirectory, const std::wstring& profileName) {
    return userDirectory + "/profiles/" + Utf8(profileName) + "/profile.ini";
}

HRESULT Profile::Load(const std::string& path, Profile* out, int* errorLine) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return MAPI_E_NOT_FOUND;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return Parse(text.str(), out, errorLine);
}

HRESULT Profile::Parse(const std::string& textIn, Profile* out, int* errorLine) {
    std::istringstream in(textIn);
    Profile p;
    Section section = Section::None;
    std::string line;
    int number = 0;
    auto fail = [&]() {
        if (errorLine != nullptr) {
            *errorLine = number;
        }
        return MAPI_E_CORRUPT_DATA;
    };
    bool sawProfile = false;
    while (std::getline(in, line)) {
        ++number;
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) {
            line.erase(0, 3);  // a UTF-8 byte-order mark from an editor
        }
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']') {
                return fail();
            }
            const std::string name = Trim(line.substr(1, line.size() - 2));
            if (name == "Profile" && !sawProfile) {
                section = Section::Profile;
                sawProfile = true;
            } else if (name == "Store") {
                section = Section::Store;
                p.stores.emplace_back();
            } else if (name == "Account") {
                section = Section::Account;
                p.accounts.emplace_back();
                p.accounts.back().order = static_cast<LONG>(p.accounts.size());
            } else if (name == "Category") {
                section = Section::Category;
                p.categories.emplace_back();
            } else if (name == "AddressEntry") {
                section = Section::Address;
                p.addressBook.emplace_back();
            } else {
                return fail();
            }
            continue;
        }
        std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            return fail();
        }
        if (!Apply(p, section, Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)))) {
            return fail();
        }
    }
    for (const auto& s : p.stores) {
        if (s.file.empty()) {
            number = 0;
            return fail();
        }
    }
    if (std::count_if(p.stores.begin(), p.stores.end(),
                      [](const ProfileStore& s) { return s.isDefault; }) > 1) {
        number = 0;
        return fail();
    }
    std::stable_sort(
        p.accounts.begin(), p.accounts.end(),
        [](const ProfileAccount& a, const ProfileAccount& b) { return a.order < b.order; });
    *out = std::move(p);
    return S_OK;
}

std::string Profile::Text() const {
    std::ostringstream text;
    text << "; Quillmere mail profile\n[Profile]\nName=" << Utf8(name)
         << "\nConnectionMode=" << connectionMode << "\nExchangeVersion=" << Utf8(exchangeVersion)
         << "\n";
    for (const auto& s : stores) {
        text << "\n[Store]\nFile=" << s.file << "\nKind=" << static_cast<LONG>(s.kind)
             << "\nTracking=" << static_cast<LONG>(s.tracking)
             << "\nProviderId=" << Hex(s.providerId) << "\nName=" << Utf8(s.displayName)
             << "\nDefault=" << (s.isDefault ? 1 : 0) << "\n";
    }
    for (const auto& a : accounts) {
        text << "\n[Account]\nName=" << Utf8(a.name) << "\nId=" << a.id
             << "\nAddress=" << Utf8(a.address) << "\nOrder=" << a.order << "\n";
    }
    for (const auto& c : categories) {
        text << "\n[Category]\nName=" << Utf8(c) << "\n";
    }
    for (const auto& e : addressBook) {
        text << "\n[AddressEntry]\nName=" << Utf8(e.displayName) << "\nAddress=" << Utf8(e.address)
             << "\nType=" << Utf8(e.addressType) << "\nEntryId=" << Hex(e.entryId) << "\n";
    }
    return text.str();
}

namespace {
// A value with a line break would end its line early and could start a
// section of its own in the file; blanks at either end would be trimmed.
bool IsWritable(const std::string& value) {
    return value.find_first_of("\r\n") == std::string::npos && Trim(value) == value;
}
bool IsWritable(const std::wstring& value) {
    return IsWritable(Utf8(value));
}
}  // namespace

HRESULT Profile::Save(const std::string& path) const {
    bool writable = IsWritable(name) && IsWritable(exchangeVersion);
    for (const auto& s : stores) {
        writable = writable && IsWritable(s.file) && !s.file.empty() && IsWritable(s.displayName) &&
                   s.providerId.size() == 16;
    }
    for (const auto& a : accounts) {
        writable = writable && IsWritable(a.name) && IsWritable(a.address);
    }
    for (const auto& c : categories) {
        writable = writable && IsWritable(c);
    }
    for (const auto& e : addressBook) {
        writable = writable && IsWritable(e.displayName) && IsWritable(e.address) &&
                   IsWritable(e.addressType);
    }
    if (!writable) {
        return E_INVALIDARG;
    }
    const std::string text = Text();
    // Order matters: the new text goes to a file of its own first and only
    // then replaces the old one, so a reader never sees half a profile.
    const std::string temp = path + ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            return MAPI_E_DISK_ERROR;
        }
        out << text;
        out.flush();
        if (!out) {
            ::unlink(temp.c_str());
            return MAPI_E_DISK_ERROR;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return MAPI_E_DISK_ERROR;
    }
    return S_OK;
}

const ProfileStore* Profile::DefaultStore() const {
    for (const auto& s : stores) {
        if (s.isDefault) {
            return &s;
        }
    }
    return stores.empty() ? nullptr : &stores.front();
}

std::string Profile::StorePath(const std::string& profilePath, const ProfileStore& store) {
    if (!store.file.empty() && store.file.front() == '/') {
        return store.file;
    }
    return DirectoryOf(profilePath) + "/" + store.file;
}

HRESULT Profile::CreateMissingStores(const std::string& profilePath) const {
    for (const auto& s : stores) {
        const std::string file = StorePath(profilePath, s);
        struct stat st {};
        if (::stat(file.c_str(), &st) == 0) {
            continue;
        }
        StoreOptions o;
        o.kind = s.kind;
        o.tracking = s.tracking;
        o.providerId = s.providerId;
        o.displayName = s.displayName;
        std::unique_ptr<Session> made;
        HRESULT hr = Session::Create(file, o, &made);
        if (FAILED(hr)) {
            return hr;
        }
    }
    return S_OK;
}

HRESULT Profile::OpenStoreById(const std::string& profilePath, const Bytes& entryId,
                               std::unique_ptr<Session>* out) const {
    out->reset();
    auto parts = ParseEntryId(entryId);
    if (!parts) {
        return MAPI_E_INVALID_ENTRYID;
    }
    for (const auto& s : stores) {
        const std::string file = StorePath(profilePath, s);
        GUID guid{};
        if (FAILED(Session::PeekStoreGuid(file, &guid)) || guid != parts->storeGuid) {
            continue;
        }
        HRESULT hr = CurrentFault(FaultSite::OpenObject, guid);
        if (FAILED(hr)) {
            return hr;
        }
        return Session::Open(file, out);
    }
    return MAPI_E_NOT_FOUND;
}

HRESULT Profile::SetConnectionMode(const std::string& path, LONG mode) {
    Profile p;
    HRESULT hr = Load(path, &p);
    if (FAILED(hr)) {
        return hr;
    }
    p.connectionMode = mode;
    return p.Save(path);
}

HRESULT Profile::SetExchangeVersion(const std::string& path, const std::wstring& version) {
    Profile p;
    HRESULT hr = Load(path, &p);
    if (FAILED(hr)) {
        return hr;
    }
    p.exchangeVersion = version;
    return p.Save(path);
}

}  // namespace store

// libFuzzer target: the cabinet reader on arbitrary bytes, as a plain cabinet
// without a key, the same bytes with a key (signature failures), and the bytes
// encrypted as the writer would encrypt them, read with that key.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Quillmere/cabinet/Blowfish.h"
#include "Quillmere/cabinet/Extract.h"
#include "platform/win/Environment.h"
#include "platform/win/Paths.h"

namespace {

namespace fs = std::filesystem;

constexpr char kKey[] = "fuzz key";
constexpr std::size_t kPlainHeader = 56;

struct Scratch {
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "qmcab-fuzz-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        root = mkdtemp(buffer.data()) != nullptr ? buffer.data() : "/tmp/qmcab-fuzz";
        fs::create_directories(root + "/user/drive_c/cabs");
        win::SetUserDirectory(root + "/user");
        cabinetHost = *win::HostPath(L"C:\\cabs\\input.cab");
        outputHost = root + "/user/drive_c/out";
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    std::string root;
    std::string cabinetHost;
    std::string outputHost;
};

Scratch& Dirs() {
    static Scratch scratch;
    return scratch;
}

void WriteCabinet(const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(Dirs().cabinetHost, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void ExtractWith(const char* key) {
    Cabinet::CExtract reader;
    reader.Cipher().SetKey(reinterpret_cast<const BYTE*>(key),
                           static_cast<DWORD>(std::char_traits<char>::length(key)));
    reader.AllocateBuffer();
    if (reader.CreateFDIContext()) {
        reader.ExtractFile(L"C:\\cabs\\input.cab", L"C:\\out", 0);
        reader.GetLastErrorText();
    }
    reader.CleanUp();
    std::error_code ignored;
    // Extracted files may have been made read-only.
    for (auto it = fs::recursive_directory_iterator(Dirs().outputHost, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(Dirs().outputHost, ignored);
}

std::vector<std::uint8_t> Encrypted(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> out(data, data + size);
    if (out.size() >= 4 && out[0] == 'M' && out[1] == 'S' && out[2] == 'C' && out[3] == 'F') {
        out[0] = 'C';
        out[1] = 'R';
        out[2] = 'Y';
        out[3] = 'P';
    }
    if (out.size() > kPlainHeader) {
        out.resize(kPlainHeader + (out.size() - kPlainHeader + 7) / 8 * 8, 0);
        Cabinet::CBlowfish cipher;
        cipher.SetKey(reinterpret_cast<const BYTE*>(kKey), sizeof kKey - 1);
        cipher.EncryptBlocks(out.data() + kPlainHeader, (out.size() - kPlainHeader) / 8);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        WriteCabinet(std::vector<std::uint8_t>(data, data + size));
        ExtractWith("");
        ExtractWith(kKey);
        WriteCabinet(Encrypted(data, size));
        ExtractWith(kKey);
    } catch (const char*) {
        // Allocation failures are reported this way; nothing else may throw.
    }
    return 0;
}

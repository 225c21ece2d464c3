// MSZIP block codec: every block is "CK" followed by a complete raw deflate
// stream for that block alone, decoded with the previous 32 KiB of the
// folder's output as its preset dictionary.
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "platform/cabinet/Codec.h"

namespace cabinet {
namespace {

constexpr std::size_t kHistorySize = 32768;
constexpr std::uint8_t kSignature0 = 'C';
constexpr std::uint8_t kSignature1 = 'K';

// Keeps the last kHistorySize bytes of a folder's uncompressed stream.
class History {
public:
    void Append(const std::uint8_t* p, std::size_t n) {
        if (n >= kHistorySize) {
            m_bytes.assign(p + (n - kHistorySize), p + n);
            return;
        }
        std::size_t keep = std::min(m_bytes.size(), kHistorySize - n);
        m_bytes.erase(m_bytes.begin(), m_bytes.end() - static_cast<std::ptrdiff_t>(keep));
        m_bytes.insert(m_bytes.end(), p, p + n);
    }
    const std::uint8_t* Data() const { return m_bytes.data(); }
    std::size_t Size() const { return m_bytes.size(); }

private:
    std::vector<std::uint8_t> m_bytes;
};

class MszipCompressor : public BlockCompressor {
public:
    ~MszipCompressor() override {
        if (m_ready) {
            deflateEnd(&m_z);
        }
    }
    bool Init() {
        std::memset(&m_z, 0, sizeof(m_z));
        m_ready = deflateInit2(&m_z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8,
                               Z_DEFAULT_STRATEGY) == Z_OK;
        return m_ready;
    }
    bool CompressBlock(const std::uint8_t* in, std::size_t n, bool lastBlockOfFolder,
                       std::vector<std::uint8_t>& out) override {
        if (n > kMaxBlockUncompressed || deflateReset(&m_z) != Z_OK) {
            return false;
        }
        if (m_history.Size() > 0 &&
            deflateSetDictionary(&m_z, m_history.Data(), static_cast<uInt>(m_history.Size())) !=
                Z_OK) {
            return false;
        }
        std::size_t start = out.size();
        std::size_t bound = deflateBound(&m_z, static_cast<uLong>(n)) + 16;
        out.resize(start + 2 + bound);
        out[start] = kSignature0;
        out[start + 1] = kSignature1;
        m_z.next_in = const_cast<Bytef*>(in);
        m_z.avail_in = static_cast<uInt>(n);
        m_z.next_out = out.data() + start + 2;
        m_z.avail_out = static_cast<uInt>(bound);
        int rc = deflate(&m_z, Z_FINISH);
        if (rc != Z_STREAM_END) {
            out.resize(start);
            return false;
        }
        out.resize(start + 2 + (bound - m_z.avail_out));
        if (out.size() - start > kMaxBlockCompressed) {
            out.resize(start);
            return false;
        }
        m_history.Append(in, n);
        return true;
    }

private:
    z_stream m_z;
    bool m_ready = false;
    History m_history;
};

class MszipDecompressor : public BlockDecompressor {
public:
    ~MszipDecompressor() override {
        if (m_ready) {
            inflateEnd(&m_z);
        }
    }
    bool Init() {
        std::memset(&m_z, 0, sizeof(m_z));
        m_ready = inflateInit2(&m_z, -15) == Z_OK;
        return m_ready;
    }
    bool DecompressBlock(const std::uint8_t* in, std::size_t inSize, std::uint8_t* out,
                         std::size_t outSize) override {
        if (m_failed || outSize > kMaxBlockUncompressed || inSize < 2 || in[0] != kSignature0 ||
            in[1] != kSignature1 || inflateReset(&m_z) != Z_OK) {
            m_failed = true;
            return false;
        }
        if (m_history.Size() > 0 &&
            inflateSetDictionary(&m_z, m_history.Data(), static_cast<uInt>(m_history.Size())) !=
                Z_OK) {
            m_failed = true;
            return false;
        }
        m_z.next_in = const_cast<Bytef*>(in + 2);
        m_z.avail_in = static_cast<uInt>(inSize - 2);
        std::uint8_t none;
        m_z.next_out = out ? out : &none;  // zlib refuses a null buffer even for 0 bytes
        m_z.avail_out = static_cast<uInt>(outSize);
        int rc = inflate(&m_z, Z_SYNC_FLUSH);
        bool ok = m_z.avail_out == 0 && (rc == Z_STREAM_END || rc == Z_OK || rc == Z_BUF_ERROR);
        if (ok && rc != Z_STREAM_END) {
            // Full, but the stream has not ended: sound only when the input
            // holds nothing more (a writer that leaves the final-block bit
            // unset), never when it would yield more than declared.
            std::uint8_t probe;
            m_z.next_out = &probe;
            m_z.avail_out = 1;
            int more = inflate(&m_z, Z_SYNC_FLUSH);
            ok =
                m_z.avail_out == 1 && (more == Z_STREAM_END || more == Z_OK || more == Z_BUF_ERROR);
        }
        if (!ok) {
            m_failed = true;
            return false;
        }
        m_history.Append(out, outSize);
        return true;
    }

private:
    z_stream m_z;
    bool m_ready = false;
    bool m_failed = false;
    History m_history;
};

}  // namespace

std::unique_ptr<BlockCompressor> CreateMszipCompressor() {
    auto c = std::make_unique<MszipCompressor>();
    if (!c->Init()) {
        return nullptr;
    }
    return c;
}

std::unique_ptr<BlockDecompressor> CreateMszipDecompressor() {
    auto d = std::make_unique<MszipDecompressor>();
    if (!d->Init()) {
        return nullptr;
    }
    return d;
}

}  // namespace cabinet

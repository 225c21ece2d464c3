#include "Quillmere/cabinet/FilePosMap.h"

#include <cstdlib>
#include <cstring>

#include "Quillmere/cabinet/CabThrow.h"

namespace Cabinet {

namespace {
constexpr std::size_t kInitialCapacity = 4;
constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

template <class T>
T* Allocate(std::size_t count) {
    auto* p = static_cast<T*>(std::malloc(count * sizeof(T)));
    if (p == nullptr) {
        ThrowOutOfMemory();
    }
    return p;
}
}  // namespace

CFilePosMap::CFilePosMap()
    : m_handles(Allocate<std::int64_t>(kInitialCapacity)),
      m_positions(Allocate<std::uint32_t>(kInitialCapacity)),
      m_capacity(kInitialCapacity) {}

CFilePosMap::~CFilePosMap() {
    std::free(m_handles);
    std::free(m_positions);
}

std::size_t CFilePosMap::Find(std::int64_t handle) const {
    for (std::size_t i = 0; i < m_count; ++i) {
        if (m_handles[i] == handle) {
            return i;
        }
    }
    return kNotFound;
}

void CFilePosMap::SetPos(std::int64_t handle, std::uint32_t position) {
    if (handle == 0 || handle == -1) {
        return;
    }
    std::size_t index = Find(handle);
    if (index != kNotFound) {
        m_positions[index] = position;
        return;
    }
    if (m_count == m_capacity) {
        std::size_t capacity = 2 * m_capacity;
        auto* handles = Allocate<std::int64_t>(capacity);
        auto* positions =
            static_cast<std::uint32_t*>(std::malloc(capacity * sizeof(std::uint32_t)));
        if (positions == nullptr) {
            std::free(handles);
            ThrowOutOfMemory();
        }
        std::memcpy(handles, m_handles, m_count * sizeof(std::int64_t));
        std::memcpy(positions, m_positions, m_count * sizeof(std::uint32_t));
        std::free(m_handles);
        std::free(m_positions);
        m_handles = handles;
        m_positions = positions;
        m_capacity = capacity;
    }
    m_handles[m_count] = handle;
    m_positions[m_count] = position;
    ++m_count;
}

bool CFilePosMap::GetPos(std::int64_t handle, std::uint32_t* position) const {
    std::size_t index = Find(handle);
    if (index == kNotFound) {
        return false;
    }
    *position = m_positions[index];
    return true;
}

void CFilePosMap::Close(std::int64_t handle) {
    std::size_t index = Find(handle);
    if (index == kNotFound) {
        return;
    }
    --m_count;
    m_handles[index] = m_handles[m_count];
    m_positions[index] = m_positions[m_count];
}

}  // namespace Cabinet

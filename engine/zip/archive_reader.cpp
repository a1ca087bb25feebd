#include "zip/archive_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace archive_engine {

std::span<const std::uint8_t> ArchiveReader::view(std::uint64_t offset, std::size_t max) {
    if (offset < m_start || offset >= m_start + m_size) {
        if (!m_window) {
            m_window.reset(new (std::nothrow) std::uint8_t[kWindowSize]);
            if (!m_window) {
                return {};
            }
        }
        m_start = offset;
        m_size = 0;
        if (!m_file.seek(qint64(offset))) {
            return {};
        }
        const qint64 n = m_file.read(reinterpret_cast<char*>(m_window.get()), kWindowSize);
        if (n < 0 && m_readError == 0) {
            m_readError = errno != 0 ? errno : EIO;
        }
        if (n <= 0) {
            return {};
        }
        m_size = std::size_t(n);
    }
    const auto at = std::size_t(offset - m_start);
    return {m_window.get() + at, std::min(max, m_size - at)};
}

std::span<const std::uint8_t> EntryInput::peek(std::size_t max) {
    if (m_remaining == 0) {
        return {};
    }
    const auto bytes =
        m_reader.view(m_offset, std::size_t(std::min<std::uint64_t>(max, m_remaining)));
    m_failed = bytes.empty();
    return bytes;
}

bool EntryInput::take(void* destination, std::size_t size) {
    auto* out = static_cast<std::uint8_t*>(destination);
    while (size > 0) {
        const auto bytes = peek(size);
        if (bytes.empty()) {
            return false;
        }
        std::memcpy(out, bytes.data(), bytes.size());
        out += bytes.size();
        size -= bytes.size();
        advance(bytes.size());
    }
    return true;
}

} // namespace archive_engine

#pragma once

// The one reader of an archive's bytes once its directory has been vetted: entries are
// read from the offsets the vetted directory gives, through a window of the file, so
// that the small entries of a typical archive cost one read between them, not one each.

#include <QFile>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace archive_engine {

class ArchiveReader {
public:
    // `file` is open for reading; the reader moves its position at will.
    explicit ArchiveReader(QFile& file) : m_file(file) {}

    // Up to `max` bytes of the file starting at `offset`, valid until the next call; empty
    // when nothing can be read there (past the end, or an I/O error).
    std::span<const std::uint8_t> view(std::uint64_t offset, std::size_t max);
    // The host's error (errno) of the first read that failed since the last clear; 0 when
    // none did. Bytes missing for another reason (the file shrank) are no read error.
    int readError() const { return m_readError; }
    void clearReadError() { m_readError = 0; }

private:
    static constexpr std::size_t kWindowSize = 1 << 20;

    QFile& m_file;
    std::unique_ptr<std::uint8_t[]> m_window;
    std::uint64_t m_start = 0;
    std::size_t m_size = 0;
    int m_readError = 0;
};

// One entry's stored bytes, read front to back: what a decoder is given and then told
// how much of it it used.
class EntryInput {
public:
    EntryInput(ArchiveReader& reader, std::uint64_t offset, std::uint64_t size)
        : m_reader(reader), m_offset(offset), m_remaining(size) {}

    // The next bytes of the entry, at most `max`; empty at the end of the entry's data
    // and when the archive cannot be read (readFailed() tells which).
    std::span<const std::uint8_t> peek(std::size_t max);
    // Marks `n` bytes of the last peek as used.
    void advance(std::size_t n) {
        m_offset += n;
        m_remaining -= n;
    }
    // Copies exactly `size` bytes, or fails.
    bool take(void* destination, std::size_t size);

    std::uint64_t remaining() const { return m_remaining; }
    bool readFailed() const { return m_failed; }

private:
    ArchiveReader& m_reader;
    std::uint64_t m_offset;
    std::uint64_t m_remaining;
    bool m_failed = false;
};

} // namespace archive_engine

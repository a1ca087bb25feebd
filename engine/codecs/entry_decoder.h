#pragma once

// Turns one entry's stored bytes into its content, with each method's best packaged
// decoder: deflate through ISA-L's streaming inflater (several times faster than zlib and,
// like it, bounded in memory and in the work between two chunks), bzip2 through libbz2,
// LZMA and XZ through liblzma, zstd through libzstd; Deflate64 and PPMd, which no library
// offers, through our own. Sizes and CRC-32 are checked here for every method; the output side
// decides where the bytes go.

#include "zip/zip_directory.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace archive_engine {

class ArchiveReader;

// Receives an entry's content in chunks of at most kChunkSize bytes. Returning false
// stops decoding (the output knows why: a write error or an abort).
class EntryOutput {
public:
    virtual ~EntryOutput() = default;
    virtual bool consume(const char* data, std::size_t size) = 0;
};

// A buffer that keeps the largest size it was given and, unlike std::vector, does not
// clear the bytes it grows by: everything is written before it is read.
class ScratchBuffer {
public:
    // Throws std::bad_alloc.
    void resize(std::size_t size) {
        if (size > m_capacity) {
            m_data.reset();
            m_data.reset(new char[size]);
            m_capacity = size;
        }
        m_size = size;
    }
    char* data() { return m_data.get(); }
    std::size_t size() const { return m_size; }

private:
    std::unique_ptr<char[]> m_data;
    std::size_t m_capacity = 0;
    std::size_t m_size = 0;
};

enum class DecodeResult {
    Ok,
    UnknownMethod,
    BadPassword,
    BadCrc,
    Corrupted, // damaged stream, wrong size, or bytes no longer in the archive
    ReadError, // the host could not read the archive's bytes
    OutOfMemory,
    Stopped, // the output refused more
};

struct DecoderState;

class EntryDecoder {
public:
    // Output is handed over in chunks of at most this size, so that an abort is seen at
    // least this often.
    static constexpr std::size_t kChunkSize = 1 << 20;

    EntryDecoder();
    ~EntryDecoder();
    EntryDecoder(const EntryDecoder&) = delete;
    EntryDecoder& operator=(const EntryDecoder&) = delete;

    // Whether the method can be decoded at all.
    static bool canDecode(std::uint16_t method);

    // Decodes the entry's stored bytes, which lie where its vetted directory entry says.
    DecodeResult decode(ArchiveReader& archive, const ZipEntry& entry, EntryOutput& output);

private:
    std::unique_ptr<DecoderState> m_state;
};

} // namespace archive_engine

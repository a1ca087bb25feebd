#include "entry_decoder.h"

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <lzma.h>
#include <zip.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

namespace archive_engine {

namespace {

constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflate = 8;
constexpr std::uint16_t kLzma = 14;
constexpr std::uint16_t kXz = 95;

DecodeResult fromZipError(int code) {
    switch (code) {
    case ZIP_ER_CRC:
        return DecodeResult::BadCrc;
    case ZIP_ER_COMPNOTSUPP:
        return DecodeResult::UnknownMethod;
    case ZIP_ER_NOPASSWD:
    case ZIP_ER_WRONGPASSWD:
    case ZIP_ER_ENCRNOTSUPP:
        return DecodeResult::BadPassword;
    case ZIP_ER_MEMORY:
        return DecodeResult::OutOfMemory;
    default:
        return DecodeResult::Corrupted;
    }
}

struct ZipFileCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ZipFile = std::unique_ptr<zip_file_t, ZipFileCloser>;

// Opens an entry's data; `raw` skips libzip's decompression.
ZipFile openEntry(zip_t* archive, std::uint64_t index, bool raw, DecodeResult* failure) {
    zip_file_t* file = zip_fopen_index(archive, index, raw ? ZIP_FL_COMPRESSED : 0);
    if (!file) {
        *failure = fromZipError(zip_error_code_zip(zip_get_error(archive)));
        zip_error_clear(archive);
    }
    return ZipFile(file);
}

// Reads exactly `size` bytes, or fails.
bool readExactly(zip_file_t* file, char* buffer, std::uint64_t size) {
    while (size > 0) {
        const zip_int64_t n = zip_fread(file, buffer, size);
        if (n <= 0) {
            return false;
        }
        buffer += n;
        size -= std::uint64_t(n);
    }
    return true;
}

// Counts and checksums what an entry produces, refusing more than it declared.
class CheckedOutput {
public:
    CheckedOutput(const ZipEntry& entry, EntryOutput& output) : m_entry(entry), m_output(output) {}

    // False with *result set when the data overruns or the output stops.
    bool put(const char* data, std::size_t size, DecodeResult* result) {
        if (size > m_entry.uncompressedSize - m_produced) {
            *result = DecodeResult::Corrupted;
            return false;
        }
        m_produced += size;
        m_crc = libdeflate_crc32(m_crc, data, size);
        if (!m_output.consume(data, size)) {
            *result = DecodeResult::Stopped;
            return false;
        }
        return true;
    }

    DecodeResult verdict() const {
        if (m_produced != m_entry.uncompressedSize) {
            return DecodeResult::Corrupted;
        }
        return m_crc == m_entry.crc ? DecodeResult::Ok : DecodeResult::BadCrc;
    }

private:
    const ZipEntry& m_entry;
    EntryOutput& m_output;
    std::uint64_t m_produced = 0;
    std::uint32_t m_crc = 0;
};

} // namespace

EntryDecoder::EntryDecoder() : m_stream(std::make_unique<inflate_state>()) {}

EntryDecoder::~EntryDecoder() = default;

bool EntryDecoder::canDecode(std::uint16_t method) {
    return method == kLzma || method == kXz || zip_compression_method_supported(method, 0);
}

DecodeResult EntryDecoder::decode(zip_t* archive, std::uint64_t index, const ZipEntry& entry,
                                  EntryOutput& output) {
    if (!canDecode(entry.method)) {
        return DecodeResult::UnknownMethod;
    }
    if (entry.encrypted()) {
        return DecodeResult::BadPassword; // no password is ever given
    }
    if (entry.method == kDeflate) {
        return inflateStreaming(archive, index, entry, output);
    }
    if (entry.method == kLzma || entry.method == kXz) {
        return decodeLzma(archive, index, entry, output);
    }
    return streamThroughLibzip(archive, index, entry, output);
}

DecodeResult EntryDecoder::inflateStreaming(zip_t* archive, std::uint64_t index,
                                            const ZipEntry& entry, EntryOutput& output) {
    DecodeResult result = DecodeResult::Ok;
    const ZipFile file = openEntry(archive, index, true, &result);
    if (!file) {
        return result;
    }
    try {
        // No larger than the entry needs; one byte beyond its size lets a stream that
        // produces more than it declared be caught.
        m_input.resize(std::size_t(std::clamp<std::uint64_t>(entry.compressedSize, 1, kChunkSize)));
        m_output.resize(
            std::size_t(std::min<std::uint64_t>(entry.uncompressedSize, kChunkSize - 1) + 1));
    } catch (const std::bad_alloc&) {
        return DecodeResult::OutOfMemory;
    }
    inflate_state& stream = *m_stream;
    isal_inflate_init(&stream);
    stream.crc_flag = ISAL_DEFLATE; // raw deflate; the CRC is ours
    std::uint64_t remaining = entry.compressedSize;
    CheckedOutput checked(entry, output);
    while (stream.block_state != ISAL_BLOCK_FINISH) {
        if (stream.avail_in == 0 && remaining > 0) {
            const std::uint64_t want = std::min<std::uint64_t>(remaining, m_input.size());
            if (!readExactly(file.get(), m_input.data(), want)) {
                return DecodeResult::Corrupted;
            }
            stream.next_in = reinterpret_cast<std::uint8_t*>(m_input.data());
            stream.avail_in = std::uint32_t(want);
            remaining -= want;
        }
        const std::uint32_t inBefore = stream.avail_in;
        stream.next_out = reinterpret_cast<std::uint8_t*>(m_output.data());
        stream.avail_out = std::uint32_t(m_output.size());
        if (isal_inflate(&stream) < 0) {
            return DecodeResult::Corrupted;
        }
        const std::size_t produced = m_output.size() - stream.avail_out;
        if (produced > 0 && !checked.put(m_output.data(), produced, &result)) {
            return result;
        }
        // A call that neither took input nor gave output has reached the end of the
        // entry's data before the end of its stream.
        if (produced == 0 && stream.avail_in == inBefore &&
            stream.block_state != ISAL_BLOCK_FINISH) {
            return DecodeResult::Corrupted;
        }
    }
    return checked.verdict();
}

DecodeResult EntryDecoder::decodeLzma(zip_t* archive, std::uint64_t index, const ZipEntry& entry,
                                      EntryOutput& output) {
    DecodeResult result = DecodeResult::Ok;
    const ZipFile file = openEntry(archive, index, true, &result);
    if (!file) {
        return result;
    }
    lzma_stream stream = LZMA_STREAM_INIT;
    const std::unique_ptr<lzma_stream, void (*)(lzma_stream*)> guard(&stream, lzma_end);
    std::uint64_t remaining = entry.compressedSize;
    lzma_ret status;
    if (entry.method == kXz) {
        status = lzma_stream_decoder(&stream, UINT64_MAX, 0);
    } else {
        // The zip form of LZMA: two version bytes, a two-byte properties size, then the
        // five-byte properties, then a raw LZMA1 stream whose size the entry declares.
        unsigned char header[9];
        if (remaining < sizeof header ||
            !readExactly(file.get(), reinterpret_cast<char*>(header), sizeof header) ||
            header[2] != 5 || header[3] != 0) {
            return DecodeResult::Corrupted;
        }
        remaining -= sizeof header;
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
        if (lzma_properties_decode(&filters[0], nullptr, header + 4, 5) != LZMA_OK) {
            return DecodeResult::Corrupted;
        }
        auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
        // The decoder allocates the whole window the header asks for, up to 4 GiB, but a
        // match can reach no further back than the entry is long (and one that tries is
        // damage the decoder reports).
        if (options->dict_size > entry.uncompressedSize) {
            options->dict_size =
                std::uint32_t(std::max<std::uint64_t>(entry.uncompressedSize, LZMA_DICT_SIZE_MIN));
        }
        options->ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
        options->ext_size_low = std::uint32_t(entry.uncompressedSize);
        options->ext_size_high = std::uint32_t(entry.uncompressedSize >> 32);
        status = lzma_raw_decoder(&stream, filters);
        std::free(filters[0].options);
    }
    if (status != LZMA_OK) {
        return status == LZMA_MEM_ERROR ? DecodeResult::OutOfMemory : DecodeResult::Corrupted;
    }
    try {
        m_input.resize(kChunkSize);
        m_output.resize(kChunkSize);
    } catch (const std::bad_alloc&) {
        return DecodeResult::OutOfMemory;
    }
    CheckedOutput checked(entry, output);
    do {
        if (stream.avail_in == 0 && remaining > 0) {
            const std::uint64_t want = std::min<std::uint64_t>(remaining, kChunkSize);
            if (!readExactly(file.get(), m_input.data(), want)) {
                return DecodeResult::Corrupted;
            }
            stream.next_in = reinterpret_cast<const std::uint8_t*>(m_input.data());
            stream.avail_in = want;
            remaining -= want;
        }
        stream.next_out = reinterpret_cast<std::uint8_t*>(m_output.data());
        stream.avail_out = m_output.size();
        status = lzma_code(&stream, remaining == 0 ? LZMA_FINISH : LZMA_RUN);
        const std::size_t produced = m_output.size() - stream.avail_out;
        if (produced > 0 && !checked.put(m_output.data(), produced, &result)) {
            return result;
        }
        if (status == LZMA_BUF_ERROR && remaining == 0) {
            return DecodeResult::Corrupted; // the stream ends before its data does
        }
    } while (status == LZMA_OK);
    if (status != LZMA_STREAM_END) {
        return status == LZMA_MEM_ERROR ? DecodeResult::OutOfMemory : DecodeResult::Corrupted;
    }
    return checked.verdict();
}

DecodeResult EntryDecoder::streamThroughLibzip(zip_t* archive, std::uint64_t index,
                                               const ZipEntry& entry, EntryOutput& output) {
    DecodeResult result = DecodeResult::Ok;
    // Stored data needs no decoding; reading it raw spares libzip's own CRC pass.
    const ZipFile file = openEntry(archive, index, entry.method == kStored, &result);
    if (!file) {
        return result;
    }
    try {
        m_output.resize(kChunkSize);
    } catch (const std::bad_alloc&) {
        return DecodeResult::OutOfMemory;
    }
    CheckedOutput checked(entry, output);
    for (;;) {
        const zip_int64_t n = zip_fread(file.get(), m_output.data(), m_output.size());
        if (n < 0) {
            return fromZipError(zip_error_code_zip(zip_file_get_error(file.get())));
        }
        if (n == 0) {
            break;
        }
        if (!checked.put(m_output.data(), std::size_t(n), &result)) {
            return result;
        }
    }
    return checked.verdict();
}

} // namespace archive_engine

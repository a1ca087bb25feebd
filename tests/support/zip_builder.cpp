#include "zip_builder.h"

#include <QFile>
#include <QTemporaryDir>

#include <zip.h>

#include <array>
#include <stdexcept>
#include <sys/stat.h>

namespace testsupport {

namespace {

void fail(const char* what, zip_t* archive = nullptr) {
    std::string message = what;
    if (archive) {
        message += std::string(": ") + zip_strerror(archive);
    }
    throw std::runtime_error(message);
}

class Bytes {
public:
    Bytes& u16(std::uint64_t v) { return put(v, 2); }
    Bytes& u32(std::uint64_t v) { return put(v, 4); }
    Bytes& u64(std::uint64_t v) { return put(v, 8); }
    Bytes& raw(const QByteArray& bytes) {
        m_bytes.append(bytes);
        return *this;
    }
    const QByteArray& bytes() const { return m_bytes; }
    qsizetype size() const { return m_bytes.size(); }

private:
    Bytes& put(std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) {
            m_bytes.append(char((v >> (8 * i)) & 0xFF));
        }
        return *this;
    }
    QByteArray m_bytes;
};

constexpr std::uint32_t kSaturated = 0xFFFFFFFFu;

} // namespace

std::uint32_t crc32Of(const QByteArray& data) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (char byte : data) {
        crc = table[(crc ^ static_cast<unsigned char>(byte)) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

QByteArray deflateRaw(const QByteArray& data) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("deflate.zip"));
    ZipBuilder().addFile("x", data).write(path);
    int error = 0;
    zip_t* archive = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &error);
    if (!archive) {
        fail("cannot reopen the deflate archive");
    }
    zip_stat_t st;
    zip_stat_index(archive, 0, 0, &st);
    QByteArray compressed(qsizetype(st.comp_size), '\0');
    zip_file_t* file = zip_fopen_index(archive, 0, ZIP_FL_COMPRESSED);
    const bool ok =
        file && zip_fread(file, compressed.data(), st.comp_size) == zip_int64_t(st.comp_size);
    if (file) {
        zip_fclose(file);
    }
    zip_discard(archive);
    if (!ok || st.comp_method != ZIP_CM_DEFLATE) {
        fail("cannot read the deflate stream back");
    }
    return compressed;
}

ZipBuilder& ZipBuilder::addFile(const QByteArray& name, const QByteArray& data,
                                const Options& options) {
    m_items.push_back({name, data, options, Item::File});
    return *this;
}

ZipBuilder& ZipBuilder::addRawCp437File(const QByteArray& name, const QByteArray& data) {
    m_items.push_back({name, data, Options(), Item::Cp437File});
    return *this;
}

ZipBuilder& ZipBuilder::addDirectory(const QByteArray& name) {
    m_items.push_back({name, {}, Options(), Item::Directory});
    return *this;
}

ZipBuilder& ZipBuilder::addSymlink(const QByteArray& name, const QByteArray& target) {
    Options options;
    options.method = Stored;
    m_items.push_back({name, target, options, Item::Symlink});
    return *this;
}

void ZipBuilder::write(const QString& hostPath) const {
    int error = 0;
    zip_t* archive =
        zip_open(QFile::encodeName(hostPath).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive) {
        fail("cannot create the archive");
    }
    for (const Item& item : m_items) {
        zip_int64_t index;
        if (item.kind == Item::Directory) {
            index = zip_dir_add(archive, item.name.constData(), ZIP_FL_ENC_GUESS);
        } else {
            zip_source_t* source = zip_source_buffer(archive, item.data.constData(),
                                                     zip_uint64_t(item.data.size()), 0);
            const zip_flags_t encoding =
                item.kind == Item::Cp437File ? ZIP_FL_ENC_CP437 : ZIP_FL_ENC_GUESS;
            index = source ? zip_file_add(archive, item.name.constData(), source, encoding) : -1;
            if (index < 0) {
                zip_source_free(source);
            }
        }
        if (index < 0) {
            fail("cannot add an entry", archive);
        }
        const auto i = zip_uint64_t(index);
        if (item.kind != Item::Directory &&
            zip_set_file_compression(archive, i, item.options.method, 0) != 0) {
            fail("cannot set the method", archive);
        }
        if (item.kind == Item::Symlink) {
            zip_file_set_external_attributes(archive, i, 0, ZIP_OPSYS_UNIX,
                                             std::uint32_t(S_IFLNK | 0777) << 16);
        } else if (item.options.unixMode) {
            zip_file_set_external_attributes(archive, i, 0, ZIP_OPSYS_UNIX,
                                             std::uint32_t(S_IFREG | *item.options.unixMode) << 16);
        }
        if (item.options.mtime) {
            zip_file_set_mtime(archive, i, time_t(*item.options.mtime), 0);
            const std::uint32_t t = std::uint32_t(*item.options.mtime);
            const zip_uint8_t field[5] = {1, zip_uint8_t(t), zip_uint8_t(t >> 8),
                                          zip_uint8_t(t >> 16), zip_uint8_t(t >> 24)};
            zip_file_extra_field_set(archive, i, 0x5455, ZIP_EXTRA_FIELD_NEW, field, 5,
                                     ZIP_FL_LOCAL | ZIP_FL_CENTRAL);
        }
        if (!item.options.password.isEmpty() &&
            zip_file_set_encryption(archive, i, ZIP_EM_TRAD_PKWARE,
                                    item.options.password.constData()) != 0) {
            fail("cannot encrypt", archive);
        }
    }
    if (zip_close(archive) != 0) {
        fail("cannot write the archive", archive);
    }
}

RawZip::Entry RawZip::stored(const QByteArray& name, const QByteArray& content) {
    Entry e;
    e.name = name;
    e.data = content;
    e.crc = crc32Of(content);
    e.uncompressedSize = std::uint64_t(content.size());
    return e;
}

RawZip::Entry RawZip::deflated(const QByteArray& name, const QByteArray& content) {
    Entry e = stored(name, content);
    e.method = 8;
    e.data = deflateRaw(content);
    return e;
}

RawZip& RawZip::comment(const QByteArray& text) {
    Directory all;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        all.entries.push_back(i);
    }
    all.comment = text;
    return directory(all);
}

QByteArray RawZip::bytes() const {
    Bytes out;
    std::vector<std::uint64_t> offsets;
    const std::uint16_t needed = m_zip64 ? 45 : 20;
    for (const Entry& e : m_entries) {
        if (e.sameHeaderAs) {
            offsets.push_back(offsets.at(*e.sameHeaderAs));
            continue;
        }
        offsets.push_back(std::uint64_t(out.size()));
        const LocalLies& lie = e.local;
        const bool streamed = e.flags & 0x0008;
        const std::uint64_t compressed =
            lie.compressedSize.value_or(streamed ? 0 : std::uint64_t(e.data.size()));
        const std::uint64_t uncompressed =
            lie.uncompressedSize.value_or(streamed ? 0 : e.uncompressedSize);
        const QByteArray name = lie.name.value_or(e.name);
        Bytes extra;
        if (m_zip64) {
            extra.u16(1).u16(16).u64(uncompressed).u64(compressed);
        }
        out.u32(lie.signature.value_or(0x04034b50)).u16(needed).u16(lie.flags.value_or(e.flags));
        out.u16(lie.method.value_or(e.method)).u16(e.dosTime).u16(e.dosDate);
        out.u32(lie.crc.value_or(streamed ? 0 : e.crc));
        out.u32(m_zip64 ? kSaturated : std::uint32_t(compressed));
        out.u32(m_zip64 ? kSaturated : std::uint32_t(uncompressed));
        out.u16(std::uint64_t(name.size())).u16(lie.extraLength.value_or(extra.size()));
        out.raw(name).raw(extra.bytes()).raw(e.data);
        if (e.descriptor == Descriptor::Signed) {
            out.u32(0x08074b50);
        }
        if (e.descriptor != Descriptor::None) {
            out.u32(e.descriptorCrc.value_or(e.crc));
            if (m_zip64) {
                out.u64(std::uint64_t(e.data.size())).u64(e.uncompressedSize);
            } else {
                out.u32(std::uint64_t(e.data.size())).u32(e.uncompressedSize);
            }
        }
    }
    std::vector<Directory> directories = m_directories;
    if (directories.empty()) {
        directories.emplace_back();
        for (std::size_t i = 0; i < m_entries.size(); ++i) {
            directories.back().entries.push_back(i);
        }
    }
    std::vector<qsizetype> commentsToEnd;
    for (const Directory& d : directories) {
        const std::uint64_t directoryOffset = std::uint64_t(out.size());
        std::vector<std::uint64_t> headerEnds;
        for (std::size_t i : d.entries) {
            const Entry& e = m_entries.at(i);
            Bytes extra;
            if (m_zip64) {
                extra.u16(1).u16(24).u64(e.uncompressedSize).u64(std::uint64_t(e.data.size()));
                extra.u64(offsets[i]);
            }
            extra.raw(e.centralExtra);
            out.u32(0x02014b50).u16(e.versionMadeBy).u16(needed).u16(e.flags).u16(e.method);
            out.u16(e.dosTime).u16(e.dosDate).u32(e.crc);
            out.u32(m_zip64 ? kSaturated : std::uint32_t(e.data.size()));
            out.u32(m_zip64 ? kSaturated : std::uint32_t(e.uncompressedSize));
            out.u16(std::uint64_t(e.name.size())).u16(std::uint64_t(extra.size())).u16(0);
            out.u16(0).u16(0).u32(e.externalAttributes);
            out.u32(m_zip64 ? kSaturated : std::uint32_t(offsets[i]));
            out.raw(e.name).raw(extra.bytes());
            headerEnds.push_back(std::uint64_t(out.size()));
        }
        const std::size_t covered = d.covered.value_or(d.entries.size());
        const std::uint64_t directoryEnd =
            covered == 0 ? directoryOffset : headerEnds.at(covered - 1);
        const std::uint64_t size = directoryEnd - directoryOffset;
        const std::uint64_t count = d.count.value_or(covered);
        out.raw(d.leftover);
        if (m_zip64) {
            const std::uint64_t recordOffset = std::uint64_t(out.size());
            out.u32(0x06064b50).u64(44).u16(45).u16(45).u32(0).u32(0).u64(count).u64(count);
            out.u64(size).u64(directoryOffset);
            out.u32(0x07064b50).u32(0).u64(recordOffset).u32(1);
            auto low = [&](Field field, std::uint64_t value, std::uint64_t saturated) {
                if (!d.repeated32) {
                    return saturated;
                }
                return d.skewed32 == field ? value + 1 : value;
            };
            const std::uint64_t count32 = low(Field::Count, count, 0xFFFF);
            out.u32(0x06054b50).u16(0).u16(0).u16(count32).u16(count32);
            out.u32(low(Field::Size, size, kSaturated));
            out.u32(low(Field::Offset, directoryOffset, kSaturated));
        } else {
            out.u32(0x06054b50).u16(0).u16(0).u16(count).u16(count);
            out.u32(size).u32(directoryOffset);
        }
        if (d.commentToEnd) {
            commentsToEnd.push_back(out.size());
        }
        out.u16(std::uint64_t(d.comment.size())).raw(d.comment);
    }
    out.raw(m_trailing);
    QByteArray bytes = out.bytes();
    for (qsizetype at : commentsToEnd) {
        const qsizetype length = bytes.size() - at - 2;
        bytes[at] = char(length & 0xFF);
        bytes[at + 1] = char((length >> 8) & 0xFF);
    }
    return bytes;
}

void RawZip::write(const QString& hostPath) const {
    QFile file(hostPath);
    const QByteArray data = bytes();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size()) {
        fail("cannot write the raw archive");
    }
}

} // namespace testsupport

// velmarch_inflate_limit: what a batch extraction of a tree could cost at best on this
// machine. Times, over every archive below TREE:
//   - libdeflate inflate plus libdeflate_crc32 of every deflated entry, from raw data
//     read ahead into memory, on one and on two threads (CRC-32 only for stored entries);
//     then the same with ISA-L's streaming inflater in 1 MiB chunks, as the engine does;
//   - writing files of the same sizes and paths into a scratch directory on the output
//     disk: open, write, close; then also with a temporary name, timestamp and rename,
//     the protocol an extractor that never leaves a partial file behind pays per entry;
//     then as the engine does it: an unnamed file (O_TMPFILE), timestamp, link into place.
// Each figure is the best of several repetitions (--repeat, 3): the machine is shared, and
// the best run is the one closest to what the hardware allows. Between removing written
// files and writing again it waits --settle seconds (31): ext4 without a journal skips, one
// by one, inodes freed within the dirty expiry time when it allocates new ones.
//
//   velmarch_inflate_limit TREE SCRATCH [--repeat N] [--settle S]

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zip.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Entry {
    std::string path; // relative to the tree: the archive's folder, then the entry name
    std::vector<unsigned char> raw;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    bool deflated = false;
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "velmarch_inflate_limit: %s\n", message.c_str());
    std::exit(1);
}

bool isZip(const fs::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".zip";
}

// Reads every file entry of one archive, deflated entries as their raw compressed bytes.
void readArchive(const fs::path& tree, const fs::path& archive, std::vector<Entry>& entries) {
    int error = 0;
    zip_t* za = zip_open(archive.c_str(), ZIP_RDONLY, &error);
    if (!za) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, error);
        std::string message = archive.string() + ": " + zip_error_strerror(&ze);
        zip_error_fini(&ze);
        fail(message);
    }
    const std::string folder = archive.parent_path().lexically_relative(tree).string();
    const zip_int64_t count = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        if (zip_stat_index(za, zip_uint64_t(i), 0, &st) != 0)
            fail(archive.string() + ": " + zip_strerror(za));
        const std::string name = st.name;
        if (name.empty() || name.back() == '/')
            continue;
        if (st.comp_method != ZIP_CM_DEFLATE && st.comp_method != ZIP_CM_STORE)
            fail(archive.string() + ": " + name + " is neither stored nor deflated");
        Entry entry;
        entry.path = folder == "." ? name : folder + "/" + name;
        entry.size = st.size;
        entry.crc = st.crc;
        entry.deflated = st.comp_method == ZIP_CM_DEFLATE;
        entry.raw.resize(st.comp_size);
        zip_file_t* file = zip_fopen_index(za, zip_uint64_t(i), ZIP_FL_COMPRESSED);
        if (!file)
            fail(archive.string() + ": " + name + ": " + zip_strerror(za));
        const zip_int64_t got = zip_fread(file, entry.raw.data(), entry.raw.size());
        zip_fclose(file);
        if (got < 0 || zip_uint64_t(got) != st.comp_size)
            fail(archive.string() + ": " + name + ": short read");
        entries.push_back(std::move(entry));
    }
    zip_close(za);
}

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Runs work(i) for every index on `threads` threads taking indexes in turn; returns the
// wall time.
double runParallel(std::size_t count, int threads,
                   const std::function<void(int thread, std::size_t index)>& work) {
    std::atomic<std::size_t> next{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (std::size_t i = next++; i < count; i = next++)
                work(t, i);
        });
    }
    for (std::thread& thread : pool)
        thread.join();
    return seconds(start);
}

constexpr std::size_t kChunk = 1 << 20;

// Inflates one entry through ISA-L into a reused 1 MiB buffer; returns its CRC-32, or
// false when the stream is damaged or its size is wrong.
bool inflateStreaming(const Entry& e, inflate_state& state, std::vector<unsigned char>& out,
                      std::uint32_t* crc) {
    isal_inflate_init(&state);
    state.crc_flag = ISAL_DEFLATE;
    state.next_in = const_cast<unsigned char*>(e.raw.data());
    state.avail_in = std::uint32_t(e.raw.size());
    std::uint64_t produced = 0;
    *crc = 0;
    while (state.block_state != ISAL_BLOCK_FINISH) {
        state.next_out = out.data();
        state.avail_out = std::uint32_t(kChunk);
        if (isal_inflate(&state) < 0)
            return false;
        const std::size_t n = kChunk - state.avail_out;
        if (n == 0 && state.block_state != ISAL_BLOCK_FINISH)
            return false;
        *crc = libdeflate_crc32(*crc, out.data(), n);
        produced += n;
    }
    return produced == e.size;
}

// Inflates (or, for stored entries, only checks) the selected entries; the CRC is compared
// so that the figure is for work that a real extraction cannot skip. `streaming` inflates
// through ISA-L in chunks instead of one libdeflate call per entry.
double decode(const std::vector<const Entry*>& selected, int threads, std::uint64_t largest,
              bool streaming) {
    std::vector<libdeflate_decompressor*> decompressors;
    std::vector<std::unique_ptr<inflate_state>> states;
    std::vector<std::vector<unsigned char>> buffers;
    for (int t = 0; t < threads; ++t) {
        decompressors.push_back(libdeflate_alloc_decompressor());
        if (!decompressors.back())
            fail("out of memory");
        states.push_back(std::make_unique<inflate_state>());
        buffers.emplace_back(streaming ? kChunk : largest);
    }
    std::atomic<bool> bad{false};
    const double elapsed = runParallel(selected.size(), threads, [&](int t, std::size_t i) {
        const Entry& e = *selected[i];
        std::uint32_t crc;
        if (e.deflated && streaming) {
            if (!inflateStreaming(e, *states[std::size_t(t)], buffers[std::size_t(t)], &crc)) {
                bad = true;
                return;
            }
        } else if (e.deflated) {
            std::size_t actual = 0;
            const libdeflate_result r = libdeflate_deflate_decompress(
                decompressors[t], e.raw.data(), e.raw.size(), buffers[t].data(), e.size, &actual);
            if (r != LIBDEFLATE_SUCCESS || actual != e.size) {
                bad = true;
                return;
            }
            crc = libdeflate_crc32(0, buffers[t].data(), e.size);
        } else {
            crc = libdeflate_crc32(0, e.raw.data(), e.raw.size());
        }
        if (crc != e.crc)
            bad = true;
    });
    for (libdeflate_decompressor* d : decompressors)
        libdeflate_free_decompressor(d);
    if (bad)
        fail("an entry did not inflate to its size and CRC");
    return elapsed;
}

// mkdir -p that remembers what this thread made; other threads may race it (EEXIST).
void makeParents(const fs::path& file, std::unordered_set<std::string>& made) {
    const fs::path parent = file.parent_path();
    if (made.count(parent.string()))
        return;
    fs::path partial;
    for (const fs::path& part : parent) {
        partial /= part;
        if (made.insert(partial.string()).second) {
            if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
                fail(partial.string() + ": " + std::strerror(errno));
        }
    }
}

void writeAll(int fd, const unsigned char* data, std::uint64_t size, const fs::path& path) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, std::min<std::uint64_t>(size, 1 << 20));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(path.string() + ": " + std::strerror(errno));
        }
        data += n;
        size -= std::uint64_t(n);
    }
}

enum class Protocol {
    Plain,   // open, write, close
    Renamed, // a temporary name, timestamp, rename into place
    Unnamed, // an unnamed file, timestamp, link into place
};

// Links an unnamed file at `target`: by its descriptor where the kernel allows it, else
// through /proc.
bool linkUnnamed(int fd, const fs::path& target) {
    if (::linkat(fd, "", AT_FDCWD, target.c_str(), AT_EMPTY_PATH) == 0)
        return true;
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Writes a file of every entry's size at its path below `root`, by `protocol`.
double writeFiles(const std::vector<Entry>& entries, const fs::path& root, int threads,
                  Protocol protocol, const std::vector<unsigned char>& content) {
    ::sync();
    std::vector<std::unordered_set<std::string>> made(static_cast<std::size_t>(threads));
    for (auto& set : made)
        set.insert(root.string());
    return runParallel(entries.size(), threads, [&](int t, std::size_t i) {
        const Entry& e = entries[i];
        const fs::path target = root / e.path;
        makeParents(target, made[std::size_t(t)]);
        fs::path written = target;
        if (protocol == Protocol::Renamed) {
            // Appended piece by piece: GCC 12 mistakes one chained concatenation for an
            // overlapping copy (-Wrestrict) in optimised builds.
            std::string hidden(1, '.');
            hidden += target.filename().string();
            hidden += ".part";
            written.replace_filename(hidden);
        }
        const int fd =
            protocol == Protocol::Unnamed
                ? ::open(target.parent_path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644)
                : ::open(written.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0)
            fail(written.string() + ": " + std::strerror(errno));
        writeAll(fd, content.data(), e.size, written);
        if (protocol != Protocol::Plain) {
            const timespec times[2] = {{1621247400, 0}, {1621247400, 0}};
            if (::futimens(fd, times) != 0)
                fail(written.string() + ": " + std::strerror(errno));
        }
        if (protocol == Protocol::Unnamed && !linkUnnamed(fd, target))
            fail(target.string() + ": " + std::strerror(errno));
        if (::close(fd) != 0)
            fail(written.string() + ": " + std::strerror(errno));
        if (protocol == Protocol::Renamed && ::rename(written.c_str(), target.c_str()) != 0)
            fail(target.string() + ": " + std::strerror(errno));
    });
}

struct Figure {
    double best = 1e300;
    void add(double s) { best = std::min(best, s); }
};

void report(const char* what, std::uint64_t bytes, std::size_t files, double s) {
    std::printf("%-46s %8.3f s %9.1f MB/s %9.0f files/s\n", what, s, double(bytes) / 1e6 / s,
                double(files) / s);
}

} // namespace

int main(int argc, char** argv) {
    int repeat = 3;
    int settle = 31;
    std::vector<const char*> positional;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
            repeat = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--settle") == 0 && i + 1 < argc)
            settle = std::max(0, std::atoi(argv[++i]));
        else
            positional.push_back(argv[i]);
    }
    if (positional.size() != 2) {
        std::fputs("usage: velmarch_inflate_limit TREE SCRATCH [--repeat N] [--settle S]\n",
                   stderr);
        return 2;
    }
    const fs::path tree = fs::absolute(positional[0]);
    const fs::path scratchParent = fs::absolute(positional[1]);

    std::vector<fs::path> archives;
    for (const auto& item : fs::recursive_directory_iterator(tree)) {
        if (item.is_regular_file() && isZip(item.path()))
            archives.push_back(item.path());
    }
    std::sort(archives.begin(), archives.end());
    if (archives.empty())
        fail("no archives below " + tree.string());

    std::vector<Entry> entries;
    for (const fs::path& archive : archives)
        readArchive(tree, archive, entries);

    std::vector<const Entry*> deflated, stored, all;
    std::uint64_t deflatedBytes = 0, storedBytes = 0, compressed = 0, largest = 0;
    for (const Entry& e : entries) {
        (e.deflated ? deflated : stored).push_back(&e);
        (e.deflated ? deflatedBytes : storedBytes) += e.size;
        compressed += e.raw.size();
        largest = std::max(largest, e.size);
        all.push_back(&e);
    }
    const std::uint64_t total = deflatedBytes + storedBytes;
    std::printf("%zu archives, %zu files (%zu deflated, %zu stored), %.1f MB out "
                "(%.1f MB deflated, %.1f MB stored), %.1f MB compressed; best of %d\n",
                archives.size(), entries.size(), deflated.size(), stored.size(),
                double(total) / 1e6, double(deflatedBytes) / 1e6, double(storedBytes) / 1e6,
                double(compressed) / 1e6, repeat);

    for (int threads : {1, 2}) {
        Figure inflate, crc, both, streamed, streamedBoth;
        for (int r = 0; r < repeat; ++r) {
            inflate.add(decode(deflated, threads, largest, false));
            crc.add(decode(stored, threads, largest, false));
            both.add(decode(all, threads, largest, false));
            streamed.add(decode(deflated, threads, largest, true));
            streamedBoth.add(decode(all, threads, largest, true));
        }
        const std::string suffix = threads == 1 ? ", 1 thread" : ", 2 threads";
        report(("inflate+crc32, deflated entries" + suffix).c_str(), deflatedBytes, deflated.size(),
               inflate.best);
        report(("crc32, stored entries" + suffix).c_str(), storedBytes, stored.size(), crc.best);
        report(("inflate or crc32, every entry" + suffix).c_str(), total, entries.size(),
               both.best);
        report(("ISA-L 1 MiB chunks, deflated entries" + suffix).c_str(), deflatedBytes,
               deflated.size(), streamed.best);
        report(("ISA-L 1 MiB chunks, every entry" + suffix).c_str(), total, entries.size(),
               streamedBoth.best);
    }

    std::vector<unsigned char> content(largest);
    std::mt19937_64 rng(7);
    for (std::size_t i = 0; i + 8 <= content.size(); i += 8) {
        const std::uint64_t v = rng();
        std::memcpy(content.data() + i, &v, 8);
    }
    const fs::path scratch = scratchParent / ("velmarch-limit-" + std::to_string(::getpid()));
    struct Pass {
        const char* what;
        int threads;
        Protocol protocol;
    };
    const Pass passes[] = {
        {"write same files, 1 thread", 1, Protocol::Plain},
        {"write same files, 2 threads", 2, Protocol::Plain},
        {"write via temp name+mtime+rename, 1 thread", 1, Protocol::Renamed},
        {"write unnamed+mtime+link, 1 thread", 1, Protocol::Unnamed},
        {"write unnamed+mtime+link, 2 threads", 2, Protocol::Unnamed},
    };
    Figure removal;
    bool removed = false;
    for (const Pass& pass : passes) {
        Figure write;
        for (int r = 0; r < repeat; ++r) {
            if (removed)
                std::this_thread::sleep_for(std::chrono::seconds(settle));
            fs::create_directories(scratch);
            write.add(writeFiles(entries, scratch, pass.threads, pass.protocol, content));
            const auto start = std::chrono::steady_clock::now();
            fs::remove_all(scratch);
            removal.add(seconds(start));
            removed = true;
        }
        report(pass.what, total, entries.size(), write.best);
    }
    report("remove the written tree (not in the above)", total, entries.size(), removal.best);
    return 0;
}

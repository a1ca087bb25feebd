// libFuzzer target for the PPMd decoder alone. The input is two bytes of declared size, a
// byte choosing how input and output are fed, a byte that shrinks the model's memory, then
// the entry's stored bytes: the two-byte PPMd header and the stream. The header's memory is
// capped at 16 MB so that runs stay fast, and may be cut down to as little as 16 KiB so that
// a few KiB of output fill it and the model is restored again and again. Each stream is
// decoded twice, in one piece and in the chosen pieces, by two decoders that keep their
// memory from earlier inputs: both must agree on the status and the content, neither may
// hand out more than it was asked for, and neither may take input it was not given.

#include "codecs/ppmd.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>
#include <vector>

namespace {

using archive_engine::PpmdDecoder;
using Status = PpmdDecoder::Status;

constexpr std::uint32_t kMemoryCap = std::uint32_t{16} << 20;
constexpr std::uint32_t kMemoryFloor = std::uint32_t{16} << 10;
constexpr std::size_t kWhole = std::numeric_limits<std::size_t>::max();
constexpr std::array<std::size_t, 16> kPieces = {1,  2,  3,  5,   7,    8,     15,       16,
                                                 17, 31, 64, 255, 4096, 65537, 1u << 20, kWhole};

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "ppmd fuzzer: %s\n", what);
        std::abort();
    }
}

class PieceSource final : public PpmdDecoder::Source {
public:
    PieceSource(std::span<const std::uint8_t> data, std::size_t piece)
        : m_data(data), m_piece(piece) {}
    std::span<const std::uint8_t> more() override {
        check(!m_dry, "asked for more after the end");
        const std::size_t n = std::min(m_piece, m_data.size() - m_given);
        m_dry = n == 0;
        const auto piece = m_data.subspan(m_given, n);
        m_given += n;
        return piece;
    }

private:
    std::span<const std::uint8_t> m_data;
    std::size_t m_piece;
    std::size_t m_given = 0;
    bool m_dry = false;
};

struct Run {
    Status status = Status::Ok;
    std::vector<std::uint8_t> out;
};

Run decodeAll(PpmdDecoder& decoder, const PpmdDecoder::Parameters& parameters,
              std::span<const std::uint8_t> stream, std::size_t size, std::size_t inPiece,
              std::size_t outPiece) {
    Run r;
    PieceSource source(stream, inPiece);
    r.status = decoder.start(parameters, source);
    r.out.resize(size);
    std::size_t produced = 0;
    while (r.status == Status::Ok && produced < size) {
        const std::size_t want = std::min(outPiece, size - produced);
        std::size_t n = 0;
        r.status = decoder.decode(r.out.data() + produced, want, &n);
        check(n <= want, "more output than asked for");
        check(r.status != Status::Ok || n == want, "Ok with less output than asked for");
        produced += n;
    }
    r.out.resize(produced);
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kPrefix = 4 + PpmdDecoder::kHeaderSize;
    if (size < kPrefix) {
        return 0;
    }
    const std::size_t declared = data[0] | std::size_t(data[1]) << 8;
    const std::size_t inPiece = kPieces[data[2] & 15];
    const std::size_t outPiece = kPieces[data[2] >> 4];
    const unsigned shrink = data[3] & 15;
    const std::uint8_t header[PpmdDecoder::kHeaderSize] = {data[4], data[5]};
    PpmdDecoder::Parameters parameters;
    if (!PpmdDecoder::parseHeader(header, &parameters)) {
        return 0;
    }
    check(parameters.order >= PpmdDecoder::kMinOrder && parameters.order <= PpmdDecoder::kMaxOrder,
          "order out of range");
    check(parameters.memory >= (1u << 20) && parameters.memory <= PpmdDecoder::kMaxMemory,
          "memory out of range");
    parameters.memory = std::max(std::min(parameters.memory, kMemoryCap) >> shrink, kMemoryFloor);
    const std::span<const std::uint8_t> stream(data + kPrefix, size - kPrefix);

    // Kept between inputs, as the engine keeps its decoder: start() must forget everything,
    // whatever the memory holds from before.
    static PpmdDecoder whole;
    static PpmdDecoder pieces;
    const Run a = decodeAll(whole, parameters, stream, declared, kWhole, kWhole);
    const Run b = decodeAll(pieces, parameters, stream, declared, inPiece, outPiece);
    check(a.status == b.status, "status depends on the feeding");
    check(a.out == b.out, "content depends on the feeding");
    return 0;
}

// libFuzzer target for the Deflate64 decoder alone. The first byte chooses how the rest is
// fed (input and output piece sizes); the stream is decoded that way and in one piece, and
// both must agree on the status, the content and, at the end, the bytes consumed. Output is
// capped, so a stream that expands without end is cut off rather than filling memory.

#include "codecs/deflate64.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

namespace {

using archive_engine::Deflate64Decoder;
using Status = Deflate64Decoder::Status;

constexpr std::size_t kOutputCap = std::size_t{3} << 18; // past the first slide of the window
constexpr std::size_t kSmallPiecesCap = std::size_t{64} << 10;
constexpr std::size_t kWhole = std::numeric_limits<std::size_t>::max();
constexpr std::array<std::size_t, 16> kPieces = {1,  2,  3,  5,   7,    8,     15,       16,
                                                 17, 31, 64, 255, 4096, 65537, 1u << 20, kWhole};

struct Run {
    Status status = Status::NeedInput;
    std::vector<std::uint8_t> out;
    std::size_t consumed = 0;
};

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "deflate64 fuzzer: %s\n", what);
        std::abort();
    }
}

Run decodeAll(Deflate64Decoder& decoder, const std::uint8_t* data, std::size_t size,
              std::size_t inPiece, std::size_t outPiece, std::size_t cap) {
    Run r;
    r.out.resize(cap);
    std::size_t produced = 0;
    decoder.reset();
    for (;;) {
        const std::size_t inAvail = std::min(inPiece, size - r.consumed);
        const std::size_t outAvail = std::min(outPiece, cap - produced);
        const std::uint8_t* nextIn = data + r.consumed;
        std::size_t availIn = inAvail;
        std::uint8_t* nextOut = r.out.data() + produced;
        std::size_t availOut = outAvail;
        r.status = decoder.decode(nextIn, availIn, nextOut, availOut);
        check(nextIn == data + r.consumed + (inAvail - availIn),
              "input pointer and count disagree");
        check(nextOut == r.out.data() + produced + (outAvail - availOut),
              "output pointer and count disagree");
        r.consumed += inAvail - availIn;
        produced += outAvail - availOut;
        if (r.status == Status::NeedInput) {
            check(availIn == 0, "NeedInput with input left");
            if (r.consumed == size) {
                break;
            }
        } else if (r.status == Status::OutputFull) {
            check(availOut == 0, "OutputFull with room left");
            if (produced == cap) {
                break;
            }
        } else {
            break;
        }
    }
    r.out.resize(produced);
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // One decoder for every input, as the engine keeps one: reset() must forget everything.
    static Deflate64Decoder decoder;
    const std::size_t inPiece = kPieces[data[0] & 15];
    const std::size_t outPiece = kPieces[data[0] >> 4];
    // Tiny pieces cost a call per byte: they get a shorter stretch of the content.
    const std::size_t cap = std::min(inPiece, outPiece) < 16 ? kSmallPiecesCap : kOutputCap;
    const Run whole = decodeAll(decoder, data + 1, size - 1, kWhole, kWhole, kOutputCap);
    const Run pieces = decodeAll(decoder, data + 1, size - 1, inPiece, outPiece, cap);
    if (pieces.out.size() == cap && cap < kOutputCap) {
        check(whole.out.size() >= cap &&
                  std::equal(pieces.out.begin(), pieces.out.end(), whole.out.begin()),
              "content depends on the feeding");
        return 0;
    }
    check(whole.status == pieces.status, "status depends on the feeding");
    check(whole.out == pieces.out, "content depends on the feeding");
    check(whole.status != Status::End || whole.consumed == pieces.consumed,
          "consumption depends on the feeding");
    return 0;
}

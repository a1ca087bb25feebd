// PPMd (zip method 98) through our own decoder. The stream carries no length of its own
// that we rely on: decoding stops once the entry's declared size is produced, and an end
// mark before that leaves the entry short, which the size check reports.

#include "codecs/method_decoders.h"
#include "codecs/ppmd.h"

#include <algorithm>

namespace archive_engine {

namespace {

// The entry's stored bytes, a window's worth at a time, each piece marked used when the
// next is asked for.
class EntrySource final : public PpmdDecoder::Source {
public:
    explicit EntrySource(EntryInput& input) : m_input(input) {}

    std::span<const std::uint8_t> more() override {
        m_input.advance(m_taken);
        const auto bytes = m_input.peek(EntryDecoder::kChunkSize);
        m_taken = bytes.size();
        return bytes;
    }

private:
    EntryInput& m_input;
    std::size_t m_taken = 0;
};

// A model larger than this is freed after its entry: the decoders are kept from one archive
// to the next, and a model of up to 256 MB kept for a rare next PPMd entry would hold that
// memory for the rest of the batch.
constexpr std::uint32_t kKeptModelMemory = std::uint32_t{16} << 20;

class ReleaseLargeModel {
public:
    ReleaseLargeModel(DecoderState& state, std::uint32_t memory)
        : m_state(state), m_large(memory > kKeptModelMemory) {}
    ~ReleaseLargeModel() {
        if (m_large) {
            m_state.ppmd.reset();
        }
    }
    ReleaseLargeModel(const ReleaseLargeModel&) = delete;
    ReleaseLargeModel& operator=(const ReleaseLargeModel&) = delete;

private:
    DecoderState& m_state;
    const bool m_large;
};

} // namespace

DecodeResult decodePpmd(EntryInput& input, CheckedOutput& output, DecoderState& state) {
    std::uint8_t header[PpmdDecoder::kHeaderSize];
    PpmdDecoder::Parameters parameters;
    if (!input.take(header, sizeof header) || !PpmdDecoder::parseHeader(header, &parameters)) {
        return DecodeResult::Corrupted;
    }
    const ReleaseLargeModel release(state, parameters.memory);
    if (!state.ppmd) {
        state.ppmd = std::make_unique<PpmdDecoder>();
    }
    PpmdDecoder& decoder = *state.ppmd;
    EntrySource source(input);
    if (decoder.start(parameters, source) != PpmdDecoder::Status::Ok) {
        return DecodeResult::Corrupted;
    }
    std::size_t outSize = 0;
    std::uint8_t* const out = state.outputFor(output, &outSize);
    DecodeResult result = DecodeResult::Ok;
    while (output.remaining() > 0) {
        const auto want = std::size_t(std::min<std::uint64_t>(outSize, output.remaining()));
        std::size_t produced = 0;
        const PpmdDecoder::Status status = decoder.decode(out, want, &produced);
        if (produced > 0 && !output.put(out, produced, &result)) {
            return result;
        }
        if (status == PpmdDecoder::Status::EndMark) {
            break;
        }
        if (status != PpmdDecoder::Status::Ok) {
            return DecodeResult::Corrupted;
        }
    }
    return output.verdict();
}

} // namespace archive_engine

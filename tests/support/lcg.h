#pragma once

// Deterministic content for the codec tests: the fixtures' inputs are written from this
// generator and compressed by other tools, and the tests make them again to compare.

#include <cstdint>

namespace testsupport {

class Lcg {
public:
    explicit Lcg(std::uint64_t seed) : m_state(seed) {}
    std::uint32_t next() {
        m_state = m_state * 6364136223846793005u + 1442695040888963407u;
        return std::uint32_t(m_state >> 33);
    }

private:
    std::uint64_t m_state;
};

} // namespace testsupport

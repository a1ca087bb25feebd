#pragma once

// The memory of a PPMd var.I model: one block whose start is a text area recording the
// symbols seen, and whose rest is units of 12 bytes holding contexts and their symbol lists.
// The model's choices depend on where units land and on when memory runs out, so a decoder
// must place every unit exactly where the encoder did: free blocks are listed, merged, split
// and handed out in the encoder's order. Positions are offsets into the block, never
// pointers; offset 0 is "none", and the text starts a few bytes in so that no text position
// is 0.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace archive_engine::ppmd {

using Ref = std::uint32_t;

// Block sizes in units by list index: 1 to 4, then steps of 2, 3 and 4 up to 128.
constexpr std::array<std::uint8_t, 38> indexUnits() {
    std::array<std::uint8_t, 38> t{};
    unsigned units = 0;
    for (unsigned i = 0; i < t.size(); ++i) {
        units += i < 12 ? (i >> 2) + 1 : 4;
        t[i] = std::uint8_t(units);
    }
    return t;
}

// The smallest list whose blocks hold a number of units (less one).
constexpr std::array<std::uint8_t, 128> unitsIndex() {
    std::array<std::uint8_t, 128> t{};
    const auto sizes = indexUnits();
    unsigned index = 0;
    for (unsigned units = 1; units <= 128; ++units) {
        if (sizes[index] < units) {
            ++index;
        }
        t[units - 1] = std::uint8_t(index);
    }
    return t;
}

class Arena {
public:
    static constexpr unsigned kUnitSize = 12;
    static constexpr unsigned kIndexCount = 38; // block sizes from 1 to 128 units
    static constexpr std::uint32_t kTextStart = 4;

    // A block of `size` bytes, kept when it already has that size. Throws std::bad_alloc.
    void allocate(std::uint32_t size);
    // Everything free: the text empty, the units area its upper seven eighths.
    void reset();

    static unsigned unitsOf(unsigned index) { return kIndexUnits[index]; }
    static unsigned indexOf(unsigned units) { return kUnitsIndex[units - 1]; }

    // Blocks of unitsOf(index) units; 0 when memory is out.
    Ref allocUnits(unsigned index);
    // One unit for a context, from the top of the gap first.
    Ref allocContext();
    // A block of `units` units moved or cut down to `newUnits`.
    Ref shrinkUnits(Ref block, unsigned units, unsigned newUnits);
    // A block of `units` units grown by one unit; 0 when memory is out.
    Ref growUnits(Ref block, unsigned units);
    void freeUnits(Ref block, unsigned units) { insertNode(block, indexOf(units)); }
    // Frees one unit; at the bottom of the units area it goes back to the text.
    void freeUnit(Ref unit);
    // A block moved down to a free block of its size lying below it, if one does near the
    // bottom of the units area: cutting a model packs what remains towards the text.
    Ref moveUnitsDown(Ref block, unsigned units);
    // Hands free units at the bottom of the units area back to the text.
    void expandText();
    // Bytes in use by text and units.
    std::uint32_t usedBytes() const;
    // Free blocks are merged at the next shortage rather than after 8192 more.
    void mergeAtNextShortage() { m_glueCount = 0; }

    std::uint32_t size() const { return m_size; }
    std::uint8_t* bytes() { return m_block.get(); }

    Ref text = 0;       // the next text byte
    Ref unitsStart = 0; // the lowest unit
    Ref loUnit = 0;     // the gap between loUnit and hiUnit has never been used
    Ref hiUnit = 0;

private:
    static constexpr std::uint32_t kFreeStamp = 0xFFFFFFFF;

    static constexpr auto kIndexUnits = indexUnits();
    static constexpr auto kUnitsIndex = unitsIndex();

    // A free block's header in its first unit: a stamp, the next block of its list, its size.
    std::uint32_t load32(Ref at) const {
        std::uint32_t v;
        std::memcpy(&v, m_block.get() + at, 4);
        return v;
    }
    void store32(Ref at, std::uint32_t v) { std::memcpy(m_block.get() + at, &v, 4); }
    std::uint32_t stamp(Ref node) const { return load32(node); }
    Ref nextNode(Ref node) const { return load32(node + 4); }
    std::uint32_t nodeUnits(Ref node) const { return load32(node + 8); }

    void insertNode(Ref node, unsigned index);
    Ref removeNode(unsigned index);
    void splitBlock(Ref block, unsigned oldIndex, unsigned newIndex);
    void glueFreeBlocks();
    Ref allocUnitsRare(unsigned index);
    void copyUnits(Ref to, Ref from, unsigned units) {
        std::memcpy(m_block.get() + to, m_block.get() + from, std::size_t(units) * kUnitSize);
    }

    std::unique_ptr<std::uint8_t[]> m_block;
    std::uint32_t m_size = 0;
    std::uint32_t m_glueCount = 0;
    std::array<Ref, kIndexCount> m_freeList{};
    std::array<std::uint32_t, kIndexCount> m_freeCount{};
};

} // namespace archive_engine::ppmd

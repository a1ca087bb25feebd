// The PPMd var.I unit allocator. Free blocks wait in one list per size; when a size runs out
// the gap between loUnit and hiUnit is used, then a larger free block is split, then (every
// 8192 misses) neighbouring free blocks are merged, then units are taken from the top of the
// text area. Merging finds neighbours by the stamp a free block carries in its first four
// bytes, which no context or symbol list can carry: their second byte, flags or a count, is
// never 0xFF.

#include "codecs/ppmd_arena.h"

#include <algorithm>
#include <new>

namespace archive_engine::ppmd {

void Arena::allocate(std::uint32_t size) {
    if (m_block && m_size == size) {
        return;
    }
    m_block.reset();
    m_size = 0;
    m_block.reset(new std::uint8_t[kTextStart + std::size_t(size)]);
    m_size = size;
}

void Arena::reset() {
    m_freeList.fill(0);
    m_freeCount.fill(0);
    text = kTextStart;
    hiUnit = text + m_size;
    loUnit = unitsStart = hiUnit - m_size / 8 / kUnitSize * 7 * kUnitSize;
    m_glueCount = 0;
}

void Arena::insertNode(Ref node, unsigned index) {
    store32(node, kFreeStamp);
    store32(node + 4, m_freeList[index]);
    store32(node + 8, unitsOf(index));
    m_freeList[index] = node;
    ++m_freeCount[index];
}

Ref Arena::removeNode(unsigned index) {
    const Ref node = m_freeList[index];
    m_freeList[index] = nextNode(node);
    --m_freeCount[index];
    return node;
}

// Frees what lies past the first unitsOf(newIndex) units of a block of unitsOf(oldIndex).
void Arena::splitBlock(Ref block, unsigned oldIndex, unsigned newIndex) {
    const unsigned units = unitsOf(oldIndex) - unitsOf(newIndex);
    const Ref rest = block + unitsOf(newIndex) * kUnitSize;
    unsigned index = indexOf(units);
    if (unitsOf(index) != units) {
        // No list for that size: the largest smaller size, then the few units left over.
        const unsigned head = unitsOf(--index);
        insertNode(rest + head * kUnitSize, units - head - 1);
    }
    insertNode(rest, index);
}

void Arena::glueFreeBlocks() {
    m_glueCount = 1 << 13;
    m_freeCount.fill(0);
    // The last unit holds the root context and is never free; the gap is stamped so that
    // a block below it is not merged into it.
    if (loUnit != hiUnit) {
        store32(loUnit, 0);
    }

    // Every free block into one chain, each grown over the free blocks that follow it in
    // memory; those are left with a size of 0.
    Ref head = 0;
    Ref tail = 0;
    const auto link = [&](Ref node) {
        if (tail == 0) {
            head = node;
        } else {
            store32(tail + 4, node);
        }
        tail = node;
    };
    for (unsigned i = 0; i < kIndexCount; ++i) {
        Ref next = m_freeList[i];
        m_freeList[i] = 0;
        while (next != 0) {
            const Ref node = next;
            if (nodeUnits(node) != 0) {
                link(node);
                for (;;) {
                    const Ref after = node + nodeUnits(node) * kUnitSize;
                    if (stamp(after) != kFreeStamp) {
                        break;
                    }
                    store32(node + 8, nodeUnits(node) + nodeUnits(after));
                    store32(after + 8, 0);
                }
            }
            next = nextNode(node);
        }
    }
    if (tail != 0) {
        store32(tail + 4, 0);
    }

    // The chain cut back into the lists' sizes.
    while (head != 0) {
        Ref node = head;
        head = nextNode(node);
        unsigned units = nodeUnits(node);
        if (units == 0) {
            continue;
        }
        for (; units > 128; units -= 128, node += 128 * kUnitSize) {
            insertNode(node, kIndexCount - 1);
        }
        unsigned index = indexOf(units);
        if (unitsOf(index) != units) {
            const unsigned first = unitsOf(--index);
            insertNode(node + first * kUnitSize, units - first - 1);
        }
        insertNode(node, index);
    }
}

Ref Arena::allocUnitsRare(unsigned index) {
    if (m_glueCount == 0) {
        glueFreeBlocks();
        if (m_freeList[index] != 0) {
            return removeNode(index);
        }
    }
    unsigned larger = index;
    do {
        if (++larger == kIndexCount) {
            const std::uint32_t bytes = unitsOf(index) * kUnitSize;
            --m_glueCount;
            if (unitsStart - text > bytes) {
                unitsStart -= bytes;
                return unitsStart;
            }
            return 0;
        }
    } while (m_freeList[larger] == 0);
    const Ref block = removeNode(larger);
    splitBlock(block, larger, index);
    return block;
}

Ref Arena::allocUnits(unsigned index) {
    if (m_freeList[index] != 0) {
        return removeNode(index);
    }
    const std::uint32_t bytes = unitsOf(index) * kUnitSize;
    if (bytes <= hiUnit - loUnit) {
        const Ref block = loUnit;
        loUnit += bytes;
        return block;
    }
    return allocUnitsRare(index);
}

Ref Arena::allocContext() {
    if (hiUnit != loUnit) {
        hiUnit -= kUnitSize;
        return hiUnit;
    }
    if (m_freeList[0] != 0) {
        return removeNode(0);
    }
    return allocUnitsRare(0);
}

Ref Arena::shrinkUnits(Ref block, unsigned units, unsigned newUnits) {
    const unsigned oldIndex = indexOf(units);
    const unsigned newIndex = indexOf(newUnits);
    if (oldIndex == newIndex) {
        return block;
    }
    if (m_freeList[newIndex] != 0) {
        const Ref moved = removeNode(newIndex);
        copyUnits(moved, block, newUnits);
        insertNode(block, oldIndex);
        return moved;
    }
    splitBlock(block, oldIndex, newIndex);
    return block;
}

Ref Arena::growUnits(Ref block, unsigned units) {
    const unsigned index = indexOf(units);
    if (index == indexOf(units + 1)) {
        return block;
    }
    const Ref grown = allocUnits(index + 1);
    if (grown == 0) {
        return 0;
    }
    copyUnits(grown, block, units);
    insertNode(block, index);
    return grown;
}

void Arena::freeUnit(Ref unit) {
    if (unit != unitsStart) {
        insertNode(unit, 0);
    } else {
        unitsStart += kUnitSize;
    }
}

Ref Arena::moveUnitsDown(Ref block, unsigned units) {
    const unsigned index = indexOf(units);
    if (block > unitsStart + 16 * 1024 || block > m_freeList[index]) {
        return block;
    }
    const Ref moved = removeNode(index);
    copyUnits(moved, block, units);
    if (block != unitsStart) {
        insertNode(block, index);
    } else {
        unitsStart += unitsOf(index) * kUnitSize;
    }
    return moved;
}

void Arena::expandText() {
    std::array<std::uint32_t, kIndexCount> count{};
    if (loUnit != hiUnit) {
        store32(loUnit, 0);
    }
    // Free blocks at the bottom are unstamped and counted, then unlinked from their lists.
    Ref node = unitsStart;
    while (stamp(node) == kFreeStamp) {
        store32(node, 0);
        ++count[indexOf(nodeUnits(node))];
        node += nodeUnits(node) * kUnitSize;
    }
    unitsStart = node;

    for (unsigned i = 0; i < kIndexCount; ++i) {
        Ref previous = 0; // 0: the list's head
        while (count[i] != 0) {
            Ref current = previous == 0 ? m_freeList[i] : nextNode(previous);
            while (stamp(current) == 0) {
                current = nextNode(current);
                if (previous == 0) {
                    m_freeList[i] = current;
                } else {
                    store32(previous + 4, current);
                }
                --m_freeCount[i];
                if (--count[i] == 0) {
                    break;
                }
            }
            previous = current;
        }
    }
}

std::uint32_t Arena::usedBytes() const {
    std::uint32_t freeUnits = 0;
    for (unsigned i = 0; i < kIndexCount; ++i) {
        freeUnits += m_freeCount[i] * unitsOf(i);
    }
    return m_size - (hiUnit - loUnit) - (unitsStart - text) - freeUnits * kUnitSize;
}

} // namespace archive_engine::ppmd

#pragma once

#include <QtGlobal>

#include <memory>

// An array that grows at its end without ever moving what it holds: one
// thread appends, others may read every element the appender has published
// (through a release/acquire pair of its own) while it goes on growing. The
// blocks are made as the array reaches them; the table of blocks is fixed.
template <typename T, int BlockBits, qint64 Blocks>
class StableArray
{
public:
    static constexpr qint64 BlockSize = qint64(1) << BlockBits;
    static constexpr qint64 Capacity = BlockSize * Blocks;

    StableArray() : m_blocks(std::make_unique<std::unique_ptr<T[]>[]>(size_t(Blocks))) {}

    // The appender only: the element at `index`, its block made if need be
    // (new elements are value-initialised).
    T &grow(qint64 index)
    {
        std::unique_ptr<T[]> &block = m_blocks[size_t(index >> BlockBits)];
        if (!block)
            block = std::make_unique<T[]>(size_t(BlockSize));
        return block[size_t(index & (BlockSize - 1))];
    }
    // An element that grow() has reached.
    T &operator[](qint64 index) { return m_blocks[size_t(index >> BlockBits)][size_t(index & (BlockSize - 1))]; }
    const T &operator[](qint64 index) const
    {
        return m_blocks[size_t(index >> BlockBits)][size_t(index & (BlockSize - 1))];
    }

    void clear()
    {
        for (qint64 i = 0; i < Blocks && m_blocks[size_t(i)]; ++i)
            m_blocks[size_t(i)].reset();
    }

private:
    std::unique_ptr<std::unique_ptr<T[]>[]> m_blocks;
};

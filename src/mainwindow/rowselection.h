#pragma once

#include <QtGlobal>

#include <utility>
#include <vector>

// The selected rows of the received list as sorted, separate ranges, so that
// selecting a million rows (Ctrl+A, or Shift from the first to the last)
// costs one range, not a million entries.
class RowSelection
{
public:
    using Range = std::pair<int, int>; // first and last row, both selected

    void clear() { m_ranges.clear(); }
    // Only these rows.
    void select(int first, int last);
    // Row `row` in or out, the others as they are.
    void toggle(int row);
    bool contains(int row) const;
    bool isEmpty() const { return m_ranges.empty(); }
    qint64 count() const;
    const std::vector<Range> &ranges() const { return m_ranges; }

private:
    std::vector<Range> m_ranges;
};

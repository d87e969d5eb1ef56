#include "rowselection.h"

#include <algorithm>

void RowSelection::select(int first, int last)
{
    m_ranges.assign(1, {std::min(first, last), std::max(first, last)});
}

bool RowSelection::contains(int row) const
{
    // The first range that ends at or after the row.
    const auto it = std::lower_bound(m_ranges.begin(), m_ranges.end(), row,
                                     [](const Range &r, int value) { return r.second < value; });
    return it != m_ranges.end() && it->first <= row;
}

void RowSelection::toggle(int row)
{
    auto it = std::lower_bound(m_ranges.begin(), m_ranges.end(), row,
                               [](const Range &r, int value) { return r.second < value; });
    if (it != m_ranges.end() && it->first <= row) {
        // Out: the range splits around it.
        const Range range = *it;
        it = m_ranges.erase(it);
        if (row < range.second)
            it = m_ranges.insert(it, {row + 1, range.second});
        if (range.first < row)
            m_ranges.insert(it, {range.first, row - 1});
        return;
    }
    // In: joined with a neighbour it touches.
    it = m_ranges.insert(it, {row, row});
    if (it + 1 != m_ranges.end() && (it + 1)->first == row + 1) {
        it->second = (it + 1)->second;
        m_ranges.erase(it + 1);
    }
    if (it != m_ranges.begin() && (it - 1)->second == row - 1) {
        (it - 1)->second = it->second;
        m_ranges.erase(it);
    }
}

qint64 RowSelection::count() const
{
    qint64 n = 0;
    for (const Range &r : m_ranges)
        n += qint64(r.second) - r.first + 1;
    return n;
}

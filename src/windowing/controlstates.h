#pragma once

#include <QList>

#include <cstddef>
#include <string_view>
#include <variant>

class QAction;
class QWidget;

// The enabled states of a window's controls as one table: a column for each
// control, a row for each state the window's commands put it in. A row is a
// text with one character a column: '+' enables the control, '-' disables
// it, '*' enables it and gives it the keyboard focus, '.' leaves it as it
// is; blanks only space the columns out.
//
// The cells are applied from the first column to the last. Disabling the
// control that has the focus moves the focus on to the next one in the tab
// order, so the order of the columns is part of the table.
class ControlStates
{
public:
    using Control = std::variant<QWidget *, QAction *>;

    explicit ControlStates(QList<Control> columns);

    void apply(std::string_view row) const;

    // For checking a table where it is written: every row has one known
    // cell for each of `columns` columns.
    template <std::size_t Rows>
    static constexpr bool wellFormed(const std::string_view (&rows)[Rows], std::size_t columns)
    {
        for (const std::string_view row : rows) {
            std::size_t cells = 0;
            for (const char cell : row) {
                if (cell == ' ')
                    continue;
                if (cell != '+' && cell != '-' && cell != '*' && cell != '.')
                    return false;
                ++cells;
            }
            if (cells != columns)
                return false;
        }
        return true;
    }

private:
    QList<Control> m_columns;
};

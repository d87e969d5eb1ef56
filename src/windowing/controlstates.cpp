#include "controlstates.h"

#include <QAction>
#include <QWidget>

ControlStates::ControlStates(QList<Control> columns) : m_columns(std::move(columns)) {}

void ControlStates::apply(std::string_view row) const
{
    qsizetype column = 0;
    for (const char cell : row) {
        if (cell == ' ')
            continue;
        Q_ASSERT(column < m_columns.size());
        const Control &control = m_columns.at(column++);
        if (cell == '.')
            continue;
        Q_ASSERT(cell == '+' || cell == '-' || cell == '*');
        const bool enabled = cell != '-';
        std::visit([enabled](auto *c) { c->setEnabled(enabled); }, control);
        if (cell == '*')
            std::get<QWidget *>(control)->setFocus(Qt::OtherFocusReason);
    }
    Q_ASSERT(column == m_columns.size());
}

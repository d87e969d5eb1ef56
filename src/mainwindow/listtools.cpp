#include "listtools.h"

#include "mainwindow/receivedlistview.h"
#include "mainwindow/receivedmodel.h"
#include "engine/probesettings.h"

#include <QAction>
#include <QGroupBox>
#include <QHeaderView>
#include <QShortcut>

#include <algorithm>

namespace {
using ListColumns::Column;

QString menuCaption(Column column)
{
    switch (column) {
    case Column::Time: return QStringLiteral("&Time");
    case Column::Size: return QStringLiteral("&Size");
    case Column::Type: return QStringLiteral("T&ype");
    case Column::ControlId: return QStringLiteral("&Control ID");
    case Column::Answer: return QStringLiteral("&Answer");
    case Column::From: return QStringLiteral("&From");
    }
    return {};
}

// QList's own == hands two empty lists' null data to memcmp.
bool sameColumns(const QList<Column> &a, const QList<Column> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// Wide enough for what the column usually holds, in the list's font.
QString widestUsual(Column column)
{
    switch (column) {
    case Column::Time: return QStringLiteral("00:00:00.000");
    case Column::Size: return QStringLiteral("10000000");
    // With its message structure, as senders of results send it.
    case Column::Type: return QStringLiteral("ORU^R01^ORU_R01");
    case Column::ControlId: return QStringLiteral("MSG0000000");
    // The longest an answer rule's outcome shows as.
    case Column::Answer: return QStringLiteral("ACK: none");
    // An IPv4 sender's, the most usual; a longer IPv6 one is cut.
    case Column::From: return QStringLiteral("192.168.100.100 port 65535");
    }
    return {};
}
} // namespace

ListTools::ListTools(QGroupBox &frame, ReceivedListView &list, ReceivedModel &model, ProbeSettings &settings)
    : QObject(&list), m_list(list), m_model(model), m_settings(settings)
{
    QHeaderView *header = list.horizontalHeader();
    for (const Column column : ListColumns::All) {
        auto *action = new QAction(menuCaption(column), header);
        action->setObjectName(QStringLiteral("mnuColumn") + ListColumns::key(column));
        action->setCheckable(true);
        header->addAction(action);
        connect(action, &QAction::triggered, this, &ListTools::chosenChanged);
        m_actions << action;
    }
    header->setContextMenuPolicy(Qt::ActionsContextMenu);

    auto *focusList = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_L), list.window());
    focusList->setObjectName(QStringLiteral("keyFocusList"));
    connect(focusList, &QShortcut::activated, &list, [&list] { list.setFocus(Qt::ShortcutFocusReason); });
    frame.setToolTip(QStringLiteral("Received messages: Alt+L takes the keyboard to the list; "
                                    "right-click its header for more columns"));

    show(ListColumns::fromKey(settings.options().listColumns.join(QLatin1Char(','))));
    connect(&settings, &ProbeSettings::changed, this, &ListTools::showSettings);
}

void ListTools::showSettings()
{
    // Only a change of the columns themselves: showing them again would undo
    // the widths the operator dragged.
    const QList<Column> columns = ListColumns::fromKey(m_settings.options().listColumns.join(QLatin1Char(',')));
    QList<Column> shown;
    for (const Column column : ListColumns::All)
        if (columns.contains(column))
            shown << column;
    if (!sameColumns(shown, m_model.columns()))
        show(shown);
}

QAction *ListTools::action(Column column) const
{
    return m_actions.at(int(column));
}

void ListTools::setChosen(const QList<Column> &columns)
{
    show(columns);
    chosenChanged();
}

void ListTools::show(const QList<Column> &columns)
{
    for (const Column column : ListColumns::All)
        action(column)->setChecked(columns.contains(column));
    QList<Column> shown;
    for (const Column column : ListColumns::All)
        if (columns.contains(column))
            shown << column;
    m_model.setColumns(shown);
    const QFontMetrics metrics(m_list.font());
    for (int i = 0; i < shown.size(); ++i)
        m_list.setColumnWidth(i + 1, qMax(metrics.horizontalAdvance(widestUsual(shown.at(i))),
                                          metrics.horizontalAdvance(ListColumns::title(shown.at(i))))
                                             + 16);
}

void ListTools::chosenChanged()
{
    QList<Column> chosen;
    for (const Column column : ListColumns::All)
        if (action(column)->isChecked())
            chosen << column;
    if (!sameColumns(chosen, m_model.columns()))
        show(chosen);
    m_settings.setListColumns(ListColumns::toKey(chosen).split(QLatin1Char(','), Qt::SkipEmptyParts));
}

#include "messagecommands.h"

#include "store/messagestore.h"
#include "mainwindow/findwindow.h"
#include "mainwindow/messagedetails.h"
#include "mainwindow/messagetext.h"
#include "mainwindow/messageviewer.h"
#include "mainwindow/receivedlistview.h"
#include "mainwindow/selectionjob.h"
#include "windowing/windowing.h"

#include <QAction>

namespace {
QAction *rowAction(ReceivedListView &list, const char *codeName, const QString &caption)
{
    auto *action = new QAction(caption, &list);
    action->setObjectName(QLatin1String(codeName));
    action->setEnabled(false);
    list.addAction(action);
    return action;
}
} // namespace

MessageCommands::MessageCommands(ReceivedListView &list, const MessageStore &store,
                                 Windowing &windowing)
    : m_list(list), m_store(store), m_windowing(windowing)
{
    mnuView = rowAction(list, "mnuRowView", QStringLiteral("&View"));
    mnuCopy = rowAction(list, "mnuRowCopy", QStringLiteral("&Copy"));
    mnuCopy->setShortcut(QKeySequence::Copy);
    mnuCopy->setShortcutContext(Qt::WidgetShortcut);
    mnuSaveAs = rowAction(list, "mnuRowSaveAs", QStringLiteral("Save &As..."));
    mnuFind = rowAction(list, "mnuRowFind", QStringLiteral("&Find..."));
    mnuFind->setShortcut(QKeySequence::Find);
    mnuFind->setShortcutContext(Qt::WidgetShortcut);
    mnuFind->setEnabled(true);
    m_find = std::make_unique<FindWindow>(list, store);
    connect(mnuFind, &QAction::triggered, m_find.get(), &FindWindow::open);
    // A right-click selects the row under it first, so the menu is that row's.
    list.setContextMenuPolicy(Qt::ActionsContextMenu);

    connect(&list, &ReceivedListView::currentRowChanged, this, [this](int row) {
        for (QAction *action : {mnuView, mnuCopy, mnuSaveAs})
            action->setEnabled(row >= 0);
    });
    connect(&list, &ReceivedListView::selectionChanged, this, [this] {
        for (QAction *action : {mnuCopy, mnuSaveAs})
            action->setEnabled(m_list.currentRow() >= 0 || !m_list.selection().isEmpty());
    });
    connect(&list, &ReceivedListView::activated, this, &MessageCommands::view);
    connect(mnuView, &QAction::triggered, this, [this] { view(m_list.currentRow()); });
    connect(mnuCopy, &QAction::triggered, this, [this] { copy(m_list.currentRow()); });
    connect(mnuSaveAs, &QAction::triggered, this, [this] { saveAs(m_list.currentRow()); });
}

MessageCommands::~MessageCommands() = default;

bool MessageCommands::holds(int row) const
{
    return row >= 0 && row < m_store.size();
}

void MessageCommands::view(int row)
{
    if (!holds(row))
        return;
    if (!m_viewer) {
        m_viewer = std::make_unique<MessageViewer>(m_windowing);
        m_viewer->setTextSetting(m_textSetting);
        m_find->attach(m_viewer.get());
    }
    const std::optional<QByteArray> message = read(row);
    if (!message)
        return;
    if (!m_viewer->isVisible())
        placeOver(*m_viewer, m_list.window());
    m_viewer->showMessage(row + 1, *message);
    const MessageDetails details = messageDetails(m_store, row, m_viewer->palette());
    m_viewer->setDetails(details.rich, details.plain);
}

void MessageCommands::copy(int row) const
{
    RowSelection rows = m_list.selection();
    if (rows.count() <= 1) {
        if (!holds(row))
            return;
        rows.select(row, row);
    }
    // Told before anything is read: the bytes alone are past the limit.
    if (bytesOfRows(m_store.reader(), rows.ranges()) > MessageText::ClipboardLimit) {
        m_windowing.notice(m_list.window(), tooLargeToCopy(rows.count() > 1));
        return;
    }
    auto *self = const_cast<MessageCommands *>(this);
    if (rows.count() > 1 || m_store.sizeOf(row) > CopiedAtOnce)
        SelectionJob::start(self, m_list.window(), m_windowing, m_store.reader(), rows, m_textSetting);
    else if (const std::optional<QByteArray> message = read(row))
        copyMessage(*message, m_textSetting);
}

void MessageCommands::saveAs(int row)
{
    if (m_list.selection().count() > 1) {
        // Several at once, in the log's form: each message, then CR LF.
        const QString path = m_windowing.chooseSaveFile(m_list.window(), QStringLiteral("messages.txt"));
        if (!path.isEmpty())
            SelectionJob::start(const_cast<MessageCommands *>(this), m_list.window(), m_windowing, m_store.reader(),
                                m_list.selection(), m_textSetting, path);
    } else if (const std::optional<QByteArray> message = holds(row) ? read(row) : std::nullopt) {
        saveMessageAs(m_list.window(), m_windowing, row + 1, *message);
    }
}

void MessageCommands::setTextSetting(const Charsets::Setting &setting)
{
    m_textSetting = setting;
    if (m_viewer)
        m_viewer->setTextSetting(setting);
}

std::optional<QByteArray> MessageCommands::read(int row) const
{
    ReadResult read = m_store.message(row);
    if (read.ok())
        return std::move(read.bytes);
    m_windowing.notice(m_list.window(), QStringLiteral("Message %1 could not be read: %2").arg(row + 1).arg(read.reason()));
    return std::nullopt;
}

void MessageCommands::stopReading()
{
    m_find->stop();
    // A job deleted before it is done cancels and waits for its thread.
    qDeleteAll(findChildren<SelectionJob *>(Qt::FindDirectChildrenOnly));
}

#include "findwindow.h"

#include "system/diskturns.h"
#include "engine/textfind.h"
#include "store/messagestore.h"
#include "mainwindow/receivedlistview.h"
#include "windowing/classiclook.h"
#include "windowing/controls.h"
#include "windowing/windowing.h"

#include <QAction>
#include <QBoxLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QScreen>
#include <QThread>

#include <limits>

namespace {
// The most of the text looked for that the window repeats: a text of
// megabytes is still searched whole, but shown cut short.
constexpr qsizetype EchoedCharacters = 64;

QString echoed(const QString &text)
{
    return text.size() <= EchoedCharacters ? text : text.first(EchoedCharacters) + QChar(0x2026);
}
} // namespace

FindWindow::FindWindow(ReceivedListView &list, const MessageStore &store)
    : QWidget(list.window(), Qt::Tool), m_list(list), m_store(store)
{
    setObjectName(QStringLiteral("frmFind"));
    setWindowTitle(QStringLiteral("Find"));
    setPalette(ClassicLook::palette());
    setFont(ClassicLook::formFont());
    setAutoFillBackground(true);

    txtFind = Controls::named(new QLineEdit(this), "txtFind", QStringLiteral("Find what"));
    // A pasted segment is looked for whole, past the box's usual 32767 characters.
    txtFind->setMaxLength(std::numeric_limits<int>::max());
    chkMatchCase = Controls::named(new QCheckBox(QStringLiteral("Match &case"), this), "chkMatchCase",
                                   QStringLiteral("Match case"));
    cmdFindNext = Controls::button(this, "cmdFindNext", QStringLiteral("Find &Next"),
                                   QStringLiteral("Find the next message that holds the text (Enter, F3)"));
    cmdFindPrevious = Controls::button(this, "cmdFindPrevious", QStringLiteral("Find &Previous"),
                                       QStringLiteral("Find the previous one (Shift+Enter, Shift+F3)"));
    cmdCancel = Controls::button(this, "cmdCancel", QStringLiteral("Cancel"),
                                 QStringLiteral("Stop searching"), false);
    lblFindStatus = Controls::label(this, "lblFindStatus", QString());
    // What it says wraps and never widens the window: the buttons stay in sight.
    lblFindStatus->setWordWrap(true);
    QSizePolicy wrapping(QSizePolicy::Ignored, QSizePolicy::Preferred);
    wrapping.setHeightForWidth(true);
    lblFindStatus->setSizePolicy(wrapping);
    cmdFindNext->setDefault(true);

    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("Find:"), this));
    row->addWidget(txtFind, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(chkMatchCase);
    buttons->addStretch();
    for (QPushButton *b : {cmdFindNext, cmdFindPrevious, cmdCancel})
        buttons->addWidget(b);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addLayout(buttons);
    layout->addWidget(lblFindStatus);

    connect(cmdFindNext, &QPushButton::clicked, this, &FindWindow::findNext);
    connect(cmdFindPrevious, &QPushButton::clicked, this, &FindWindow::findPrevious);
    connect(cmdCancel, &QPushButton::clicked, this, &FindWindow::cancel);
    connect(txtFind, &QLineEdit::textChanged, this, [this](const QString &text) {
        cmdFindNext->setEnabled(!text.isEmpty());
        cmdFindPrevious->setEnabled(!text.isEmpty());
    });
    cmdFindNext->setEnabled(false);
    cmdFindPrevious->setEnabled(false);
    attach(this);
    attach(&list);
    // A moment's search shows nothing; a longer one its progress.
    m_progressTimer.setInterval(250);
    connect(&m_progressTimer, &QTimer::timeout, this, [this] {
        if (m_progress)
            lblFindStatus->setText(QStringLiteral("Searching... %1 %").arg(m_progress->perMille.load() / 10));
    });
}

FindWindow::~FindWindow()
{
    stop();
}

void FindWindow::attach(QWidget *widget)
{
    const auto shortcut = [&](const QKeySequence &keys, auto slot) {
        auto *s = new QShortcut(keys, widget);
        s->setContext(widget->isWindow() ? Qt::WindowShortcut : Qt::WidgetShortcut);
        connect(s, &QShortcut::activated, this, slot);
    };
    if (widget != this && widget != &m_list) // the list's is its menu item's
        shortcut(QKeySequence::Find, &FindWindow::open);
    shortcut(QKeySequence(Qt::Key_F3), &FindWindow::findNext);
    shortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), &FindWindow::findPrevious);
}

void FindWindow::open()
{
    if (const QScreen *shown = m_list.screen())
        setMaximumWidth(shown->availableGeometry().width());
    if (!isVisible())
        placeOver(*this, m_list.window());
    show();
    raise();
    activateWindow();
    txtFind->setFocus();
    txtFind->selectAll();
}

void FindWindow::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        find(event->modifiers() & Qt::ShiftModifier);
        return;
    case Qt::Key_Escape:
        close();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void FindWindow::closeEvent(QCloseEvent *event)
{
    cancel();
    QWidget::closeEvent(event);
    // The focus goes back to where the operator was looking.
    m_list.window()->activateWindow();
    m_list.setFocus(Qt::OtherFocusReason);
}

void FindWindow::find(bool backward)
{
    if (txtFind->text().isEmpty()) {
        open();
        return;
    }
    if (m_thread)
        return; // one search at a time
    m_text = txtFind->text();
    m_request = TextFind::requestFor(m_text, chkMatchCase->isChecked(), textSetting());
    m_request.backward = backward;
    m_request.fromRow = m_list.currentRow();
    m_progress = std::make_unique<FindProgress>();
    m_result = {};
    cmdCancel->setEnabled(true);
    lblFindStatus->clear();
    m_thread = QThread::create([this, progress = m_progress.get(), request = m_request, reader = m_store.reader()] {
        takeLowestOrdinaryDiskTurns();
        m_result = findMessage(reader, request, *progress);
    });
    connect(m_thread, &QThread::finished, this, &FindWindow::searchDone);
    // The idle class (SCHED_IDLE): a message that arrives takes the core from
    // the search at once, so answers never wait behind it.
    m_thread->start(QThread::IdlePriority);
    m_progressTimer.start();
}

void FindWindow::cancel()
{
    if (m_progress)
        m_progress->cancel = true;
}

void FindWindow::stop()
{
    if (!m_thread)
        return;
    cancel();
    m_thread->wait();
    delete std::exchange(m_thread, nullptr);
}

void FindWindow::searchDone()
{
    stop();
    m_progressTimer.stop();
    cmdCancel->setEnabled(false);
    const QString text = echoed(m_text);
    // A part that could not be read may hold the text too: that is told first.
    const QString unread = m_result.unreadReason.isEmpty()
                               ? QString()
                               : QStringLiteral("Part of the messages could not be read (%1). ").arg(m_result.unreadReason);
    if (m_result.cancelled) {
        lblFindStatus->setText(QStringLiteral("Search cancelled."));
    } else if (m_result.row < 0) {
        lblFindStatus->setText(unread.isEmpty() ? QStringLiteral("\"%1\" was not found.").arg(text)
                                                : unread + QStringLiteral("\"%1\" was not found in the rest.").arg(text));
    } else {
        m_list.setCurrentRow(int(m_result.row));
        const QString found = QStringLiteral("Found in message %1").arg(m_result.row + 1);
        lblFindStatus->setText(unread
                               + (!m_result.wrapped ? found + QLatin1Char('.')
                                  : m_request.backward
                                      ? found + QStringLiteral(", passing the start of the list.")
                                      : found + QStringLiteral(", passing the end of the list.")));
    }
    emit searchEnded();
}

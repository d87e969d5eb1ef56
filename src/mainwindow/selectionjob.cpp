#include "selectionjob.h"

#include "system/diskturns.h"
#include "files/savefile.h"
#include "mainwindow/messagetext.h"
#include "windowing/windowing.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>

QString unreadMessage(qint64 row, const ReadResult &read)
{
    return QStringLiteral("message %1 could not be read (%2)").arg(row + 1).arg(read.reason());
}

CopiedRows copyTextOfRows(const MessageReader &store, const std::vector<RowSelection::Range> &rows,
                          SelectionProgress &progress)
{
    QString text;
    bool first = true;
    for (const auto &[from, to] : rows) {
        for (qint64 row = from; row <= to && !progress.cancel; ++row) {
            const ReadResult read = store.message(row);
            if (!read.ok())
                return {QString(), unreadMessage(row, read)};
            const QString one = MessageText::copyText(QString::fromLatin1(read.bytes));
            if (!first)
                text += text.endsWith(QLatin1Char('\n')) ? QStringLiteral("\n") : QStringLiteral("\n\n");
            text += one;
            first = false;
            progress.rowsDone.fetch_add(1, std::memory_order_relaxed);
        }
    }
    return {text, QString()};
}

QString saveRowsInLogForm(const MessageReader &store, const std::vector<RowSelection::Range> &rows,
                          const QString &path, SelectionProgress &progress)
{
    SaveStream file(path);
    for (const auto &[from, to] : rows) {
        for (qint64 row = from; row <= to && !progress.cancel; ++row) {
            const ReadResult read = store.message(row);
            // Not committed: a file being replaced stays as it was.
            if (!read.ok())
                return unreadMessage(row, read);
            if (!file.write(read.bytes) || !file.write("\r\n"))
                return *file.failure();
            progress.rowsDone.fetch_add(1, std::memory_order_relaxed);
        }
    }
    // A cancelled save leaves a file as it was (what went into a FIFO is gone).
    if (progress.cancel)
        return {};
    return file.commit().value_or(QString());
}

SelectionJob::SelectionJob(QObject *owner, QWidget *window, Windowing &windowing, qint64 rows)
    : QObject(owner), m_window(window), m_windowing(windowing)
{
    m_dialog = new QProgressDialog(QString(), QStringLiteral("Cancel"), 0, 1000, window);
    m_dialog->setWindowModality(Qt::NonModal);
    m_dialog->setMinimumDuration(500);
    m_dialog->setAutoClose(false);
    m_dialog->setAutoReset(false);
    connect(m_dialog, &QProgressDialog::canceled, this, [this] { m_progress.cancel = true; });
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, rows] {
        if (m_dialog)
            m_dialog->setValue(int(m_progress.rowsDone.load() * 1000 / qMax<qint64>(1, rows)));
    });
    timer->start(100);
}

SelectionJob *SelectionJob::start(QObject *owner, QWidget *window, Windowing &windowing,
                                  MessageReader store, const RowSelection &selection,
                                  const QString &savePath)
{
    auto *job = new SelectionJob(owner, window, windowing, selection.count());
    job->m_savePath = savePath;
    job->m_dialog->setLabelText(savePath.isEmpty() ? QStringLiteral("Copying %1 messages...").arg(selection.count())
                                                   : QStringLiteral("Saving %1 messages...").arg(selection.count()));
    job->m_dialog->setValue(0);
    job->m_thread = QThread::create([job, store = std::move(store), rows = selection.ranges()] {
        takeLowestOrdinaryDiskTurns();
        job->m_result = job->m_savePath.isEmpty()
                            ? copyTextOfRows(store, rows, job->m_progress)
                            : CopiedRows{QString(), saveRowsInLogForm(store, rows, job->m_savePath, job->m_progress)};
    });
    connect(job->m_thread, &QThread::finished, job, &SelectionJob::done);
    // As the search: in the idle class, so answers never wait behind it.
    job->m_thread->start(QThread::IdlePriority);
    return job;
}

SelectionJob::~SelectionJob()
{
    if (m_thread) {
        m_progress.cancel = true;
        m_thread->wait();
        delete m_thread;
    }
    delete m_dialog;
}

void SelectionJob::done()
{
    // Its work is over; joining it orders its result before what follows.
    m_thread->wait();
    if (m_dialog)
        m_dialog->hide();
    const bool cancelled = m_progress.cancel;
    if (!m_result.failure.isEmpty())
        m_windowing.notice(m_window, m_savePath.isEmpty()
                                         ? QStringLiteral("The messages could not be copied: %1").arg(m_result.failure)
                                         : QStringLiteral("The messages could not be saved to %1: %2")
                                               .arg(m_savePath, m_result.failure));
    else if (m_savePath.isEmpty() && !cancelled)
        QGuiApplication::clipboard()->setText(m_result.text);
    emit finished();
    deleteLater();
}

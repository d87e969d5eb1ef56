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

#include <algorithm>
#include <utility>

QString unreadMessage(qint64 row, const ReadResult &read)
{
    return QStringLiteral("message %1 could not be read (%2)").arg(row + 1).arg(read.reason());
}

qint64 bytesOfRows(const MessageReader &store, const std::vector<RowSelection::Range> &rows)
{
    qint64 bytes = 0;
    for (const auto &[from, to] : rows)
        bytes += store.offsetOf(qint64(to) + 1) - store.offsetOf(from);
    return bytes;
}

QString tooLargeToCopy(bool several)
{
    return several ? QStringLiteral("The selected messages come to more than 64 MiB of text, too much for the "
                                    "clipboard. Use Save As... to save them to a file.")
                   : QStringLiteral("The message comes to more than 64 MiB of text, too much for the "
                                    "clipboard. Use Save As... to save it to a file.");
}

CopiedRows copyTextOfRows(const MessageReader &store, const std::vector<RowSelection::Range> &rows,
                          SelectionProgress &progress, qsizetype limit, const Charsets::Setting &setting)
{
    const CopiedRows tooLarge{QString(), QString(), true};
    const qint64 bytes = bytesOfRows(store, rows);
    if (bytes > limit)
        return tooLarge;
    qint64 count = 0;
    for (const auto &[from, to] : rows)
        count += to - from + 1;
    QString text;
    // The bytes and the empty lines between, at once; only marks need more.
    text.reserve(qsizetype(std::min<qint64>(bytes + 2 * count, limit)));
    bool first = true;
    for (const auto &[from, to] : rows) {
        for (qint64 row = from; row <= to; ++row) {
            if (progress.cancel)
                return {};
            const ReadResult read = store.message(row);
            if (!read.ok())
                return {QString(), unreadMessage(row, read)};
            if (!first) {
                const QLatin1StringView between(text.endsWith(QLatin1Char('\n')) ? "\n" : "\n\n");
                if (between.size() > limit - text.size())
                    return tooLarge;
                text += between;
            }
            if (!MessageText::appendCopyText(text, read.bytes, limit, setting))
                return tooLarge;
            first = false;
            progress.rowsDone.fetch_add(1, std::memory_order_relaxed);
        }
    }
    // What the marks added past the reserve may have left spare room.
    text.squeeze();
    return {std::move(text), QString()};
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

SelectionJob::SelectionJob(QObject *owner, QWidget *window, Windowing &windowing, qint64 rows,
                           const QString &savePath)
    : QObject(owner), m_window(window), m_windowing(windowing), m_rows(rows), m_savePath(savePath)
{
    const QString what = rows == 1 ? QStringLiteral("the message") : QStringLiteral("%1 messages").arg(rows);
    m_dialog = new QProgressDialog(savePath.isEmpty() ? QStringLiteral("Copying %1...").arg(what)
                                                      : QStringLiteral("Saving %1...").arg(what),
                                   QStringLiteral("Cancel"), 0, 1000, window);
    m_dialog->setWindowModality(Qt::NonModal);
    m_dialog->setMinimumDuration(500);
    m_dialog->setAutoClose(false);
    m_dialog->setAutoReset(false);
    m_dialog->setValue(0);
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
                                  const Charsets::Setting &setting, const QString &savePath)
{
    auto *job = new SelectionJob(owner, window, windowing, selection.count(), savePath);
    job->run([store = std::move(store), rows = selection.ranges(), setting, savePath](SelectionProgress &progress) {
        return savePath.isEmpty() ? copyTextOfRows(store, rows, progress, MessageText::ClipboardLimit, setting)
                                  : CopiedRows{QString(), saveRowsInLogForm(store, rows, savePath, progress)};
    });
    return job;
}

SelectionJob *SelectionJob::copyText(QObject *owner, QWidget *window, Windowing &windowing,
                                     QString message)
{
    auto *job = new SelectionJob(owner, window, windowing, 1, QString());
    job->run([message = std::move(message)](SelectionProgress &) {
        QString text;
        text.reserve(qMin(message.size(), MessageText::ClipboardLimit));
        if (!MessageText::appendCopyText(text, message, MessageText::ClipboardLimit))
            return CopiedRows{QString(), QString(), true};
        text.squeeze();
        return CopiedRows{std::move(text), QString()};
    });
    return job;
}

void SelectionJob::run(std::function<CopiedRows(SelectionProgress &)> work)
{
    m_thread = QThread::create([this, work = std::move(work)] {
        takeLowestOrdinaryDiskTurns();
        m_result = work(m_progress);
    });
    connect(m_thread, &QThread::finished, this, &SelectionJob::done);
    // As the search: in the idle class, so answers never wait behind it.
    m_thread->start(QThread::IdlePriority);
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
    if (m_result.tooLarge)
        m_windowing.notice(m_window, tooLargeToCopy(m_rows > 1));
    else if (!m_result.failure.isEmpty())
        m_windowing.notice(m_window, m_savePath.isEmpty()
                                         ? (m_rows > 1 ? QStringLiteral("The messages could not be copied: %1")
                                                       : QStringLiteral("The message could not be copied: %1"))
                                               .arg(m_result.failure)
                                         : QStringLiteral("The messages could not be saved to %1: %2")
                                               .arg(m_savePath, m_result.failure));
    else if (m_savePath.isEmpty() && !cancelled)
        // Handed over, not copied: the clipboard holds the only reference.
        QGuiApplication::clipboard()->setText(std::exchange(m_result.text, QString()));
    emit finished();
    deleteLater();
}

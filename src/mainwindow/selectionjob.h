#pragma once

#include "mainwindow/messagetext.h"
#include "mainwindow/rowselection.h"
#include "store/messagereader.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class QProgressDialog;
class QThread;
class QWidget;
class Windowing;

// Copy and Save As... for several selected rows, on a thread of their own
// that reads the store while messages go on arriving and being answered.
// These two do the work; each checks `cancel` and counts the rows done.
struct SelectionProgress
{
    std::atomic<bool> cancel{false};
    std::atomic<qint64> rowsDone{0};
};
// Each message in the copy form (MessageText::copyText), decoded in the set
// `setting` gives it, one empty line between; or, at the first message that cannot be read, no text and why;
// or no text once it would grow past `limit` characters.
struct CopiedRows
{
    QString text;
    QString failure;
    bool tooLarge = false;
};
CopiedRows copyTextOfRows(const MessageReader &store, const std::vector<RowSelection::Range> &rows,
                          SelectionProgress &progress, qsizetype limit = MessageText::ClipboardLimit,
                          const Charsets::Setting &setting = {});
// The rows' bytes in the store, from where each begins: nothing is read. The
// copy form is about as long, so this tells early a Copy that would be too large.
qint64 bytesOfRows(const MessageReader &store, const std::vector<RowSelection::Range> &rows);
// A message up to this size is copied at once on the window's thread; a
// larger one, like several, by a SelectionJob.
constexpr qsizetype CopiedAtOnce = qsizetype(1) << 20;
// Why a Copy of one message or of several (`several`) was refused for its size.
QString tooLargeToCopy(bool several);
// Each message's bytes and CR LF, as the transaction log holds them, by the
// rules of a single Save As (SaveStream): a file is replaced whole or not at
// all (not when a message cannot be read), a FIFO or a device written into.
// Empty, or why not.
QString saveRowsInLogForm(const MessageReader &store, const std::vector<RowSelection::Range> &rows,
                          const QString &path, SelectionProgress &progress);
// Why message `row` (from 0) could not be read, for the operator.
QString unreadMessage(qint64 row, const ReadResult &read);

// One such job with its progress window (shown when it takes more than a
// moment, with Cancel); it deletes itself once done.
class SelectionJob : public QObject
{
    Q_OBJECT

public:
    // Copies to the clipboard (each message decoded as `setting` says), or,
    // with a path, saves there. The owner deletes an unfinished job
    // (cancelling it) before it clears the store.
    static SelectionJob *start(QObject *owner, QWidget *window, Windowing &windowing, MessageReader store,
                               const RowSelection &selection, const Charsets::Setting &setting,
                               const QString &savePath = {});
    // Copies one message held in memory as decoded (the viewer's) to the clipboard.
    static SelectionJob *copyText(QObject *owner, QWidget *window, Windowing &windowing, QString message);
    ~SelectionJob() override;

signals:
    void finished();

private:
    SelectionJob(QObject *owner, QWidget *window, Windowing &windowing, qint64 rows, const QString &savePath);
    void run(std::function<CopiedRows(SelectionProgress &)> work);
    void done();

    QWidget *m_window;
    Windowing &m_windowing;
    QThread *m_thread = nullptr;
    QPointer<QProgressDialog> m_dialog; // a child of the window, which may go first
    SelectionProgress m_progress;
    qint64 m_rows;
    QString m_savePath;
    CopiedRows m_result; // the text copied, or why the copy or the save failed
};

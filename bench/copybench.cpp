// Copy of a selection just under the clipboard's limit: the peak memory it
// takes, the longest the window's thread (the answering thread) is held
// while it runs, and what the clipboard holds once it is done.
//
//   cmake --build build --target bench_copy
//   QT_QPA_PLATFORM=offscreen build/bench/bench_copy [message bytes]
//
// With BENCH_IDLE set it copies nothing and only holds the window for as
// long, for the window thread's longest hold on this machine at rest.

#include "mainwindow/messagecommands.h"
#include "mainwindow/messagetext.h"
#include "mainwindow/receivedlistview.h"
#include "mainwindow/receivedmodel.h"
#include "mainwindow/selectionjob.h"
#include "store/messagestore.h"
#include "windowing/windowing.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {
// VmHWM (the peak) or VmRSS, in KiB.
long statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLong();
    return -1;
}

// Clears the peak, so that VmHWM tells of what follows alone.
void resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

class SilentWindowing : public QtWindowing
{
public:
    void notice(QWidget *, const QString &text, const QString &) override
    {
        std::printf("notice: %s\n", qPrintable(text));
    }
};
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const qsizetype size = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1000;

    // Framed messages of `size` bytes, CR-ended segments: the text is about
    // their bytes, and the selection stays just under the limit.
    QTemporaryDir spill;
    MessageStore store({spill.path()});
    QByteArray message = "\x0bMSH|^~\\&|BENCH|LAB\rOBX|1|TX|";
    message += QByteArray(size - message.size() - 4, 'x') + "\r\x1c\r";
    const qint64 count = (MessageText::ClipboardLimit - 4096) / message.size();
    for (qint64 i = 0; i < count; ++i) {
        store.append(message);
        store.spillIfDue();
    }
    ReceivedModel model(store);
    model.messagesAdded();
    QWidget window;
    auto *list = new ReceivedListView(&window);
    list->setModel(&model);
    list->setItemDelegate(new ReceivedRowDelegate(list));
    SilentWindowing windowing;
    MessageCommands commands(*list, store, windowing);
    window.show();
    list->selectAll();
    QCoreApplication::processEvents();

    const long before = statusKiB("VmRSS:");
    resetPeak();
    QElapsedTimer run;
    QElapsedTimer tick;
    qint64 longestTick = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestTick = std::max(longestTick, tick.restart());
    });
    ticker.start(1);
    tick.start();
    run.start();
    if (qEnvironmentVariableIsSet("BENCH_IDLE")) {
        while (run.elapsed() < 2500)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    } else {
        commands.mnuCopy->trigger();
        while (commands.findChild<SelectionJob *>())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    const qint64 took = run.elapsed();
    ticker.stop();
    const qsizetype copied = QGuiApplication::clipboard()->text().size();

    std::printf("%lld messages of %lld bytes (%lld bytes) copied as %lld characters in %lld ms\n",
                count, qint64(message.size()), store.totalBytes(), qint64(copied), took);
    std::printf("resident before %ld KiB, peak during the copy %ld KiB, after it %ld KiB\n", before,
                statusKiB("VmHWM:"), statusKiB("VmRSS:"));
    std::printf("longest the window's thread was held: %lld ms\n", longestTick);
    return 0;
}

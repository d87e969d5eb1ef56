// The program as it runs for its users, with three instruments added for the
// benchmark: a heartbeat timer whose lateness shows how long the event loop
// was kept from running, a count of the counter field's paints, which is how
// often the display refreshed, and the time the window spent painting (every
// moment of it kept from answering). Prints one line a second.
//
// With PROBE_FIND=TEXT and PROBE_FIND_AFTER=N in the environment, it also
// types TEXT into the find window once N messages are in and presses Find
// Next, as an operator would while the sender goes on, and prints how long
// the search took and where it ended; with PROBE_FIND_EVERY=K, it searches
// again each time K more messages are in.

#include "mainwindow/findwindow.h"
#include "mainwindow/frminterface.h"
#include "mainwindow/receivedlistview.h"
#include "windowing/windowing.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>
#include <limits>

namespace {
class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};
// Times each paint of a whole window, from its update request to its flush.
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;
    qint64 paintNs = 0;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (event->type() != QEvent::UpdateRequest || !receiver->isWidgetType()
            || !static_cast<QWidget *>(receiver)->isWindow())
            return QApplication::notify(receiver, event);
        QElapsedTimer painting;
        painting.start();
        const bool done = QApplication::notify(receiver, event);
        paintNs += painting.nsecsElapsed();
        return done;
    }
};
} // namespace

int main(int argc, char **argv)
{
    TimedApplication app(argc, argv);
    QtWindowing windowing;
    frmInterface window(windowing, QCoreApplication::applicationDirPath());
    window.Form_Load();
    if (windowing.programEnded())
        return 0;
    window.show();

    PaintCounter counter;
    window.txtItemCount->installEventFilter(&counter);

    constexpr int BeatMs = 10;
    QElapsedTimer sinceBeat;
    sinceBeat.start();
    qint64 worstLateness = 0;
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        worstLateness = std::max(worstLateness, sinceBeat.restart() - BeatMs);
    });
    beat.start(BeatMs);

    QTimer report;
    QObject::connect(&report, &QTimer::timeout, [&] {
        std::printf("second messages=%lld paints=%d worst_late_ms=%lld painting_ms=%.1f\n",
                    static_cast<long long>(window.transactionCount()), counter.paints,
                    static_cast<long long>(worstLateness), double(app.paintNs) / 1e6);
        std::fflush(stdout);
        counter.paints = 0;
        worstLateness = 0;
        app.paintNs = 0;
    });
    report.start(1000);

    const QString findText = qEnvironmentVariable("PROBE_FIND");
    const qint64 findEvery = qEnvironmentVariableIntValue("PROBE_FIND_EVERY");
    qint64 nextFindAt = qEnvironmentVariableIntValue("PROBE_FIND_AFTER");
    QTimer findWhen;
    QElapsedTimer searching;
    FindWindow *finder = nullptr;
    bool finding = false;
    if (!findText.isEmpty()) {
        QObject::connect(&findWhen, &QTimer::timeout, [&] {
            if (finding || window.transactionCount() < nextFindAt)
                return;
            if (!finder) {
                for (QWidget *top : QApplication::topLevelWidgets())
                    if ((finder = qobject_cast<FindWindow *>(top)))
                        break;
                if (!finder)
                    return;
                QObject::connect(finder, &FindWindow::searchEnded, [&] {
                    finding = false;
                    std::printf("find ms=%.1f messages_held=%lld row=%d status=%s\n",
                                double(searching.nsecsElapsed()) / 1e6,
                                static_cast<long long>(window.transactionCount()),
                                window.lvwReceiveData->currentRow() + 1,
                                qPrintable(finder->lblFindStatus->text()));
                    std::fflush(stdout);
                });
                finder->open();
                finder->txtFind->setText(findText);
            }
            // From the row found, the next search wraps round the whole store.
            nextFindAt = findEvery > 0 ? nextFindAt + findEvery : std::numeric_limits<qint64>::max();
            finding = true;
            searching.start();
            finder->findNext();
        });
        findWhen.start(50);
    }
    return app.exec();
}

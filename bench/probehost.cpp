// The program as it runs for its users, with three instruments added for the
// benchmark: a heartbeat timer whose lateness shows how long the event loop
// was kept from running, a count of the counter field's paints, which is how
// often the display refreshed, and the time the window spent painting (every
// moment of it kept from answering). Prints one line a second.

#include "mainwindow/frminterface.h"
#include "windowing/windowing.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>

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
    return app.exec();
}

#include "application.h"

#include "mainwindow/frminterface.h"
#include "mainwindow/windowing.h"

#include <QApplication>

int runAckmereProbe(int &argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("AckmereProbe"));
    QApplication::setApplicationVersion(QStringLiteral(ACKPROBE_VERSION));

    QtWindowing windowing;
    // Creating the main window runs its start-up; a No to the settings
    // repair ends the program before any window is shown.
    frmInterface window(windowing, QCoreApplication::applicationDirPath());
    if (windowing.programEnded())
        return 0;
    window.show();
    return app.exec();
}

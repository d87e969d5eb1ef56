#include "application.h"

#include "launch/launch.h"
#include "mainwindow/frminterface.h"
#include "windowing/windowing.h"

#include <QApplication>

int runAckmereProbe(int &argc, char **argv)
{
    const Launch launched = launch(argc, argv, Front::Window);
    if (launched.ended)
        return launched.status;

    // X shared-memory images pass a descriptor for every window drawn; with
    // the process out of descriptors (a reconnect storm) the X library then
    // waits for ever, inside the very box that reports the shortage.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM"))
        qputenv("QT_XCB_NO_MITSHM", "1");
    QApplication app(argc, argv);
    nameTheApplication();
    const QString folder = launched.settingsFolder.isEmpty() ? usualSettingsFolder()
                                                             : launched.settingsFolder;

    QtWindowing windowing;
    frmInterface window(windowing, folder);
    // A No to the settings repair ends the program before any window is shown.
    window.Form_Load();
    if (windowing.programEnded())
        return 0;
    window.show();
    return app.exec();
}

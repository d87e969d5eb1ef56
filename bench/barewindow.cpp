// A bare Qt Widgets window that starts listening as soon as it is shown: the
// start-up that the program's own is compared with.

#include <QApplication>
#include <QTcpServer>
#include <QTimer>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QWidget window;
    window.resize(628, 527);
    window.show();
    QTcpServer server;
    QTimer::singleShot(0, [&] { server.listen(QHostAddress::Any, quint16(atoi(argv[1]))); });
    return app.exec();
}

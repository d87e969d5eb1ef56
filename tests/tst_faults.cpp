// Senders that misbehave, against the real window over loopback: churn of
// connections, replacements and resets (each with all the window must show
// for it), a sender that never reads its answers, a 16 MiB flood, every byte
// value, and markup in messages.

#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "mainwindow/messagecommands.h"
#include "mainwindow/messageviewer.h"
#include "mainwindow/receivedlistview.h"
#include "mainwindow/receivedmodel.h"
#include "setup/frmsetup.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPaintEngine>
#include <QPaintDevice>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTextItem>
#include <QTimer>
#include <QToolTip>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {
constexpr qint64 MaxArrival = 1024 * 1024;

QString status(const frmInterface &w)
{
    return w.txtInterfaceStatus->text();
}

// A new sender's message is answered, with the default texts.
bool answersANewSender(const TestProgram &program, const QDateTime &from)
{
    LoopbackClient client;
    return client.connectTo(program.port()) && client.send(framed(Adt)) && receivesAck(client, from);
}

// Every text the status field is given, in order.
struct StatusTrail
{
    QStringList texts;
    explicit StatusTrail(QLineEdit *field)
    {
        QObject::connect(field, &QLineEdit::textChanged, field,
                         [this](const QString &text) { texts << text; });
    }
};

// The rows of the list, each as the bytes its text stands for.
QList<QByteArray> rowBytes(const frmInterface &w)
{
    QList<QByteArray> rows;
    const QAbstractItemModel *model = w.lvwReceiveData->model();
    for (int row = 0; row < model->rowCount(); ++row)
        rows << model->index(row, 0).data().toString().toLatin1();
    return rows;
}

// Every message of the store followed by CR LF: what the log must hold.
QByteArray expectedLog(const MessageStore &store)
{
    QByteArray log;
    log.reserve(store.totalBytes() + 2 * store.size());
    for (qint64 i = 0; i < store.size(); ++i) {
        log += store.at(i);
        log += "\r\n";
    }
    return log;
}

// A paint device that keeps the text of every text item drawn on it, so a
// test sees what a widget puts on the screen, character for character.
class TextRecorder : public QPaintDevice
{
public:
    explicit TextRecorder(QSize size) : m_size(size) {}
    ~TextRecorder() override { delete m_engine; }

    QPaintEngine *paintEngine() const override
    {
        if (!m_engine)
            m_engine = new Engine(const_cast<TextRecorder *>(this));
        return m_engine;
    }
    QString drawn() const { return m_texts.join(QString()); }
    QStringList texts() const { return m_texts; }
    QList<qreal> lefts() const { return m_lefts; }

protected:
    int metric(PaintDeviceMetric metric) const override
    {
        switch (metric) {
        case PdmWidth: return m_size.width();
        case PdmHeight: return m_size.height();
        case PdmWidthMM: return m_size.width() * 254 / 960;
        case PdmHeightMM: return m_size.height() * 254 / 960;
        case PdmNumColors: return 256;
        case PdmDepth: return 32;
        case PdmDpiX: case PdmDpiY: case PdmPhysicalDpiX: case PdmPhysicalDpiY: return 96;
        case PdmDevicePixelRatio: return 1;
        case PdmDevicePixelRatioScaled: return int(QPaintDevice::devicePixelRatioFScale());
        }
        return 0;
    }

private:
    class Engine : public QPaintEngine
    {
    public:
        explicit Engine(TextRecorder *owner) : QPaintEngine(AllFeatures), m_owner(owner) {}
        bool begin(QPaintDevice *) override { return true; }
        bool end() override { return true; }
        void updateState(const QPaintEngineState &) override {}
        void drawPixmap(const QRectF &, const QPixmap &, const QRectF &) override {}
        void drawPolygon(const QPointF *, int, PolygonDrawMode) override {}
        void drawTextItem(const QPointF &at, const QTextItem &item) override
        {
            m_owner->m_texts << item.text();
            m_owner->m_lefts << at.x() + state->transform().dx();
        }
        Type type() const override { return User; }

    private:
        TextRecorder *m_owner;
    };

    QSize m_size;
    mutable Engine *m_engine = nullptr;
    QStringList m_texts;
    QList<qreal> m_lefts;
};

QString drawnText(QWidget *widget)
{
    TextRecorder recorder(widget->size());
    widget->render(&recorder);
    return recorder.drawn();
}

QWidget *shownToolTip()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QLatin1String("qtooltip_label") && widget->isVisible())
            return widget;
    return nullptr;
}
} // namespace

class FaultsTest : public QObject
{
    Q_OBJECT

private slots:
    // Connections that come and go
    void connectAndCloseChurn_data();
    void connectAndCloseChurn();
    void newerConnectionReplacesTheCurrentOneAThousandTimes();
    void resetAfterHalfAMessage_data();
    void resetAfterHalfAMessage();
    void connectionPerMessageIsAnsweredAtTheFirstAttempt();
    void resetStormOpensOneRealBoxAtATime();

    // Load
    void senderThatNeverReadsItsAnswers();
    void floodOf16MiB_data();
    void floodOf16MiB();
    void messagesStayInMemoryWhenNoSpillFileCanBeMade();

    // Bytes and text
    void everyByteValueIsKept();
    void everyByteValueInTheAcknowledgementTexts();
    void markupIsShownAsItStands();
    void longRowIsDrawnInOrderToTheEdge();
    void c1ControlsAndSoftHyphenAreMarked();
    void wireTextNeverNamesAFileOrRunsACommand();
};

void FaultsTest::connectAndCloseChurn_data()
{
    QTest::addColumn<bool>("withData");
    QTest::addColumn<bool>("waitForAccept");
    QTest::newRow("without data") << false << true;
    QTest::newRow("with data") << true << true;
    QTest::newRow("closed before it is accepted") << false << false;
}

void FaultsTest::connectAndCloseChurn()
{
    QFETCH(bool, withData);
    QFETCH(bool, waitForAccept);
    constexpr int Rounds = 2000;
    TestProgram program;
    frmInterface &w = program.openListening();
    QCOMPARE(status(w), Shown::Listening);

    // One round first, so that whatever the event loop opens once is open.
    {
        LoopbackClient warmUp;
        QVERIFY(warmUp.connectTo(program.port()));
        QVERIFY(waitUntil([&] { return status(w) == Shown::Established; }));
        warmUp.close();
        QVERIFY(waitUntil([&] { return status(w) == Shown::Waiting; }));
    }
    const qint64 countBefore = w.transactionCount();
    const int descriptors = openDescriptorCount();
    StatusTrail trail(w.txtInterfaceStatus);

    const QDateTime from = QDateTime::currentDateTime();
    for (int round = 0; round < Rounds; ++round) {
        LoopbackClient client;
        QVERIFY(client.connectTo(program.port()));
        if (waitForAccept && !waitUntil([&] { return trail.texts.size() == 2 * round + 1; }))
            QFAIL(qPrintable(QStringLiteral("round %1 was not accepted").arg(round)));
        if (withData) {
            QVERIFY(client.send(framed(Adt + QByteArray::number(round))));
            const QByteArray ack = client.receive(DefaultAckSize);
            if (!isAck(ack, from, QDateTime::currentDateTime()))
                QFAIL(qPrintable(QStringLiteral("round %1 answered %2").arg(round).arg(QString::fromLatin1(ack.toHex()))));
        }
        client.close();
        if (!waitUntil([&] { return trail.texts.size() == 2 * round + 2; }))
            QFAIL(qPrintable(QStringLiteral("round %1 was not closed: %2").arg(round).arg(trail.texts.join('|'))));
        if (trail.texts.at(2 * round) != Shown::Established || trail.texts.at(2 * round + 1) != Shown::Waiting)
            QFAIL(qPrintable(QStringLiteral("round %1 showed %2").arg(round).arg(trail.texts.join('|'))));
        if (!w.engine().isListening() || w.engine().isConnected() || w.cmdStart->isEnabled()
            || !w.cmdStop->isEnabled())
            QFAIL(qPrintable(QStringLiteral("round %1 left the endpoints or the buttons wrong").arg(round)));
        // Wider than its box: the box shows where the text begins.
        if (w.txtInterfaceStatus->cursorPosition() != 0)
            QFAIL(qPrintable(QStringLiteral("round %1 shows the end of the status").arg(round)));
    }

    QCOMPARE(trail.texts.size(), 2 * Rounds);
    QCOMPARE(w.transactionCount() - countBefore, withData ? Rounds : 0);
    QTRY_COMPARE(w.txtItemCount->text(), QString::number(w.transactionCount()));
    QCOMPARE(w.receivedMessages().size(), w.transactionCount());
    QVERIFY(program.windowing.boxes.isEmpty());
    QCOMPARE(openDescriptorCount(), descriptors);

    // Still answering, and the sender's connection was taken.
    QVERIFY(answersANewSender(program, from));
    QCOMPARE(status(w), Shown::Established);
}

void FaultsTest::newerConnectionReplacesTheCurrentOneAThousandTimes()
{
    constexpr int Replacements = 1000;
    TestProgram program;
    frmInterface &w = program.openListening();
    const QDateTime from = QDateTime::currentDateTime();
    LoopbackClient clients[2];
    QVERIFY(clients[0].connectTo(program.port()));
    QVERIFY(waitUntil([&] { return status(w) == Shown::Established; }));
    QVERIFY(clients[0].send("first"));
    QVERIFY(receivesAck(clients[0], from));
    // The listener, one connection and the client's end are open from here on.
    const int descriptors = openDescriptorCount();
    QByteArray logged = "first\r\n";

    for (int i = 1; i <= Replacements; ++i) {
        LoopbackClient &old = clients[(i - 1) % 2];
        LoopbackClient &next = clients[i % 2];
        w.txtInterfaceStatus->clear();
        w.txtStartDateAndTime->clear();
        QVERIFY(next.connectTo(program.port()));
        // The program closes the older connection in order, and says nothing.
        if (!old.waitForClosed())
            QFAIL(qPrintable(QStringLiteral("replacement %1 left the older connection open").arg(i)));
        old.close();
        if (!waitUntil([&] { return status(w) == Shown::Established; }))
            QFAIL(qPrintable(QStringLiteral("replacement %1 shows '%2'").arg(i).arg(status(w))));
        if (w.txtStartDateAndTime->text().size() != 12)
            QFAIL(qPrintable(QStringLiteral("replacement %1 shows no start time").arg(i)));
        const QByteArray message = "replacement " + QByteArray::number(i);
        logged += message + "\r\n";
        QVERIFY(next.send(message));
        const QByteArray ack = next.receive(DefaultAckSize);
        if (!isAck(ack, from, QDateTime::currentDateTime()))
            QFAIL(qPrintable(QStringLiteral("replacement %1 was answered '%2' (%3 messages, status '%4', connected %5)")
                                 .arg(i).arg(QString::fromLatin1(ack.toHex())).arg(w.transactionCount())
                                 .arg(status(w)).arg(w.engine().isConnected())));
    }

    QCOMPARE(w.engine().connectionCount(), 1);
    QVERIFY(w.engine().isListening());
    QVERIFY(w.engine().isConnected());
    QCOMPARE(w.transactionCount(), Replacements + 1);
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), logged);
    QVERIFY(program.windowing.boxes.isEmpty());
    QCOMPARE(openDescriptorCount(), descriptors);
}

void FaultsTest::resetAfterHalfAMessage_data()
{
    QTest::addColumn<bool>("answeredFirst");
    // On its way, the program may read the bytes and meet the reset on
    // answering, or meet it on reading.
    for (const bool answeredFirst : {true, false})
        QTest::newRow(answeredFirst ? "once it is answered" : "while it is on its way") << answeredFirst;
}

void FaultsTest::resetAfterHalfAMessage()
{
    QFETCH(bool, answeredFirst);
    constexpr int Resets = 300;
    TestProgram program;
    frmInterface &w = program.openListening();
    const int descriptors = openDescriptorCount();
    const QDateTime from = QDateTime::currentDateTime();
    const QByteArray half = framed(Adt).left(40);
    StatusTrail trail(w.txtInterfaceStatus);
    const QList<FakeWindowing::Box> &boxes = program.windowing.boxes;

    for (int i = 0; i < Resets; ++i) {
        LoopbackClient client;
        QVERIFY(client.connectTo(program.port()));
        if (!answeredFirst && !waitUntil([&] { return w.engine().isConnected(); }))
            QFAIL(qPrintable(QStringLiteral("reset %1: not accepted").arg(i)));
        QVERIFY(client.send(half));
        // Whatever has come is a message, and is answered.
        if (answeredFirst && !receivesAck(client, from))
            QFAIL(qPrintable(QStringLiteral("reset %1: the half message was not answered").arg(i)));
        client.reset();
        if (!waitUntil([&] { return boxes.size() == i + 1 || trail.texts.contains(Shown::Waiting); }))
            QFAIL(qPrintable(QStringLiteral("reset %1 was never noticed").arg(i)));
        // However it is met, a reset is told as its number and changes no state:
        // the status stays, the listener listens.
        if (trail.texts.contains(Shown::Waiting))
            QFAIL(qPrintable(QStringLiteral("reset %1 was taken for a close").arg(i)));
        const FakeWindowing::Box box = boxes.last();
        if (box.kind != QLatin1String("notice") || box.text != QLatin1String("10054")
            || box.title != QLatin1String("AckmereProbe"))
            QFAIL(qPrintable(QStringLiteral("reset %1 showed '%2' titled '%3'").arg(i).arg(box.text, box.title)));
        if (status(w) != Shown::Established || !w.engine().isListening() || w.engine().isConnected())
            QFAIL(qPrintable(QStringLiteral("reset %1 changed the state").arg(i)));
    }

    QCOMPARE(boxes.size(), Resets);
    // What was read is whole: the half message, never a part of it.
    QVERIFY(answeredFirst ? w.transactionCount() == Resets : w.transactionCount() <= Resets);
    QCOMPARE(w.receivedMessages().size(), w.transactionCount());
    for (qint64 i = 0; i < w.receivedMessages().size(); ++i)
        QCOMPARE(w.receivedMessages().at(i), QByteArrayView(half));
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), expectedLog(w.receivedMessages()));
    QCOMPARE(openDescriptorCount(), descriptors);
    qInfo("%lld of %d half messages were read before their reset", w.transactionCount(), Resets);
    QVERIFY(answersANewSender(program, from));
}

namespace {
// A sender on a thread of its own, so that it goes on at its own pace, also
// while a real box holds the program's thread in the box's event loop (the
// client's waits run no event loop there: that thread has none). Each round
// connects, sends one message, reads its answer and closes the connection,
// in order or with a reset. Returns the rounds answered at the first attempt.
int connectSendAndClose(quint16 port, int rounds, bool reset, const QByteArray &prefix)
{
    int answered = 0;
    for (int i = 0; i < rounds; ++i) {
        LoopbackClient client;
        answered += client.connectTo(port) && client.exchange(prefix + QByteArray::number(i));
        if (reset)
            client.reset();
    }
    return answered;
}

QByteArray numberedLines(const QByteArray &prefix, int count)
{
    QByteArray lines;
    for (int i = 0; i < count; ++i)
        lines += prefix + QByteArray::number(i) + "\r\n";
    return lines;
}

int shownMessageBoxes()
{
    int shown = 0;
    for (QWidget *widget : QApplication::topLevelWidgets())
        shown += qobject_cast<QMessageBox *>(widget) && widget->isVisible();
    return shown;
}
} // namespace

void FaultsTest::connectionPerMessageIsAnsweredAtTheFirstAttempt()
{
    // The next request comes while the program is still handling the close
    // of the one before.
    constexpr int Messages = 1000;
    TestProgram program;
    frmInterface &w = program.openListening();
    std::atomic<int> answered{-1};
    std::thread sender([&] { answered = connectSendAndClose(program.port(), Messages, false, "message "); });
    const bool done = waitUntil([&] { return answered >= 0; }, 120000);
    sender.join();
    QVERIFY(done);
    QCOMPARE(answered.load(), Messages);
    QVERIFY(waitUntil([&] { return status(w) == Shown::Waiting; }));
    QVERIFY(w.engine().isListening());
    QCOMPARE(w.transactionCount(), Messages);
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), numberedLines("message ", Messages));
    QVERIFY(program.windowing.boxes.isEmpty());
}

void FaultsTest::resetStormOpensOneRealBoxAtATime()
{
    constexpr int Resets = 2000;
    TestProgram program;
    program.writeListeningIni();
    QtWindowing realBoxes;
    frmInterface &w = program.open(realBoxes);
    QCOMPARE(w.engine().isListening(), true);

    std::atomic<int> answered{-1};
    std::thread sender([&] { answered = connectSendAndClose(program.port(), Resets, true, "reset "); });
    // Runs inside whatever event loop is turning, the boxes' own included.
    int mostShown = 0;
    QStringList texts;
    QTimer watcher;
    watcher.setInterval(1);
    QObject::connect(&watcher, &QTimer::timeout, &watcher, [&] {
        mostShown = qMax(mostShown, shownMessageBoxes());
        if (answered < 0)
            return;
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible()) {
                texts << box->text();
                box->button(QMessageBox::Ok)->click();
            }
    });
    watcher.start();
    const bool done = waitUntil([&] { return answered >= 0 && w.transactionCount() == Resets; }, 120000);
    sender.join();
    QVERIFY(done);
    QVERIFY(waitUntil([] { return shownMessageBoxes() == 0; }));
    watcher.stop();

    QCOMPARE(answered.load(), Resets);
    QCOMPARE(mostShown, 1);
    QVERIFY(!texts.isEmpty());
    QCOMPARE(texts.filter(QStringLiteral("10054")).size(), texts.size());
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), numberedLines("reset ", Resets));
    QVERIFY(w.engine().isListening());
}

void FaultsTest::senderThatNeverReadsItsAnswers()
{
    constexpr int Messages = 10000;
    // Answers of about 2 KiB: 20 MiB in all, far beyond what the kernel
    // buffers on both sides hold, so the program's own queue must take them.
    const AckTexts texts{.msa = "|AA|" + QByteArray(2000, 'x')};
    TestProgram program;
    frmInterface &w = program.openListening({.msaSegment = QString::fromLatin1(texts.msa)});
    const qsizetype ackSize = texts.size();
    LoopbackClient client;
    // A small window on the sender's side, so the answers back up at once.
    QVERIFY(client.connectWithReceiveBuffer(program.port(), 4096));
    QVERIFY(client.setNoDelay());
    QVERIFY(waitUntil([&] { return w.engine().isConnected(); }));

    // A timer of the window's thread: it only fires while that thread runs its loop.
    int ticksWhileQueued = 0;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
        ticksWhileQueued += w.engine().answerBytesQueued() > 0;
    });
    ticker.start();

    const QDateTime from = QDateTime::currentDateTime();
    qint64 mostQueued = 0;
    for (int i = 1; i <= Messages; ++i) {
        QVERIFY(client.send(framed("MSH|^~\\&|UNREAD|" + QByteArray::number(i) + "\r")));
        // Each message is taken on its own before the next is sent.
        if (!waitUntil([&] { return w.transactionCount() == i; }))
            QFAIL(qPrintable(QStringLiteral("message %1 was not taken").arg(i)));
        mostQueued = qMax(mostQueued, w.engine().answerBytesQueued());
    }
    const QDateTime to = QDateTime::currentDateTime();
    const int ticks = ticksWhileQueued;
    qInfo("%lld bytes of answers were waiting at most; the loop turned %d times meanwhile",
          mostQueued, ticks);
    // The answers backed up in the program, and its loop kept turning all the while.
    QVERIFY(mostQueued > qint64(Messages) * ackSize / 2);
    QVERIFY(w.engine().answerBytesQueued() > 0);
    QVERIFY(ticks > 0);
    QVERIFY(waitUntil([&] { return ticksWhileQueued > ticks; }));
    ticker.stop();
    QCOMPARE(w.transactionCount(), Messages);

    // Now the sender reads: every answer, in order, and nothing more.
    const QByteArray answers = client.receive(qsizetype(Messages) * ackSize, 120000);
    QCOMPARE(answers.size(), qsizetype(Messages) * ackSize);
    QString previousStamp;
    for (int i = 0; i < Messages; ++i) {
        const QByteArrayView ack = QByteArrayView(answers).sliced(qsizetype(i) * ackSize, ackSize);
        if (!isAck(ack, from, to, texts))
            QFAIL(qPrintable(QStringLiteral("answer %1 is not whole").arg(i)));
        const QString stamp = QString::fromLatin1(ack.sliced(9, 12));
        if (stamp < previousStamp)
            QFAIL(qPrintable(QStringLiteral("answer %1 is older than the one before").arg(i)));
        previousStamp = stamp;
    }
    QVERIFY(waitUntil([&] { return w.engine().answerBytesQueued() == 0; }));
    QCOMPARE(client.receive(1, 200), QByteArray());
    QVERIFY(program.windowing.boxes.isEmpty());
}

void FaultsTest::floodOf16MiB_data()
{
    QTest::addColumn<int>("pieceSize"); // 0: one send; < 0: random sizes up to its magnitude
    QTest::newRow("one send") << 0;
    QTest::newRow("pieces of 4 KiB") << 4096;
    QTest::newRow("pieces of random size") << -300000;
}

void FaultsTest::floodOf16MiB()
{
    QFETCH(int, pieceSize);
    constexpr qsizetype Size = 16 * 1024 * 1024;
    const QByteArray sent = randomBytes(Size, 20261207);
    TestProgram program;
    frmInterface &w = program.openListening();
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(waitUntil([&] { return w.engine().isConnected(); }));

    const QDateTime from = QDateTime::currentDateTime();
    QRandomGenerator pieces(7);
    for (qsizetype at = 0; at < Size;) {
        qsizetype n = Size - at;
        if (pieceSize > 0)
            n = qMin<qsizetype>(n, pieceSize);
        else if (pieceSize < 0)
            n = qMin<qsizetype>(n, 1 + pieces.bounded(-pieceSize));
        QVERIFY(client.sendPumping(QByteArrayView(sent).sliced(at, n)));
        at += n;
    }
    QVERIFY(waitUntil([&] { return w.receivedMessages().totalBytes() == Size; }, 60000));

    // One answer per arrival.
    const qint64 arrivals = w.transactionCount();
    const QByteArray answers = client.receive(arrivals * DefaultAckSize, 60000);
    const QDateTime to = QDateTime::currentDateTime();
    QCOMPARE(answers.size(), arrivals * DefaultAckSize);
    for (qint64 i = 0; i < arrivals; ++i)
        QVERIFY(isAck(QByteArrayView(answers).sliced(i * DefaultAckSize, DefaultAckSize), from, to));
    QCOMPARE(client.receive(1, 200), QByteArray());

    // The rows joined are the bytes sent; no arrival is larger than the layer hands over.
    QCOMPARE(w.receivedMessages().size(), arrivals);
    QTRY_COMPARE(w.lvwReceiveData->model()->rowCount(), int(arrivals));
    const QList<QByteArray> rows = rowBytes(w);
    QByteArray joined;
    joined.reserve(Size);
    for (const QByteArray &row : rows) {
        QVERIFY(!row.isEmpty());
        QVERIFY(row.size() <= MaxArrival);
        joined += row;
    }
    QVERIFY(joined == sent);
    // The log is every row and its CR LF.
    QVERIFY(program.readFile(QStringLiteral("logfile.txt")) == expectedLog(w.receivedMessages()));
    for (qint64 i = 0; i < arrivals; ++i)
        QVERIFY(w.receivedMessages().at(i) == QByteArrayView(rows.at(i)));
    qInfo("16 MiB came in %lld arrivals", arrivals);
}

void FaultsTest::messagesStayInMemoryWhenNoSpillFileCanBeMade()
{
    TestProgram program;
    // A file where both the cache folder and the temporary folder should be.
    QVERIFY(QFile(program.path(QStringLiteral("cache"))).open(QIODevice::WriteOnly));
    const QByteArray previousTemp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(program.path(QStringLiteral("cache/tmp"))));
    const auto restoreTemp = qScopeGuard([&] { qputenv("TMPDIR", previousTemp); });
    frmInterface &w = program.openListening();

    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QList<QByteArray> sent;
    for (int i = 0; i < 6000; ++i) {
        sent << framed(randomBytes(1000, quint32(i)));
        if (!client.exchange(sent.last()))
            QFAIL(qPrintable(QStringLiteral("message %1 was not answered").arg(i)));
    }
    QVERIFY(waitUntil([&] { return !program.windowing.boxes.isEmpty(); }));
    QCOMPARE(program.windowing.noticeTexts().size(), 1);
    QVERIFY(program.windowing.noticeTexts().first().startsWith(
        QStringLiteral("The received messages could not be kept on disk: ")));
    QCOMPARE(w.receivedMessages().size(), sent.size());
    for (qsizetype i = 0; i < sent.size(); ++i)
        if (w.receivedMessages().at(i) != sent.at(i))
            QFAIL(qPrintable(QStringLiteral("message %1 is not kept exactly").arg(i)));
}

void FaultsTest::everyByteValueIsKept()
{
    TestProgram program;
    frmInterface &w = program.openListening();
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    const QDateTime from = QDateTime::currentDateTime();

    // All 256 values in one message, then each value as a message of its own.
    QList<QByteArray> messages{byteValues(), framed(byteValues())};
    for (int value = 0; value < 256; ++value)
        messages << QByteArray(1, char(value));
    for (const QByteArray &message : messages) {
        QVERIFY(client.send(message));
        QVERIFY(receivesAck(client, from));
        QCOMPARE(w.txtSendData->text().toLatin1(), w.lastAcknowledgement());
    }

    QCOMPARE(w.receivedMessages().size(), messages.size());
    QTRY_COMPARE(rowBytes(w), messages);
    QByteArray log;
    const QAbstractItemModel *model = w.lvwReceiveData->model();
    for (int i = 0; i < messages.size(); ++i) {
        const QByteArray &message = messages.at(i);
        QCOMPARE(w.receivedMessages().at(i), QByteArrayView(message));
        // Each character of a row stands for one byte of the same value.
        const QString text = model->index(i, 0).data().toString();
        QCOMPARE(text.size(), message.size());
        for (qsizetype c = 0; c < text.size(); ++c)
            QCOMPARE(text.at(c).unicode(), ushort(uchar(message.at(c))));
        QCOMPARE(model->index(i, 0).data(ReceivedModel::ShownTextRole).toString(), text);
        log += message + "\r\n";
    }
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), log);
}

void FaultsTest::everyByteValueInTheAcknowledgementTexts()
{
    TestProgram program;
    frmInterface &w = program.openListening();
    const AckTexts texts{byteValues(), byteValues(), byteValues()};
    changeRecord(w, [&](SettingsRecord &record) {
        record.strAckBeforeDate = QString::fromLatin1(texts.before);
        record.strAckAfterDate = QString::fromLatin1(texts.after);
        record.strMSASegment = QString::fromLatin1(texts.msa);
    });

    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    const QDateTime from = QDateTime::currentDateTime();
    QVERIFY(client.send(framed(Adt)));
    const QByteArray ack = client.receive(texts.size());
    QVERIFY(isAck(ack, from, QDateTime::currentDateTime(), texts));
    QCOMPARE(ack.size(), 11 + 3 * 256 + 12);
    QCOMPARE(w.lastAcknowledgement(), ack);
    QCOMPARE(w.txtSendData->text().toLatin1(), ack);
}

void FaultsTest::markupIsShownAsItStands()
{
    const QString markup = QStringLiteral("<b>bold</b> <img src=\"x.png\"> &amp; <i>tilted");
    // "[*]" is the toolkit's placeholder for a window's modified mark.
    const IniValues values{.msaSegment = QStringLiteral("|AA|<b>ok</b>&amp;<img src=\"y.png\">"),
                           .interfaceName = QStringLiteral("<b>Lab</b> &amp; [*] %1")};
    TestProgram program;
    frmInterface &w = program.openListening(values);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    const QDateTime from = QDateTime::currentDateTime();
    QVERIFY(client.send(markup.toLatin1()));
    const AckTexts texts{.msa = values.msaSegment.toLatin1()};
    const QByteArray ack = client.receive(texts.size());
    QVERIFY(isAck(ack, from, QDateTime::currentDateTime(), texts));
    QTRY_COMPARE(w.lvwReceiveData->model()->rowCount(), 1);

    // The list paints the row's characters as they are.
    QVERIFY2(drawnText(w.lvwReceiveData->viewport()).contains(markup),
             qPrintable(drawnText(w.lvwReceiveData->viewport())));

    // The row's tooltip shows them as they are too.
    QWidget *viewport = w.lvwReceiveData->viewport();
    const QPoint inRow(10, w.lvwReceiveData->rowHeight() / 2);
    QHelpEvent help(QEvent::ToolTip, inRow, viewport->mapToGlobal(inRow));
    QApplication::sendEvent(viewport, &help);
    QTRY_VERIFY(shownToolTip());
    const QString tip = drawnText(shownToolTip());
    QVERIFY2(tip.contains(markup), qPrintable(tip));
    QToolTip::hideText();

    // Fields hold the texts as they are; a line edit never reads markup.
    QCOMPARE(w.txtSendData->text().toLatin1(), ack);
    QCOMPARE(w.setup().txtInterfaceName->text(), values.interfaceName);
    // The caption the system shows is the name as it stands, placeholder and all.
    QCOMPARE(w.windowHandle()->title(), values.interfaceName);
    changeRecord(w, [](SettingsRecord &record) { record.intShowCount = 1; });
    w.AddTransactionCount();
    QCOMPARE(w.windowHandle()->title(), values.interfaceName + QStringLiteral(" 1"));
}

void FaultsTest::longRowIsDrawnInOrderToTheEdge()
{
    TestProgram program;
    frmInterface &w = program.openListening();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // U+009C, at which Qt's string measures stop, in the middle of a run: a
    // mark of its own.
    const QByteArray run = "MSH|" + QByteArray(20, 'A') + '\x9c' + QByteArray(20, 'B');
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange(framed(run + '\r' + QByteArray(3000, 'C'))));
    QTRY_COMPARE(w.lvwReceiveData->model()->rowCount(), 1);

    QWidget *viewport = w.lvwReceiveData->viewport();
    TextRecorder recorder(viewport->size());
    viewport->render(&recorder);
    // What is drawn is the row's beginning, each character once, in order,
    // up to the view's edge; each piece of text starts where the last ended.
    const QString expected = QStringLiteral("VT") + QString::fromLatin1(run).replace(QChar(0x9c), QStringLiteral("ST"))
                             + QStringLiteral("CR") + QString(1000, QLatin1Char('C'));
    const QString drawn = recorder.drawn();
    QVERIFY2(expected.startsWith(drawn) && drawn.size() > 2 + run.size() + 1 + 2 + 10, qPrintable(drawn));
    QVERIFY(drawn.size() < expected.size());
    // Measured a character at a time, as no string measure stops at U+009C.
    const QFontMetricsF metrics(w.lvwReceiveData->font());
    const auto width = [&](const QString &text) {
        qreal sum = 0;
        for (const QChar c : text)
            sum += metrics.horizontalAdvance(c);
        return sum;
    };
    const QStringList texts = recorder.texts();
    const QList<qreal> lefts = recorder.lefts();
    for (qsizetype i = 0; i + 1 < texts.size(); ++i) {
        if (!QStringList{"VT", "ST", "CR"}.contains(texts[i])) // marks: a smaller font
            QVERIFY2(lefts[i + 1] >= lefts[i] + width(texts[i]) - 3,
                     qPrintable(QStringLiteral("%1 at %2, next at %3, width %4").arg(texts[i]).arg(lefts[i]).arg(lefts[i + 1]).arg(width(texts[i]))));
    }
    QVERIFY(lefts.last() < viewport->width());
}

void FaultsTest::c1ControlsAndSoftHyphenAreMarked()
{
    TestProgram program;
    frmInterface &w = program.openListening();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.resize(2400, w.height()); // room for the whole row
    const QByteArray message = 'A' + byteValues(0x80).first(0x20) + '\xad' + 'Z';
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange(framed(message)));
    QTRY_COMPARE(w.lvwReceiveData->model()->rowCount(), 1);

    const QStringList names{"PAD", "HOP", "BPH", "NBH", "IND", "NEL", "SSA", "ESA",
                            "HTS", "HTJ", "VTS", "PLD", "PLU", "RI",  "SS2", "SS3",
                            "DCS", "PU1", "PU2", "STS", "CCH", "MW",  "SPA", "EPA",
                            "SOS", "SGCI", "SCI", "CSI", "ST", "OSC", "PM",  "APC", "SHY"};
    // The row: each byte a mark of its own, none drawn as a character.
    TextRecorder recorder(w.lvwReceiveData->viewport()->size());
    w.lvwReceiveData->viewport()->render(&recorder);
    const QStringList row = QStringList{"VT", "A"} + names + QStringList{"Z", "FS", "CR"};
    QCOMPARE(recorder.texts(), row);
    // The viewer the same, and the copy text with each mark in angle brackets.
    w.lvwReceiveData->setCurrentRow(0);
    w.messageCommands().view(0);
    QString shown = w.messageCommands().viewer()->shownText();
    shown.remove(QChar(0x2009)).remove(QChar(0x200a));
    QCOMPARE(shown, QStringLiteral("VTA") + names.join(QString()) + QStringLiteral("ZFSCR\n"));
    w.messageCommands().copy(0);
    QCOMPARE(QGuiApplication::clipboard()->text(),
             QStringLiteral("A<") + names.join(QStringLiteral("><")) + QStringLiteral(">Z"));
}

void FaultsTest::wireTextNeverNamesAFileOrRunsACommand()
{
    TestProgram program;
    program.openListening();
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    const QList<QByteArray> hostile{
        "$(touch made-by-shell)", "`touch made-by-backquote`", "; touch made-by-semicolon",
        "%s%s%s%n%n%1%2", "../../escaped.txt", "/tmp/ackprobe-absolute.txt", "made-by-name.txt",
        "| tee made-by-pipe", "> made-by-redirect"};
    for (const QByteArray &message : hostile)
        QVERIFY(client.exchange(message));
    QByteArray log;
    for (const QByteArray &message : hostile)
        log += message + "\r\n";
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), log);
    // Nothing but the settings file and the log is in the program's directory.
    const QStringList entries = QDir(program.dir()).entryList(QDir::AllEntries | QDir::Hidden
                                                                  | QDir::System | QDir::NoDotAndDotDot);
    QCOMPARE(entries, (QStringList{QStringLiteral("ackprobe.ini"), QStringLiteral("logfile.txt")}));
    QVERIFY(!QFile::exists(QStringLiteral("/tmp/ackprobe-absolute.txt")));
}

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"

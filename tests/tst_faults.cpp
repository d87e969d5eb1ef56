// Senders that misbehave, against the real window over loopback: churn of
// connections, replacements and resets (each with all the window must show
// for it), a flood and a spill failure as the window lists and tells them,
// every byte value, and markup in messages.

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
#include <QFileInfo>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPaintEngine>
#include <QPaintDevice>
#include <QPushButton>
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

int shownMessageBoxes()
{
    int shown = 0;
    for (QWidget *widget : QApplication::topLevelWidgets())
        shown += qobject_cast<QMessageBox *>(widget) && widget->isVisible();
    return shown;
}
} // namespace

class FaultsTest : public QObject
{
    Q_OBJECT

private slots:
    // Connections that come and go, as the window shows them (the thousands
    // of rounds on the wire are tst_enginefaults')
    void connectAndCloseChurn();
    void newerConnectionReplacesTheCurrentOne();
    void resetAfterHalfAMessage();
    void resetStormOpensOneRealBoxAtATime();

    // Load
    void floodIsListedAsItCame();
    void spillFailureIsNoticedOnce();

    // Bytes and text
    void everyByteValueIsKept();
    void everyByteValueInTheAcknowledgementTexts();
    void markupIsShownAsItStands();
    void longRowIsDrawnInOrderToTheEdge();
    void c1ControlsAndSoftHyphenAreMarked();
    void wireTextNeverNamesAFileOrRunsACommand();
};

void FaultsTest::connectAndCloseChurn()
{
    constexpr int Rounds = 21;
    TestProgram program;
    frmInterface &w = program.openListening();
    QCOMPARE(status(w), Shown::Listening);
    const qint64 countBefore = w.transactionCount();
    StatusTrail trail(w.txtInterfaceStatus);

    const QDateTime from = QDateTime::currentDateTime();
    for (int round = 0; round < Rounds; ++round) {
        // By turns: closed at once, after a message, before it is accepted.
        const bool withData = round % 3 == 1;
        const bool waitForAccept = round % 3 != 2;
        LoopbackClient client;
        QVERIFY(client.connectTo(program.port()));
        if (waitForAccept && !waitUntil([&] { return trail.texts.size() == 2 * round + 1; }))
            QFAIL(qPrintable(QStringLiteral("round %1 was not accepted").arg(round)));
        if (withData)
            QVERIFY(client.exchange(framed(Adt + QByteArray::number(round))));
        client.close();
        if (!waitUntil([&] { return trail.texts.size() == 2 * round + 2; }))
            QFAIL(qPrintable(QStringLiteral("round %1 was not closed: %2").arg(round).arg(trail.texts.join('|'))));
        if (trail.texts.at(2 * round) != Shown::Established || trail.texts.at(2 * round + 1) != Shown::Waiting)
            QFAIL(qPrintable(QStringLiteral("round %1 showed %2").arg(round).arg(trail.texts.join('|'))));
        if (w.cmdStart->isEnabled() || !w.cmdStop->isEnabled())
            QFAIL(qPrintable(QStringLiteral("round %1 left the buttons wrong").arg(round)));
        // Wider than its box: the box shows where the text begins.
        if (w.txtInterfaceStatus->cursorPosition() != 0)
            QFAIL(qPrintable(QStringLiteral("round %1 shows the end of the status").arg(round)));
    }

    QCOMPARE(trail.texts.size(), 2 * Rounds);
    QCOMPARE(w.transactionCount() - countBefore, Rounds / 3);
    QTRY_COMPARE(w.txtItemCount->text(), QString::number(w.transactionCount()));
    QCOMPARE(w.receivedMessages().size(), w.transactionCount());
    QVERIFY(program.windowing.boxes.isEmpty());

    // Still answering, and the sender's connection is shown.
    QVERIFY(answersANewSender(program, from));
    QCOMPARE(status(w), Shown::Established);
}

void FaultsTest::newerConnectionReplacesTheCurrentOne()
{
    constexpr int Replacements = 20;
    TestProgram program;
    frmInterface &w = program.openListening();
    LoopbackClient clients[2];
    QVERIFY(clients[0].connectTo(program.port()));
    QVERIFY(waitUntil([&] { return status(w) == Shown::Established; }));
    QVERIFY(clients[0].exchange("first"));

    for (int i = 1; i <= Replacements; ++i) {
        LoopbackClient &old = clients[(i - 1) % 2];
        LoopbackClient &next = clients[i % 2];
        w.txtInterfaceStatus->clear();
        w.txtStartDateAndTime->clear();
        QVERIFY(next.connectTo(program.port()));
        QVERIFY(old.waitForClosed());
        old.close();
        // Each new sender is shown as established, with its start time.
        if (!waitUntil([&] { return status(w) == Shown::Established; }))
            QFAIL(qPrintable(QStringLiteral("replacement %1 shows '%2'").arg(i).arg(status(w))));
        if (w.txtStartDateAndTime->text().size() != 12)
            QFAIL(qPrintable(QStringLiteral("replacement %1 shows no start time").arg(i)));
        QVERIFY(next.exchange("replacement " + QByteArray::number(i)));
    }

    QCOMPARE(w.transactionCount(), Replacements + 1);
    QTRY_COMPARE(w.txtItemCount->text(), QString::number(Replacements + 1));
    QVERIFY(program.windowing.boxes.isEmpty());
}

void FaultsTest::resetAfterHalfAMessage()
{
    constexpr int Resets = 20;
    TestProgram program;
    frmInterface &w = program.openListening();
    const QDateTime from = QDateTime::currentDateTime();
    StatusTrail trail(w.txtInterfaceStatus);
    const QList<FakeWindowing::Box> &boxes = program.windowing.boxes;

    for (int i = 0; i < Resets; ++i) {
        LoopbackClient client;
        QVERIFY(client.connectTo(program.port()));
        QVERIFY(client.send(framed(Adt).left(40)));
        QVERIFY(receivesAck(client, from));
        client.reset();
        if (!waitUntil([&] { return boxes.size() == i + 1 || trail.texts.contains(Shown::Waiting); }))
            QFAIL(qPrintable(QStringLiteral("reset %1 was never noticed").arg(i)));
        // A reset is shown as its number, in a box of its own, and the status stays.
        if (trail.texts.contains(Shown::Waiting))
            QFAIL(qPrintable(QStringLiteral("reset %1 was taken for a close").arg(i)));
        const FakeWindowing::Box box = boxes.last();
        if (box.kind != QLatin1String("notice") || box.text != QLatin1String("10054")
            || box.title != QLatin1String("AckmereProbe"))
            QFAIL(qPrintable(QStringLiteral("reset %1 showed '%2' titled '%3'").arg(i).arg(box.text, box.title)));
        if (status(w) != Shown::Established || !w.cmdStop->isEnabled())
            QFAIL(qPrintable(QStringLiteral("reset %1 shows '%2'").arg(i).arg(status(w))));
    }

    QCOMPARE(boxes.size(), Resets);
    QTRY_COMPARE(w.txtItemCount->text(), QString::number(Resets));
    QVERIFY(answersANewSender(program, from));
}

void FaultsTest::resetStormOpensOneRealBoxAtATime()
{
    constexpr int Resets = 2000;
    TestProgram program;
    program.writeListeningIni();
    QtWindowing realBoxes;
    frmInterface &w = program.open(realBoxes);
    QCOMPARE(w.engine().isListening(), true);

    // The sender runs on a thread of its own, so that it goes on at its own
    // pace also while a real box holds this thread in the box's event loop.
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

void FaultsTest::floodIsListedAsItCame()
{
    constexpr qsizetype Size = 2 * 1024 * 1024;
    const QByteArray sent = randomBytes(Size, 20261207);
    TestProgram program;
    frmInterface &w = program.openListening();
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(waitUntil([&] { return w.engine().isConnected(); }));
    QVERIFY(sendInPieces(client, sent, -300000));
    QVERIFY(waitUntil([&] { return w.receivedMessages().totalBytes() == Size; }, 60000));

    // A row per arrival: the rows joined are the bytes sent.
    const qint64 arrivals = w.transactionCount();
    QTRY_COMPARE(w.lvwReceiveData->model()->rowCount(), int(arrivals));
    const QList<QByteArray> rows = rowBytes(w);
    QByteArray joined;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        QVERIFY(!rows.at(i).isEmpty() && rows.at(i).size() <= MaxArrival);
        QVERIFY(w.receivedMessages().at(i) == rows.at(i));
        joined += rows.at(i);
    }
    QVERIFY(joined == sent);
    QTRY_COMPARE(w.txtItemCount->text(), QString::number(arrivals));
}

void FaultsTest::spillFailureIsNoticedOnce()
{
    TestProgram program;
    const NoSpillFolder noSpill(program);
    QVERIFY(QFileInfo(program.path(QStringLiteral("cache"))).isFile());
    frmInterface &w = program.openListening();

    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    for (int i = 0; i < 6000; ++i)
        if (!client.exchange(framed(randomBytes(1000, quint32(i)))))
            QFAIL(qPrintable(QStringLiteral("message %1 was not answered").arg(i)));
    QVERIFY(waitUntil([&] { return !program.windowing.boxes.isEmpty(); }));
    QCOMPARE(program.windowing.noticeTexts().size(), 1);
    QVERIFY(program.windowing.noticeTexts().first().startsWith(
        QStringLiteral("The received messages could not be kept on disk: ")));
    // The list goes on from memory.
    QTRY_COMPARE(w.lvwReceiveData->model()->rowCount(), 6000);
    QCOMPARE(rowBytes(w).last(), framed(randomBytes(1000, 5999)));
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

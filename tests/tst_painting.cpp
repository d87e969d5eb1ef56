// While messages pour in, the window paints a few frames a second and lets
// the updates in between wait; once the sender stops, the waiting updates
// are painted: the window shows the last count and the last answer exactly.
// New rows of a long list paint the rows, not the scroll bars or the frame.

#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "mainwindow/receivedlistview.h"

#include <QAbstractItemModel>
#include <QEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QtTest>

namespace {
// The text a box showed each time it was painted.
class PaintedTexts : public QObject
{
public:
    explicit PaintedTexts(QLineEdit *box) : m_box(box) { box->installEventFilter(this); }

    QString last() const { return m_texts.isEmpty() ? QString() : m_texts.last(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_box && event->type() == QEvent::Paint)
            m_texts << m_box->text();
        return false;
    }

private:
    QLineEdit *m_box;
    QStringList m_texts;
};

// How often a widget was painted.
class PaintCount : public QObject
{
public:
    explicit PaintCount(QWidget *widget) { widget->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};
} // namespace

class PaintingTest : public QObject
{
    Q_OBJECT

private slots:
    void theLastValuesArePaintedOnceABurstEnds();
    void newRowsOfALongListPaintOnlyTheRows();
};

void PaintingTest::theLastValuesArePaintedOnceABurstEnds()
{
    TestProgram program;
    frmInterface &w = program.openListening();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    PaintedTexts counter(w.txtItemCount);
    PaintedTexts answer(w.txtSendData);

    // A sender that waits for each answer, as HL7 senders do.
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.setNoDelay());
    constexpr int Messages = 1000;
    QByteArray lastAck;
    for (int n = 1; n <= Messages; ++n) {
        QVERIFY(client.send(framed("MSH|^~\\&|BURST|||||ADT^A01|" + QByteArray::number(n) + "|P|2.3\r")));
        lastAck = client.receive(51);
        QCOMPARE(lastAck.size(), 51);
    }
    QCOMPARE(w.transactionCount(), Messages);
    QTRY_COMPARE(w.txtItemCount->text(), QString::number(Messages));
    QTRY_COMPARE(w.txtSendData->text(), QString::fromLatin1(lastAck));

    // Nothing more arrives: what the fields hold now reaches the screen.
    QVERIFY(waitUntil([&] {
        return counter.last() == QString::number(Messages)
               && answer.last() == QString::fromLatin1(lastAck);
    }));
}

void PaintingTest::newRowsOfALongListPaintOnlyTheRows()
{
    TestProgram program;
    frmInterface &w = program.openListening();
    QVERIFY(showExposed(w));
    ReceivedListView &list = *w.lvwReceiveData;
    PaintedTexts counter(w.txtItemCount);
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    int sent = 0;
    // Sent and answered, and the frame that shows the last of them painted.
    const auto send = [&](int count) {
        for (int i = 0; i < count; ++i)
            if (!client.exchange(framed("MSH|^~\\&|LONG|||||ADT^A01|" + QByteArray::number(++sent) + "|P|2.3\r")))
                return false;
        return waitUntil([&] { return counter.last() == QString::number(sent); });
    };
    // Long enough that the handle is as small as it gets, at the bottom.
    QVERIFY(send(500));
    PaintCount rows(list.viewport()), frame(&list), vertical(list.verticalScrollBar()),
            horizontal(list.horizontalScrollBar());
    QVERIFY(send(20));
    QCOMPARE(list.model()->rowCount(), 520);
    QVERIFY(rows.paints > 0);
    QCOMPARE(vertical.paints, 0);
    QCOMPARE(horizontal.paints, 0);
    QCOMPARE(frame.paints, 0);

    // A handle that moves is painted where it went.
    list.verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
    QVERIFY(waitUntil([&] { return vertical.paints > 0; }));
    QCOMPARE(list.firstVisibleRow(), 0);
}

QTEST_MAIN(PaintingTest)
#include "tst_painting.moc"

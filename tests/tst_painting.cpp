// While messages pour in, the window paints a few frames a second and lets
// the updates in between wait; once the sender stops, the waiting updates
// are painted: the window shows the last count and the last answer exactly.
// New rows of a long list paint the rows, not the scroll bars or the frame.

#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "mainwindow/receivedlistview.h"

#include <QEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QtTest>

namespace {
// Each paint of a widget, with the text it showed when it is a text box.
class Paints : public QObject
{
public:
    explicit Paints(QWidget *widget) : m_widget(widget) { widget->installEventFilter(this); }

    qsizetype count() const { return m_texts.size(); }
    QString last() const { return m_texts.isEmpty() ? QString() : m_texts.last(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_widget && event->type() == QEvent::Paint) {
            const auto *box = qobject_cast<QLineEdit *>(m_widget);
            m_texts << (box ? box->text() : QString());
        }
        return false;
    }

private:
    QWidget *m_widget;
    QStringList m_texts;
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
    Paints counter(w.txtItemCount);
    Paints answer(w.txtSendData);

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
    Paints counter(w.txtItemCount);
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
    Paints rows(list.viewport()), frame(&list), vertical(list.verticalScrollBar()),
            horizontal(list.horizontalScrollBar());
    QVERIFY(send(20));
    QVERIFY(rows.count() > 0);
    QCOMPARE(vertical.count(), 0);
    QCOMPARE(horizontal.count(), 0);
    QCOMPARE(frame.count(), 0);

    // A handle that moves is painted where it went.
    list.verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
    QVERIFY(waitUntil([&] { return vertical.count() > 0; }));
}

QTEST_MAIN(PaintingTest)
#include "tst_painting.moc"

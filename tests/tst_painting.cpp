// While messages pour in, the window paints a few frames a second and lets
// the updates in between wait; once the sender stops, the waiting updates
// are painted: the window shows the last count and the last answer exactly.

#include "testsupport.h"

#include "mainwindow/frminterface.h"

#include <QEvent>
#include <QLineEdit>
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
} // namespace

class PaintingTest : public QObject
{
    Q_OBJECT

private slots:
    void theLastValuesArePaintedOnceABurstEnds();
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

QTEST_MAIN(PaintingTest)
#include "tst_painting.moc"

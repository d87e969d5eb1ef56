// Where a byte of a message stands, as HL7 names it: pure, no window.

#include "protocol/hl7place.h"

#include <QtTest>

namespace {
QString nameAt(QByteArrayView message, QByteArrayView before)
{
    const qsizetype at = QByteArrayView(message).indexOf(before);
    return at < 0 ? QStringLiteral("(missing)") : Hl7Place::placeAt(message, at + before.size()).name();
}
} // namespace

class Hl7PlaceTest : public QObject
{
    Q_OBJECT

private slots:
    void segmentsFieldsRepetitionsAndComponents();
    void aMessageWithItsOwnSeparators();
};

void Hl7PlaceTest::segmentsFieldsRepetitionsAndComponents()
{
    const QByteArray m = "\x0bMSH|^~\\&|LAB|FAC|||202601011200||ADT^A01|MSG00012|P|2.5\r"
                         "PID|1||100001^^^HOSP~200002^^^OTHER||DOE^JANE\r"
                         "OBX|1|TX|x||first~second^part&sub\r\x1c\r";
    QCOMPARE(nameAt(m, "\x0bM"), QStringLiteral("MSH"));
    QCOMPARE(Hl7Place::placeAt(m, 4).name(), QStringLiteral("MSH-1"));
    QCOMPARE(Hl7Place::placeAt(m, 4).value, QByteArray("|"));
    QCOMPARE(nameAt(m, "MSH|^"), QStringLiteral("MSH-2"));
    QCOMPARE(Hl7Place::placeAt(m, 6).value, QByteArray("^~\\&"));
    QCOMPARE(nameAt(m, "MSH|^~\\&|"), QStringLiteral("MSH-3.1"));
    QCOMPARE(nameAt(m, "ADT^"), QStringLiteral("MSH-9.2"));
    QCOMPARE(Hl7Place::placeAt(m, m.indexOf("A01")).value, QByteArray("A01"));
    QCOMPARE(nameAt(m, "||ADT^A01|"), QStringLiteral("MSH-10.1"));
    QCOMPARE(nameAt(m, "PID|1||"), QStringLiteral("PID-3(1).1"));
    const Hl7Place::Place other = Hl7Place::placeAt(m, m.indexOf("OTHER"));
    QCOMPARE(other.name(), QStringLiteral("PID-3(2).4"));
    QCOMPARE(other.value, QByteArray("OTHER"));
    QCOMPARE(nameAt(m, "DOE^"), QStringLiteral("PID-5.2"));
    QCOMPARE(nameAt(m, "first~"), QStringLiteral("OBX-5(2).1"));
    QCOMPARE(nameAt(m, "part&"), QStringLiteral("OBX-5(2).2.2"));
    QCOMPARE(Hl7Place::placeAt(m, m.indexOf("sub")).value, QByteArray("sub"));
    // A separator belongs to the part it ends; framing and segment ends to none.
    QCOMPARE(Hl7Place::placeAt(m, m.indexOf("|1||100001")).name(), QStringLiteral("PID"));
    QCOMPARE(Hl7Place::placeAt(m, m.indexOf("|100001")).name(), QStringLiteral("PID-2.1"));
    QVERIFY(!Hl7Place::placeAt(m, 0).isValid());
    QVERIFY(!Hl7Place::placeAt(m, m.indexOf('\r')).isValid());
    QVERIFY(!Hl7Place::placeAt(m, m.size()).isValid());

    QCOMPARE(Hl7Place::fieldOf(m, "MSH", 9), QByteArrayView("ADT^A01"));
    QCOMPARE(Hl7Place::fieldOf(m, "MSH", 10), QByteArrayView("MSG00012"));
    QCOMPARE(Hl7Place::fieldOf(m, "MSH", 1), QByteArrayView("|"));
    QCOMPARE(Hl7Place::fieldOf(m, "PID", 3), QByteArrayView("100001^^^HOSP~200002^^^OTHER"));
    QVERIFY(Hl7Place::fieldOf(m, "MSA", 1).isEmpty());
    QVERIFY(Hl7Place::fieldOf(m, "PID", 40).isEmpty());
}

void Hl7PlaceTest::aMessageWithItsOwnSeparators()
{
    // '#' between fields, '$' components, '*' repetitions, '@' subcomponents.
    const QByteArray m = "MSH#$*\\@#LAB#FAC#####ORU$R01#ID7#P#2.5\rOBX#1#ST#x##a|b*c$d@e\r";
    const Hl7Place::Separators s = Hl7Place::separatorsOf(m);
    QCOMPARE(s.field, '#');
    QCOMPARE(s.component, '$');
    QCOMPARE(s.repetition, '*');
    QCOMPARE(s.subcomponent, '@');
    QCOMPARE(nameAt(m, "ORU$"), QStringLiteral("MSH-9.2"));
    QCOMPARE(Hl7Place::fieldOf(m, "MSH", 10), QByteArrayView("ID7"));
    // '|' is an ordinary byte here.
    QCOMPARE(nameAt(m, "##a|"), QStringLiteral("OBX-5(1).1"));
    QCOMPARE(Hl7Place::placeAt(m, m.indexOf("a|b")).value, QByteArray("a|b"));
    QCOMPARE(nameAt(m, "c$d@"), QStringLiteral("OBX-5(2).2.2"));
    // No MSH: the usual separators.
    QCOMPARE(Hl7Place::placeAt("PID|1|x^y", 8).name(), QStringLiteral("PID-2.2"));
    // Bytes without a separator are one "name" of any length: it is shown cut,
    // so that the viewer's place line never lays out megabytes.
    const QByteArray stray = QByteArray(1 << 20, 'Z') + "|after";
    const Hl7Place::Place name = Hl7Place::placeAt(stray, 500000);
    QCOMPARE(name.name(), QString(32, QLatin1Char('Z')) + QChar(0x2026));
    QCOMPARE(name.value.size(), 1 << 20);
    QCOMPARE(Hl7Place::placeAt(stray, stray.size() - 1).name(), QString(32, QLatin1Char('Z')) + QChar(0x2026) + QStringLiteral("-1.1"));
}

QTEST_APPLESS_MAIN(Hl7PlaceTest)
#include "tst_hl7place.moc"

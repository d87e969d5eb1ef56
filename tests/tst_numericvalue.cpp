#include "settings/numericvalue.h"

#include <QtTest>

#include <cmath>
#include <limits>

class TestNumericValue : public QObject
{
    Q_OBJECT

private slots:
    void value_data();
    void value();
    void readsOnlyInsideTheView();
    void hugeInputs();
    void roundsExactlyPastKeptDigits();
    void rounded_data();
    void rounded();
    void decimal_data();
    void decimal();
    void decimalReadsBack();
};

void TestNumericValue::value_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    QTest::newRow("port") << "9999" << 9999.0;
    QTest::newRow("leading zeros") << "007" << 7.0;
    QTest::newRow("blanks, then trailing text") << " \t 42abc" << 42.0;
    QTest::newRow("no number") << "abc" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("negative") << "-5" << -5.0;
    QTest::newRow("plus sign") << "+3" << 3.0;
    QTest::newRow("blank after sign") << "- 5" << 0.0;
    QTest::newRow("fraction") << "1.5" << 1.5;
    QTest::newRow("fraction only") << ".5" << 0.5;
    QTest::newRow("trailing dot") << "5." << 5.0;
    QTest::newRow("exponent") << "1e3" << 1000.0;
    QTest::newRow("capital E, negative exponent") << "25E-1" << 2.5;
    QTest::newRow("E without digits") << "1e" << 1.0;
    QTest::newRow("E and sign without digits") << "7E+x" << 7.0;
    QTest::newRow("correctly rounded") << "0.1" << 0.1;
    QTest::newRow("more digits than a double holds")
        << "123456789012345678901234567890" << 123456789012345678901234567890.0;
    QTest::newRow("other blanks are not skipped") << "\n5" << 0.0;
    QTest::newRow("non-ASCII digit") << QString(QChar(0x0661)) << 0.0;
}

void TestNumericValue::value()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(numericValue(text), expected);
}

void TestNumericValue::readsOnlyInsideTheView()
{
    const QString text = QStringLiteral("1e5 and 12345");
    QCOMPARE(numericValue(QStringView(text).first(2)), 1.0);
    QCOMPARE(numericValue(QStringView(text).sliced(8, 2)), 12.0);
}

void TestNumericValue::hugeInputs()
{
    const qsizetype megabyte = 1 << 20;
    const QString digits(megabyte, u'9');
    QCOMPARE(numericValue(digits), std::numeric_limits<double>::infinity());
    QCOMPARE(numericValue(u'-' + digits), -std::numeric_limits<double>::infinity());
    QCOMPARE(numericValue(QString(megabyte, u'0') + u'5'), 5.0);
    QCOMPARE(numericValue(u"1e99999999999999999999999999"), std::numeric_limits<double>::infinity());
    QCOMPARE(numericValue(u"1e-99999999999999999999999999"), 0.0);
    QCOMPARE(numericValue(u"0e99999999999999999999999999"), 0.0);
    // A million fraction digits and a million as exponent: the shifts must add up.
    QCOMPARE(numericValue(QStringLiteral("0.") + QString(megabyte - 1, u'0') + QStringLiteral("1e") + QString::number(megabyte)), 1.0);
    QCOMPARE(numericValue(QStringLiteral("1") + QString(megabyte, u'0') + QStringLiteral("e-") + QString::number(megabyte)), 1.0);
}

// 2^53 + 1 lies halfway between two doubles; a non-zero digit far behind it
// must still tip the rounding upwards.
void TestNumericValue::roundsExactlyPastKeptDigits()
{
    const QString zeros(2000, u'0');
    QCOMPARE(numericValue(QStringLiteral("9007199254740993.") + zeros), 9007199254740992.0);
    QCOMPARE(numericValue(QStringLiteral("9007199254740993.") + zeros + u'1'), 9007199254740994.0);
    QCOMPARE(numericValue(QStringLiteral("9007199254740993") + zeros + QStringLiteral("1e-2001")), 9007199254740994.0);
}

void TestNumericValue::rounded_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<qint32>("expected");

    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("whole") << 5.0 << 5;
    QTest::newRow("half to even, down") << 0.5 << 0;
    QTest::newRow("half to even, up") << 1.5 << 2;
    QTest::newRow("half to even, 2.5") << 2.5 << 2;
    QTest::newRow("negative half") << -1.5 << -2;
    QTest::newRow("just over half") << 2.5000001 << 3;
    QTest::newRow("above range") << 99999999999.0 << std::numeric_limits<qint32>::max();
    QTest::newRow("below range") << -99999999999.0 << std::numeric_limits<qint32>::min();
    QTest::newRow("infinity") << inf << std::numeric_limits<qint32>::max();
    QTest::newRow("NaN") << std::nan("") << 0;
}

void TestNumericValue::rounded()
{
    QFETCH(double, value);
    QFETCH(qint32, expected);
    QCOMPARE(roundedToInt32(value), expected);
}

void TestNumericValue::decimal_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("expected");

    QTest::newRow("port") << 9999.0 << "9999";
    QTest::newRow("zero") << 0.0 << "0";
    QTest::newRow("negative zero") << -0.0 << "0";
    QTest::newRow("negative") << -3.0 << "-3";
    QTest::newRow("fraction") << 7.5 << "7.5";
    QTest::newRow("shortest exact") << 0.1 << "0.1";
    QTest::newRow("largest plain") << 999999999999999.0 << "999999999999999";
}

void TestNumericValue::decimal()
{
    QFETCH(double, value);
    QFETCH(QString, expected);
    QCOMPARE(decimalText(value), expected);
}

void TestNumericValue::decimalReadsBack()
{
    for (const double value : {1e15, 1e20, 0.1 + 0.2, 1.0 / 3.0, -2.5e-300, 123456.789}) {
        const QString text = decimalText(value);
        QCOMPARE(numericValue(text), value);
    }
}

QTEST_GUILESS_MAIN(TestNumericValue)
#include "tst_numericvalue.moc"

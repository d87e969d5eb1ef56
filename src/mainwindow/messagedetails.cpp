#include "messagedetails.h"

#include "store/messagestore.h"
#include "mainwindow/messagetext.h"

#include <QDateTime>

namespace {
QString timeText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
}

// The answer's bytes with each control byte as its mark.
void appendMarked(MessageDetails &details, const QByteArray &bytes, const QPalette &palette)
{
    QString run;
    const auto flush = [&] {
        details.plain += run;
        details.rich += run.toHtmlEscaped();
        run.clear();
    };
    for (const char byte : bytes) {
        const QChar c = QChar(char16_t(quint8(byte)));
        const QLatin1String mark = MessageText::markFor(c);
        if (mark.isEmpty()) {
            run += c;
            continue;
        }
        flush();
        details.plain += QLatin1Char('<') + mark + QLatin1Char('>');
        details.rich += QStringLiteral("<span style=\"background-color:%1;color:%2;font-size:small\">"
                                       "&#8201;%3&#8201;</span>&#8202;")
                            .arg(palette.color(QPalette::Mid).name(), palette.color(QPalette::Base).name(), mark);
    }
    flush();
}

void appendLine(MessageDetails &details, const QString &line)
{
    if (!details.plain.isEmpty()) {
        details.plain += QLatin1Char('\n');
        details.rich += QStringLiteral("<br>");
    }
    details.plain += line;
    details.rich += line.toHtmlEscaped();
}
} // namespace

MessageDetails messageDetails(const MessageStore &store, qint64 index, const QPalette &palette)
{
    MessageDetails details;
    const MessageInfo info = store.info(index);
    QString arrived = QStringLiteral("Arrived %1").arg(timeText(info.arrivedMs));
    if (info.arrivals > 1)
        arrived += QStringLiteral(", in %1 arrivals over %2 s")
                       .arg(info.arrivals)
                       .arg(double(info.arrivedMs - info.firstArrivalMs) / 1000.0, 0, 'f', 3);
    appendLine(details, arrived);
    if (info.kind == MessageInfo::Kind::Outside)
        appendLine(details, QStringLiteral("Received outside the MLLP framing"));
    else if (info.kind == MessageInfo::Kind::Incomplete)
        appendLine(details, QStringLiteral("Incomplete: the connection ended inside an MLLP block"));
    QByteArray answer;
    qint64 sentMs = 0;
    if (!store.answer(index, &answer, &sentMs)) {
        appendLine(details, QStringLiteral("No answer sent"));
        return details;
    }
    appendLine(details, QStringLiteral("Answer sent %1: ").arg(timeText(sentMs)));
    appendMarked(details, answer, palette);
    return details;
}

#include "messagedetails.h"

#include "store/messagestore.h"
#include "mainwindow/messagetext.h"

#include <QDateTime>
#include <QStringList>

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

// "LF", "CR LF", "3 NUL bytes", "9 bytes of CR and LF, from CR LF CR LF".
QString paddingText(const MessageInfo::Padding &padding)
{
    static const char *const names[] = {"CR", "LF", "NUL"};
    const auto name = [](char byte) { return QLatin1String(names[byte == '\r' ? 0 : byte == '\n' ? 1 : 2]); };
    if (padding.isOneKind() && padding.bytes > 1)
        return QStringLiteral("%1 %2 bytes").arg(padding.bytes).arg(name(padding.at(0)));
    QStringList firsts;
    for (int i = 0; i < MessageInfo::Padding::Listed && quint32(i) < padding.bytes; ++i)
        firsts << name(padding.at(i));
    if (padding.bytes <= quint32(MessageInfo::Padding::Listed))
        return firsts.join(QLatin1Char(' '));
    QStringList kinds;
    for (int kind = 0; kind < 3; ++kind) {
        if (padding.seen & (1 << kind))
            kinds << QLatin1String(names[kind]);
    }
    const QString last = kinds.takeLast();
    return QStringLiteral("%1 bytes of %2 and %3, from %4")
        .arg(padding.bytes)
        .arg(kinds.join(QStringLiteral(", ")), last, firsts.join(QLatin1Char(' ')));
}

// "Answer: by rule at line 3, then the connection was closed".
QString decisionText(const MessageInfo &info)
{
    QString text = info.ruleLine != 0 ? QStringLiteral("Answer: by rule at line %1").arg(info.ruleLine)
                                      : QStringLiteral("Answer: as configured");
    switch (info.outcome) {
    case MessageInfo::Outcome::Answered: break;
    case MessageInfo::Outcome::AnsweredThenClosed: text += QStringLiteral(", then the connection was closed"); break;
    case MessageInfo::Outcome::Withheld: text += QStringLiteral(", no answer (rule)"); break;
    case MessageInfo::Outcome::Reset: text += QStringLiteral(", connection reset"); break;
    case MessageInfo::Outcome::AckNotAnswered: text += QStringLiteral(", not answered: an acknowledgement"); break;
    }
    return text;
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
    if (const QByteArray sender = store.sender(info.sender); !sender.isEmpty())
        appendLine(details, QStringLiteral("From: ") + QString::fromUtf8(sender));
    if (info.kind == MessageInfo::Kind::Outside)
        appendLine(details, QStringLiteral("Received outside the MLLP framing"));
    else if (info.kind == MessageInfo::Kind::Incomplete)
        appendLine(details, QStringLiteral("Incomplete: the connection ended inside an MLLP block"));
    // Padding is no message of its own: the messages beside it tell of it.
    if (!info.precededBy.isEmpty())
        appendLine(details, QStringLiteral("Preceded by ") + paddingText(info.precededBy));
    if (!info.followedBy.isEmpty())
        appendLine(details, QStringLiteral("Followed by ") + paddingText(info.followedBy));
    // How the answer was decided, where a rule took part or it was not the
    // usual one.
    if (info.ruleLine != 0 || info.outcome != MessageInfo::Outcome::Answered)
        appendLine(details, decisionText(info));
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

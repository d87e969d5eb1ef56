#include "placeline.h"

#include "protocol/hl7place.h"
#include "mainwindow/messageviewer.h"

#include <QMouseEvent>

PlaceLine::PlaceLine(MessageTextBox &box, const QByteArray &placeBytes, QWidget *parent)
    : QLabel(parent), m_box(box), m_placeBytes(placeBytes)
{
    setObjectName(QStringLiteral("lblPlace"));
    setAccessibleName(QStringLiteral("Place of the cursor"));
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    connect(&box, &QPlainTextEdit::cursorPositionChanged, this, [this] { refresh(); });
    box.viewport()->installEventFilter(this);
    m_viewport = box.viewport();
}

void PlaceLine::refresh(bool withValue)
{
    const Hl7Place::Place place = Hl7Place::placeAt(m_placeBytes, m_box.byteAt(m_box.textCursor().position()));
    QString text = place.name();
    if (withValue && place.isValid()) {
        // Cut before a character, not inside one (the text is UTF-8).
        qsizetype length = qMin(place.value.size(), LongestValue);
        while (length < place.value.size() && length > 0 && (uchar(place.value.at(length)) & 0xC0) == 0x80)
            --length;
        QString value = QString::fromUtf8(place.value.first(length));
        if (place.value.size() > length)
            value += QChar(0x2026);
        text += QStringLiteral(" = ") + value;
    }
    setText(text);
}

bool PlaceLine::eventFilter(QObject *watched, QEvent *event)
{
    // The click has placed the cursor by now: its field's value is shown too.
    // The viewport is compared as kept: the box may be on its way out.
    if (watched == m_viewport && event->type() == QEvent::MouseButtonRelease
        && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
        refresh(true);
    return false;
}

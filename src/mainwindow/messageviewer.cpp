#include "messageviewer.h"

#include "files/savefile.h"
#include "windowing/classiclook.h"
#include "windowing/controls.h"
#include "mainwindow/messagetext.h"
#include "mainwindow/placeline.h"
#include "mainwindow/selectionjob.h"
#include "windowing/twips.h"
#include "windowing/windowing.h"

#include <QBoxLayout>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QTextBlock>
#include <QTimer>

namespace {
// The character a mark stands for (a control character, or the escape of a
// byte that did not decode), kept with the mark's letters in the document.
constexpr int MarkedChar = QTextFormat::UserProperty + 1;
// Set on the gaps, which stand for nothing in the message.
constexpr int GapProperty = QTextFormat::UserProperty + 2;
// Between a mark and its neighbours on a line, as the list leaves a gap, and
// inside a mark's box on either side of its letters. A message may hold
// these characters too: copying knows the gaps and marks by their formats.
constexpr char16_t Gap = 0x200A;
constexpr char16_t Padding = 0x2009;

QString numberedCaption(qint64 number, qsizetype bytes)
{
    return QStringLiteral("Message %1 (%2 bytes)").arg(number).arg(bytes);
}
} // namespace

void saveMessageAs(QWidget *parent, Windowing &windowing, qint64 number, QByteArrayView message)
{
    const QString path =
        windowing.chooseSaveFile(parent, QStringLiteral("message-%1.hl7").arg(number));
    if (path.isEmpty())
        return;
    if (const std::optional<QString> failure = saveFile(path, message))
        windowing.notice(parent, QStringLiteral("The message could not be saved to %1: %2")
                                     .arg(path, *failure));
}

void copyMessage(QByteArrayView message, const Charsets::Setting &setting)
{
    QGuiApplication::clipboard()->setText(MessageText::copyText(MessageText::shown(message, setting).text));
}

MessageTextBox::MessageTextBox(QWidget *parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    // Selectable and focusable from the keyboard, so a reader can walk it.
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_filler.setSingleShot(true);
    m_filler.setInterval(0);
    connect(&m_filler, &QTimer::timeout, this, &MessageTextBox::fillSlice);
}

void MessageTextBox::setMessage(const QString &text)
{
    m_filler.stop();
    clear();
    m_text = text;
    m_next = 0;
    m_byte = 0;
    m_lineLength = 0;
    m_afterMark = false;
    m_markFormat = QTextCharFormat();
    m_markFormat.setBackground(palette().color(QPalette::Mid));
    m_markFormat.setForeground(palette().color(QPalette::Base));
    m_markFormat.setFontPointSize(MessageText::markPointSize(font().pointSizeF()));
    m_gapFormat = QTextCharFormat();
    m_gapFormat.setProperty(GapProperty, true);
    // A message of a usual size is in the box at once.
    fillSlice();
    moveCursor(QTextCursor::Start);
}

void MessageTextBox::fillSlice()
{
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    QElapsedTimer slice;
    slice.start();
    while (!isFilled() && !slice.hasExpired(SliceMilliseconds)) {
        // Up to the next mark, no more than a line at a time, a character of
        // two halves kept whole.
        qsizetype end = qMin(m_text.size(), m_next + LongestLine);
        if (end < m_text.size() && m_text[end - 1].isHighSurrogate())
            ++end;
        qsizetype i = m_next;
        while (i < end && MessageText::markAt(m_text, i).isEmpty())
            ++i;
        if (i > m_next)
            putText(cursor, QStringView(m_text).sliced(m_next, i - m_next));
        if (i < end)
            putMark(cursor, i++);
        m_next = i;
    }
    cursor.endEditBlock();
    if (!isFilled())
        m_filler.start();
}

void MessageTextBox::showEvent(QShowEvent *event)
{
    QPlainTextEdit::showEvent(event);
    if (!isFilled())
        m_filler.start();
}

void MessageTextBox::hideEvent(QHideEvent *event)
{
    m_filler.stop();
    QPlainTextEdit::hideEvent(event);
}

void MessageTextBox::startLine(QTextCursor &cursor)
{
    cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    // Each line knows the byte it starts at, so a place is found from its line alone.
    cursor.block().setUserState(int(m_byte));
    m_lineLength = 0;
    m_afterMark = false;
}

void MessageTextBox::putText(QTextCursor &cursor, QStringView run)
{
    while (!run.isEmpty()) {
        if (m_lineLength >= LongestLine)
            startLine(cursor);
        if (m_afterMark)
            cursor.insertText(QString(QChar(Gap)), m_gapFormat);
        qsizetype length = qMin(run.size(), LongestLine - m_lineLength);
        if (length < run.size() && run[length - 1].isHighSurrogate())
            length += length > 1 ? -1 : 1;
        const QStringView piece = run.first(length);
        cursor.insertText(piece.toString(), QTextCharFormat());
        m_lineLength += length;
        for (qsizetype i = 0; i < piece.size(); ++i)
            m_byte += MessageText::placeLength(piece, i);
        m_afterMark = false;
        run = run.sliced(length);
    }
}

void MessageTextBox::putMark(QTextCursor &cursor, qsizetype i)
{
    if (m_lineLength >= LongestLine)
        startLine(cursor);
    if (m_lineLength > 0)
        cursor.insertText(QString(QChar(Gap)), m_gapFormat);
    const QChar c = m_text[i];
    m_markFormat.setProperty(MarkedChar, int(c.unicode()));
    cursor.insertText(QChar(Padding) + MessageText::markAt(m_text, i) + QChar(Padding), m_markFormat);
    m_lineLength += MarkWeight;
    m_byte += MessageText::placeLength(m_text, i);
    m_afterMark = true;
    if (c == QLatin1Char('\r'))
        startLine(cursor);
}

qsizetype MessageTextBox::byteAt(int position) const
{
    const QTextBlock block = document()->findBlock(position);
    qsizetype byte = qMax(0, block.userState());
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        if (fragment.position() >= position)
            break;
        const QTextCharFormat format = fragment.charFormat();
        if (format.hasProperty(GapProperty))
            continue;
        const int before = qMin(position - fragment.position(), fragment.length());
        if (const QVariant marked = format.property(MarkedChar); marked.isValid()) {
            if (before < fragment.length())
                return byte; // inside a mark: its character
            const QChar c(char16_t(marked.toInt()));
            byte += MessageText::placeLength(QStringView(&c, 1), 0);
            continue;
        }
        const QString text = fragment.text();
        for (qsizetype i = 0; i < before; ++i)
            byte += MessageText::placeLength(text, i);
    }
    return byte;
}

QMimeData *MessageTextBox::createMimeDataFromSelection() const
{
    // The selected text again, each mark as the character it stands for.
    const QTextCursor selection = textCursor();
    const int from = selection.selectionStart();
    const int to = selection.selectionEnd();
    QString chars;
    auto *mime = new QMimeData;
    const auto refuse = [&] {
        // Told once the copy is over; the clipboard is left empty.
        if (m_copyRefused)
            QTimer::singleShot(0, this, m_copyRefused);
        return mime;
    };
    for (QTextBlock block = document()->findBlock(from); block.isValid() && block.position() < to;
         block = block.next()) {
        if (chars.size() > MessageText::ClipboardLimit)
            return refuse();
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const int start = qMax(from, fragment.position());
            const int end = qMin(to, fragment.position() + fragment.length());
            if (start >= end)
                continue;
            const QTextCharFormat format = fragment.charFormat();
            if (format.hasProperty(GapProperty))
                continue;
            if (const QVariant marked = format.property(MarkedChar); marked.isValid()) {
                chars += QChar(char16_t(marked.toInt()));
                continue;
            }
            chars += fragment.text().sliced(start - fragment.position(), end - start);
        }
    }
    QString text;
    if (!MessageText::appendCopyText(text, QStringView(chars), MessageText::ClipboardLimit))
        return refuse();
    mime->setText(text);
    return mime;
}

MessageViewer::MessageViewer(Windowing &windowing, QWidget *parent)
    : QWidget(parent, Qt::Window), m_windowing(windowing)
{
    using Controls::button;
    setObjectName(QStringLiteral("frmMessage"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/frminterface.ico")));
    setPalette(ClassicLook::palette());
    setFont(ClassicLook::formFont());
    setAutoFillBackground(true);

    lblMessage = Controls::label(this, "lblMessage", QString());
    lblDetails = Controls::label(this, "lblDetails", QString());
    lblDetails->setTextFormat(Qt::RichText);
    lblDetails->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // An answer's line wraps after its separators, and what will not wrap is
    // cut at the edge: on one line, a long answer widened the viewer past the
    // screen, its buttons with it. The whole answer stays its accessible name.
    lblDetails->setWordWrap(true);
    QSizePolicy wrapping(QSizePolicy::Ignored, QSizePolicy::Preferred);
    wrapping.setHeightForWidth(true);
    lblDetails->setSizePolicy(wrapping);
    txtMessage = Controls::named(new MessageTextBox(this), "txtMessage", QStringLiteral("Message"));
    txtMessage->setCopyRefused([this] {
        m_windowing.notice(this, QStringLiteral("The selected text comes to more than 64 MiB, too much for "
                                                "the clipboard. Use Save As... to save the message to a file."));
    });
    lblPlace = new PlaceLine(*txtMessage, m_placeBytes, this);
    cmdCopy = button(this, "cmdCopy", QStringLiteral("&Copy"),
                     QStringLiteral("Copy the message as text, one segment to a line"));
    cmdSaveAs = button(this, "cmdSaveAs", QStringLiteral("&Save As..."),
                       QStringLiteral("Save the message's bytes as received"));
    cmdClose = button(this, "cmdClose", QStringLiteral("Cl&ose"), QStringLiteral("Close this window"));
    // A screen reader says the caption without its access-key mark.
    for (QPushButton *b : {cmdCopy, cmdSaveAs, cmdClose})
        b->setAccessibleName(QString(b->text()).remove(QLatin1Char('&')));

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    for (QPushButton *b : {cmdCopy, cmdSaveAs, cmdClose}) {
        b->setMinimumSize(Twips::toPixels(1455, this), Twips::toPixels(375, this));
        buttons->addWidget(b);
    }
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lblMessage);
    layout->addWidget(lblDetails);
    layout->addWidget(txtMessage, 1);
    layout->addWidget(lblPlace);
    layout->addLayout(buttons);

    connect(cmdCopy, &QPushButton::clicked, this, &MessageViewer::copy);
    connect(cmdSaveAs, &QPushButton::clicked, this, &MessageViewer::saveAs);
    connect(cmdClose, &QPushButton::clicked, this, &QWidget::close);
    resize(Twips::toPixels(9420, this), Twips::toPixels(6000, this));
}

void MessageViewer::showMessage(qint64 number, QByteArray message)
{
    m_number = number;
    m_message = std::move(message);
    const QString caption = numberedCaption(number, m_message.size());
    setWindowTitle(caption);
    lblMessage->setText(caption);
    lblMessage->setAccessibleName(caption);
    // Its own details follow (setDetails); until then only its set.
    m_detailsRich.clear();
    m_detailsPlain.clear();
    showText();
    show();
    raise();
    activateWindow();
}

void MessageViewer::setTextSetting(const Charsets::Setting &setting)
{
    if (setting == m_textSetting)
        return;
    m_textSetting = setting;
    if (m_number > 0)
        showText();
}

void MessageViewer::showText()
{
    m_shown = MessageText::shown(m_message, m_textSetting);
    m_placeBytes = MessageText::placeBytes(m_shown.text);
    txtMessage->setMessage(m_shown.text);
    lblPlace->refresh();
    showDetails();
}

void MessageViewer::setDetails(const QString &richText, const QString &plainText)
{
    m_detailsRich = richText;
    m_detailsPlain = plainText;
    showDetails();
}

void MessageViewer::showDetails()
{
    const QString set = QStringLiteral("Character set: ") + m_shown.choice.describe();
    const bool alone = m_detailsPlain.isEmpty();
    lblDetails->setText(alone ? set.toHtmlEscaped() : m_detailsRich + QStringLiteral("<br>") + set.toHtmlEscaped());
    lblDetails->setAccessibleName(alone ? set : m_detailsPlain + QLatin1Char('\n') + set);
}

void MessageViewer::copy()
{
    if (m_message.size() > MessageText::ClipboardLimit)
        m_windowing.notice(this, tooLargeToCopy(false));
    else if (m_message.size() > CopiedAtOnce)
        SelectionJob::copyText(this, this, m_windowing, m_shown.text);
    else
        QGuiApplication::clipboard()->setText(MessageText::copyText(m_shown.text));
}

void MessageViewer::saveAs()
{
    saveMessageAs(this, m_windowing, m_number, m_message);
}

void MessageViewer::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier)
        close();
    else
        QWidget::keyPressEvent(event);
}

#pragma once

#include "mainwindow/messagetext.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QPlainTextEdit>
#include <QTextCharFormat>
#include <QTimer>
#include <QWidget>

#include <functional>

class PlaceLine;
class QLabel;
class QPushButton;
class Windowing;

// Writes a message's exact bytes to a file the operator chooses (saveFile: a
// FIFO or a device is written into, never replaced); a failure is reported,
// naming the file and the reason.
void saveMessageAs(QWidget *parent, Windowing &windowing, qint64 number, QByteArrayView message);

// Puts the message, decoded in the set `setting` gives it, on the clipboard
// as MessageText::copyText gives it: for a message of up to CopiedAtOnce
// bytes, made on the window's thread.
void copyMessage(QByteArrayView message, const Charsets::Setting &setting);

// The text box of the viewer: one segment to a line, the control bytes (and
// the bytes that did not decode) as marked boxes like the list's. Copying a
// selection gives the same text as copying the whole message, not the marks'
// letters.
class MessageTextBox : public QPlainTextEdit
{
public:
    // A line is laid out whole, and a segment of megabytes (an embedded
    // document) would hold the program for seconds: a longer segment goes on
    // over several lines. Only a CR mark ends a segment.
    static constexpr qsizetype LongestLine = 1024;

    explicit MessageTextBox(QWidget *parent = nullptr);

    // The message as decoded (MessageText::shown).
    void setMessage(const QString &text);
    // A long message goes into the box a slice at a time, with the program
    // free to answer its sender between slices.
    bool isFilled() const { return m_next >= m_text.size(); }
    // The offset in MessageText::placeBytes() of the text just after a text
    // position (a mark stands for its one character; gaps and line breaks
    // for none).
    qsizetype byteAt(int position) const;
    // Called after a copy of a selection too large for the clipboard.
    void setCopyRefused(std::function<void()> told) { m_copyRefused = std::move(told); }

protected:
    QMimeData *createMimeDataFromSelection() const override;
    // A closed viewer stops filling; shown again, it goes on.
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    static constexpr int SliceMilliseconds = 8;
    // A mark costs a line's layout about as much as this many characters.
    static constexpr qsizetype MarkWeight = 16;

    void fillSlice();
    void startLine(QTextCursor &cursor);
    void putText(QTextCursor &cursor, QStringView run);
    void putMark(QTextCursor &cursor, qsizetype i);

    QString m_text;
    qsizetype m_next = 0;
    qsizetype m_byte = 0; // the place bytes put in so far
    qsizetype m_lineLength = 0;
    bool m_afterMark = false;
    QTextCharFormat m_markFormat;
    QTextCharFormat m_gapFormat;
    QTimer m_filler;
    std::function<void()> m_copyRefused;
};

// A received message up close, in a window of its own that takes no input
// away from the main window: the whole message, its number in the run and
// its size, and Copy and Save As... for it. Opening another message reuses
// the window.
class MessageViewer : public QWidget
{
    Q_OBJECT

public:
    explicit MessageViewer(Windowing &windowing, QWidget *parent = nullptr);

    // Shows message `number` of the run (the first is 1).
    void showMessage(qint64 number, QByteArray message);
    qint64 number() const { return m_number; }
    const QByteArray &message() const { return m_message; }
    // The character set messages are decoded in ([Text]); a change shows the
    // message again in the set it now takes.
    void setTextSetting(const Charsets::Setting &setting);
    // The set the message is shown in, and why (also a line of lblDetails).
    const Charsets::Choice &characterSet() const { return m_shown.choice; }
    // The text as shown: a line per segment (a long one over several), each
    // mark as its letters.
    QString shownText() const { return txtMessage->toPlainText(); }

    // A large message is copied on a thread, one past the clipboard's limit refused.
    void copy();
    void saveAs();

    QLabel *lblMessage = nullptr;
    // When the message came and what was answered (MessageDetails), then
    // the set it is shown in ("Character set: UTF-8, automatic").
    QLabel *lblDetails = nullptr;
    void setDetails(const QString &richText, const QString &plainText);
    MessageTextBox *txtMessage = nullptr;
    // Under the text: where the cursor is, as HL7 names it.
    PlaceLine *lblPlace = nullptr;
    QPushButton *cmdCopy = nullptr;
    QPushButton *cmdSaveAs = nullptr;
    QPushButton *cmdClose = nullptr;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void showText();
    void showDetails();

    Windowing &m_windowing;
    qint64 m_number = 0;
    QByteArray m_message;
    Charsets::Setting m_textSetting;
    MessageText::Shown m_shown;
    // What the place line finds HL7 places in.
    QByteArray m_placeBytes;
    QString m_detailsRich;
    QString m_detailsPlain;
};

#pragma once

#include <QByteArray>
#include <QLabel>

class MessageTextBox;

// The line under the viewer's text: the HL7 place of the text cursor
// ("PID-3.1"), and after a click on a field its value as well.
class PlaceLine : public QLabel
{
public:
    // `placeBytes` are the viewer's: the text the box shows, as
    // MessageText::placeBytes gives it.
    PlaceLine(MessageTextBox &box, const QByteArray &placeBytes, QWidget *parent);

    // Shows the cursor's place again (after a new message).
    void refresh(bool withValue = false);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    static constexpr qsizetype LongestValue = 200;

    MessageTextBox &m_box;
    const QObject *m_viewport = nullptr;
    const QByteArray &m_placeBytes;
};

#pragma once

#include <QApplication>
#include <QCheckBox>
#include <QFont>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QPalette>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>

// The look both windows are drawn with. Their controls stand at fixed twips
// positions on a fixed light grey, so the font and the colours are fixed too:
// the desktop's font or a dark desktop palette must not cut off a caption or
// put light text on the grey.
namespace ClassicLook {

// The font the boxes were designed around, in points, so that it scales with
// the twips positions under any display scaling.
inline QFont formFont()
{
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    return font;
}

// Black on the light grey, black on white in the text boxes. Every role of
// every colour group is set, so that nothing follows the desktop's palette;
// disabled text stays dark enough to read (contrast of 4.5 or more).
inline QPalette palette()
{
    const QColor black(0, 0, 0), white(255, 255, 255), grey(192, 192, 192);
    QPalette p;
    const auto all = [&p](QPalette::ColorRole role, const QColor &colour) {
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            p.setColor(group, role, colour);
    };
    all(QPalette::Window, grey);
    all(QPalette::WindowText, black);
    all(QPalette::Base, white);
    all(QPalette::AlternateBase, QColor(240, 240, 240));
    all(QPalette::Text, black);
    all(QPalette::Button, QColor(239, 239, 239));
    all(QPalette::ButtonText, black);
    all(QPalette::BrightText, white);
    all(QPalette::Light, white);
    all(QPalette::Midlight, QColor(227, 227, 227));
    // The list marks control bytes in Base on Mid: Mid is dark enough for that.
    all(QPalette::Mid, QColor(96, 96, 96));
    all(QPalette::Dark, QColor(64, 64, 64));
    all(QPalette::Shadow, black);
    all(QPalette::Highlight, QColor(0, 0, 128));
    all(QPalette::HighlightedText, white);
    all(QPalette::Link, QColor(0, 0, 192));
    all(QPalette::LinkVisited, QColor(128, 0, 128));
    all(QPalette::ToolTipBase, QColor(255, 255, 225));
    all(QPalette::ToolTipText, black);
    all(QPalette::PlaceholderText, QColor(96, 96, 96));
    // Disabled: greyer than enabled, still readable on its background.
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(64, 64, 64));
    p.setColor(QPalette::Disabled, QPalette::Base, QColor(240, 240, 240));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(80, 80, 80));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(80, 80, 80));
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(96, 96, 96));
    return p;
}

// The width a caption may take in its control, the style's margins taken off.
inline qreal captionRoom(QWidget *widget, QString *text)
{
    QStyle *style = widget->style();
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        *text = label->text();
        return label->contentsRect().width() - 2 * label->margin();
    }
    if (auto *check = qobject_cast<QCheckBox *>(widget)) {
        QStyleOptionButton option;
        option.initFrom(check);
        option.text = *text = check->text();
        return style->subElementRect(QStyle::SE_CheckBoxContents, &option, check).width();
    }
    if (auto *button = qobject_cast<QPushButton *>(widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = *text = button->text();
        return button->width() - style->pixelMetric(QStyle::PM_ButtonMargin, &option, button)
               - 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, button);
    }
    if (auto *box = qobject_cast<QGroupBox *>(widget)) {
        QStyleOptionGroupBox option;
        option.initFrom(box);
        option.text = *text = box->title();
        option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        option.textAlignment = box->alignment();
        const QRect label = style->subControlRect(QStyle::CC_GroupBox, &option,
                                                  QStyle::SC_GroupBoxLabel, box);
        // The label starts where the style puts it and may run to the frame's edge.
        return box->width() - label.left() - style->pixelMetric(QStyle::PM_DefaultFrameWidth);
    }
    text->clear();
    return 0;
}

// The application's style with check box indicators no larger than a given
// size, for a check box designed lower than the style's indicator.
class IndicatorStyle : public QProxyStyle
{
public:
    explicit IndicatorStyle(int size) : QProxyStyle(QApplication::style()->name()), m_size(size) {}

    int pixelMetric(PixelMetric metric, const QStyleOption *option,
                    const QWidget *widget) const override
    {
        const int value = QProxyStyle::pixelMetric(metric, option, widget);
        if (metric == PM_IndicatorWidth || metric == PM_IndicatorHeight)
            return qMin(value, m_size);
        return value;
    }

private:
    int m_size;
};

// A caption that the installed fonts make wider than its designed box is
// narrowed, then made smaller, until it fits: the box keeps its place. A
// check box's indicator is made to fit its height the same way.
inline void fitCaptions(QWidget *root)
{
    for (QWidget *widget : root->findChildren<QWidget *>()) {
        if (auto *check = qobject_cast<QCheckBox *>(widget)) {
            const int height = check->contentsRect().height();
            if (check->style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, check) > height) {
                auto *style = new IndicatorStyle(height);
                style->setParent(check->window());
                check->setStyle(style);
            }
        }
        QString text;
        const qreal room = captionRoom(widget, &text);
        if (text.isEmpty())
            continue;
        QFont font = widget->font();
        const auto width = [&] { return QFontMetricsF(font, widget).horizontalAdvance(text); };
        for (int stretch = 95; width() > room && stretch >= 75; stretch -= 5)
            font.setStretch(stretch);
        while (width() > room && font.pointSizeF() > 6.0)
            font.setPointSizeF(font.pointSizeF() - 0.25);
        if (font != widget->font())
            widget->setFont(font);
    }
}

} // namespace ClassicLook

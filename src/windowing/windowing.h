#pragma once

#include <QString>

class QWidget;

// What the program asks of the windowing toolkit beyond its widgets: message
// boxes, the open-file and save-file choosers and ending the program. Tests
// answer these through a fake and see every word that was asked.
class Windowing
{
public:
    static QString applicationTitle() { return QStringLiteral("AckmereProbe"); }

    virtual ~Windowing() = default;

    // A notice: OK only, no icon.
    virtual void notice(QWidget *parent, const QString &text,
                        const QString &title = applicationTitle()) = 0;
    // A question: Yes and No, the question-mark icon, No the default.
    // Returns true for Yes.
    virtual bool question(QWidget *parent, const QString &text, const QString &title) = 0;
    // The open-file chooser with its own defaults: the chosen file's full
    // path, empty when the operator cancelled.
    virtual QString chooseOpenFile(QWidget *parent) = 0;
    // The save-file chooser, offering `suggestedName` in the current folder:
    // the chosen file's full path, empty when the operator cancelled.
    virtual QString chooseSaveFile(QWidget *parent, const QString &suggestedName) = 0;
    // A whole number from `minimum` to `maximum`, offered as `value`; false
    // when the operator cancelled.
    virtual bool askNumber(QWidget *parent, const QString &title, const QString &label, int value,
                           int minimum, int maximum, int *chosen) = 0;
    // Ends the program at once; no window gets any further notification.
    virtual void endProgram() = 0;
    virtual bool programEnded() const = 0;
};

// Puts `window`, about to be shown, over the window of `over`: centred on
// it and wholly on its screen's available area, frame included (as far as
// `over`'s own frame tells it), its top-left corner kept in sight first.
// A window manager left to itself may put a window that has no position
// anywhere, even partly off the screen.
void placeOver(QWidget &window, const QWidget *over);

// The real thing, over QMessageBox and QFileDialog.
class QtWindowing : public Windowing
{
public:
    void notice(QWidget *parent, const QString &text,
                const QString &title = applicationTitle()) override;
    bool question(QWidget *parent, const QString &text, const QString &title) override;
    QString chooseOpenFile(QWidget *parent) override;
    QString chooseSaveFile(QWidget *parent, const QString &suggestedName) override;
    bool askNumber(QWidget *parent, const QString &title, const QString &label, int value,
                   int minimum, int maximum, int *chosen) override;
    void endProgram() override;
    bool programEnded() const override { return m_ended; }

private:
    bool m_ended = false;
};

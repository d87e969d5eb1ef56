#pragma once

#include "settings/rulesfile.h"

#include <QDialog>
#include <QTimer>

#include <functional>

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

// Options > Answer Rules...: ackprobe-rules.txt in an editor, each line
// checked as it is typed, and written only when the operator presses Save.
// The rules take effect at the next Start; the owner writes the file.
class AnswerRulesDialog : public QDialog
{
    Q_OBJECT

public:
    // Writes the text as the file; false with the reason in `error`.
    using SaveRules = std::function<bool(const QString &text, QString *error)>;
    // The typing settles this long before the text is checked.
    static constexpr int CheckDelayMs = 200;

    // `file` as readRulesFile() found it at `path`.
    AnswerRulesDialog(const RulesFileReading &file, const QString &path, SaveRules save,
                      QWidget *parent = nullptr);

    // The text as the editor holds it, as it would be written.
    QString rulesText() const;
    // Checks the text now rather than once the typing settles.
    void checkNow();
    bool checkPending() const { return m_check.isActive(); }

    QLabel *lblFile = nullptr;
    QLabel *lblFileProblem = nullptr;
    QPlainTextEdit *txtRules = nullptr;
    QLabel *lblCount = nullptr;
    QListWidget *lstProblems = nullptr;
    QLabel *lblNextStart = nullptr;
    QLabel *lblSaveError = nullptr;
    QPushButton *cmdSave = nullptr;
    QPushButton *cmdClose = nullptr;

private:
    void save();
    void showEdited();

    SaveRules m_save;
    QString m_path;
    QTimer m_check;
};

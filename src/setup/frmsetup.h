#pragma once

#include "settings/settingsrecord.h"
#include "windowing/controlstates.h"

#include <QDialog>

#include <array>
#include <functional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class ProbeSettings;
class Windowing;

// The setup dialog, a window of the main window. It loads its six fields
// from the settings it is given and, on Save, stores them there once the
// file has been written. It tells its owner through its signals what the
// operator did.
class frmSetup : public QDialog
{
    Q_OBJECT

public:
    static constexpr int InterfaceNameTypingLimit = 18;

    // The arrangements of its controls. A new dialog is in View.
    enum class State { View, Editing, Saving, Saved, LogfileCorrection };

    // Save runs `writeFile` with the record as the six fields would make it,
    // which writes the settings file, before the record takes them.
    using WriteFile = std::function<void(const SettingsRecord &values)>;
    frmSetup(ProbeSettings &settings, Windowing &windowing, WriteFile writeFile, QWidget *parent);
    ~frmSetup() override;

    QGroupBox *fraMSAACK = nullptr;
    QLineEdit *txtMSASegment = nullptr;
    QPushButton *cmdExit = nullptr;
    QPushButton *cmdSave = nullptr;
    QPushButton *cmdEdit = nullptr;
    QGroupBox *fraInterfaceNameInfo = nullptr;
    QCheckBox *chkShowCount = nullptr;
    QLineEdit *txtInterfaceName = nullptr;
    QLabel *lblInterfaceName = nullptr;
    QGroupBox *fraLogfileInformation = nullptr;
    QLineEdit *txtLogfileLocation = nullptr;
    QLabel *lblLogfileInfo = nullptr;
    QGroupBox *fraAckInformation = nullptr;
    QLineEdit *txtAckAfterDate = nullptr;
    QLineEdit *txtAckBeforeDate = nullptr;
    QLabel *lblAckAfterDate = nullptr;
    QLabel *lblAckBeforeDate = nullptr;
    QLabel *lblAckowledgement = nullptr;
    // Fills the three acknowledgement texts with a standard original-mode
    // ACK that echoes the message's header; Save stores them as any edit.
    QPushButton *cmdStandardAck = nullptr;

    // 0 clear, 1 ticked.
    int showCountState() const;
    // The six fields' values, as they stand, put into `values`.
    void fieldsInto(SettingsRecord &values) const;

    void enter(State state);
    void LoadTextBoxes();
    void txtLogfileLocation_GotFocus();
    void cmdEdit_Click();
    void cmdSave_Click();
    void cmdExit_Click();
    void cmdStandardAck_Click();

signals:
    // Save has written the file and put the fields into the record.
    void saved();
    // The dialog is closing, by Exit or otherwise; unsaved edits are gone.
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

public slots:
    // Escape closes the dialog the same way as its close box.
    void reject() override;

private:
    // One of the six fields and the setting it holds the working copy of:
    // a text box's text, or the check box's state.
    struct Field
    {
        QWidget *control;
        QString SettingsRecord::*text;
        int SettingsRecord::*state;
    };

    void buildControls();
    void LoadInfoFromTextBoxes();
    void limitTypedInterfaceName();

    ProbeSettings &m_settings;
    Windowing &m_windowing;
    WriteFile m_writeFile;
    // In their tab order, which is also the order Edit and Save switch them in.
    std::array<Field, 6> m_fields{};
    ControlStates m_states{{}};
    bool m_choosing = false;
    QString m_lastInterfaceName;
};

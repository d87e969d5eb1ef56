#pragma once

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class frmInterface;

// The setup dialog. Its six fields are the working copy of six settings for
// the whole run: the settings writer takes them from here, not from the
// record. It exists hidden from the first touch until its Exit.
class frmSetup : public QDialog
{
    Q_OBJECT

public:
    static constexpr int InterfaceNameTypingLimit = 18;

    explicit frmSetup(frmInterface &owner);
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

    // 0 clear, 1 ticked.
    int showCountState() const;
    void setShowCountState(int state);

    void LoadTextBoxes();
    void LoadInfoFromTextBoxes();
    void txtLogfileLocation_GotFocus();
    void cmdEdit_Click();
    void cmdSave_Click();
    void cmdExit_Click();
    // The way back from a logfile that cannot be opened: the location field
    // and Save enabled.
    void enterLogfileCorrection();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

public slots:
    // Escape closes the dialog the same way as its close box.
    void reject() override;

private:
    void buildControls();
    void limitTypedInterfaceName();

    frmInterface &m_owner;
    bool m_choosing = false;
    QString m_lastInterfaceName;
};

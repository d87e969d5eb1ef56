#pragma once

#include "settings/options.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class Windowing;

// Options > Connections...: how many senders may connect at once, when an
// idle one is closed, and the TLS files. A plain front end: it shows the
// options it is given and tells what the operator chose; its owner keeps them.
class ConnectionsDialog : public QDialog
{
    Q_OBJECT

public:
    // The file choosers are the windowing layer's.
    ConnectionsDialog(const Options &options, Windowing &windowing, QWidget *parent = nullptr);

    // `options` with the connections' values as the fields say them now.
    Options appliedTo(Options options) const;

    QRadioButton *optOneSender = nullptr;
    QRadioButton *optSeveralSenders = nullptr;
    QSpinBox *spnMaxSenders = nullptr;
    QSpinBox *spnIdleTimeout = nullptr;
    QLineEdit *txtCertificate = nullptr;
    QLineEdit *txtKey = nullptr;
    QLineEdit *txtClientCAs = nullptr;
    QPushButton *cmdBrowseCertificate = nullptr;
    QPushButton *cmdBrowseKey = nullptr;
    QPushButton *cmdBrowseClientCAs = nullptr;
    QLabel *lblNextStart = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

private:
    // A file's row: its box and its Browse... button, which fills the box.
    QPushButton *browseFor(QLineEdit *box, const char *codeName, const QString &what);

    Windowing &m_windowing;
};

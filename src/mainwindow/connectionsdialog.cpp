#include "connectionsdialog.h"

#include "windowing/classiclook.h"
#include "windowing/controls.h"
#include "windowing/windowing.h"

#include <QBoxLayout>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

namespace {
using Controls::named;

QLabel *caption(const QString &text, QWidget *buddy, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setBuddy(buddy);
    return label;
}
} // namespace

ConnectionsDialog::ConnectionsDialog(const Options &options, Windowing &windowing, QWidget *parent)
    : QDialog(parent), m_windowing(windowing)
{
    setObjectName(QStringLiteral("frmConnections"));
    setWindowTitle(QStringLiteral("Connections"));
    setPalette(ClassicLook::palette());
    setFont(ClassicLook::formFont());
    setAutoFillBackground(true);

    auto *senders = Controls::frame(this, "fraSenders", QStringLiteral("Senders"));
    optOneSender = named(new QRadioButton(QStringLiteral("One at a time (a newer connection replaces the current one)"),
                                          senders),
                         "optOneSender", QStringLiteral("One at a time"));
    optSeveralSenders = named(new QRadioButton(QStringLiteral("Several at once"), senders), "optSeveralSenders",
                              QStringLiteral("Several at once"));
    spnMaxSenders = named(new QSpinBox(senders), "spnMaxSenders", QStringLiteral("Most senders at once"));
    spnMaxSenders->setRange(1, Options::MostSenders);
    spnIdleTimeout = named(new QSpinBox(senders), "spnIdleTimeout",
                           QStringLiteral("Close a connection idle for, in seconds"));
    spnIdleTimeout->setRange(0, Options::LongestIdleTimeoutS);
    spnIdleTimeout->setSuffix(QStringLiteral(" s"));
    spnIdleTimeout->setSpecialValueText(QStringLiteral("Never"));
    auto *sendersForm = new QFormLayout;
    sendersForm->addRow(caption(QStringLiteral("&Most at once:"), spnMaxSenders, senders), spnMaxSenders);
    sendersForm->addRow(caption(QStringLiteral("Close a connection &idle for:"), spnIdleTimeout, senders),
                        spnIdleTimeout);
    auto *sendersLayout = new QVBoxLayout(senders);
    sendersLayout->addWidget(optOneSender);
    sendersLayout->addWidget(optSeveralSenders);
    sendersLayout->addLayout(sendersForm);

    auto *tls = Controls::frame(this, "fraTls", QStringLiteral("TLS"));
    auto *tlsNote = new QLabel(QStringLiteral("With a certificate and its key the port speaks TLS only; with "
                                              "client CAs a sender must show a certificate they signed. "
                                              "PEM files; a relative path is taken from the settings folder."),
                               tls);
    tlsNote->setWordWrap(true);
    txtCertificate = Controls::textBox(tls, "txtCertificate", options.tlsCertificate,
                                       QStringLiteral("The listener's certificate chain, PEM"),
                                       QStringLiteral("Certificate"));
    txtKey = Controls::textBox(tls, "txtKey", options.tlsKey,
                               QStringLiteral("The certificate's private key, PEM, not encrypted"),
                               QStringLiteral("Key"));
    txtClientCAs = Controls::textBox(tls, "txtClientCAs", options.tlsClientCAs,
                                     QStringLiteral("The CAs a sender's certificate must come from, PEM; "
                                                    "empty: no client certificate asked"),
                                     QStringLiteral("Client CAs"));
    cmdBrowseCertificate = browseFor(txtCertificate, "cmdBrowseCertificate", QStringLiteral("Certificate"));
    cmdBrowseKey = browseFor(txtKey, "cmdBrowseKey", QStringLiteral("Key"));
    cmdBrowseClientCAs = browseFor(txtClientCAs, "cmdBrowseClientCAs", QStringLiteral("Client CAs"));
    auto *files = new QGridLayout;
    int row = 0;
    for (const auto &[text, box, browse] :
         {std::tuple{QStringLiteral("&Certificate:"), txtCertificate, cmdBrowseCertificate},
          std::tuple{QStringLiteral("&Key:"), txtKey, cmdBrowseKey},
          std::tuple{QStringLiteral("Client C&As:"), txtClientCAs, cmdBrowseClientCAs}}) {
        files->addWidget(caption(text, box, tls), row, 0);
        files->addWidget(box, row, 1);
        files->addWidget(browse, row, 2);
        ++row;
    }
    files->setColumnStretch(1, 1);
    auto *tlsLayout = new QVBoxLayout(tls);
    tlsLayout->addWidget(tlsNote);
    tlsLayout->addLayout(files);

    lblNextStart = Controls::label(this, "lblNextStart",
                                   QStringLiteral("The changes take effect at the next Start."));
    const Controls::OkCancel buttons = Controls::okCancel(this);
    cmdOK = buttons.ok;
    cmdCancel = buttons.cancel;

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(senders);
    layout->addWidget(tls);
    layout->addWidget(lblNextStart);
    layout->addWidget(buttons.box);

    // The most only counts with several.
    connect(optSeveralSenders, &QRadioButton::toggled, spnMaxSenders, &QWidget::setEnabled);
    const bool several = options.senders == Options::Senders::Several;
    optOneSender->setChecked(!several);
    optSeveralSenders->setChecked(several);
    spnMaxSenders->setEnabled(several);
    spnMaxSenders->setValue(options.maxSenders);
    spnIdleTimeout->setValue(options.idleTimeoutS);
    // Room for a path of some length without the window growing with it.
    txtCertificate->setMinimumWidth(txtCertificate->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 48);
}

QPushButton *ConnectionsDialog::browseFor(QLineEdit *box, const char *codeName, const QString &what)
{
    QPushButton *browse = Controls::button(box->parentWidget(), codeName, QStringLiteral("Browse..."),
                                           QStringLiteral("Choose the %1 file").arg(what));
    browse->setAccessibleName(QStringLiteral("Browse for the %1 file").arg(what));
    connect(browse, &QPushButton::clicked, this, [this, box] {
        const QString chosen = m_windowing.chooseOpenFile(this);
        if (!chosen.isEmpty())
            box->setText(chosen);
    });
    return browse;
}

Options ConnectionsDialog::appliedTo(Options chosen) const
{
    chosen.senders = optSeveralSenders->isChecked() ? Options::Senders::Several : Options::Senders::One;
    chosen.maxSenders = spnMaxSenders->value();
    chosen.idleTimeoutS = spnIdleTimeout->value();
    // A path typed with a space before or after it names the same file.
    chosen.tlsCertificate = txtCertificate->text().trimmed();
    chosen.tlsKey = txtKey->text().trimmed();
    chosen.tlsClientCAs = txtClientCAs->text().trimmed();
    return chosen;
}

#pragma once

// Certificates made at test time with the openssl command, in a folder the
// test owns: a CA with a server and a client certificate, a second CA with
// its own client, an expired server certificate and a key matching nothing.
// Keys are EC prime256v1, without a passphrase.

#include <QString>

struct TestCertificates
{
    // Makes every file in dir; false with *error (the command's output) when one fails.
    bool make(const QString &dir, QString *error);

    QString caCert;
    QString serverCert;  // CN=localhost,O=Test, signed by the CA
    QString serverKey;
    QString clientCert;  // CN=sender,O=Test, signed by the CA
    QString clientKey;
    QString otherCaCert; // a CA nobody trusts
    QString otherClientCert; // CN=stranger,O=Elsewhere, signed by the other CA
    QString otherClientKey;
    QString expiredCert; // CN=localhost, signed by the CA, expired yesterday
    QString expiredKey;
    QString wrongKey;    // matches none of the certificates
};

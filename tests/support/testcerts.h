#pragma once

// Certificates made at test time with the openssl command in a folder the
// test owns; EC prime256v1 keys without a passphrase.

#include <QString>

struct TestCertificates
{
    explicit TestCertificates(const QString &folder) : dir(folder) {}
    // Makes every file; false with *error (the command's output) when one fails.
    bool make(QString *error) const;
    QString file(const char *name) const { return dir + QLatin1Char('/') + QLatin1String(name); }

    const QString dir;
    const QString caCert = file("ca.pem");
    const QString serverCert = file("server.pem"), serverKey = file("server.key"); // CN=localhost,O=Test by the CA
    const QString clientCert = file("client.pem"), clientKey = file("client.key"); // CN=sender,O=Test by the CA
    // CN=stranger,O=Elsewhere, by an authority nobody trusts.
    const QString otherClientCert = file("otherclient.pem"), otherClientKey = file("otherclient.key");
    const QString expiredCert = file("expired.pem"), expiredKey = file("expired.key"); // as the server's, expired
    const QString wrongKey = file("wrong.key"); // matches none of the certificates
};

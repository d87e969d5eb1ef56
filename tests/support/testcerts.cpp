#include "testcerts.h"

#include <QProcess>
#include <QStringList>

namespace {

bool openssl(const QString &dir, const QStringList &arguments, QString *error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(dir);
    process.start(QStringLiteral("openssl"), arguments);
    if (process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    *error = QStringLiteral("openssl %1: %2%3").arg(arguments.join(QLatin1Char(' ')), process.errorString(),
                                                    QString::fromLocal8Bit(process.readAll()));
    return false;
}

} // namespace

bool TestCertificates::make(QString *error) const
{
    const QStringList newKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout"};
    const auto authority = [&](const QString &name, const QString &subject) {
        return openssl(dir, QStringList{"req", "-x509"} + newKey + QStringList{
            name + ".key", "-out", name + ".pem", "-subj", subject, "-days", "2",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"}, error);
    };
    // The request's extensions are copied into the certificate; days < 0 makes it expired.
    const QStringList server = {"-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-addext",
                                "extendedKeyUsage=serverAuth"};
    const QStringList client = {"-addext", "extendedKeyUsage=clientAuth"};
    const auto signedBy = [&](const QString &ca, const QString &name, const QString &subject,
                              const QStringList &extensions, int days) {
        return openssl(dir, QStringList{"req", "-new"} + newKey + QStringList{
                   name + ".key", "-out", name + ".csr", "-subj", subject} + extensions, error)
            && openssl(dir, {"x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                             "-copy_extensions", "copyall", "-days", QString::number(days), "-out", name + ".pem"},
                       error);
    };
    return authority("ca", "/CN=Test CA/O=Test") && signedBy("ca", "server", "/O=Test/CN=localhost", server, 2)
        && signedBy("ca", "client", "/O=Test/CN=sender", client, 2)
        && authority("otherca", "/CN=Other CA/O=Elsewhere")
        && signedBy("otherca", "otherclient", "/O=Elsewhere/CN=stranger", client, 2)
        && signedBy("ca", "expired", "/O=Test/CN=localhost", server, -1)
        && openssl(dir, {"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                         "-out", "wrong.key"}, error);
}

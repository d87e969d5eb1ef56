#include "testcerts.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>

namespace {

class Maker
{
public:
    Maker(const QString &dir, QString *error) : m_dir(dir), m_error(error) {}

    QString path(const QString &name) const { return QDir(m_dir).filePath(name); }

    bool run(const QStringList &arguments)
    {
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.setWorkingDirectory(m_dir);
        openssl.start(QStringLiteral("openssl"), arguments);
        const bool ran = openssl.waitForFinished(30000);
        if (ran && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0)
            return true;
        *m_error = QStringLiteral("openssl %1: %2%3")
                       .arg(arguments.join(QLatin1Char(' ')), openssl.errorString(),
                            QString::fromLocal8Bit(openssl.readAll()));
        return false;
    }

    // A self-signed authority: name.pem and name.key.
    bool authority(const QString &name, const QString &subject)
    {
        return run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-keyout", path(name + ".key"), "-out", path(name + ".pem"), "-subj", subject,
                    "-days", "2", "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
    }

    // A key and a certificate for subject signed by ca, valid for days (negative: expired).
    bool signedBy(const QString &ca, const QString &name, const QString &subject, int days,
                  const QString &extensions)
    {
        const QString extensionFile = path(name + ".ext");
        QFile file(extensionFile);
        if (!file.open(QIODevice::WriteOnly) || file.write(extensions.toLatin1()) < 0) {
            *m_error = file.errorString();
            return false;
        }
        file.close();
        return run({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-keyout", path(name + ".key"), "-out", path(name + ".csr"), "-subj", subject})
            && run({"x509", "-req", "-in", path(name + ".csr"), "-CA", path(ca + ".pem"),
                    "-CAkey", path(ca + ".key"), "-set_serial", QString::number(++m_serial),
                    "-days", QString::number(days), "-extfile", extensionFile,
                    "-out", path(name + ".pem")});
    }

private:
    QString m_dir;
    QString *m_error;
    int m_serial = 1000;
};

const QString ServerExtensions = QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                                                "extendedKeyUsage=serverAuth\n");
const QString ClientExtensions = QStringLiteral("extendedKeyUsage=clientAuth\n");

} // namespace

bool TestCertificates::make(const QString &dir, QString *error)
{
    Maker maker(dir, error);
    if (!maker.authority("ca", "/CN=Test CA/O=Test")
        || !maker.signedBy("ca", "server", "/O=Test/CN=localhost", 2, ServerExtensions)
        || !maker.signedBy("ca", "client", "/O=Test/CN=sender", 2, ClientExtensions)
        || !maker.authority("otherca", "/CN=Other CA/O=Elsewhere")
        || !maker.signedBy("otherca", "otherclient", "/O=Elsewhere/CN=stranger", 2, ClientExtensions)
        || !maker.signedBy("ca", "expired", "/O=Test/CN=localhost", -1, ServerExtensions)
        || !maker.run({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                       "-out", maker.path("wrong.key")}))
        return false;
    caCert = maker.path("ca.pem");
    serverCert = maker.path("server.pem");
    serverKey = maker.path("server.key");
    clientCert = maker.path("client.pem");
    clientKey = maker.path("client.key");
    otherCaCert = maker.path("otherca.pem");
    otherClientCert = maker.path("otherclient.pem");
    otherClientKey = maker.path("otherclient.key");
    expiredCert = maker.path("expired.pem");
    expiredKey = maker.path("expired.key");
    wrongKey = maker.path("wrong.key");
    return true;
}

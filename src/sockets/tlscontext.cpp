#include "sockets/tlscontext.h"

#include <QDateTime>
#include <QFile>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <ctime>
#include <vector>
#include <utility>

namespace {

struct X509Free { void operator()(X509 *x) const noexcept { X509_free(x); } };
struct KeyFree { void operator()(EVP_PKEY *k) const noexcept { EVP_PKEY_free(k); } };
struct BioFree { void operator()(BIO *b) const noexcept { BIO_free(b); } };
using X509Ptr = std::unique_ptr<X509, X509Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

// A key protected by a passphrase cannot be opened here: nobody is there to
// type it, and the library would otherwise ask on the terminal.
int noPassphrase(char *, int, int, void *)
{
    return -1;
}

// The file's bytes, or false with *error naming the file and the system's reason.
bool readPem(const QString &path, const QString &what, QByteArray *bytes, QString *error)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read the %1 file \"%2\": %3")
                     .arg(what, path, path.isEmpty() ? QStringLiteral("no file given") : file.errorString());
        return false;
    }
    *bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("Cannot read the %1 file \"%2\": %3").arg(what, path, file.errorString());
        return false;
    }
    return true;
}

BioPtr memoryBio(const QByteArray &bytes)
{
    return BioPtr(BIO_new_mem_buf(bytes.constData(), int(bytes.size())));
}

// Every certificate in the PEM text, in order.
std::vector<X509Ptr> certificatesIn(const QByteArray &pem)
{
    std::vector<X509Ptr> certificates;
    const BioPtr bio = memoryBio(pem);
    while (bio) {
        X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, noPassphrase, nullptr));
        if (!certificate)
            break;
        certificates.push_back(std::move(certificate));
    }
    ERR_clear_error(); // the end of the text reads as an error
    return certificates;
}

QString timeText(const ASN1_TIME *time)
{
    std::tm parts{};
    if (ASN1_TIME_to_tm(time, &parts) != 1)
        return QStringLiteral("?");
    const QDateTime at(QDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday),
                       QTime(parts.tm_hour, parts.tm_min, parts.tm_sec), Qt::UTC);
    return at.toString(Qt::ISODate);
}

// Why the certificate is not valid now, or empty.
QString outOfValidity(X509 *certificate, const QString &path)
{
    if (X509_cmp_current_time(X509_get0_notAfter(certificate)) < 0)
        return QStringLiteral("The certificate in \"%1\" expired on %2")
            .arg(path, timeText(X509_get0_notAfter(certificate)));
    if (X509_cmp_current_time(X509_get0_notBefore(certificate)) > 0)
        return QStringLiteral("The certificate in \"%1\" is not valid before %2")
            .arg(path, timeText(X509_get0_notBefore(certificate)));
    return {};
}

QString libraryError(const QString &what)
{
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    const char *reason = e ? ERR_reason_error_string(e) : nullptr;
    return reason ? QStringLiteral("%1: %2").arg(what, QString::fromLatin1(reason)) : what;
}

} // namespace

TlsContext::TlsContext(TlsIo::SslCtxPtr ctx, bool clientCertificates, int handshakeTimeoutMs)
    : m_ctx(std::move(ctx)), m_clientCertificates(clientCertificates), m_handshakeTimeoutMs(handshakeTimeoutMs)
{
}

TlsContext::~TlsContext() = default;

std::shared_ptr<TlsContext> TlsContext::load(const Files &files, QString *error, int handshakeTimeoutMs)
{
    QString ignored;
    if (!error)
        error = &ignored;
    ERR_clear_error();

    QByteArray pem;
    if (!readPem(files.certificate, QStringLiteral("certificate"), &pem, error))
        return nullptr;
    std::vector<X509Ptr> chain = certificatesIn(pem);
    if (chain.empty()) {
        *error = QStringLiteral("The certificate file \"%1\" holds no PEM certificate").arg(files.certificate);
        return nullptr;
    }
    if (const QString invalid = outOfValidity(chain.front().get(), files.certificate); !invalid.isEmpty()) {
        *error = invalid;
        return nullptr;
    }

    if (!readPem(files.key, QStringLiteral("key"), &pem, error))
        return nullptr;
    const BioPtr keyBio = memoryBio(pem);
    const KeyPtr key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, noPassphrase, nullptr) : nullptr);
    ERR_clear_error();
    if (!key) {
        *error = QStringLiteral("The key file \"%1\" holds no PEM private key without a passphrase").arg(files.key);
        return nullptr;
    }
    if (X509_check_private_key(chain.front().get(), key.get()) != 1) {
        ERR_clear_error();
        *error = QStringLiteral("The key in \"%1\" does not match the certificate in \"%2\"")
                     .arg(files.key, files.certificate);
        return nullptr;
    }

    TlsIo::SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx) {
        *error = libraryError(QStringLiteral("Cannot set up TLS"));
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    // A sender's end of data without close_notify is an end like any other;
    // renegotiation would let a sender make us read while we write.
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    static const unsigned char sessionContext[] = "ackmereprobe";
    SSL_CTX_set_session_id_context(ctx.get(), sessionContext, sizeof sessionContext - 1);
    if (SSL_CTX_use_certificate(ctx.get(), chain.front().get()) != 1
        || SSL_CTX_use_PrivateKey(ctx.get(), key.get()) != 1) {
        *error = libraryError(QStringLiteral("Cannot use the certificate in \"%1\"").arg(files.certificate));
        return nullptr;
    }
    for (std::size_t i = 1; i < chain.size(); ++i) {
        if (SSL_CTX_add0_chain_cert(ctx.get(), chain[i].get()) == 1)
            (void)chain[i].release(); // the context owns it now
    }

    const bool clientCertificates = !files.clientCAs.isEmpty();
    if (clientCertificates) {
        if (!readPem(files.clientCAs, QStringLiteral("client CA"), &pem, error))
            return nullptr;
        const std::vector<X509Ptr> authorities = certificatesIn(pem);
        if (authorities.empty()) {
            *error = QStringLiteral("The client CA file \"%1\" holds no PEM certificate").arg(files.clientCAs);
            return nullptr;
        }
        X509_STORE *store = SSL_CTX_get_cert_store(ctx.get());
        for (const X509Ptr &authority : authorities) {
            if (X509_STORE_add_cert(store, authority.get()) != 1
                || SSL_CTX_add_client_CA(ctx.get(), authority.get()) != 1) {
                *error = libraryError(QStringLiteral("Cannot use the client CA file \"%1\"").arg(files.clientCAs));
                return nullptr;
            }
        }
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    ERR_clear_error();
    error->clear();
    return std::shared_ptr<TlsContext>(new TlsContext(std::move(ctx), clientCertificates, handshakeTimeoutMs));
}

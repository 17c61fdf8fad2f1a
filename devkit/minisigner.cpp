#include "minisigner.h"

#include <QtGlobal>

#include <sodium.h>

MinisignSigner MinisignSigner::generate()
{
    if (sodium_init() < 0)
        qFatal("libsodium could not be initialised");
    MinisignSigner signer;
    signer.m_publicKey.id.resize(8);
    signer.m_publicKey.key.resize(crypto_sign_PUBLICKEYBYTES);
    signer.m_secretKey.resize(crypto_sign_SECRETKEYBYTES);
    randombytes_buf(signer.m_publicKey.id.data(), static_cast<size_t>(signer.m_publicKey.id.size()));
    crypto_sign_keypair(reinterpret_cast<unsigned char*>(signer.m_publicKey.key.data()),
                        reinterpret_cast<unsigned char*>(signer.m_secretKey.data()));
    return signer;
}

MinisignKey MinisignSigner::publicKey() const
{
    return m_publicKey;
}

QByteArray MinisignSigner::publicKeyFile() const
{
    return "untrusted comment: minisign public key " + m_publicKey.idText().toLatin1() + '\n'
        + QByteArray("Ed" + m_publicKey.id + m_publicKey.key).toBase64() + '\n';
}

QByteArray MinisignSigner::sign(const QByteArray& file, const QByteArray& trustedComment,
                                bool prehashed) const
{
    QByteArray signature;
    if (prehashed) {
        QByteArray hash(crypto_generichash_BYTES_MAX, '\0');
        crypto_generichash(reinterpret_cast<unsigned char*>(hash.data()),
                           static_cast<size_t>(hash.size()),
                           reinterpret_cast<const unsigned char*>(file.constData()),
                           static_cast<unsigned long long>(file.size()), nullptr, 0);
        signature = detached(hash);
    } else {
        signature = detached(file);
    }
    const QByteArray global = detached(signature + trustedComment);
    return "untrusted comment: signature from trennic devkit key\n"
        + QByteArray((prehashed ? "ED" : "Ed") + m_publicKey.id + signature).toBase64()
        + "\ntrusted comment: " + trustedComment + '\n' + global.toBase64() + '\n';
}

QByteArray MinisignSigner::detached(const QByteArray& message) const
{
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(message.constData()),
                         static_cast<unsigned long long>(message.size()),
                         reinterpret_cast<const unsigned char*>(m_secretKey.constData()));
    return signature;
}

#pragma once

#include "firmwaresignature.h"

#include <QByteArray>

// Signs files in minisign's format with a key pair of its own, for the local
// firmware server, the demo and the tests: what a release would sign with
// minisign, made without the tool or a secret key file.
class MinisignSigner
{
public:
    static MinisignSigner generate(); // a fresh Ed25519 key pair, random 8-byte id
    MinisignKey publicKey() const;
    QByteArray publicKeyFile() const; // "untrusted comment: minisign public key <ID>\n<base64>\n"
    // A signature file of `file` with `trustedComment` (its own text, e.g.
    // "device:Korvo 7\tversion:01.08"): "ED" (over the BLAKE2b-512 hash)
    // unless prehashed is false ("Ed", over the file).
    QByteArray sign(const QByteArray& file, const QByteArray& trustedComment, bool prehashed = true) const;

private:
    MinisignSigner() = default;
    QByteArray detached(const QByteArray& message) const;

    MinisignKey m_publicKey;
    QByteArray m_secretKey; // libsodium's 64-byte Ed25519 secret key
};

#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

// A minisign public key: the 8 bytes that name it and its Ed25519 key.
struct MinisignKey
{
    QByteArray id; // 8 bytes, as they stand in the files
    QByteArray key; // 32 bytes
    // The id as minisign prints it: 16 upper-case hex digits of the 8 bytes
    // read as a little-endian number.
    QString idText() const;
    bool operator==(const MinisignKey& other) const { return id == other.id && key == other.key; }
};

// A minisign signature file, parsed; nothing in it checked yet.
struct MinisignSignature
{
    bool prehashed = false; // "ED": over the file's BLAKE2b-512 hash; "Ed": over the file
    QByteArray keyId; // 8 bytes
    QByteArray signature; // 64 bytes
    QByteArray trustedComment; // the text after "trusted comment: "
    QByteArray globalSignature; // 64 bytes, over signature + trustedComment
};

// The minisign formats, read and checked with libsodium (Ed25519, BLAKE2b).
namespace Minisign {

// A public key file (an "untrusted comment:" line, then the base64 line) or
// its base64 line alone; std::nullopt when it does not parse.
std::optional<MinisignKey> parsePublicKey(const QByteArray& text);
// A signature file of four lines; std::nullopt when it does not parse.
std::optional<MinisignSignature> parseSignature(const QByteArray& text);
// The signature over `file` (or its hash), by `key`.
bool verifyFile(const MinisignSignature& signature, const MinisignKey& key, const QByteArray& file);
// The global signature over the signature and the trusted comment, by `key`.
bool verifyGlobal(const MinisignSignature& signature, const MinisignKey& key);
// The tab-separated "key:value" fields of a trusted comment.
QHash<QString, QString> commentFields(const QByteArray& trustedComment);

} // namespace Minisign

// Which firmware images may reach a device. With no trusted key nothing is
// asked of an image; with one or more, every image needs a valid signature
// by a trusted key that is not revoked, and a signature naming a device
// binds the image to it.
class FirmwareSignature
{
    Q_GADGET

public:
    // Why an image's signature was refused.
    enum Failure {
        NoSignatureFailure,
        SignatureMissing, // no signature beside the image
        SignatureMalformed, // the signature does not parse, or is larger than maxSignatureBytes
        SignatureUnknownKey, // by a key that is not trusted
        SignatureKeyRevoked, // by a trusted key on the revoked list
        SignatureBad, // does not match the image
        TrustedCommentTampered, // the global signature does not match the trusted comment
        SignatureWrongDevice, // "device:" names another device than the connected one
    };
    Q_ENUM(Failure)

    struct Verdict
    {
        Failure failure = NoSignatureFailure;
        QString keyId; // idText() of the signature's key, once the signature parsed
        QString device; // the trusted comment's "device:" field, once it is authentic
        QString version; // its "version:" field when it reads vv.vv (e.g. "01.08"), else empty
        bool ok() const { return failure == NoSignatureFailure; }
    };

    // A signature file is never larger.
    static constexpr qint64 maxSignatureBytes = 4096;
    // The suffix of a signature beside its image: "<image URL or path>.minisig".
    static const QString suffix;

    // The trusted keys: the compiled-in ones unless set (the demo and tests
    // set their own). Process-wide.
    static QList<MinisignKey> trustedKeys();
    static void setTrustedKeys(const QList<MinisignKey>& keys);
    static void resetTrustedKeys(); // the compiled-in keys again
    // Whether images need a signature: at least one key is trusted.
    static bool isRequired();
    // Ids (idText form) refused even when trusted: the compiled-in list
    // unless set. Process-wide.
    static QStringList revokedKeyIds();
    static void setRevokedKeyIds(const QStringList& ids);
    static void resetRevokedKeyIds();

    // Checks `signatureText` (std::nullopt: there is none) as the signature
    // of `image`, the whole file as served, for the device `deviceName`.
    // Checked in this order: missing, malformed, unknown key, revoked key,
    // bad signature, tampered trusted comment, wrong device.
    static Verdict check(const QByteArray& image, const std::optional<QByteArray>& signatureText,
                         const QString& deviceName);
    // The same without the image (all but the bad signature): what can be
    // known of an image before it is downloaded, its version above all.
    static Verdict checkComment(const std::optional<QByteArray>& signatureText,
                                const QString& deviceName);

    // Compares two "vv.vv" versions (a missing point reads as in "0108"):
    // <0, 0, >0; std::nullopt when either does not read as one.
    static std::optional<int> compareVersions(const QString& a, const QString& b);

    // The signature file at `path`, std::nullopt when it cannot be read.
    // Only maxSignatureBytes + 1 bytes are read, so that an oversized file
    // is refused as malformed without being read whole.
    static std::optional<QByteArray> readFile(const QString& path);

private:
    // check (with `image`) and checkComment (without).
    static Verdict verdictOf(const QByteArray* image, const std::optional<QByteArray>& text,
                             const QString& deviceName);
};

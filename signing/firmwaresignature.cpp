#include "firmwaresignature.h"

#include "compiledtrust.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>

#include <algorithm>

#include <sodium.h>

namespace {

const QByteArray untrustedPrefix = QByteArrayLiteral("untrusted comment: ");
const QByteArray trustedPrefix = QByteArrayLiteral("trusted comment: ");
constexpr int keyIdBytes = 8;
constexpr int algorithmBytes = 2;

// libsodium needs one successful sodium_init() before use; a function-local
// static makes the first call thread-safe and the later ones free.
bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// The lines of a file: "\n" or "\r\n" ends a line, and the last line may end
// the file without one.
QList<QByteArray> lines(const QByteArray& text)
{
    QList<QByteArray> result = text.split('\n');
    if (result.size() > 1 && result.last().isEmpty())
        result.removeLast();
    for (QByteArray& line : result) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return result;
}

// Strict base64: any character outside the alphabet or bad padding refuses
// the whole line, so that damage is never read as another value.
std::optional<QByteArray> decodeBase64(const QByteArray& line, int expectedSize)
{
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != expectedSize)
        return std::nullopt;
    return decoded.decoded;
}

bool verifyDetached(const QByteArray& signature, const QByteArray& message, const QByteArray& key)
{
    if (!sodiumReady() || signature.size() != crypto_sign_BYTES
        || key.size() != crypto_sign_PUBLICKEYBYTES)
        return false;
    return crypto_sign_verify_detached(
               reinterpret_cast<const unsigned char*>(signature.constData()),
               reinterpret_cast<const unsigned char*>(message.constData()),
               static_cast<unsigned long long>(message.size()),
               reinterpret_cast<const unsigned char*>(key.constData()))
        == 0;
}

QByteArray blake2b512(const QByteArray& data)
{
    QByteArray hash(crypto_generichash_BYTES_MAX, '\0');
    sodiumReady();
    crypto_generichash(reinterpret_cast<unsigned char*>(hash.data()),
                       static_cast<size_t>(hash.size()),
                       reinterpret_cast<const unsigned char*>(data.constData()),
                       static_cast<unsigned long long>(data.size()), nullptr, 0);
    return hash;
}

// What setTrustedKeys / setRevokedKeyIds put in place of the compiled-in
// lists; empty optionals stand for "not set".
struct TrustState
{
    QMutex mutex;
    std::optional<QList<MinisignKey>> keys;
    std::optional<QStringList> revoked;
};

TrustState& trustState()
{
    static TrustState state;
    return state;
}

QList<MinisignKey> compiledTrustedKeys()
{
    QList<MinisignKey> keys;
    for (const char* const* line = CompiledTrust::trustedKeys; *line; ++line) {
        if (const std::optional<MinisignKey> key = Minisign::parsePublicKey(*line))
            keys.append(*key);
    }
    return keys;
}

QStringList compiledRevokedKeyIds()
{
    QStringList ids;
    for (const char* const* id = CompiledTrust::revokedKeyIds; *id; ++id)
        ids.append(QString::fromLatin1(*id));
    return ids;
}

} // namespace

QString MinisignKey::idText() const
{
    QByteArray bigEndian(id.size(), '\0');
    std::reverse_copy(id.cbegin(), id.cend(), bigEndian.begin());
    return QString::fromLatin1(bigEndian.toHex().toUpper());
}

namespace Minisign {

std::optional<MinisignKey> parsePublicKey(const QByteArray& text)
{
    const QList<QByteArray> fileLines = lines(text);
    int keyLine = fileLines.first().startsWith(untrustedPrefix) ? 1 : 0;
    if (keyLine >= fileLines.size())
        return std::nullopt;
    // Anything but empty lines after the key is not a key file we wrote or
    // minisign wrote; refuse it rather than guess which line is the key.
    for (int i = keyLine + 1; i < fileLines.size(); ++i) {
        if (!fileLines.at(i).isEmpty())
            return std::nullopt;
    }
    const std::optional<QByteArray> decoded =
        decodeBase64(fileLines.at(keyLine), algorithmBytes + keyIdBytes + crypto_sign_PUBLICKEYBYTES);
    if (!decoded || !decoded->startsWith("Ed"))
        return std::nullopt;
    return MinisignKey{decoded->mid(algorithmBytes, keyIdBytes),
                       decoded->mid(algorithmBytes + keyIdBytes)};
}

std::optional<MinisignSignature> parseSignature(const QByteArray& text)
{
    const QList<QByteArray> fileLines = lines(text);
    if (fileLines.size() != 4 || !fileLines.at(0).startsWith(untrustedPrefix)
        || !fileLines.at(2).startsWith(trustedPrefix))
        return std::nullopt;
    const std::optional<QByteArray> decoded =
        decodeBase64(fileLines.at(1), algorithmBytes + keyIdBytes + crypto_sign_BYTES);
    const std::optional<QByteArray> global = decodeBase64(fileLines.at(3), crypto_sign_BYTES);
    if (!decoded || !global)
        return std::nullopt;
    const QByteArray algorithm = decoded->left(algorithmBytes);
    if (algorithm != "Ed" && algorithm != "ED")
        return std::nullopt;

    MinisignSignature signature;
    signature.prehashed = algorithm == "ED";
    signature.keyId = decoded->mid(algorithmBytes, keyIdBytes);
    signature.signature = decoded->mid(algorithmBytes + keyIdBytes);
    signature.trustedComment = fileLines.at(2).mid(trustedPrefix.size());
    signature.globalSignature = *global;
    return signature;
}

bool verifyFile(const MinisignSignature& signature, const MinisignKey& key, const QByteArray& file)
{
    if (signature.keyId != key.id)
        return false;
    return verifyDetached(signature.signature, signature.prehashed ? blake2b512(file) : file,
                          key.key);
}

bool verifyGlobal(const MinisignSignature& signature, const MinisignKey& key)
{
    if (signature.keyId != key.id)
        return false;
    return verifyDetached(signature.globalSignature,
                          signature.signature + signature.trustedComment, key.key);
}

QHash<QString, QString> commentFields(const QByteArray& trustedComment)
{
    QHash<QString, QString> fields;
    for (const QByteArray& field : trustedComment.split('\t')) {
        const int colon = field.indexOf(':');
        if (colon >= 0)
            fields.insert(QString::fromUtf8(field.left(colon)), QString::fromUtf8(field.mid(colon + 1)));
    }
    return fields;
}

} // namespace Minisign

const QString FirmwareSignature::suffix = QStringLiteral(".minisig");

QList<MinisignKey> FirmwareSignature::trustedKeys()
{
    TrustState& state = trustState();
    QMutexLocker locker(&state.mutex);
    return state.keys ? *state.keys : compiledTrustedKeys();
}

void FirmwareSignature::setTrustedKeys(const QList<MinisignKey>& keys)
{
    TrustState& state = trustState();
    QMutexLocker locker(&state.mutex);
    state.keys = keys;
}

void FirmwareSignature::resetTrustedKeys()
{
    TrustState& state = trustState();
    QMutexLocker locker(&state.mutex);
    state.keys.reset();
}

bool FirmwareSignature::isRequired()
{
    return !trustedKeys().isEmpty();
}

QStringList FirmwareSignature::revokedKeyIds()
{
    TrustState& state = trustState();
    QMutexLocker locker(&state.mutex);
    return state.revoked ? *state.revoked : compiledRevokedKeyIds();
}

void FirmwareSignature::setRevokedKeyIds(const QStringList& ids)
{
    TrustState& state = trustState();
    QMutexLocker locker(&state.mutex);
    state.revoked = ids;
}

void FirmwareSignature::resetRevokedKeyIds()
{
    TrustState& state = trustState();
    QMutexLocker locker(&state.mutex);
    state.revoked.reset();
}

FirmwareSignature::Verdict FirmwareSignature::check(const QByteArray& image,
                                                    const std::optional<QByteArray>& signatureText,
                                                    const QString& deviceName)
{
    return verdictOf(&image, signatureText, deviceName);
}

FirmwareSignature::Verdict FirmwareSignature::checkComment(const std::optional<QByteArray>& signatureText,
                                                           const QString& deviceName)
{
    return verdictOf(nullptr, signatureText, deviceName);
}

FirmwareSignature::Verdict FirmwareSignature::verdictOf(const QByteArray* image,
                                                        const std::optional<QByteArray>& signatureText,
                                                        const QString& deviceName)
{
    // Filled as far as the signature is known: the key id once it parses,
    // the fields once the trusted comment is authentic.
    Verdict verdict;
    if (!signatureText) {
        verdict.failure = SignatureMissing;
        return verdict;
    }
    const std::optional<MinisignSignature> signature =
        signatureText->size() > maxSignatureBytes
        ? std::nullopt
        : Minisign::parseSignature(*signatureText);
    if (!signature) {
        verdict.failure = SignatureMalformed;
        return verdict;
    }
    verdict.keyId = MinisignKey{signature->keyId, {}}.idText();

    std::optional<MinisignKey> key;
    for (const MinisignKey& trusted : trustedKeys()) {
        if (trusted.id == signature->keyId) {
            key = trusted;
            break;
        }
    }
    if (!key) {
        verdict.failure = SignatureUnknownKey;
        return verdict;
    }
    if (revokedKeyIds().contains(verdict.keyId, Qt::CaseInsensitive)) {
        verdict.failure = SignatureKeyRevoked;
        return verdict;
    }
    if (image && !Minisign::verifyFile(*signature, *key, *image)) {
        verdict.failure = SignatureBad;
        return verdict;
    }
    if (!Minisign::verifyGlobal(*signature, *key)) {
        verdict.failure = TrustedCommentTampered;
        return verdict;
    }

    const QHash<QString, QString> fields = Minisign::commentFields(signature->trustedComment);
    verdict.device = fields.value(QStringLiteral("device"));
    static const QRegularExpression versionPattern(QStringLiteral("^[0-9]{2}\\.[0-9]{2}$"));
    const QString version = fields.value(QStringLiteral("version"));
    if (versionPattern.match(version).hasMatch())
        verdict.version = version;
    // A signature that names no device fits every device.
    if (fields.contains(QStringLiteral("device")) && verdict.device != deviceName)
        verdict.failure = SignatureWrongDevice;
    return verdict;
}

std::optional<int> FirmwareSignature::compareVersions(const QString& a, const QString& b)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{2})\\.?([0-9]{2})$"));
    const QRegularExpressionMatch first = pattern.match(a);
    const QRegularExpressionMatch second = pattern.match(b);
    if (!first.hasMatch() || !second.hasMatch())
        return std::nullopt;
    const int left = (first.captured(1) + first.captured(2)).toInt();
    const int right = (second.captured(1) + second.captured(2)).toInt();
    return left < right ? -1 : (left > right ? 1 : 0);
}

std::optional<QByteArray> FirmwareSignature::readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(maxSignatureBytes + 1);
}

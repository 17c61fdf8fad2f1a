#include "firmwaresignature.h"
#include "minisigner.h"

#include <QScopeGuard>
#include <QtTest>

Q_DECLARE_METATYPE(std::optional<QByteArray>)
Q_DECLARE_METATYPE(std::optional<int>)
using F = FirmwareSignature;

static QByteArray fixture(const char* name)
{
    QFile file(QStringLiteral(SIGNING_DATA "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// `text` with the lowest bit of byte `byte` flipped in the base64 of line `line`.
static QByteArray flipped(const QByteArray& text, int line, int byte)
{
    QList<QByteArray> lines = text.split('\n');
    QByteArray decoded = QByteArray::fromBase64(lines[line]);
    decoded[byte] = static_cast<char>(decoded[byte] ^ 1);
    lines[line] = decoded.toBase64();
    return lines.join('\n');
}

// Signatures by minisign 0.11 (tests/data/signing, key B3DC52B11F352C37) and by the devkit's signer.
class TestFirmwareSignature : public QObject
{
    Q_OBJECT

private slots:
    void check_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<std::optional<QByteArray>>("signature");
        QTest::addColumn<QByteArray>("keyFile"); // the one trusted key
        QTest::addColumn<QString>("device");
        QTest::addColumn<QStringList>("revoked");
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("fields"); // "device|version" of the verdict, empty for neither
        const QByteArray image = fixture("image.bin"), sig = fixture("image.bin.minisig"), key = fixture("korvo.pub");
        const QByteArray comment = "device:Korvo 7\tversion:01.08";
        const MinisignSigner signer = MinisignSigner::generate();
        auto row = [&](const char* name, F::Failure failure, const std::optional<QByteArray>& signature, const QString& fields = {},
                       const QByteArray& keyFile = {}, const QString& device = "Korvo 7", const QByteArray& img = {}, const QStringList& revoked = {}) {
            QTest::newRow(name) << (img.isEmpty() ? image : img) << signature << (keyFile.isEmpty() ? key : keyFile) << device
                                << revoked << int(failure) << fields;
        };
        row("minisign ED", F::NoSignatureFailure, sig, "Korvo 7|01.08");
        row("minisign legacy Ed", F::NoSignatureFailure, fixture("image.bin.legacy.minisig"), "Korvo 7|01.08");
        row("CRLF signature", F::NoSignatureFailure, QByteArray(sig).replace("\n", "\r\n"), "Korvo 7|01.08");
        row("CRLF key file, blank line", F::NoSignatureFailure, sig, "Korvo 7|01.08", QByteArray(key).replace("\n", "\r\n") + "\r\n");
        row("devkit ED", F::NoSignatureFailure, signer.sign(image, comment), "Korvo 7|01.08", signer.publicKeyFile());
        row("devkit Ed", F::NoSignatureFailure, signer.sign(image, comment, false), "Korvo 7|01.08", signer.publicKeyFile());
        row("no device, version not vv.vv", F::NoSignatureFailure, signer.sign(image, "version:0108"), {}, signer.publicKeyFile());
        row("missing", F::SignatureMissing, std::nullopt);
        row("empty", F::SignatureMalformed, QByteArray());
        row("1 MiB of garbage", F::SignatureMalformed, QByteArray(1 << 20, 'x'));
        row("valid but over maxSignatureBytes", F::SignatureMalformed, signer.sign(image, comment + '\t' + QByteArray(4096, 'x')), {}, signer.publicKeyFile());
        row("truncated", F::SignatureMalformed, sig.left(sig.lastIndexOf('\n', -2)));
        row("bad base64", F::SignatureMalformed, QByteArray(sig).replace(60, 1, "*"));
        row("algorithm EE", F::SignatureMalformed, flipped(sig, 1, 1));
        row("another key", F::SignatureUnknownKey, sig, {}, fixture("other.pub"));
        row("wrong key id", F::SignatureUnknownKey, flipped(sig, 1, 2));
        row("key file with extra lines", F::SignatureUnknownKey, sig, {}, key + fixture("other.pub"));
        row("signature bit", F::SignatureBad, flipped(sig, 1, 20));
        row("trusted comment bit", F::TrustedCommentTampered, QByteArray(sig).replace("01.08", "01.09"));
        row("global signature bit", F::TrustedCommentTampered, flipped(sig, 3, 5));
        row("another device", F::SignatureWrongDevice, sig, "Korvo 7|01.08", {}, "Korvo 5");
        row("device in other case", F::SignatureWrongDevice, sig, "Korvo 7|01.08", {}, "korvo 7");
        row("image bit", F::SignatureBad, sig, {}, {}, "Korvo 7", QByteArray(image).replace(4000, 1, QByteArray(1, char(image[4000] ^ 0x10))));
        row("revoked", F::SignatureKeyRevoked, sig, {}, {}, "Korvo 7", {}, {"0000000000000001", "b3dc52b11f352c37"});
    }

    void check()
    {
        QFETCH(QByteArray, image);
        QFETCH(std::optional<QByteArray>, signature);
        QFETCH(QByteArray, keyFile);
        QFETCH(QString, device);
        QFETCH(QStringList, revoked);
        QFETCH(int, failure);
        const auto guard = qScopeGuard([] { F::resetTrustedKeys(); F::resetRevokedKeyIds(); });
        const std::optional<MinisignKey> key = Minisign::parsePublicKey(keyFile);
        F::setTrustedKeys(key ? QList<MinisignKey>{*key} : QList<MinisignKey>());
        F::setRevokedKeyIds(revoked);
        const F::Verdict verdict = F::check(image, signature, device);
        QCOMPARE(int(verdict.failure), failure);
        QTEST(verdict.device.isEmpty() && verdict.version.isEmpty() ? QString() : verdict.device + '|' + verdict.version, "fields");
        // The id as minisign printed it in the key file's untrusted comment.
        if (failure > F::SignatureMalformed && failure != F::SignatureUnknownKey)
            QVERIFY2(keyFile.contains(verdict.keyId.toLatin1() + '\n'), qPrintable(verdict.keyId));
    }

    // What the catalogue learns before the download: all but the image.
    void checkComment()
    {
        const auto guard = qScopeGuard([] { F::resetTrustedKeys(); });
        F::setTrustedKeys({*Minisign::parsePublicKey(fixture("korvo.pub"))});
        const QByteArray sig = fixture("image.bin.minisig");
        QCOMPARE(F::checkComment(sig, "Korvo 7").version, QStringLiteral("01.08"));
        QCOMPARE(F::checkComment(QByteArray(sig).replace("01.08", "01.09"), "Korvo 7").failure, F::TrustedCommentTampered);
    }

    void compareVersions_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<std::optional<int>>("order");
        QTest::newRow("older") << "01.05" << "01.08" << std::optional<int>(-1);
        QTest::newRow("major beats minor") << "02.00" << "01.99" << std::optional<int>(1);
        QTest::newRow("no point") << "0108" << "01.08" << std::optional<int>(0);
        QTest::newRow("one digit") << "1.08" << "01.08" << std::optional<int>();
        QTest::newRow("letter") << "01.08" << "01.0a" << std::optional<int>();
        QTest::newRow("empty") << "" << "01.08" << std::optional<int>();
    }

    void compareVersions()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(std::optional<int>, order);
        const std::optional<int> result = F::compareVersions(a, b);
        QCOMPARE(result ? std::optional<int>((*result > 0) - (*result < 0)) : result, order);
    }
};

QTEST_GUILESS_MAIN(TestFirmwareSignature)
#include "tst_firmwaresignature.moc"

// How long checking a firmware signature takes on a 16 MiB image, for both
// minisign algorithms: "ED" hashes the image with BLAKE2b-512 first, legacy
// "Ed" hands the whole image to Ed25519.
#include "firmwaresignature.h"
#include "minisigner.h"

#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <vector>

int main()
{
    constexpr int runs = 9;
    constexpr int imageBytes = 16 * 1024 * 1024;
    QByteArray image(imageBytes, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>((i * 131 + (i >> 12)) & 0xff);

    const MinisignSigner signer = MinisignSigner::generate();
    FirmwareSignature::setTrustedKeys({signer.publicKey()});
    const QString device = QStringLiteral("Korvo 7");
    QTextStream out(stdout);
    for (const bool prehashed : {true, false}) {
        const QByteArray signature = signer.sign(image, "device:Korvo 7\tversion:01.08", prehashed);
        std::vector<double> ms;
        for (int run = 0; run < runs; ++run) {
            QElapsedTimer timer;
            timer.start();
            const FirmwareSignature::Verdict verdict = FirmwareSignature::check(image, signature, device);
            ms.push_back(timer.nsecsElapsed() / 1e6);
            if (!verdict.ok()) {
                out << "verify_signature: the signature was refused\n";
                return 1;
            }
        }
        std::sort(ms.begin(), ms.end());
        out << "verify 16 MiB, " << (prehashed ? "ED (prehashed)" : "Ed (legacy)") << ": "
            << QString::number(ms[runs / 2], 'f', 1) << " ms median of " << runs << '\n';
    }
    return 0;
}

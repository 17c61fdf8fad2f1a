#include "korvofirmwareimage.h"

#include "minisigner.h"
#include "tools.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QtEndian>

#include <array>

namespace {

const QByteArray imageMarker = QByteArrayLiteral("KRVO");
const QByteArray trailerMarker = QByteArrayLiteral("KRVOTRLR");

constexpr int kibibyte = 1024;

struct SampleImage
{
    const char* deviceName;
    const char* folder;
    const char* fileName;
    const char* version;
    int fileSize; // whole file, trailer included
};

// Sizes a real instrument firmware has; one of them leaves a last packet
// whose length is not a multiple of four.
const std::array<SampleImage, 5> sampleImages{{
    {"Korvo 7", "release", "korvo7_v0106.bin", "0106", 200 * kibibyte},
    {"Korvo 7", "release", "korvo7_v0107.bin", "0107", 1024 * kibibyte},
    {"Korvo 7", "beta", "korvo7_v0200 beta.bin", "0200", 300 * kibibyte + 3},
    {"Korvo X20", "release", "korvox20_v0301.bin", "0301", 200 * kibibyte},
    {"Korvo X20", "release", "korvox20_v0302.bin", "0302", 640 * kibibyte},
}};

} // namespace

namespace KorvoFirmwareImage {

bool isValidVersion(const QByteArray& version)
{
    if (version.size() != versionLength)
        return false;
    for (const char c : version)
        if (c < '0' || c > '9')
            return false;
    return true;
}

QByteArray versionOf(const QByteArray& transmittedImage)
{
    if (transmittedImage.size() < headBlockSize || !transmittedImage.startsWith(imageMarker))
        return {};
    const QByteArray version = transmittedImage.mid(versionOffset, versionLength);
    return isValidVersion(version) ? version : QByteArray();
}

QByteArray makeFile(const QByteArray& version, int transmittedSize, quint32 seed)
{
    const int size = qMax(transmittedSize, headBlockSize);
    QByteArray file(size + trailerSize, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32*>(file.data()), file.size() / 4);
    for (int i = file.size() / 4 * 4; i < file.size(); ++i)
        file[i] = char(generator.generate());

    file.replace(0, imageMarker.size(), imageMarker);
    file.replace(versionOffset, versionLength, version.leftJustified(versionLength, '\0', true));

    char* trailer = file.data() + size;
    std::copy(trailerMarker.cbegin(), trailerMarker.cend(), trailer);
    qToLittleEndian<quint32>(quint32(size), trailer + 8);
    qToLittleEndian<quint32>(Tools::calcCrc(file.constData(), uint(size)), trailer + 12);
    return file;
}

QByteArray transmittedPart(const QByteArray& file)
{
    return file.size() > trailerSize ? file.left(file.size() - trailerSize) : QByteArray();
}

namespace {

bool writeFile(const QString& path, const QByteArray& contents, QString* error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size() && file.commit())
        return true;
    if (error)
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return false;
}

} // namespace

bool writeSampleTree(const QString& dir, QString* error, const MinisignSigner* signer)
{
    quint32 seed = 1;
    if (signer && !QDir().mkpath(dir)) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(dir);
        return false;
    }
    if (signer
        && !writeFile(QDir(dir).filePath(QStringLiteral("sample-key.pub")),
                      signer->publicKeyFile(), error))
        return false;
    for (const SampleImage& image : sampleImages) {
        const QString folder = QDir(dir).filePath(QString::fromUtf8(image.deviceName) + '/'
                                                  + QString::fromUtf8(image.folder));
        if (!QDir().mkpath(folder)) {
            if (error)
                *error = QStringLiteral("cannot create %1").arg(folder);
            return false;
        }
        const QString path = QDir(folder).filePath(QString::fromUtf8(image.fileName));
        const QByteArray file = makeFile(image.version, image.fileSize - trailerSize, seed++);
        if (!writeFile(path, file, error))
            return false;
        const QByteArray version(image.version);
        const QByteArray comment = "device:" + QByteArray(image.deviceName) + "\tversion:"
            + version.left(2) + '.' + version.mid(2);
        if (signer && !writeFile(path + QStringLiteral(".minisig"), signer->sign(file, comment), error))
            return false;
    }
    return true;
}

} // namespace KorvoFirmwareImage

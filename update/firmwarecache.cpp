#include "firmwarecache.h"

#include "debugline.h"
#include "firmwaresignature.h"
#include "userfolders.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>

#include <algorithm>
#include <vector>

namespace {

const QString dataSuffix = QStringLiteral(".bin");
const QString bodySuffix = QStringLiteral(".body");
const QString recordSuffix = QStringLiteral(".json");
const QString signatureSuffix = QStringLiteral(".minisig");

QMutex& defaultFolderMutex()
{
    static QMutex mutex;
    return mutex;
}

QString& storedDefaultFolder()
{
    static QString folder;
    return folder;
}

QByteArray sha256Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QString timeText(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime timeFrom(const QJsonValue& value)
{
    QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    time.setTimeSpec(Qt::UTC);
    return time;
}

bool writeAtomically(const QString& path, const QByteArray& contents)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size()
        || !file.commit()) {
        debugLine() << "FirmwareCache: cannot write" << path << file.errorString();
        return false;
    }
    return true;
}

std::optional<QJsonObject> readRecord(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

bool matchesRecord(const QByteArray& data, const QJsonObject& record)
{
    return record.value(QStringLiteral("size")).toDouble(-1) == double(data.size())
        && record.value(QStringLiteral("sha256")).toString().toLatin1() == sha256Hex(data);
}

FirmwareCache::ImageRecord imageRecordFrom(const QJsonObject& record)
{
    FirmwareCache::ImageRecord image;
    image.url = record.value(QStringLiteral("url")).toString();
    image.size = qint64(record.value(QStringLiteral("size")).toDouble());
    image.sha256 = record.value(QStringLiteral("sha256")).toString().toLatin1();
    image.time = timeFrom(record.value(QStringLiteral("time")));
    image.lastUsed = timeFrom(record.value(QStringLiteral("lastUsed")));
    return image;
}

} // namespace

FirmwareCache::FirmwareCache(const QString& folder)
    : root(folder.isEmpty() ? defaultFolder() : folder)
{}

QString FirmwareCache::defaultFolder()
{
    {
        QMutexLocker lock(&defaultFolderMutex());
        if (!storedDefaultFolder().isEmpty())
            return storedDefaultFolder();
    }
    return UserFolders::cacheFolder();
}

void FirmwareCache::setDefaultFolder(const QString& folder)
{
    QMutexLocker lock(&defaultFolderMutex());
    storedDefaultFolder() = folder;
}

QString FirmwareCache::keyOf(const QString& url)
{
    const QByteArray normal = QUrl(url, QUrl::TolerantMode).toString(QUrl::FullyEncoded).toUtf8();
    return QString::fromLatin1(sha256Hex(normal));
}

QString FirmwareCache::imagesFolder() const
{
    return root + QStringLiteral("/images");
}

QString FirmwareCache::cataloguesFolder() const
{
    return root + QStringLiteral("/catalogues");
}

QString FirmwareCache::imageDataPath(const QString& url) const
{
    return imagesFolder() + QLatin1Char('/') + keyOf(url) + dataSuffix;
}

QString FirmwareCache::imageRecordPath(const QString& url) const
{
    return imagesFolder() + QLatin1Char('/') + keyOf(url) + recordSuffix;
}

QString FirmwareCache::catalogueDataPath(const QString& baseUrl) const
{
    return cataloguesFolder() + QLatin1Char('/') + keyOf(baseUrl) + bodySuffix;
}

QDateTime FirmwareCache::now() const
{
    return clock ? clock().toUTC() : QDateTime::currentDateTimeUtc();
}

bool FirmwareCache::storeCatalogue(const QString& baseUrl, const QByteArray& body)
{
    if (!QDir().mkpath(cataloguesFolder()))
        return false;
    const QString base = cataloguesFolder() + QLatin1Char('/') + keyOf(baseUrl);
    const QJsonObject record{{QStringLiteral("baseUrl"), baseUrl},
                             {QStringLiteral("time"), timeText(now())},
                             {QStringLiteral("size"), double(body.size())},
                             {QStringLiteral("sha256"), QString::fromLatin1(sha256Hex(body))}};
    return writeAtomically(base + bodySuffix, body)
        && writeAtomically(base + recordSuffix, QJsonDocument(record).toJson());
}

std::optional<FirmwareCache::Catalogue> FirmwareCache::storedCatalogue(const QString& baseUrl) const
{
    const QString base = cataloguesFolder() + QLatin1Char('/') + keyOf(baseUrl);
    const std::optional<QJsonObject> record = readRecord(base + recordSuffix);
    if (!record)
        return std::nullopt;
    QFile file(base + bodySuffix);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    Catalogue catalogue{file.readAll(), record->value(QStringLiteral("baseUrl")).toString(),
                        timeFrom(record->value(QStringLiteral("time")))};
    if (!matchesRecord(catalogue.body, *record) || catalogue.baseUrl != baseUrl) {
        debugLine() << "FirmwareCache: stored catalogue does not match its record, removed:"
                    << baseUrl;
        file.remove();
        QFile::remove(base + recordSuffix);
        return std::nullopt;
    }
    return catalogue;
}

bool FirmwareCache::storeImage(const QString& url, const QByteArray& image)
{
    if (image.size() > maxImageBytes) {
        // It would only push out every other image and then itself.
        removeImage(url);
        return false;
    }
    if (!QDir().mkpath(imagesFolder()))
        return false;
    const QDateTime time = now();
    const QJsonObject record{{QStringLiteral("url"), url},
                             {QStringLiteral("time"), timeText(time)},
                             {QStringLiteral("lastUsed"), timeText(time)},
                             {QStringLiteral("size"), double(image.size())},
                             {QStringLiteral("sha256"), QString::fromLatin1(sha256Hex(image))}};
    // Data first: until the new record is in, an old record no longer
    // matches the data and the entry is not used.
    const bool stored = writeAtomically(imageDataPath(url), image)
        && writeAtomically(imageRecordPath(url), QJsonDocument(record).toJson());
    if (!stored)
        removeImage(url);
    evict();
    return stored && hasImage(url);
}

std::optional<QByteArray> FirmwareCache::storedImage(const QString& url)
{
    std::optional<QJsonObject> record = readRecord(imageRecordPath(url));
    if (!record) {
        removeImage(url); // data without a record is never used
        return std::nullopt;
    }
    QFile file(imageDataPath(url));
    QByteArray image;
    if (file.open(QIODevice::ReadOnly))
        image = file.readAll();
    if (!file.isOpen() || !matchesRecord(image, *record)) {
        debugLine() << "FirmwareCache: stored image does not match its record, removed:" << url;
        removeImage(url);
        return std::nullopt;
    }
    record->insert(QStringLiteral("lastUsed"), timeText(now()));
    writeAtomically(imageRecordPath(url), QJsonDocument(*record).toJson());
    return image;
}

bool FirmwareCache::hasImage(const QString& url) const
{
    return QFileInfo::exists(imageRecordPath(url));
}

std::optional<FirmwareCache::ImageRecord> FirmwareCache::imageRecord(const QString& url) const
{
    const std::optional<QJsonObject> record = readRecord(imageRecordPath(url));
    if (!record)
        return std::nullopt;
    return imageRecordFrom(*record);
}

void FirmwareCache::removeImage(const QString& url)
{
    // The record first: without it the data is never used.
    QFile::remove(imageRecordPath(url));
    QFile::remove(imageDataPath(url));
    QFile::remove(imageSignaturePath(url));
}

QString FirmwareCache::imageSignaturePath(const QString& url) const
{
    return imagesFolder() + QLatin1Char('/') + keyOf(url) + signatureSuffix;
}

bool FirmwareCache::storeSignature(const QString& url, const QByteArray& signature)
{
    if (!QDir().mkpath(imagesFolder()))
        return false;
    return writeAtomically(imageSignaturePath(url), signature);
}

std::optional<QByteArray> FirmwareCache::storedSignature(const QString& url) const
{
    return FirmwareSignature::readFile(imageSignaturePath(url));
}

qint64 FirmwareCache::imageBytes() const
{
    qint64 total = 0;
    const QDir images(imagesFolder());
    for (const QString& name : images.entryList({QLatin1Char('*') + recordSuffix}, QDir::Files))
        if (const std::optional<QJsonObject> record = readRecord(images.filePath(name)))
            total += qint64(record->value(QStringLiteral("size")).toDouble());
    return total;
}

void FirmwareCache::evict()
{
    removeStaleTemporaries(imagesFolder());
    struct Entry
    {
        QString key;
        qint64 size;
        QDateTime lastUsed;
    };
    std::vector<Entry> entries;
    qint64 total = 0;
    const QDir images(imagesFolder());
    for (const QString& name : images.entryList({QLatin1Char('*') + recordSuffix}, QDir::Files)) {
        const QString key = name.chopped(recordSuffix.size());
        const std::optional<QJsonObject> record = readRecord(images.filePath(name));
        if (!record) {
            QFile::remove(images.filePath(name));
            QFile::remove(images.filePath(key + dataSuffix));
            QFile::remove(images.filePath(key + signatureSuffix));
            continue;
        }
        const ImageRecord image = imageRecordFrom(*record);
        entries.push_back({key, image.size, image.lastUsed});
        total += image.size;
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.lastUsed < b.lastUsed; });
    for (const Entry& entry : entries) {
        if (total <= maxImageBytes)
            break;
        debugLine() << "FirmwareCache: evicting" << entry.key << entry.size;
        QFile::remove(images.filePath(entry.key + recordSuffix));
        QFile::remove(images.filePath(entry.key + dataSuffix));
        QFile::remove(images.filePath(entry.key + signatureSuffix));
        total -= entry.size;
    }
}

void FirmwareCache::removeStaleTemporaries(const QString& folder) const
{
    // QSaveFile writes "<name>.XXXXXX" beside its target; a process that
    // died mid-write leaves one behind, never named like an entry.
    static const QRegularExpression entryName(QStringLiteral("^[0-9a-f]{64}\\.(bin|body|json)$"));
    const QDir dir(folder);
    const QDateTime oldest = QDateTime::currentDateTimeUtc().addSecs(-staleTemporarySeconds);
    for (const QFileInfo& file : dir.entryInfoList(QDir::Files)) {
        if (!entryName.match(file.fileName()).hasMatch() && file.lastModified().toUTC() < oldest)
            QFile::remove(file.filePath());
    }
}

#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

// What was last fetched from the firmware server, kept on disk for when the
// server cannot be reached: the catalogue replies (one per base URL) and the
// downloaded images. The window and the command-line tool share one folder,
// so what one downloaded the other can use.
//
// Layout below the folder (<key> is the SHA-256 of the URL, in hex):
//   catalogues/<key>.body   the raw catalogue reply
//   catalogues/<key>.json   {"baseUrl", "time", "size", "sha256"}
//   images/<key>.bin        the image as downloaded
//   images/<key>.json       {"url", "time", "lastUsed", "size", "sha256"}
//   images/<key>.minisig    the image's signature, when one came with it
// Every file is written atomically (QSaveFile), the data before its record.
// An entry counts only when its data matches the size and SHA-256 of its
// record, so a write cut off at any point is never used; a mismatch removes
// the entry. A signature has no record: it is checked before every use. Images are bounded in total size, the least recently used
// leaving first. Not thread-safe; one object per use is cheap.
class FirmwareCache
{
public:
    // Bound of the images' total size.
    static constexpr qint64 defaultMaxImageBytes = qint64(256) * 1024 * 1024;
    // Left-over temporary files of cut-off writes older than this are
    // removed; younger ones may belong to a write under way in another
    // process (the window and the command-line tool share the folder).
    static constexpr qint64 staleTemporarySeconds = 3600;

    struct Catalogue
    {
        QByteArray body; // the reply as it arrived
        QString baseUrl;
        QDateTime time; // when it arrived (UTC)
    };

    struct ImageRecord
    {
        QString url;
        qint64 size = 0;
        QByteArray sha256; // hex
        QDateTime time; // when it was downloaded (UTC)
        QDateTime lastUsed; // stored or taken last (UTC)
    };

    // `folder` empty: defaultFolder().
    explicit FirmwareCache(const QString& folder = QString());

    // The folder every FirmwareCache uses unless told otherwise: the
    // window's per-user cache folder, unless set (the demo sets its own).
    static QString defaultFolder();
    static void setDefaultFolder(const QString& folder); // empty: the per-user folder again

    QString folder() const { return root; }

    void setMaxImageBytes(qint64 bytes) { maxImageBytes = bytes; }
    // The clock of records and least-recent use (tests set their own).
    void setClock(std::function<QDateTime()> now) { clock = std::move(now); }

    bool storeCatalogue(const QString& baseUrl, const QByteArray& body);
    std::optional<Catalogue> storedCatalogue(const QString& baseUrl) const;

    // Stores a downloaded image, then evicts the least recently used images
    // until the bound holds. False when it could not be written.
    bool storeImage(const QString& url, const QByteArray& image);
    // The stored image of `url` when its size and SHA-256 match its record
    // (it then counts as used now); a mismatch removes the entry.
    std::optional<QByteArray> storedImage(const QString& url);
    // The signature that came with `url`'s image (std::nullopt: none).
    bool storeSignature(const QString& url, const QByteArray& signature);
    std::optional<QByteArray> storedSignature(const QString& url) const;
    QString imageSignaturePath(const QString& url) const;
    // Whether a record exists for `url` (not verified: a cheap look-up).
    bool hasImage(const QString& url) const;
    std::optional<ImageRecord> imageRecord(const QString& url) const;
    void removeImage(const QString& url);
    // Total size of the stored images, by their records.
    qint64 imageBytes() const;

    // The file names of an entry, for tests and the README's layout.
    QString imageDataPath(const QString& url) const;
    QString imageRecordPath(const QString& url) const;
    QString catalogueDataPath(const QString& baseUrl) const;

    // The key of a URL: URLs that parse the same (a space or %20) share it.
    static QString keyOf(const QString& url);

private:
    QString imagesFolder() const;
    QString cataloguesFolder() const;
    QDateTime now() const;
    void evict();
    void removeStaleTemporaries(const QString& folder) const;

    QString root;
    qint64 maxImageBytes = defaultMaxImageBytes;
    std::function<QDateTime()> clock;
};

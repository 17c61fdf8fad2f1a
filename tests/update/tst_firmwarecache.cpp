#include "firmwarecache.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

const QString urlA = QStringLiteral("https://127.0.0.1:4433/trennics_firmware/Korvo 7/v1/a.bin");
const QString urlB = QStringLiteral("https://127.0.0.1:4433/trennics_firmware/Korvo 7/v1/b.bin");
const QString urlC = QStringLiteral("https://127.0.0.1:4433/trennics_firmware/Korvo 7/v1/c.bin");
const QString urlD = QStringLiteral("https://127.0.0.1:4433/trennics_firmware/Korvo 7/v1/d.bin");

QByteArray imageOf(int size, char fill)
{
    QByteArray image(size, fill);
    for (int i = 0; i < size; i += 97)
        image[i] = char(i);
    return image;
}

bool rewrite(const QString& path, const std::function<void(QByteArray&)>& change)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray contents = file.readAll();
    file.close();
    change(contents);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(contents) == contents.size();
}

} // namespace

using Damage = std::function<void(FirmwareCache&)>;
Q_DECLARE_METATYPE(Damage)

// The firmware cache in a folder of the test's own: what it gives back, what
// it refuses and removes, and what it lets go when full.
class TestFirmwareCache : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void storedImage_isGivenOnlyWhenItMatchesItsRecord_data();
    void storedImage_isGivenOnlyWhenItMatchesItsRecord();
    void cutOffWrite_leavesTheEntryBeforeItOrNone();
    void bound_evictsTheLeastRecentlyUsedFirst();
    void catalogue_oneKeptPerBaseUrlWithItsTime();
    void urlsThatParseAlike_shareAnEntry();

private:
    QDateTime tick() { return start.addSecs(++seconds); }

    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<FirmwareCache> cache;
    QDateTime start = QDateTime(QDate(2026, 3, 1), QTime(9, 0), Qt::UTC);
    int seconds = 0;
};

void TestFirmwareCache::init()
{
    folder = std::make_unique<QTemporaryDir>();
    QVERIFY(folder->isValid());
    cache = std::make_unique<FirmwareCache>(folder->path());
    seconds = 0;
    cache->setClock([this] { return tick(); });
}

void TestFirmwareCache::storedImage_isGivenOnlyWhenItMatchesItsRecord_data()
{
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<bool>("given");
    QTest::newRow("intact") << Damage([](FirmwareCache&) {}) << true;
    QTest::newRow("one byte flipped") << Damage([](FirmwareCache& c) {
        QVERIFY(rewrite(c.imageDataPath(urlA), [](QByteArray& data) { data[500] = ~data[500]; }));
    }) << false;
    QTest::newRow("cut short") << Damage([](FirmwareCache& c) {
        QVERIFY(rewrite(c.imageDataPath(urlA), [](QByteArray& data) { data.chop(1); }));
    }) << false;
    QTest::newRow("one byte added") << Damage([](FirmwareCache& c) {
        QVERIFY(rewrite(c.imageDataPath(urlA), [](QByteArray& data) { data += 'x'; }));
    }) << false;
    QTest::newRow("data gone") << Damage([](FirmwareCache& c) {
        QVERIFY(QFile::remove(c.imageDataPath(urlA)));
    }) << false;
    QTest::newRow("record gone") << Damage([](FirmwareCache& c) {
        QVERIFY(QFile::remove(c.imageRecordPath(urlA)));
    }) << false;
    QTest::newRow("record not JSON") << Damage([](FirmwareCache& c) {
        QVERIFY(rewrite(c.imageRecordPath(urlA), [](QByteArray& record) { record.chop(5); }));
    }) << false;
}

void TestFirmwareCache::storedImage_isGivenOnlyWhenItMatchesItsRecord()
{
    QFETCH(Damage, damage);
    QFETCH(bool, given);
    const QByteArray image = imageOf(4000, 'a');
    QVERIFY(cache->storeImage(urlA, image));
    const std::optional<FirmwareCache::ImageRecord> record = cache->imageRecord(urlA);
    QVERIFY(record);
    QCOMPARE(record->url, urlA);
    QCOMPARE(record->size, qint64(image.size()));
    QCOMPARE(record->sha256,
             QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
    damage(*cache);
    const std::optional<QByteArray> stored = cache->storedImage(urlA);
    QCOMPARE(stored.has_value(), given);
    if (given) {
        QCOMPARE(*stored, image);
        QVERIFY(cache->imageRecord(urlA)->lastUsed > record->lastUsed);
    } else {
        // Refused entries are gone, so the next download stores afresh.
        QVERIFY(!QFile::exists(cache->imageDataPath(urlA)));
        QVERIFY(!cache->hasImage(urlA));
        QCOMPARE(cache->imageBytes(), qint64(0));
    }
}

void TestFirmwareCache::cutOffWrite_leavesTheEntryBeforeItOrNone()
{
    const QByteArray first = imageOf(3000, 'f');
    QVERIFY(cache->storeImage(urlA, first));
    // What a process killed while writing leaves: QSaveFile's temporary
    // file beside the target, half written, for an entry that has one and
    // for one that has none.
    const QString halfA = cache->imageDataPath(urlA) + QStringLiteral(".Xy12Ab");
    const QString halfB = cache->imageDataPath(urlB) + QStringLiteral(".Qw34Er");
    for (const QString& path : {halfA, halfB}) {
        QFile half(path);
        QVERIFY(half.open(QIODevice::WriteOnly));
        half.write(imageOf(5000, 's').left(1234));
    }
    QCOMPARE(cache->storedImage(urlA), std::optional<QByteArray>(first));
    QVERIFY(!cache->storedImage(urlB));
    QCOMPARE(cache->imageBytes(), qint64(first.size()));

    // An hour later they are swept away at the next store, and only they.
    QFile stale(halfB);
    QVERIFY(stale.open(QIODevice::ReadWrite));
    QVERIFY(stale.setFileTime(QDateTime::currentDateTimeUtc().addSecs(
                                  -FirmwareCache::staleTemporarySeconds - 60),
                              QFileDevice::FileModificationTime));
    stale.close();
    QVERIFY(cache->storeImage(urlC, imageOf(200, 'c')));
    QVERIFY(!QFile::exists(halfB));
    QVERIFY(QFile::exists(halfA));
    QCOMPARE(cache->storedImage(urlA), std::optional<QByteArray>(first));
}

void TestFirmwareCache::bound_evictsTheLeastRecentlyUsedFirst()
{
    cache->setMaxImageBytes(3000);
    QVERIFY(cache->storeImage(urlA, imageOf(1000, 'a')));
    QVERIFY(cache->storeImage(urlB, imageOf(1000, 'b')));
    QVERIFY(cache->storeImage(urlC, imageOf(1000, 'c')));
    QVERIFY(cache->storedImage(urlA)); // A used after B and C were stored
    QVERIFY(cache->storeImage(urlD, imageOf(1000, 'd')));
    QVERIFY(cache->hasImage(urlA));
    QVERIFY(!cache->hasImage(urlB));
    QVERIFY(!QFile::exists(cache->imageDataPath(urlB)));
    QVERIFY(cache->hasImage(urlC));
    QVERIFY(cache->hasImage(urlD));
    QCOMPARE(cache->imageBytes(), qint64(3000));

    // Two leave for one large image; one larger than the bound is not kept.
    QVERIFY(cache->storeImage(urlB, imageOf(2000, 'B')));
    QCOMPARE(QStringList({QString::number(cache->hasImage(urlA)),
                          QString::number(cache->hasImage(urlB)),
                          QString::number(cache->hasImage(urlC)),
                          QString::number(cache->hasImage(urlD))}),
             QStringList({"0", "1", "0", "1"}));
    QVERIFY(!cache->storeImage(urlC, imageOf(3001, 'C')));
    QVERIFY(!cache->hasImage(urlC));
    QCOMPARE(cache->imageBytes(), qint64(3000));
    QCOMPARE(FirmwareCache::defaultMaxImageBytes, qint64(256) * 1024 * 1024);
}

void TestFirmwareCache::catalogue_oneKeptPerBaseUrlWithItsTime()
{
    const QString one = QStringLiteral("https://one.example/trennics_firmware");
    const QString two = QStringLiteral("https://two.example/trennics_firmware");
    QVERIFY(cache->storeCatalogue(one, R"({"A":{"f":["1.bin"]}})"));
    QVERIFY(cache->storeCatalogue(two, R"({"B":{"f":["2.bin"]}})"));
    QVERIFY(cache->storeCatalogue(one, R"({"A":{"f":["3.bin"]}})"));
    const std::optional<FirmwareCache::Catalogue> first = cache->storedCatalogue(one);
    QVERIFY(first);
    QCOMPARE(first->body, QByteArray(R"({"A":{"f":["3.bin"]}})"));
    QCOMPARE(first->baseUrl, one);
    QCOMPARE(first->time, start.addSecs(3));
    QCOMPARE(cache->storedCatalogue(two)->body, QByteArray(R"({"B":{"f":["2.bin"]}})"));
    QCOMPARE(QDir(folder->filePath("catalogues")).entryList(QDir::Files).size(), 4);
    QVERIFY(!cache->storedCatalogue(QStringLiteral("https://three.example/trennics_firmware")));

    QVERIFY(rewrite(cache->catalogueDataPath(two), [](QByteArray& body) { body[7] = 'C'; }));
    QVERIFY(!cache->storedCatalogue(two));
    QVERIFY(!QFile::exists(cache->catalogueDataPath(two)));
}

void TestFirmwareCache::urlsThatParseAlike_shareAnEntry()
{
    QVERIFY(cache->storeImage(urlA, imageOf(300, 'a')));
    QString encoded = urlA;
    encoded.replace(' ', QStringLiteral("%20"));
    QCOMPARE(cache->storedImage(encoded), std::optional<QByteArray>(imageOf(300, 'a')));
    QCOMPARE(FirmwareCache(folder->path()).folder(), folder->path());
}

QTEST_GUILESS_MAIN(TestFirmwareCache)
#include "tst_firmwarecache.moc"

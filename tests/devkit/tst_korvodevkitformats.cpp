#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "korvopacketreader.h"
#include "packets.h"
#include "tools.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

using Frame = KorvoPacketReader::Frame;

namespace {

QByteArray commandPacket(quint8 command, quint32 parameter)
{
    return headerBytes(makePacketHeader(korvoEnums::CommandMessage, command, 2, parameter));
}

QByteArray dataPacket(const QByteArray& block)
{
    return headerBytes(makePacketHeader(korvoEnums::FlashData, korvoEnums::FlashDataPacket, 4, 0,
                                        block.constData(), quint32(block.size())))
        + block;
}

} // namespace

// The two formats the devkit adds to the link: how its packet reader frames
// a stream, and where a firmware image carries its version.
class TestKorvoDevkitFormats : public QObject
{
    Q_OBJECT

private slots:
    void reader_reportsDamagedPacketsAndRecovers_data();
    void reader_reportsDamagedPacketsAndRecovers();
    void versionOf_readsTheHeadBlock_data();
    void versionOf_readsTheHeadBlock();
    void makeFile_endsInItsTrailer();
    void sampleTree_holdsVersionedImagesOfTwoDevices();
};

void TestKorvoDevkitFormats::reader_reportsDamagedPacketsAndRecovers_data()
{
    QTest::addColumn<QByteArray>("damaged");
    QTest::addColumn<int>("kind");
    QByteArray badHeader = commandPacket(korvoEnums::KeepOnline, 0);
    badHeader[9] = '\x01';
    QTest::newRow("header crc") << badHeader << int(Frame::BadHeaderCrc);
    QByteArray badBlock = dataPacket(QByteArray(64, '\x01'));
    badBlock[24 + 10] = '\x02';
    QTest::newRow("data crc") << badBlock << int(Frame::BadDataCrc);
    QTest::newRow("empty data message")
        << headerBytes(makePacketHeader(korvoEnums::FlashData, korvoEnums::DfuInfo, 1, 0, "", 0))
        << int(Frame::BadSize);
    usbMessageHeaderStruct huge
        = makePacketHeader(korvoEnums::FlashData, korvoEnums::DfuInfo, 1, 0);
    huge.dataSize = KorvoPacketReader::maxDataSize + 1;
    huge.headerCrc = Tools::calcCrc(&huge, usbHeaderCrcSpan);
    QTest::newRow("oversized data message") << headerBytes(huge) << int(Frame::BadSize);
    usbMessageHeaderStruct unknown = makePacketHeader(2, 0, 1, 0);
    QTest::newRow("unknown action") << headerBytes(unknown) << int(Frame::UnknownAction);
}

void TestKorvoDevkitFormats::reader_reportsDamagedPacketsAndRecovers()
{
    QFETCH(QByteArray, damaged);
    QFETCH(int, kind);
    KorvoPacketReader reader;
    const QList<Frame> frames
        = reader.feed(damaged + commandPacket(korvoEnums::FlashPacketVerify, 3));
    QCOMPARE(frames.size(), 2);
    QCOMPARE(int(frames.at(0).kind), kind);
    QCOMPARE(frames.at(1).kind, Frame::Packet);
    QCOMPARE(quint32(frames.at(1).header.parameter), 3u);
}

void TestKorvoDevkitFormats::versionOf_readsTheHeadBlock_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QByteArray>("version");
    const QByteArray made
        = KorvoFirmwareImage::transmittedPart(KorvoFirmwareImage::makeFile("0107", 5000, 3));
    QTest::newRow("made image") << made << QByteArray("0107");
    QByteArray noMarker = made;
    noMarker[0] = 'X';
    QTest::newRow("no marker") << noMarker << QByteArray();
    QByteArray letters = made;
    letters[6] = 'a';
    QTest::newRow("not four digits") << letters << QByteArray();
    QTest::newRow("shorter than the head block") << made.left(107) << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestKorvoDevkitFormats::versionOf_readsTheHeadBlock()
{
    QFETCH(QByteArray, image);
    QFETCH(QByteArray, version);
    QCOMPARE(KorvoFirmwareImage::versionOf(image), version);
}

void TestKorvoDevkitFormats::makeFile_endsInItsTrailer()
{
    const QByteArray file = KorvoFirmwareImage::makeFile("0200", 4205, 11);
    QCOMPARE(file.size(), 4205 + 16);
    QCOMPARE(file, KorvoFirmwareImage::makeFile("0200", 4205, 11)); // repeatable
    QVERIFY(file != KorvoFirmwareImage::makeFile("0200", 4205, 12));
    const QByteArray image = KorvoFirmwareImage::transmittedPart(file);
    QCOMPARE(image.size(), 4205);
    const QByteArray trailer = file.right(16);
    QCOMPARE(trailer.left(8), QByteArray("KRVOTRLR"));
    QCOMPARE(qFromLittleEndian<quint32>(trailer.constData() + 8), 4205u);
    QCOMPARE(qFromLittleEndian<quint32>(trailer.constData() + 12),
             Tools::calcCrc(image.constData(), uint(image.size())));
}

void TestKorvoDevkitFormats::sampleTree_holdsVersionedImagesOfTwoDevices()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(KorvoFirmwareImage::writeSampleTree(dir.path()));
    QStringList devices;
    int images = 0;
    QDirIterator files(dir.path(), QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray version
            = KorvoFirmwareImage::versionOf(KorvoFirmwareImage::transmittedPart(file.readAll()));
        QVERIFY2(!version.isEmpty() && files.fileName().contains("_v" + version),
                 qPrintable(files.filePath()));
        QVERIFY(file.size() >= 200 * 1024);
        const QString device
            = QDir(dir.path()).relativeFilePath(files.filePath()).section('/', 0, 0);
        if (!devices.contains(device))
            devices.append(device);
        ++images;
    }
    devices.sort();
    QCOMPARE(devices, (QStringList{"Korvo 7", "Korvo X20"}));
    QVERIFY(images >= 4);
}

QTEST_GUILESS_MAIN(TestKorvoDevkitFormats)
#include "tst_korvodevkitformats.moc"

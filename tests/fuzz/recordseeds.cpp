// Records the seed corpora of the fuzz targets from real exchanges: the
// emulated device's output to the tool during connections and flashing runs
// (with some of its faults), written piece by piece as the device wrote it,
// and the catalogue the local firmware server serves. A few inputs are built
// by hand for messages the emulator never sends.
//
//   fuzz_record_seeds <corpus dir>   writes <dir>/link_receive/* and <dir>/catalogue/*

#include "dfu_client.h"
#include "fuzzinput.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"
#include "packets.h"
#include "tools.h"
#include "usb_stmflasher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <cstdio>

using namespace std::chrono_literals;

namespace {

constexpr int connectDeadlineMs = 5000;
constexpr int runDeadlineMs = 15000;
// Output after the run's end still belongs to the exchange (the reboot
// into the new firmware and its first messages).
constexpr int afterRunMs = 800;

struct LinkScenario
{
    const char* name;
    int imageIndex; // into linkImageSizes; -1: connect only
    KorvoEmulatorSettings settings;
};

KorvoEmulatorSettings bootLoader()
{
    KorvoEmulatorSettings settings;
    settings.startInBootLoader = true;
    settings.heartbeatPeriod = 300ms;
    settings.rebootDelay = 100ms;
    settings.packetTimeout = 200ms;
    return settings;
}

QList<LinkScenario> linkScenarios()
{
    QList<LinkScenario> scenarios;
    KorvoEmulatorSettings application = bootLoader();
    application.startInBootLoader = false;
    scenarios.append({"connect-application-firmware", -1, application});
    scenarios.append({"run-one-packet-109", 0, bootLoader()});
    scenarios.append({"run-one-packet-4204", 1, bootLoader()});
    scenarios.append({"run-two-packets", 2, bootLoader()});
    scenarios.append({"run-three-packets", 3, bootLoader()});
    KorvoEmulatorSettings settings = bootLoader();
    settings.corruptPacket = 1;
    scenarios.append({"resend-bad-crc", 3, settings});
    settings = bootLoader();
    settings.dropAckOfPacket = 0;
    scenarios.append({"resend-after-lost-ack", 3, settings});
    settings = bootLoader();
    settings.errorAtPacket = 1;
    settings.errorCode = korvoEnums::Error_BadCrc;
    scenarios.append({"error-message", 3, settings});
    settings = bootLoader();
    settings.randomChunkMax = 7;
    scenarios.append({"chunked-output", 2, settings});
    settings = bootLoader();
    settings.garbageBetweenPackets = QByteArray("\xAA\x55\x13\x01\x22", 5);
    scenarios.append({"garbage-between-packets", 2, settings});
    return scenarios;
}

// Pieces no longer than a read of the fuzz input.
QList<QByteArray> asReads(const QList<QByteArray>& pieces)
{
    QList<QByteArray> reads;
    for (const QByteArray& piece : pieces)
        for (int at = 0; at < piece.size(); at += maxLinkChunk)
            reads.append(piece.mid(at, maxLinkChunk));
    return reads;
}

bool writeSeed(const QString& dir, const QString& name, const QByteArray& bytes)
{
    QDir().mkpath(dir);
    QFile file(QDir(dir).filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        return false;
    }
    std::printf("%s (%d bytes)\n", qPrintable(file.fileName()), int(bytes.size()));
    return true;
}

bool recordLinkScenario(const LinkScenario& scenario, const QString& dir)
{
    KorvoEmulator emulator(scenario.settings);
    if (!emulator.start()) {
        std::fprintf(stderr, "emulator: %s\n", qPrintable(emulator.errorString()));
        return false;
    }
    USB_StmFlasher flasher;
    if (!QTest::qWaitFor([&] { return flasher.getDevConnStatus() != 0; }, connectDeadlineMs)) {
        std::fprintf(stderr, "%s: the tool did not connect\n", scenario.name);
        return false;
    }
    int imageIndex = 0;
    if (scenario.imageIndex >= 0) {
        imageIndex = scenario.imageIndex;
        bool ended = false;
        QObject::connect(&flasher, &USB_StmFlasher::showInfoMessage, [&] { ended = true; });
        const int size = linkImageSizes[size_t(imageIndex)];
        flasher.dfu()->startFlashing(KorvoFirmwareImage::makeFile("0107", size, 7));
        if (!QTest::qWaitFor([&] { return ended; }, runDeadlineMs)) {
            std::fprintf(stderr, "%s: the run did not end\n", scenario.name);
            return false;
        }
    }
    QTest::qWait(afterRunMs);
    const QList<QByteArray> reads = asReads(emulator.sentChunks());
    emulator.stop();
    return writeSeed(dir, QString::fromLatin1(scenario.name),
                     encodeLinkInput({uint8_t(imageIndex), 0}, reads));
}

// Messages the emulator never sends: MpxPacketData records (ids 5, 7, 5;
// lengths in and out of range; a short block), a short DfuInfo, a large data
// block, and a data header at the size bound that swallows the rest.
QByteArray handMadeLinkStream()
{
    const auto data = [](quint8 type, quint8 status, quint32 parameter, const QByteArray& block) {
        return headerBytes(makePacketHeader(korvoEnums::FlashData, type, status, parameter,
                                            block.constData(), quint32(block.size())))
            + block;
    };
    const auto mpx = [&](quint8 id, quint8 length, int size = int(sizeof(mpxPacketStruct))) {
        QByteArray block(size, '\0');
        block[1] = char(length);
        block[3] = char(id);
        for (int i = 4; i < size; ++i)
            block[i] = char(id + i);
        return data(korvoEnums::MpxPacketData, korvoEnums::korvoOnline, 0, block);
    };
    QByteArray stream;
    stream += mpx(5, 18);
    stream += mpx(7, 2);
    stream += mpx(5, 200);
    stream += mpx(9, 0, 19);
    stream += data(korvoEnums::DfuInfo, korvoEnums::korvoBootOnline, 0x35303130,
                   QByteArray("\x30\x31\x30\x35\x07\x43\x00", 7));
    stream += data(korvoEnums::DfuInfo, korvoEnums::korvoBootOnline, 0x36303130,
                   QByteArray("\x30\x31\x30\x36\x08\x44\x00\x03", 8));
    stream += data(korvoEnums::AllData, korvoEnums::korvoBootOnline, 1, QByteArray(600, '\x5A'));
    usbMessageHeaderStruct bound
        = makePacketHeader(korvoEnums::FlashData, korvoEnums::AllData, 2, 0);
    bound.dataSize = PacketParser::maxDataBlockSize;
    bound.headerCrc = Tools::calcCrc(&bound, usbHeaderCrcSpan);
    stream += headerBytes(bound);
    stream += headerBytes(makePacketHeader(korvoEnums::CommandMessage, korvoEnums::KeepOnline,
                                           korvoEnums::korvoOnline, 0x35303130));
    return stream;
}

bool recordCatalogues(const QString& dir)
{
    QTemporaryDir tree;
    QString error;
    if (!tree.isValid() || !KorvoFirmwareImage::writeSampleTree(tree.path(), &error)) {
        std::fprintf(stderr, "sample tree: %s\n", qPrintable(error));
        return false;
    }
    LocalFirmwareServer server(tree.path());
    bool ok = writeSeed(dir, QStringLiteral("served-sample-tree"), server.catalogueJson());
    const QList<QPair<QString, QByteArray>> bodies{
        {QStringLiteral("two-devices"),
         R"({"DeviceA":{"folder1":["image_1.bin","image_2.bin"],"folder2":["image_3.bin"]},)"
         R"("DeviceB":{"folder1":["image_4.bin"]}})"},
        {QStringLiteral("folders-out-of-order"), R"({"D":{"b":["x"],"a":["y"]}})"},
        {QStringLiteral("odd-values"),
         R"({"A":5,"B":{"f":7,"g":[1,null,{"x":1},["y"],true,"z"]},"C":{},"D":[]})"},
        {QStringLiteral("odd-names"),
         "{\"Korvo 7\":{\"v 1/\\u00e9\":[\"new image.bin\",\"100%.bin\",\"\",\"a/../b\"]}}"},
        {QStringLiteral("empty-object"), "{}"},
        {QStringLiteral("empty-array"), "[]"},
        {QStringLiteral("not-json"), "Service Unavailable"},
    };
    for (const auto& [name, body] : bodies)
        ok = writeSeed(dir, name, body) && ok;
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    qSetMessagePattern(QString()); // the tool's log is not wanted here
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    const QDir corpus(QString::fromLocal8Bit(argv[1]));
    const QString linkDir = corpus.filePath(QStringLiteral("link_receive"));
    bool ok = true;
    for (const LinkScenario& scenario : linkScenarios())
        ok = recordLinkScenario(scenario, linkDir) && ok;
    QList<QByteArray> handMade;
    const QByteArray stream = handMadeLinkStream();
    for (int at = 0; at < stream.size(); at += 100)
        handMade.append(stream.mid(at, 100));
    ok = writeSeed(linkDir, QStringLiteral("hand-made-messages"), encodeLinkInput({0, 0}, handMade))
        && ok;
    ok = recordCatalogues(corpus.filePath(QStringLiteral("catalogue"))) && ok;
    return ok ? 0 : 1;
}

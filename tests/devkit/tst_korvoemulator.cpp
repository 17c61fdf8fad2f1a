#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "korvopacketreader.h"
#include "packets.h"
#include "serialportenvironment.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <numeric>

using namespace std::chrono_literals;
using Frame = KorvoPacketReader::Frame;
using Verdict = KorvoEmulator::Verdict;

namespace {

constexpr int answerTimeoutMs = 3000;
// Long enough for a device that would answer to have answered.
constexpr int quietPeriodMs = 300;
constexpr quint32 sliceSize = 4096;
constexpr int headBlockSize = KorvoFirmwareImage::headBlockSize;

// The tool's end of the link: a QSerialPort on the pty, with what it reads
// cut into frames by the link's framing rules.
class ToolPort : public QObject
{
public:
    bool open(const QString& systemLocation)
    {
        port.setPortName(systemLocation);
        connect(&port, &QSerialPort::readyRead, this, [this] {
            const QByteArray bytes = port.readAll();
            readSizes.append(bytes.size());
            raw += bytes;
            frames += reader.feed(bytes);
        });
        connect(&port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
            if (e != QSerialPort::NoError && e != QSerialPort::UnsupportedOperationError)
                errors.append(e);
        });
        // Another process's QSerialPort may still hold the lock file of a
        // pty number the kernel has just handed out again; it lets go at once.
        if (!QTest::qWaitFor([this] { return port.open(QIODevice::ReadWrite); }, answerTimeoutMs)) {
            qWarning() << "cannot open" << systemLocation << port.errorString();
            return false;
        }
        errors.clear(); // the failed attempts
        port.setBaudRate(460800);
        return true;
    }

    void send(const usbMessageHeaderStruct& header, const QByteArray& data = {})
    {
        port.write(headerBytes(header) + data);
        port.flush();
    }

    void sendCommand(quint8 command, quint8 status, quint32 parameter = 0)
    {
        send(makePacketHeader(korvoEnums::CommandMessage, command, status, parameter));
    }

    void sendFlashPacket(quint32 number, const QByteArray& payload)
    {
        send(makePacketHeader(korvoEnums::FlashData, korvoEnums::FlashDataPacket,
                              korvoEnums::korvoReflash, number, payload.constData(),
                              quint32(payload.size())),
             payload);
    }

    QList<Frame> commands(quint8 command) const
    {
        QList<Frame> found;
        for (const Frame& frame : frames)
            if (frame.header.action == korvoEnums::CommandMessage
                && frame.header.dataOrCommand == command)
                found.append(frame);
        return found;
    }

    // Waits for the next frame after the first `seen` ones.
    bool waitForFrames(int count, int timeoutMs = answerTimeoutMs)
    {
        return QTest::qWaitFor([&] { return frames.size() >= count; }, timeoutMs);
    }

    bool waitForCommand(quint8 command, int count = 1, int timeoutMs = answerTimeoutMs)
    {
        return QTest::qWaitFor([&] { return commands(command).size() >= count; }, timeoutMs);
    }

    QSerialPort port;
    KorvoPacketReader reader;
    QList<Frame> frames;
    QByteArray raw;
    QList<int> readSizes;
    QList<QSerialPort::SerialPortError> errors;
};

QByteArray versionBytes(quint32 parameter)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian(parameter, bytes.data());
    return bytes;
}

// Payload of packet n of an image, by the transmission geometry.
QByteArray packetPayload(const QByteArray& image, quint32 n)
{
    const int offset = int(headBlockSize + sliceSize * n);
    const QByteArray slice = image.mid(offset, int(sliceSize));
    return n == 0 ? image.left(headBlockSize) + slice : slice;
}

bool listed(const QString& portName)
{
    const QList<SerialPortRecord> ports = SerialPortEnvironment::availablePorts();
    return std::any_of(ports.cbegin(), ports.cend(),
                       [&](const SerialPortRecord& port) { return port.portName == portName; });
}

KorvoEmulatorSettings quickSettings()
{
    KorvoEmulatorSettings settings;
    settings.heartbeatPeriod = 0ms; // tests ask for what they want to see
    settings.rebootDelay = 100ms;
    settings.finalAckGrace = 20ms;
    settings.eraseDelay = 0ms;
    settings.packetTimeout = 1000ms;
    return settings;
}

QList<Verdict> verdictsOfFlashPackets(const KorvoEmulator& emulator)
{
    QList<Verdict> verdicts;
    for (const KorvoEmulator::ReceivedPacket& packet : emulator.packetLog())
        if (packet.header.action == korvoEnums::FlashData)
            verdicts.append(packet.verdict);
    return verdicts;
}

} // namespace

Q_DECLARE_METATYPE(KorvoEmulatorSettings)

class TestKorvoEmulator : public QObject
{
    Q_OBJECT

private slots:
    void poweredOn_publishesPortAndHeartbeat_data();
    void poweredOn_publishesPortAndHeartbeat();
    void keepOnlineWithStatusZero_answersKeepOnlineAndDfuInfo();
    void prepareToFlashZero_rebootsIntoBootLoader();
    void flashingRun_storesImageAndRebootsIntoNewVersion();
    void slowOutput_lastAcknowledgementLeavesWholeBeforeReboot();
    void unexpectedFlashPacket_isAnsweredWithResendRequest_data();
    void unexpectedFlashPacket_isAnsweredWithResendRequest();
    void silence_isAnsweredWithTimeoutRequestThenError();
    void answerTiming_followsProgrammingDelayAndLinkRate_data();
    void answerTiming_followsProgrammingDelayAndLinkRate();
    void output_splitOrPaddedStillFrames_data();
    void output_splitOrPaddedStillFrames();
    void faultAtPacket_playsItsPart_data();
    void faultAtPacket_playsItsPart();
    void twoEmulators_areListedTogetherUntilStopped();

private:
    // Boot loader ready for an image of `size` bytes: ReadyToFlash received.
    void prepareRun(KorvoEmulator& emulator, ToolPort& tool, quint32 size);
};

void TestKorvoEmulator::prepareRun(KorvoEmulator& emulator, ToolPort& tool, quint32 size)
{
    KorvoEmulatorSettings settings = emulator.settings();
    settings.startInBootLoader = true;
    emulator.setSettings(settings);
    QVERIFY2(emulator.start(), qPrintable(emulator.errorString()));
    QVERIFY(tool.open(emulator.systemLocation()));
    tool.sendCommand(korvoEnums::PrepareToFlash, korvoEnums::korvoBootOnline, size);
    QVERIFY(tool.waitForCommand(korvoEnums::ReadyToFlash));
    const Frame ready = tool.commands(korvoEnums::ReadyToFlash).first();
    QCOMPARE(int(ready.header.status), int(korvoEnums::korvoReflash));
    QCOMPARE(int(emulator.status()), int(korvoEnums::korvoReflash));
}

void TestKorvoEmulator::poweredOn_publishesPortAndHeartbeat_data()
{
    QTest::addColumn<bool>("bootLoader");
    QTest::addColumn<int>("productId");
    QTest::addColumn<int>("status");
    QTest::newRow("application firmware") << false << 0x0011 << int(korvoEnums::korvoOnline);
    QTest::newRow("boot loader") << true << 0x000D << int(korvoEnums::korvoBootOnline);
}

void TestKorvoEmulator::poweredOn_publishesPortAndHeartbeat()
{
    QFETCH(bool, bootLoader);
    QFETCH(int, productId);
    QFETCH(int, status);
    KorvoEmulatorSettings settings = quickSettings();
    settings.startInBootLoader = bootLoader;
    settings.heartbeatPeriod = 50ms;
    settings.firmwareVersion = "0105";
    KorvoEmulator emulator(settings);
    QVERIFY(!listed(QStringLiteral("ttyKORVO0")));
    QVERIFY2(emulator.start(), qPrintable(emulator.errorString()));

    const QList<SerialPortRecord> ports = SerialPortEnvironment::availablePorts();
    QCOMPARE(ports.size(), 1);
    QCOMPARE(ports.first().portName, QStringLiteral("ttyKORVO0"));
    QCOMPARE(ports.first().systemLocation, emulator.systemLocation());
    QVERIFY(ports.first().systemLocation.startsWith("/dev/pts/"));
    QCOMPARE(int(ports.first().vendorIdentifier), 0x0483);
    QCOMPARE(int(ports.first().productIdentifier), productId);
    QVERIFY(ports.first().hasVendorIdentifier && ports.first().hasProductIdentifier);
    QCOMPARE(ports.first().serialNumber, settings.serialNumber);
    const QList<BusDescriptionRecord> buses = SerialPortEnvironment::busDescriptionRecords();
    QCOMPARE(buses.size(), 1);
    QCOMPARE(buses.first().busDescription, QStringLiteral("Korvo 7"));
    QVERIFY(buses.first().friendlyName.endsWith("(ttyKORVO0)"));

    ToolPort tool;
    QVERIFY(tool.open(emulator.systemLocation()));
    QVERIFY(tool.waitForCommand(korvoEnums::KeepOnline, 2));
    for (const Frame& beat : tool.commands(korvoEnums::KeepOnline)) {
        QCOMPARE(versionBytes(beat.header.parameter), QByteArray("0105"));
        QCOMPARE(int(beat.header.status), status);
    }

    emulator.stop();
    QCOMPARE(emulator.mode(), KorvoEmulator::Mode::Stopped);
    QVERIFY(!listed(QStringLiteral("ttyKORVO0")));
}

void TestKorvoEmulator::keepOnlineWithStatusZero_answersKeepOnlineAndDfuInfo()
{
    KorvoEmulatorSettings settings = quickSettings();
    settings.boardVersion = 9;
    settings.boardRevision = 'D';
    settings.bootLoaderVersion = 3;
    KorvoEmulator emulator(settings);
    QVERIFY(emulator.start());
    ToolPort tool;
    QVERIFY(tool.open(emulator.systemLocation()));

    // The tool's own KeepOnline answers carry a non-zero status and get none.
    tool.sendCommand(korvoEnums::KeepOnline, korvoEnums::korvoOnline);
    tool.sendCommand(korvoEnums::KeepOnline, korvoEnums::korvoOffline);
    QVERIFY(tool.waitForFrames(2));
    QVERIFY(!tool.waitForFrames(3, quietPeriodMs));

    const Frame keepOnline = tool.frames.at(0);
    QCOMPARE(keepOnline.kind, Frame::Packet);
    QCOMPARE(int(keepOnline.header.action), int(korvoEnums::CommandMessage));
    QCOMPARE(int(keepOnline.header.dataOrCommand), int(korvoEnums::KeepOnline));
    QCOMPARE(int(keepOnline.header.status), int(korvoEnums::korvoOnline));
    QCOMPARE(versionBytes(keepOnline.header.parameter), QByteArray("0105"));

    const Frame info = tool.frames.at(1);
    QCOMPARE(info.kind, Frame::Packet);
    QCOMPARE(int(info.header.action), int(korvoEnums::FlashData));
    QCOMPARE(int(info.header.dataOrCommand), int(korvoEnums::DfuInfo));
    QCOMPARE(int(info.header.status), int(korvoEnums::korvoOnline));
    QCOMPARE(versionBytes(info.header.parameter), QByteArray("0105"));
    QCOMPARE(info.data.size(), 8);
    QCOMPARE(int(quint8(info.data.at(4))), 9);
    QCOMPARE(info.data.at(5), 'D');
    QCOMPARE(int(quint8(info.data.at(7))), 3);

    const QList<KorvoEmulator::ReceivedPacket> log = emulator.packetLog();
    QCOMPARE(log.size(), 2);
    QCOMPARE(log.at(0).verdict, Verdict::Ignored);
    QCOMPARE(log.at(1).verdict, Verdict::Handled);
}

void TestKorvoEmulator::prepareToFlashZero_rebootsIntoBootLoader()
{
    KorvoEmulatorSettings settings = quickSettings();
    settings.rebootDelay = 300ms;
    KorvoEmulator emulator(settings);
    QSignalSpy withdrawn(&emulator, &KorvoEmulator::portWithdrawn);
    QSignalSpy published(&emulator, &KorvoEmulator::portPublished);
    QVERIFY(withdrawn.isValid() && published.isValid());
    QVERIFY(emulator.start());
    QVERIFY(published.wait());
    const QString applicationLocation = emulator.systemLocation();
    ToolPort tool;
    QVERIFY(tool.open(applicationLocation));

    tool.sendCommand(korvoEnums::PrepareToFlash, korvoEnums::korvoOnline, 0);
    // The port dies under the tool: QSerialPort reports a read error once
    // the master side is gone.
    QTRY_VERIFY_WITH_TIMEOUT(!tool.errors.isEmpty(), answerTimeoutMs);
    QVERIFY(tool.errors.first() == QSerialPort::ReadError
            || tool.errors.first() == QSerialPort::ResourceError);
    QVERIFY(withdrawn.count() == 1 || withdrawn.wait());
    QElapsedTimer away;
    away.start();
    QCOMPARE(emulator.mode(), KorvoEmulator::Mode::Rebooting);
    QVERIFY(SerialPortEnvironment::availablePorts().isEmpty());

    QVERIFY(published.count() == 2 || published.wait());
    QVERIFY(away.elapsed() >= 200); // the reboot delay, less signal delivery
    QCOMPARE(emulator.mode(), KorvoEmulator::Mode::BootLoader);
    const QList<SerialPortRecord> ports = SerialPortEnvironment::availablePorts();
    QCOMPARE(ports.size(), 1);
    QCOMPARE(int(ports.first().productIdentifier), 0x000D);
    QCOMPARE(ports.first().systemLocation, emulator.systemLocation());

    tool.port.close();
    ToolPort bootTool;
    QVERIFY(bootTool.open(emulator.systemLocation()));
    bootTool.sendCommand(korvoEnums::KeepOnline, korvoEnums::korvoOffline);
    QVERIFY(bootTool.waitForCommand(korvoEnums::KeepOnline));
    QCOMPARE(int(bootTool.commands(korvoEnums::KeepOnline).first().header.status),
             int(korvoEnums::korvoBootOnline));
}

void TestKorvoEmulator::flashingRun_storesImageAndRebootsIntoNewVersion()
{
    KorvoEmulatorSettings settings = quickSettings();
    settings.startInBootLoader = true;
    settings.corruptPacket = 1;
    KorvoEmulator emulator(settings);
    QSignalSpy completed(&emulator, &KorvoEmulator::flashingCompleted);
    QVERIFY(completed.isValid());
    // Three packets; the last one 1001 bytes, not a whole number of words.
    const QByteArray image = KorvoFirmwareImage::transmittedPart(
        KorvoFirmwareImage::makeFile("0106", 108 + 2 * 4096 + 1001, 7));
    const quint32 size = quint32(image.size());
    ToolPort tool;
    prepareRun(emulator, tool, size);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(tool.commands(korvoEnums::ReadyToFlash).first().header.parameter, size);

    // Packet 0: the head block in front of slice 0.
    QCOMPARE(packetPayload(image, 0).size(), 108 + 4096);
    tool.sendFlashPacket(0, packetPayload(image, 0));
    QVERIFY(tool.waitForCommand(korvoEnums::FlashPacketVerify, 1));
    QCOMPARE(quint32(tool.commands(korvoEnums::FlashPacketVerify).at(0).header.parameter), 0u);

    // Packet 1 is taken as damaged once, then accepted when sent again.
    tool.sendFlashPacket(1, packetPayload(image, 1));
    QVERIFY(tool.waitForCommand(korvoEnums::FlashPacketBadCrc));
    QCOMPARE(quint32(tool.commands(korvoEnums::FlashPacketBadCrc).first().header.parameter), 1u);
    tool.sendFlashPacket(1, packetPayload(image, 1));
    QVERIFY(tool.waitForCommand(korvoEnums::FlashPacketVerify, 2));
    QCOMPARE(quint32(tool.commands(korvoEnums::FlashPacketVerify).at(1).header.parameter), 1u);

    QCOMPARE(packetPayload(image, 2).size(), 1001);
    tool.sendFlashPacket(2, packetPayload(image, 2));
    QVERIFY(tool.waitForCommand(korvoEnums::FlashPacketVerify, 3));
    const Frame lastAck = tool.commands(korvoEnums::FlashPacketVerify).at(2);
    QCOMPARE(quint32(lastAck.header.parameter), 2u);
    QCOMPARE(int(lastAck.header.status), int(korvoEnums::korvoReflash));

    // The acknowledgement is read before the device reboots away.
    QTRY_VERIFY_WITH_TIMEOUT(!tool.errors.isEmpty(), answerTimeoutMs);
    QVERIFY(completed.count() == 1 || completed.wait());
    QCOMPARE(completed.first().first().toByteArray(), QByteArray("0106"));
    QTRY_COMPARE_WITH_TIMEOUT(emulator.mode(), KorvoEmulator::Mode::ApplicationFirmware,
                              answerTimeoutMs);
    QCOMPARE(emulator.receivedImage(), image);
    QCOMPARE(emulator.firmwareVersion(), QByteArray("0106"));
    QCOMPARE(emulator.completedRuns(), 1);
    QCOMPARE(verdictsOfFlashPackets(emulator),
             (QList<Verdict>{Verdict::Stored, Verdict::CorruptedOnPurpose, Verdict::Stored,
                             Verdict::Stored}));
    const QList<KorvoEmulator::ResendRequest> resends = emulator.resendRequests();
    QCOMPARE(resends.size(), 1);
    QCOMPARE(int(resends.first().command), int(korvoEnums::FlashPacketBadCrc));
    QCOMPARE(resends.first().packet, 1u);

    ToolPort after;
    QVERIFY(after.open(emulator.systemLocation()));
    after.sendCommand(korvoEnums::KeepOnline, korvoEnums::korvoOffline);
    QVERIFY(after.waitForCommand(korvoEnums::KeepOnline));
    const Frame keepOnline = after.commands(korvoEnums::KeepOnline).first();
    QCOMPARE(versionBytes(keepOnline.header.parameter), QByteArray("0106"));
    QCOMPARE(int(keepOnline.header.status), int(korvoEnums::korvoOnline));
}

void TestKorvoEmulator::slowOutput_lastAcknowledgementLeavesWholeBeforeReboot()
{
    // 24 bytes in pieces of 3, 50 ms apart, take far longer than the grace:
    // the device restarts only once its answer has left (and the grace has
    // given the tool time to read it).
    KorvoEmulatorSettings settings = quickSettings();
    settings.outputChunkSizes = {3};
    settings.chunkGap = 50ms;
    settings.finalAckGrace = 100ms;
    KorvoEmulator emulator(settings);
    const QByteArray image(headBlockSize + 1, '\x42');
    ToolPort tool;
    prepareRun(emulator, tool, quint32(image.size()));
    if (QTest::currentTestFailed())
        return;
    tool.sendFlashPacket(0, image);
    QTRY_VERIFY_WITH_TIMEOUT(!tool.errors.isEmpty(), answerTimeoutMs);
    QCOMPARE(tool.commands(korvoEnums::FlashPacketVerify).size(), 1);
    QCOMPARE(emulator.completedRuns(), 1);
}

void TestKorvoEmulator::unexpectedFlashPacket_isAnsweredWithResendRequest_data()
{
    QTest::addColumn<quint32>("number");
    QTest::addColumn<int>("sizeChange");
    QTest::addColumn<bool>("damageData");
    QTest::addColumn<Verdict>("verdict");
    QTest::newRow("packet 1 before packet 0") << 1u << 0 << false << Verdict::WrongNumber;
    QTest::newRow("packet 0 one byte short") << 0u << -1 << false << Verdict::WrongSize;
    QTest::newRow("packet 0 one byte long") << 0u << 1 << false << Verdict::WrongSize;
    QTest::newRow("packet 0 with a damaged block") << 0u << 0 << true << Verdict::BadDataCrc;
}

void TestKorvoEmulator::unexpectedFlashPacket_isAnsweredWithResendRequest()
{
    QFETCH(quint32, number);
    QFETCH(int, sizeChange);
    QFETCH(bool, damageData);
    QFETCH(Verdict, verdict);
    const QByteArray image(108 + 3 * 4096, '\x3C');
    KorvoEmulator emulator(quickSettings());
    ToolPort tool;
    prepareRun(emulator, tool, quint32(image.size()));
    if (QTest::currentTestFailed())
        return;

    QByteArray payload = packetPayload(image, number);
    if (sizeChange < 0)
        payload.chop(-sizeChange);
    else
        payload.append(sizeChange, '\0');
    const usbMessageHeaderStruct header = makePacketHeader(
        korvoEnums::FlashData, korvoEnums::FlashDataPacket, korvoEnums::korvoReflash, number,
        payload.constData(), quint32(payload.size()));
    if (damageData)
        payload[200] = char(payload[200] ^ 0x01);
    tool.send(header, payload);

    QVERIFY(tool.waitForCommand(korvoEnums::FlashPacketBadCrc));
    QCOMPARE(quint32(tool.commands(korvoEnums::FlashPacketBadCrc).first().header.parameter), 0u);
    QCOMPARE(verdictsOfFlashPackets(emulator), QList<Verdict>{verdict});
    QCOMPARE(emulator.receivedImage(), QByteArray(image.size(), '\xFF'));

    // The packet wanted, sent right, is taken.
    tool.sendFlashPacket(0, packetPayload(image, 0));
    QVERIFY(tool.waitForCommand(korvoEnums::FlashPacketVerify));
    QCOMPARE(emulator.receivedImage().left(108 + 4096), image.left(108 + 4096));
}

void TestKorvoEmulator::silence_isAnsweredWithTimeoutRequestThenError()
{
    KorvoEmulatorSettings settings = quickSettings();
    settings.packetTimeout = 100ms;
    settings.packetTimeoutLimit = 2;
    KorvoEmulator emulator(settings);
    ToolPort tool;
    prepareRun(emulator, tool, 5000);
    if (QTest::currentTestFailed())
        return;

    QVERIFY(tool.waitForCommand(korvoEnums::ErrorMessage));
    const QList<Frame> timeouts = tool.commands(korvoEnums::FlashPacketTimeout);
    QCOMPARE(timeouts.size(), 2);
    for (const Frame& request : timeouts)
        QCOMPARE(quint32(request.header.parameter), 0u);
    const Frame error = tool.commands(korvoEnums::ErrorMessage).first();
    QCOMPARE(quint32(error.header.parameter), quint32(korvoEnums::Error_Timeout));
    QCOMPARE(int(error.header.status), int(korvoEnums::korvoBootOnline));
    QCOMPARE(int(emulator.status()), int(korvoEnums::korvoBootOnline));
}

void TestKorvoEmulator::answerTiming_followsProgrammingDelayAndLinkRate_data()
{
    QTest::addColumn<int>("programmingDelayMs");
    QTest::addColumn<int>("bytesPerSecond");
    QTest::addColumn<int>("atLeastMs");
    QTest::newRow("150 ms programming") << 150 << 0 << 150;
    // 4204 + 24 bytes in, 24 out, at 20000 bytes per second: about 213 ms.
    QTest::newRow("20 kB/s link") << 0 << 20000 << 200;
}

void TestKorvoEmulator::answerTiming_followsProgrammingDelayAndLinkRate()
{
    QFETCH(int, programmingDelayMs);
    QFETCH(int, bytesPerSecond);
    QFETCH(int, atLeastMs);
    KorvoEmulatorSettings settings = quickSettings();
    settings.programmingDelay = std::chrono::milliseconds(programmingDelayMs);
    settings.linkBytesPerSecond = quint32(bytesPerSecond);
    const QByteArray image(108 + 2 * 4096, '\x11');
    KorvoEmulator emulator(settings);
    ToolPort tool;
    prepareRun(emulator, tool, quint32(image.size()));
    if (QTest::currentTestFailed())
        return;

    QElapsedTimer clock;
    clock.start();
    tool.sendFlashPacket(0, packetPayload(image, 0));
    QVERIFY(tool.waitForCommand(korvoEnums::FlashPacketVerify));
    QVERIFY2(clock.elapsed() >= atLeastMs, qPrintable(QString::number(clock.elapsed())));
}

void TestKorvoEmulator::output_splitOrPaddedStillFrames_data()
{
    QTest::addColumn<QList<int>>("chunks");
    QTest::addColumn<int>("randomMax");
    QTest::addColumn<QByteArray>("garbage");
    QTest::newRow("pieces of 10 and 14") << QList<int>{10, 14} << 0 << QByteArray();
    QTest::newRow("random pieces up to 7") << QList<int>() << 7 << QByteArray();
    QTest::newRow("garbage after each packet") << QList<int>() << 0 << QByteArray("\xAA\x55\x13");
}

void TestKorvoEmulator::output_splitOrPaddedStillFrames()
{
    QFETCH(QList<int>, chunks);
    QFETCH(int, randomMax);
    QFETCH(QByteArray, garbage);
    KorvoEmulatorSettings settings = quickSettings();
    settings.outputChunkSizes = chunks;
    settings.randomChunkMax = randomMax;
    settings.chunkGap = 10ms;
    settings.garbageBetweenPackets = garbage;
    KorvoEmulator emulator(settings);
    QVERIFY(emulator.start());
    ToolPort tool;
    QVERIFY(tool.open(emulator.systemLocation()));

    tool.sendCommand(korvoEnums::KeepOnline, korvoEnums::korvoOffline);
    QVERIFY(tool.waitForFrames(2));
    QCOMPARE(tool.frames.at(0).kind, Frame::Packet);
    QCOMPARE(int(tool.frames.at(0).header.dataOrCommand), int(korvoEnums::KeepOnline));
    QCOMPARE(tool.frames.at(1).kind, Frame::Packet);
    QCOMPARE(int(tool.frames.at(1).header.dataOrCommand), int(korvoEnums::DfuInfo));

    const int packetBytes = 24 + 24 + 8;
    QTRY_COMPARE_WITH_TIMEOUT(tool.raw.size(), packetBytes + 2 * garbage.size(), answerTimeoutMs);
    // The record of the output is what the tool read, piece by piece.
    const QList<QByteArray> sent = emulator.sentChunks();
    QCOMPARE(std::accumulate(sent.cbegin(), sent.cend(), QByteArray()), tool.raw);
    if (!chunks.isEmpty())
        QCOMPARE(sent.first().size(), chunks.first());
    if (!garbage.isEmpty()) {
        QCOMPARE(tool.raw.mid(24, garbage.size()), garbage);
        QVERIFY(tool.raw.endsWith(garbage));
    } else {
        // At least one read ended inside the first header.
        QVERIFY(std::any_of(tool.readSizes.cbegin(), tool.readSizes.cend(),
                            [](int size) { return size < 24; }));
        QVERIFY(tool.readSizes.size() > 1);
    }
}

void TestKorvoEmulator::faultAtPacket_playsItsPart_data()
{
    QTest::addColumn<KorvoEmulatorSettings>("settings");
    QTest::addColumn<Verdict>("verdict");
    KorvoEmulatorSettings settings = quickSettings();
    settings.packetTimeout = 100ms;

    KorvoEmulatorSettings dropAck = settings;
    dropAck.dropAckOfPacket = 1;
    QTest::newRow("acknowledgement of packet 1 dropped") << dropAck << Verdict::StoredAckDropped;
    KorvoEmulatorSettings corruptAck = settings;
    corruptAck.corruptAckOfPacket = 1;
    QTest::newRow("acknowledgement of packet 1 corrupted")
        << corruptAck << Verdict::StoredAckCorrupted;
    KorvoEmulatorSettings error = settings;
    error.errorAtPacket = 1;
    error.errorCode = korvoEnums::Error_BadCrc;
    QTest::newRow("error at packet 1") << error << Verdict::ErrorReported;
    KorvoEmulatorSettings silent = settings;
    silent.silentFromPacket = 1;
    silent.heartbeatPeriod = 50ms;
    QTest::newRow("silent from packet 1") << silent << Verdict::Silenced;
    KorvoEmulatorSettings unplug = settings;
    unplug.unplugAtPacket = 1;
    QTest::newRow("unplugged at packet 1") << unplug << Verdict::Unplugged;
}

void TestKorvoEmulator::faultAtPacket_playsItsPart()
{
    QFETCH(KorvoEmulatorSettings, settings);
    QFETCH(Verdict, verdict);
    const QByteArray image(108 + 3 * 4096, '\x5A');
    KorvoEmulator emulator(settings);
    ToolPort tool;
    prepareRun(emulator, tool, quint32(image.size()));
    if (QTest::currentTestFailed())
        return;
    tool.sendFlashPacket(0, packetPayload(image, 0));
    QVERIFY(tool.waitForCommand(korvoEnums::FlashPacketVerify));
    const int framesBefore = tool.frames.size();
    tool.sendFlashPacket(1, packetPayload(image, 1));

    switch (verdict) {
    case Verdict::StoredAckDropped:
    case Verdict::StoredAckCorrupted: {
        // No acknowledgement that passes its check; after the silence the
        // device asks for packet 2.
        QVERIFY(tool.waitForCommand(korvoEnums::FlashPacketTimeout));
        const bool damaged
            = std::any_of(tool.frames.cbegin(), tool.frames.cend(),
                          [](const Frame& f) { return f.kind == Frame::BadHeaderCrc; });
        QCOMPARE(damaged, verdict == Verdict::StoredAckCorrupted);
        const QList<Frame> verifies = tool.commands(korvoEnums::FlashPacketVerify);
        QCOMPARE(std::count_if(verifies.cbegin(), verifies.cend(),
                               [](const Frame& f) { return f.kind == Frame::Packet; }),
                 1);
        QCOMPARE(quint32(tool.commands(korvoEnums::FlashPacketTimeout).first().header.parameter),
                 2u);
        QCOMPARE(emulator.receivedImage().mid(108 + 4096, 4096), image.mid(108 + 4096, 4096));
        break;
    }
    case Verdict::ErrorReported: {
        QVERIFY(tool.waitForCommand(korvoEnums::ErrorMessage));
        const Frame error = tool.commands(korvoEnums::ErrorMessage).first();
        QCOMPARE(quint32(error.header.parameter), quint32(korvoEnums::Error_BadCrc));
        QCOMPARE(int(emulator.status()), int(korvoEnums::korvoBootOnline));
        break;
    }
    case Verdict::Silenced: {
        // Neither answers, nor timeout requests, nor heartbeats (one beat
        // may have been on its way when the device fell silent).
        QTRY_COMPARE_WITH_TIMEOUT(verdictsOfFlashPackets(emulator).size(), 2, answerTimeoutMs);
        const int beatsBefore = tool.commands(korvoEnums::KeepOnline).size();
        tool.sendCommand(korvoEnums::KeepOnline, korvoEnums::korvoOffline);
        QVERIFY(!QTest::qWaitFor(
            [&] {
                return tool.commands(korvoEnums::KeepOnline).size() > beatsBefore + 1
                    || !tool.commands(korvoEnums::FlashPacketVerify).mid(1).isEmpty()
                    || !tool.commands(korvoEnums::FlashPacketTimeout).isEmpty();
            },
            quietPeriodMs));
        QVERIFY(std::none_of(tool.frames.cbegin() + framesBefore, tool.frames.cend(),
                             [](const Frame& frame) {
                                 return frame.header.dataOrCommand == korvoEnums::DfuInfo
                                     && frame.header.action == korvoEnums::FlashData;
                             }));
        QCOMPARE(emulator.mode(), KorvoEmulator::Mode::BootLoader);
        QVERIFY(tool.port.isOpen());
        break;
    }
    case Verdict::Unplugged: {
        QTRY_VERIFY_WITH_TIMEOUT(!tool.errors.isEmpty(), answerTimeoutMs);
        QCOMPARE(emulator.mode(), KorvoEmulator::Mode::Unplugged);
        QVERIFY(SerialPortEnvironment::availablePorts().isEmpty());
        // For good: no port comes back after the reboot delay.
        QVERIFY(
            !QTest::qWaitFor([&] { return !emulator.systemLocation().isEmpty(); }, quietPeriodMs));
        break;
    }
    default:
        QFAIL("no such fault row");
    }
    QCOMPARE(verdictsOfFlashPackets(emulator), (QList<Verdict>{Verdict::Stored, verdict}));
}

void TestKorvoEmulator::twoEmulators_areListedTogetherUntilStopped()
{
    KorvoEmulatorSettings first = quickSettings();
    KorvoEmulatorSettings second = quickSettings();
    second.portName = QStringLiteral("ttyKORVO1");
    second.serialNumber = QStringLiteral("KRV7-000456");
    KorvoEmulator a(first);
    KorvoEmulator b(second);
    QVERIFY(a.start());
    QVERIFY(b.start());

    QList<SerialPortRecord> ports = SerialPortEnvironment::availablePorts();
    QCOMPARE(ports.size(), 2);
    QCOMPARE(ports.at(0).portName, QStringLiteral("ttyKORVO0"));
    QCOMPARE(ports.at(1).portName, QStringLiteral("ttyKORVO1"));
    QVERIFY(ports.at(0).systemLocation != ports.at(1).systemLocation);
    QCOMPARE(SerialPortEnvironment::busDescriptionRecords().size(), 2);

    a.stop();
    ports = SerialPortEnvironment::availablePorts();
    QCOMPARE(ports.size(), 1);
    QCOMPARE(ports.first().portName, QStringLiteral("ttyKORVO1"));
}

QTEST_GUILESS_MAIN(TestKorvoEmulator)
#include "tst_korvoemulator.moc"

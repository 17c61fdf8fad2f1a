#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvopacketreader.h"
#include "packets.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QtTest>

#include <algorithm>
#include <numeric>

using namespace std::chrono_literals;
using Frame = KorvoPacketReader::Frame;
using Verdict = KorvoEmulator::Verdict;
Q_DECLARE_METATYPE(KorvoEmulatorSettings)

namespace {

constexpr int answerTimeoutMs = 3000;

// The tool's end of the link: a QSerialPort on the pty, with what it reads
// cut into frames by the link's framing rules.
class ToolPort : public QObject
{
public:
    explicit ToolPort(const QString& systemLocation)
    {
        port.setPortName(systemLocation);
        connect(&port, &QSerialPort::readyRead, this, [this] {
            const QByteArray bytes = port.readAll();
            readSizes.append(bytes.size());
            raw += bytes;
            frames += reader.feed(bytes);
        });
        // Another process's QSerialPort may still hold the lock file of a
        // pty number the kernel has just handed out again; it lets go at once.
        (void)QTest::qWaitFor([this] { return port.open(QIODevice::ReadWrite); }, answerTimeoutMs);
    }
    void send(quint8 action, quint8 type, quint8 status, quint32 parameter, QByteArray data = {},
              int damaged = -1)
    {
        QByteArray bytes = headerBytes(makePacketHeader(action, type, status, parameter,
                                                        data.constData(), quint32(data.size())));
        if (damaged >= 0)
            data[damaged] = char(data[damaged] ^ 0x01);
        port.write(bytes + data);
    }
    QList<Frame> commands(quint8 command) const
    {
        QList<Frame> found;
        std::copy_if(frames.cbegin(), frames.cend(), std::back_inserter(found),
                     [&](const Frame& f) {
                         return f.header.action == korvoEnums::CommandMessage
                             && f.header.dataOrCommand == command;
                     });
        return found;
    }
    bool waitForCommand(quint8 command, int count = 1)
    {
        return QTest::qWaitFor([&] { return commands(command).size() >= count; }, answerTimeoutMs);
    }

    QSerialPort port;
    KorvoPacketReader reader;
    QList<Frame> frames;
    QByteArray raw;
    QList<int> readSizes;
};

KorvoEmulatorSettings quickSettings(bool bootLoader = false)
{
    KorvoEmulatorSettings settings;
    settings.startInBootLoader = bootLoader;
    settings.heartbeatPeriod = 0ms; // tests ask for what they want to see
    settings.eraseDelay = 0ms;
    return settings;
}

} // namespace

// The emulated device as the tool's port sees it: heartbeat and answers, the
// knobs that shape its output, and how it checks flash packets. Its listing,
// reboots, whole runs and faults at a packet are exercised through the tool
// in the engine's and the window's tests.
class TestKorvoEmulator : public QObject
{
    Q_OBJECT

private slots:
    void keepOnline_isAnsweredWithStatusAndBoard_data();
    void keepOnline_isAnsweredWithStatusAndBoard();
    void flashPacket_isCheckedBeforeItIsStored_data();
    void flashPacket_isCheckedBeforeItIsStored();
};

void TestKorvoEmulator::keepOnline_isAnsweredWithStatusAndBoard_data()
{
    QTest::addColumn<KorvoEmulatorSettings>("settings");
    KorvoEmulatorSettings boot = quickSettings(true), split = quickSettings(), random = split,
                          garbage = split, slow = split;
    boot.heartbeatPeriod = 50ms;
    split.outputChunkSizes = {10, 14};
    split.chunkGap = 10ms; // each piece a read of its own
    random.randomChunkMax = 7;
    garbage.garbageBetweenPackets = "\xAA\x55\x13";
    slow.linkBytesPerSecond = 500; // 24 bytes in and 24 out before DfuInfo: 96 ms
    QTest::newRow("application firmware") << quickSettings();
    QTest::newRow("boot loader with heartbeat") << boot;
    QTest::newRow("pieces of 10 and 14") << split;
    QTest::newRow("random pieces up to 7") << random;
    QTest::newRow("garbage after each packet") << garbage;
    QTest::newRow("500 B/s link") << slow;
}

void TestKorvoEmulator::keepOnline_isAnsweredWithStatusAndBoard()
{
    QFETCH(KorvoEmulatorSettings, settings);
    const int status = settings.startInBootLoader ? 2 : 1;
    KorvoEmulator emulator(settings);
    QVERIFY2(emulator.start(), qPrintable(emulator.errorString()));

    ToolPort tool(emulator.systemLocation());
    QVERIFY(tool.port.isOpen());
    if (settings.heartbeatPeriod > 0ms)
        QVERIFY(tool.waitForCommand(korvoEnums::KeepOnline, 2));
    const int heartbeats = tool.frames.size();
    QElapsedTimer clock;
    clock.start();
    tool.send(korvoEnums::CommandMessage, korvoEnums::KeepOnline, 0, 0); // status 0: asks
    const auto isDfuInfo = [](const Frame& f) {
        return f.header.dataOrCommand == korvoEnums::DfuInfo;
    };
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(tool.frames.cbegin(), tool.frames.cend(), isDfuInfo),
                             answerTimeoutMs);
    QVERIFY(clock.elapsed() >= (settings.linkBytesPerSecond ? 90 : 0));
    // Every packet framed whole, however the output was cut.
    for (const Frame& frame : qAsConst(tool.frames)) {
        QCOMPARE(frame.kind, Frame::Packet);
        QCOMPARE(int(frame.header.status), status);
        QCOMPARE(frame.header.parameter, qFromLittleEndian<quint32>("0105"));
    }
    const auto dfuInfo = std::find_if(tool.frames.cbegin(), tool.frames.cend(), isDfuInfo);
    QCOMPARE(dfuInfo->data.mid(4), QByteArray::fromHex("07430002")); // board 7, 'C', DFU 2
    if (settings.heartbeatPeriod == 0ms) {
        QCOMPARE(tool.frames.size(), 2);
        QCOMPARE(tool.raw.size(), 56 + 2 * settings.garbageBetweenPackets.size());
        QVERIFY(tool.raw.endsWith(settings.garbageBetweenPackets));
        // The record of the output is what the tool read.
        const QList<QByteArray> sent = emulator.sentChunks();
        QCOMPARE(std::accumulate(sent.cbegin(), sent.cend(), QByteArray()), tool.raw);
    }
    if (!settings.outputChunkSizes.isEmpty() || settings.randomChunkMax > 0)
        QVERIFY(std::any_of(tool.readSizes.cbegin() + heartbeats, tool.readSizes.cend(),
                            [](int size) { return size < 24; }));
}

void TestKorvoEmulator::flashPacket_isCheckedBeforeItIsStored_data()
{
    QTest::addColumn<quint32>("number");
    QTest::addColumn<int>("sizeChange");
    QTest::addColumn<int>("damagedByte");
    QTest::addColumn<Verdict>("verdict");
    QTest::newRow("packet 1 before packet 0") << 1u << 0 << -1 << Verdict::WrongNumber;
    QTest::newRow("packet 0 one byte short") << 0u << -1 << -1 << Verdict::WrongSize;
    QTest::newRow("packet 0 one byte long") << 0u << 1 << -1 << Verdict::WrongSize;
    QTest::newRow("packet 0 with a damaged block") << 0u << 0 << 200 << Verdict::BadDataCrc;
    // Two timeout requests, then the run ends with Error_Timeout.
    QTest::newRow("no packet at all") << 0u << 0 << -1 << Verdict::Ignored;
}

void TestKorvoEmulator::flashPacket_isCheckedBeforeItIsStored()
{
    QFETCH(quint32, number);
    QFETCH(int, sizeChange);
    QFETCH(int, damagedByte);
    QFETCH(Verdict, verdict);
    KorvoEmulatorSettings settings = quickSettings(true);
    settings.packetTimeout = 100ms;
    settings.packetTimeoutLimit = 2;
    KorvoEmulator emulator(settings);
    QVERIFY2(emulator.start(), qPrintable(emulator.errorString()));
    ToolPort tool(emulator.systemLocation());
    const QByteArray image(108 + 3 * 4096, '\x3C');
    tool.send(korvoEnums::CommandMessage, korvoEnums::PrepareToFlash, 2, quint32(image.size()));
    QVERIFY(tool.waitForCommand(korvoEnums::ReadyToFlash));
    QCOMPARE(tool.commands(korvoEnums::ReadyToFlash).first().header.status, 4);
    if (verdict == Verdict::Ignored) {
        QVERIFY(tool.waitForCommand(korvoEnums::ErrorMessage));
        QCOMPARE(tool.commands(korvoEnums::FlashPacketTimeout).size(), 2);
        QCOMPARE(tool.commands(korvoEnums::ErrorMessage).first().header.parameter,
                 quint32(korvoEnums::Error_Timeout));
        QCOMPARE(emulator.status(), 2);
        return;
    }
    // Packet 0 is the head block in front of slice 0.
    const QByteArray packet0 = image.left(108 + 4096);
    const QByteArray payload = number == 0 ? packet0 : image.mid(108 + 4096, 4096);
    tool.send(korvoEnums::FlashData, korvoEnums::FlashDataPacket, 4, number,
              payload.left(payload.size() + sizeChange) + QByteArray(qMax(sizeChange, 0), '\0'),
              damagedByte);
    QVERIFY(tool.waitForCommand(korvoEnums::FlashPacketBadCrc));
    QCOMPARE(tool.commands(korvoEnums::FlashPacketBadCrc).first().header.parameter, 0u);
    QCOMPARE(emulator.packetLog().last().verdict, verdict);
    QCOMPARE(emulator.receivedImage(), QByteArray(image.size(), '\xFF'));
    // The packet wanted, sent right, is taken.
    tool.send(korvoEnums::FlashData, korvoEnums::FlashDataPacket, 4, 0, packet0);
    QVERIFY(tool.waitForCommand(korvoEnums::FlashPacketVerify));
    QCOMPARE(emulator.receivedImage().left(packet0.size()), packet0);
}

QTEST_GUILESS_MAIN(TestKorvoEmulator)
#include "tst_korvoemulator.moc"

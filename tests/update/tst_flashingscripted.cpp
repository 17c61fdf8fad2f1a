#include "devicepty.h"
#include "dfu_client.h"
#include "runrecorder.h"

#include <QtTest>

#include <memory>

using namespace std::chrono_literals;
using Frame = DevicePty::Frame;

namespace {

constexpr int runTimeoutMs = 5000; // the watchdog's 2 s and room for a loaded machine
constexpr std::chrono::milliseconds shortPrepareTimeout = 500ms;
// Long beside the watchdog, so a watchdog left at this wait shows.
constexpr std::chrono::milliseconds longPrepareTimeout = 10000ms;
// 7 packets: 0 (head block + slice), 1..5 whole slices, 6 a 5-byte tail.
constexpr int imageSize = 108 + 4096 * 6 + 5;

// What the device does at the packet (or command) a row names, instead of
// or besides the plain boot loader's answer; or an image too small to send.
// LostReady: the device asks for packet 0, then dies at the packet named.
enum Twist {
    RestartAt,
    AbortAt,
    GoBackAt,
    AskPastEndAt,
    ErrorAt,
    PortErrorAt,
    LowStatus,
    NoReady,
    LostReady,
    TooSmall
};

bool isCommand(const Frame& frame, quint8 command)
{
    return frame.header.action == korvoEnums::CommandMessage
        && frame.header.dataOrCommand == command;
}

} // namespace

// Flashing runs against a boot loader the test plays on a pseudo-terminal,
// for the exchanges the emulator does not offer: ReadyToFlash in mid-run,
// resends of earlier packets, odd commands and statuses, port errors.
class TestFlashingScripted : public QObject
{
    Q_OBJECT

private slots:
    void init() { DFU_client::setPrepareTimeout(shortPrepareTimeout); }
    void cleanup()
    {
        device.reset();
        DFU_client::setPrepareTimeout(DFU_client::prepareTimeoutInterval);
    }
    void twistedRun_endsAsItShould_data();
    void twistedRun_endsAsItShould();
    void noRun_nothingSentNorWaitedFor_data();
    void noRun_nothingSentNorWaitedFor();

private:
    // The plain boot loader: status 2; PrepareToFlash with a size ->
    // ReadyToFlash with status 4; the packet it waits for is stored and
    // verified, any other asked for again.
    void answer(const Frame& frame);
    void connectDevice(USB_StmFlasher& flasher, std::function<void(const Frame&)> onPacket);

    std::unique_ptr<DevicePty> device;
    QByteArray image;
    quint32 expected = 0;
};

void TestFlashingScripted::answer(const Frame& frame)
{
    if (isCommand(frame, korvoEnums::KeepOnline) && frame.header.status == 0)
        device->sendCommand(korvoEnums::KeepOnline, 2, LinkPackets::versionParameter("0105"));
    if (isCommand(frame, korvoEnums::PrepareToFlash) && frame.header.parameter > 0) {
        image = QByteArray(int(frame.header.parameter), '\xFF');
        expected = 0;
        device->sendCommand(korvoEnums::ReadyToFlash, korvoEnums::korvoReflash);
    }
    if (frame.header.action != korvoEnums::FlashData)
        return;
    if (frame.header.parameter != expected)
        return device->sendCommand(korvoEnums::FlashPacketTimeout, 4, expected);
    image.replace(expected == 0 ? 0 : 108 + 4096 * int(expected), frame.data.size(), frame.data);
    device->sendCommand(korvoEnums::FlashPacketVerify, korvoEnums::korvoReflash, expected++);
}

void TestFlashingScripted::connectDevice(USB_StmFlasher& flasher,
                                         std::function<void(const Frame&)> onPacket)
{
    device = std::make_unique<DevicePty>(USB_StmFlasher::bootLoaderProductId);
    device->onPacket = std::move(onPacket);
    QVERIFY(QMetaObject::invokeMethod(&flasher, "tim_portCheckerTimeout"));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 2u, runTimeoutMs);
}

void TestFlashingScripted::twistedRun_endsAsItShould_data()
{
    QTest::addColumn<int>("twist");
    QTest::addColumn<quint32>("at");
    QTest::addColumn<quint32>("parameter");
    QTest::addColumn<QList<quint32>>("packets");
    QTest::addColumn<QString>("message");
    const QString success = DFU_client::successMessage, timeout = DFU_client::timeoutMessage;
    const QList<quint32> all{0, 1, 2, 3, 4, 5, 6};
    QTest::newRow("ReadyToFlash in mid-run restarts from packet 0")
        << int(RestartAt) << 3u << 0u << QList<quint32>{0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 6} << success;
    QTest::newRow("FlashingAbort from the device does not end the run")
        << int(AbortAt) << 2u << 0u << all << success;
    // A run that kept counting would end two packets early, reporting
    // success for an image it did not finish.
    QTest::newRow("resend of an earlier packet counts its bytes once")
        << int(GoBackAt) << 4u << 2u << QList<quint32>{0, 1, 2, 3, 4, 2, 3, 4, 5, 6} << success;
    QTest::newRow("resend request past the last packet")
        << int(AskPastEndAt) << 2u << 0xFFFFFFFFu
        << QList<quint32>{0, 1, 2, 0xFFFFFFFF, 2, 3, 4, 5, 6} << success;
    QTest::newRow("ErrorMessage: the low 8 bits name the code")
        << int(ErrorAt) << 1u << 0x0106u << QList<quint32>{0, 1}
        << DFU_client::deviceErrorMessagePrefix + "Error_BGA_Timeout";
    // Drain waits that run out leave the run to the watchdog.
    QTest::newRow("time-out of a drain wait")
        << int(PortErrorAt) << 2u << quint32(QSerialPort::TimeoutError) << all << success;
    QTest::newRow("device gone") << int(PortErrorAt) << 2u << quint32(QSerialPort::ResourceError)
                                 << QList<quint32>{0, 1, 2} << DFU_client::portLostMessage;
    QTest::newRow("ReadyToFlash with status 2 sends nothing")
        << int(LowStatus) << 0u << 0u << QList<quint32>{} << timeout;
    QTest::newRow("no ReadyToFlash") << int(NoReady) << 0u << 0u << QList<quint32>{} << timeout;
    // The resend request re-arms the watchdog at 2 s, not at the long wait
    // for ReadyToFlash it started with: the run ends in time, not 10 s later.
    QTest::newRow("ReadyToFlash lost, then the device dies")
        << int(LostReady) << 0u << 0u << QList<quint32>{0} << timeout;
    QTest::newRow("head block only: refused before anything is sent")
        << int(TooSmall) << 0u << 108u << QList<quint32>{} << DFU_client::imageTooSmallMessage;
}

void TestFlashingScripted::twistedRun_endsAsItShould()
{
    QFETCH(int, twist);
    QFETCH(quint32, at);
    QFETCH(quint32, parameter);
    QFETCH(QList<quint32>, packets);
    QFETCH(QString, message);
    USB_StmFlasher flasher;
    connectDevice(flasher, [this](const Frame& frame) { answer(frame); });
    RunRecorder recorder(&flasher);
    QByteArray imageAtMessage;
    connect(&flasher, &USB_StmFlasher::showInfoMessage, this, [&] { imageAtMessage = image; });
    bool twisted = false;
    DFU_client::setPrepareTimeout(twist == LostReady ? longPrepareTimeout : shortPrepareTimeout);
    device->onPacket = [&](const Frame& frame) {
        const bool prepare = isCommand(frame, korvoEnums::PrepareToFlash);
        const bool here
            = frame.header.action == korvoEnums::FlashData && frame.header.parameter == at;
        if (twisted && twist == LostReady && here)
            return; // dead from here on
        if (twisted || !(here || (prepare && twist >= LowStatus)))
            return answer(frame);
        twisted = true;
        const auto send = [&](quint8 command) {
            device->sendCommand(command, 4, parameter);
        };
        switch (twist) {
        case RestartAt:
            expected = 0;
            return send(korvoEnums::ReadyToFlash);
        case AbortAt:
            send(korvoEnums::FlashingAbort);
            return answer(frame);
        case GoBackAt:
            expected = parameter;
            return send(korvoEnums::FlashPacketTimeout);
        case AskPastEndAt:
            return send(korvoEnums::FlashPacketBadCrc);
        case ErrorAt:
            return send(korvoEnums::ErrorMessage);
        case PortErrorAt:
            emit flasher.port()->errorOccurred(QSerialPort::SerialPortError(parameter));
            return answer(frame);
        case LowStatus:
            return device->sendCommand(korvoEnums::ReadyToFlash, korvoEnums::korvoBootOnline);
        case LostReady:
            image = QByteArray(int(frame.header.parameter), '\xFF');
            expected = 0;
            return send(korvoEnums::FlashPacketTimeout);
        }
    };
    const QByteArray file = makeFirmwareFile(twist == TooSmall ? int(parameter) : imageSize);
    flasher.dfu()->startFlashing(file);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, runTimeoutMs);
    QCOMPARE(recorder.messages.first(), message);
    QVERIFY(recorder.endedOnceAsTold());
    device->collect(); // what the tool wrote by now
    QList<quint32> sent;
    for (const Frame& frame : qAsConst(device->received))
        if (frame.header.action == korvoEnums::FlashData)
            sent.append(frame.header.parameter);
    QCOMPARE(sent, packets);
    QCOMPARE(device->commands(korvoEnums::PrepareToFlash).isEmpty(), twist == TooSmall);
    QVERIFY(message != DFU_client::successMessage || imageAtMessage == file.left(imageSize));
    QVERIFY(recorder.progress.isEmpty() || recorder.progress.last() == 0);
}

void TestFlashingScripted::noRun_nothingSentNorWaitedFor_data()
{
    QTest::addColumn<int>("how");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QList<DFU_client::FlashResult>>("results");
    // Without a device an image handed over directly is held for bytes fed
    // later; asked for by file (as after a download), the lost link is said.
    QTest::newRow("no device, image handed over")
        << 0 << QStringList{} << QList<DFU_client::FlashResult>{};
    QTest::newRow("no device, image from a file")
        << 1 << QStringList{DFU_client::portLostMessage}
        << QList<DFU_client::FlashResult>{DFU_client::FlashPortLost};
    QTest::newRow("interrupted, twice")
        << 2 << QStringList{} << QList<DFU_client::FlashResult>{DFU_client::FlashInterrupted};
}

void TestFlashingScripted::noRun_nothingSentNorWaitedFor()
{
    QFETCH(int, how);
    QFETCH(QStringList, messages);
    QFETCH(QList<DFU_client::FlashResult>, results);
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("image.bin")));
    QVERIFY(folder.isValid() && file.open(QIODevice::WriteOnly));
    file.write(makeFirmwareFile(imageSize));
    file.close();
    USB_StmFlasher flasher; // no device: status 0, the port closed
    flasher.portCheckTicker()->stop();
    if (how == 2) // the boot loader takes the image but never gets ready
        connectDevice(flasher, [this](const Frame& frame) {
            if (!isCommand(frame, korvoEnums::PrepareToFlash))
                answer(frame);
        });
    RunRecorder recorder(&flasher);
    if (how == 1)
        flasher.dfu()->flashFromFile(file.fileName());
    else
        flasher.dfu()->startFlashing(makeFirmwareFile(imageSize));
    if (how == 2) {
        flasher.dfu()->interruptRun();
        QCOMPARE(uint(flasher.getDevConnStatus()), 0u);
        flasher.dfu()->interruptRun();
    }
    // Three times the wait for ReadyToFlash: no time-out comes.
    QSignalSpy endings(&flasher, &USB_StmFlasher::runFinished);
    QVERIFY(!endings.wait(int(3 * shortPrepareTimeout.count())));
    QCOMPARE(recorder.messages, messages);
    QCOMPARE(recorder.results, results);
    QCOMPARE(recorder.resultTexts, how == 2 ? QStringList{QString()} : messages);
    QVERIFY(recorder.progress.isEmpty());
}

QTEST_GUILESS_MAIN(TestFlashingScripted)
#include "tst_flashingscripted.moc"

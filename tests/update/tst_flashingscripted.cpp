#include "dfu_client.h"
#include "korvoenums.h"
#include "logcapture.h"
#include "runrecorder.h"
#include "scripteddevice.h"
#include "usb_stmflasher.h"

#include <QElapsedTimer>
#include <QtTest>

#include <memory>

// Flashing runs against a boot loader scripted by the test on a real
// pseudo-terminal, for the exchanges that need exact control of the answers.
class TestFlashingScripted : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void readyToFlashDuringRun_restartsFromPacketZero();
    void flashingAbortFromDevice_doesNotEndRun();
    void resendOfEarlierPacket_countsItsBytesOnce();
    void readyToFlashWithLowStatus_sendsNothingAndTimesOut();
    void silenceAfterPrepareToFlash_endsRunWithTimeoutMessage();
    void lostReadyToFlash_transferStillWatchedForTwoSeconds();
    void errorMessage_endsRunWithItsName_data();
    void errorMessage_endsRunWithItsName();
    void strayCommandWithoutImage_abortsSilently();
    void portError_duringRun_data();
    void portError_duringRun();
    void tinyImage_isRefusedBeforeAnythingIsSent_data();
    void tinyImage_isRefusedBeforeAnythingIsSent();

private:
    void connectFlasher();
    int prepareToFlashCount() const;

    std::unique_ptr<ScriptedDevice> device;
    std::unique_ptr<USB_StmFlasher> flasher;
    std::unique_ptr<LogCapture> log;
};

namespace {

constexpr int connectTimeoutMs = 5000;
constexpr int runTimeoutMs = 5000;
// The watchdog's 2 s plus room for a loaded machine.
constexpr int watchdogWaitMs = 4000;

// 7 packets: 0 (head block + slice), 1..5 whole slices, 6 a 5-byte tail.
constexpr int sevenPacketImage = 108 + 4096 * 6 + 5;

} // namespace

void TestFlashingScripted::init()
{
    log = std::make_unique<LogCapture>();
    device = std::make_unique<ScriptedDevice>();
    QVERIFY(device->open());
    connectFlasher();
}

void TestFlashingScripted::cleanup()
{
    DFU_client::setPrepareTimeout(DFU_client::prepareTimeoutInterval);
    flasher.reset();
    device.reset();
    log.reset();
}

void TestFlashingScripted::connectFlasher()
{
    flasher = std::make_unique<USB_StmFlasher>();
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher->getDevConnStatus()), uint(korvoEnums::korvoBootOnline),
                              connectTimeoutMs);
}

int TestFlashingScripted::prepareToFlashCount() const
{
    int count = 0;
    for (const ScriptedDevice::Packet& packet : device->received)
        if (packet.header.action == korvoEnums::CommandMessage
            && packet.header.dataOrCommand == korvoEnums::PrepareToFlash)
            ++count;
    return count;
}

void TestFlashingScripted::readyToFlashDuringRun_restartsFromPacketZero()
{
    RunRecorder recorder(flasher.get());
    bool restarted = false;
    device->onPacket = [&](const ScriptedDevice::Packet& packet) {
        if (!restarted && packet.header.action == korvoEnums::FlashData
            && packet.header.parameter == 3) {
            restarted = true;
            device->expectedPacket = 0;
            device->sendCommand(korvoEnums::ReadyToFlash, korvoEnums::korvoReflash, 0);
            return;
        }
        device->answerByDefault(packet);
    };
    const QByteArray file = makeFirmwareFile(sevenPacketImage);
    flasher->dfu()->startFlashing(file);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, runTimeoutMs);
    QCOMPARE(recorder.messages.first(), DFU_client::successMessage);

    QList<quint32> numbers;
    for (const ScriptedDevice::Packet& packet : device->flashPackets())
        numbers.append(packet.header.parameter);
    QCOMPARE(numbers, (QList<quint32>{0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 6}));
    QCOMPARE(device->image, file.left(sevenPacketImage));
    QCOMPARE(log->messagesStartingWith("DONE reflashing"),
             QStringList{QStringLiteral("DONE reflashing totalBytesConfirmed:  %1  FileLength:  %1")
                             .arg(sevenPacketImage)});
    // The restart reports 1 again, then rises anew.
    QCOMPARE(recorder.progress.count(1u), 2);
    QCOMPARE(recorder.progress.last(), 0u);
}

void TestFlashingScripted::flashingAbortFromDevice_doesNotEndRun()
{
    RunRecorder recorder(flasher.get());
    device->onPacket = [&](const ScriptedDevice::Packet& packet) {
        if (packet.header.action == korvoEnums::FlashData && packet.header.parameter == 2)
            device->sendCommand(korvoEnums::FlashingAbort, korvoEnums::korvoReflash, 0);
        device->answerByDefault(packet);
    };
    const QByteArray file = makeFirmwareFile(sevenPacketImage);
    flasher->dfu()->startFlashing(file);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, runTimeoutMs);
    QCOMPARE(recorder.messages, QStringList{DFU_client::successMessage});
    QCOMPARE(device->image, file.left(sevenPacketImage));
    QVERIFY2(recorder.progressWellFormed(), qPrintable(recorder.events.join(", ")));
}

void TestFlashingScripted::resendOfEarlierPacket_countsItsBytesOnce()
{
    // The device goes back two packets: a run that kept counting would end
    // two packets early and report success for an image it did not finish.
    RunRecorder recorder(flasher.get());
    bool wentBack = false;
    QByteArray imageAtMessage;
    connect(flasher.get(), &USB_StmFlasher::showInfoMessage, this,
            [&] { imageAtMessage = device->image; });
    device->onPacket = [&](const ScriptedDevice::Packet& packet) {
        if (!wentBack && packet.header.action == korvoEnums::FlashData
            && packet.header.parameter == 4) {
            wentBack = true;
            device->expectedPacket = 2;
            device->sendCommand(korvoEnums::FlashPacketTimeout, korvoEnums::korvoReflash, 2);
            return;
        }
        device->answerByDefault(packet);
    };
    const QByteArray file = makeFirmwareFile(sevenPacketImage);
    flasher->dfu()->startFlashing(file);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, runTimeoutMs);
    QCOMPARE(recorder.messages.first(), DFU_client::successMessage);
    QCOMPARE(imageAtMessage, file.left(sevenPacketImage));

    QList<quint32> numbers;
    for (const ScriptedDevice::Packet& packet : device->flashPackets())
        numbers.append(packet.header.parameter);
    QCOMPARE(numbers, (QList<quint32>{0, 1, 2, 3, 4, 2, 3, 4, 5, 6}));
    QCOMPARE(log->messagesStartingWith("resendErrors"), QStringList{"resendErrors  1"});
    QVERIFY2(recorder.progressWellFormed(), qPrintable(recorder.events.join(", ")));
}

void TestFlashingScripted::readyToFlashWithLowStatus_sendsNothingAndTimesOut()
{
    RunRecorder recorder(flasher.get());
    device->onPacket = [&](const ScriptedDevice::Packet& packet) {
        if (packet.header.action == korvoEnums::CommandMessage
            && packet.header.dataOrCommand == korvoEnums::PrepareToFlash) {
            device->sendCommand(korvoEnums::ReadyToFlash, korvoEnums::korvoBootOnline, 0);
            return;
        }
        device->answerByDefault(packet);
    };
    flasher->dfu()->startFlashing(makeFirmwareFile(sevenPacketImage));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, watchdogWaitMs);
    QCOMPARE(recorder.messages.first(), DFU_client::timeoutMessage);
    QVERIFY(device->flashPackets().isEmpty());
    QCOMPARE(recorder.progress, (QList<uint>{1, 0}));
    QCOMPARE(log->messagesStartingWith("FLASHING TIMEOUT").size(), 1);
}

void TestFlashingScripted::silenceAfterPrepareToFlash_endsRunWithTimeoutMessage()
{
    RunRecorder recorder(flasher.get());
    device->onPacket = [&](const ScriptedDevice::Packet& packet) {
        if (packet.header.action == korvoEnums::CommandMessage
            && packet.header.dataOrCommand == korvoEnums::PrepareToFlash)
            return; // the boot loader never becomes ready
        device->answerByDefault(packet);
    };
    DFU_client::setPrepareTimeout(std::chrono::milliseconds(300));
    flasher->dfu()->startFlashing(makeFirmwareFile(sevenPacketImage));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, watchdogWaitMs);
    QCOMPARE(recorder.messages.first(), DFU_client::timeoutMessage);
    QCOMPARE(prepareToFlashCount(), 1);
    QVERIFY(device->flashPackets().isEmpty());
    QCOMPARE(uint(flasher->getDevConnStatus()), uint(korvoEnums::korvoOffline));
}

void TestFlashingScripted::lostReadyToFlash_transferStillWatchedForTwoSeconds()
{
    // ReadyToFlash is lost on the way; the boot loader, waiting for packet 0,
    // asks for it, takes it, and then dies. The wait for ReadyToFlash is long,
    // but once the device answers, its answers are watched for 2 s again.
    RunRecorder recorder(flasher.get());
    QElapsedTimer sinceLastAnswer;
    device->onPacket = [&](const ScriptedDevice::Packet& packet) {
        const usbMessageHeaderStruct& header = packet.header;
        if (header.action == korvoEnums::CommandMessage
            && header.dataOrCommand == korvoEnums::PrepareToFlash) {
            device->image = QByteArray(int(header.parameter), '\xFF');
            device->expectedPacket = 0;
            device->sendCommand(korvoEnums::FlashPacketTimeout, korvoEnums::korvoReflash, 0);
            sinceLastAnswer.start();
            return;
        }
        if (header.action == korvoEnums::FlashData && header.parameter > 0)
            return;
        device->answerByDefault(packet);
        sinceLastAnswer.start();
    };
    DFU_client::setPrepareTimeout(std::chrono::milliseconds(10 * watchdogWaitMs));
    flasher->dfu()->startFlashing(makeFirmwareFile(sevenPacketImage));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, watchdogWaitMs);
    QCOMPARE(recorder.messages.first(), DFU_client::timeoutMessage);
    QVERIFY2(sinceLastAnswer.elapsed() < DFU_client::flashingTimeoutInterval.count() + 1000,
             qPrintable(QString::number(sinceLastAnswer.elapsed())));
    QCOMPARE(device->flashPackets().size(), 2);
}

void TestFlashingScripted::errorMessage_endsRunWithItsName_data()
{
    QTest::addColumn<quint32>("parameter");
    QTest::addColumn<QString>("name");
    QTest::newRow("Error_BadCrc") << 2u << "Error_BadCrc";
    QTest::newRow("low 8 bits name the code") << 0x0106u << "Error_BGA_Timeout";
    QTest::newRow("no such code") << 0x99u << "";
}

void TestFlashingScripted::errorMessage_endsRunWithItsName()
{
    QFETCH(quint32, parameter);
    QFETCH(QString, name);
    RunRecorder recorder(flasher.get());
    device->onPacket = [&](const ScriptedDevice::Packet& packet) {
        if (packet.header.action == korvoEnums::FlashData && packet.header.parameter == 1) {
            device->sendCommand(korvoEnums::ErrorMessage, korvoEnums::korvoReflash, parameter);
            return;
        }
        device->answerByDefault(packet);
    };
    flasher->dfu()->startFlashing(makeFirmwareFile(sevenPacketImage));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, runTimeoutMs);
    QCOMPARE(recorder.messages.first(), DFU_client::deviceErrorMessagePrefix + name);
    QCOMPARE(recorder.progress.last(), 0u);
    QCOMPARE(log->messagesStartingWith("ErrorMessage:"),
             QStringList{QStringLiteral("ErrorMessage:  \"%1\"").arg(name)});
    QCOMPARE(device->flashPackets().size(), 2);
    // The device's next answer finds no run.
    device->sendCommand(korvoEnums::FlashPacketVerify, korvoEnums::korvoReflash, 1);
    QTRY_COMPARE_WITH_TIMEOUT(log->messagesStartingWith("dfu_rx  ERROR").size(), 1, runTimeoutMs);
    QCOMPARE(recorder.messages.size(), 1);
}

void TestFlashingScripted::strayCommandWithoutImage_abortsSilently()
{
    RunRecorder recorder(flasher.get());
    QSignalSpy statusSpy(flasher.get(), &USB_StmFlasher::devConnStatusChanged);
    QVERIFY(statusSpy.isValid());
    device->sendCommand(korvoEnums::FlashPacketVerify, korvoEnums::korvoReflash, 0);
    QTRY_COMPARE_WITH_TIMEOUT(log->messagesStartingWith("dfu_rx  ERROR").size(), 1, runTimeoutMs);
    QVERIFY(recorder.messages.isEmpty());
    QVERIFY(recorder.progress.isEmpty());
    // The abort steps put the link offline; its polling brings the device back.
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher->getDevConnStatus()), uint(korvoEnums::korvoBootOnline),
                              connectTimeoutMs);
    QVERIFY(log->messages().contains(QStringLiteral("setDevConnStatus  0")));
}

void TestFlashingScripted::portError_duringRun_data()
{
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::addColumn<QString>("message");
    // Drain waits that run out, e.g. while the link answers a heartbeat in
    // the middle of a packet's writes, leave the run to the watchdog.
    QTest::newRow("time-out of a drain wait")
        << QSerialPort::TimeoutError << DFU_client::successMessage;
    QTest::newRow("no modem-control lines")
        << QSerialPort::UnsupportedOperationError << DFU_client::successMessage;
    QTest::newRow("device gone") << QSerialPort::ResourceError << DFU_client::portLostMessage;
}

void TestFlashingScripted::portError_duringRun()
{
    QFETCH(QSerialPort::SerialPortError, error);
    QFETCH(QString, message);
    RunRecorder recorder(flasher.get());
    bool raised = false;
    device->onPacket = [&](const ScriptedDevice::Packet& packet) {
        if (!raised && packet.header.action == korvoEnums::FlashData
            && packet.header.parameter == 2) {
            raised = true;
            emit flasher->port()->errorOccurred(error);
        }
        device->answerByDefault(packet);
    };
    flasher->dfu()->startFlashing(makeFirmwareFile(sevenPacketImage));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, runTimeoutMs);
    QCOMPARE(recorder.messages.first(), message);
    QCOMPARE(recorder.progress.last(), 0u);
}

void TestFlashingScripted::tinyImage_isRefusedBeforeAnythingIsSent_data()
{
    QTest::addColumn<int>("fileSize");
    QTest::newRow("empty download") << 0;
    QTest::newRow("trailer only") << 16;
    QTest::newRow("one byte image") << 17;
    QTest::newRow("head block only") << 108 + 16;
}

void TestFlashingScripted::tinyImage_isRefusedBeforeAnythingIsSent()
{
    QFETCH(int, fileSize);
    RunRecorder recorder(flasher.get());
    flasher->dfu()->startFlashing(QByteArray(fileSize, '\x42'));
    QCOMPARE(recorder.messages, QStringList{DFU_client::imageTooSmallMessage});
    QCOMPARE(uint(flasher->getDevConnStatus()), uint(korvoEnums::korvoBootOnline));

    // A good image afterwards is the only one the device is asked to take.
    const QByteArray file = makeFirmwareFile(109);
    flasher->dfu()->startFlashing(file);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 2, runTimeoutMs);
    QCOMPARE(recorder.messages.last(), DFU_client::successMessage);
    QCOMPARE(prepareToFlashCount(), 1);
    QCOMPARE(device->image, file.left(109));
}

QTEST_GUILESS_MAIN(TestFlashingScripted)
#include "tst_flashingscripted.moc"

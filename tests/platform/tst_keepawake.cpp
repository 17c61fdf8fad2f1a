#include "dfu_client.h"
#include "keepawake.h"
#include "korvoemulator.h"
#include "runrecorder.h"

#include <QtTest>

#include <memory>

using namespace std::chrono_literals;
using Settings = KorvoEmulatorSettings;
Q_DECLARE_METATYPE(Settings)

namespace {

constexpr int connectTimeoutMs = 5000;
constexpr int runTimeoutMs = 30000;
constexpr int imageSize = 108 + 4096 * 8;

// What the system was asked, as the engine's KeepAwake tells its backend.
struct SystemRecord
{
    int acquired = 0;
    int released = 0;
    std::string reason;
    bool awake() const { return acquired > released; }
};

class RecordingBackend : public KeepAwakeBackend
{
public:
    explicit RecordingBackend(std::shared_ptr<SystemRecord> record) : record(std::move(record)) {}
    bool acquire(const std::string& reason) override
    {
        ++record->acquired;
        record->reason = reason;
        return true;
    }
    void release() override { ++record->released; }

private:
    std::shared_ptr<SystemRecord> record;
};

// How the test ends the run, beside what the device does.
enum class Ending { ByDevice, AbortByCaller, LinkDestroyed };

Settings bootLoader(const std::function<void(Settings&)>& fault = {})
{
    Settings settings;
    settings.startInBootLoader = true;
    if (fault)
        fault(settings);
    return settings;
}

} // namespace

Q_DECLARE_METATYPE(Ending)

// The engine keeps the computer awake for exactly the length of a run: taken
// when the run accepts its image, let go at every way a run can end. Whole
// runs through the real link against the emulated boot loader; the backend
// stands in for the operating system only.
class TestKeepAwake : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void runHoldsTheComputerAwakeUntilItEnds_data();
    void runHoldsTheComputerAwakeUntilItEnds();
    void refusedImageNeverWakesTheSystem();

private:
    std::shared_ptr<SystemRecord> system;
};

void TestKeepAwake::init()
{
    system = std::make_shared<SystemRecord>();
    KeepAwake::setBackendFactory(
        [record = system] { return std::make_unique<RecordingBackend>(record); });
}

void TestKeepAwake::cleanup()
{
    KeepAwake::setBackendFactory({});
}

void TestKeepAwake::runHoldsTheComputerAwakeUntilItEnds_data()
{
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<QString>("message"); // empty: none expected
    QTest::newRow("success") << bootLoader() << Ending::ByDevice << DFU_client::successMessage;
    QTest::newRow("device error at packet 3")
        << bootLoader([](Settings& s) { s.errorAtPacket = 3; }) << Ending::ByDevice
        << DFU_client::deviceErrorMessagePrefix + QStringLiteral("Error_BadFirmware");
    QTest::newRow("device silent from packet 3")
        << bootLoader([](Settings& s) { s.silentFromPacket = 3; }) << Ending::ByDevice
        << DFU_client::timeoutMessage;
    QTest::newRow("device unplugged at packet 3")
        << bootLoader([](Settings& s) { s.unplugAtPacket = 3; }) << Ending::ByDevice
        << DFU_client::portLostMessage;
    // Slow packets, so the run is still going when the caller steps in.
    const Settings slow = bootLoader([](Settings& s) { s.programmingDelay = 100ms; });
    QTest::newRow("aborted by the caller") << slow << Ending::AbortByCaller << QString();
    QTest::newRow("link destroyed mid-run (window closed)")
        << slow << Ending::LinkDestroyed << QString();
}

void TestKeepAwake::runHoldsTheComputerAwakeUntilItEnds()
{
    QFETCH(Settings, settings);
    QFETCH(Ending, ending);
    QFETCH(QString, message);
    KorvoEmulator emulator(settings);
    QVERIFY2(emulator.start(), qPrintable(emulator.errorString()));
    auto flasher = std::make_unique<USB_StmFlasher>();
    QVERIFY(QMetaObject::invokeMethod(flasher.get(), "tim_portCheckerTimeout"));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher->getDevConnStatus()), 2u, connectTimeoutMs);
    QVERIFY(!system->awake());
    RunRecorder recorder(flasher.get());
    // Every progress step of the run must find the system held awake.
    bool awakeThroughout = true;
    connect(flasher.get(), &USB_StmFlasher::flashing_progress_changed, this, [&](uint value) {
        awakeThroughout = awakeThroughout && (value == 0 || system->awake());
    });

    flasher->dfu()->startFlashing(makeFirmwareFile(imageSize));
    QCOMPARE(system->acquired, 1);
    QVERIFY(system->awake());
    QCOMPARE(QString::fromStdString(system->reason), KeepAwake::firmwareUpdateReason);

    switch (ending) {
    case Ending::ByDevice:
        QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, runTimeoutMs);
        QCOMPARE(recorder.messages.first(), message);
        break;
    case Ending::AbortByCaller:
        QTRY_VERIFY_WITH_TIMEOUT(recorder.progress.value(recorder.progress.size() - 1) > 10,
                                 runTimeoutMs);
        flasher->dfu()->abortFlashing();
        break;
    case Ending::LinkDestroyed:
        QTRY_VERIFY_WITH_TIMEOUT(recorder.progress.value(recorder.progress.size() - 1) > 10,
                                 runTimeoutMs);
        flasher.reset();
        break;
    }
    QVERIFY(awakeThroughout);
    QVERIFY(!system->awake());
    QCOMPARE(system->acquired, 1);
    QCOMPARE(system->released, 1);
    if (message.isEmpty())
        QVERIFY(recorder.messages.isEmpty());
}

void TestKeepAwake::refusedImageNeverWakesTheSystem()
{
    KorvoEmulator emulator(bootLoader());
    QVERIFY2(emulator.start(), qPrintable(emulator.errorString()));
    USB_StmFlasher flasher;
    QVERIFY(QMetaObject::invokeMethod(&flasher, "tim_portCheckerTimeout"));
    QTRY_COMPARE_WITH_TIMEOUT(uint(flasher.getDevConnStatus()), 2u, connectTimeoutMs);
    RunRecorder recorder(&flasher);
    flasher.dfu()->startFlashing(makeFirmwareFile(DFU_client::headBlockSize));
    QCOMPARE(recorder.messages, QStringList{DFU_client::imageTooSmallMessage});
    QCOMPARE(system->acquired, 0);
}

QTEST_GUILESS_MAIN(TestKeepAwake)
#include "tst_keepawake.moc"

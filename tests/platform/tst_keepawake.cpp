#include "dfu_client.h"
#include "keepawake.h"
#include "korvoemulator.h"
#include "runrecorder.h"

#include <QScopeGuard>
#include <QtTest>

#include <memory>

using namespace std::chrono_literals;
using Settings = KorvoEmulatorSettings;
using Fault = std::optional<quint32> Settings::*;
Q_DECLARE_METATYPE(Fault)

namespace {

// Stands in for the operating system: counts what it was asked, and why.
struct RecordingBackend : KeepAwakeBackend
{
    static inline int acquired = 0;
    static inline int released = 0;
    static inline std::string reason;
    bool acquire(const std::string& why) override { return reason = why, ++acquired > 0; }
    void release() override { ++released; }
};

// How the run ends: by what the device does, or by the test stepping in.
enum class Ending { ByDevice, AbortByCaller, LinkDestroyed, ImageRefused };

} // namespace

Q_DECLARE_METATYPE(Ending)

// The engine keeps the computer awake for exactly the length of a run: taken
// when the run accepts its image, let go at every way a run can end. Whole
// runs through the real link against the emulated boot loader.
class TestKeepAwake : public QObject
{
    Q_OBJECT

private slots:
    void run_holdsTheComputerAwakeUntilItEnds_data()
    {
        QTest::addColumn<Fault>("fault"); // set to packet 3
        QTest::addColumn<Ending>("ending");
        QTest::newRow("success") << Fault() << Ending::ByDevice;
        QTest::newRow("image refused: never taken") << Fault() << Ending::ImageRefused;
        QTest::newRow("device error") << &Settings::errorAtPacket << Ending::ByDevice;
        QTest::newRow("device silent") << &Settings::silentFromPacket << Ending::ByDevice;
        QTest::newRow("device unplugged") << &Settings::unplugAtPacket << Ending::ByDevice;
        QTest::newRow("aborted by the caller") << Fault() << Ending::AbortByCaller;
        QTest::newRow("link destroyed mid-run (window closed)") << Fault() << Ending::LinkDestroyed;
    }

    void run_holdsTheComputerAwakeUntilItEnds()
    {
        QFETCH(Fault, fault);
        QFETCH(Ending, ending);
        RecordingBackend::acquired = RecordingBackend::released = 0;
        RecordingBackend::reason.clear();
        KeepAwake::setBackendFactory([] { return std::make_unique<RecordingBackend>(); });
        const auto restore = qScopeGuard([] { KeepAwake::setBackendFactory({}); });
        Settings settings;
        settings.startInBootLoader = true;
        settings.programmingDelay = 50ms; // the run still going when the caller steps in
        if (fault)
            settings.*fault = 3;
        KorvoEmulator emulator(settings);
        QVERIFY2(emulator.start(), qPrintable(emulator.errorString()));
        auto flasher = std::make_unique<USB_StmFlasher>();
        QVERIFY(QMetaObject::invokeMethod(flasher.get(), "tim_portCheckerTimeout"));
        QTRY_COMPARE_WITH_TIMEOUT(uint(flasher->getDevConnStatus()), 2u, 5000);
        RunRecorder recorder(flasher.get());
        // Every progress step of the run must find the system held awake.
        bool awakeThroughout = true;
        connect(flasher.get(), &USB_StmFlasher::flashing_progress_changed, this, [&](uint value) {
            awakeThroughout = awakeThroughout
                && (value == 0 || RecordingBackend::acquired > RecordingBackend::released);
        });

        const bool refused = ending == Ending::ImageRefused;
        const int imageSize = DFU_client::headBlockSize + (refused ? 0 : 4096 * 8);
        flasher->dfu()->startFlashing(makeFirmwareFile(imageSize));
        QCOMPARE(RecordingBackend::acquired, refused ? 0 : 1);
        QCOMPARE(QString::fromStdString(RecordingBackend::reason),
                 refused ? QString() : KeepAwake::firmwareUpdateReason);
        if (ending == Ending::ByDevice || refused) {
            QTRY_COMPARE_WITH_TIMEOUT(recorder.results.size(), 1, 30000);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(recorder.progress.size() > 3, 30000);
            if (ending == Ending::AbortByCaller)
                flasher->dfu()->abortFlashing();
            else
                flasher.reset();
        }
        QVERIFY(awakeThroughout);
        QCOMPARE(RecordingBackend::acquired, refused ? 0 : 1);
        QCOMPARE(RecordingBackend::released, RecordingBackend::acquired);
    }
};

QTEST_GUILESS_MAIN(TestKeepAwake)
#include "tst_keepawake.moc"

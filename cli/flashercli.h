#pragma once

#include "cliconsole.h"
#include "clioptions.h"
#include "dfu_client.h"
#include "portproblem.h"
#include "progressreport.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QVariantList>

#include <chrono>
#include <memory>
#include <optional>

class FixedPortProvider;
class QTimer;
class USB_StmFlasher;

// One run of trennic-flasher-cli: waits for a device, then prints what it
// reports, lists its firmware images or flashes one, driving the same
// USB_StmFlasher and DFU_client as the window does, and ends with an exit
// code. A device running its application firmware is restarted into its
// boot loader (PrepareToFlash 0) before it is flashed. With --batch it
// flashes one image into unit after unit, a line per unit on stdout.
class FlasherCli : public QObject
{
    Q_OBJECT

public:
    enum ExitCode : int {
        ExitSuccess = 0,
        ExitRunFailed = 1, // device error, time-out, lost port, download failed, image refused
        ExitUsage = 2,
        ExitNoDevice = 3, // no device (or no boot loader after the reboot) within the wait
        ExitCatalogueUnavailable = 4, // --list: the catalogue could not be fetched
        ExitVersionNotConfirmed = 5, // --expect-version: the device came back without it
        ExitInterrupted = 130, // Ctrl-C; 128 + the signal's number in general
    };

    // How a batch's unit ended when not by its run's result.
    enum UnitOutcome {
        NotConfirmed, // flashed, but the unit did not report back in time
        VersionNotExpected, // back with another version than --expect-version
        NoBootLoader, // the boot loader did not report after the restart
    };
    Q_ENUM(UnitOutcome)

    static const QString programName;

    // After the device has first reported, how long --info waits for its
    // DfuInfo message (board and boot-loader versions), which a device sends
    // right after its first answer.
    static constexpr std::chrono::milliseconds deviceInfoGrace{1000};
    // Longest wait for the catalogue once the device is there. The engine
    // bounds each request too; this also bounds a server that trickles.
    static constexpr std::chrono::milliseconds catalogueTimeout{60000};

    FlasherCli(const CliOptions& options, ProgressReport::Style progressStyle,
               const CliConsole& console = CliConsole(), QObject* parent = nullptr);
    ~FlasherCli() override;

    // Starts the device link and the wait for a device; the run ends with
    // finished(), possibly before start() returns.
    void start();
    // Ctrl-C and the like: closes the port at once (a device in its boot
    // loader stays there, ready for another try) and finishes with
    // 128 + `signalNumber`.
    void interrupt(int signalNumber);

    bool isFinished() const { return phase == Phase::Done; }
    int exitCode() const { return code; }

    // Why the engine refused the signature in `verdict` (English), for an
    // image of `source` and the device `deviceName`.
    static QString signatureRefusalText(const FirmwareSignature::Verdict& verdict,
                                        const QString& source, const QString& deviceName);

    // The exit code of a flashing run that ended in `result`.
    static int exitCodeFor(DFU_client::FlashResult result);

    // The tool's words for a port that could not be opened: what the user
    // can do about it, naming the port by its path.
    static QString portProblemText(const PortProblem& problem);

    // The device's state as the tool's lines name it.
    static QString stateText(uint status);
    // The names the batch lines and the run record show.
    static QString resultName(DFU_client::FlashResult result);
    static QString unitResultName(UnitOutcome outcome);

    // The whole program: reads `arguments`, runs, returns the exit code.
    // Needs a QCoreApplication.
    static int runCommandLine(const QStringList& arguments);

signals:
    void finished(int exitCode);

private:
    enum class Phase {
        Idle,
        WaitingForDevice,
        WaitingForDeviceInfo, // --info: the device is there, its DfuInfo may follow
        WaitingForCatalogue, // --list
        WaitingForBootLoader, // reboot requested
        Flashing, // the engine has the run
        WaitingForReturn, // success: the device restarts into its application firmware
        FetchingImage, // --batch --url: the image is downloaded before the first unit
        WaitingForUnitToLeave, // --batch: the unit just done is still connected
        Done,
    };

    void onLinkChanged();
    void reportPortProblem();
    QString withPortProblem(const QString& reason) const;
    void onDeadline();
    void onCatalogueFinished(bool replaced);
    void onProgress(uint percent);
    void onDownloadProgress(qint64 received, qint64 total);
    void closeDownloadReport();
    void onRunFinished(DFU_client::FlashResult result, const QString& message);
    void onDeviceReturned(const QString& version);
    void onDeviceReturnTimedOut();
    // --batch.
    void onImageFetched(const QString& url, const QByteArray& image, bool ok);
    bool takeBatchImage(const QByteArray& image);
    void waitForNextUnit();
    bool beginUnit(uint status);
    // The unit's line on stdout and its count; endUnit then waits for the
    // next unit or ends the batch.
    void endUnit(const QString& after, const QString& result, bool succeeded);
    void printUnit(const QString& after, const QString& result, bool succeeded);
    void checkUnitLeft();
    void finishBatch();

    void deviceFound(uint status);
    void printInfoOnceKnown();
    void printInfo();
    void concludeList();
    void startRun();
    void armDeadline(std::chrono::milliseconds timeout);
    void fail(int exitCode, const QString& reason);
    void finish(int exitCode);
    QString deviceLabel() const;
    QString waitText() const;

    CliOptions options;
    CliConsole console;
    ProgressReport progress;
    ProgressReport downloadProgress;
    std::unique_ptr<FixedPortProvider> portProvider;
    USB_StmFlasher* link = nullptr;
    QTimer* deadline = nullptr;
    Phase phase = Phase::Idle;
    int code = -1;
    uint lastStatus = 0; // the last non-zero state the device reported
    std::optional<bool> catalogueReplaced; // outcome of the latest catalogue request
    QElapsedTimer transferClock; // from the device's ReadyToFlash
    QElapsedTimer downloadClock; // from the request of the download
    bool downloadReportOpen = false; // reports written, the closing line not yet
    bool downloadDone = false;
    quint64 runImageSize = 0; // the image of the run, as last seen in progress
    PortProblem shownPortProblem; // printed once until it changes
    ProgressReport::Style progressStyle;

    // --batch: the image read or fetched once, the unit under way, the tally.
    QByteArray batchImage;
    std::optional<QByteArray> batchSignature; // the image's, when it has one
    QString batchSource;
    int unitIndex = 0;
    int unitsFlashed = 0;
    int unitsFailed = 0;
    QString unitSerial;
    QString unitBefore; // the version the unit reported in its application firmware
    QElapsedTimer unitClock;
    QSet<QString> confirmedSerials; // units flashed and confirmed in this batch
    // The run ended as FlashUnconfirmed: the unit's return decides.
    bool runUnconfirmed = false;
};

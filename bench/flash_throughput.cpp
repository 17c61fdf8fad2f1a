// Flashing throughput of the tool (USB_StmFlasher + DFU_client, with its
// event loop) against a minimal blocking POSIX client, both flashing 1 MiB
// into the emulated boot loader over a pseudo-terminal: once with an ideal
// device (no programming delay, no rate limit) and once with a realistic one
// (16 ms per packet, 1 MB/s), which is also compared with the ideal time
// K x (16 ms + transfer time).

#include "dfu_client.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "referenceclient.h"
#include "usb_stmflasher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>

#include <functional>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int imageBytes = 1 << 20;
constexpr std::chrono::milliseconds connectTimeout{10000};
constexpr std::chrono::milliseconds runTimeout{120000};
constexpr std::chrono::milliseconds checkInterval{5};
constexpr int idealRepetitions = 5;

// What the log handler needs to time the tool's run from its own log lines.
struct ToolProbe
{
    bool active = false;
    Clock::time_point lastRead;
    Clock::time_point readyToFlash;
    Clock::time_point lastSent;
    int sent = 0;
    std::vector<double> gapsUs;
    std::vector<double> roundTripsUs;
};
ToolProbe* probe = nullptr;

double microseconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::micro>(to - from).count();
}

// The tool logs every packet; the lines are made as always but not printed,
// so the figures are the engine's and not the terminal's.
void timingHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg) {
        fprintf(stderr, "%s\n", qPrintable(message));
        return;
    }
    if (probe == nullptr || !probe->active)
        return;
    const Clock::time_point now = Clock::now();
    if (message.contains(QLatin1String("DFU: ReadyToFlash"))) {
        probe->readyToFlash = now;
    } else if (message.contains(QLatin1String("sent pNum:"))) {
        // Packet 0 answers ReadyToFlash; every later one an acknowledgement.
        if (probe->sent++ > 0)
            probe->gapsUs.push_back(microseconds(probe->lastRead, now));
        probe->lastSent = now;
    } else if (message.contains(QLatin1String("dfu_rx")) && probe->sent > 0) {
        probe->roundTripsUs.push_back(microseconds(probe->lastSent, probe->lastRead));
    }
}

// Runs the event loop (blocking in it, as the tool does) until `done` holds,
// looking at it every few milliseconds, or until the time-out.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    check.start(checkInterval);
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}

RunFigures flashWithTool(KorvoEmulator& emulator, const QByteArray& file)
{
    RunFigures figures;
    USB_StmFlasher flasher;
    if (!waitUntil([&] { return flasher.getDevConnStatus() == korvoEnums::korvoBootOnline; },
                   connectTimeout)) {
        figures.error = QStringLiteral("the tool did not find the boot loader");
        return figures;
    }
    // Note when each read of the port begins, then let the link read as usual.
    QSerialPort* port = flasher.port();
    QObject::disconnect(port, &QSerialPort::readyRead, &flasher, nullptr);
    ToolProbe toolProbe;
    QObject::connect(port, &QSerialPort::readyRead, &flasher, [&] {
        toolProbe.lastRead = Clock::now();
        QMetaObject::invokeMethod(&flasher, "readSerialData", Qt::DirectConnection);
    });
    bool finished = false;
    Clock::time_point end;
    QEventLoop run;
    QObject::connect(&flasher, &USB_StmFlasher::showInfoMessage, &run, [&](const QString& text) {
        end = Clock::now();
        finished = true;
        run.quit();
        figures.ok = text == DFU_client::successMessage;
        if (!figures.ok)
            figures.error = text;
    });
    probe = &toolProbe;
    toolProbe.active = true;
    flasher.dfu()->startFlashing(file);
    QTimer::singleShot(runTimeout, &run, &QEventLoop::quit);
    if (!finished)
        run.exec();
    if (!finished)
        figures.error = QStringLiteral("the run did not end");
    toolProbe.active = false;
    probe = nullptr;
    figures.totalMs = microseconds(toolProbe.readyToFlash, end) / 1000.0;
    figures.packets = toolProbe.sent;
    figures.gapsUs = toolProbe.gapsUs;
    figures.roundTripsUs = toolProbe.roundTripsUs;
    if (figures.ok && emulator.receivedImage() != KorvoFirmwareImage::transmittedPart(file)) {
        figures.ok = false;
        figures.error = QStringLiteral("the device holds a different image");
    }
    return figures;
}

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, size_t(share * double(values.size() - 1) + 0.5));
    return values[at];
}

void print(const char* who, const RunFigures& figures)
{
    if (!figures.ok) {
        printf("  %-10s FAILED: %s\n", who, qPrintable(figures.error));
        return;
    }
    const double kibPerSecond = imageBytes / 1024.0 / (figures.totalMs / 1000.0);
    printf("  %-10s total %8.1f ms %9.1f KiB/s  gap median %7.1f us p99 %7.1f us"
           "  round trip median %7.1f us p99 %8.1f us  (%d packets)\n",
           who, figures.totalMs, kibPerSecond, percentile(figures.gapsUs, 0.5),
           percentile(figures.gapsUs, 0.99), percentile(figures.roundTripsUs, 0.5),
           percentile(figures.roundTripsUs, 0.99), figures.packets);
}

struct Pair
{
    RunFigures tool;
    RunFigures reference;
};

// The run whose total time is the median of the successful ones (or a
// failed one when any failed).
RunFigures medianRun(const std::vector<Pair>& runs, RunFigures Pair::*client)
{
    std::vector<RunFigures> all;
    for (const Pair& pair : runs) {
        if (!(pair.*client).ok)
            return pair.*client;
        all.push_back(pair.*client);
    }
    std::sort(all.begin(), all.end(),
              [](const RunFigures& a, const RunFigures& b) { return a.totalMs < b.totalMs; });
    return all[all.size() / 2];
}

Pair runBoth(KorvoEmulatorSettings settings, const QByteArray& file)
{
    settings.startInBootLoader = true;
    Pair pair;
    {
        KorvoEmulator emulator(settings);
        if (!emulator.start()) {
            pair.tool.error = emulator.errorString();
            return pair;
        }
        pair.tool = flashWithTool(emulator, file);
        emulator.stop();
    }
    {
        KorvoEmulator emulator(settings);
        if (!emulator.start()) {
            pair.reference.error = emulator.errorString();
            return pair;
        }
        const QByteArray image = KorvoFirmwareImage::transmittedPart(file);
        pair.reference = flashWithReferenceClient(emulator.systemLocation(), image);
        if (pair.reference.ok && emulator.receivedImage() != image) {
            pair.reference.ok = false;
            pair.reference.error = QStringLiteral("the device holds a different image");
        }
        emulator.stop();
    }
    return pair;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(timingHandler);
    const QByteArray file = KorvoFirmwareImage::makeFile("0106", imageBytes, 42);

    printf("Flashing 1 MiB (%d bytes) into the emulated boot loader over a pseudo-terminal.\n"
           "gap: acknowledgement read by the client .. next packet about to be written\n"
           "round trip: packet about to be written .. its answer read by the client\n\n",
           imageBytes);

    if (app.arguments().contains(QStringLiteral("--tool-only"))) {
        // For profiling: one run of the tool against the ideal device.
        KorvoEmulatorSettings settings;
        settings.startInBootLoader = true;
        KorvoEmulator emulator(settings);
        if (!emulator.start())
            return 1;
        print("tool", flashWithTool(emulator, file));
        emulator.stop();
        return 0;
    }

    printf("Ideal device: no programming delay, no rate limit (median of %d runs)\n",
           idealRepetitions);
    // Short runs on a shared machine: the run with the median time of a few
    // stands for each client.
    std::vector<Pair> idealRuns;
    for (int i = 0; i < idealRepetitions; ++i)
        idealRuns.push_back(runBoth(KorvoEmulatorSettings{}, file));
    Pair ideal;
    ideal.tool = medianRun(idealRuns, &Pair::tool);
    ideal.reference = medianRun(idealRuns, &Pair::reference);
    print("tool", ideal.tool);
    print("reference", ideal.reference);
    if (ideal.tool.ok && ideal.reference.ok)
        printf("  tool / reference: %.3f (target <= 1.3)\n\n",
               ideal.tool.totalMs / ideal.reference.totalMs);

    const KorvoEmulatorSettings realistic = KorvoEmulatorSettings::realistic();
    printf("Realistic device: %lld ms programming per packet, link %u bytes/s\n",
           static_cast<long long>(realistic.programmingDelay.count()),
           realistic.linkBytesPerSecond);
    const Pair real = runBoth(realistic, file);
    print("tool", real.tool);
    print("reference", real.reference);
    // Each packet: its header and payload cross the link, the device
    // programs it, its 24-byte acknowledgement crosses back.
    const int packets = (imageBytes - 108 + 4095) / 4096;
    const double bytesPerMs = realistic.linkBytesPerSecond / 1000.0;
    const double idealMs = packets * (double(realistic.programmingDelay.count()) + 48 / bytesPerMs)
        + imageBytes / bytesPerMs;
    printf("  ideal K x (programming + transfer): %.1f ms\n", idealMs);
    if (real.tool.ok)
        printf("  tool / ideal: %.3f (target <= 1.02)\n", real.tool.totalMs / idealMs);
    if (real.reference.ok)
        printf("  reference / ideal: %.3f\n", real.reference.totalMs / idealMs);
    if (real.tool.ok && real.reference.ok)
        printf("  tool / reference: %.3f\n", real.tool.totalMs / real.reference.totalMs);
    return ideal.tool.ok && ideal.reference.ok && real.tool.ok && real.reference.ok ? 0 : 1;
}

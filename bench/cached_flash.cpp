// Time of a whole run of a 1 MiB image through the tool (USB_StmFlasher +
// DFU_client), from flashFromUrl to the success message, into the emulated
// boot loader: downloaded from the local HTTPS server with the cache off,
// downloaded and stored, and taken from the cache with the server stopped.
// Once with an ideal device and once with a realistic one (16 ms per packet,
// 1 MB/s), over a fast server and one at 1 MiB/s.

#include "dfu_client.h"
#include "firmwarecache.h"
#include "firmwareserver.h"
#include "korvoemulator.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"
#include "usb_stmflasher.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr int imageBytes = 1 << 20;
constexpr int repetitions = 3;
constexpr int connectTimeoutMs = 10000;
constexpr int runTimeoutMs = 120000;
constexpr qint64 slowServerBytesPerSecond = qint64(1024) * 1024;

void quietHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg)
        fprintf(stderr, "%s\n", qPrintable(message));
}

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// One run: a fresh boot loader, the link finds it, flashFromUrl, success.
// Returns milliseconds, or -1 when the run failed.
double timedRun(const KorvoEmulatorSettings& device, const QString& url, bool cacheOn)
{
    KorvoEmulatorSettings settings = device;
    settings.startInBootLoader = true;
    KorvoEmulator emulator(settings);
    if (!emulator.start())
        return -1;
    USB_StmFlasher flasher;
    flasher.dfu()->setCacheEnabled(cacheOn);
    QMetaObject::invokeMethod(&flasher, "tim_portCheckerTimeout");
    if (!waitFor([&] { return flasher.getDevConnStatus() == 2; }, connectTimeoutMs))
        return -1;
    // The catalogue request of the port's opening is out of the way.
    waitFor([] { return false; }, 300);
    QString message;
    QObject::connect(&flasher, &USB_StmFlasher::showInfoMessage,
                     [&](const QString& text) { message = text; });
    QElapsedTimer clock;
    clock.start();
    flasher.flashFromUrl(url);
    if (!waitFor([&] { return !message.isEmpty(); }, runTimeoutMs)
        || message != DFU_client::successMessage)
        return -1;
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    emulator.stop();
    return ms;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietHandler);
    QTemporaryDir tree;
    QTemporaryDir cache;
    FirmwareCache::setDefaultFolder(cache.path());
    const QString folder = tree.filePath(QStringLiteral("Korvo 7/release"));
    QDir().mkpath(folder);
    QFile file(folder + QStringLiteral("/big.bin"));
    const QByteArray image = KorvoFirmwareImage::makeFile("0300", imageBytes, 3);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return 1;
    file.close();
    LocalFirmwareServer server(tree.path());
    FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile());

    printf("Whole run of a 1 MiB image, flashFromUrl to the success message (median of %d):\n",
           repetitions);
    printf("%-26s %-8s %14s %14s %16s\n", "device", "server", "download ms", "download+store",
           "from cache ms");
    struct Device
    {
        const char* name;
        KorvoEmulatorSettings settings;
    };
    const std::vector<Device> devices{{"ideal", KorvoEmulatorSettings()},
                                      {"realistic (16 ms, 1 MB/s)",
                                       KorvoEmulatorSettings::realistic()}};
    for (const Device& device : devices) {
        for (const qint64 rate : {qint64(0), slowServerBytesPerSecond}) {
            if (!server.start())
                return 1;
            LocalFirmwareServerFaults faults;
            faults.bytesPerSecond = rate;
            server.setFaults(faults);
            FirmwareServer::setBaseUrl(server.baseUrl());
            const QString url = server.fileUrl(QStringLiteral("Korvo 7"),
                                               QStringLiteral("release"), QStringLiteral("big.bin"));
            std::vector<double> plain, stored, cached;
            for (int i = 0; i < repetitions; ++i) {
                plain.push_back(timedRun(device.settings, url, false));
                stored.push_back(timedRun(device.settings, url, true));
            }
            server.stop();
            for (int i = 0; i < repetitions; ++i)
                cached.push_back(timedRun(device.settings, url, true));
            printf("%-26s %-8s %14.0f %14.0f %16.0f\n", device.name,
                   rate == 0 ? "fast" : "1 MiB/s", median(plain), median(stored), median(cached));
            fflush(stdout);
        }
    }
    return 0;
}

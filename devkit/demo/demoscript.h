#pragma once

#include "dfu_client.h"

#include <optional>

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <functional>

class KorvoEmulator;
class PortHolder;
class LocalFirmwareServer;
class QQuickItem;
class QQuickWindow;
class USB_StmFlasher;

// The demo's scripted pass: walks the tool's window through the whole road
// the way a user would, pressing the real buttons found by their object
// names, and saves a screenshot of every face on the way. The device is
// powered on only after the first screenshot, so that one shows the window
// without a device; at the end it is powered on again with its port held by
// another program, for the face that says so.
class DemoScript : public QObject
{
    Q_OBJECT

public:
    // The whole pass must be over by then, or it fails.
    static constexpr std::chrono::milliseconds deadline{90000};
    static constexpr std::chrono::milliseconds pollInterval{50};
    // Longer than the buttons' 600 ms colour animation.
    static constexpr std::chrono::milliseconds settleTime{800};
    // The flashing face is taken at the first progress report at or above it.
    static constexpr unsigned int flashingShotProgress = 45;


    DemoScript(QQuickWindow* window, KorvoEmulator* emulator, const QString& screenshotDir,
               QObject* parent = nullptr);

    void start();
    // The firmware server the pass stops to show an unavailable catalogue.
    void setFirmwareServer(LocalFirmwareServer* server) { firmwareServer = server; }

signals:
    void finished(bool ok, const QString& message);

private:
    void addUpdateRoad();
    void addSignatures();
    void addPickNewest();
    void addPortInUse();
    void addOffline();

    struct Step
    {
        QString what;
        std::function<bool()> ready; // polled until true
        std::function<void()> act; // then run once
    };

    void waitFor(const QString& what, std::function<bool()> ready);
    void then(const QString& what, std::function<void()> act);
    void pause(std::chrono::milliseconds time);
    void poll();
    void fail(const QString& why);

    QQuickItem* item(const char* objectName) const;
    USB_StmFlasher* link() const;
    int status() const;
    QObject* openDialog() const;
    QQuickItem* comboEntry(int index) const;
    void click(QQuickItem* target);
    void screenshot(const QString& fileName);
    void onProgress(uint progress);
    void onDownload(qint64 received, qint64 total);

    QQuickWindow* window;
    KorvoEmulator* emulator;
    LocalFirmwareServer* firmwareServer = nullptr;
    QString screenshotDir;
    QList<Step> steps;
    int current = 0;
    QTimer pollTimer;
    QElapsedTimer clock;
    QElapsedTimer pauseClock;
    bool flashingShotTaken = false;
    // How the demo's run ended.
    std::optional<DFU_client::FlashResult> runResult;
    bool downloadShotTaken = false;
    bool done = false;
    QString chosenImage;
    QString newFirmwareVersion;
    // The catalogue unavailable with nothing stored: an empty cache stands in
    // for the demo's own (storedCacheFolder) until the boot loader is asked for.
    QTemporaryDir emptyCacheDir;
    QString storedCacheFolder;
    PortHolder* portHolder = nullptr;
};

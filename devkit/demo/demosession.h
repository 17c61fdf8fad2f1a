#pragma once

#include <QObject>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class DemoScript;
class KorvoEmulator;
class LocalFirmwareServer;
class QQmlApplicationEngine;

// What the demo was asked to do.
struct DemoOptions
{
    // Drive the window through the whole road by itself, take screenshots
    // and quit, instead of leaving the window to the user.
    bool scripted = false;
    QString screenshotDir;
    // Serve this folder tree instead of the sample firmware.
    QString firmwareDir;
};

// Everything the demo adds around the tool's own window: an emulated Korvo 7
// in its application firmware (version 01.05), the local HTTPS firmware
// server over the sample firmware tree, and the tool's firmware address and
// trusted CA pointed at that server. In a scripted run it also drives the
// window. Outlives the QML engine, so the device is still there while the
// window's link closes its port.
class DemoSession : public QObject
{
    Q_OBJECT

public:
    explicit DemoSession(const DemoOptions& options, QObject* parent = nullptr);
    ~DemoSession() override;

    // Writes the sample tree if needed, starts the server and points the
    // tool at it; starts the device unless a scripted run starts it after
    // its first screenshot. False (see errorString()) when anything fails.
    bool start();
    QString errorString() const;

    // Called once the main window is loaded.
    void windowLoaded(QQmlApplicationEngine& engine);

    // 0 unless a scripted run failed.
    int exitCode() const { return scriptExitCode; }

private:
    DemoOptions options;
    QTemporaryDir sampleDir;
    QTemporaryDir cacheDir; // the firmware cache of the demo's window
    std::unique_ptr<LocalFirmwareServer> server;
    std::unique_ptr<KorvoEmulator> emulator;
    DemoScript* script = nullptr;
    QString lastError;
    int scriptExitCode = 0;
};

#include "demoscript.h"

#include "debugline.h"
#include "firmwarecache.h"
#include "korvoemulator.h"
#include "localfirmwareserver.h"
#include "portholder.h"
#include "usb_stmflasher.h"

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QMetaObject>
#include <QMouseEvent>
#include <QQuickItem>
#include <QQuickWindow>
#include <QVariant>


DemoScript::DemoScript(QQuickWindow* demoWindow, KorvoEmulator* demoEmulator,
                       const QString& shotDir, QObject* parent)
    : QObject(parent), window(demoWindow), emulator(demoEmulator), screenshotDir(shotDir),
      portHolder(new PortHolder(this))
{
    pollTimer.setInterval(pollInterval);
    connect(&pollTimer, &QTimer::timeout, this, &DemoScript::poll);

    addUpdateRoad();
    addSignatures();
    addPortInUse();
    addOffline();
}

// The window without a device, then the whole update road through the
// buttons, the message, and the device back with its new firmware.
void DemoScript::addUpdateRoad()
{
    waitFor(QStringLiteral("the window on screen"), [this] {
        return window->isExposed() && link() != nullptr && item("homeForm") != nullptr;
    });
    pause(settleTime);
    then(QStringLiteral("screenshot without a device, then power the device on"), [this] {
        screenshot(QStringLiteral("1-no-device.png"));
        if (!emulator->start())
            fail(QStringLiteral("the emulated device did not start: ") + emulator->errorString());
    });

    waitFor(QStringLiteral("the device in its application firmware with its DfuInfo"), [this] {
        QQuickItem* update = item("updateButton");
        return status() == 1 && update && update->isVisible() && update->isEnabled();
    });
    pause(settleTime);
    then(QStringLiteral("screenshot of the application firmware, press the update button"), [this] {
        screenshot(QStringLiteral("2-application-firmware.png"));
        click(item("updateButton"));
    });

    addPickNewest();
    waitFor(QStringLiteral("the newest image chosen"), [this] {
        QQuickItem* flash = item("flashButton");
        return item("firmwareComboBox")->property("currentIndex").toInt() == 0 && flash
            && flash->isEnabled();
    });
    pause(settleTime);
    then(QStringLiteral("screenshot of the boot loader, press the flash button"), [this] {
        chosenImage = item("firmwareComboBox")->property("currentText").toString();
        screenshot(QStringLiteral("3-boot-loader.png"));
        screenshot(QStringLiteral("11-local-file.png")); // the same face: its "Из файла…" button
        connect(link(), &USB_StmFlasher::downloadProgress, this, &DemoScript::onDownload);
        connect(link(), &USB_StmFlasher::flashing_progress_changed, this, &DemoScript::onProgress);
        connect(link(), &USB_StmFlasher::runFinished, this,
                [this](DFU_client::FlashResult result) { runResult = result; });
        click(item("flashButton"));
    });

    waitFor(QStringLiteral("the end of the flashing run"),
            [this] { return openDialog() != nullptr; });
    pause(settleTime);
    then(QStringLiteral("screenshot of the final message, press OK"), [this] {
        QObject* dialog = openDialog();
        const QString message = dialog->property("dialogText").toString();
        screenshot(QStringLiteral("5-success-dialog.png"));
        if (runResult != DFU_client::FlashSucceeded) {
            fail(QStringLiteral("the run ended with: ") + message);
            return;
        }
        if (!flashingShotTaken)
            fail(QStringLiteral("no progress report reached %1 %").arg(flashingShotProgress));
        click(dialog->findChild<QQuickItem*>(QStringLiteral("acceptButton")));
    });

    waitFor(QStringLiteral("the device back in its application firmware"), [this] {
        return openDialog() == nullptr && status() == 1
            && link()->firmwareVersionText() != QLatin1String("01.05");
    });
    pause(settleTime);
    then(QStringLiteral("screenshot of the new firmware, power the device off"), [this] {
        screenshot(QStringLiteral("6-new-firmware.png"));
        newFirmwareVersion = link()->firmwareVersionText();
        emulator->stop();
    });
}

// In the boot loader: the list opened and its newest image picked.
void DemoScript::addPickNewest()
{
    waitFor(QStringLiteral("the boot loader with the firmware list"), [this] {
        QQuickItem* combo = item("firmwareComboBox");
        return status() == 2 && combo && combo->isVisible() && combo->property("count").toInt() > 0;
    });
    then(QStringLiteral("open the firmware list"), [this] { click(item("firmwareComboBox")); });
    waitFor(QStringLiteral("the list open"), [this] { return comboEntry(0) != nullptr; });
    pause(settleTime);
    then(QStringLiteral("pick the newest image"), [this] { click(comboEntry(0)); });
}

// Only signed images: an older signed version is asked about, a signature
// by a key the tool does not trust is refused before anything is sent.
void DemoScript::addSignatures()
{
    waitFor(QStringLiteral("no device"), [this] { return status() == 0; });
    then(QStringLiteral("the server signs an older version, power the device on"), [this] {
        LocalFirmwareServerFaults faults = firmwareServer->faults();
        faults.signedVersion = QStringLiteral("01.03");
        firmwareServer->setFaults(faults);
        if (!emulator->start())
            fail(QStringLiteral("the emulated device did not start: ") + emulator->errorString());
    });
    waitFor(QStringLiteral("the device in its new firmware"), [this] {
        QQuickItem* update = item("updateButton");
        return status() == 1 && update && update->isVisible() && update->isEnabled();
    });
    then(QStringLiteral("press the update button"), [this] { click(item("updateButton")); });
    addPickNewest();
    waitFor(QStringLiteral("the older signed version shown"),
            [this] { return item("versionLine") && item("versionLine")->isVisible(); });
    pause(settleTime);
    then(QStringLiteral("press the flash button"), [this] { click(item("flashButton")); });
    waitFor(QStringLiteral("the downgrade question"), [this] {
        QObject* question = window->findChild<QObject*>(QStringLiteral("downgradeDialog"));
        return question && question->property("visible").toBool();
    });
    pause(settleTime);
    then(QStringLiteral("screenshot of the downgrade question, answer No"), [this] {
        screenshot(QStringLiteral("12-downgrade-question.png"));
        QObject* question = window->findChild<QObject*>(QStringLiteral("downgradeDialog"));
        click(question->findChild<QQuickItem*>(QStringLiteral("cancelButton")));
        LocalFirmwareServerFaults faults = firmwareServer->faults();
        faults.signedVersion.clear();
        faults.signature = LocalFirmwareServerFaults::Signature::OtherKey;
        firmwareServer->setFaults(faults);
        link()->checkOffer(link()->offerSource());
    });
    waitFor(QStringLiteral("the refused signature shown"), [this] {
        return window->findChild<QObject*>(QStringLiteral("downgradeDialog")) == nullptr
            && link()->offerChecked()
            && link()->offerFailure() == FirmwareSignature::SignatureUnknownKey;
    });
    pause(settleTime);
    then(QStringLiteral("press the flash button"), [this] { click(item("flashButton")); });
    waitFor(QStringLiteral("the run refused"), [this] { return openDialog() != nullptr; });
    pause(settleTime);
    then(QStringLiteral("screenshot of the refused signature, press OK, power the device off"),
         [this] {
             screenshot(QStringLiteral("13-signature-refused.png"));
             if (runResult != DFU_client::FlashSignatureRefused)
                 fail(QStringLiteral("the unsigned image was not refused"));
             click(openDialog()->findChild<QQuickItem*>(QStringLiteral("acceptButton")));
             LocalFirmwareServerFaults faults = firmwareServer->faults();
             faults.signature = LocalFirmwareServerFaults::Signature::Valid;
             firmwareServer->setFaults(faults);
             emulator->stop();
         });
}

// The device's port taken by another program before the tool can open it.
void DemoScript::addPortInUse()
{
    waitFor(QStringLiteral("the window without a device"),
            [this] { return status() == 0 && !link()->port()->isOpen(); });
    then(QStringLiteral("power the device on, its port held by another program"), [this] {
        // Held at once: the tool's next port check comes from this thread.
        if (!emulator->start())
            fail(QStringLiteral("the emulated device did not start: ") + emulator->errorString());
        else if (!portHolder->hold(emulator->systemLocation()))
            fail(QStringLiteral("cannot hold the device's port: ") + portHolder->errorString());
    });
    waitFor(QStringLiteral("the port shown in use"), [this] {
        QQuickItem* problem = item("portProblemLabel");
        return problem && problem->isVisible();
    });
    pause(settleTime);
    then(QStringLiteral("screenshot of the port in use, let go of the port"), [this] {
        screenshot(QStringLiteral("7-port-in-use.png"));
        portHolder->release();
    });
    waitFor(QStringLiteral("the device connected once its port is free"),
            [this] { return status() == 1; });
}

// The firmware server gone: the catalogue unavailable, then the stored list.
void DemoScript::addOffline()
{
    then(QStringLiteral("stop the firmware server, unplug the device"), [this] {
        if (firmwareServer)
            firmwareServer->stop();
        // First as on a computer that never reached the server: an empty
        // cache, so nothing can stand in for the catalogue.
        storedCacheFolder = FirmwareCache::defaultFolder();
        FirmwareCache::setDefaultFolder(emptyCacheDir.path());
        emulator->stop();
    });
    waitFor(QStringLiteral("no device"), [this] { return status() == 0; });
    then(QStringLiteral("plug the device in again"), [this] {
        if (!emulator->start())
            fail(QStringLiteral("the emulated device did not start: ") + emulator->errorString());
    });
    waitFor(QStringLiteral("the application firmware without a catalogue"), [this] {
        QQuickItem* line = item("catalogueErrorLabel");
        return status() == 1 && line && line->isVisible()
            && link()->catalogueState() == DFU_client::CatalogueFailed;
    });
    pause(settleTime);
    // Then with the demo's own cache again, which holds the catalogue of
    // the first connection: in the boot loader it stands in for the server.
    then(QStringLiteral("screenshot of the unavailable catalogue, press the update button"),
         [this] {
             screenshot(QStringLiteral("8-catalogue-unavailable.png"));
             FirmwareCache::setDefaultFolder(storedCacheFolder);
             click(item("updateButton"));
         });

    waitFor(QStringLiteral("the boot loader with the stored list"), [this] {
        QQuickItem* combo = item("firmwareComboBox");
        QQuickItem* line = item("offlineLabel");
        return status() == 2 && combo && combo->property("count").toInt() > 0 && line
            && line->isVisible();
    });
    then(QStringLiteral("open the stored list"), [this] { click(item("firmwareComboBox")); });
    waitFor(QStringLiteral("the stored list open"), [this] { return comboEntry(0) != nullptr; });
    pause(settleTime);
    // The image flashed before is stored: its entry carries the mark.
    then(QStringLiteral("pick the image flashed before"), [this] { click(comboEntry(0)); });
    waitFor(QStringLiteral("the stored image chosen"),
            [this] { return item("firmwareComboBox")->property("currentIndex").toInt() == 0; });
    pause(settleTime);
    then(QStringLiteral("screenshot of the stored list"), [this] {
        screenshot(QStringLiteral("9-offline-list.png"));
        done = true;
        pollTimer.stop();
        emit finished(true,
                      QStringLiteral("flashed %1; the device now runs firmware %2")
                          .arg(chosenImage, newFirmwareVersion));
    });
}

void DemoScript::start()
{
    QDir().mkpath(screenshotDir);
    clock.start();
    pollTimer.start();
}

void DemoScript::waitFor(const QString& what, std::function<bool()> ready)
{
    steps.append({what, std::move(ready), {}});
}

void DemoScript::then(const QString& what, std::function<void()> act)
{
    steps.append({what, {}, std::move(act)});
}

void DemoScript::pause(std::chrono::milliseconds time)
{
    steps.append({QStringLiteral("pause"),
                  [this, time] {
                      if (!pauseClock.isValid())
                          pauseClock.start();
                      if (pauseClock.elapsed() < time.count())
                          return false;
                      pauseClock.invalidate();
                      return true;
                  },
                  {}});
}

void DemoScript::poll()
{
    if (done)
        return;
    if (clock.elapsed() > deadline.count()) {
        fail(QStringLiteral("timed out waiting for ") + steps.value(current).what);
        return;
    }
    // Runs every step that is ready now, stopping at the first that is not.
    while (!done && current < steps.size()) {
        const Step& step = steps.at(current);
        if (step.ready && !step.ready())
            return;
        if (step.act) {
            debugLine() << "demo:" << step.what;
            step.act();
        }
        ++current;
    }
}

void DemoScript::fail(const QString& why)
{
    if (done)
        return;
    done = true;
    pollTimer.stop();
    emit finished(false, why);
}

QQuickItem* DemoScript::item(const char* objectName) const
{
    return window->findChild<QQuickItem*>(QLatin1String(objectName));
}

USB_StmFlasher* DemoScript::link() const
{
    return window->findChild<USB_StmFlasher*>(QStringLiteral("usb_stmFlasher"));
}

int DemoScript::status() const
{
    USB_StmFlasher* device = link();
    return device ? int(device->getDevConnStatus()) : -1;
}

QObject* DemoScript::openDialog() const
{
    const QList<QObject*> dialogs = window->findChildren<QObject*>(QStringLiteral("messageDialog"));
    for (QObject* dialog : dialogs)
        if (dialog->property("visible").toBool())
            return dialog;
    return nullptr;
}

QQuickItem* DemoScript::comboEntry(int index) const
{
    QQuickItem* combo = item("firmwareComboBox");
    if (combo == nullptr)
        return nullptr;
    QObject* popup = combo->property("popup").value<QObject*>();
    if (popup == nullptr || !popup->property("opened").toBool())
        return nullptr;
    QQuickItem* list = popup->property("contentItem").value<QQuickItem*>();
    QQuickItem* entry = nullptr;
    if (list)
        QMetaObject::invokeMethod(list, "itemAtIndex", Q_RETURN_ARG(QQuickItem*, entry),
                                  Q_ARG(int, index));
    return entry;
}

void DemoScript::click(QQuickItem* target)
{
    if (target == nullptr) {
        fail(QStringLiteral("nothing to click"));
        return;
    }
    const QPointF local = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
    const QPointF global = window->mapToGlobal(local.toPoint());
    QMouseEvent press(QEvent::MouseButtonPress, local, local, global, Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, local, global, Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &release);
}

void DemoScript::screenshot(const QString& fileName)
{
    const QString path = QDir(screenshotDir).filePath(fileName);
    if (!window->grabWindow().save(path))
        fail(QStringLiteral("cannot write ") + path);
    else
        debugLine() << "demo: screenshot" << path;
}

void DemoScript::onDownload(qint64 received, qint64 total)
{
    if (!downloadShotTaken && total > 0 && received * 3 >= total && received < total) {
        downloadShotTaken = true;
        screenshot(QStringLiteral("10-downloading.png"));
    }
}

void DemoScript::onProgress(uint progress)
{
    // Taken at once: with a fast device the run may be over before the next
    // poll.
    if (!flashingShotTaken && progress >= flashingShotProgress && progress < 100) {
        flashingShotTaken = true;
        screenshot(QStringLiteral("4-flashing.png"));
    }
}

#include "firmwareserver.h"
#include "flasherapp.h"
#include "korvoemulator.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"
#include "usb_stmflasher.h"

#include <QDir>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <memory>

namespace {

using namespace std::chrono_literals;

// Finding the device, a reboot into the boot loader, and a whole run of a
// small image each take well under this with the emulator's default pace.
constexpr std::chrono::milliseconds stepTimeout = 15s;

const QString deviceName = QStringLiteral("Korvo 7");
const QString successMessage = QStringLiteral("Обновление успешно установлено!");

struct CatalogueImage
{
    const char* fileName;
    const char* version;
    int transmittedSize;
};

// Listed on purpose out of order; the newest sorts first in the window. A
// few packets each, the last one short.
const CatalogueImage catalogueImages[] = {
    {"korvo7_v0104.bin", "0104", 108 + 4096 * 3 + 17},
    {"korvo7_v0106.bin", "0106", 108 + 4096 * 5 + 1001},
    {"korvo7_v0105.bin", "0105", 108 + 4096 * 2},
};
const char* const newestFile = "korvo7_v0106.bin";

} // namespace

// The tool's real window in a real display, against the emulated device and
// the local HTTPS firmware server: a user's whole road through the buttons.
class EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void flashingTheNewestImage_writesItAndReportsSuccess();
    void aDeviceErrorMidRun_showsTheFailureAndLeavesTheWindowUsable();

private:
    QQuickItem* item(const char* objectName) const;
    QList<QObject*> openDialogs() const;
    QQuickItem* comboEntry(int index) const;
    void click(QQuickItem* target);
    void goToBootLoaderAndPickTheNewestImage();
    void answerTheRunsMessage(QString* message);

    QTemporaryDir workDir;
    QByteArray newestImage;
    std::unique_ptr<LocalFirmwareServer> server;
    std::unique_ptr<KorvoEmulator> emulator;
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickWindow* window = nullptr;
    USB_StmFlasher* link = nullptr;
};

void EndToEnd::initTestCase()
{
    QVERIFY(workDir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       workDir.filePath(QStringLiteral("settings")));
    FlasherApp::setApplicationIdentity();
    FlasherApp::useCLocale();

    const QString folder = workDir.filePath(QStringLiteral("firmware/") + deviceName + "/release");
    QVERIFY(QDir().mkpath(folder));
    quint32 seed = 7;
    for (const CatalogueImage& image : catalogueImages) {
        const QByteArray file
            = KorvoFirmwareImage::makeFile(image.version, image.transmittedSize, seed++);
        QFile out(QDir(folder).filePath(QLatin1String(image.fileName)));
        QVERIFY(out.open(QIODevice::WriteOnly));
        QCOMPARE(out.write(file), qint64(file.size()));
        if (qstrcmp(image.fileName, newestFile) == 0)
            newestImage = KorvoFirmwareImage::transmittedPart(file);
    }

    server = std::make_unique<LocalFirmwareServer>(workDir.filePath(QStringLiteral("firmware")));
    QVERIFY2(server->start(), qPrintable(server->errorString()));
    FirmwareServer::setBaseUrl(server->baseUrl());
    QVERIFY(FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()));

    KorvoEmulatorSettings settings;
    settings.deviceName = deviceName;
    settings.firmwareVersion = QByteArrayLiteral("0105");
    emulator = std::make_unique<KorvoEmulator>(settings);
    QVERIFY2(emulator->start(), qPrintable(emulator->errorString()));

    engine = std::make_unique<QQmlApplicationEngine>();
    FlasherApp::registerQmlTypes();
    engine->load(FlasherApp::mainWindowUrl());
    QCOMPARE(engine->rootObjects().size(), 1);
    window = qobject_cast<QQuickWindow*>(engine->rootObjects().constFirst());
    QVERIFY(window);
    QVERIFY(QTest::qWaitForWindowExposed(window));
    link = window->findChild<USB_StmFlasher*>(QStringLiteral("usb_stmFlasher"));
    QVERIFY(link);
}

void EndToEnd::cleanupTestCase()
{
    engine.reset();
    if (emulator)
        emulator->stop();
    if (server)
        server->stop();
}

QQuickItem* EndToEnd::item(const char* objectName) const
{
    return window->findChild<QQuickItem*>(QLatin1String(objectName));
}

QList<QObject*> EndToEnd::openDialogs() const
{
    QList<QObject*> open;
    const QList<QObject*> dialogs = window->findChildren<QObject*>(QStringLiteral("messageDialog"));
    for (QObject* dialog : dialogs)
        if (dialog->property("visible").toBool())
            open.append(dialog);
    return open;
}

QQuickItem* EndToEnd::comboEntry(int index) const
{
    QObject* popup = item("firmwareComboBox")->property("popup").value<QObject*>();
    if (popup == nullptr || !popup->property("opened").toBool())
        return nullptr;
    QQuickItem* list = popup->property("contentItem").value<QQuickItem*>();
    QQuickItem* entry = nullptr;
    if (list)
        QMetaObject::invokeMethod(list, "itemAtIndex", Q_RETURN_ARG(QQuickItem*, entry),
                                  Q_ARG(int, index));
    return entry;
}

void EndToEnd::click(QQuickItem* target)
{
    QVERIFY(target);
    QVERIFY(target->isVisible());
    QVERIFY(target->isEnabled());
    const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
}

void EndToEnd::goToBootLoaderAndPickTheNewestImage()
{
    const int timeout = int(stepTimeout.count());
    QQuickItem* update = item("updateButton");
    QVERIFY(update);
    QTRY_VERIFY_WITH_TIMEOUT(
        link->getDevConnStatus() == 1 && update->isVisible() && update->isEnabled(), timeout);
    click(update);

    QQuickItem* combo = item("firmwareComboBox");
    QVERIFY(combo);
    QTRY_VERIFY_WITH_TIMEOUT(link->getDevConnStatus() == 2 && combo->isVisible()
                                 && combo->property("count").toInt() == 3,
                             timeout);
    click(combo);
    QTRY_VERIFY_WITH_TIMEOUT(comboEntry(0) != nullptr, timeout);
    click(comboEntry(0));
    QTRY_COMPARE_WITH_TIMEOUT(combo->property("currentText").toString(), QLatin1String(newestFile),
                              timeout);
}

// Waits for the one dialog that ends a run, reads it and presses its OK.
void EndToEnd::answerTheRunsMessage(QString* message)
{
    QTRY_VERIFY_WITH_TIMEOUT(openDialogs().size() == 1, int(stepTimeout.count()));
    QObject* dialog = openDialogs().constFirst();
    *message = dialog->property("dialogText").toString();
    QCOMPARE(dialog->property("dialogTitle").toString(), QStringLiteral("Внимание"));
    click(dialog->findChild<QQuickItem*>(QStringLiteral("acceptButton")));
    QTRY_VERIFY(openDialogs().isEmpty());
}

void EndToEnd::flashingTheNewestImage_writesItAndReportsSuccess()
{
    goToBootLoaderAndPickTheNewestImage();
    if (QTest::currentTestFailed())
        return;
    QSignalSpy progress(link, &USB_StmFlasher::flashing_progress_changed);
    QVERIFY(progress.isValid());
    click(item("flashButton"));

    QString message;
    answerTheRunsMessage(&message);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(message, successMessage);
    QCOMPARE(emulator->receivedImage(), newestImage);
    QVERIFY(progress.size() > 1);

    QTRY_VERIFY_WITH_TIMEOUT(link->getDevConnStatus() == 1
                                 && link->property("currentFirmwareVersion").toString()
                                     == QLatin1String("01.06"),
                             int(stepTimeout.count()));
    QVERIFY(item("informationLabel")->property("text").toString().contains("01.06"));
}

void EndToEnd::aDeviceErrorMidRun_showsTheFailureAndLeavesTheWindowUsable()
{
    KorvoEmulatorSettings settings = emulator->settings();
    settings.errorAtPacket = 2;
    settings.errorCode = 0; // Error_BadFirmware
    emulator->setSettings(settings);
    const int completedBefore = emulator->completedRuns();

    goToBootLoaderAndPickTheNewestImage();
    if (QTest::currentTestFailed())
        return;
    click(item("flashButton"));

    QString message;
    answerTheRunsMessage(&message);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(!message.isEmpty());
    QVERIFY2(message != successMessage, qPrintable(message));
    QCOMPARE(emulator->completedRuns(), completedBefore);

    // Still in its boot loader, the device is offered again for flashing,
    // with the same image chosen; once the fault is gone a second run works.
    QQuickItem* flash = item("flashButton");
    QTRY_VERIFY_WITH_TIMEOUT(link->getDevConnStatus() == 2 && flash->isVisible()
                                 && flash->isEnabled(),
                             int(stepTimeout.count()));
    QVERIFY(!item("progressBar")->isVisible());

    settings.errorAtPacket.reset();
    emulator->setSettings(settings);
    click(flash);
    answerTheRunsMessage(&message);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(message, successMessage);
    QCOMPARE(emulator->receivedImage(), newestImage);
    QCOMPARE(emulator->completedRuns(), completedBefore + 1);
}

QTEST_MAIN(EndToEnd)

#include "tst_endtoend.moc"

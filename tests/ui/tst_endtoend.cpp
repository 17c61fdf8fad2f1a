#include "firmwarecache.h"
#include "firmwareserver.h"
#include "firmwaresignature.h"
#include "flasherapp.h"
#include "korvoemulator.h"
#include "korvoenums.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"
#include "runrecord.h"
#include "runrecordwriter.h"
#include "usb_stmflasher.h"

#include <QDir>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr int stepTimeoutMs = 15000;
const QString successMessage = QStringLiteral("Обновление успешно установлено!");

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile out(path);
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size();
}

} // namespace

class EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, workDir.filePath("settings"));
        FlasherApp::setApplicationIdentity();
        FlasherApp::useCLocale();
        FirmwareCache::setDefaultFolder(workDir.filePath("cache"));
        const QDir folder(workDir.filePath("firmware/Korvo 7/release"));
        QVERIFY(folder.mkpath("."));
        // A few packets, the last one short.
        const QByteArray file = KorvoFirmwareImage::makeFile("0106", 108 + 4096 * 3 + 17, 7);
        QVERIFY(writeFile(folder.filePath("korvo7_v0106.bin"), file));
        catalogueImage = KorvoFirmwareImage::transmittedPart(file);
        server = std::make_unique<LocalFirmwareServer>(workDir.filePath("firmware"));
        QVERIFY2(server->start(), qPrintable(server->errorString()));
        FirmwareServer::setBaseUrl(server->baseUrl());
        QVERIFY(FirmwareServer::addTrustedCaFile(LocalFirmwareServer::caFile()));
        emulator = std::make_unique<KorvoEmulator>(); // "Korvo 7", application firmware 01.05
        QVERIFY2(emulator->start(), qPrintable(emulator->errorString()));

        RunRecordWriter::recordEveryLink(QStringLiteral("window")); // as the window's start-up does
        engine = std::make_unique<QQmlApplicationEngine>();
        FlasherApp::registerQmlTypes();
        engine->load(FlasherApp::mainWindowUrl());
        QCOMPARE(engine->rootObjects().size(), 1);
        window = qobject_cast<QQuickWindow*>(engine->rootObjects().constFirst());
        QVERIFY(window && QTest::qWaitForWindowExposed(window));
        link = window->findChild<USB_StmFlasher*>(QStringLiteral("usb_stmFlasher"));
        QVERIFY(link);
        link->findChild<RunRecordWriter*>()->setPath(workDir.filePath("runs.jsonl"));
    }

    void cleanupTestCase()
    {
        engine.reset();
        RunRecordWriter::recordEveryLink(QString());
    }

    void catalogueImage_failsOnADeviceErrorThenFlashesOnRetry()
    {
        KorvoEmulatorSettings settings = emulator->settings();
        settings.errorAtPacket = 2;
        settings.errorCode = korvoEnums::Error_BadFirmware;
        emulator->setSettings(settings);
        goToBootLoader();
        pickTheImage();
        if (QTest::currentTestFailed())
            return;
        click(item("flashButton"));
        QCOMPARE(answerTheRunsMessage(), QStringLiteral("Ошибка обновления: устройство сообщило об ошибке Error_BadFirmware"));

        // Still in its boot loader with the same image chosen; without the fault a second run works.
        QTRY_VERIFY_WITH_TIMEOUT(link->getDevConnStatus() == 2 && item("flashButton")->isEnabled(), stepTimeoutMs);
        settings.errorAtPacket.reset();
        emulator->setSettings(settings);
        click(item("flashButton"));
        QCOMPARE(answerTheRunsMessage(), successMessage);
        QCOMPARE(emulator->receivedImage(), catalogueImage);

        QTRY_COMPARE_WITH_TIMEOUT(runs(10).size(), 2, stepTimeoutMs);
        const QList<RunRecord> both = runs(10);
        for (const RunRecord& run : both)
            QCOMPARE(QStringList({run.tool, run.before, run.serial}), QStringList({"window", "01.05", settings.serialNumber}));
        QCOMPARE(QStringList({both[0].result, both[1].result, both[1].after}),
                 QStringList({"FlashDeviceError", "FlashSucceeded", "01.06"}));
        QVERIFY(both[0].after.isNull());
    }

    void localFile_isFlashedAndItsFolderRemembered()
    {
        goToBootLoader();
        const QByteArray local = KorvoFirmwareImage::makeFile("0109", 4096 * 2 + 500, 9);
        const QString localPath = workDir.filePath("local/korvo7 local.bin");
        QVERIFY(QDir().mkpath(workDir.filePath("local")) && writeFile(localPath, local));
        QVERIFY(QMetaObject::invokeMethod(window, "flashLocalFile", Q_ARG(QVariant, QUrl::fromLocalFile(localPath))));
        QCOMPARE(answerTheRunsMessage(), successMessage);
        QCOMPARE(emulator->receivedImage(), KorvoFirmwareImage::transmittedPart(local));
        const QUrl folder = QUrl::fromLocalFile(workDir.filePath("local"));
        QTRY_COMPARE_WITH_TIMEOUT(QSettings().value("lastFirmwareFolder").toString(), folder.toString(), stepTimeoutMs);
        goToBootLoader();
        QObject* dialog = window->findChild<QObject*>(QStringLiteral("firmwareFileDialog"));
        QVERIFY(dialog);
        click(item("localFileButton"));
        QTRY_VERIFY_WITH_TIMEOUT(dialog->property("visible").toBool(), stepTimeoutMs);
        QCOMPARE(dialog->property("folder").toUrl(), folder);
        QVERIFY(QMetaObject::invokeMethod(dialog, "reject"));
        QTRY_VERIFY_WITH_TIMEOUT(!dialog->property("visible").toBool(), stepTimeoutMs);
    }

    // A boot loader with a serial of its own resets before its last acknowledgement.
    void resetBeforeTheLastAcknowledgement_saysWhatIsKnown()
    {
        emulator->stop();
        KorvoEmulatorSettings settings = emulator->settings();
        settings.bootLoaderSerialNumber = QStringLiteral("KRV7-BOOT");
        settings.dropAckOfPacket = 3; // the image's last packet
        settings.resetRightAfterLastAnswer = true;
        emulator->setSettings(settings);
        QVERIFY2(emulator->start(), qPrintable(emulator->errorString()));
        goToBootLoader();
        pickTheImage();
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(link->getDevConnSerial(), QStringLiteral("KRV7-BOOT"));
        click(item("flashButton"));
        QCOMPARE(answerTheRunsMessage(), QStringLiteral("Обновление не подтверждено: устройство перезапустилось, не "
                                                        "подтвердив последний пакет, и вернулось в рабочий режим с "
                                                        "версией прошивки 01.06"));
        QCOMPARE(emulator->receivedImage(), catalogueImage);
        const QList<RunRecord> last = runs(1);
        QCOMPARE(last.size(), 1);
        QCOMPARE(QStringList({last[0].result, last[0].serial, last[0].before, last[0].after}),
                 QStringList({"FlashUnconfirmed", settings.serialNumber, "01.05", "01.06"}));
    }

    // With a trusted key: the chosen image's signed version beside the unit's, and an
    // older one flashed only once the user says yes (Enter says no).
    void olderSignedImage_isShownAndFlashedOnlyOnYes()
    {
        KorvoEmulatorSettings settings = emulator->settings(); // the run before cut its last answer
        settings.dropAckOfPacket.reset();
        settings.resetRightAfterLastAnswer = false;
        emulator->setSettings(settings);
        FirmwareSignature::setTrustedKeys({server->signingKey()});
        LocalFirmwareServerFaults faults;
        faults.signedVersion = QStringLiteral("01.03");
        server->setFaults(faults);
        const auto restore = qScopeGuard([this] {
            FirmwareSignature::resetTrustedKeys();
            server->setFaults({});
        });
        goToBootLoader();
        pickTheImage();
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY_WITH_TIMEOUT(item("versionLine")->isVisible(), stepTimeoutMs);
        QCOMPARE(item("versionLine")->property("text").toString(), link->firmwareVersionText() + QString::fromUtf8(" → 01.03"));
        QSignalSpy started(link, &USB_StmFlasher::runStarted);
        QVERIFY(started.isValid());
        const auto question = [this] { return window->findChild<QObject*>(QStringLiteral("downgradeDialog")); };
        click(item("flashButton"));
        QTRY_VERIFY_WITH_TIMEOUT(question() && question()->property("visible").toBool(), stepTimeoutMs);
        QTest::keyClick(window, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(question() == nullptr, stepTimeoutMs);
        QVERIFY(started.isEmpty());
        click(item("flashButton"));
        QTRY_VERIFY_WITH_TIMEOUT(question() && question()->property("visible").toBool(), stepTimeoutMs);
        click(question()->findChild<QQuickItem*>(QStringLiteral("acceptButton")));
        QCOMPARE(answerTheRunsMessage(), successMessage);
        QTRY_COMPARE_WITH_TIMEOUT(runs(1).value(0).result, QStringLiteral("FlashSucceeded"), stepTimeoutMs);
        const RunRecord last = runs(1).first();
        QCOMPARE(QStringList({last.signingKey, last.signedVersion}), QStringList({server->signingKey().idText(), "01.03"}));
        QCOMPARE(last.downgrade, std::optional<bool>(true));
    }

private:
    QQuickItem* item(const char* name) const { return window->findChild<QQuickItem*>(QLatin1String(name)); }
    QList<RunRecord> runs(int count) const { return RunRecord::readLast(count, workDir.filePath("runs.jsonl")); }
    void click(QQuickItem* target)
    {
        QVERIFY(target && target->isVisible() && target->isEnabled());
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }

    // The boot loader's port brings a catalogue request of its own, whose reply refills the list.
    void goToBootLoader()
    {
        QQuickItem* combo = item("firmwareComboBox");
        QTRY_VERIFY_WITH_TIMEOUT(link->getDevConnStatus() == 1 && item("updateButton")->isEnabled()
                                     && combo->property("count").toInt() == 1, stepTimeoutMs);
        QSignalSpy catalogues(link, &USB_StmFlasher::availableFirmwaresChanged);
        QVERIFY(catalogues.isValid());
        click(item("updateButton"));
        QTRY_VERIFY_WITH_TIMEOUT(link->getDevConnStatus() == 2 && !catalogues.isEmpty() && combo->isVisible()
                                     && combo->property("count").toInt() == 1, stepTimeoutMs);
    }

    void pickTheImage()
    {
        QQuickItem* combo = item("firmwareComboBox");
        click(combo);
        const auto firstEntry = [combo]() -> QQuickItem* {
            auto* popup = combo->property("popup").value<QObject*>();
            auto* list = popup ? popup->property("contentItem").value<QQuickItem*>() : nullptr;
            QQuickItem* entry = nullptr;
            if (list && popup->property("opened").toBool())
                QMetaObject::invokeMethod(list, "itemAtIndex", Q_RETURN_ARG(QQuickItem*, entry), Q_ARG(int, 0));
            return entry;
        };
        QTRY_VERIFY_WITH_TIMEOUT(firstEntry() != nullptr, stepTimeoutMs);
        click(firstEntry());
        QTRY_COMPARE_WITH_TIMEOUT(combo->property("currentText").toString(), QStringLiteral("korvo7_v0106.bin"), stepTimeoutMs);
    }

    QString answerTheRunsMessage()
    {
        const auto open = [this] {
            const QList<QObject*> all = window->findChildren<QObject*>(QStringLiteral("messageDialog"));
            return std::count_if(all.begin(), all.end(), [](QObject* d) { return d->property("visible").toBool(); });
        };
        QObject* dialog = nullptr;
        if (!QTest::qWaitFor([&] { return open() == 1; }, stepTimeoutMs)
            || !(dialog = window->property("lastMessageDialog").value<QObject*>()))
            return QStringLiteral("no dialog");
        const QString text = dialog->property("dialogText").toString();
        click(dialog->findChild<QQuickItem*>(QStringLiteral("acceptButton")));
        return QTest::qWaitFor([&] { return open() == 0; }, stepTimeoutMs) ? text : QStringLiteral("stays open");
    }

    QTemporaryDir workDir;
    QByteArray catalogueImage;
    std::unique_ptr<LocalFirmwareServer> server;
    std::unique_ptr<KorvoEmulator> emulator;
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickWindow* window = nullptr;
    USB_StmFlasher* link = nullptr;
};

QTEST_MAIN(EndToEnd)
#include "tst_endtoend.moc"

import QtQuick 2.7
import QtQuick.Controls 2.0
import QtQuick.Window 2.2
import Qt.labs.settings 1.1
import Qt.labs.platform 1.1 as Platform
import KORVO 1.0
import USB_StmFlasher_qml_module 1.0

// The tool's window: the device link, the page bound to it, the firmware list
// refresh, the message dialogs, and the remembered window position.
ApplicationWindow {
    id: mainWin
    objectName: "mainWindow"

    width: 800
    height: 250
    minimumWidth: width
    maximumWidth: width
    minimumHeight: height
    maximumHeight: height
    visible: true
    title: qsTr("Flashing tool")

    // Fills the firmware picker from the link's list for the connected device.
    function refreshFirmwareList() {
        console.log("onAvailableFirmwaresChanged1")
        usb_stmFlasher.firmwares = usb_stmFlasher.getWebFirmwaresList()
        if (typeof usb_stmFlasher.firmwares === "undefined") {
            console.log("typeof firmwares", typeof usb_stmFlasher.firmwares)
            return
        }
        console.log("onAvailableFirmwaresChanged2", usb_stmFlasher.firmwares,
                    usb_stmFlasher.firmwares.length)
        showFirmwares(usb_stmFlasher.firmwares)
    }

    // Newest first, in the link's one order for the window and the command line.
    function showFirmwares(firmwares) {
        var model = homeForm.firmwareModel
        model.clear()
        var sorted = usb_stmFlasher.newestFirst(firmwares)
        for (var j = 0; j < sorted.length; ++j) {
            // Offline, an image at hand is marked (the link says "stored").
            model.append({
                             "text": String(sorted[j].fileName)
                                     + (sorted[j].stored === true ? qsTr(" (сохранена)") : ""),
                             "url": String(sorted[j].fileUrl)
                         })
            console.log("added", sorted[j].fileName)
        }
    }

    // The dialog of the latest message; null once it is destroyed.
    property QtObject lastMessageDialog: null

    // Whether the device came back after a successful run: added to the
    // run's dialog while it is open, else shown on the page.
    function showReturnNote(note) {
        if (lastMessageDialog && lastMessageDialog.visible)
            lastMessageDialog.dialogNote = note
        else
            homeForm.returnNote = note
    }

    // After a failed run the run's dialog also offers to open the folder of
    // the log files, for the technician to send to support. The run's typed
    // result decides; it follows the run's message at once, so the latest
    // dialog is that run's.
    function offerLogFolder(result) {
        if (result === DFU_client.FlashSucceeded || result === DFU_client.FlashInterrupted)
            return
        var dialog = lastMessageDialog
        if (!dialog || dialog.isCancelBtnVisible)
            return
        dialog.cancelBtnText = qsTr("Открыть журнал")
        dialog.isCancelBtnVisible = true
        dialog.onCanceled.connect(function () {
            Qt.openUrlExternally(usb_stmFlasher.logsFolderUrl)
        })
    }

    // Every message opens its own dialog, over any that is still open; the
    // end of a run that follows it puts the window's words in its place.
    function showMessage(messageStr) {
        var component = Qt.createComponent("qrc:/qml/components/MessageDialog.qml")
        if (component.status !== Component.Ready) {
            console.log("MessageDialog", component.errorString())
            return
        }
        lastMessageDialog = component.createObject(mainWin, {
                                   "objectName": "messageDialog",
                                   "dialogTitle": qsTr("Внимание"),
                                   "dialogText": messageStr,
                                   "isCancelBtnVisible": false,
                                   "isTextInput": false
                               })
    }

    // Flashes a local image chosen in the file dialog (a file URL) and
    // remembers its folder for the next time.
    function flashLocalFile(fileUrl) {
        var text = String(fileUrl)
        windowSettings.lastFirmwareFolder = text.substring(0, text.lastIndexOf("/"))
        // A local file's signature is checked at once.
        usb_stmFlasher.checkOffer(text)
        flashConfirmed(text, function () {
            usb_stmFlasher.flashFromFile(text)
        })
    }

    // Runs `flash` for the image of `source`; an image whose signature
    // names a version older than the unit's is flashed only once the user
    // has said so (the safe answer, No, is the default).
    function flashConfirmed(source, flash) {
        var older = usb_stmFlasher.signatureRequired && usb_stmFlasher.offerSource === source
                && usb_stmFlasher.offerDowngrade
        if (!older) {
            usb_stmFlasher.downgradeAllowed = false
            flash()
            return
        }
        var component = Qt.createComponent("qrc:/qml/components/MessageDialog.qml")
        if (component.status !== Component.Ready) {
            console.log("MessageDialog", component.errorString())
            return
        }
        var question = component.createObject(mainWin, {
                                   "objectName": "downgradeDialog",
                                   "dialogTitle": qsTr("Внимание"),
                                   "dialogText": qsTr("Версия %1 старше установленной %2. Установить более старую прошивку?")
                                                 .arg(usb_stmFlasher.offerVersion)
                                                 .arg(usb_stmFlasher.currentFirmwareVersion),
                                   "acceptBtnText": qsTr("Да"),
                                   "cancelBtnText": qsTr("Нет"),
                                   "isCancelBtnVisible": true,
                                   "enterCancels": true,
                                   "isTextInput": false
                               })
        question.onAccepted.connect(function () {
            usb_stmFlasher.downgradeAllowed = true
            flash()
        })
    }

    function isOnScreen(px, py) {
        var screens = Qt.application.screens
        for (var i = 0; i < screens.length; ++i) {
            var s = screens[i]
            if (px >= s.virtualX && px < s.virtualX + s.width
                    && py >= s.virtualY && py < s.virtualY + s.height)
                return true
        }
        return false
    }

    // The saved position is used only while it still lies on a screen (a
    // monitor may have been removed since); otherwise the window is centred.
    function placeWindow() {
        var savedX = windowSettings.value("x", undefined)
        var savedY = windowSettings.value("y", undefined)
        if (savedX !== undefined && savedY !== undefined
                && isOnScreen(Number(savedX), Number(savedY))) {
            x = Number(savedX)
            y = Number(savedY)
        } else {
            x = Screen.virtualX + Screen.width / 2 - width / 2
            y = Screen.virtualY + Screen.height / 2 - height / 2
        }
    }

    // The run's typed outcome in the window's words, in the dialog its
    // message just opened; a failed download also names its cause.
    function wordRunEnd(result) {
        var dialog = lastMessageDialog
        if (result === DFU_client.FlashInterrupted || !dialog)
            return
        dialog.dialogText = wording.runText(result, usb_stmFlasher.runDetail)
        if (result === DFU_client.FlashSignatureRefused)
            dialog.dialogNote = qsTr("Причина: %1").arg(
                        wording.signatureText(usb_stmFlasher.runSignatureFailure))
        if (result === DFU_client.FlashDownloadFailed
                && usb_stmFlasher.downloadFailure !== DFU_client.NoNetworkFailure)
            dialog.dialogNote = qsTr("Причина: %1").arg(
                        wording.failureText(usb_stmFlasher.downloadFailure,
                                            usb_stmFlasher.downloadFailureDetail))
    }

    // Progress of the run's flashing: the bar shows while it is above 0 and
    // not 100; the first progress ends the download's part of the bar.
    function progressBarUpdate(progress) {
        console.log("progressBarUpdate", progress)
        homeForm.progressBarShown = progress > 0 && progress !== 100
        homeForm.progressValue = progress
        homeForm.flashingPercent = progress
        if (progress > 0)
            homeForm.downloading = false
    }

    Wording {
        id: wording
        objectName: "wording"
    }

    FontLoader {
        id: displayFont
        source: "qrc:/fonts/Roboto-MediumItalic.ttf"
    }

    Binding {
        target: AppStyle
        property: "fontFamily"
        value: displayFont.name
    }

    Settings {
        id: windowSettings
        property int x
        property int y
        property int desktopAvailableWidth: 0
        property int desktopAvailableHeight: 0
        property string lastFirmwareFolder: ""
    }

    Platform.FileDialog {
        id: firmwareFileDialog
        objectName: "firmwareFileDialog"
        title: qsTr("Образ прошивки")
        fileMode: Platform.FileDialog.OpenFile
        nameFilters: [qsTr("Образы прошивки (*.bin)"), qsTr("Все файлы (*)")]
        folder: windowSettings.lastFirmwareFolder !== ""
                ? windowSettings.lastFirmwareFolder
                : Platform.StandardPaths.writableLocation(Platform.StandardPaths.DocumentsLocation)
        onAccepted: mainWin.flashLocalFile(file)
    }

    USB_StmFlasher {
        id: usb_stmFlasher
        objectName: "usb_stmFlasher"

        // The last list read for the connected device.
        property var firmwares

        onAvailableFirmwaresChanged: mainWin.refreshFirmwareList()
        onShowInfoMessage: {
            homeForm.downloading = false
            mainWin.showMessage(messageStr)
        }
        onFlashing_progress_changed: mainWin.progressBarUpdate(progress)
        onDownloadProgress: {
            homeForm.downloading = true
            homeForm.progressValue = total > 0 ? Math.floor(received * 100 / total) : 0
        }
        // How the latest run ended: an unconfirmed run's message already
        // says whether the device came back.
        property int lastRunResult: DFU_client.FlashSucceeded

        onRunStarted: homeForm.returnNote = ""
        onRunFinished: {
            lastRunResult = result
            mainWin.wordRunEnd(result)
            mainWin.offerLogFolder(result)
        }
        onDevConnStatusChanged: {
            if (devConnStatus === KorvoEnums.KorvoOffline)
                homeForm.returnNote = ""
        }
        onDeviceReturned: {
            if (lastRunResult !== DFU_client.FlashUnconfirmed)
                mainWin.showReturnNote(qsTr("Устройство перезапущено, версия прошивки: %1").arg(version))
        }
        onDeviceReturnTimedOut: {
            if (lastRunResult !== DFU_client.FlashUnconfirmed)
                mainWin.showReturnNote(
                            qsTr("Устройство не вернулось в рабочий режим за 15 с. Проверьте подключение."))
        }
    }

    HomeForm {
        id: homeForm
        objectName: "homeForm"
        anchors.fill: parent
        flasher: usb_stmFlasher
        catalogueCause: wording.failureText(usb_stmFlasher.catalogueFailure,
                                            usb_stmFlasher.catalogueFailureDetail)
        // CommandMessage, PrepareToFlash, parameter 0: restart into the boot loader.
        onUpdateRequested: usb_stmFlasher.sendToKorvo(KorvoEnums.CommandMessage,
                                                      KorvoEnums.PrepareToFlash, 0)
        offerCause: wording.signatureText(usb_stmFlasher.offerFailure)
        onFlashRequested: mainWin.flashConfirmed(url, function () {
            usb_stmFlasher.flashFromUrl(url)
        })
        onFirmwareChosen: usb_stmFlasher.checkOffer(url)
        onRetryRequested: usb_stmFlasher.retryCatalogue()
        onLocalFileRequested: firmwareFileDialog.open()
    }

    Component.onCompleted: {
        AppStyle.appWindowWidth = width
        placeWindow()
        // From now on every move is remembered.
        windowSettings.x = Qt.binding(function () {
            return mainWin.x
        })
        windowSettings.y = Qt.binding(function () {
            return mainWin.y
        })
    }
}

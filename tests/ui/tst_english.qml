import QtQuick 2.7
import QtTest 1.2
import USB_StmFlasher_qml_module 1.0

// The real main window in English: the translation start-up picks from the
// user's UI languages, and every face's texts through it.
TestCase {
    name: "English"
    when: windowShown

    property var window
    property var link

    function init() {
        compare(translations.load(["en-US"]), ":/translations/trennic-flasher_en.qm")
    }

    function cleanup() {
        testPorts.listUnopenablePort("")
        translations.load(["ru"])
    }

    function openWindow() {
        var component = Qt.createComponent("qrc:/qml/Main.qml")
        compare(component.status, Component.Ready, component.errorString())
        window = createTemporaryObject(component, null)
        link = findChild(window, "usb_stmFlasher")
        waitForRendering(window.contentItem)
    }

    function item(objectName) {
        var found = findChild(window.contentItem, objectName)
        verify(found, objectName)
        return found
    }

    function showDevice(status, names) {
        link.setDevConnStatus(status)
        link.deviceName = "Korvo 7"
        link.currentFirmwareVersion = "01.05"
        link.dfuVersion = 2
        link.boardVer = 3
        link.boardRev = "B"
        var firmwares = []
        for (var i = 0; i < (names || []).length; ++i)
            firmwares.push({ "fileName": names[i], "fileUrl": "u:" + names[i] })
        window.showFirmwares(firmwares)
    }

    function test_translationFollowsTheFirstUsableUiLanguage_data() {
        var en = ":/translations/trennic-flasher_en.qm"
        return [
            { tag: "English", languages: ["en"], file: en },
            { tag: "English with a region", languages: ["en-GB"], file: en },
            { tag: "Russian: the source texts", languages: ["ru-RU"], file: "" },
            { tag: "Russian before English", languages: ["ru-RU", "en-US"], file: "" },
            { tag: "German without a translation, then English", languages: ["de-DE", "en-US"], file: en },
            { tag: "German alone: the source texts", languages: ["de-DE"], file: "" },
            { tag: "the C locale: the source texts", languages: ["C"], file: "" },
            { tag: "none", languages: [], file: "" }
        ]
    }

    function test_translationFollowsTheFirstUsableUiLanguage(data) {
        compare(translations.load(data.languages), data.file)
        openWindow()
        compare(item("informationLabel").text,
                data.file ? "No device connected" : "Устройство не подключено")
    }

    function test_faces_data() {
        var connected = "Connected - Korvo 7\n Current firmware version: 01.05"
                + "\n DFU version: 2 Board version: 3 Rev B"
        return [
            { tag: "no device", status: 0, item: "informationLabel", property: "text",
              text: "No device connected" },
            { tag: "application firmware", status: 1, item: "informationLabel", property: "text",
              text: connected },
            { tag: "update button", status: 1, item: "updateButton", property: "text",
              text: "Update firmware" },
            { tag: "boot loader, empty list", status: 2, item: "firmwareComboBox",
              property: "displayText", text: "No firmware available for this device" },
            { tag: "boot loader, nothing chosen", status: 2, names: ["fw_1.bin"],
              item: "firmwareComboBox", property: "displayText", text: "Choose firmware ..." },
            { tag: "flash button", status: 2, item: "flashButton", property: "text",
              text: "Flash selected" },
            { tag: "local file button", status: 2, item: "localFileButton", property: "text",
              text: "From file…" },
            { tag: "firmware list, for screen readers", status: 2, item: "firmwareComboBox",
              property: "Accessible.name", text: "Firmware list" },
            { tag: "progress bar, for screen readers", status: 2, item: "progressBar",
              property: "Accessible.name", text: "Flashing progress" }
        ]
    }

    function test_faces(data) {
        openWindow()
        showDevice(data.status, data.names)
        var shown = item(data.item)
        var value = data.property === "Accessible.name" ? shown.Accessible.name : shown[data.property]
        compare(value, data.text)
        compare(window.title, "Flashing tool")
    }

    function test_progressCaption() {
        openWindow()
        showDevice(2)
        var caption = item("progressCaption")
        link.downloadProgress(100, 400)
        compare(caption.text, "Downloading…")
        link.flashing_progress_changed(48)
        compare(caption.text, "Flashing… 48 %")
    }

    function rect(objectName) {
        var shown = item(objectName)
        var p = shown.mapToItem(window.contentItem, 0, 0)
        return { left: p.x, top: p.y, right: p.x + shown.width, bottom: p.y + shown.height }
    }

    function test_bootLoaderFaceHasRoomForTheEnglishWords_data() {
        return [
            { tag: "downloading", download: true, percent: 0 },
            { tag: "flashing", download: false, percent: 48 },
            { tag: "nearly done", download: false, percent: 99 }
        ]
    }

    // Nothing cut or overlapping: the caption left of the bar, the bar left
    // of the file button, the buttons inside the frame.
    function test_bootLoaderFaceHasRoomForTheEnglishWords(data) {
        openWindow()
        showDevice(2, ["korvo7_v0200 beta.bin"])
        if (data.download)
            link.downloadProgress(100, 400)
        else
            link.flashing_progress_changed(data.percent)
        var caption = item("progressCaption")
        verify(caption.visible)
        compare(caption.contentWidth <= caption.width + 0.5, true)
        var frame = rect("centreFrame"), c = rect("progressCaption"), bar = rect("progressBar")
        var file = rect("localFileButton"), flash = rect("flashButton"), combo = rect("firmwareComboBox")
        verify(c.left >= frame.left, "caption inside the frame: " + c.left)
        verify(c.right <= bar.left, "caption left of the bar")
        verify(bar.right <= file.left, "bar left of the file button: " + bar.right + " " + file.left)
        verify(combo.right <= flash.left, "list left of the flash button")
        verify(flash.bottom <= file.top, "flash button above the file button")
        verify(file.right <= frame.right && flash.right <= frame.right, "buttons inside the frame")
        var labels = [item("flashButton"), item("localFileButton")]
        for (var i = 0; i < labels.length; ++i)
            verify(labels[i].implicitWidth <= labels[i].width, labels[i].text)
    }

    function test_runMessages_data() {
        return [
            { tag: "success", message: "Обновление успешно установлено!",
              result: DFU_client.FlashSucceeded, text: "Update installed successfully!" },
            { tag: "silent device", message: "Ошибка обновления: устройство не отвечает",
              result: DFU_client.FlashDeviceSilent, text: "Update failed: the device does not respond" },
            { tag: "lost port", message: "Ошибка обновления: связь с устройством потеряна",
              result: DFU_client.FlashPortLost, text: "Update failed: the connection to the device was lost" },
            { tag: "device error: its name kept",
              message: "Ошибка обновления: устройство сообщило об ошибке Error_BadCrc = 3",
              result: DFU_client.FlashDeviceError,
              text: "Update failed: the device reported the error Error_BadCrc = 3" },
            { tag: "image too small", message: "Ошибка обновления: файл прошивки слишком мал",
              result: DFU_client.FlashImageRefused, text: "Update failed: the firmware file is too small" },
            { tag: "download failed", message: "Ошибка обновления: не удалось загрузить прошивку",
              result: DFU_client.FlashDownloadFailed, text: "Update failed: the firmware could not be downloaded" },
            { tag: "file unreadable", message: "Ошибка обновления: не удалось прочитать файл прошивки",
              result: DFU_client.FlashFileUnreadable, text: "Update failed: the firmware file could not be read" },
            { tag: "unconfirmed: the version kept",
              message: "Обновление не подтверждено: устройство перезапустилось, не подтвердив "
                       + "последний пакет, и вернулось в рабочий режим с версией прошивки 01.08",
              result: DFU_client.FlashUnconfirmed,
              text: "Update not confirmed: the device restarted before confirming the last packet "
                    + "and came back in its application firmware with firmware version 01.08" },
            { tag: "a text without a translation: as it is", message: "Korvo 7: 01.08",
              result: DFU_client.FlashSucceeded, text: "Korvo 7: 01.08" }
        ]
    }

    // The engine's own texts go out unchanged (the command line prints them);
    // the window shows them in English.
    function test_runMessages(data) {
        openWindow()
        if (data.tag === "success")
            compare(link.successMessage, data.message)
        link.showInfoMessage(data.message)
        link.runFinished(data.result, data.message)
        var dialog = window.lastMessageDialog
        verify(dialog)
        compare(findChild(dialog, "titleText").text, "Attention")
        compare(findChild(dialog, "messageText").text, data.text)
        compare(findChild(dialog, "acceptButton").text, "OK")
        if (data.result !== DFU_client.FlashSucceeded)
            compare(findChild(dialog, "cancelButton").text, "Open log")
    }

    function test_deviceReturnNotes_data() {
        return [
            { tag: "back", back: true, note: "Device restarted, firmware version: 01.08" },
            { tag: "away", back: false,
              note: "The device did not return to normal operation within 15 s. Check the connection." }
        ]
    }

    function test_deviceReturnNotes(data) {
        openWindow()
        showDevice(data.back ? 1 : 0)
        if (data.back)
            link.deviceReturned("01.08")
        else
            link.deviceReturnTimedOut()
        compare(item("returnLabel").text, data.note)
    }

    function test_storedListDate_asTheLanguageWritesIt_data() {
        return [
            { tag: "English (US)", languages: ["en-US"], when: "3/5/26 10:37 AM" },
            { tag: "English (UK)", languages: ["en-GB"], when: "05/03/2026 10:37" }
        ]
    }

    function test_storedListDate_asTheLanguageWritesIt(data) {
        translations.load(data.languages)
        var base = "https://127.0.0.1:1/trennics_firmware"
        verify(testCache.storeCatalogue(base, '{"Korvo 7":{"release":["fw_1.bin"]}}',
                                        "2026-03-05 10:37"))
        openWindow()
        showDevice(2, [])
        firmwareAddress.setBaseUrl(base)
        link.retryCatalogue()
        tryCompare(link, "catalogueState", DFU_client.CatalogueOffline, 10000)
        compare(item("offlineLabel").text,
                "No connection to the server. Firmware list from " + data.when)
        testCache.clear()
    }

    function test_portProblem() {
        openWindow()
        testPorts.listUnopenablePort("ttyKORVO9")
        tryVerify(function () { return link.portProblem !== "" }, 5000)
        verify(item("portProblemLabel").text.indexOf("Could not open port ttyKORVO9: ") === 0,
               item("portProblemLabel").text)
    }

    function test_fileDialog() {
        openWindow()
        var dialog = findChild(window, "firmwareFileDialog")
        compare(dialog.title, "Firmware image")
        compare(dialog.nameFilters, ["Firmware images (*.bin)", "All files (*)"])
    }

    // A window open when the language changes follows it.
    function test_openWindowIsRetranslated() {
        openWindow()
        showDevice(1)
        compare(item("updateButton").text, "Update firmware")
        translations.load(["ru"])
        translations.retranslate()
        compare(item("updateButton").text, "Обновить прошивку")
        compare(item("informationLabel").text.indexOf("Подключено - Korvo 7"), 0)
        translations.load(["en"])
        translations.retranslate()
        compare(item("updateButton").text, "Update firmware")
        compare(item("informationLabel").text.indexOf("Connected - Korvo 7"), 0)
    }
}

import QtQuick 2.7
import QtTest 1.2
import Qt.labs.settings 1.1
import USB_StmFlasher_qml_module 1.0

// The real main window with its device link, whose properties the tests set
// as the receive path would: the faces and their texts in Russian and
// English, the firmware list, the progress, the messages and how the window
// words a run's end, the catalogue's faces, and where the window opens.
WindowCase {
    name: "Window"

    Settings {
        id: store // the window's own store (identity set by the test set-up)
    }

    Text {
        id: plain // the width a text takes when shown exactly as written
        visible: false
        textFormat: Text.PlainText
    }

    function cleanup() {
        testPorts.listUnopenablePort("")
        testCache.clear()
        translations.load(["ru"])
    }

    function plainWidth(font, text) {
        plain.font = font
        plain.text = text
        return plain.contentWidth
    }

    function test_faces_data() {
        var ru = "Подключено - Korvo 7\n Текущая версия прошивки: 01.05"
        var en = "Connected - Korvo 7\n Current firmware version: 01.05"
        return [
            { tag: "offline", lang: "ru", status: 0, dfu: 2, text: "Устройство не подключено",
              update: false, updateEnabled: true, frame: false },
            { tag: "offline, English", lang: "en", status: 0, dfu: 2, text: "No device connected",
              update: false, updateEnabled: true, frame: false },
            { tag: "application, no DfuInfo yet", lang: "ru", status: 1, dfu: 0, text: ru,
              update: true, updateEnabled: false, frame: false },
            { tag: "application, DFU 1", lang: "ru", status: 1, dfu: 1, text: "", update: true,
              updateEnabled: false, frame: false },
            { tag: "application, DFU 2", lang: "ru", status: 1, dfu: 2,
              text: ru + "\n Версия DFU: 2 Версия платы: 3 Rev B", update: true, updateEnabled: true,
              frame: false },
            { tag: "application, English", lang: "en", status: 1, dfu: 2,
              text: en + "\n DFU version: 2 Board version: 3 Rev B", update: true,
              updateEnabled: true, frame: false },
            { tag: "boot loader", lang: "ru", status: 2, dfu: 2, text: "", update: false,
              updateEnabled: true, frame: true },
            { tag: "image being taken", lang: "ru", status: 4, dfu: 2, text: "", update: false,
              updateEnabled: true, frame: true },
            { tag: "unknown status", lang: "ru", status: 3, dfu: 2, text: "", update: false,
              updateEnabled: true, frame: false }
        ]
    }

    function test_faces(data) {
        translations.load([data.lang])
        openWindow()
        showDevice(data.status, [], data.dfu)
        if (data.text)
            compare(item("informationLabel").text, data.text)
        compare(item("updateButton").visible, data.update)
        compare(item("updateButton").enabled, data.updateEnabled)
        compare(item("centreFrame").visible, data.frame)
        compare(item("localFileButton").enabled, data.status === 2)
    }

    function test_translationFollowsTheFirstUsableUiLanguage_data() {
        var en = ":/translations/trennic-flasher_en.qm"
        return [
            { tag: "English with a region", languages: ["en-GB"], file: en },
            { tag: "Russian before English", languages: ["ru-RU", "en-US"], file: "" },
            { tag: "German without a translation, then English", languages: ["de-DE", "en-US"], file: en },
            { tag: "German alone: the source texts", languages: ["de-DE"], file: "" },
            { tag: "none", languages: [], file: "" }
        ]
    }

    function test_translationFollowsTheFirstUsableUiLanguage(data) {
        compare(translations.load(data.languages), data.file)
        openWindow()
        showDevice(1)
        compare(item("updateButton").text, data.file ? "Update firmware" : "Обновить прошивку")
        // A window open when the language changes follows it.
        translations.load(data.file ? ["ru"] : ["en"])
        translations.retranslate()
        compare(item("updateButton").text, data.file ? "Обновить прошивку" : "Update firmware")
    }

    function test_firmwarePicker_data() {
        var three = ["fw_1.bin", "fw_3.bin", "fw_2.bin"]
        return [
            { tag: "empty list", names: [], index: -1, status: 2,
              display: "Нет доступных прошивок для этого устройства", flashEnabled: false },
            { tag: "none selected", names: three, index: -1, status: 2,
              display: "Выбрать прошивку ...", flashEnabled: false },
            { tag: "newest first", names: three, index: 0, status: 2, display: "fw_3.bin", flashEnabled: true },
            { tag: "oldest last", names: three, index: 2, status: 2, display: "fw_1.bin", flashEnabled: true },
            { tag: "image being taken", names: ["fw_2.bin"], index: 0, status: 4,
              display: "fw_2.bin", flashEnabled: false }
        ]
    }

    function test_firmwarePicker(data) {
        openWindow()
        showDevice(data.status, ["old.bin"])
        showDevice(data.status, data.names) // a refill replaces the entries
        var combo = item("firmwareComboBox")
        combo.currentIndex = data.index
        compare(combo.count, data.names.length)
        compare(combo.displayText, data.display)
        compare(item("flashButton").enabled, data.flashEnabled)
        // Without a device the link offers nothing.
        link.availableFirmwaresChanged()
        compare(combo.count, 0)
    }

    function test_progress_data() {
        return [ { tag: "Russian", lang: "ru" }, { tag: "English, with room for its words", lang: "en" } ]
    }

    // The bar between none and all, the download before the run, nothing
    // cut or overlapping in the frame.
    function test_progress(data) {
        translations.load([data.lang])
        openWindow()
        showDevice(2, ["korvo7_v0200 beta.bin"])
        var bar = item("progressBar")
        var caption = item("progressCaption")
        var ru = data.lang === "ru"
        var steps = [ // signal, values, caption (empty: hidden), bar shown, bar value
            ["flashing", [0], "", false, 0],
            ["download", [1000, 4000], ru ? "Загрузка прошивки…" : "Downloading…", true, 25],
            ["download", [4000, 4000], ru ? "Загрузка прошивки…" : "Downloading…", true, 100],
            ["flashing", [1], ru ? "Прошивка… 1 %" : "Flashing… 1 %", true, 1],
            ["flashing", [99], ru ? "Прошивка… 99 %" : "Flashing… 99 %", true, 99],
            ["flashing", [100], "", false, 100],
            ["download", [10, -1], ru ? "Загрузка прошивки…" : "Downloading…", true, 0],
            ["message", ["a run's end"], "", false, 0]
        ]
        for (var i = 0; i < steps.length; ++i) {
            var s = steps[i]
            if (s[0] === "download")
                link.downloadProgress(s[1][0], s[1][1])
            else if (s[0] === "flashing")
                link.flashing_progress_changed(s[1][0])
            else
                link.showInfoMessage(s[1][0])
            compare(caption.visible, s[2] !== "", "caption at step " + i)
            compare(bar.visible, s[3], "bar at step " + i)
            if (s[2] === "")
                continue
            compare(caption.text, s[2])
            compare(bar.value, s[4])
            verify(caption.contentWidth <= caption.width + 0.5)
            var frame = rect("centreFrame"), c = rect("progressCaption"), b = rect("progressBar")
            var file = rect("localFileButton"), flash = rect("flashButton")
            verify(c.left >= frame.left && c.right <= b.left && b.right <= file.left)
            verify(rect("firmwareComboBox").right <= flash.left && flash.bottom <= file.top)
            verify(file.right <= frame.right && flash.right <= frame.right)
        }
        link.flashing_progress_changed(50)
        link.setDevConnStatus(1)
        compare(bar.visible, false, "its frame is hidden outside the boot loader")
    }

    function test_localFile_isFlashedThroughTheLinkAndItsFolderRemembered_data() {
        return [
            { tag: "108 bytes: refused", file: "tiny.bin",
              message: "Ошибка обновления: файл прошивки слишком мал" },
            { tag: "missing", file: "none.bin",
              message: "Ошибка обновления: не удалось прочитать файл прошивки" }
        ]
    }

    function test_localFile_isFlashedThroughTheLinkAndItsFolderRemembered(data) {
        openWindow()
        showDevice(2)
        window.flashLocalFile(testImageFolder + "/" + data.file)
        compare(findChild(openDialogs()[0], "messageText").text, data.message)
        var dialog = findChild(window, "firmwareFileDialog")
        compare(dialog.folder.toString(), testImageFolder)
        compare(dialog.nameFilters, ["Образы прошивки (*.bin)", "Все файлы (*)"])
        tryVerify(function () { return store.value("lastFirmwareFolder", "") === testImageFolder })
    }

    function test_runEnd_isWordedInTheWindowsLanguage_data() {
        return [
            { tag: "success", lang: "ru", result: DFU_client.FlashSucceeded, detail: "",
              text: "Обновление успешно установлено!" },
            { tag: "success, English", lang: "en", result: DFU_client.FlashSucceeded, detail: "",
              text: "Update installed successfully!" },
            { tag: "silent device", lang: "en", result: DFU_client.FlashDeviceSilent, detail: "",
              text: "Update failed: the device does not respond" },
            { tag: "lost port", lang: "en", result: DFU_client.FlashPortLost, detail: "",
              text: "Update failed: the connection to the device was lost" },
            { tag: "device error: its name kept", lang: "ru", result: DFU_client.FlashDeviceError,
              detail: "Error_BadCrc", text: "Ошибка обновления: устройство сообщило об ошибке Error_BadCrc" },
            { tag: "device error, English", lang: "en", result: DFU_client.FlashDeviceError,
              detail: "Error_BadCrc", text: "Update failed: the device reported the error Error_BadCrc" },
            { tag: "image too small", lang: "en", result: DFU_client.FlashImageRefused, detail: "",
              text: "Update failed: the firmware file is too small" },
            { tag: "download failed", lang: "en", result: DFU_client.FlashDownloadFailed, detail: "",
              text: "Update failed: the firmware could not be downloaded" },
            { tag: "file unreadable", lang: "en", result: DFU_client.FlashFileUnreadable, detail: "",
              text: "Update failed: the firmware file could not be read" },
            { tag: "unconfirmed, back", lang: "ru", result: DFU_client.FlashUnconfirmed, detail: "01.08",
              text: "Обновление не подтверждено: устройство перезапустилось, не подтвердив последний "
                    + "пакет, и вернулось в рабочий режим с версией прошивки 01.08" },
            { tag: "unconfirmed, away, English", lang: "en", result: DFU_client.FlashUnconfirmed,
              detail: "", text: "Update not confirmed: the device restarted before confirming the "
                                + "last packet and did not come back in its application firmware" }
        ]
    }

    function test_runEnd_isWordedInTheWindowsLanguage(data) {
        translations.load([data.lang])
        openWindow()
        compare(findChild(window, "wording").runText(data.result, data.detail), data.text)
    }

    function test_failure_isWordedInTheWindowsLanguage_data() {
        return [
            { tag: "refused", lang: "ru", failure: DFU_client.ConnectionRefused, detail: "",
              text: "сервер отклонил соединение" },
            { tag: "HTTP status", lang: "ru", failure: DFU_client.HttpStatus, detail: "404",
              text: "ошибка HTTP 404" },
            { tag: "proxy, English", lang: "en", failure: DFU_client.ProxyFailed,
              detail: "127.0.0.1:3128", text: "proxy 127.0.0.1:3128 unavailable" },
            { tag: "TLS, English", lang: "en", failure: DFU_client.TlsFailed, detail: "",
              text: "the server's certificate was not accepted" }
        ]
    }

    function test_failure_isWordedInTheWindowsLanguage(data) {
        translations.load([data.lang])
        openWindow()
        compare(findChild(window, "wording").failureText(data.failure, data.detail), data.text)
    }

    function test_message_opensADialogPerMessage() {
        openWindow()
        link.showInfoMessage("Первое")
        link.showInfoMessage(link.successMessage)
        var open = openDialogs()
        compare(open.length, 2)
        compare(findChild(open[0], "titleText").text, "Внимание")
        compare(findChild(open[0], "messageText").text, "Первое")
        compare(findChild(open[1], "cancelButton").visible, false)
        // The second lies over the first; answering it leaves the first open.
        mouseClick(findChild(open[1], "acceptButton"))
        tryVerify(function () { return !open[1].visible })
        verify(open[0].visible)
    }

    function test_message_offersTheLogFolderAfterAFailedRun_data() {
        return [
            { tag: "success: OK only", result: DFU_client.FlashSucceeded, failed: false },
            { tag: "interrupted: no word", result: DFU_client.FlashInterrupted, failed: false },
            { tag: "lost port", result: DFU_client.FlashPortLost, failed: true },
            { tag: "unconfirmed", result: DFU_client.FlashUnconfirmed, failed: true }
        ]
    }

    function test_message_offersTheLogFolderAfterAFailedRun(data) {
        openWindow()
        // As the engine reports a run's end: its message, then its typed result.
        link.showInfoMessage("the engine's text")
        link.runFinished(data.result, "the engine's text")
        var dialog = openDialogs()[0]
        var logButton = findChild(dialog, "cancelButton")
        compare(logButton.visible, data.failed)
        if (!data.failed)
            return
        compare(logButton.text, "Открыть журнал")
        var before = openedUrls.count
        mouseClick(logButton)
        tryCompare(openedUrls, "count", before + 1)
        compare(openedUrls.last, link.logsFolderUrl)
        verify(String(link.logsFolderUrl).match(/^file:\/\/.*\/logs$/), String(link.logsFolderUrl))
    }

    function test_deviceReturn_data() {
        var back = "Устройство перезапущено, версия прошивки: 01.08"
        var away = "Устройство не вернулось в рабочий режим за 15 с. Проверьте подключение."
        return [
            { tag: "back, the dialog open: added to it", lang: "ru", back: true, dialogOpen: true, note: back },
            { tag: "back, the dialog closed: on the page", lang: "ru", back: true, dialogOpen: false, note: back },
            { tag: "away, the dialog open", lang: "ru", back: false, dialogOpen: true, note: away },
            { tag: "back, English", lang: "en", back: true, dialogOpen: false,
              note: "Device restarted, firmware version: 01.08" },
            { tag: "away, English", lang: "en", back: false, dialogOpen: false,
              note: "The device did not return to normal operation within 15 s. Check the connection." }
        ]
    }

    function test_deviceReturn(data) {
        translations.load([data.lang])
        openWindow()
        showDevice(2)
        link.showInfoMessage("Обновление успешно установлено!")
        var dialog = window.lastMessageDialog
        if (!data.dialogOpen) {
            mouseClick(findChild(dialog, "acceptButton"))
            tryVerify(function () { return !window.lastMessageDialog })
        }
        link.setDevConnStatus(data.back ? 1 : 0)
        if (data.back)
            link.deviceReturned("01.08")
        else
            link.deviceReturnTimedOut()
        var label = item("returnLabel")
        if (data.dialogOpen)
            compare(findChild(dialog, "messageText").text, "Обновление успешно установлено!\n\n" + data.note)
        else
            compare(label.text, data.note)
        compare(label.visible, !data.dialogOpen)
        // The next run clears the page's note.
        link.runStarted("")
        compare(label.text, "")
    }

    function test_portProblem_data() {
        return [
            { tag: "short port name", lang: "ru", port: "ttyKORVO9", lines: 1,
              text: "Не удалось открыть порт ttyKORVO9: " },
            { tag: "long port name: wrapped inside the window", lang: "ru",
              port: "ttyKORVO" + new Array(120).join("9"), lines: 2, text: "Не удалось открыть порт " },
            { tag: "English", lang: "en", port: "ttyKORVO9", lines: 1, text: "Could not open port ttyKORVO9: " }
        ]
    }

    // The link lists a Korvo port that cannot be opened: the reason shows
    // under "not connected", and only there; the status text stays as it is.
    function test_portProblem(data) {
        translations.load([data.lang])
        openWindow()
        var info = item("informationLabel")
        var problem = item("portProblemLabel")
        var alone = { text: info.text, y: info.y, height: info.height }
        testPorts.listUnopenablePort(data.port)
        tryVerify(function () { return link.portProblem !== "" }, 5000)
        verify(problem.text.indexOf(data.text) === 0, problem.text)
        compare(problem.textFormat, Text.PlainText)
        verify(problem.visible)
        compare(info.text, alone.text)
        compare(info.y, alone.y)
        compare(info.height, alone.height)
        // Below the centred status text, smaller, wrapped inside the window.
        verify(problem.y >= (info.height + info.contentHeight) / 2, problem.y)
        verify(problem.font.pixelSize < info.font.pixelSize)
        verify(problem.x >= 0 && problem.x + problem.width <= window.width)
        verify(problem.y + problem.contentHeight <= window.height)
        verify(problem.lineCount >= data.lines, problem.lineCount)
        link.setDevConnStatus(1)
        verify(!problem.visible, "hidden while a device is connected")
        link.setDevConnStatus(0)
        testPorts.listUnopenablePort("")
        tryCompare(link, "portProblem", "", 5000)
        verify(!problem.visible)
    }

    function test_position_data() {
        return [
            { tag: "saved on a screen: restored", x: 30, y: 40, centred: false },
            { tag: "right of all screens: centred", x: 100000, y: 40, centred: true },
            { tag: "never saved: centred", x: undefined, y: undefined, centred: true }
        ]
    }

    function test_position(data) {
        store.setValue("x", data.x)
        store.setValue("y", data.y)
        store.sync()
        openWindow()
        var screen = Qt.application.screens[0]
        var frame = data.centred ? 10 : 0 // the platform may nudge the window by its frame
        fuzzyCompare(window.x, data.centred ? screen.virtualX + screen.width / 2 - 400 : data.x, frame)
        fuzzyCompare(window.y, data.centred ? screen.virtualY + screen.height / 2 - 125 : data.y, frame)
        window.x = 21
        window.y = 22
        window.destroy()
        tryVerify(function () { return Number(store.value("x", -1)) === 21 })
        compare(Number(store.value("y", -1)), 22)
    }

    function test_catalogueFaces_data() {
        return [
            { tag: "application firmware, catalogue unavailable", status: 1, fail: true,
              line: true, display: "", retry: false },
            { tag: "boot loader, catalogue unavailable", status: 2, fail: true, line: false,
              display: "Каталог прошивок недоступен", retry: true },
            { tag: "boot loader, catalogue loading", status: 2, fail: false, line: false,
              display: "Загрузка списка прошивок…", retry: false }
        ]
    }

    // A real failed request: nothing listens at the firmware address.
    function test_catalogueFaces(data) {
        openWindow()
        showDevice(data.status, [])
        firmwareAddress.setBaseUrl("https://127.0.0.1:1/trennics_firmware")
        link.retryCatalogue() // under way until the refusal comes in
        if (data.fail)
            tryCompare(link, "catalogueState", DFU_client.CatalogueFailed, 10000)
        var line = item("catalogueErrorLabel")
        compare(line.visible, data.line)
        if (data.line) // the cause in the window's own words
            compare(line.text, "Каталог прошивок недоступен: сервер отклонил соединение")
        if (data.display)
            compare(item("firmwareComboBox").displayText, data.display)
        compare(item("retryButton").visible, data.retry)
        compare(item("flashButton").visible, data.status === 2 && !data.retry)
        if (!data.retry)
            return
        mouseClick(item("retryButton"))
        compare(link.catalogueState, DFU_client.CatalogueLoading)
        tryCompare(link, "catalogueState", DFU_client.CatalogueFailed, 10000)
        // A list kept from an earlier catalogue is still offered.
        showDevice(2, ["fw_1.bin"])
        compare(item("firmwareComboBox").displayText, "Выбрать прошивку ...")
        compare(item("retryButton").visible, false)
    }

    function test_storedListFaces_data() {
        var offline = "Нет связи с сервером. Список прошивок от 05.03.2026 10:37"
        var answered = "Ответ сервера: ошибка HTTP 503. Список прошивок от 05.03.2026 10:37"
        return [
            { tag: "offline, application firmware", lang: "ru", status: 1, answer: 0, text: offline },
            { tag: "offline, boot loader: the stored image marked", lang: "ru", status: 2, answer: 0,
              text: offline },
            // The server answered: not "no connection", and no image marked,
            // as each is asked of the server first.
            { tag: "HTTP 503, application firmware", lang: "ru", status: 1, answer: 503, text: answered },
            { tag: "HTTP 503, boot loader: unmarked", lang: "ru", status: 2, answer: 503, text: answered },
            { tag: "offline, English: the date as US English writes it", lang: "en-US", status: 2,
              answer: 0, text: "No connection to the server. Firmware list from 3/5/26 10:37 AM" }
        ]
    }

    // The frame holds `name` wholly inside its border, clear of the list,
    // the line above it and the buttons: a few pixels between any two.
    function verifyInsideTheFrameAndClear(name) {
        var gap = 4
        var f = rect("centreFrame")
        var r = rect(name)
        verify(r.left >= f.left + gap && r.right <= f.right - gap && r.top >= f.top + gap
               && r.bottom <= f.bottom - gap, name + " inside the frame")
        var others = ["firmwareComboBox", "flashButton", "localFileButton", "offlineLabel"]
        for (var i = 0; i < others.length; ++i) {
            var o = rect(others[i])
            verify(r.right + gap <= o.left || o.right + gap <= r.left || r.bottom + gap <= o.top
                   || o.bottom + gap <= r.top, name + " clear of " + others[i])
        }
    }

    // The catalogue it gave at 10:37 stands in for a failed request.
    function test_storedListFaces(data) {
        translations.load([data.lang])
        var base = data.answer ? firmwareAddress.serveStatus(data.answer)
                               : "https://127.0.0.1:1/trennics_firmware"
        verify(testCache.storeCatalogue(
                   base, '{"Korvo 7":{"release":["fw_1.bin","fw_2.bin"]}}', "2026-03-05 10:37"))
        verify(testCache.storeImage(base + "/Korvo 7/release/fw_2.bin", 2000))
        openWindow()
        showDevice(data.status, [])
        firmwareAddress.setBaseUrl(base)
        link.retryCatalogue()
        var state = data.answer ? DFU_client.CatalogueFailed : DFU_client.CatalogueOffline
        tryCompare(link, "catalogueState", state, 10000)
        compare(item(data.status === 1 ? "catalogueErrorLabel" : "offlineLabel").text, data.text)
        if (data.status === 1)
            return
        var model = item("homeForm").firmwareModel
        compare(model.count, 2)
        var marked = data.lang === "ru" ? "fw_2.bin (сохранена)" : "fw_2.bin (saved)"
        compare(model.get(0).text, data.answer ? "fw_2.bin" : marked)
        compare(model.get(0).url, base + "/Korvo 7/release/fw_2.bin")
        compare(item("flashButton").visible, true)
        verifyInsideTheFrameAndClear("retryButton")
        // The retry button asks again; the server is still away.
        mouseClick(item("retryButton"))
        compare(link.catalogueState, DFU_client.CatalogueLoading)
        tryCompare(link, "catalogueState", state, 10000)
        compare(model.count, 2)
    }

    function test_outsideText_isShownLiterally() {
        openWindow()
        var fileName = '<img src="https://127.0.0.1:1/x.png">fw.bin'
        showDevice(2, [fileName], 0)
        link.deviceName = "<b>Korvo</b> & <i>7</i>"
        link.devConnStatusChanged()
        var label = item("informationLabel")
        var first = "Подключено - <b>Korvo</b> & <i>7</i>"
        var second = " Текущая версия прошивки: 01.05"
        compare(label.text, first + "\n" + second)
        compare(label.lineCount, 2)
        fuzzyCompare(label.contentWidth,
                     Math.max(plainWidth(label.font, first), plainWidth(label.font, second)), 1)
        var combo = item("firmwareComboBox")
        combo.currentIndex = 0
        var shown = findChild(combo, "firmwareComboText")
        compare(shown.text, fileName)
        // The combo box elides its end; read as markup only "fw.bin" would show.
        verify(shown.contentWidth > 0.9 * plainWidth(shown.font, fileName), shown.contentWidth)
        link.showInfoMessage("<b>Ошибка</b> & <i>текст</i>\nвторая строка")
        var message = findChild(openDialogs()[0], "messageText")
        compare(message.lineCount, 2)
        fuzzyCompare(message.contentWidth,
                     Math.max(plainWidth(message.font, "<b>Ошибка</b> & <i>текст</i>"),
                              plainWidth(message.font, "вторая строка")), 1)
    }
}

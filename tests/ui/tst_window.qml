import QtQuick 2.7
import QtTest 1.2
import Qt.labs.settings 1.1
import USB_StmFlasher_qml_module 1.0

// The real main window with its device link, whose properties the tests set
// as the receive path would: the page's faces and texts, the firmware list,
// message dialogs, and where the window opens.
TestCase {
    name: "Window"
    when: windowShown

    property var window
    property var link

    Settings {
        id: store // the window's own store (identity set by the test set-up)
    }

    function cleanup() {
        testPorts.listUnopenablePort("")
        testCache.clear()
    }

    // The width a text takes when shown exactly as written.
    Text {
        id: plain
        visible: false
        textFormat: Text.PlainText
    }

    function plainWidth(font, text) {
        plain.font = font
        plain.text = text
        return plain.contentWidth
    }

    function openWindow(x, y) {
        store.setValue("x", x)
        store.setValue("y", y)
        store.sync()
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

    // Where an item is shown, in the window's coordinates.
    function rect(objectName) {
        var shown = item(objectName)
        var p = shown.mapToItem(window.contentItem, 0, 0)
        return { left: p.x, top: p.y, right: p.x + shown.width, bottom: p.y + shown.height }
    }

    // The status first: the link resets the device fields when it goes offline.
    function showDevice(status, dfuVersion, names) {
        link.setDevConnStatus(status)
        link.deviceName = "Korvo 7"
        link.currentFirmwareVersion = "01.05"
        link.dfuVersion = dfuVersion
        link.boardVer = 3
        link.boardRev = "B"
        var firmwares = []
        for (var i = 0; i < (names || []).length; ++i)
            firmwares.push({ "fileName": names[i], "fileUrl": "u:" + names[i] })
        window.showFirmwares(firmwares)
    }

    function test_faces_data() {
        var connected = "Подключено - Korvo 7\n Текущая версия прошивки: 01.05"
        var withDfu = connected + "\n Версия DFU: 2 Версия платы: 3 Rev B"
        return [
            { tag: "offline", status: 0, dfu: 2, text: "Устройство не подключено", update: false, updateEnabled: true, frame: false },
            { tag: "application, no DfuInfo yet", status: 1, dfu: 0, text: connected, update: true, updateEnabled: false, frame: false },
            { tag: "application, DFU 1", status: 1, dfu: 1, text: "", update: true, updateEnabled: false, frame: false },
            { tag: "application, DFU 2", status: 1, dfu: 2, text: withDfu, update: true, updateEnabled: true, frame: false },
            { tag: "boot loader", status: 2, dfu: 2, text: withDfu, update: false, updateEnabled: true, frame: true },
            { tag: "unknown status", status: 3, dfu: 2, text: withDfu, update: false, updateEnabled: true, frame: false }
        ]
    }

    function test_faces(data) {
        openWindow()
        showDevice(data.status, data.dfu)
        if (data.text)
            compare(item("informationLabel").text, data.text)
        compare(item("updateButton").visible, data.update)
        compare(item("updateButton").enabled, data.updateEnabled)
        compare(item("centreFrame").visible, data.frame)
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
        showDevice(data.status, 2, ["old.bin"])
        showDevice(data.status, 2, data.names) // a refill replaces the entries
        var combo = item("firmwareComboBox")
        combo.currentIndex = data.index
        compare(combo.count, data.names.length)
        compare(combo.displayText, data.display)
        compare(item("flashButton").enabled, data.flashEnabled)
        // Without a device the link offers nothing.
        link.availableFirmwaresChanged()
        compare(combo.count, 0)
    }

    function test_progressBar_isShownBetweenNoneAndAllInTheBootLoader() {
        openWindow()
        showDevice(2, 2)
        var bar = item("progressBar")
        var steps = [[0, false], [1, true], [50, true], [99, true], [100, false]]
        for (var i = 0; i < steps.length; ++i) {
            link.flashing_progress_changed(steps[i][0])
            compare(bar.visible, steps[i][1], "progress " + steps[i][0])
            compare(bar.value, steps[i][0])
        }
        link.flashing_progress_changed(50)
        link.setDevConnStatus(1)
        compare(bar.visible, false, "its frame is hidden outside the boot loader")
    }

    function test_progressCaption_followsTheDownloadThenTheRun() {
        openWindow()
        showDevice(2, 2)
        var bar = item("progressBar")
        var caption = item("progressCaption")
        link.flashing_progress_changed(0) // a run before has ended
        compare(bar.visible, false)
        compare(caption.visible, false)
        var steps = [
            // signal, values, caption shown, its text, bar shown, bar value
            ["download", [0, 4000], true, "Загрузка прошивки…", true, 0],
            ["download", [1000, 4000], true, "Загрузка прошивки…", true, 25],
            ["download", [4000, 4000], true, "Загрузка прошивки…", true, 100],
            ["flashing", [1], true, "Прошивка… 1 %", true, 1],
            ["flashing", [48], true, "Прошивка… 48 %", true, 48],
            ["flashing", [0], false, "", false, 0],
            ["download", [10, -1], true, "Загрузка прошивки…", true, 0],
            ["message", ["Ошибка обновления: не удалось загрузить прошивку"], false, "", false, 0]
        ]
        for (var i = 0; i < steps.length; ++i) {
            var s = steps[i]
            if (s[0] === "download")
                link.downloadProgress(s[1][0], s[1][1])
            else if (s[0] === "flashing")
                link.flashing_progress_changed(s[1][0])
            else
                link.showInfoMessage(s[1][0])
            compare(caption.visible, s[2], "caption at step " + i)
            if (s[2])
                compare(caption.text, s[3])
            compare(bar.visible, s[4], "bar at step " + i)
            if (s[4])
                compare(bar.value, s[5])
        }
    }

    function test_localFileButton_data() {
        return [
            { tag: "no device", status: 0, shown: false, enabled: false },
            { tag: "application firmware", status: 1, shown: false, enabled: false },
            { tag: "boot loader", status: 2, shown: true, enabled: true },
            { tag: "image being taken", status: 4, shown: true, enabled: false }
        ]
    }

    function test_localFileButton(data) {
        openWindow()
        showDevice(data.status, 2)
        var button = item("localFileButton")
        compare(button.visible, data.shown)
        compare(button.enabled, data.enabled)
        compare(button.text, "Из файла…")
        if (!data.shown)
            return
        // Beside the flash button, inside the page, over nothing else.
        var flash = item("flashButton")
        var b = button.mapToItem(window.contentItem, 0, 0)
        var f = flash.mapToItem(window.contentItem, 0, 0)
        verify(b.x + button.width <= 800 && b.y + button.height <= 250, "inside the window")
        verify(b.y >= f.y + flash.height, "below the flash button")
        var bar = item("progressBar").mapToItem(window.contentItem, 0, 0)
        verify(b.x >= bar.x + item("progressBar").width, "right of the progress bar")
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
        showDevice(2, 2)
        var messages = []
        link.showInfoMessage.connect(function (text) { messages.push(text) })
        window.flashLocalFile(testImageFolder + "/" + data.file)
        compare(messages, [data.message])
        compare(findChild(window, "firmwareFileDialog").folder.toString(), testImageFolder)
        tryVerify(function () { return store.value("lastFirmwareFolder", "") === testImageFolder })
    }

    function test_message_opensADialogPerMessage() {
        openWindow()
        link.showInfoMessage("Первое")
        link.showInfoMessage(link.successMessage)
        var open = []
        for (var i = 0; i < window.overlay.children.length; ++i)
            if (findChild(window.overlay.children[i], "acceptButton"))
                open.push(window.overlay.children[i])
        compare(open.length, 2)
        compare(findChild(open[0], "titleText").text, "Внимание")
        compare(findChild(open[0], "messageText").text, "Первое")
        compare(findChild(open[1], "messageText").text, "Обновление успешно установлено!")
        compare(findChild(open[1], "cancelButton").visible, false)
        // The second lies over the first; answering it leaves the first open.
        mouseClick(findChild(open[1], "acceptButton"))
        tryVerify(function () { return !open[1].visible })
        verify(open[0].visible)
    }

    function openDialogs() {
        var open = []
        for (var i = 0; i < window.overlay.children.length; ++i)
            if (findChild(window.overlay.children[i], "acceptButton"))
                open.push(window.overlay.children[i])
        return open
    }

    function test_message_offersTheLogFolderAfterAFailedRun_data() {
        return [
            { tag: "success: OK only", text: "", result: DFU_client.FlashSucceeded, failed: false },
            { tag: "silent device", text: "Ошибка обновления: устройство не отвечает",
              result: DFU_client.FlashDeviceSilent, failed: true },
            { tag: "lost port", text: "Ошибка обновления: связь с устройством потеряна",
              result: DFU_client.FlashPortLost, failed: true },
            { tag: "failed download", text: "Ошибка обновления: не удалось загрузить прошивку",
              result: DFU_client.FlashDownloadFailed, failed: true },
            { tag: "device error", text: "Ошибка обновления: устройство сообщило об ошибке Error_BadCrc = 3",
              result: DFU_client.FlashDeviceError, failed: true }
        ]
    }

    function test_message_offersTheLogFolderAfterAFailedRun(data) {
        openWindow()
        var text = data.text || link.successMessage
        compare(text === "Обновление успешно установлено!", !data.failed)
        // As the engine reports a run's end: its message, then its typed result.
        link.showInfoMessage(text)
        link.runFinished(data.result, text)
        var dialog = openDialogs()[0]
        compare(findChild(dialog, "messageText").text, text)
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
        tryVerify(function () { return !dialog.visible })
    }

    function test_portProblem_data() {
        return [
            { tag: "short port name", port: "ttyKORVO9", lines: 1 },
            { tag: "long port name: wrapped inside the window",
              port: "ttyKORVO" + new Array(120).join("9"), lines: 2 }
        ]
    }

    // The link lists a Korvo port that cannot be opened: the reason shows
    // under "not connected", and only there; the status text stays as it is.
    function test_portProblem(data) {
        openWindow()
        var info = item("informationLabel")
        var problem = item("portProblemLabel")
        var alone = { text: info.text, y: info.y, height: info.height, width: info.width }
        verify(!problem.visible)

        testPorts.listUnopenablePort(data.port)
        tryVerify(function () { return link.portProblem !== "" }, 5000)
        verify(link.portProblem.indexOf("Не удалось открыть порт " + data.port + ": ") === 0,
               link.portProblem)
        compare(problem.text, link.portProblem)
        compare(problem.textFormat, Text.PlainText)
        verify(problem.visible)
        compare(info.text, alone.text)
        compare(info.y, alone.y)
        compare(info.height, alone.height)
        compare(info.width, alone.width)
        // Below the centred status text, smaller, wrapped inside the window.
        verify(problem.y >= (info.height + info.contentHeight) / 2, problem.y)
        verify(problem.font.pixelSize < info.font.pixelSize)
        verify(problem.x >= 0 && problem.x + problem.width <= window.width)
        verify(problem.contentWidth <= problem.width)
        verify(problem.y + problem.contentHeight <= window.height)
        verify(problem.lineCount >= data.lines, problem.lineCount)

        link.setDevConnStatus(1)
        verify(!problem.visible, "hidden while a device is connected")
        link.setDevConnStatus(0)
        verify(problem.visible)

        testPorts.listUnopenablePort("")
        tryCompare(link, "portProblem", "", 5000)
        verify(!problem.visible)
        compare(info.text, alone.text)
        compare(info.height, alone.height)
    }

    function test_deviceReturn_data() {
        var back = "Устройство перезапущено, версия прошивки: 01.08"
        var away = "Устройство не вернулось в рабочий режим за 15 с. Проверьте подключение."
        return [
            { tag: "back, the dialog open: added to it", back: true, dialogOpen: true, note: back },
            { tag: "back, the dialog closed: on the page", back: true, dialogOpen: false, note: back },
            { tag: "away, the dialog open: added to it", back: false, dialogOpen: true, note: away },
            { tag: "away, the dialog closed: on the page", back: false, dialogOpen: false, note: away }
        ]
    }

    function test_deviceReturn(data) {
        openWindow()
        showDevice(2, 2)
        link.showInfoMessage("Обновление успешно установлено!")
        var dialog = window.lastMessageDialog
        verify(dialog)
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
        if (data.dialogOpen) {
            compare(dialog.dialogText, "Обновление успешно установлено!")
            compare(findChild(dialog, "messageText").text,
                    "Обновление успешно установлено!\n\n" + data.note)
            compare(label.visible, false)
        } else {
            compare(label.text, data.note)
            verify(label.visible)
        }
        // The next run, or the device going, clears the page's note.
        link.runStarted("")
        compare(label.text, "")
    }

    function test_position_data() {
        return [
            { tag: "saved on a screen: restored", x: 30, y: 40, centred: false },
            { tag: "right of all screens: centred", x: 100000, y: 40, centred: true },
            { tag: "never saved: centred", x: undefined, y: undefined, centred: true }
        ]
    }

    function test_position(data) {
        openWindow(data.x, data.y)
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

    // A real failed request: nothing listens at the firmware address.
    function failCatalogue() {
        firmwareAddress.setBaseUrl("https://127.0.0.1:1/trennics_firmware")
        link.retryCatalogue()
        tryCompare(link, "catalogueState", DFU_client.CatalogueFailed, 10000)
    }

    function test_catalogueFaces_data() {
        return [
            { tag: "application firmware, catalogue unavailable", status: 1, fail: true, line: true,
              display: "", retry: false },
            { tag: "boot loader, catalogue unavailable", status: 2, fail: true, line: false,
              display: "Каталог прошивок недоступен", retry: true },
            { tag: "boot loader, catalogue loading", status: 2, fail: false, line: false,
              display: "Загрузка списка прошивок…", retry: false }
        ]
    }

    function test_catalogueFaces(data) {
        openWindow()
        showDevice(data.status, 2, [])
        if (data.fail)
            failCatalogue()
        else
            link.retryCatalogue() // under way until the refusal comes in
        var line = item("catalogueErrorLabel")
        compare(line.visible, data.line)
        if (data.line)
            compare(line.text, "Каталог прошивок недоступен: Connection refused")
        if (data.display)
            compare(item("firmwareComboBox").displayText, data.display)
        compare(item("retryButton").visible, data.retry)
        compare(item("flashButton").visible, data.status === 2 && !data.retry)
        if (!data.retry)
            return
        // The button asks again.
        mouseClick(item("retryButton"))
        compare(link.catalogueState, DFU_client.CatalogueLoading)
        tryCompare(link, "catalogueState", DFU_client.CatalogueFailed, 10000)
        // A list kept from an earlier catalogue is still offered.
        showDevice(2, 2, ["fw_1.bin"])
        compare(item("firmwareComboBox").displayText, "Выбрать прошивку ...")
        compare(item("retryButton").visible, false)
    }

    function test_storedListFaces_data() {
        var offline = "Нет связи с сервером. Список прошивок от 05.03.2026 10:37"
        var answered = "Сервер прошивок ответил ошибкой (HTTP 503). Список прошивок от 05.03.2026 10:37"
        return [
            { tag: "offline, application firmware: the line under the update button", status: 1,
              answer: 0, text: offline },
            { tag: "offline, boot loader: the stored list, its stored image marked, the retry button",
              status: 2, answer: 0, text: offline },
            // The server answered: not "no connection", and no image marked,
            // as each is asked of the server first.
            { tag: "HTTP 503, application firmware: the server's answer under the update button",
              status: 1, answer: 503, text: answered },
            { tag: "HTTP 503, boot loader: the stored list unmarked under the server's answer",
              status: 2, answer: 503, text: answered }
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
            if (others[i] === name || !item(others[i]).visible)
                continue
            var o = rect(others[i])
            verify(r.right + gap <= o.left || o.right + gap <= r.left || r.bottom + gap <= o.top
                   || o.bottom + gap <= r.top,
                   name + " clear of " + others[i] + ": " + JSON.stringify([r, o]))
        }
    }

    // The catalogue it gave at 10:37 stands in for a failed request; the date
    // as the window's language writes it.
    function test_storedListFaces(data) {
        var base = data.answer ? firmwareAddress.serveStatus(data.answer)
                               : "https://127.0.0.1:1/trennics_firmware"
        verify(base !== "")
        verify(testCache.storeCatalogue(
                   base, '{"Korvo 7":{"release":["fw_1.bin","fw_2.bin"]}}', "2026-03-05 10:37"))
        verify(testCache.storeImage(base + "/Korvo 7/release/fw_2.bin", 2000))
        openWindow()
        showDevice(data.status, 2, [])
        firmwareAddress.setBaseUrl(base)
        link.retryCatalogue()
        var state = data.answer ? DFU_client.CatalogueFailed : DFU_client.CatalogueOffline
        tryCompare(link, "catalogueState", state, 10000)
        compare(item("catalogueErrorLabel").visible, data.status === 1)
        compare(item("offlineLabel").visible, data.status === 2)
        compare(item(data.status === 1 ? "catalogueErrorLabel" : "offlineLabel").text, data.text)
        if (data.status === 1)
            return

        var model = item("homeForm").firmwareModel
        compare(model.count, 2)
        compare(model.get(0).text, data.answer ? "fw_2.bin" : "fw_2.bin (сохранена)")
        compare(model.get(0).url, base + "/Korvo 7/release/fw_2.bin")
        compare(model.get(1).text, "fw_1.bin")
        compare(item("flashButton").visible, true)
        compare(item("retryButton").visible, true)
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
        showDevice(2, 0, [fileName])
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
        combo.popup.open()
        tryVerify(function () { return findChild(combo.popup.contentItem, "firmwareEntryText") })
        var entry = findChild(combo.popup.contentItem, "firmwareEntryText")
        compare(entry.text, fileName)
        verify(entry.contentWidth > 0.9 * plainWidth(entry.font, fileName), entry.contentWidth)
        combo.popup.close()

        link.showInfoMessage("<b>Ошибка</b> & <i>текст</i>\nвторая строка")
        var dialog = null
        for (var i = 0; i < window.overlay.children.length; ++i)
            if (findChild(window.overlay.children[i], "messageText"))
                dialog = window.overlay.children[i]
        verify(dialog)
        var message = findChild(dialog, "messageText")
        compare(message.lineCount, 2)
        fuzzyCompare(message.contentWidth,
                     Math.max(plainWidth(message.font, "<b>Ошибка</b> & <i>текст</i>"),
                              plainWidth(message.font, "вторая строка")), 1)
    }
}

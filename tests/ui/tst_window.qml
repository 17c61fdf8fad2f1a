import QtQuick 2.7
import QtTest 1.2
import Qt.labs.settings 1.1
import USB_StmFlasher_qml_module 1.0

WindowCase {
    name: "Window"

    Settings { id: store } // the window's own store (identity set by the test set-up)
    Text { id: plain; visible: false; textFormat: Text.PlainText } // a text's width shown as written
    SignalSpy { id: clicks; signalName: "clicked" }

    function cleanup() {
        test.listUnopenablePort("")
        test.clearCache()
        test.loadTranslation(["ru"])
    }

    function plainWidth(font, lines) { // of the widest of `lines`
        plain.font = font
        return Math.max.apply(null, lines.map(function (l) { plain.text = l; return plain.contentWidth }))
    }

    function verifyLiteral(shown, lines) {
        compare([shown.text, shown.lineCount], [lines.join("\n"), lines.length])
        fuzzyCompare(shown.contentWidth, plainWidth(shown.font, lines), 1)
    }

    function test_faces_data() {
        var ru = "Подключено - Korvo 7\n Текущая версия прошивки: 01.05"
        return [ // update: [visible, enabled]
            { tag: "offline", status: 0, dfu: 2, text: "Устройство не подключено", update: [false, true] },
            { tag: "application, no DfuInfo yet", status: 1, dfu: 0, text: ru, update: [true, false] },
            { tag: "application, DFU 1, English", lang: "en", status: 1, dfu: 1, update: [true, false],
              text: "Connected - Korvo 7\n Current firmware version: 01.05\n DFU version: 1 Board version: 3 Rev B" },
            { tag: "application, DFU 2", status: 1, text: ru + "\n Версия DFU: 2 Версия платы: 3 Rev B", update: [true, true] },
            { tag: "boot loader", status: 2, dfu: 2, update: [false, true], frame: true },
            { tag: "image being taken", status: 4, dfu: 2, update: [false, true], frame: true },
            { tag: "unknown status", status: 3, dfu: 2, update: [false, true] }
        ]
    }

    function test_faces(data) {
        openWindow(data.lang)
        showDevice(data.status, [], data.dfu)
        if (data.text)
            compare(item("informationLabel").text, data.text)
        compare([item("updateButton").visible, item("updateButton").enabled], data.update)
        compare([item("centreFrame").visible, item("localFileButton").enabled], [!!data.frame, data.status === 2])
    }

    function test_translationFollowsTheFirstUsableUiLanguage_data() {
        var en = ":/translations/trennic-flasher_en.qm"
        return [
            { tag: "English with a region", languages: ["en-GB"], file: en },
            { tag: "Russian before English", languages: ["ru-RU", "en-US"], file: "" },
            { tag: "German without a translation, then English", languages: ["de-DE", "en-US"], file: en },
            { tag: "German alone: the source texts", languages: ["de-DE"], file: "" }
        ]
    }

    function test_translationFollowsTheFirstUsableUiLanguage(data) {
        compare(test.loadTranslation(data.languages), data.file)
        openWindow()
        compare(item("updateButton").text, data.file ? "Update firmware" : "Обновить прошивку")
        test.loadTranslation(data.file ? ["ru"] : ["en"])
        test.retranslate()
        compare(item("updateButton").text, data.file ? "Обновить прошивку" : "Update firmware")
    }

    function test_firmwarePicker_data() {
        var three = ["fw_1.bin", "fw_3.bin", "fw_2.bin"]
        return [
            { tag: "empty list", names: [], index: -1, status: 2, display: "Нет доступных прошивок для этого устройства" },
            { tag: "none selected", names: three, index: -1, status: 2, display: "Выбрать прошивку ..." },
            { tag: "newest first", names: three, index: 0, status: 2, display: "fw_3.bin", flash: true },
            { tag: "image being taken", names: ["fw_2.bin"], index: 0, status: 4, display: "fw_2.bin" }
        ]
    }

    function test_firmwarePicker(data) {
        openWindow()
        showDevice(data.status, ["old.bin"])
        showDevice(data.status, data.names) // a refill replaces the entries
        var combo = item("firmwareComboBox")
        combo.currentIndex = data.index
        compare([combo.count, combo.displayText, item("flashButton").enabled], [data.names.length, data.display, !!data.flash])
        link.availableFirmwaresChanged() // without a device the link offers nothing
        compare(combo.count, 0)
    }

    function test_progress_data() { return [ { tag: "Russian", lang: "ru" }, { tag: "English, with room for its words", lang: "en" } ] }
    function test_progress(data) {
        openWindow(data.lang)
        showDevice(2, ["korvo7_v0200 beta.bin"])
        var bar = item("progressBar"), caption = item("progressCaption"), ru = data.lang === "ru"
        compare(bar.Accessible.name, ru ? "Ход прошивки" : "Flashing progress")
        var loading = ru ? "Загрузка прошивки…" : "Downloading…", flashing = ru ? "Прошивка… " : "Flashing… "
        var steps = [ // [signal, arguments, caption (empty: hidden with the bar), bar value]
            ["flashing_progress_changed", [0], "", 0],
            ["downloadProgress", [1000, 4000], loading, 25],
            ["flashing_progress_changed", [99], flashing + "99 %", 99],
            ["flashing_progress_changed", [100], "", 100],
            ["downloadProgress", [10, -1], loading, 0],
            ["showInfoMessage", ["a run's end"], "", 0]
        ]
        steps.forEach(function (s, i) {
            link[s[0]].apply(link, s[1])
            compare([caption.visible, bar.visible], [s[2] !== "", s[2] !== ""], "shown at step " + i)
            if (s[2] === "")
                return
            compare([caption.text, bar.value], [s[2], s[3]])
            verify(caption.contentWidth <= caption.width + 0.5)
            verifyInsideAndClear("centreFrame", 0, "progressCaption", ["progressBar", "localFileButton"])
            verifyInsideAndClear("centreFrame", 0, "progressBar", ["localFileButton", "flashButton"])
            verifyInsideAndClear("centreFrame", 0, "flashButton", ["firmwareComboBox", "localFileButton"])
        })
    }

    function test_localFile_missing() {
        openWindow()
        showDevice(2)
        window.flashLocalFile("file:///nonexistent/none.bin")
        tryVerify(function () { return openDialogs().length === 1 })
        compare(dialogText(), "Ошибка обновления: не удалось прочитать файл прошивки")
    }

    function test_wording_followsTheWindowsLanguage_data() {
        return [
            { tag: "success", result: DFU_client.FlashSucceeded, text: "Обновление успешно установлено!" },
            { tag: "image too small", result: DFU_client.FlashImageRefused, text: "Ошибка обновления: файл прошивки слишком мал" },
            { tag: "silent, English", lang: "en", result: DFU_client.FlashDeviceSilent, text: "Update failed: the device does not respond" },
            { tag: "unconfirmed, away, English", lang: "en", result: DFU_client.FlashUnconfirmed, text: "Update not "
              + "confirmed: the device restarted before confirming the last packet and did not come back in its application firmware" },
            { tag: "proxy, English", lang: "en", failure: DFU_client.ProxyFailed, detail: "127.0.0.1:3128", text: "proxy 127.0.0.1:3128 unavailable" },
            { tag: "downgrade refused, English", lang: "en", result: DFU_client.FlashDowngradeRefused, detail: "01.03",
              text: "Update failed: firmware version 01.03 is older than the installed one, and the downgrade was not confirmed" },
            { tag: "signature by another device's key", signature: FirmwareSignature.SignatureWrongDevice, text: "прошивка подписана для другого устройства" },
            { tag: "signature revoked, English", lang: "en", signature: FirmwareSignature.SignatureKeyRevoked, text: "the signing key has been revoked" }
        ]
    }

    function test_wording_followsTheWindowsLanguage(data) {
        openWindow(data.lang)
        var wording = findChild(window, "wording"), detail = data.detail || ""
        compare(data.signature ? wording.signatureText(data.signature)
                               : data.failure ? wording.failureText(data.failure, detail)
                                              : wording.runText(data.result, detail), data.text)
    }

    function test_message_opensADialogPerMessage() {
        openWindow()
        link.showInfoMessage("Первое")
        link.showInfoMessage(link.successMessage)
        var open = openDialogs()
        compare([open.length, findChild(open[0], "titleText").text, open[0].contentItem.Accessible.name, dialogText(0),
                 open[0].contentItem.Accessible.role], [2, "Внимание", "Внимание", "Первое", Accessible.Dialog])
        mouseClick(findChild(open[1], "acceptButton"))
        tryVerify(function () { return !open[1].visible })
        verify(open[0].visible)
    }

    function test_message_offersTheLogFolderAfterAFailedRun_data() {
        return [ { tag: "success: OK only", result: DFU_client.FlashSucceeded }, { tag: "interrupted: no word",
                   result: DFU_client.FlashInterrupted }, { tag: "lost port", result: DFU_client.FlashPortLost, failed: true } ]
    }

    function test_message_offersTheLogFolderAfterAFailedRun(data) {
        openWindow()
        link.showInfoMessage("the engine's text")
        link.runFinished(data.result, "the engine's text")
        var logButton = findChild(openDialogs()[0], "cancelButton")
        compare(logButton.visible, !!data.failed)
        if (!data.failed)
            return
        compare(logButton.text, "Открыть журнал")
        var before = test.openedUrls.length
        mouseClick(logButton)
        tryVerify(function () { return test.openedUrls.length === before + 1 })
        compare(test.openedUrls[before], link.logsFolderUrl)
    }

    function test_deviceReturn_data() {
        return [
            { tag: "back, the dialog open: added to it", back: true, dialogOpen: true,
              note: "Устройство перезапущено, версия прошивки: 01.08" },
            { tag: "away, the dialog closed: on the page, English", lang: "en", back: false, dialogOpen: false,
              note: "The device did not return to normal operation within 15 s. Check the connection." },
            { tag: "back after an unconfirmed run, whose message says so: nothing added", unconfirmed: true, back: true, note: "" },
            { tag: "away after an unconfirmed run: nothing added either", unconfirmed: true, back: false, note: "" }
        ]
    }

    function test_deviceReturn(data) {
        openWindow(data.lang)
        showDevice(2)
        link.showInfoMessage("Обновление успешно установлено!")
        link.runFinished(data.unconfirmed ? DFU_client.FlashUnconfirmed : DFU_client.FlashSucceeded, "")
        var dialog = window.lastMessageDialog
        if (!data.dialogOpen) {
            mouseClick(findChild(dialog, "acceptButton"))
            tryVerify(function () { return !window.lastMessageDialog })
        }
        link.setDevConnStatus(data.back ? 1 : 0)
        data.back ? link.deviceReturned("01.08") : link.deviceReturnTimedOut()
        var label = item("returnLabel"), shown = data.dialogOpen ? findChild(dialog, "messageText") : label
        compare([shown.text, label.visible], [(data.dialogOpen ? "Обновление успешно установлено!\n\n" : "") + data.note, !data.dialogOpen && data.note !== ""])
        link.runStarted("")
        compare(label.text, "")
    }

    function test_portProblem() {
        openWindow("en")
        var info = item("informationLabel"), problem = item("portProblemLabel"), alone = [info.text, info.y, info.height]
        test.listUnopenablePort("ttyKORVO" + new Array(120).join("9"))
        tryVerify(function () { return link.portProblem !== "" }, 5000)
        verify(problem.text.indexOf("Could not open port ttyKORVO999") === 0, problem.text)
        compare([problem.visible, problem.textFormat], [true, Text.PlainText])
        compare([info.text, info.y, info.height], alone)
        verify(problem.y >= (info.height + info.contentHeight) / 2, problem.y)
        verify(problem.x >= 0 && problem.x + problem.width <= window.width)
        verify(problem.y + problem.contentHeight <= window.height && problem.lineCount >= 2)
        link.setDevConnStatus(1)
        verify(!problem.visible, "hidden while a device is connected")
    }

    function test_position_data() {
        return [ { tag: "saved on a screen: restored", x: 30, y: 40 }, { tag: "right of all screens: centred",
                   x: 100000, y: 40, centred: true }, { tag: "never saved: centred", centred: true } ]
    }

    function test_position(data) {
        ["x", "y"].forEach(function (k) { store.setValue(k, data[k]) })
        store.sync()
        openWindow()
        var screen = Qt.application.screens[0]
        var frame = data.centred ? 10 : 0 // the platform may nudge the window by its frame
        fuzzyCompare(window.x, data.centred ? screen.virtualX + screen.width / 2 - 400 : data.x, frame)
        fuzzyCompare(window.y, data.centred ? screen.virtualY + screen.height / 2 - 125 : data.y, frame)
        window.x = 21
        window.y = 22
        window.destroy()
        tryVerify(function () { return Number(store.value("x", -1)) === 21 && Number(store.value("y", -1)) === 22 })
    }

    function test_catalogueFaces_data() {
        var unavailable = "Каталог прошивок недоступен", at = "Список прошивок от 05.03.2026 10:37"
        return [
            { tag: "application firmware, unavailable: the cause in the window's words", status: 1, error: true,
              text: unavailable + ": сервер отклонил соединение" },
            { tag: "boot loader, unavailable", status: 2, display: unavailable, retry: true },
            { tag: "boot loader, loading", status: 2, loading: true, display: "Загрузка списка прошивок…" },
            { tag: "stored, application firmware", status: 1, stored: true, error: true, text: "Нет связи с сервером. " + at },
            { tag: "stored, boot loader, English: the image marked, the date as US English writes it", lang: "en-US",
              status: 2, stored: true, marked: "fw_2.bin (saved)", text: "No connection to the server. Firmware list from 3/5/26 10:37 AM" },
            { tag: "stored, HTTP 503, boot loader: unmarked", answer: 503, status: 2, stored: true, marked: "fw_2.bin",
              text: "Ответ сервера: ошибка HTTP 503. " + at }
        ]
    }

    function test_catalogueFaces(data) {
        var base = data.answer ? test.serveStatus(data.answer) : "https://127.0.0.1:1/trennics_firmware"
        var image = base + "/Korvo 7/release/fw_2.bin"
        verify(!data.stored || test.storeCatalogue(base, '{"Korvo 7":{"release":["fw_1.bin","fw_2.bin"]}}',
                                                   "2026-03-05 10:37", image))
        openWindow(data.lang)
        showDevice(data.status, [])
        test.setBaseUrl(base)
        link.retryCatalogue() // under way until the answer comes in
        var state = data.stored && !data.answer ? DFU_client.CatalogueOffline : DFU_client.CatalogueFailed
        if (!data.loading)
            tryCompare(link, "catalogueState", state, 10000)
        compare([item("catalogueErrorLabel").visible, item("catalogueErrorLabel").textFormat], [!!data.error, Text.PlainText])
        if (data.text)
            compare(item(data.error ? "catalogueErrorLabel" : "offlineLabel").text, data.text)
        if (data.display)
            compare(item("firmwareComboBox").displayText, data.display)
        var retry = data.status === 2 && (data.stored || !!data.retry)
        compare([item("retryButton").visible, item("flashButton").visible], [retry, data.status === 2 && !data.retry])
        var model = item("homeForm").firmwareModel
        if (data.marked) {
            compare([model.count, model.get(0).text, model.get(0).url], [2, data.marked, image])
            verifyInsideAndClear("centreFrame", 4, "retryButton",
                                 ["firmwareComboBox", "flashButton", "localFileButton", "offlineLabel"])
        }
        if (!retry)
            return
        mouseClick(item("retryButton"))
        compare(link.catalogueState, DFU_client.CatalogueLoading)
        tryCompare(link, "catalogueState", state, 10000)
        compare(model.count, data.stored ? 2 : 0)
        if (data.stored)
            return
        showDevice(2, ["fw_1.bin"])
        compare([item("firmwareComboBox").displayText, item("retryButton").visible], ["Выбрать прошивку ...", false])
    }

    function test_outsideText_isShownLiterally() {
        openWindow()
        var fileName = '<img src="https://127.0.0.1:1/x.png">fw.bin'
        showDevice(2, [fileName], 0)
        link.deviceName = "<b>Korvo</b> & <i>7</i>"
        link.devConnStatusChanged()
        verifyLiteral(item("informationLabel"), ["Подключено - <b>Korvo</b> & <i>7</i>", " Текущая версия прошивки: 01.05"])
        var combo = item("firmwareComboBox")
        combo.currentIndex = 0
        var shown = findChild(combo, "firmwareComboText")
        compare(shown.text, fileName)
        verify(shown.contentWidth > 0.9 * plainWidth(shown.font, [fileName]), shown.contentWidth)
        link.showInfoMessage("<b>Ошибка</b> & <i>текст</i>\nвторая строка")
        verifyLiteral(findChild(openDialogs()[0], "messageText"), ["<b>Ошибка</b> & <i>текст</i>", "вторая строка"])
    }

    function test_keyboard_data() {
        return [
            { tag: "application firmware: the update button alone, Space presses it", status: 1, index: -1,
              order: ["updateButton", "updateButton"], key: Qt.Key_Space },
            { tag: "boot loader, an image chosen: list, file, flash; Return presses flash", status: 2, index: 0,
              order: ["firmwareComboBox", "localFileButton", "flashButton"], key: Qt.Key_Return },
            { tag: "boot loader, nothing chosen: the disabled flash button is passed over", status: 2, index: -1,
              order: ["firmwareComboBox", "localFileButton", "firmwareComboBox"] }
        ]
    }

    function test_keyboard(data) {
        var names = { updateButton: "Обновить прошивку", firmwareComboBox: "Список прошивок",
                      flashButton: "Прошить выбранное", localFileButton: "Из файла…" }
        openWindow()
        window.requestActivate()
        tryVerify(function () { return window.active }, 5000, "the window has the keyboard")
        showDevice(data.status, ["fw_1.bin", "fw_2.bin"])
        item("firmwareComboBox").currentIndex = data.index
        var unframed = item("localFileButton").background.border.width
        for (var i = 0; i < data.order.length; ++i) {
            keyClick(Qt.Key_Tab)
            var focused = window.activeFocusItem
            compare([focused.objectName, focused.Accessible.name], [data.order[i], names[data.order[i]]])
            verify(!/Button$/.test(focused.objectName) || focused.background.border.width > unframed, "framed")
        }
        if (!data.key)
            return
        clicks.target = focused
        clicks.clear()
        keyClick(data.key)
        compare(clicks.count, 1)
        if (data.status !== 2)
            return
        tryVerify(function () { return window.lastMessageDialog }, 10000)
        compare(findChild(window.lastMessageDialog, "acceptButton").Accessible.name, "Ок")
        keyClick(Qt.Key_Enter)
        tryVerify(function () { return !window.lastMessageDialog })
    }
}

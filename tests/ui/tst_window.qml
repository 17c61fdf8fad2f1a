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

    function test_message_opensADialogPerMessage() {
        openWindow()
        link.showInfoMessage("Первое")
        link.showInfoMessage("Второе")
        var open = []
        for (var i = 0; i < window.overlay.children.length; ++i)
            if (findChild(window.overlay.children[i], "acceptButton"))
                open.push(window.overlay.children[i])
        compare(open.length, 2)
        compare(findChild(open[0], "titleText").text, "Внимание")
        compare(findChild(open[0], "messageText").text, "Первое")
        compare(findChild(open[1], "messageText").text, "Второе")
        compare(findChild(open[1], "cancelButton").visible, false)
        // The second lies over the first; answering it leaves the first open.
        mouseClick(findChild(open[1], "acceptButton"))
        tryVerify(function () { return !open[1].visible })
        verify(open[0].visible)
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

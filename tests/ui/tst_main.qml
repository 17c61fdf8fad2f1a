import QtQuick 2.7
import QtTest 1.2
import Qt.labs.settings 1.1
import USB_StmFlasher_qml_module 1.0

// The real main window: firmware list refresh, message dialogs, and where
// the window opens.
TestCase {
    id: testCase
    name: "Main"
    when: windowShown

    property var window
    property var link
    readonly property int frameAllowance: 10

    // The window's own settings store (the organisation and application
    // names set by the test set-up).
    Settings {
        id: store
    }

    function openWindow() {
        var component = Qt.createComponent("qrc:/qml/Main.qml")
        compare(component.status, Component.Ready, component.errorString())
        window = createTemporaryObject(component, null)
        verify(window)
        link = findChild(window, "usb_stmFlasher")
        verify(link)
        waitForRendering(window.contentItem)
    }

    function item(objectName) {
        var found = findChild(window.contentItem, objectName)
        verify(found, objectName)
        return found
    }

    // The open message dialogs, bottom first: their items on the window's
    // overlay.
    function dialogs() {
        var open = []
        var layer = window.overlay.children
        for (var i = 0; i < layer.length; ++i) {
            var acceptButton = findChild(layer[i], "acceptButton")
            if (layer[i].visible && acceptButton)
                open.push({
                              "title": findChild(layer[i], "titleText").text,
                              "text": findChild(layer[i], "messageText").text,
                              "cancelShown": findChild(layer[i], "cancelButton").visible,
                              "acceptButton": acceptButton
                          })
        }
        return open
    }

    function init() {
        store.setValue("x", undefined)
        store.setValue("y", undefined)
        store.sync()
    }

    function test_window_isFixedAndTitled() {
        openWindow()
        compare(window.title, "Flashing tool")
        compare(window.width, 800)
        compare(window.height, 250)
        compare(window.minimumWidth, 800)
        compare(window.maximumWidth, 800)
        compare(window.minimumHeight, 250)
        compare(window.maximumHeight, 250)
        compare(AppStyle.appWindowWidth, 800)
        fuzzyCompare(AppStyle.pixelScale, 0.625, 1e-9)
        verify(AppStyle.fontFamily.length > 0, "display face loaded")
    }

    function test_firmwareList_isSortedNewestFirst() {
        openWindow()
        window.showFirmwares([
            { "fileName": "fw_1.bin", "fileUrl": "https://127.0.0.1/f/fw_1.bin" },
            { "fileName": "fw_3.bin", "fileUrl": "https://127.0.0.1/f/fw_3.bin" },
            { "fileName": "fw_2.bin", "fileUrl": "https://127.0.0.1/f/fw_2.bin" }
        ])
        var model = findChild(window.contentItem, "homeForm").firmwareModel
        compare(model.count, 3)
        var expected = ["fw_3.bin", "fw_2.bin", "fw_1.bin"]
        for (var i = 0; i < expected.length; ++i) {
            compare(model.get(i).text, expected[i])
            compare(model.get(i).url, "https://127.0.0.1/f/" + expected[i])
        }
    }

    function test_firmwareList_refillReplacesTheOldEntries() {
        openWindow()
        window.showFirmwares([{ "fileName": "a.bin", "fileUrl": "u:a" }, { "fileName": "b.bin", "fileUrl": "u:b" }])
        window.showFirmwares([{ "fileName": "c.bin", "fileUrl": "u:c" }])
        var model = findChild(window.contentItem, "homeForm").firmwareModel
        compare(model.count, 1)
        compare(model.get(0).text, "c.bin")
    }

    function test_firmwareList_withoutADeviceIsEmpty() {
        openWindow()
        window.showFirmwares([{ "fileName": "old.bin", "fileUrl": "u:old" }])
        link.availableFirmwaresChanged()
        compare(findChild(window.contentItem, "homeForm").firmwareModel.count, 0)
        compare(link.firmwares.length, 0)
        compare(item("firmwareComboBox").displayText, "Нет доступных прошивок для этого устройства")
    }

    function test_message_opensADialogPerMessage() {
        openWindow()
        link.showInfoMessage("Первое")
        link.showInfoMessage("Второе")
        var open = dialogs()
        compare(open.length, 2)
        for (var i = 0; i < open.length; ++i) {
            compare(open[i].title, "Внимание")
            compare(open[i].cancelShown, false)
        }
        compare(open[0].text, "Первое")
        compare(open[1].text, "Второе")

        // The second lies over the first; answering it leaves the first open.
        mouseClick(open[1].acceptButton)
        tryVerify(function () { return dialogs().length === 1 })
        compare(dialogs()[0].text, "Первое")
    }

    function test_position_savedOnAScreenIsRestored() {
        store.setValue("x", 30)
        store.setValue("y", 40)
        store.sync()
        openWindow()
        compare(window.x, 30)
        compare(window.y, 40)
    }

    function test_position_offEveryScreenIsCentred_data() {
        return [
            { tag: "right of all screens", x: 100000, y: 40 },
            { tag: "above all screens", x: 30, y: -5000 },
            { tag: "never saved", x: undefined, y: undefined }
        ]
    }

    function test_position_offEveryScreenIsCentred(data) {
        store.setValue("x", data.x)
        store.setValue("y", data.y)
        store.sync()
        openWindow()
        // The platform may nudge the window by its frame.
        var screen = Qt.application.screens[0]
        fuzzyCompare(window.x, screen.virtualX + screen.width / 2 - 400, frameAllowance)
        fuzzyCompare(window.y, screen.virtualY + screen.height / 2 - 125, frameAllowance)
    }

    function test_position_movesAreRemembered() {
        openWindow()
        window.x = 21
        window.y = 22
        window.destroy()
        tryVerify(function () { return Number(store.value("x", -1)) === 21 })
        compare(Number(store.value("y", -1)), 22)
    }
}

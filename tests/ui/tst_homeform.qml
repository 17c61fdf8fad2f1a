import QtQuick 2.7
import QtTest 1.2
import USB_StmFlasher_qml_module 1.0

// The page's faces, texts and enabled rules, bound to a real device link
// whose properties the tests set as the receive path would.
Item {
    id: root
    width: 800
    height: 250

    TestCase {
        id: testCase
        name: "HomeForm"
        when: windowShown

        property var link
        property var form

        Component {
            id: linkComponent
            USB_StmFlasher {}
        }

        function item(objectName) {
            var found = findChild(form, objectName)
            verify(found, objectName)
            return found
        }

        // The link resets its device fields when it goes offline, so the status
        // comes first.
        function showDevice(status, dfuVersion) {
            link.setDevConnStatus(status)
            link.deviceName = "Korvo 7"
            link.currentFirmwareVersion = "01.05"
            link.dfuVersion = dfuVersion
            link.boardVer = 3
            link.boardRev = "B"
        }

        function fillModel(names) {
            for (var i = 0; i < names.length; ++i)
                form.firmwareModel.append({ "text": names[i], "url": "https://127.0.0.1/" + names[i] })
        }

        function init() {
            AppStyle.appWindowWidth = 800
            link = createTemporaryObject(linkComponent, root)
            var page = Qt.createComponent("qrc:/qml/HomeForm.ui.qml")
            compare(page.status, Component.Ready, page.errorString())
            form = createTemporaryObject(page, root, { "flasher": link })
            verify(form)
        }

        function test_statusText_data() {
            var connected = "Подключено - Korvo 7\n Текущая версия прошивки: 01.05"
            var withDfu = function (dfu) {
                return connected + "\n Версия DFU: " + dfu + " Версия платы: 3 Rev B"
            }
            return [
                { tag: "offline", status: 0, dfu: 0, expected: "Устройство не подключено" },
                { tag: "offline with stale DfuInfo", status: 0, dfu: 2, expected: "Устройство не подключено" },
                { tag: "application firmware before DfuInfo", status: 1, dfu: 0, expected: connected },
                { tag: "application firmware, DFU 1", status: 1, dfu: 1, expected: withDfu(1) },
                { tag: "application firmware, DFU 2", status: 1, dfu: 2, expected: withDfu(2) },
                { tag: "boot loader, DFU 2", status: 2, dfu: 2, expected: withDfu(2) },
                { tag: "taking an image", status: 4, dfu: 2, expected: withDfu(2) }
            ]
        }

        function test_statusText(data) {
            showDevice(data.status, data.dfu)
            compare(item("informationLabel").text, data.expected)
        }

        function test_informationLabel_fillsPageOnlyWhileOffline() {
            var label = item("informationLabel")
            compare(label.height, form.height)
            showDevice(1, 2)
            verify(label.height < form.height / 2)
            fuzzyCompare(label.height, 1.2 * label.contentHeight, 0.5)
            link.setDevConnStatus(0)
            compare(label.height, form.height)
        }

        function test_faces_data() {
            return [
                { tag: "offline", status: 0, dfu: 2, update: false, updateEnabled: true, frame: false },
                { tag: "application, DFU 0", status: 1, dfu: 0, update: true, updateEnabled: false, frame: false },
                { tag: "application, DFU 1", status: 1, dfu: 1, update: true, updateEnabled: false, frame: false },
                { tag: "application, DFU 2", status: 1, dfu: 2, update: true, updateEnabled: true, frame: false },
                { tag: "boot loader", status: 2, dfu: 2, update: false, updateEnabled: true, frame: true },
                { tag: "taking an image", status: 4, dfu: 2, update: false, updateEnabled: true, frame: true },
                { tag: "unknown status", status: 3, dfu: 2, update: false, updateEnabled: true, frame: false }
            ]
        }

        function test_faces(data) {
            showDevice(data.status, data.dfu)
            compare(item("updateButton").visible, data.update)
            compare(item("updateButton").enabled, data.updateEnabled)
            compare(item("centreFrame").visible, data.frame)
        }

        function test_firmwarePicker_data() {
            return [
                { tag: "empty list", names: [], index: -1, status: 2,
                  display: "Нет доступных прошивок для этого устройства", flashEnabled: false },
                { tag: "entries, none selected", names: ["fw_2.bin", "fw_1.bin"], index: -1, status: 2,
                  display: "Выбрать прошивку ...", flashEnabled: false },
                { tag: "entry selected", names: ["fw_2.bin", "fw_1.bin"], index: 1, status: 2,
                  display: "fw_1.bin", flashEnabled: true },
                { tag: "entry selected, boot loader gone", names: ["fw_2.bin"], index: 0, status: 4,
                  display: "fw_2.bin", flashEnabled: false }
            ]
        }

        function test_firmwarePicker(data) {
            showDevice(data.status, 2)
            fillModel(data.names)
            var combo = item("firmwareComboBox")
            combo.currentIndex = data.index
            compare(combo.displayText, data.display)
            compare(item("flashButton").enabled, data.flashEnabled)
        }

        function test_firmwarePicker_clearedListReadsEmptyAndCannotFlash() {
            showDevice(2, 2)
            var combo = item("firmwareComboBox")
            fillModel(["fw_3.bin"])
            combo.currentIndex = 0
            compare(item("flashButton").enabled, true)
            form.firmwareModel.clear()
            compare(combo.displayText, "Нет доступных прошивок для этого устройства")
            compare(item("flashButton").enabled, false)
        }

        function test_progressBar_isShownWhileBetweenNoneAndAll() {
            showDevice(2, 2)
            var bar = item("progressBar")
            verify(bar.visible, "shown before the first report")
            var steps = [[0, false], [1, true], [50, true], [99, true], [100, false]]
            for (var i = 0; i < steps.length; ++i) {
                link.flashing_progress_changed(steps[i][0])
                compare(bar.visible, steps[i][1], "progress " + steps[i][0])
                compare(bar.value, steps[i][0])
            }
        }

        function test_progressBar_followsTheRunWhileTheBootLoaderTakesTheImage() {
            showDevice(2, 2)
            link.setDevConnStatus(4)
            link.flashing_progress_changed(50)
            compare(item("progressBar").visible, true)
            compare(item("flashButton").enabled, false)
        }

        function test_progressBar_isHiddenWithItsFrameOutsideTheBootLoader() {
            showDevice(1, 2)
            link.flashing_progress_changed(50)
            compare(item("progressBar").visible, false)
            link.setDevConnStatus(2)
            compare(item("progressBar").visible, true)
        }
    }
}

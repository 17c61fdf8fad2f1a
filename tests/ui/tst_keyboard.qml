import QtQuick 2.7
import QtTest 1.2
import USB_StmFlasher_qml_module 1.0

// The real main window driven by the keyboard alone: Tab through each face's
// controls in reading order, Space and Enter on the focused button, Enter and
// Escape on the message dialog, the focus frame, and the names screen readers
// announce.
WindowCase {
    name: "Keyboard"

    function init() {
        openWindow()
        window.requestActivate()
        tryVerify(function () { return window.active }, 5000, "the window has the keyboard")
    }

    // The focused item after each Tab, by objectName.
    function tabOrder(presses) {
        var order = []
        for (var i = 0; i < presses; ++i) {
            keyClick(Qt.Key_Tab)
            order.push(window.activeFocusItem ? window.activeFocusItem.objectName : "")
        }
        return order
    }

    function test_tabFollowsTheReadingOrder_data() {
        return [
            { tag: "application firmware: the update button alone", status: 1, names: [],
              index: -1, order: ["updateButton", "updateButton"] },
            { tag: "boot loader, an image chosen: list, file, flash, round again", status: 2,
              names: ["fw_1.bin", "fw_2.bin"], index: 0,
              order: ["firmwareComboBox", "localFileButton", "flashButton", "firmwareComboBox"] },
            { tag: "boot loader, nothing chosen: the disabled flash button is passed over",
              status: 2, names: ["fw_1.bin"], index: -1,
              order: ["firmwareComboBox", "localFileButton", "firmwareComboBox"] },
            { tag: "image being taken: only the list", status: 4, names: ["fw_1.bin"], index: 0,
              order: ["firmwareComboBox", "firmwareComboBox"] }
        ]
    }

    function test_tabFollowsTheReadingOrder(data) {
        showDevice(data.status, data.names)
        item("firmwareComboBox").currentIndex = data.index
        compare(tabOrder(data.order.length), data.order)
    }

    function test_focusedButtonIsFramed_data() {
        return [
            { tag: "update button, the face's only control", status: 1, button: "updateButton", alone: true },
            { tag: "flash button", status: 2, button: "flashButton", alone: false }
        ]
    }

    function test_focusedButtonIsFramed(data) {
        showDevice(data.status, ["fw_1.bin"])
        item("firmwareComboBox").currentIndex = 0
        var button = item(data.button)
        var unfocused = { width: button.background.border.width, color: String(button.background.border.color) }
        for (var i = 0; i < 4 && window.activeFocusItem !== button; ++i)
            keyClick(Qt.Key_Tab)
        compare(window.activeFocusItem, button)
        verify(button.visualFocus)
        verify(button.background.border.width > unfocused.width)
        verify(String(button.background.border.color) !== unfocused.color)
        if (data.alone)
            return
        // Leaving it takes the frame away.
        keyClick(Qt.Key_Tab)
        verify(!button.visualFocus)
        compare(button.background.border.width, unfocused.width)
    }

    function test_keysPressTheFocusedButton_data() {
        return [
            { tag: "Space", key: Qt.Key_Space },
            { tag: "Return", key: Qt.Key_Return },
            { tag: "Enter", key: Qt.Key_Enter }
        ]
    }

    function test_keysPressTheFocusedButton(data) {
        showDevice(1)
        var spy = createTemporaryQmlObject(
                    "import QtTest 1.2; SignalSpy { signalName: \"clicked\" }", window)
        spy.target = item("updateButton")
        keyClick(Qt.Key_Tab)
        keyClick(data.key)
        compare(spy.count, 1)
    }

    function test_messageDialogAnswersKeys_data() {
        return [
            { tag: "Enter: OK", key: Qt.Key_Enter, accepted: true },
            { tag: "Return: OK", key: Qt.Key_Return, accepted: true },
            { tag: "Escape: closed", key: Qt.Key_Escape, accepted: false }
        ]
    }

    function test_messageDialogAnswersKeys(data) {
        link.showInfoMessage(link.successMessage)
        var dialog = window.lastMessageDialog
        verify(dialog && dialog.visible)
        var accepted = false
        dialog.onAccepted.connect(function () { accepted = true })
        keyClick(data.key)
        tryVerify(function () { return !window.lastMessageDialog || !window.lastMessageDialog.visible })
        compare(accepted, data.accepted)
    }

    // Update, then flash the newest image and confirm the message: no mouse.
    function test_wholeRoadByKeysOnly() {
        showDevice(1)
        var clicks = createTemporaryQmlObject(
                    "import QtTest 1.2; SignalSpy { signalName: \"clicked\" }", window)
        clicks.target = item("updateButton")
        keyClick(Qt.Key_Tab)
        compare(window.activeFocusItem, item("updateButton"))
        keyClick(Qt.Key_Return) // sendToKorvo(1, 13, 0): restart into the boot loader
        compare(clicks.count, 1)

        // The boot loader reports with its list.
        showDevice(2, ["fw_1.bin", "fw_3.bin", "fw_2.bin"])
        var messages = createTemporaryQmlObject(
                    "import QtTest 1.2; SignalSpy { signalName: \"showInfoMessage\" }", window)
        messages.target = link
        var downloads = createTemporaryQmlObject(
                    "import QtTest 1.2; SignalSpy { signalName: \"runStarted\" }", window)
        downloads.target = link
        var combo = item("firmwareComboBox")
        keyClick(Qt.Key_Tab)
        compare(window.activeFocusItem, combo)
        keyClick(Qt.Key_Down)
        compare(combo.currentIndex, 0)
        compare(combo.currentText, "fw_3.bin")
        keyClick(Qt.Key_Tab)
        compare(window.activeFocusItem, item("localFileButton"))
        keyClick(Qt.Key_Tab)
        compare(window.activeFocusItem, item("flashButton"))
        keyClick(Qt.Key_Space) // flashFromUrl("u:fw_3.bin")
        // The image cannot be fetched from u:, so the run ends with its message.
        tryCompare(messages, "count", 1, 10000)
        compare(messages.signalArguments[0][0], "Ошибка обновления: не удалось загрузить прошивку")
        var dialog = window.lastMessageDialog
        verify(dialog && dialog.visible)
        keyClick(Qt.Key_Enter)
        tryVerify(function () { return !window.lastMessageDialog })
    }

    function test_everyControlHasAName_data() {
        return [
            { tag: "update button", status: 1, item: "updateButton", name: "Обновить прошивку" },
            { tag: "firmware list", status: 2, item: "firmwareComboBox", name: "Список прошивок" },
            { tag: "flash button", status: 2, item: "flashButton", name: "Прошить выбранное" },
            { tag: "local file button", status: 2, item: "localFileButton", name: "Из файла…" },
            { tag: "progress bar", status: 2, item: "progressBar", name: "Ход прошивки" }
        ]
    }

    function test_everyControlHasAName(data) {
        showDevice(data.status)
        compare(item(data.item).Accessible.name, data.name)
    }

    function test_messageDialogIsNamedByItsTitle() {
        link.showInfoMessage(link.successMessage)
        var dialog = window.lastMessageDialog
        compare(dialog.contentItem.Accessible.name, "Внимание")
        compare(dialog.contentItem.Accessible.role, Accessible.Dialog)
        compare(findChild(dialog, "acceptButton").Accessible.name, "Ок")
    }
}

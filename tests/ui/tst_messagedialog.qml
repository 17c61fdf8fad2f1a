import QtQuick 2.7
import QtTest 1.2
import USB_StmFlasher_qml_module 1.0

// The message dialog component: how it opens, when OK may be pressed, what it
// hands back, and when it goes away.
Item {
    id: root
    width: 800
    height: 250

    TestCase {
        id: testCase
        name: "MessageDialog"
        when: windowShown

        property var component

        function open(properties) {
            var props = properties || {}
            props.objectName = "dialogUnderTest"
            var dialog = component.createObject(root, props)
            verify(dialog)
            return dialog
        }

        function gone() {
            return findChild(root, "dialogUnderTest") === null
        }

        function part(dialog, objectName) {
            var found = findChild(dialog, objectName)
            verify(found, objectName)
            return found
        }

        function typeText(text) {
            for (var i = 0; i < text.length; ++i)
                keyClick(text[i])
        }

        function initTestCase() {
            AppStyle.appWindowWidth = 800
            component = Qt.createComponent("qrc:/qml/components/MessageDialog.qml")
            compare(component.status, Component.Ready, component.errorString())
        }

        function cleanup() {
            var left = findChild(root, "dialogUnderTest")
            while (left) {
                left.destroy()
                tryVerify(gone)
                left = findChild(root, "dialogUnderTest")
            }
        }

        function test_defaults_areAWarningWithOneButton() {
            var dialog = open({ "dialogText": "Готово" })
            verify(dialog.opened || dialog.visible)
            compare(dialog.dialogTitle, "Внимание!")
            compare(part(dialog, "titleText").text, "Внимание!")
            compare(part(dialog, "messageText").text, "Готово")
            compare(part(dialog, "acceptButton").text, "Ок")
            compare(part(dialog, "cancelButton").text, "Отмена")
            compare(part(dialog, "cancelButton").visible, false)
            verify(part(dialog, "acceptButton").enabled)
            verify(dialog.modal)
        }

        function test_accept_emitsOnceAndDestroysTheDialog() {
            var dialog = open({ "dialogText": "Готово" })
            var accepted = 0
            dialog.onAccepted.connect(function () { ++accepted })
            mouseClick(part(dialog, "acceptButton"))
            compare(accepted, 1)
            tryVerify(gone)
        }

        function test_cancel_emitsAndDestroysTheDialog() {
            var dialog = open({ "isCancelBtnVisible": true })
            var accepted = 0
            var canceled = 0
            dialog.onAccepted.connect(function () { ++accepted })
            dialog.onCanceled.connect(function () { ++canceled })
            verify(part(dialog, "cancelButton").visible)
            compare(part(dialog, "acceptButton").width, part(dialog, "cancelButton").width)
            mouseClick(part(dialog, "cancelButton"))
            compare(canceled, 1)
            compare(accepted, 0)
            tryVerify(gone)
        }

        function test_escape_closesWithoutAnswering() {
            var dialog = open({ "dialogText": "Готово" })
            var answers = 0
            dialog.onAccepted.connect(function () { ++answers })
            dialog.onCanceled.connect(function () { ++answers })
            keyClick(Qt.Key_Escape)
            tryVerify(function () { return !dialog.visible })
            compare(answers, 0)
            verify(!gone(), "closed, not destroyed")
        }

        function test_acceptDelay_keepsOkDisabledAtFirst() {
            var dialog = open({ "acceptBtnDelay": 150 })
            var ok = part(dialog, "acceptButton")
            compare(ok.enabled, false)
            tryCompare(ok, "enabled", true)
        }

        function test_textInput_okNeedsTextAndHandsBackTheTrimmedEntry_data() {
            return [
                { tag: "given text", initial: "  Korvo 7 ", typed: "", enabled: true, result: "Korvo 7" },
                { tag: "blank", initial: "   ", typed: "", enabled: false, result: "" },
                { tag: "typed over the selection", initial: "old", typed: " new ", enabled: true, result: "new" }
            ]
        }

        function test_textInput_okNeedsTextAndHandsBackTheTrimmedEntry(data) {
            var dialog = open({ "isTextInput": true, "dialogText": data.initial })
            var input = part(dialog, "textInput")
            verify(input.visible)
            verify(!part(dialog, "messageText").visible)
            verify(input.activeFocus)
            typeText(data.typed)
            compare(part(dialog, "acceptButton").enabled, data.enabled)
            if (!data.enabled)
                return
            var handedBack = null
            dialog.onAccepted.connect(function () { handedBack = dialog.dialogText })
            keyClick(Qt.Key_Return)
            compare(handedBack, data.result)
            tryVerify(gone)
        }

        function test_intInput_handsBackTheTypedNumber() {
            var dialog = open({ "isIntInput": true, "intValue": 42, "intTo": 500 })
            var input = part(dialog, "intInput")
            verify(input.visible)
            compare(input.text, "42")
            compare(input.intTo, 500)
            verify(input.activeFocus)
            typeText("317")
            var handedBack = -1
            dialog.onAccepted.connect(function () { handedBack = dialog.intValue })
            mouseClick(part(dialog, "acceptButton"))
            compare(handedBack, 317)
        }

        function test_floatInput_handsBackTheTypedNumber() {
            var dialog = open({ "isFloatInput": true, "floatValue": 2.5, "floatTo": 100 })
            var input = part(dialog, "floatInput")
            verify(input.visible)
            verify(input.enabled)
            compare(input.text, "2.50")
            typeText("7,25")
            var handedBack = -1
            dialog.onAccepted.connect(function () { handedBack = dialog.floatValue })
            keyClick(Qt.Key_Enter)
            fuzzyCompare(handedBack, 7.25, 1e-9)
        }
    }
}

import QtQuick 2.7
import QtTest 1.2
import USB_StmFlasher_qml_module 1.0

// The integer and decimal fields of the message dialog: what they accept,
// the value they report, and the colours that tell the user whether the entry
// is usable.
Item {
    id: root
    width: 800
    height: 250

    TestCase {
        id: testCase
        name: "NumberFields"
        when: windowShown

        readonly property color acceptableText: "white"
        readonly property color refusedText: "#ff978f"

        function field(file, properties) {
            var component = Qt.createComponent("qrc:/qml/components/" + file)
            compare(component.status, Component.Ready, component.errorString())
            var created = createTemporaryObject(component, root, properties || {})
            verify(created)
            return created
        }

        function typeInto(input, text) {
            input.forceActiveFocus()
            input.selectAll()
            if (text.length === 0)
                keyClick(Qt.Key_Delete)
            for (var i = 0; i < text.length; ++i)
                keyClick(text[i])
        }

        function initTestCase() {
            AppStyle.appWindowWidth = 800
        }

        function test_intField_data() {
            return [
                { tag: "in range", typed: "250", text: "250", value: 250, signals: 2, acceptable: true },
                { tag: "lower bound", typed: "10", text: "10", value: 10, signals: 1, acceptable: true },
                { tag: "below the range", typed: "5", text: "5", value: 77, signals: 0, acceptable: false },
                { tag: "above the range is not taken", typed: "3000", text: "300", value: 300, signals: 2, acceptable: true },
                { tag: "letters are not taken", typed: "4a", text: "4", value: 77, signals: 0, acceptable: false },
                { tag: "empty", typed: "", text: "", value: 77, signals: 0, acceptable: false }
            ]
        }

        function test_intField(data) {
            var input = field("IntTextField.qml", { "intFrom": 10, "intTo": 500, "intValue": 77 })
            var entered = 0
            input.validIntEntered.connect(function () { ++entered })
            typeInto(input, data.typed)
            compare(input.text, data.text)
            compare(input.intValue, data.value)
            compare(entered, data.signals)
            compare(input.acceptableInput, data.acceptable)
            compare(Qt.colorEqual(input.color, data.acceptable ? acceptableText : refusedText), true)
            compare(Qt.colorEqual(input.background.border.color,
                                  data.acceptable ? "lightGreen" : refusedText), true)
            compare(Qt.colorEqual(input.background.color, data.text.length > 0 ? "#303030" : "#ff7f7f"),
                    true)
        }

        function test_intField_showsOutsideValuesOnlyWithoutFocus() {
            var input = field("IntTextField.qml")
            compare(input.text, "0")
            input.intValue = 12
            compare(input.text, "12")
            compare(Qt.colorEqual(input.background.border.color, "gray"), true)
            typeInto(input, "3")
            input.intValue = 99
            compare(input.text, "3", "the user's entry is not overwritten while typing")
        }

        function test_floatField_data() {
            return [
                { tag: "point", typed: "12.5", text: "12.5", value: 12.5, acceptable: true },
                { tag: "comma read as a point", typed: "7,25", text: "7,25", value: 7.25, acceptable: true },
                { tag: "third decimal refused", typed: "1.234", text: "1.23", value: 1.23, acceptable: true },
                { tag: "above the range", typed: "150", text: "150", value: 15, acceptable: false },
                { tag: "above the range with a comma", typed: "150,5", text: "150.5", value: 15, acceptable: false }
            ]
        }

        function test_floatField(data) {
            var input = field("FloatTextField.qml", { "floatDec": 2, "floatFrom": 1, "floatTo": 100,
                                                      "floatValue": 3, "enabled": true })
            typeInto(input, data.typed)
            compare(input.text, data.text)
            fuzzyCompare(input.floatValue, data.value, 1e-9)
            compare(input.acceptable, data.acceptable)
            compare(Qt.colorEqual(input.color, data.acceptable ? acceptableText : refusedText), true)
        }

        function test_floatField_showsOutsideValuesWithItsDecimals() {
            var input = field("FloatTextField.qml", { "floatDec": 2 })
            compare(input.text, "0.00")
            compare(input.enabled, false)
            input.floatValue = 3.14159
            compare(input.text, "3.14")
            input.floatValue = 0
            compare(input.text, "0.00")
        }
    }
}

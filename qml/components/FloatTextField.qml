import QtQuick 2.15
import QtQuick.Controls 2.0
import USB_StmFlasher_qml_module 1.0

// Decimal entry on a dark field: a number in [floatFrom, floatTo] with at most
// floatDec decimals; a comma is read as a decimal point. Disabled until its
// user enables it.
TextField {
    id: field

    property real floatValue: 0.001
    property real floatFrom: 0.001
    property real floatTo: 10000
    property int floatDec: 3
    property string labelTxt: ""

    signal validFloatEntered

    // The validator checks the shape; the range is checked on the number.
    readonly property bool acceptable: isAcceptable(text, acceptableInput)

    function numberIn(entry) {
        return Number(entry.replace(",", "."))
    }
    function isAcceptable(entry, shapeAccepted) {
        var value = numberIn(entry)
        return shapeAccepted && entry.length > 0 && !isNaN(value)
                && value >= floatFrom && value <= floatTo
    }
    function zeroText() {
        return floatDec >= 2 ? "0.00" : floatDec === 1 ? "0.0" : "0"
    }
    function valueText(value) {
        return value === 0 ? zeroText() : value.toFixed(floatDec)
    }

    enabled: false
    maximumLength: 12
    height: AppStyle.textInputHeight
    text: zeroText()
    validator: RegularExpressionValidator {
        regularExpression: field.floatDec > 0
                           ? new RegExp("^[0-9]*([.,][0-9]{0," + field.floatDec + "})?$")
                           : /^[0-9]*$/
    }
    color: acceptable ? "white" : "#ff978f"
    font.pixelSize: height > 1 ? height / 2 : 1
    selectByMouse: true
    opacity: enabled ? 1.0 : 0.5

    background: Rectangle {
        color: field.text.length > 0 ? "#303030" : "#ff7f7f"
        radius: 0.07 * height
        border.width: 1
        border.color: field.activeFocus ? (field.acceptable ? "lightGreen" : "#ff978f") : "gray"
    }

    Text {
        visible: field.labelTxt.length > 0
        anchors.bottom: parent.top
        anchors.left: parent.left
        text: field.labelTxt
        font.pixelSize: 12
        color: "#e2e2e2"
    }

    // Bindings on text are not yet updated when textEdited arrives, so the
    // entry is read directly.
    onTextEdited: {
        if (isAcceptable(text, acceptableInput)) {
            floatValue = Number(numberIn(text).toFixed(floatDec))
            validFloatEntered()
        } else if (text.indexOf(",") >= 0) {
            text = text.replace(",", ".")
        }
    }
    onFloatValueChanged: {
        if (!activeFocus)
            text = valueText(floatValue)
    }
}

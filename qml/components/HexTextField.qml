import QtQuick 2.15
import QtQuick.Controls 2.0
import USB_StmFlasher_qml_module 1.0

// Hexadecimal entry ("0x" and digits) on a dark field. isValid tells whether
// the last acceptable edit was within intTo; isBad lets the user of the field
// mark the value as wrong for reasons of its own.
TextField {
    id: field

    property int intValue: 0
    property int intFrom: 0
    property int intTo: 0xFFFFFFF
    property bool isValid: true
    property bool isBad: false
    property string labelTxt: ""

    readonly property bool acceptable: acceptableInput && isValid && !isBad
                                       && intValue >= intFrom && intValue <= intTo

    width: 200
    height: AppStyle.textInputHeight
    text: "0x0"
    // Up to eight digits so that a value above intTo can be typed and shown
    // as invalid rather than silently cut short.
    validator: RegularExpressionValidator {
        regularExpression: /^(0x)?[0-9A-Fa-f]{1,8}$/
    }
    color: acceptableInput ? "white" : "#ff978f"
    font.pixelSize: height > 1 ? height / 2 : 1
    selectByMouse: true
    opacity: enabled ? 1.0 : 0.5

    background: Rectangle {
        color: field.text.length > 0 ? "#303030" : "#ff7f7f"
        radius: 0.07 * height
        border.width: 1
        border.color: (field.activeFocus || field.isBad) ? (field.acceptable ? "lightGreen" : "#ff978f") : "gray"
    }

    Text {
        visible: field.labelTxt.length > 0
        anchors.bottom: parent.top
        anchors.left: parent.left
        text: field.labelTxt
        font.pixelSize: 12
        color: "#e2e2e2"
    }

    onTextEdited: {
        if (text.length > 0 && text.indexOf("0x") !== 0)
            text = "0x" + text.toUpperCase()
        if (!acceptableInput)
            return
        var value = parseInt(text.substring(2), 16)
        isValid = value <= intTo
        if (isValid)
            intValue = value
    }
    onIntValueChanged: {
        if (!activeFocus)
            text = "0x" + intValue.toString(16).toUpperCase()
    }
}

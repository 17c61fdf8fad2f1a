import QtQuick 2.7
import QtQuick.Controls 2.0
import USB_StmFlasher_qml_module 1.0

// Integer entry on a dark field; the border and text turn red while the text
// is not a number in [intFrom, intTo].
TextField {
    id: field

    property int intValue: 0
    property int intFrom: 0
    property int intTo: 99999
    property string labelTxt: ""

    signal validIntEntered

    width: 150
    height: AppStyle.textInputHeight
    text: "0"
    inputMethodHints: Qt.ImhDigitsOnly
    validator: IntValidator {
        bottom: field.intFrom
        top: field.intTo
    }
    color: acceptableInput ? "white" : "#ff978f"
    font.pixelSize: height > 1 ? height / 2 : 1
    selectByMouse: true
    opacity: enabled ? 1.0 : 0.5

    background: Rectangle {
        color: field.text.length > 0 ? "#303030" : "#ff7f7f"
        radius: 0.07 * height
        border.width: 1
        border.color: field.activeFocus ? (field.acceptableInput ? "lightGreen" : "#ff978f") : "gray"
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
        if (acceptableInput) {
            intValue = parseInt(text, 10)
            validIntEntered()
        }
    }
    onIntValueChanged: {
        if (!activeFocus)
            text = intValue.toString()
    }
}

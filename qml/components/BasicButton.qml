import QtQuick 2.7
import QtQuick.Controls 2.0
import USB_StmFlasher_qml_module 1.0

// Push button in the tool's colours and display face, sized to its label.
// Tab reaches it; Space (the control's own) and Enter press it; a frame marks
// it while it has the keyboard focus.
Button {
    id: control

    focusPolicy: Qt.StrongFocus
    Accessible.name: text
    Keys.onReturnPressed: control.clicked()
    Keys.onEnterPressed: control.clicked()

    property color color: "#67AA43"
    property color borderColor: "#000000"
    property int borderWidth: 0
    property int fontSize: AppStyle.basicButtonHeight
    property color fontColor: "#fff"
    property real radius: 0.1 * height

    readonly property int labelMargin: 25
    // The keyboard focus frame.
    property color focusColor: "#2F7FD8"
    readonly property int focusWidth: 3

    implicitWidth: buttonLabel.implicitWidth + 2 * labelMargin + (text.length === 0 ? labelMargin : 0)
    implicitHeight: 1.8 * buttonLabel.implicitHeight
    padding: 0
    leftPadding: 0
    rightPadding: 0
    topPadding: 0
    bottomPadding: 0

    font.family: AppStyle.fontFamily
    font.italic: true
    font.weight: Font.Medium
    font.pixelSize: fontSize > 0 ? fontSize : 1
    font.capitalization: Font.AllUppercase

    contentItem: Item {
        Text {
            id: buttonLabel
            x: control.labelMargin
            width: parent.width - 2 * control.labelMargin
            // A little below the centre: capitals sit high in their line box.
            y: 1.1 * (parent.height - implicitHeight) / 2
            text: control.text
            font: control.font
            horizontalAlignment: Text.AlignHCenter
            color: !control.enabled ? "gray" : control.pressed ? "#333" : control.fontColor
        }
    }

    background: Rectangle {
        radius: control.radius
        border.color: control.visualFocus ? control.focusColor : control.borderColor
        border.width: control.visualFocus ? control.focusWidth : control.borderWidth
        color: !control.enabled ? "#444" : control.pressed ? "#F0D438" : control.color
        Behavior on color {
            ColorAnimation {
                duration: 600
            }
        }
    }
}

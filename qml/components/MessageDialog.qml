import QtQuick 2.7
import QtQuick.Controls 2.0
import USB_StmFlasher_qml_module 1.0

// Modal message box centred on its parent: a title, a message or an input
// field, an OK button and an optional cancel button. It opens as soon as it
// is created and destroys itself when answered; Escape or a press outside
// the parent only closes it. Enter answers OK.
Popup {
    id: dialog

    property string dialogTitle: qsTr("Внимание!")
    property string dialogText: ""
    // A line added below the message after the dialog opened.
    property string dialogNote: ""
    property string acceptBtnText: qsTr("Ок")
    property color acceptBtnColor: "#67AA43"
    property string cancelBtnText: qsTr("Отмена")
    property int acceptBtnDelay: 0
    property bool isCancelBtnVisible: false
    // A question whose safe answer is the cancel button: Enter gives it.
    property bool enterCancels: false
    property bool isTextInput: false
    property bool isIntInput: false
    property bool isFloatInput: false
    property int intValue: 0
    property int intFrom: 0
    property int intTo: 10000
    property real floatValue: 0
    property real floatFrom: 0
    property real floatTo: 10000
    property int floatDec: 2

    signal onAccepted
    signal onCanceled

    readonly property real pixelScale: AppStyle.pixelScale
    readonly property bool hasInput: isTextInput || isIntInput || isFloatInput
    property bool acceptDelayPassed: true
    readonly property bool acceptEnabled: acceptDelayPassed
                                          && (!isTextInput || textInput.text.trim().length > 0)

    function accept() {
        if (!acceptEnabled)
            return
        if (isTextInput)
            dialogText = textInput.text.trim()
        intValue = intInput.intValue
        floatValue = floatInput.floatValue
        console.log("OK clicked")
        onAccepted()
        close()
        destroy()
    }
    function cancel() {
        onCanceled()
        close()
        destroy()
    }

    modal: true
    focus: true
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutsideParent
    padding: 0
    width: 500 * pixelScale
    height: buttonRow.height + titleText.height
            + (hasInput ? 2 * AppStyle.textInputHeight : messageText.height) + 45 * pixelScale
    x: parent ? (parent.width - width) / 2 : 0
    y: parent ? (parent.height - height) / 2 : 0

    background: Rectangle {
        color: "#222"
        radius: 40 * dialog.pixelScale
    }

    contentItem: Item {
        focus: true
        Accessible.role: Accessible.Dialog
        Accessible.name: dialog.dialogTitle
        Accessible.description: messageText.text
        Keys.onReturnPressed: dialog.enterCancels ? dialog.cancel() : dialog.accept()
        Keys.onEnterPressed: dialog.enterCancels ? dialog.cancel() : dialog.accept()

        Text {
            id: titleText
            objectName: "titleText"
            anchors.top: parent.top
            anchors.horizontalCenter: parent.horizontalCenter
            width: 0.9 * parent.width
            padding: 15 * dialog.pixelScale
            text: dialog.dialogTitle
            textFormat: Text.PlainText
            color: "white"
            wrapMode: Text.WordWrap
            horizontalAlignment: Text.AlignHCenter
            font.pixelSize: AppStyle.basicTitleSize > 0 ? AppStyle.basicTitleSize : 1
        }

        Text {
            id: messageText
            objectName: "messageText"
            anchors.top: titleText.bottom
            width: parent.width
            visible: !dialog.hasInput
            leftPadding: 20 * dialog.pixelScale
            rightPadding: 20 * dialog.pixelScale
            bottomPadding: 20 * dialog.pixelScale
            topPadding: 10 * dialog.pixelScale
            text: dialog.dialogNote.length > 0 ? dialog.dialogText + "\n\n" + dialog.dialogNote
                                               : dialog.dialogText
            // Messages may carry outside text (error texts, names).
            textFormat: Text.PlainText
            color: "white"
            wrapMode: Text.WordWrap
            horizontalAlignment: Text.AlignHCenter
            font.pixelSize: AppStyle.basicFontSize > 0 ? AppStyle.basicFontSize : 1
        }

        TextField {
            id: textInput
            objectName: "textInput"
            visible: dialog.isTextInput
            anchors.top: titleText.bottom
            anchors.topMargin: 20 * dialog.pixelScale
            anchors.horizontalCenter: parent.horizontalCenter
            width: 0.7 * parent.width
            height: AppStyle.textInputHeight
            selectByMouse: true
            onAccepted: dialog.accept()
        }

        IntTextField {
            id: intInput
            objectName: "intInput"
            visible: dialog.isIntInput
            anchors.top: titleText.bottom
            anchors.topMargin: 20 * dialog.pixelScale
            anchors.horizontalCenter: parent.horizontalCenter
            width: 0.7 * parent.width
            onAccepted: dialog.accept()
        }

        FloatTextField {
            id: floatInput
            objectName: "floatInput"
            visible: dialog.isFloatInput
            enabled: true
            anchors.top: titleText.bottom
            anchors.topMargin: 20 * dialog.pixelScale
            anchors.horizontalCenter: parent.horizontalCenter
            width: 0.7 * parent.width
            onAccepted: dialog.accept()
        }

        Item {
            id: buttonRow
            anchors.bottom: parent.bottom
            width: parent.width
            height: acceptButton.height + 15 * dialog.pixelScale

            BasicButton {
                id: cancelButton
                objectName: "cancelButton"
                visible: dialog.isCancelBtnVisible
                anchors.top: parent.top
                x: (parent.width / 2 - width) / 2
                text: dialog.cancelBtnText
                onClicked: dialog.cancel()
            }

            BasicButton {
                id: acceptButton
                objectName: "acceptButton"
                anchors.top: parent.top
                width: cancelButton.width
                x: parent.width / 2 + (parent.width / 2 - width) / 2
                text: dialog.acceptBtnText
                color: dialog.acceptBtnColor
                enabled: dialog.acceptEnabled
                onClicked: dialog.accept()
            }
        }
    }

    Timer {
        id: acceptDelayTimer
        repeat: false
        onTriggered: dialog.acceptDelayPassed = true
    }

    Component.onCompleted: {
        textInput.text = dialogText
        open()
        if (acceptBtnDelay > 0) {
            acceptDelayPassed = false
            acceptDelayTimer.interval = acceptBtnDelay
            acceptDelayTimer.start()
        }
        intInput.intFrom = intFrom
        intInput.intTo = intTo
        intInput.intValue = intValue
        intInput.text = intValue.toString()
        floatInput.floatDec = floatDec
        floatInput.floatFrom = floatFrom
        floatInput.floatTo = floatTo
        floatInput.floatValue = floatValue
        floatInput.text = floatInput.valueText(floatValue)
        var shown = isTextInput ? textInput : isIntInput ? intInput : isFloatInput ? floatInput : null
        if (shown) {
            shown.forceActiveFocus()
            shown.selectAll()
        }
    }
}

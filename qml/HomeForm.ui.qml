import QtQuick 2.7
import QtQuick.Controls 2.0
import KORVO 1.0
import USB_StmFlasher_qml_module 1.0
import "components"

// The window's one page, a declaration of its faces: which one shows follows
// the device link's connection status alone: offline nothing connected,
// application firmware (the update button), boot loader (the firmware
// picker, the flash button and the progress bar), boot loader taking an
// image (the same, flashing disabled). The window (Main.qml) acts on its
// buttons and feeds it the progress and the words for failures.
Page {
    id: page

    // The device link shown by this page.
    property USB_StmFlasher flasher
    // One element per offered image: text (file name, marked while offline
    // when its image is stored), url (download URL).
    property alias firmwareModel: firmwareListModel
    // Set by the progress rule; the bar shows until the first progress report.
    property bool progressBarShown: true
    property int progressValue: 0
    // From the first report of the pending image's download to the first
    // progress of its run (or the run's message): the bar shows the download.
    property bool downloading: false
    // The last flashing progress reported (0 when no run).
    property int flashingPercent: 0
    // The window's words for why the last catalogue request failed.
    property string catalogueCause: ""
    // With trusted keys: the window's words for why the chosen image's
    // signature was refused.
    property string offerCause: ""

    // The buttons: the window acts on them.
    signal updateRequested
    signal flashRequested(string url)
    // An image was chosen in the list: the window checks its signature.
    signal firmwareChosen(string url)
    signal retryRequested
    signal localFileRequested
    // After a successful run: whether the device came back, and its version.
    property string returnNote: ""

    // What the faces follow; a page without a link shows "not connected".
    readonly property int devConnStatus: flasher ? flasher.devConnStatus : 0
    readonly property int dfuVersion: flasher ? flasher.dfuVersion : 0
    // Why the device's port could not be opened; empty while there is no reason.
    readonly property string portProblem: flasher ? flasher.portProblem : ""
    // The outcome of the latest catalogue request, and why it failed.
    readonly property int catalogueState: flasher ? flasher.catalogueState : DFU_client.CatalogueIdle
    readonly property bool catalogueFailed: catalogueState === DFU_client.CatalogueFailed
    // The request failed and the catalogue stored when it last arrived stands in.
    readonly property bool catalogueOffline: catalogueState === DFU_client.CatalogueOffline
    readonly property string offlineText: qsTr("Нет связи с сервером. Список прошивок от %1")
                                          .arg(flasher ? flasher.catalogueTimeText : "")
    // The server answered with an error and the stored list stands in; its
    // images are still asked of the server first.
    readonly property bool serverErrorWithStoredList: catalogueFailed && flasher
                                                      && flasher.catalogueTimeText !== ""
    readonly property string serverErrorText: qsTr("Ответ сервера: %1. Список прошивок от %2")
                                              .arg(catalogueCause)
                                              .arg(flasher ? flasher.catalogueTimeText : "")
    // The stored list is on offer, offline or after an error answer.
    readonly property bool storedListShown: catalogueOffline || serverErrorWithStoredList
    readonly property string storedListText: catalogueOffline ? offlineText : serverErrorText
    // With trusted keys, once the chosen image's signature is checked: the
    // version it brings beside the unit's, or why it was refused.
    readonly property bool offerShown: flasher !== null && flasher.signatureRequired
                                       && flasher.offerChecked && firmwareComboBox.currentIndex >= 0
                                       && flasher.offerSource === firmwareListModel.get(firmwareComboBox.currentIndex).url
    readonly property bool offerRefused: offerShown && flasher.offerFailure !== FirmwareSignature.NoSignatureFailure

    width: 800
    height: 250
    title: qsTr("Home")

    ListModel {
        id: firmwareListModel
    }

    Label {
        id: informationLabel
        objectName: "informationLabel"
        anchors.top: parent.top
        width: page.width
        height: page.devConnStatus === KorvoEnums.KorvoOffline ? page.height : 1.2 * contentHeight
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        font.pixelSize: 16
        // The device name comes from the device: never read as markup.
        textFormat: Text.PlainText
        text: page.devConnStatus === KorvoEnums.KorvoOffline
              ? qsTr("Устройство не подключено")
              : qsTr("Подключено - ") + page.flasher.deviceName
                + "\n" + qsTr(" Текущая версия прошивки: ") + page.flasher.currentFirmwareVersion
                + (page.flasher.dfuVersion > 0
                   ? "\n" + qsTr(" Версия DFU: ") + page.flasher.dfuVersion
                     + qsTr(" Версия платы: ") + page.flasher.boardVer
                     + qsTr(" Rev ") + page.flasher.boardRev
                   : "")
    }

    // Under "not connected" (centred in the page), in a smaller font.
    Label {
        id: portProblemLabel
        objectName: "portProblemLabel"
        anchors.top: parent.verticalCenter
        anchors.topMargin: informationLabel.contentHeight / 2 + 8
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.leftMargin: 40
        anchors.rightMargin: 40
        horizontalAlignment: Text.AlignHCenter
        wrapMode: Text.Wrap
        textFormat: Text.PlainText
        font.pixelSize: 13
        text: page.portProblem
        visible: page.devConnStatus === KorvoEnums.KorvoOffline && page.portProblem !== ""
    }

    BasicButton {
        id: updateButton
        objectName: "updateButton"
        anchors.centerIn: parent
        text: qsTr("Обновить прошивку")
        visible: page.devConnStatus === KorvoEnums.KorvoOnline
        enabled: page.dfuVersion > 1
        onClicked: page.updateRequested()
    }

    // So that nobody restarts the device into its boot loader for nothing;
    // offline, when the list it would offer was fetched.
    Label {
        id: catalogueErrorLabel
        objectName: "catalogueErrorLabel"
        anchors.top: updateButton.bottom
        anchors.topMargin: 8
        anchors.horizontalCenter: parent.horizontalCenter
        width: page.width - 40
        horizontalAlignment: Text.AlignHCenter
        wrapMode: Text.Wrap
        font.pixelSize: 12
        textFormat: Text.PlainText
        visible: page.devConnStatus === KorvoEnums.KorvoOnline && (page.catalogueFailed || page.catalogueOffline)
        text: page.storedListShown
              ? page.storedListText
              : qsTr("Каталог прошивок недоступен: %1").arg(page.catalogueCause)
    }

    Frame {
        id: centreFrame
        objectName: "centreFrame"
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: informationLabel.bottom
        anchors.bottom: parent.bottom
        anchors.leftMargin: 40
        anchors.rightMargin: 40
        anchors.topMargin: 20
        anchors.bottomMargin: 40
        // Also while the boot loader takes an image (status 4): the device
        // reports 4 for the whole run, and the progress bar lives here.
        visible: page.devConnStatus === KorvoEnums.KorvoBootOnline || page.devConnStatus === KorvoEnums.KorvoReflash

        // Nothing to offer because the catalogue could not be fetched: the
        // retry button stands in the flash button's place.
        readonly property bool retryInFlashPlace: (page.catalogueFailed || page.catalogueOffline)
                                                  && firmwareComboBox.count === 0

        // Above the list: where the list offered offline comes from.
        Label {
            id: offlineLabel
            objectName: "offlineLabel"
            x: firmwareComboBox.x
            y: 2
            // Up to the retry button beside it.
            width: (retryButton.visible && !centreFrame.retryInFlashPlace ? retryButton.x - 12
                                                                          : parent.width) - x
            font.pixelSize: 12
            textFormat: Text.PlainText
            elide: Text.ElideRight
            text: page.storedListText
            visible: page.storedListShown
        }

        ComboBox {
            id: firmwareComboBox
            objectName: "firmwareComboBox"
            x: 22
            y: 27
            width: 435
            model: firmwareListModel
            textRole: "text"
            Accessible.name: qsTr("Список прошивок")
            displayText: currentIndex < 0
                         ? (count > 0 ? qsTr("Выбрать прошивку ...")
                                      : page.catalogueState === DFU_client.CatalogueLoading
                                        ? qsTr("Загрузка списка прошивок…")
                                        : page.catalogueFailed
                                          ? qsTr("Каталог прошивок недоступен")
                                          : qsTr("Нет доступных прошивок для этого устройства"))
                         : currentText

            // File names come from the server: shown as plain text, never as
            // markup (which could, say, fetch an image from anywhere).
            contentItem: Text {
                objectName: "firmwareComboText"
                leftPadding: 12
                rightPadding: 1
                topPadding: 6 - firmwareComboBox.padding
                bottomPadding: 6 - firmwareComboBox.padding
                text: firmwareComboBox.displayText
                textFormat: Text.PlainText
                font: firmwareComboBox.font
                color: firmwareComboBox.palette.buttonText
                verticalAlignment: Text.AlignVCenter
                elide: Text.ElideRight
            }
            onCurrentIndexChanged: if (currentIndex >= 0)
                                       page.firmwareChosen(firmwareListModel.get(currentIndex).url)
            delegate: ItemDelegate {
                width: ListView.view.width
                text: model.text
                font.weight: firmwareComboBox.currentIndex === index ? Font.DemiBold : Font.Normal
                highlighted: firmwareComboBox.highlightedIndex === index
                hoverEnabled: firmwareComboBox.hoverEnabled
                contentItem: Text {
                    objectName: "firmwareEntryText"
                    text: parent.text
                    textFormat: Text.PlainText
                    font: parent.font
                    color: parent.highlighted ? parent.palette.highlightedText : parent.palette.text
                    verticalAlignment: Text.AlignVCenter
                    elide: Text.ElideRight
                }
            }
        }

        // Under the list: "01.05 → 01.08", or why the signature was refused.
        Label {
            id: versionLine
            objectName: "versionLine"
            x: firmwareComboBox.x + 12
            // Between the list and the progress bar, clear of both.
            y: firmwareComboBox.y + firmwareComboBox.height + 1
            width: firmwareComboBox.width - 12
            font.pixelSize: 12
            textFormat: Text.PlainText
            elide: Text.ElideRight
            color: page.offerRefused ? "#ff978f" : palette.windowText
            text: page.offerRefused ? qsTr("Подпись не принята: %1").arg(page.offerCause)
                                    : flasher ? flasher.currentFirmwareVersion + " \u2192 " + flasher.offerVersion : ""
            visible: page.offerShown && (page.offerRefused || flasher.offerVersion !== "")
        }

        // Second in the Tab order, after the list and before the flash button.
        BasicButton {
            id: localFileButton
            objectName: "localFileButton"
            anchors.bottom: parent.bottom
            anchors.right: flashButton.right
            text: qsTr("Из файла…")
            enabled: page.devConnStatus === KorvoEnums.KorvoBootOnline
            onClicked: page.localFileRequested()
        }

        BasicButton {
            id: flashButton
            objectName: "flashButton"
            y: 27
            anchors.horizontalCenter: parent.horizontalCenter
            anchors.horizontalCenterOffset: 235
            text: qsTr("Прошить выбранное")
            visible: !centreFrame.retryInFlashPlace
            enabled: page.devConnStatus === KorvoEnums.KorvoBootOnline && firmwareComboBox.currentIndex >= 0
            onClicked: page.flashRequested(firmwareListModel.get(firmwareComboBox.currentIndex).url)
        }

        Label {
            id: progressCaption
            objectName: "progressCaption"
            anchors.verticalCenter: progressBar.verticalCenter
            anchors.right: progressBar.left
            anchors.rightMargin: 12
            font.pixelSize: 12
            text: page.downloading ? qsTr("Загрузка прошивки…")
                                   : qsTr("Прошивка… %1 %").arg(page.flashingPercent)
            visible: page.downloading || (page.flashingPercent > 0 && page.flashingPercent < 100)
        }

        // In the flash button's place while there is nothing to flash
        // because the catalogue could not be fetched; with a stored list on
        // offer, smaller, at the end of the line that says where the list
        // comes from, above the flash button and clear of the list.
        BasicButton {
            id: retryButton
            objectName: "retryButton"
            x: centreFrame.retryInFlashPlace ? flashButton.x + (flashButton.width - width) / 2
                                             : flashButton.x + flashButton.width - width
            y: centreFrame.retryInFlashPlace ? flashButton.y
                                             : offlineLabel.y + (offlineLabel.height - height) / 2
            fontSize: centreFrame.retryInFlashPlace ? AppStyle.basicButtonHeight : 9
            text: qsTr("Повторить")
            visible: centreFrame.retryInFlashPlace
                     || (page.storedListShown && page.devConnStatus === KorvoEnums.KorvoBootOnline && !page.downloading)
            onClicked: page.retryRequested()
        }

        ProgressBar {
            id: progressBar
            objectName: "progressBar"
            anchors.bottom: parent.bottom
            anchors.left: parent.left
            anchors.right: parent.right
            // Room for the caption on the left and the file button on the
            // right, whatever the language's words.
            anchors.leftMargin: Math.max(150, progressCaption.implicitWidth + progressCaption.anchors.rightMargin)
            anchors.rightMargin: Math.max(150, parent.width - localFileButton.x + 10)
            height: 23
            font.pointSize: 17
            from: 0
            to: 100
            value: page.progressValue
            Accessible.name: qsTr("Ход прошивки")
            visible: page.progressBarShown || page.downloading
        }
    }

    Label {
        id: returnLabel
        objectName: "returnLabel"
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 10
        width: page.width
        horizontalAlignment: Text.AlignHCenter
        font.pixelSize: 14
        text: page.returnNote
        visible: text.length > 0
    }
}

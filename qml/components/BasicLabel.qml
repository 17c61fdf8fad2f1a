import QtQuick 2.7
import QtQuick.Controls 2.0
import USB_StmFlasher_qml_module 1.0

// Plain black text in the tool's display face, upright, in capitals.
Label {
    color: "black"
    verticalAlignment: Text.AlignVCenter
    font.family: AppStyle.fontFamily
    font.italic: false
    font.pixelSize: AppStyle.basicFontSize > 0 ? AppStyle.basicFontSize : 1
    font.capitalization: Font.AllUppercase
}

pragma Singleton
import QtQuick 2.7

// Sizes shared by all components, scaled to the window width (1280 = 1.0).
QtObject {
    property real appWindowWidth: 0
    // Family of the display face the main window loads; used by the button
    // and label components.
    property string fontFamily: ""

    readonly property real pixelScale: appWindowWidth / 1280
    readonly property int comboHeight: 50 * pixelScale
    readonly property int textInputHeight: 50 * pixelScale
    readonly property int checkboxHeight: 50 * pixelScale
    readonly property int spinboxHeight: 50 * pixelScale
    readonly property int basicRowHeight: 90 * pixelScale
    readonly property int basicButtonHeight: 22 * pixelScale
    readonly property int basicFontSize: 24 * pixelScale
    readonly property int basicTitleSize: 30 * pixelScale
}

import QtQuick 2.7
import QtTest 1.2

// What the window tests share: the real main window, its items by name,
// where they are shown, and a device the link is told of as the receive
// path would tell it.
TestCase {
    when: windowShown

    property var window
    property var link

    function openWindow() {
        var component = Qt.createComponent("qrc:/qml/Main.qml")
        compare(component.status, Component.Ready, component.errorString())
        window = createTemporaryObject(component, null)
        link = findChild(window, "usb_stmFlasher")
        waitForRendering(window.contentItem)
    }

    function item(objectName) {
        var found = findChild(window.contentItem, objectName)
        verify(found, objectName)
        return found
    }

    // In the window's coordinates.
    function rect(objectName) {
        var shown = item(objectName)
        var p = shown.mapToItem(window.contentItem, 0, 0)
        return { left: p.x, top: p.y, right: p.x + shown.width, bottom: p.y + shown.height }
    }

    // The status first: the link resets the device fields when it goes offline.
    function showDevice(status, names, dfuVersion) {
        link.setDevConnStatus(status)
        link.deviceName = "Korvo 7"
        link.currentFirmwareVersion = "01.05"
        link.dfuVersion = dfuVersion === undefined ? 2 : dfuVersion
        link.boardVer = 3
        link.boardRev = "B"
        var firmwares = []
        for (var i = 0; i < (names || []).length; ++i)
            firmwares.push({ "fileName": names[i], "fileUrl": "u:" + names[i] })
        window.showFirmwares(firmwares)
    }

    function openDialogs() {
        var open = []
        for (var i = 0; i < window.overlay.children.length; ++i)
            if (findChild(window.overlay.children[i], "acceptButton") && window.overlay.children[i].visible)
                open.push(window.overlay.children[i])
        return open
    }
}

import QtQuick 2.7
import QtTest 1.2

TestCase {

    property var window
    property var link

    // In Russian unless `language` is given (each test's clean-up goes back).
    function openWindow(language) {
        if (language)
            test.loadTranslation([language])
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

    // `name` wholly inside `frame` and clear of each of `others`, `gap` pixels between any two borders.
    function verifyInsideAndClear(frame, gap, name, others) {
        var rect = function (objectName) {
            var shown = item(objectName), p = shown.mapToItem(window.contentItem, 0, 0)
            return { left: p.x, top: p.y, right: p.x + shown.width, bottom: p.y + shown.height }
        }
        var f = rect(frame), r = rect(name)
        verify(r.left >= f.left + gap && r.right <= f.right - gap && r.top >= f.top + gap
               && r.bottom <= f.bottom - gap, name + " inside " + frame)
        others.forEach(function (other) {
            var o = rect(other)
            verify(r.right + gap <= o.left || o.right + gap <= r.left || r.bottom + gap <= o.top
                   || o.bottom + gap <= r.top, name + " clear of " + other)
        })
    }

    // The status first: the link resets the device fields when it goes offline.
    function showDevice(status, names, dfuVersion) {
        link.setDevConnStatus(status)
        link.deviceName = "Korvo 7"
        link.currentFirmwareVersion = "01.05"
        link.dfuVersion = dfuVersion === undefined ? 2 : dfuVersion
        link.boardVer = 3
        link.boardRev = "B"
        window.showFirmwares((names || []).map(function (n) { return { fileName: n, fileUrl: "u:" + n } }))
    }

    function openDialogs() { // the latest last
        return Array.prototype.filter.call(window.overlay.children, function (d) {
            return d.visible && findChild(d, "acceptButton")
        })
    }

    function dialogText(index) { return findChild(openDialogs()[index || 0], "messageText").text }
}

import QtQuick 2.7
import USB_StmFlasher_qml_module 1.0

// The window's own words for the engine's typed outcomes, in the window's
// language: how a run ended, and why a request to the firmware server failed.
QtObject {
    // `detail`: the device's error name (FlashDeviceError), the version the
    // unit came back with (FlashUnconfirmed, empty when it did not), the
    // signed version (FlashDowngradeRefused).
    function runText(result, detail) {
        switch (result) {
        case DFU_client.FlashSucceeded:
            return qsTr("Обновление успешно установлено!")
        case DFU_client.FlashDeviceError:
            return qsTr("Ошибка обновления: устройство сообщило об ошибке %1").arg(detail)
        case DFU_client.FlashDeviceSilent:
            return qsTr("Ошибка обновления: устройство не отвечает")
        case DFU_client.FlashPortLost:
            return qsTr("Ошибка обновления: связь с устройством потеряна")
        case DFU_client.FlashDownloadFailed:
            return qsTr("Ошибка обновления: не удалось загрузить прошивку")
        case DFU_client.FlashImageRefused:
            return qsTr("Ошибка обновления: файл прошивки слишком мал")
        case DFU_client.FlashFileUnreadable:
            return qsTr("Ошибка обновления: не удалось прочитать файл прошивки")
        case DFU_client.FlashUnconfirmed:
            return detail !== ""
                    ? qsTr("Обновление не подтверждено: устройство перезапустилось, не подтвердив последний пакет, и вернулось в рабочий режим с версией прошивки %1").arg(detail)
                    : qsTr("Обновление не подтверждено: устройство перезапустилось, не подтвердив последний пакет, и не вернулось в рабочий режим")
        case DFU_client.FlashSignatureRefused:
            return qsTr("Ошибка обновления: подпись прошивки не принята, на устройство ничего не отправлено")
        case DFU_client.FlashDowngradeRefused:
            return qsTr("Ошибка обновления: версия прошивки %1 старше установленной, понижение версии не подтверждено").arg(detail)
        }
        return ""
    }

    // Why an image's signature was refused.
    function signatureText(failure) {
        switch (failure) {
        case FirmwareSignature.SignatureMissing:
            return qsTr("у прошивки нет подписи")
        case FirmwareSignature.SignatureMalformed:
            return qsTr("подпись повреждена")
        case FirmwareSignature.SignatureUnknownKey:
            return qsTr("подпись сделана недоверенным ключом")
        case FirmwareSignature.SignatureKeyRevoked:
            return qsTr("ключ подписи отозван")
        case FirmwareSignature.SignatureBad:
            return qsTr("подпись не совпадает с прошивкой")
        case FirmwareSignature.TrustedCommentTampered:
            return qsTr("данные подписи изменены")
        case FirmwareSignature.SignatureWrongDevice:
            return qsTr("прошивка подписана для другого устройства")
        }
        return ""
    }

    // `detail`: the HTTP status (HttpStatus), the proxy (ProxyFailed).
    function failureText(failure, detail) {
        switch (failure) {
        case DFU_client.HostNotFound:
            return qsTr("сервер не найден")
        case DFU_client.ConnectionRefused:
            return qsTr("сервер отклонил соединение")
        case DFU_client.ConnectionClosed:
            return qsTr("соединение с сервером прервано")
        case DFU_client.NetworkUnreachable:
            return qsTr("нет связи с сервером")
        case DFU_client.TlsFailed:
            return qsTr("сертификат сервера не принят")
        case DFU_client.ProxyFailed:
            return qsTr("прокси-сервер %1 недоступен").arg(detail)
        case DFU_client.TimedOut:
            return qsTr("сервер не ответил вовремя")
        case DFU_client.HttpStatus:
            return detail !== "" ? qsTr("ошибка HTTP %1").arg(detail) : qsTr("ошибка сервера")
        case DFU_client.RedirectRefused:
            return qsTr("сервер перенаправил запрос не по https")
        case DFU_client.TooLarge:
            return qsTr("ответ сервера слишком велик")
        case DFU_client.MalformedReply:
            return qsTr("ответ сервера не читается")
        case DFU_client.EmptyCatalogue:
            return qsTr("каталог пуст")
        case DFU_client.StoredImageDamaged:
            return qsTr("сохранённая копия повреждена")
        }
        return ""
    }
}

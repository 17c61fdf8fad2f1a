<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="ru_RU">
<context>
    <name>HomeForm.ui</name>
    <message>
        <source>Home</source>
        <translation>Home</translation>
    </message>
    <message>
        <source>Устройство не подключено</source>
        <translation>No device connected</translation>
    </message>
    <message>
        <source>Подключено - </source>
        <translation>Connected - </translation>
    </message>
    <message>
        <source> Текущая версия прошивки: </source>
        <translation> Current firmware version: </translation>
    </message>
    <message>
        <source> Версия DFU: </source>
        <translation> DFU version: </translation>
    </message>
    <message>
        <source> Версия платы: </source>
        <translation> Board version: </translation>
    </message>
    <message>
        <source> Rev </source>
        <translation> Rev </translation>
    </message>
    <message>
        <source>Обновить прошивку</source>
        <translation>Update firmware</translation>
    </message>
    <message>
        <source>Список прошивок</source>
        <translation>Firmware list</translation>
    </message>
    <message>
        <source>Нет доступных прошивок для этого устройства</source>
        <translation>No firmware available for this device</translation>
    </message>
    <message>
        <source>Выбрать прошивку ...</source>
        <translation>Choose firmware ...</translation>
    </message>
    <message>
        <source>Прошить выбранное</source>
        <translation>Flash selected</translation>
    </message>
    <message>
        <source>Из файла…</source>
        <translation>From file…</translation>
    </message>
    <message>
        <source>Загрузка прошивки…</source>
        <translation>Downloading…</translation>
    </message>
    <message>
        <source>Прошивка… %1 %</source>
        <translation>Flashing… %1 %</translation>
    </message>
    <message>
        <source>Ход прошивки</source>
        <translation>Flashing progress</translation>
    </message>
    <message>
        <source>Каталог прошивок недоступен: %1</source>
        <translation>Firmware catalogue unavailable: %1</translation>
    </message>
    <message>
        <source>Каталог прошивок недоступен</source>
        <translation>Firmware catalogue unavailable</translation>
    </message>
    <message>
        <source>Повторить</source>
        <translation>Retry</translation>
    </message>
    <message>
        <source>Загрузка списка прошивок…</source>
        <translation>Loading the firmware list…</translation>
    </message>
    <message>
        <source>Нет связи с сервером. Список прошивок от %1</source>
        <translation>No connection to the server. Firmware list from %1</translation>
    </message>
    <message>
        <source>Ответ сервера: %1. Список прошивок от %2</source>
        <translation>Server&apos;s answer: %1. Firmware list from %2</translation>
    </message>
    <message>
        <source>Подпись не принята: %1</source>
        <translation>Signature refused: %1</translation>
    </message>
</context>
<context>
    <name>Main</name>
    <message>
        <source>Flashing tool</source>
        <translation>Flashing tool</translation>
    </message>
    <message>
        <source>Открыть журнал</source>
        <translation>Open log</translation>
    </message>
    <message>
        <source>Внимание</source>
        <translation>Attention</translation>
    </message>
    <message>
        <source>Образ прошивки</source>
        <translation>Firmware image</translation>
    </message>
    <message>
        <source>Образы прошивки (*.bin)</source>
        <translation>Firmware images (*.bin)</translation>
    </message>
    <message>
        <source>Все файлы (*)</source>
        <translation>All files (*)</translation>
    </message>
    <message>
        <source>Устройство перезапущено, версия прошивки: %1</source>
        <translation>Device restarted, firmware version: %1</translation>
    </message>
    <message>
        <source>Устройство не вернулось в рабочий режим за 15 с. Проверьте подключение.</source>
        <translation>The device did not return to normal operation within 15 s. Check the connection.</translation>
    </message>
    <message>
        <source> (сохранена)</source>
        <translation> (saved)</translation>
    </message>
    <message>
        <source>Причина: %1</source>
        <translation>Cause: %1</translation>
    </message>
    <message>
        <source>Версия %1 старше установленной %2. Установить более старую прошивку?</source>
        <translation>Version %1 is older than the installed %2. Install the older firmware?</translation>
    </message>
    <message>
        <source>Да</source>
        <translation>Yes</translation>
    </message>
    <message>
        <source>Нет</source>
        <translation>No</translation>
    </message>
</context>
<context>
    <name>MessageDialog</name>
    <message>
        <source>Внимание!</source>
        <translation>Attention!</translation>
    </message>
    <message>
        <source>Ок</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Отмена</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>PortProblem</name>
    <message>
        <source>Порт %1 занят другой программой. Закройте её, и подключение продолжится.</source>
        <translation>Port %1 is in use by another program. Close it and the connection will continue.</translation>
    </message>
    <message>
        <source>Нет доступа к порту %1.</source>
        <translation>No access to port %1.</translation>
    </message>
    <message>
        <source>Добавьте пользователя в группу dialout или установите правило udev (см. README).</source>
        <translation>Add the user to the dialout group or install the udev rule (see README).</translation>
    </message>
    <message>
        <source>Не удалось открыть порт %1: %2</source>
        <translation>Could not open port %1: %2</translation>
    </message>
</context>
<context>
    <name>Wording</name>
    <message>
        <source>Обновление успешно установлено!</source>
        <translation>Update installed successfully!</translation>
    </message>
    <message>
        <source>Ошибка обновления: устройство сообщило об ошибке %1</source>
        <translation>Update failed: the device reported the error %1</translation>
    </message>
    <message>
        <source>Ошибка обновления: устройство не отвечает</source>
        <translation>Update failed: the device does not respond</translation>
    </message>
    <message>
        <source>Ошибка обновления: связь с устройством потеряна</source>
        <translation>Update failed: the connection to the device was lost</translation>
    </message>
    <message>
        <source>Ошибка обновления: не удалось загрузить прошивку</source>
        <translation>Update failed: the firmware could not be downloaded</translation>
    </message>
    <message>
        <source>Ошибка обновления: файл прошивки слишком мал</source>
        <translation>Update failed: the firmware file is too small</translation>
    </message>
    <message>
        <source>Ошибка обновления: не удалось прочитать файл прошивки</source>
        <translation>Update failed: the firmware file could not be read</translation>
    </message>
    <message>
        <source>Обновление не подтверждено: устройство перезапустилось, не подтвердив последний пакет, и вернулось в рабочий режим с версией прошивки %1</source>
        <translation>Update not confirmed: the device restarted before confirming the last packet and came back in its application firmware with firmware version %1</translation>
    </message>
    <message>
        <source>Обновление не подтверждено: устройство перезапустилось, не подтвердив последний пакет, и не вернулось в рабочий режим</source>
        <translation>Update not confirmed: the device restarted before confirming the last packet and did not come back in its application firmware</translation>
    </message>
    <message>
        <source>сервер не найден</source>
        <translation>server not found</translation>
    </message>
    <message>
        <source>сервер отклонил соединение</source>
        <translation>the server refused the connection</translation>
    </message>
    <message>
        <source>соединение с сервером прервано</source>
        <translation>the connection to the server broke off</translation>
    </message>
    <message>
        <source>нет связи с сервером</source>
        <translation>no connection to the server</translation>
    </message>
    <message>
        <source>сертификат сервера не принят</source>
        <translation>the server&apos;s certificate was not accepted</translation>
    </message>
    <message>
        <source>прокси-сервер %1 недоступен</source>
        <translation>proxy %1 unavailable</translation>
    </message>
    <message>
        <source>сервер не ответил вовремя</source>
        <translation>the server did not answer in time</translation>
    </message>
    <message>
        <source>ошибка HTTP %1</source>
        <translation>HTTP error %1</translation>
    </message>
    <message>
        <source>ошибка сервера</source>
        <translation>server error</translation>
    </message>
    <message>
        <source>сервер перенаправил запрос не по https</source>
        <translation>the server redirected the request away from https</translation>
    </message>
    <message>
        <source>ответ сервера слишком велик</source>
        <translation>the server&apos;s answer is too large</translation>
    </message>
    <message>
        <source>ответ сервера не читается</source>
        <translation>the server&apos;s answer cannot be read</translation>
    </message>
    <message>
        <source>каталог пуст</source>
        <translation>the catalogue is empty</translation>
    </message>
    <message>
        <source>сохранённая копия повреждена</source>
        <translation>the saved copy is damaged</translation>
    </message>
    <message>
        <source>Ошибка обновления: подпись прошивки не принята, на устройство ничего не отправлено</source>
        <translation>Update failed: the firmware signature was refused, nothing was sent to the device</translation>
    </message>
    <message>
        <source>Ошибка обновления: версия прошивки %1 старше установленной, понижение версии не подтверждено</source>
        <translation>Update failed: firmware version %1 is older than the installed one, and the downgrade was not confirmed</translation>
    </message>
    <message>
        <source>у прошивки нет подписи</source>
        <translation>the firmware has no signature</translation>
    </message>
    <message>
        <source>подпись повреждена</source>
        <translation>the signature is damaged</translation>
    </message>
    <message>
        <source>подпись сделана недоверенным ключом</source>
        <translation>signed by a key that is not trusted</translation>
    </message>
    <message>
        <source>ключ подписи отозван</source>
        <translation>the signing key has been revoked</translation>
    </message>
    <message>
        <source>подпись не совпадает с прошивкой</source>
        <translation>the signature does not match the firmware</translation>
    </message>
    <message>
        <source>данные подписи изменены</source>
        <translation>the signature&apos;s data has been altered</translation>
    </message>
    <message>
        <source>прошивка подписана для другого устройства</source>
        <translation>the firmware is signed for another device</translation>
    </message>
</context>
</TS>

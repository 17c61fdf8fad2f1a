#pragma once

#include <QObject>
#include <QString>

#include <cstdint>

struct canBusMessageHeaderStruct;

// Holder of the link's static helpers; no instance is needed.
class Tools : public QObject
{
    Q_OBJECT

public:
    explicit Tools(QObject* parent = nullptr);

    // CRC-32 as the STM32 hardware CRC unit computes it: polynomial 0x04C11DB7
    // over little-endian 32-bit words, initial value 0xFFFFFFFF, no reflection
    // and no final XOR. The last (length % 4) bytes are not covered; fewer than
    // four bytes give 0xFFFFFFFF. Pure and thread-safe.
    static uint32_t calcCrc(const void* data, unsigned int length);

    // One-line description of a CAN bus message header, for the log.
    static QString printCanHeader(const canBusMessageHeaderStruct* header);

    // Name of `value` in the korvoEnums enumeration `enumName`: an empty
    // (non-null) string when there is no such enumeration, a null string when
    // the value has no row.
    static QString convertEnumToQString(const QString& enumName, unsigned char value);

    // Firmware version carried as four ASCII characters in a `parameter`
    // field (first character first): text "01.05" and number 105 for the
    // characters 0,1,0,5. The number is 0 when the third byte is 0xFF or the
    // last three characters are not a number.
    static QString firmwareVersionText(quint32 parameter);
    static quint32 firmwareVersionNumber(quint32 parameter);
};

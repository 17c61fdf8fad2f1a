#include "tools.h"

#include "korvoenums.h"
#include "packets.h"

#include <QMetaEnum>

#include <array>
#include <cstring>

namespace {

constexpr uint32_t crcPolynomial = 0x04C11DB7;

// Thirty-two shift steps of the CRC register, as the hardware does per word.
constexpr uint32_t crcShiftWord(uint32_t reg)
{
    for (int bit = 0; bit < 32; ++bit)
        reg = (reg & 0x80000000u) ? (reg << 1) ^ crcPolynomial : (reg << 1);
    return reg;
}

// The word step is linear over GF(2), so it splits into four byte lanes:
// step(x) = T0[x.b0] ^ T1[x.b1] ^ T2[x.b2] ^ T3[x.b3] with Tk[b] = step(b << 8k).
using CrcTables = std::array<std::array<uint32_t, 256>, 4>;

constexpr CrcTables makeCrcTables()
{
    CrcTables tables{};
    for (int lane = 0; lane < 4; ++lane)
        for (uint32_t b = 0; b < 256; ++b)
            tables[lane][b] = crcShiftWord(b << (8 * lane));
    return tables;
}

constexpr CrcTables crcTables = makeCrcTables();

// The four parameter bytes in wire order.
std::array<char, 4> parameterBytes(quint32 parameter)
{
    std::array<char, 4> bytes{};
    qToLittleEndian(parameter, bytes.data());
    return bytes;
}

} // namespace

Tools::Tools(QObject* parent) : QObject(parent) {}

uint32_t Tools::calcCrc(const void* data, unsigned int length)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    const unsigned int words = length / 4;
    uint32_t reg = 0xFFFFFFFFu;
    for (unsigned int i = 0; i < words; ++i) {
        const uint32_t x = reg ^ qFromLittleEndian<quint32>(bytes + size_t(4) * i);
        reg = crcTables[0][x & 0xFF] ^ crcTables[1][(x >> 8) & 0xFF]
            ^ crcTables[2][(x >> 16) & 0xFF] ^ crcTables[3][x >> 24];
    }
    return reg;
}

QString Tools::convertEnumToQString(const QString& enumName, unsigned char value)
{
    const QMetaObject metaObject = korvoEnums::staticMetaObject;
    const int index = metaObject.indexOfEnumerator(enumName.toUtf8().constData());
    if (index < 0)
        return QString(""); // empty, not null: no such enumeration
    const QMetaEnum metaEnum = metaObject.enumerator(index);
    const char* key = metaEnum.valueToKey(static_cast<int>(value));
    return key ? QString::fromUtf8(key) : QString();
}

QString Tools::firmwareVersionText(quint32 parameter)
{
    const std::array<char, 4> bytes = parameterBytes(parameter);
    // A zero byte ends the text, so a parameter of 0 reads as an empty version.
    QString text = QString::fromUtf8(bytes.data(), static_cast<int>(qstrnlen(bytes.data(), 4)));
    if (text.size() >= 2)
        text.insert(2, QLatin1Char('.'));
    return text;
}

quint32 Tools::firmwareVersionNumber(quint32 parameter)
{
    const std::array<char, 4> bytes = parameterBytes(parameter);
    if (static_cast<unsigned char>(bytes[2]) == 0xFF)
        return 0;
    const QString text = QString::fromUtf8(bytes.data(), 4);
    bool ok = false;
    const uint number = text.mid(text.size() - 3).toUInt(&ok);
    return ok ? number : 0;
}

QString Tools::printCanHeader(const canBusMessageHeaderStruct* header)
{
    const unsigned char action = header->action;
    const unsigned char command = header->dataOrCommand;
    const quint32 parameter = header->parameter;

    QString parameterText = QString::number(parameter);
    if (action == korvoEnums::CommandMessage && command == korvoEnums::KeepOnline)
        parameterText = firmwareVersionText(parameter);
    else if (action == korvoEnums::CommandMessage && command == korvoEnums::ErrorMessage)
        parameterText = convertEnumToQString("ErrorCodes", parameter & 0xFF);

    const auto serialText = [](quint32 serial) {
        return serial == 0xFFFFFFFFu ? QStringLiteral("FF FF FF FF") : QString::number(serial);
    };

    return QStringLiteral("%1 - %2: parameter: %3, parameter1: %4, sender %5: serial: %6, reciever "
                          "%7: serial %8")
        .arg(convertEnumToQString("ActionTypes", action),
             convertEnumToQString(action == korvoEnums::CommandMessage ? "CommandsEnum"
                                                                       : "MessageDataTypes",
                                  command),
             parameterText, convertEnumToQString("SocketStatus", header->parameter1),
             convertEnumToQString("DeviceModelId", header->senderModelId),
             serialText(header->senderSerial),
             convertEnumToQString("DeviceModelId", header->receiverModelId),
             serialText(header->receiverSerial));
}

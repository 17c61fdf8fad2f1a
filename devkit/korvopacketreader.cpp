#include "korvopacketreader.h"

#include "korvoenums.h"
#include "tools.h"

#include <array>

namespace {

constexpr std::array<char, 4> magicBytes{0x00, 0x01, 0x22, 0x77};

} // namespace

QList<KorvoPacketReader::Frame> KorvoPacketReader::feed(const char* bytes, qsizetype count)
{
    QList<Frame> frames;
    qsizetype i = 0;
    while (i < count) {
        if (collecting) {
            const qsizetype wanted = qsizetype(quint32(header.dataSize)) - data.size();
            const qsizetype take = qMin(wanted, count - i);
            data.append(bytes + i, int(take));
            i += take;
            if (data.size() < qsizetype(quint32(header.dataSize)))
                continue;
            collecting = false;
            const bool good = Tools::calcCrc(data.constData(), uint(data.size())) == header.dataCrc;
            frames.append({good ? Frame::Packet : Frame::BadDataCrc, header, data});
            data.clear();
            continue;
        }

        const char byte = bytes[i++];
        if (headerCount < int(magicBytes.size()) && byte != magicBytes[size_t(headerCount)]) {
            // The breaking byte starts the hunt again, as its first byte if
            // it can be one.
            headerCount = 0;
            if (byte != magicBytes[0])
                continue;
        }
        reinterpret_cast<char*>(&header)[headerCount++] = byte;
        if (headerCount < usbHeaderSize)
            continue;

        headerCount = 0;
        if (!headerIsValid(header)) {
            frames.append({Frame::BadHeaderCrc, header, {}});
            // A header may begin anywhere after the first of these bytes;
            // 23 bytes complete no frame, so the call returns none.
            const QByteArray rest(reinterpret_cast<const char*>(&header) + 1, usbHeaderSize - 1);
            feed(rest.constData(), rest.size());
        } else if (header.action == korvoEnums::CommandMessage) {
            frames.append({Frame::Packet, header, {}});
        } else if (header.action != korvoEnums::FlashData) {
            frames.append({Frame::UnknownAction, header, {}});
        } else if (header.dataSize == 0u || header.dataSize > maxDataSize) {
            frames.append({Frame::BadSize, header, {}});
        } else {
            collecting = true;
            data.clear();
            data.reserve(int(quint32(header.dataSize)));
        }
    }
    return frames;
}

void KorvoPacketReader::reset()
{
    headerCount = 0;
    collecting = false;
    data.clear();
}

#include "soakplan.h"

#include "korvoenums.h"

#include <chrono>
#include <random>

using namespace std::chrono_literals;

namespace {

constexpr int headBlockSize = 108;
constexpr int sliceSize = 4096;
constexpr int smallImageMin = headBlockSize + 1;
constexpr int smallImageMax = 5000;
constexpr int mediumImageMax = 300 * 1024;
constexpr int trailerSize = 16;
// Devices slow enough to matter stay well inside the 2 s watchdog, also
// when an acknowledgement is lost and the device's own silence watch
// (packetTimeout after the programming) has to ask for the next packet:
// 900 + 200 ms leave the tool 900 ms of a loaded machine.
constexpr int slowPacketMaxMs = 20;
constexpr int verySlowPacketMinMs = 500;
constexpr int verySlowPacketMaxMs = 900;
constexpr int verySlowMaxPackets = 3;

class Dice
{
public:
    Dice(quint64 seed, int index)
    {
        std::seed_seq sequence{quint32(seed), quint32(seed >> 32), quint32(index)};
        engine.seed(sequence);
    }
    int between(int low, int high) // inclusive
    {
        return std::uniform_int_distribution<int>(low, high)(engine);
    }
    bool chance(int percent) { return between(1, 100) <= percent; }
    quint32 word() { return quint32(engine()); }

private:
    std::mt19937 engine;
};

QByteArray garbage(Dice& dice, bool magicTail)
{
    // Without a 0x00 no byte of it can start a magic. A lossy tail begins
    // one: a partial magic that the packet's own first bytes break, or a
    // whole magic whose 24 header bytes reach into the packet and fail
    // their headerCrc. Either way the link must still find the packet.
    QByteArray bytes;
    const int length = dice.between(1, 16);
    for (int i = 0; i < length; ++i)
        bytes.append(char(dice.between(1, 255)));
    if (!magicTail)
        return bytes;
    static const QList<QByteArray> tails{
        QByteArray("\x00", 1), QByteArray("\x00\x00", 2), QByteArray("\x00\x01\x00", 3),
        QByteArray("\x00\x01\x22\x00", 4), QByteArray("\x00\x01\x22\x77", 4)};
    const int tail = dice.between(0, int(tails.size()) - 1);
    bytes.append(tails.at(tail));
    if (tail == int(tails.size()) - 1)
        for (int i = dice.between(0, 12); i > 0; --i)
            bytes.append(char(dice.between(0, 255)));
    return bytes;
}

QByteArray malformedCatalogueBody(Dice& dice)
{
    const QByteArray good = R"({"Korvo 7":{"v1":["a.bin","b.bin"]},"Korvo 9":{"v2":["c.bin"]}})";
    switch (dice.between(0, 3)) {
    case 0:
        return good.left(dice.between(1, good.size() - 1)); // cut short
    case 1: {
        QByteArray bytes;
        for (int i = dice.between(1, 64); i > 0; --i)
            bytes.append(char(dice.between(0, 255)));
        return bytes.startsWith('{') || bytes.startsWith('[') ? "<" + bytes : bytes;
    }
    case 2:
        return "[\"Korvo 7\"]"; // JSON, but not an object
    default:
        return "{}"; // an object without devices
    }
}

} // namespace

SoakRunPlan SoakRunPlan::draw(quint64 seed, int index)
{
    Dice dice(seed, index);
    SoakRunPlan plan;
    plan.index = index;
    plan.imageSize = dice.chance(50) ? dice.between(smallImageMin, smallImageMax)
                                     : dice.between(smallImageMax + 1, mediumImageMax);
    plan.packets = (plan.imageSize - headBlockSize + sliceSize - 1) / sliceSize;
    const int lastPacket = plan.packets - 1;

    KorvoEmulatorSettings& device = plan.device;
    device.startInBootLoader = true;
    device.firmwareVersion = QByteArray::number(1000 + index % 9000).right(4);
    device.rebootDelay = 100ms;
    // The device's last acknowledgement must be read before its port goes
    // (a closing pty discards what the tool has not read yet); a loaded
    // machine can hold the tool off its port for tens of milliseconds.
    device.finalAckGrace = 250ms;
    device.eraseDelay = 5ms;
    device.packetTimeout = 200ms;
    device.randomSeed = dice.word();

    // Faults that must not cost the run.
    if (dice.chance(25)) {
        device.randomChunkMax = dice.between(1, 48);
        device.chunkGap = 1ms;
        plan.faults << QStringLiteral("chunked<=%1").arg(device.randomChunkMax);
    }
    if (dice.chance(20)) {
        device.garbageBetweenPackets = garbage(dice, false);
        plan.faults << QStringLiteral("garbage%1").arg(device.garbageBetweenPackets.size());
    }
    if (dice.chance(25)) {
        const bool verySlow = plan.packets <= verySlowMaxPackets && dice.chance(30);
        device.programmingDelay = std::chrono::milliseconds(
            verySlow ? dice.between(verySlowPacketMinMs, verySlowPacketMaxMs)
                     : dice.between(1, slowPacketMaxMs));
        if (dice.chance(50))
            device.linkBytesPerSecond = quint32(dice.between(200, 2000)) * 1000;
        plan.faults << QStringLiteral("slow%1ms").arg(device.programmingDelay.count());
        if (device.linkBytesPerSecond)
            plan.faults << QStringLiteral("link%1kB/s").arg(device.linkBytesPerSecond / 1000);
    }
    if (dice.chance(20)) {
        device.corruptPacket = quint32(dice.between(0, lastPacket));
        plan.faults << QStringLiteral("resend-request@%1").arg(*device.corruptPacket);
    }
    if (dice.chance(15)) {
        device.dropAckOfPacket = quint32(dice.between(0, lastPacket));
        plan.faults << QStringLiteral("ack-dropped@%1").arg(*device.dropAckOfPacket);
    }
    if (dice.chance(15)) {
        device.corruptAckOfPacket = quint32(dice.between(0, lastPacket));
        plan.faults << QStringLiteral("ack-corrupted@%1").arg(*device.corruptAckOfPacket);
    }

    // At most one fault that ends the run.
    plan.primaryFault = QStringLiteral("none");
    const int ending = dice.between(1, 100);
    const quint32 at = quint32(dice.between(0, lastPacket));
    if (ending <= 10) {
        device.errorAtPacket = at;
        device.errorCode
            = quint8(dice.between(korvoEnums::Error_BadFirmware, korvoEnums::Error_BGA_Timeout));
        plan.primaryFault = QStringLiteral("error-message");
        plan.faults << QStringLiteral("error%1@%2").arg(device.errorCode).arg(at);
        plan.expected = Expected::DeviceError;
    } else if (ending <= 18) {
        device.silentFromPacket = at;
        plan.primaryFault = QStringLiteral("silence");
        plan.faults << QStringLiteral("silent@%1").arg(at);
        plan.expected = Expected::DeviceSilent;
    } else if (ending <= 28) {
        device.unplugAtPacket = at;
        plan.primaryFault = QStringLiteral("unplug");
        plan.faults << QStringLiteral("unplug@%1").arg(at);
        plan.expected = at == quint32(lastPacket) ? Expected::Unconfirmed : Expected::PortLost;
    } else if (ending <= 30) {
        device.garbageBetweenPackets = garbage(dice, true);
        plan.primaryFault = QStringLiteral("lossy-garbage");
        plan.faults << QStringLiteral("lossy-garbage%1").arg(device.garbageBetweenPackets.size());
    }

    // The firmware server.
    if (dice.chance(20)) {
        plan.source = Source::Download;
        plan.faults << QStringLiteral("download");
        if (dice.chance(60)) {
            plan.downloadFault = DownloadFault(dice.between(1, 3));
            const int fileSize = plan.imageSize + trailerSize;
            if (plan.downloadFault == DownloadFault::ErrorStatus)
                plan.httpStatus = QList<int>{403, 404, 500, 503}.at(dice.between(0, 3));
            if (plan.downloadFault == DownloadFault::Truncated)
                plan.truncateAfter = dice.between(0, fileSize - 1);
            plan.faults << (plan.downloadFault == DownloadFault::ErrorStatus
                                ? QStringLiteral("http%1").arg(plan.httpStatus)
                                : plan.downloadFault == DownloadFault::Stall
                                ? QStringLiteral("download-stall")
                                : QStringLiteral("truncated@%1").arg(plan.truncateAfter));
            plan.primaryFault = QStringLiteral("download-fault");
            plan.expected = Expected::DownloadFailed;
        }
    }
    if (dice.chance(15)) {
        plan.catalogueFault = CatalogueFault(dice.between(1, 4));
        plan.catalogueStatus = QList<int>{404, 500, 502, 503}.at(dice.between(0, 3));
        plan.catalogueTruncateAfter = dice.between(0, 40);
        if (plan.catalogueFault == CatalogueFault::Malformed)
            plan.malformedCatalogue = malformedCatalogueBody(dice);
        // The server stalls or cuts one path at a time; the download keeps it.
        if ((plan.catalogueFault == CatalogueFault::Stall
             && plan.downloadFault == DownloadFault::Stall)
            || (plan.catalogueFault == CatalogueFault::Truncated
                && plan.downloadFault == DownloadFault::Truncated))
            plan.catalogueFault = CatalogueFault::ErrorStatus;
        plan.faults << QStringList{QString(), QStringLiteral("catalogue-http"),
                                   QStringLiteral("catalogue-stall"),
                                   QStringLiteral("catalogue-truncated"),
                                   QStringLiteral("catalogue-malformed")}
                           .at(int(plan.catalogueFault));
    }

    // A lost last acknowledgement decides only when nothing ended the run
    // before: the device has the whole image and restarts, the tool cannot
    // know and sees its port go.
    const bool lastAckLost = device.dropAckOfPacket == quint32(lastPacket)
        || device.corruptAckOfPacket == quint32(lastPacket);
    if (plan.expected == Expected::Success && lastAckLost) {
        plan.expected = Expected::Unconfirmed;
        plan.primaryFault = QStringLiteral("last-ack-lost");
    }
    if (plan.primaryFault == QLatin1String("none") && !plan.faults.isEmpty())
        plan.primaryFault = QStringLiteral("recoverable");
    return plan;
}

QString SoakRunPlan::describe() const
{
    return QStringLiteral("size=%1 packets=%2 source=%3 faults=[%4] expect=%5")
        .arg(imageSize)
        .arg(packets)
        .arg(source == Source::Direct ? QStringLiteral("direct") : QStringLiteral("download"))
        .arg(faults.join(QLatin1Char(',')))
        .arg(expectedName(expected));
}

QString expectedName(SoakRunPlan::Expected expected)
{
    switch (expected) {
    case SoakRunPlan::Expected::Success:
        return QStringLiteral("success");
    case SoakRunPlan::Expected::DeviceError:
        return QStringLiteral("device-error");
    case SoakRunPlan::Expected::DeviceSilent:
        return QStringLiteral("device-silent");
    case SoakRunPlan::Expected::PortLost:
        return QStringLiteral("port-lost");
    case SoakRunPlan::Expected::Unconfirmed:
        return QStringLiteral("unconfirmed");
    case SoakRunPlan::Expected::DownloadFailed:
        return QStringLiteral("download-failed");
    }
    return {};
}

// Fuzz target: arbitrary bytes through the link's receive path (parser and
// dispatch), in reads whose sizes the input chooses, with an image loaded in
// the flashing engine so that its commands take effect. The port is closed,
// so whatever the link answers goes nowhere.
//
// Input: the stream at the front; from the end, one byte choosing the image,
// one byte of flags, then one byte per read (its size less one).
//
// Checked after every read, against a reference reader of the same framing
// (devkit's KorvoPacketReader):
// - the link dispatched exactly the packets the reference reader completed,
//   and both are in the middle of a packet or neither is;
// - the receive buffer stays within the data block bound;
// - mpxPackets holds one record per id, the latest one for every id sent;
// - the properties hold what the last packet that sets them said;
// - the engine reports no progress of 100 or more, success only on an
//   acknowledgement, and at most one message for its one image, each with
//   its typed ending.

#include "dfu_client.h"
#include "fuzzinput.h"
#include "korvoenums.h"
#include "korvopacketreader.h"
#include "packets.h"
#include "tools.h"
#include "usb_stmflasher.h"

#include <QCoreApplication>
#include <QSet>
#include <QThreadPool>

#include <array>
#include <atomic>
#include <cstring>
#include <map>

namespace {

using Frame = KorvoPacketReader::Frame;

constexpr int trailerSize = 16;
// Flag: give every header and block in the stream matching checksums, so
// that mutations of their fields reach the dispatch.
constexpr uint8_t repairChecksumsFlag = 0x01;
constexpr int mpxRecordSize = int(sizeof(mpxPacketStruct));
constexpr int dfuInfoMinSize = 8;
const QString offlineVersionText = QStringLiteral("T-.--");

std::atomic<int> dispatchedPackets{0};

// Counts the packets the link dispatched: it writes one line for each.
void countDispatches(QtMsgType, const QMessageLogContext&, const QString& message)
{
    if (message.contains(QLatin1String("Debug : usb command recieved: "))
        || message.contains(QLatin1String("Debug : usb data recieved: ")))
        ++dispatchedPackets;
}

void repairChecksums(QByteArray& stream)
{
    static const QByteArray magic("\x00\x01\x22\x77", 4);
    int at = stream.indexOf(magic);
    while (at >= 0 && at + usbHeaderSize <= stream.size()) {
        usbMessageHeaderStruct header{};
        std::memcpy(&header, stream.constData() + at, usbHeaderSize);
        int next = at + usbHeaderSize;
        const quint32 room = quint32(stream.size() - next);
        if (header.action == korvoEnums::FlashData && header.dataSize > 0u
            && header.dataSize <= room) {
            header.dataCrc = Tools::calcCrc(stream.constData() + next, header.dataSize);
            next += int(quint32(header.dataSize));
        }
        header.headerCrc = Tools::calcCrc(&header, usbHeaderCrcSpan);
        std::memcpy(stream.data() + at, &header, usbHeaderSize);
        at = stream.indexOf(magic, next);
    }
}

// What the packets completed so far say the link must show.
struct Expectation
{
    enum class StatusSource { Nothing, KeepOnline, DfuInfo, OtherCommand };

    int packets = 0;
    quint32 versionNumber = 0;
    QString versionText;
    StatusSource statusSource = StatusSource::Nothing;
    quint8 status = 0;
    QByteArray dfuInfo;
    std::map<quint8, mpxPacketStruct> mpx;

    void take(const Frame& frame)
    {
        if (frame.kind != Frame::Packet)
            return;
        ++packets;
        const usbMessageHeaderStruct& header = frame.header;
        const bool command = header.action == korvoEnums::CommandMessage;
        if (command || header.dataOrCommand == korvoEnums::DfuInfo) {
            status = header.status;
            statusSource = StatusSource::OtherCommand;
        }
        if ((command && header.dataOrCommand == korvoEnums::KeepOnline)
            || (!command && header.dataOrCommand == korvoEnums::DfuInfo)) {
            versionNumber = Tools::firmwareVersionNumber(header.parameter);
            versionText = Tools::firmwareVersionText(header.parameter);
            statusSource = command ? StatusSource::KeepOnline : StatusSource::DfuInfo;
            dfuInfo = frame.data;
        }
        if (!command && header.dataOrCommand == korvoEnums::MpxPacketData
            && frame.data.size() >= mpxRecordSize) {
            mpxPacketStruct record{};
            std::memcpy(&record, frame.data.constData(), sizeof record);
            mpx[record.id] = record;
        }
    }
};

void checkLink(USB_StmFlasher& flasher, const KorvoPacketReader& reader, const Expectation& e)
{
    FUZZ_CHECK(dispatchedPackets == e.packets, "link %d, reference %d", int(dispatchedPackets),
               e.packets);
    const usbRxStruct& rx = flasher.receiveState();
    FUZZ_CHECK(reader.idle() == (!rx.collecting && rx.byteCounter == 0),
               "reference idle %d, link collecting %d counter %u", reader.idle(), rx.collecting,
               rx.byteCounter);
    FUZZ_CHECK(quint32(rx.data.capacity()) <= PacketParser::maxDataBlockSize,
               "receive buffer capacity %d", int(rx.data.capacity()));

    const QVector<mpxPacketStruct> records = USB_StmFlasher::mpxPacketRecords();
    QSet<quint8> ids;
    for (const mpxPacketStruct& record : records) {
        FUZZ_CHECK(!ids.contains(record.id), "two records with id %u", record.id);
        ids.insert(record.id);
    }
    for (const auto& [id, expected] : e.mpx) {
        const auto stored
            = std::find_if(records.cbegin(), records.cend(),
                           [id = id](const mpxPacketStruct& r) { return r.id == id; });
        FUZZ_CHECK(stored != records.cend(), "no record for id %u", id);
        FUZZ_CHECK(std::memcmp(&*stored, &expected, sizeof expected) == 0,
                   "record for id %u is not the latest", id);
    }

    const uint status = flasher.getDevConnStatus();
    FUZZ_CHECK(flasher.property("currentFirmwareVersionInt").toUInt() == e.versionNumber,
               "version number %u, expected %u",
               flasher.property("currentFirmwareVersionInt").toUInt(), e.versionNumber);
    switch (e.statusSource) {
    case Expectation::StatusSource::Nothing:
        FUZZ_CHECK(status == korvoEnums::korvoOffline, "status %u without a packet", status);
        return;
    case Expectation::StatusSource::OtherCommand:
        // The engine may have ended its run on it, which sets the status to 0.
        FUZZ_CHECK(status == e.status || status == korvoEnums::korvoOffline,
                   "status %u after a command with %u", status, e.status);
        return;
    case Expectation::StatusSource::KeepOnline:
    case Expectation::StatusSource::DfuInfo:
        break;
    }
    FUZZ_CHECK(status == e.status, "status %u, packet said %u", status, e.status);
    const QString text = flasher.property("currentFirmwareVersion").toString();
    // Status 0 resets the text, unless the status was 0 already.
    FUZZ_CHECK(text == e.versionText || (status == 0 && text == offlineVersionText),
               "version text %s, expected %s", qPrintable(text), qPrintable(e.versionText));
    if (e.statusSource != Expectation::StatusSource::DfuInfo || status == 0
        || e.dfuInfo.size() < dfuInfoMinSize)
        return;
    FUZZ_CHECK(flasher.property("boardVer").toUInt() == quint8(e.dfuInfo[4]), "boardVer");
    FUZZ_CHECK(flasher.property("dfuVersion").toUInt() == quint8(e.dfuInfo[7]), "dfuVersion");
    FUZZ_CHECK(flasher.property("boardRev").toString()
                   == QString::fromUtf8(e.dfuInfo.constData() + 5, 1),
               "boardRev");
}

// The firmware files the engine is given, one per image size, made once.
const QByteArray& firmwareFile(size_t index)
{
    static const std::array<QByteArray, linkImageSizes.size()> files = [] {
        std::array<QByteArray, linkImageSizes.size()> made;
        for (size_t i = 0; i < made.size(); ++i) {
            QByteArray file(linkImageSizes[i] + trailerSize, Qt::Uninitialized);
            char* bytes = file.data();
            for (int at = 0; at < file.size(); ++at)
                bytes[at] = char(at * 31 + 7);
            made[i] = file;
        }
        return made;
    }();
    return files[index];
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler(countDispatches);
    // Objects Qt creates once per process (the thread pool, meta types) are
    // made here, not inside the first input, where they would look leaked.
    USB_StmFlasher warmUp;
    warmUp.dfu()->startFlashing(firmwareFile(linkImageSizes.size() - 1));
    QThreadPool::globalInstance()->waitForDone();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    const size_t image = input.takeSetting() % linkImageSizes.size();
    const uint8_t flags = input.takeSetting();
    QList<QByteArray> reads;
    while (!input.atEnd())
        reads.append(input.takeBytes(size_t(input.takeSetting()) + 1));
    if (flags & repairChecksumsFlag) {
        QByteArray stream;
        for (const QByteArray& read : qAsConst(reads))
            stream += read;
        repairChecksums(stream);
        int at = 0;
        for (QByteArray& read : reads) {
            read = stream.mid(at, read.size());
            at += read.size();
        }
    }

    USB_StmFlasher flasher;
    int messages = 0;
    int endings = 0;
    QObject::connect(&flasher, &USB_StmFlasher::showInfoMessage, [&](const QString& text) {
        ++messages;
        FUZZ_CHECK(messages == 1, "a second message: %s", qPrintable(text));
    });
    QObject::connect(&flasher, &USB_StmFlasher::runFinished,
                     [&](DFU_client::FlashResult result, const QString& text) {
                         ++endings;
                         FUZZ_CHECK(endings == messages, "ending %d beside %d messages: %s",
                                    endings, messages, qPrintable(text));
                         if (result != DFU_client::FlashSucceeded)
                             return;
                         const usbMessageHeaderStruct& header = flasher.receiveState().header;
                         FUZZ_CHECK(header.action == korvoEnums::CommandMessage
                                        && header.dataOrCommand == korvoEnums::FlashPacketVerify,
                                    "success on command %u", uint(header.dataOrCommand));
                     });
    QObject::connect(&flasher, &USB_StmFlasher::flashing_progress_changed,
                     [](uint progress) { FUZZ_CHECK(progress < 100, "progress %u", progress); });
    flasher.dfu()->startFlashing(firmwareFile(image));

    dispatchedPackets = 0;
    KorvoPacketReader reader;
    Expectation expectation;
    for (const QByteArray& read : qAsConst(reads)) {
        flasher.feedBytes(read);
        for (const Frame& frame : reader.feed(read))
            expectation.take(frame);
        checkLink(flasher, reader, expectation);
    }
    return 0;
}

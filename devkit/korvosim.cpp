#include "korvosim.h"

#include "devcertificates.h"
#include "korvoemulator.h"
#include "korvofirmwareimage.h"
#include "localfirmwareserver.h"
#include "loopbackproxy.h"
#include "minisigner.h"
#include "portholder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

using std::chrono::milliseconds;

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
}

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream& err()
{
    static QTextStream stream(stderr);
    return stream;
}

struct Option
{
    const char* name;
    const char* help;
    const char* valueName; // nullptr for a switch
};

const Option options[] = {
    {"firmware-dir", "Serve the firmware tree <dir>/<device name>/<folder>/<file>.", "dir"},
    {"make-sample-firmware",
     "Write a sample firmware tree into <dir>, signed by a key made for it "
     "(<dir>/sample-key.pub), and exit.",
     "dir"},
    {"hold",
     "Hold the serial port <path> open as another program would, until interrupted "
     "(or --hold-ms), then exit.",
     "path"},
    {"hold-ms", "With --hold: let go of the port after this time.", "ms"},
    {"device-name", "USB product string of the device (default \"Korvo 7\").", "name"},
    {"version", "Application firmware version, four digits (default 0105).", "vvvv"},
    {"port-name", "Name of the emulated port (default ttyKORVO0).", "name"},
    {"proxy", "Also run a loopback CONNECT proxy; prints its URL and a base URL that takes it.",
     nullptr},
    {"link", "Keep a symbolic link at <path> pointing at the device's current pty.", "path"},
    {"serial-number", "USB serial number of the device.", "text"},
    {"boot-loader-serial",
     "USB serial number of the boot loader's port, when not the device's (\"\" for none).", "text"},
    {"boot-loader", "Start in the boot loader instead of the application firmware.", nullptr},
    {"reset-after-last-answer",
     "Close the port the moment the last packet's answer is written (no grace).", nullptr},
    {"realistic", "Time the device like a real one (16 ms per packet, 1 MB/s, 400 ms erase).",
     nullptr},
    {"heartbeat-ms", "KeepOnline heartbeat period, 0 for none (default 1000).", "ms"},
    {"reboot-delay-ms", "Time without a port while rebooting (default 300).", "ms"},
    {"erase-delay-ms", "Erase time before ReadyToFlash.", "ms"},
    {"packet-timeout-ms", "Silence before the device asks for a packet again (default 1000).",
     "ms"},
    {"programming-delay-ms", "Programming time per packet.", "ms"},
    {"rate", "Link rate limit in bytes per second, each direction.", "bytes"},
    {"chunks", "Write the output in pieces of these sizes, e.g. 10,14.", "list"},
    {"random-chunks", "Write the output in pieces of random size 1..<max>.", "max"},
    {"seed", "Seed of the random pieces.", "n"},
    {"garbage", "Bytes (hex) written after every packet the device sends.", "hex"},
    {"corrupt-packet", "Answer packet <n> with FlashPacketBadCrc once.", "n"},
    {"drop-ack", "Withhold the acknowledgement of packet <n> once.", "n"},
    {"error-at", "Answer packet <n> with ErrorMessage.", "n"},
    {"error-code", "ErrorCodes value sent with --error-at (default 0).", "code"},
    {"silent-from", "Fall silent at packet <n>.", "n"},
    {"unplug-at", "Unplug (close the port for good) at packet <n>.", "n"},
    {"http-status",
     "Answer requests for <path> with an HTTP status, e.g. "
     "/trennics_firmware/app.php=500.",
     "path=code"},
    {"catalogue-body", "Serve the contents of <file> as the catalogue.", "file"},
    {"stall", "Never answer requests for <path> (* for all).", "path"},
    {"truncate", "Cut bodies for <path> after <bytes> (* for all).", "path=bytes"},
    {"http-delay-ms", "Delay every HTTP answer.", "ms"},
};

bool readNumber(const QCommandLineParser& parser, const char* name, quint32* value)
{
    if (!parser.isSet(QLatin1String(name)))
        return true;
    bool ok = false;
    *value = parser.value(QLatin1String(name)).toUInt(&ok);
    if (!ok)
        err() << "korvo-sim: --" << name << " needs a number" << Qt::endl;
    return ok;
}

bool readMs(const QCommandLineParser& parser, const char* name, milliseconds* value)
{
    quint32 number = quint32(value->count());
    if (!readNumber(parser, name, &number))
        return false;
    *value = milliseconds(number);
    return true;
}

bool readPacket(const QCommandLineParser& parser, const char* name, std::optional<quint32>* value)
{
    if (!parser.isSet(QLatin1String(name)))
        return true;
    quint32 number = 0;
    if (!readNumber(parser, name, &number))
        return false;
    *value = number;
    return true;
}

bool readSettings(const QCommandLineParser& parser, KorvoEmulatorSettings* s)
{
    if (parser.isSet(QStringLiteral("realistic")))
        *s = KorvoEmulatorSettings::realistic();
    if (parser.isSet(QStringLiteral("device-name")))
        s->deviceName = parser.value(QStringLiteral("device-name"));
    if (parser.isSet(QStringLiteral("version")))
        s->firmwareVersion = parser.value(QStringLiteral("version")).toLatin1();
    if (!KorvoFirmwareImage::isValidVersion(s->firmwareVersion)) {
        err() << "korvo-sim: --version needs four digits" << Qt::endl;
        return false;
    }
    if (parser.isSet(QStringLiteral("port-name")))
        s->portName = parser.value(QStringLiteral("port-name"));
    if (parser.isSet(QStringLiteral("link")))
        s->symlinkPath = QFileInfo(parser.value(QStringLiteral("link"))).absoluteFilePath();
    if (parser.isSet(QStringLiteral("serial-number")))
        s->serialNumber = parser.value(QStringLiteral("serial-number"));
    if (parser.isSet(QStringLiteral("boot-loader-serial")))
        s->bootLoaderSerialNumber = parser.value(QStringLiteral("boot-loader-serial"));
    s->startInBootLoader = parser.isSet(QStringLiteral("boot-loader"));
    s->resetRightAfterLastAnswer = parser.isSet(QStringLiteral("reset-after-last-answer"));
    quint32 code = s->errorCode;
    bool ok = readMs(parser, "heartbeat-ms", &s->heartbeatPeriod)
        && readMs(parser, "reboot-delay-ms", &s->rebootDelay)
        && readMs(parser, "erase-delay-ms", &s->eraseDelay)
        && readMs(parser, "packet-timeout-ms", &s->packetTimeout)
        && readMs(parser, "programming-delay-ms", &s->programmingDelay)
        && readNumber(parser, "rate", &s->linkBytesPerSecond)
        && readNumber(parser, "seed", &s->randomSeed)
        && readPacket(parser, "corrupt-packet", &s->corruptPacket)
        && readPacket(parser, "drop-ack", &s->dropAckOfPacket)
        && readPacket(parser, "error-at", &s->errorAtPacket)
        && readNumber(parser, "error-code", &code)
        && readPacket(parser, "silent-from", &s->silentFromPacket)
        && readPacket(parser, "unplug-at", &s->unplugAtPacket);
    s->errorCode = quint8(code);
    quint32 randomMax = 0;
    ok = ok && readNumber(parser, "random-chunks", &randomMax);
    s->randomChunkMax = int(randomMax);
    if (parser.isSet(QStringLiteral("chunks"))) {
        for (const QString& piece :
             parser.value(QStringLiteral("chunks")).split(QLatin1Char(','))) {
            const int size = piece.trimmed().toInt();
            if (size <= 0) {
                err() << "korvo-sim: --chunks needs positive sizes" << Qt::endl;
                return false;
            }
            s->outputChunkSizes.append(size);
        }
    }
    if (parser.isSet(QStringLiteral("garbage")))
        s->garbageBetweenPackets
            = QByteArray::fromHex(parser.value(QStringLiteral("garbage")).toLatin1());
    return ok;
}

bool splitPair(const QString& text, QString* path, qint64* number)
{
    const int at = text.lastIndexOf(QLatin1Char('='));
    bool ok = false;
    *path = text.left(at);
    *number = text.mid(at + 1).toLongLong(&ok);
    return at > 0 && ok;
}

bool readFaults(const QCommandLineParser& parser, LocalFirmwareServerFaults* faults)
{
    for (const QString& pair : parser.values(QStringLiteral("http-status"))) {
        QString path;
        qint64 code = 0;
        if (!splitPair(pair, &path, &code)) {
            err() << "korvo-sim: --http-status needs path=code" << Qt::endl;
            return false;
        }
        faults->statusForPath.insert(path, int(code));
    }
    if (parser.isSet(QStringLiteral("catalogue-body"))) {
        QFile file(parser.value(QStringLiteral("catalogue-body")));
        if (!file.open(QIODevice::ReadOnly)) {
            err() << "korvo-sim: cannot read " << file.fileName() << Qt::endl;
            return false;
        }
        faults->catalogueBody = file.readAll();
    }
    faults->stalledPath = parser.value(QStringLiteral("stall"));
    if (parser.isSet(QStringLiteral("truncate"))
        && !splitPair(parser.value(QStringLiteral("truncate")), &faults->truncatedPath,
                      &faults->truncateAfter)) {
        err() << "korvo-sim: --truncate needs path=bytes" << Qt::endl;
        return false;
    }
    return readMs(parser, "http-delay-ms", &faults->delay);
}

// Quits the event loop on SIGINT or SIGTERM.
bool quitOnSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        err() << "korvo-sim: socketpair failed" << Qt::endl;
        return false;
    }
    auto* interrupted = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(interrupted, &QSocketNotifier::activated, qApp, &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return true;
}

// --hold: the port taken by "another program" for trying the tool's answer.
int holdPort(const QCommandLineParser& parser)
{
    milliseconds holdTime{0};
    if (!readMs(parser, "hold-ms", &holdTime))
        return 2;
    const QString path = parser.value(QStringLiteral("hold"));
    PortHolder holder;
    if (!holder.hold(path)) {
        err() << "korvo-sim: cannot hold " << path << ": " << holder.errorString() << Qt::endl;
        return 1;
    }
    if (!quitOnSignals())
        return 1;
    if (holdTime > milliseconds(0))
        QTimer::singleShot(holdTime, qApp, &QCoreApplication::quit);
    out() << "holding " << path << Qt::endl;
    const int result = QCoreApplication::exec();
    holder.release();
    out() << "released " << path << Qt::endl;
    return result;
}

// What the device does, a line each on stdout.
void announceDevice(KorvoEmulator& device)
{
    QObject::connect(&device, &KorvoEmulator::portPublished, [&device](const QString& location) {
        out() << "device: "
              << (device.mode() == KorvoEmulator::Mode::BootLoader ? "boot loader"
                                                                   : "application firmware")
              << " (version " << device.firmwareVersion() << ") at pty: " << location << Qt::endl;
    });
    QObject::connect(&device, &KorvoEmulator::portWithdrawn,
                     [] { out() << "device: port gone" << Qt::endl; });
    QObject::connect(&device, &KorvoEmulator::flashingCompleted, [](const QByteArray& version) {
        out() << "device: image taken, next firmware version " << version << Qt::endl;
    });
}

// Where a tool finds the device, the server and the proxy (null: none).
void printAddresses(const KorvoEmulator& device, const KorvoEmulatorSettings& settings,
                    const LocalFirmwareServer& server, const LoopbackProxy* proxy)
{
    out() << "port: " << device.portName() << " \"" << settings.deviceName << "\"\n"
          << "pty: " << device.systemLocation() << '\n';
    if (!settings.symlinkPath.isEmpty())
        out() << "link: " << settings.symlinkPath << '\n';
    out() << "base-url: " << server.baseUrl() << '\n'
          << "catalogue: " << server.catalogueUrl() << '\n'
          << "ca-file: " << LocalFirmwareServer::caFile() << Qt::endl;
    if (proxy)
        out() << "proxy: " << proxy->url() << '\n'
              << "proxied-base-url: https://" << DevCertificates::proxiedHostName << ':'
              << server.port() << LocalFirmwareServer::basePath << Qt::endl;
}

} // namespace

namespace KorvoSim {

int run(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "An emulated Korvo device on a pseudo-terminal and a local HTTPS firmware server."));
    parser.addHelpOption();
    for (const Option& option : options) {
        parser.addOption(QCommandLineOption(
            QString::fromLatin1(option.name), QString::fromLatin1(option.help),
            option.valueName ? QString::fromLatin1(option.valueName) : QString()));
    }
    parser.process(arguments);

    if (parser.isSet(QStringLiteral("make-sample-firmware"))) {
        const QString dir = parser.value(QStringLiteral("make-sample-firmware"));
        QString error;
        // Signed by a key made for the tree, its public key beside.
        const MinisignSigner signer = MinisignSigner::generate();
        if (!KorvoFirmwareImage::writeSampleTree(dir, &error, &signer)) {
            err() << "korvo-sim: " << error << Qt::endl;
            return 1;
        }
        out() << "sample firmware written to " << dir << ", signed by key "
              << signer.publicKey().idText() << " (trust it with --trusted-key " << dir
              << "/sample-key.pub)\n";
        return 0;
    }
    if (parser.isSet(QStringLiteral("hold")))
        return holdPort(parser);
    if (!parser.isSet(QStringLiteral("firmware-dir"))) {
        err() << "korvo-sim: --firmware-dir is required (see --help)" << Qt::endl;
        return 2;
    }

    KorvoEmulatorSettings settings;
    LocalFirmwareServerFaults faults;
    if (!readSettings(parser, &settings) || !readFaults(parser, &faults))
        return 2;

    const QString firmwareDir = parser.value(QStringLiteral("firmware-dir"));
    if (!QFileInfo(firmwareDir).isDir()) {
        err() << "korvo-sim: no folder " << firmwareDir << Qt::endl;
        return 2;
    }
    LocalFirmwareServer server(firmwareDir);
    server.setFaults(faults);
    if (!server.start()) {
        err() << "korvo-sim: firmware server: " << server.errorString() << Qt::endl;
        return 1;
    }
    LoopbackProxy proxy;
    if (parser.isSet(QStringLiteral("proxy")) && !proxy.start()) {
        err() << "korvo-sim: proxy: " << proxy.errorString() << Qt::endl;
        return 1;
    }
    KorvoEmulator device(settings);
    announceDevice(device);
    if (!device.start()) {
        err() << "korvo-sim: device: " << device.errorString() << Qt::endl;
        return 1;
    }
    printAddresses(device, settings, server, parser.isSet(QStringLiteral("proxy")) ? &proxy : nullptr);

    if (!quitOnSignals())
        return 1;

    const int result = QCoreApplication::exec();
    device.stop();
    proxy.stop();
    server.stop();
    out() << "korvo-sim: stopped" << Qt::endl;
    return result;
}

} // namespace KorvoSim

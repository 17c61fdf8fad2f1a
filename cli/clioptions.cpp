#include "clioptions.h"

#include "trennicversion.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QUrl>

#include <cmath>

namespace {

const QString programName = QStringLiteral("trennic-flasher-cli");

const QString description
    = QStringLiteral("Shows and updates the firmware of a Korvo device on a USB serial port.\n"
                     "\n"
                     "ACTION is exactly one of --info, --list, --file PATH, --url URL,\n"
                     "--history [N]. --batch with --file or --url flashes unit after unit.\n"
                     "A device running its application firmware is restarted\n"
                     "into its boot loader before it is flashed. Progress goes to stderr, the\n"
                     "final message to stdout.\n"
                     "\n"
                     "Exit codes: 0 success; 1 the run failed; 2 usage error; 3 no device within\n"
                     "the wait; 4 catalogue unavailable, none saved (--list); 5 the device did\n"
                     "not come back with the --expect-version; 130 interrupted (Ctrl-C).\n"
                     "--batch: 0 when every unit succeeded, else 1.");

// Options that take a value and make sense once.
const QStringList singleValued{QStringLiteral("file"),   QStringLiteral("url"),
                               QStringLiteral("port"),   QStringLiteral("device-name"),
                               QStringLiteral("server"), QStringLiteral("ca-cert"),
                               QStringLiteral("wait"),   QStringLiteral("expect-version"),
                               QStringLiteral("proxy"),
                               QStringLiteral("count")};

void addOptions(QCommandLineParser* parser)
{
    parser->setApplicationDescription(description);
    parser->addOptions({
        {QStringLiteral("info"),
         QStringLiteral("Wait for a device and print its state, firmware version, boot-loader "
                        "version, board version and revision, and name.")},
        {QStringLiteral("list"),
         QStringLiteral("Print the catalogue's images for the connected device, newest first: "
                        "file name, a tab, URL. Without the server, the saved catalogue, "
                        "\"cached\" after a tab for images in the cache.")},
        {QStringLiteral("file"), QStringLiteral("Flash the local image <path>."),
         QStringLiteral("path")},
        {QStringLiteral("url"), QStringLiteral("Flash the image at <url> (https)."),
         QStringLiteral("url")},
        {QStringLiteral("port"),
         QStringLiteral("Use this serial device (a path or a port name) instead of scanning; "
                        "after a reboot the same path is waited for again."),
         QStringLiteral("path")},
        {QStringLiteral("device-name"),
         QStringLiteral("Device name for the catalogue, instead of the name the USB bus "
                        "reports (needed with --port on a pseudo-terminal)."),
         QStringLiteral("name")},
        {QStringLiteral("server"), QStringLiteral("Firmware server base URL (https)."),
         QStringLiteral("url")},
        {QStringLiteral("ca-cert"),
         QStringLiteral("Also trust the CA certificate(s) in this PEM file."),
         QStringLiteral("file")},
        {QStringLiteral("proxy"),
         QStringLiteral("Go through this HTTP proxy (http://[user:password@]host:port) instead of "
                        "the system's proxy settings (https_proxy, http_proxy, no_proxy)."),
         QStringLiteral("url")},
        {QStringLiteral("no-proxy"), QStringLiteral("Use no proxy, whatever the system says.")},
        {QStringLiteral("wait"),
         QStringLiteral("How long to wait for a device, and for the boot loader after a "
                        "reboot (default 30)."),
         QStringLiteral("seconds")},
        {QStringLiteral("history"),
         QStringLiteral("Print the last N runs of the run record (default 20) as a table, newest "
                        "last; N follows the option.")},
        {QStringLiteral("no-cache"),
         QStringLiteral("Neither use nor fill the firmware cache (the catalogue and images "
                        "saved for when the server cannot be reached).")},
        {QStringLiteral("expect-version"),
         QStringLiteral("After flashing, exit 5 unless the device comes back in its "
                        "application firmware with this version (e.g. 01.08); a run whose "
                        "last packet was not acknowledged exits 0 only then, else 1."),
         QStringLiteral("version")},
        {QStringLiteral("batch"),
         QStringLiteral("With --file or --url: fetch the image once, then flash device after "
                        "device, a line per unit on stdout, until Ctrl-C or --count.")},
        {QStringLiteral("count"),
         QStringLiteral("With --batch: end the batch after this many units."),
         QStringLiteral("n")},
        {QStringLiteral("verbose"), QStringLiteral("Write the debug log to stderr.")},
        // Not Qt's own help option, which also offers --help-all for Qt's
        // options: this program has none.
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Print this help.")},
        {QStringLiteral("version"), QStringLiteral("Print the version.")},
    });
}

bool isProxyUrl(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && url.scheme() == QLatin1String("http") && !url.host().isEmpty()
        && (url.path().isEmpty() || url.path() == QLatin1String("/"));
}

bool isHttpsUrl(const QString& text)
{
    // Tolerant as the engine parses it: catalogue URLs are plain text and may
    // hold spaces ("Korvo 7").
    const QUrl url(text, QUrl::TolerantMode);
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty();
}

CliParseResult usageError(const QString& error)
{
    CliParseResult result;
    result.outcome = CliParseResult::Outcome::UsageError;
    result.error = error;
    result.text = CliCommandLine::usage();
    return result;
}

} // namespace

namespace CliCommandLine {

QString usage()
{
    QCommandLineParser parser;
    addOptions(&parser);
    // The parser names the program by argv[0]; the synopsis names it as
    // installed and shows the action.
    QString text = parser.helpText();
    const int firstLineEnd = text.indexOf(QLatin1Char('\n'));
    text.replace(0, firstLineEnd, QStringLiteral("Usage: %1 [options] ACTION").arg(programName));
    return text;
}

CliParseResult parse(const QStringList& arguments)
{
    QCommandLineParser parser;
    addOptions(&parser);
    if (!parser.parse(arguments))
        return usageError(parser.errorText());

    if (parser.isSet(QStringLiteral("help"))) {
        CliParseResult result;
        result.outcome = CliParseResult::Outcome::Help;
        result.text = usage();
        return result;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        CliParseResult result;
        result.outcome = CliParseResult::Outcome::Version;
        result.text = programName + QLatin1Char(' ') + QStringLiteral(TRENNIC_VERSION);
        return result;
    }
    // --history takes an optional count, which the parser sees as a
    // positional argument; no other action takes one.
    QStringList positional = parser.positionalArguments();
    CliOptions options;
    if (parser.isSet(QStringLiteral("history")) && !positional.isEmpty()) {
        bool ok = false;
        const int count = positional.first().toInt(&ok);
        if (!ok || count < 1 || count > CliOptions::maxHistoryCount)
            return usageError(QStringLiteral("--history needs a number of runs from 1 to %1.")
                                  .arg(CliOptions::maxHistoryCount));
        options.historyCount = count;
        positional.removeFirst();
    }
    if (!positional.isEmpty())
        return usageError(QStringLiteral("Unexpected argument '%1'.").arg(positional.first()));
    for (const QString& name : singleValued) {
        if (parser.values(name).size() > 1)
            return usageError(QStringLiteral("--%1 given more than once.").arg(name));
    }

    int actions = 0;
    if (parser.isSet(QStringLiteral("info"))) {
        options.action = CliOptions::Action::Info;
        ++actions;
    }
    if (parser.isSet(QStringLiteral("list"))) {
        options.action = CliOptions::Action::List;
        ++actions;
    }
    if (parser.isSet(QStringLiteral("file"))) {
        options.action = CliOptions::Action::File;
        options.file = parser.value(QStringLiteral("file"));
        ++actions;
    }
    if (parser.isSet(QStringLiteral("url"))) {
        options.action = CliOptions::Action::Url;
        options.url = parser.value(QStringLiteral("url"));
        ++actions;
    }
    if (parser.isSet(QStringLiteral("history"))) {
        options.action = CliOptions::Action::History;
        ++actions;
    }
    if (actions != 1)
        return usageError(actions == 0 ? QStringLiteral("No action given.")
                                       : QStringLiteral("More than one action given; choose one."));

    if (options.action == CliOptions::Action::File && options.file.isEmpty())
        return usageError(QStringLiteral("--file needs a path."));
    if (options.action == CliOptions::Action::Url && !isHttpsUrl(options.url))
        return usageError(QStringLiteral("--url needs an https URL."));

    options.port = parser.value(QStringLiteral("port"));
    if (parser.isSet(QStringLiteral("port")) && options.port.isEmpty())
        return usageError(QStringLiteral("--port needs a path or a port name."));
    options.deviceName = parser.value(QStringLiteral("device-name"));
    if (parser.isSet(QStringLiteral("device-name")) && options.deviceName.isEmpty())
        return usageError(QStringLiteral("--device-name needs a name."));
    options.server = parser.value(QStringLiteral("server"));
    if (parser.isSet(QStringLiteral("server")) && !isHttpsUrl(options.server))
        return usageError(QStringLiteral("--server needs an https URL."));
    options.caCertificate = parser.value(QStringLiteral("ca-cert"));
    if (parser.isSet(QStringLiteral("ca-cert")) && options.caCertificate.isEmpty())
        return usageError(QStringLiteral("--ca-cert needs a file."));

    options.proxy = parser.value(QStringLiteral("proxy"));
    if (parser.isSet(QStringLiteral("proxy")) && !isProxyUrl(options.proxy))
        return usageError(QStringLiteral("--proxy needs an http://host:port URL."));
    options.noProxy = parser.isSet(QStringLiteral("no-proxy"));
    if (options.noProxy && !options.proxy.isEmpty())
        return usageError(QStringLiteral("--proxy and --no-proxy exclude each other."));

    if (parser.isSet(QStringLiteral("wait"))) {
        bool ok = false;
        const double seconds = parser.value(QStringLiteral("wait")).toDouble(&ok);
        const double maxSeconds = double(CliOptions::maxWait.count()) / 1000.0;
        if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > maxSeconds)
            return usageError(
                QStringLiteral("--wait needs a number of seconds above 0, at most %1.")
                    .arg(maxSeconds));
        options.wait = std::chrono::milliseconds(qint64(std::ceil(seconds * 1000.0)));
    }
    options.expectVersion = parser.value(QStringLiteral("expect-version"));
    if (parser.isSet(QStringLiteral("expect-version"))) {
        if (options.expectVersion.isEmpty())
            return usageError(QStringLiteral("--expect-version needs a version."));
        if (options.action != CliOptions::Action::File && options.action != CliOptions::Action::Url)
            return usageError(QStringLiteral("--expect-version goes with --file or --url."));
    }
    options.batch = parser.isSet(QStringLiteral("batch"));
    if (options.batch && options.action != CliOptions::Action::File
        && options.action != CliOptions::Action::Url)
        return usageError(QStringLiteral("--batch goes with --file or --url."));
    if (parser.isSet(QStringLiteral("count"))) {
        bool ok = false;
        const int count = parser.value(QStringLiteral("count")).toInt(&ok);
        if (!options.batch)
            return usageError(QStringLiteral("--count goes with --batch."));
        if (!ok || count < 1 || count > CliOptions::maxBatchCount)
            return usageError(QStringLiteral("--count needs a number of units from 1 to %1.")
                                  .arg(CliOptions::maxBatchCount));
        options.batchCount = count;
    }
    options.verbose = parser.isSet(QStringLiteral("verbose"));
    options.useCache = !parser.isSet(QStringLiteral("no-cache"));

    CliParseResult result;
    result.outcome = CliParseResult::Outcome::Run;
    result.options = options;
    return result;
}

} // namespace CliCommandLine

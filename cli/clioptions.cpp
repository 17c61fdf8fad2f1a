#include "clioptions.h"

#include "trennicversion.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QUrl>

#include <cmath>
#include <utility>

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
        {QStringLiteral("trusted-key"),
         QStringLiteral("Trust the minisign public key in this file, beside the compiled-in "
                        "ones (may be given several times). With a trusted key every image "
                        "needs a valid signature <image>.minisig by one of them."),
         QStringLiteral("file")},
        {QStringLiteral("allow-downgrade"),
         QStringLiteral("With --file or --url: flash a signed image whose version is older than "
                        "the device's firmware.")},
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

bool isNotEmpty(const QString& text)
{
    return !text.isEmpty();
}

CliParseResult usageError(const QString& error)
{
    CliParseResult result;
    result.outcome = CliParseResult::Outcome::UsageError;
    result.error = error;
    result.text = CliCommandLine::usage();
    return result;
}

// Each reader takes its part of the command line into `options`; it
// returns the usage error, or an empty text.

QString readPositional(const QCommandLineParser& parser, CliOptions* options)
{
    // --history takes an optional count, which the parser sees as a
    // positional argument; no other action takes one.
    QStringList positional = parser.positionalArguments();
    if (parser.isSet(QStringLiteral("history")) && !positional.isEmpty()) {
        bool ok = false;
        const int count = positional.first().toInt(&ok);
        if (!ok || count < 1 || count > CliOptions::maxHistoryCount)
            return QStringLiteral("--history needs a number of runs from 1 to %1.")
                .arg(CliOptions::maxHistoryCount);
        options->historyCount = count;
        positional.removeFirst();
    }
    if (!positional.isEmpty())
        return QStringLiteral("Unexpected argument '%1'.").arg(positional.first());
    for (const QString& name : singleValued) {
        if (parser.values(name).size() > 1)
            return QStringLiteral("--%1 given more than once.").arg(name);
    }
    return {};
}

QString readAction(const QCommandLineParser& parser, CliOptions* options)
{
    const std::pair<const char*, CliOptions::Action> actions[] = {
        {"info", CliOptions::Action::Info}, {"list", CliOptions::Action::List},
        {"file", CliOptions::Action::File}, {"url", CliOptions::Action::Url},
        {"history", CliOptions::Action::History}};
    int given = 0;
    for (const auto& [name, action] : actions) {
        if (parser.isSet(QLatin1String(name))) {
            options->action = action;
            ++given;
        }
    }
    if (given != 1)
        return given == 0 ? QStringLiteral("No action given.")
                          : QStringLiteral("More than one action given; choose one.");
    options->file = parser.value(QStringLiteral("file"));
    options->url = parser.value(QStringLiteral("url"));
    if (options->action == CliOptions::Action::File && options->file.isEmpty())
        return QStringLiteral("--file needs a path.");
    if (options->action == CliOptions::Action::Url && !isHttpsUrl(options->url))
        return QStringLiteral("--url needs an https URL.");
    return {};
}

QString readConnection(const QCommandLineParser& parser, CliOptions* options)
{
    // Options whose value is kept as it is, each with its check.
    const struct
    {
        const char* name;
        QString CliOptions::*field;
        bool (*valid)(const QString&);
        const char* error;
    } values[] = {
        {"port", &CliOptions::port, isNotEmpty, "--port needs a path or a port name."},
        {"device-name", &CliOptions::deviceName, isNotEmpty, "--device-name needs a name."},
        {"server", &CliOptions::server, isHttpsUrl, "--server needs an https URL."},
        {"ca-cert", &CliOptions::caCertificate, isNotEmpty, "--ca-cert needs a file."},
        {"proxy", &CliOptions::proxy, isProxyUrl, "--proxy needs an http://host:port URL."},
    };
    for (const auto& value : values) {
        options->*value.field = parser.value(QLatin1String(value.name));
        if (parser.isSet(QLatin1String(value.name)) && !value.valid(options->*value.field))
            return QString::fromLatin1(value.error);
    }
    options->noProxy = parser.isSet(QStringLiteral("no-proxy"));
    if (options->noProxy && !options->proxy.isEmpty())
        return QStringLiteral("--proxy and --no-proxy exclude each other.");
    if (parser.isSet(QStringLiteral("wait"))) {
        bool ok = false;
        const double seconds = parser.value(QStringLiteral("wait")).toDouble(&ok);
        const double maxSeconds = double(CliOptions::maxWait.count()) / 1000.0;
        if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > maxSeconds)
            return QStringLiteral("--wait needs a number of seconds above 0, at most %1.")
                .arg(maxSeconds);
        options->wait = std::chrono::milliseconds(qint64(std::ceil(seconds * 1000.0)));
    }
    return {};
}

QString readRunOptions(const QCommandLineParser& parser, CliOptions* options)
{
    const bool flashes = options->action == CliOptions::Action::File
        || options->action == CliOptions::Action::Url;
    options->expectVersion = parser.value(QStringLiteral("expect-version"));
    if (parser.isSet(QStringLiteral("expect-version"))) {
        if (options->expectVersion.isEmpty())
            return QStringLiteral("--expect-version needs a version.");
        if (!flashes)
            return QStringLiteral("--expect-version goes with --file or --url.");
    }
    options->batch = parser.isSet(QStringLiteral("batch"));
    if (options->batch && !flashes)
        return QStringLiteral("--batch goes with --file or --url.");
    if (parser.isSet(QStringLiteral("count"))) {
        bool ok = false;
        const int count = parser.value(QStringLiteral("count")).toInt(&ok);
        if (!options->batch)
            return QStringLiteral("--count goes with --batch.");
        if (!ok || count < 1 || count > CliOptions::maxBatchCount)
            return QStringLiteral("--count needs a number of units from 1 to %1.")
                .arg(CliOptions::maxBatchCount);
        options->batchCount = count;
    }
    options->allowDowngrade = parser.isSet(QStringLiteral("allow-downgrade"));
    if (options->allowDowngrade && !flashes)
        return QStringLiteral("--allow-downgrade goes with --file or --url.");
    options->trustedKeyFiles = parser.values(QStringLiteral("trusted-key"));
    if (options->trustedKeyFiles.contains(QString()))
        return QStringLiteral("--trusted-key needs a file.");
    options->verbose = parser.isSet(QStringLiteral("verbose"));
    options->useCache = !parser.isSet(QStringLiteral("no-cache"));
    return {};
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

    CliParseResult result;
    if (parser.isSet(QStringLiteral("help"))) {
        result.outcome = CliParseResult::Outcome::Help;
        result.text = usage();
        return result;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        result.outcome = CliParseResult::Outcome::Version;
        result.text = programName + QLatin1Char(' ') + QStringLiteral(TRENNIC_VERSION);
        return result;
    }
    CliOptions options;
    for (const auto read : {readPositional, readAction, readConnection, readRunOptions}) {
        const QString error = read(parser, &options);
        if (!error.isEmpty())
            return usageError(error);
    }
    result.outcome = CliParseResult::Outcome::Run;
    result.options = options;
    return result;
}

} // namespace CliCommandLine

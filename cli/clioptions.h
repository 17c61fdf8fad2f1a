#pragma once

#include <QString>
#include <QStringList>

#include <chrono>

// What one invocation of trennic-flasher-cli asks for, parsed and checked.
struct CliOptions
{
    enum class Action {
        None,
        Info, // print what the device reports
        List, // print the catalogue entries for the device
        File, // flash a local image
        Url, // flash the image at a URL
        History, // print the last runs of the run record
    };

    // Default of --wait: how long to wait for a device, and for the boot
    // loader after a reboot.
    static constexpr std::chrono::milliseconds defaultWait{30000};
    // Longest accepted --wait, a day: beyond it the user meant something else.
    static constexpr std::chrono::milliseconds maxWait{24 * 3600 * 1000};

    // --history without a count, and the largest count accepted.
    static constexpr int defaultHistoryCount = 20;
    static constexpr int maxHistoryCount = 1000000;
    // The largest --count accepted.
    static constexpr int maxBatchCount = 1000000;

    Action action = Action::None;
    QString file; // --file
    QString url; // --url
    QString port; // --port: a path or a port name; empty = scan
    QString deviceName; // --device-name; empty = the bus-reported description
    QString server; // --server: firmware base URL; empty = the compiled-in one
    QString caCertificate; // --ca-cert: extra trusted CA (PEM)
    QString proxy; // --proxy: http://host:port of an HTTP proxy; empty = the system's
    bool noProxy = false; // --no-proxy: never a proxy, whatever the system says
    std::chrono::milliseconds wait = defaultWait;
    QString expectVersion; // --expect-version: the version the device must come back with
    bool verbose = false;
    int historyCount = defaultHistoryCount; // --history [N]
    bool useCache = true; // off with --no-cache
    // --batch: flash unit after unit with the one image of --file / --url.
    bool batch = false;
    int batchCount = 0; // --count: units to flash before the batch ends; 0 = until Ctrl-C
    QStringList trustedKeyFiles; // --trusted-key, each a minisign public key file
    bool allowDowngrade = false; // --allow-downgrade
};

// The outcome of reading the command line.
struct CliParseResult
{
    enum class Outcome {
        Run, // `options` holds a complete request
        Help, // print `text` (the usage) on stdout, exit 0
        Version, // print `text` on stdout, exit 0
        UsageError, // print `error` and the usage (`text`) on stderr, exit 2
    };

    Outcome outcome = Outcome::UsageError;
    CliOptions options;
    QString error;
    QString text;
};

namespace CliCommandLine {

// Reads `arguments` (the program name first, as QCoreApplication::arguments()
// gives them). Pure apart from the program name in the usage text.
CliParseResult parse(const QStringList& arguments);

// The usage text: synopsis, actions, options, exit codes.
QString usage();

} // namespace CliCommandLine

// trennic-flasher-cli as a program: the command line read, the process set
// up (log, run record, server, proxy, trusted CA), one FlasherCli run.

#include "flashercli.h"

#include "firmwareserver.h"
#include "historytable.h"
#include "interruptwatcher.h"
#include "logfile.h"
#include "runrecord.h"
#include "runrecordwriter.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkProxy>
#include <QUrl>

namespace {

// The port of a --proxy URL without one, as Qt takes for http_proxy.
constexpr int defaultProxyPort = 8080;

} // namespace

int FlasherCli::runCommandLine(const QStringList& arguments)
{
    const CliConsole console;
    const CliParseResult parsed = CliCommandLine::parse(arguments);
    switch (parsed.outcome) {
    case CliParseResult::Outcome::Help:
        console.out(parsed.text);
        return ExitSuccess;
    case CliParseResult::Outcome::Version:
        console.out(parsed.text + QLatin1Char('\n'));
        return ExitSuccess;
    case CliParseResult::Outcome::UsageError:
        console.err(QStringLiteral("%1: %2\n\n").arg(programName, parsed.error) + parsed.text);
        return ExitUsage;
    case CliParseResult::Outcome::Run:
        break;
    }
    const CliOptions& options = parsed.options;
    if (options.action == CliOptions::Action::History) {
        // Reads the record only: no device, no log file (which would push a
        // run's log out of the kept ones).
        console.out(HistoryTable::format(RunRecord::readLast(options.historyCount)));
        return ExitSuccess;
    }
    // Every run goes into the run record as the command-line tool's.
    RunRecordWriter::recordEveryLink(QStringLiteral("cli"));
    CliLog::install(options.verbose);
    // After the filter, so the file gets every line and stderr only what
    // the filter lets through.
    LogFile::install();
    if (!options.server.isEmpty())
        FirmwareServer::setBaseUrl(options.server);
    if (options.noProxy) {
        FirmwareServer::setProxy(QNetworkProxy::NoProxy);
    } else if (!options.proxy.isEmpty()) {
        const QUrl proxy(options.proxy);
        FirmwareServer::setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, proxy.host(),
                                               quint16(proxy.port(defaultProxyPort)),
                                               proxy.userName(), proxy.password()));
    } else {
        FirmwareServer::useSystemProxy();
    }
    if (!options.caCertificate.isEmpty()
        && !FirmwareServer::addTrustedCaFile(options.caCertificate)) {
        console.err(QStringLiteral("%1: no PEM certificate in %2\n\n")
                        .arg(programName, options.caCertificate)
                    + CliCommandLine::usage());
        return ExitUsage;
    }

    // Keys given on the command line are trusted beside the compiled-in ones.
    if (!options.trustedKeyFiles.isEmpty()) {
        QList<MinisignKey> keys = FirmwareSignature::trustedKeys();
        for (const QString& path : options.trustedKeyFiles) {
            QFile file(path);
            const std::optional<MinisignKey> key = file.open(QIODevice::ReadOnly)
                ? Minisign::parsePublicKey(file.read(FirmwareSignature::maxSignatureBytes))
                : std::nullopt;
            if (!key) {
                console.err(QStringLiteral("%1: no minisign public key in %2\n\n")
                                .arg(programName, path)
                            + CliCommandLine::usage());
                return ExitUsage;
            }
            keys.append(*key);
        }
        FirmwareSignature::setTrustedKeys(keys);
    }

    InterruptWatcher interrupts;
    FlasherCli cli(options,
                   console.errIsTerminal() ? ProgressReport::Style::UpdatingLine
                                           : ProgressReport::Style::LinePerTenPercent,
                   console);
    connect(&interrupts, &InterruptWatcher::interrupted, &cli, &FlasherCli::interrupt);
    connect(&cli, &FlasherCli::finished, QCoreApplication::instance(), &QCoreApplication::exit);
    cli.start();
    if (!cli.isFinished())
        QCoreApplication::exec();
    return cli.exitCode();
}

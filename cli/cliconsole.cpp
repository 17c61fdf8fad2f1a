#include "cliconsole.h"

#include <QByteArray>
#include <QtGlobal>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

QtMessageHandler previousHandler = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

bool CliConsole::errIsTerminal() const
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(errStream)) != 0;
#else
    return ::isatty(::fileno(errStream)) != 0;
#endif
}

void CliConsole::write(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

namespace CliLog {

void install(bool verbose)
{
    if (verbose)
        return;
    previousHandler = qInstallMessageHandler(quietHandler);
}

} // namespace CliLog

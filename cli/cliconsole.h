#pragma once

#include <QString>

#include <cstdio>

// The command-line tool's two output streams. Text is written as UTF-8
// whatever the locale (the engine's messages are Cyrillic), unbuffered in
// effect: every write is flushed, so progress and messages keep their order
// when both streams go to one terminal or file.
class CliConsole
{
public:
    CliConsole(std::FILE* out = stdout, std::FILE* err = stderr) : outStream(out), errStream(err) {}

    void out(const QString& text) const { write(outStream, text); }
    void err(const QString& text) const { write(errStream, text); }
    // True when stderr is a terminal, where progress updates one line in place.
    bool errIsTerminal() const;

private:
    static void write(std::FILE* stream, const QString& text);

    std::FILE* outStream;
    std::FILE* errStream;
};

namespace CliLog {

// Routes the debug log: with `verbose` every message goes to the handler
// installed before (stderr); otherwise debug and info lines are dropped and
// only warnings and worse get through.
void install(bool verbose);

} // namespace CliLog

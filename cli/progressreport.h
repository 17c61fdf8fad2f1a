#pragma once

#include <QString>

#include <chrono>

// Turns a flashing run's progress into text for stderr: on a terminal one
// line rewritten in place, otherwise (a log file, a pipe) one line for each
// further 10 %. Each line shows the percentage, the rate in KiB/s and the
// time left. Holds no clock: the caller passes the time since the transfer
// started, so the text follows from its inputs alone.
class ProgressReport
{
public:
    enum class Style {
        UpdatingLine, // a terminal: "\r" + the line, cleared to its end
        LinePerTenPercent, // anything else
    };

    // Progress is reported in lines for each further step of this size.
    static constexpr unsigned int lineStepPercent = 10;

    // `what` names the transfer at the start of each line: "flashing" (the
    // engine's run) or "downloading" (the image before it).
    explicit ProgressReport(Style style, const QString& what = QStringLiteral("flashing"))
        : style(style), what(what)
    {}

    // Text to write for a progress value of the engine (1..99 during a run;
    // 0 when a run ends, which writes nothing). Empty when nothing is due.
    QString update(unsigned int percent, quint64 confirmedBytes, quint64 imageSize,
                   std::chrono::milliseconds elapsed);

    // Text that closes the report when the run has ended: a last line at
    // 100 % after a success; after a failure only the end of an updating
    // line, so the message that follows starts on a line of its own.
    QString finish(bool succeeded, quint64 imageSize, std::chrono::milliseconds elapsed);

    // "flashing  45 %   123.4 KiB/s   0:12 left", the text of one report.
    static QString line(unsigned int percent, quint64 confirmedBytes, quint64 imageSize,
                        std::chrono::milliseconds elapsed);
    // The same line for another transfer: "downloading  45 %   ...".
    static QString line(const QString& what, unsigned int percent, quint64 doneBytes,
                        quint64 totalBytes, std::chrono::milliseconds elapsed);

private:
    Style style;
    QString what;
    unsigned int lastLineStep = 0; // the last step reported in LinePerTenPercent
    bool lineOpen = false; // an updating line is on the terminal without its newline
};

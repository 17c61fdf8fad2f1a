#pragma once

#include "usb_stmflasher.h"

#include <QObject>
#include <QStringList>

#include <cstring>

// Records, in order, what a flashing run shows the user: progress values and
// messages, as the device link relays them.
class RunRecorder : public QObject
{
public:
    explicit RunRecorder(USB_StmFlasher* flasher)
    {
        connect(flasher, &USB_StmFlasher::flashing_progress_changed, this, [this](uint value) {
            progress.append(value);
            events.append(QStringLiteral("progress %1").arg(value));
        });
        connect(flasher, &USB_StmFlasher::showInfoMessage, this, [this](const QString& text) {
            messages.append(text);
            events.append(QStringLiteral("message ") + text);
        });
    }

    // 1 first, then never falling and never 100, and 0 last.
    bool progressWellFormed() const
    {
        if (progress.size() < 2 || progress.first() != 1 || progress.last() != 0)
            return false;
        for (int i = 1; i + 1 < progress.size(); ++i)
            if (progress[i] <= progress[i - 1] || progress[i] >= 100)
                return false;
        return true;
    }

    QList<uint> progress;
    QStringList messages;
    QStringList events;
};

// A firmware file: `transmitted` image bytes that follow from `seed`, then a
// 16-byte trailer the tool must never send.
inline QByteArray makeFirmwareFile(int transmitted, quint32 seed = 1)
{
    QByteArray file(transmitted + 16, Qt::Uninitialized);
    quint32 state = seed * 2654435761u + 1;
    for (int i = 0; i < transmitted; ++i) {
        state = state * 1664525u + 1013904223u;
        file[i] = char(state >> 24);
    }
    std::memcpy(file.data() + transmitted, "TRAILER-NOT-SENT", 16);
    return file;
}

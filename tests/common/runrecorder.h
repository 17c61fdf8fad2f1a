#pragma once

#include "usb_stmflasher.h"

#include <QStringList>

#include <cstring>

// Records what a flashing run shows the user, as the device link relays it:
// progress values, messages, and the progress shown when each message came.
class RunRecorder : public QObject
{
public:
    explicit RunRecorder(USB_StmFlasher* flasher)
    {
        connect(flasher, &USB_StmFlasher::flashing_progress_changed, this,
                [this](uint value) { progress.append(value); });
        connect(flasher, &USB_StmFlasher::showInfoMessage, this, [this](const QString& text) {
            messages.append(text);
            progressAtMessage.append(progress.value(progress.size() - 1, 0));
        });
        connect(flasher, &USB_StmFlasher::runFinished, this,
                [this](DFU_client::FlashResult result, const QString& text) {
                    results.append(result);
                    resultTexts.append(text);
                });
    }

    // The run's one typed ending, beside its one message and with its text,
    // of the kind that message tells.
    bool endedOnceAsTold() const
    {
        return messages.size() == 1 && results.size() == 1 && resultTexts == messages
            && results.first() == resultTold(messages.first());
    }

    // The ending each of the engine's texts stands for.
    static DFU_client::FlashResult resultTold(const QString& message)
    {
        if (message == DFU_client::successMessage)
            return DFU_client::FlashSucceeded;
        if (message.startsWith(DFU_client::deviceErrorMessagePrefix))
            return DFU_client::FlashDeviceError;
        if (message == DFU_client::timeoutMessage)
            return DFU_client::FlashDeviceSilent;
        if (message == DFU_client::portLostMessage)
            return DFU_client::FlashPortLost;
        if (message == DFU_client::downloadFailedMessage)
            return DFU_client::FlashDownloadFailed;
        if (message == DFU_client::imageTooSmallMessage)
            return DFU_client::FlashImageRefused;
        if (message == DFU_client::fileUnreadableMessage)
            return DFU_client::FlashFileUnreadable;
        if (message == DFU_client::signatureRefusedMessage)
            return DFU_client::FlashSignatureRefused;
        if (message.startsWith(DFU_client::downgradeRefusedMessage.left(30)))
            return DFU_client::FlashDowngradeRefused;
        return DFU_client::FlashInterrupted;
    }

    // 1 first, then rising and never 100, and back to 0 for the one message.
    bool wellFormed() const
    {
        bool rising = progress.size() >= 2 && progress.first() == 1 && progress.last() == 0;
        for (int i = 1; i + 1 < progress.size(); ++i)
            rising = rising && progress[i] > progress[i - 1] && progress[i] < 100;
        return rising && progressAtMessage == QList<uint>{0};
    }

    QList<uint> progress;
    QStringList messages;
    QList<uint> progressAtMessage;
    QList<DFU_client::FlashResult> results;
    QStringList resultTexts;
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

#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

// What one flashing run cost, as seen by the client.
struct RunFigures
{
    bool ok = false;
    QString error;
    double totalMs = 0; // ReadyToFlash received .. last acknowledgement received
    int packets = 0;
    std::vector<double> gapsUs; // acknowledgement read .. next packet about to be written
    std::vector<double> roundTripsUs; // packet about to be written .. its answer read
};

// The least a client can do: plain blocking POSIX reads and writes on the
// pseudo-terminal, no Qt and no event loop, the same packets (header and
// payload as two writes) and the same acknowledgements as the tool.
RunFigures flashWithReferenceClient(const QString& systemLocation, const QByteArray& image);

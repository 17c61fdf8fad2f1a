#pragma once

#include <QByteArray>
#include <QString>

// The layout of the firmware images the emulated device understands, and the
// sample images and folder tree that the demo and the tests serve.
//
// Version convention. The transmitted image (the file without its 16-byte
// trailer, which never leaves the computer) starts with the 108-byte head
// block. Its bytes 0..3 are the marker "KRVO" and bytes 4..7 the firmware
// version as four ASCII digits, first digit first, e.g. "0106" for 01.06:
// the same four characters the device then reports in the `parameter` of its
// KeepOnline and DfuInfo messages. An image without the marker or without
// four digits there carries no version; the device keeps its old one.
//
// Trailer (last 16 bytes of a file): the marker "KRVOTRLR", the transmitted
// size as a little-endian 32-bit number, and Tools::calcCrc of the
// transmitted image. Only the tool's "drop the last 16 bytes" rule depends on
// it; nothing checks its contents.
class MinisignSigner;

namespace KorvoFirmwareImage {

constexpr int headBlockSize = 108;
constexpr int trailerSize = 16;
constexpr int versionOffset = 4;
constexpr int versionLength = 4;

// The four version characters of a transmitted image, or an empty array.
QByteArray versionOf(const QByteArray& transmittedImage);

// True for four ASCII digits.
bool isValidVersion(const QByteArray& version);

// A whole firmware file: a transmitted image of `transmittedSize` bytes
// (at least the head block) carrying `version`, filled with bytes that
// follow from `seed`, then the trailer. Deterministic.
QByteArray makeFile(const QByteArray& version, int transmittedSize, quint32 seed);

// The part of a file the tool transmits: everything but the trailer.
QByteArray transmittedPart(const QByteArray& file);

// Writes <dir>/<device name>/<folder>/<file> with two device names and a few
// images of realistic sizes; with `signer` also <file>.minisig beside each,
// naming its device and version, and the signer's public key in
// <dir>/sample-key.pub. Returns false and sets `error` on failure.
bool writeSampleTree(const QString& dir, QString* error = nullptr,
                     const MinisignSigner* signer = nullptr);

} // namespace KorvoFirmwareImage

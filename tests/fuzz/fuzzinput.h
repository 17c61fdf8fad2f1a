#pragma once

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Reads a fuzz input from both ends: settings (one byte each) from the end,
// a byte stream from the front. A mutation of a setting then leaves the
// stream where it was, and a recorded exchange stays one contiguous run of
// bytes at the front of its seed.
class FuzzInput
{
public:
    FuzzInput(const uint8_t* data, size_t size) : data(data), front(0), back(size) {}

    bool atEnd() const { return front >= back; }

    // The next setting from the end; 0 once the input is used up.
    uint8_t takeSetting() { return front < back ? data[--back] : 0; }

    // Up to `count` stream bytes from the front.
    QByteArray takeBytes(size_t count)
    {
        const size_t take = count < back - front ? count : back - front;
        const QByteArray bytes(reinterpret_cast<const char*>(data + front), int(take));
        front += take;
        return bytes;
    }

private:
    const uint8_t* data;
    size_t front;
    size_t back;
};

// Link inputs: the stream arrives in reads of 1..maxLinkChunk bytes, each
// size one setting; a setting before them picks the image the engine holds
// from these transmitted sizes: one packet (shortest and longest), two, three.
constexpr int maxLinkChunk = 256;
constexpr std::array<int, 4> linkImageSizes{109, 4204, 4205, 108 + 4096 * 2 + 7};

// The input that FuzzInput reads back as `settings` (in the order they are
// taken) followed by the stream cut into `chunks` (each 1..maxLinkChunk
// bytes). Seeds are written with it.
inline QByteArray encodeLinkInput(const QList<uint8_t>& settings, const QList<QByteArray>& chunks)
{
    QByteArray stream;
    QByteArray tail; // settings in the order taken, reversed below
    for (const uint8_t setting : settings)
        tail.append(char(setting));
    for (const QByteArray& chunk : chunks) {
        stream += chunk;
        tail.append(char(chunk.size() - 1));
    }
    std::reverse(tail.begin(), tail.end());
    return stream + tail;
}

// Ends the process with a message when an invariant fails: libFuzzer takes
// the abort as a finding and keeps the input.
#define FUZZ_CHECK(condition, ...)                                                                 \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "invariant failed: %s: ", #condition);                            \
            std::fprintf(stderr, __VA_ARGS__);                                                     \
            std::fprintf(stderr, "\n");                                                            \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

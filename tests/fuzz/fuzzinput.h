#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Reads a fuzz input from both ends: settings (one byte each) from the end,
// a byte stream from the front. A mutation of a setting then leaves the
// stream where it was.
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

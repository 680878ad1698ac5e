// The sensor's serial line: fixed by its firmware, so these are protocol constants, not
// settings. Every port the program opens for a sensor takes them from here.
#pragma once

struct LineSettings {
    long baud;
    int parity; // 0 none
    int dataBits;
    int stopBits;
    int queueBytes; // input and output queue
};
inline constexpr LineSettings kSensorLine{19200, 0, 8, 1, 4096};

// A byte on the line: start bit, 8 data bits, stop bit.
inline constexpr int kLineBitsPerByte = 10;
// One sample of the live stream: a 36-byte data request and its 36-byte data reply.
inline constexpr int kSampleExchangeBytes = 72;
// The most samples a second the line can carry, however fast the sensor answers.
inline constexpr double kLineLimitPerSec =
    static_cast<double>(kSensorLine.baud) / kLineBitsPerByte / kSampleExchangeBytes;

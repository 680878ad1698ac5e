// The live data stream as an operation: one data request (order 8, second word 0) outstanding at
// a time, the next one sent once its reply has come, and the time-out running from the last
// request sent. The window's scope loop and the command-line tool's scope both stream through
// these calls; plotting, rows and what a face shows are theirs.
#pragma once

#include "link/exchange.h"

#include <array>
#include <cstdint>

using SampleWords = std::array<std::uint16_t, 16>;

struct DataStream {
    int port = 0;
    double sentAt = 0;     // Timer() when the request in flight went out
    bool answered = false; // the request in flight got its data reply
    long requests = 0;     // data requests written since the stream started
    long samples = 0;      // data replies taken since the stream started
};

// Empties the queues and writes the first data request with `words` (block 0) as its data
// words; the stream is open from then on. Returns the bytes written (36 when whole).
int StartStream(DataStream& s, int port, const std::uint16_t* words);
// The data reply to the stream's own request, once: true with its 16 words when one has come
// since the last call. A nested command's reply never shows up here.
bool TakeSample(DataStream& s, SampleWords& words);
// Empties the queues and writes the next data request. A request sent before the one in flight
// was answered (a nested command took its reply) counts as a lost sample.
int RequestNext(DataStream& s, const std::uint16_t* words);
// Whether the request in flight has gone unanswered past the reply time-out.
bool StreamTimedOut(const DataStream& s);
// One pass of events: returns once something happened, or when the request in flight runs out
// its time-out. Replies, and every other callback, arrive only here.
void PumpStream(const DataStream& s);
// Closes the stream: no request is in flight any more, and a data reply that still comes goes
// to no one. The caller then empties the queues of the port in use (a nested port change may
// have replaced the stream's).
void StopStream(DataStream& s);

// What NextSample ended with.
enum class StreamStep {
    Sample,   // a data reply to the stream's request: its words are in the result
    Timeout,  // no data reply within the reply time-out of the last request
    PortLost, // the device went away
    Stopped,  // the caller's stop flag was set
};
struct StreamSample {
    StreamStep step = StreamStep::Timeout;
    SampleWords words{};
    double at = 0; // Timer() when it was taken
};
// The next sample, for a caller with nothing else to do between samples: requests the next one
// once the last sample was taken, then pumps events until its reply, the time-out, the loss of
// the port or `*stop` (checked after each pass; nullptr never stops). A time-out is counted in
// the link's figures.
StreamSample NextSample(DataStream& s, const std::uint16_t* words, const bool* stop = nullptr);

#include "link/stream.h"

#include "host/clock.h"
#include "link/frames.h"

namespace {
// How far past the time-out a pass may block: enough for the limit to have passed when it looks.
constexpr double kPastLimitSec = 0.0005;

int Request(DataStream& s, const std::uint16_t* words) {
    ++s.requests;
    return SendFrame(s.port, ORDER_DATA, 0, words);
}
} // namespace

int StartStream(DataStream& s, int port, const std::uint16_t* words) {
    s = DataStream{};
    s.port = port;
    FlushQueues(port);
    const int written = Request(s, words);
    s.sentAt = Timer();
    NoteDataRequest(s.sentAt);
    return written;
}

bool TakeSample(DataStream& s, SampleWords& words) {
    if (!TakeDataReply(words)) {
        return false;
    }
    s.answered = true;
    ++s.samples;
    return true;
}

int RequestNext(DataStream& s, const std::uint16_t* words) {
    if (!s.answered) {
        CountLostSample();
    }
    s.answered = false;
    FlushQueues(s.port);
    s.sentAt = Timer();
    NoteDataRequest(s.sentAt);
    return Request(s, words);
}

bool StreamTimedOut(const DataStream& s) {
    return Timer() - s.sentAt > TIMEOUT;
}

void PumpStream(const DataStream& s) {
    ProcessSystemEventsUntil(s.sentAt + TIMEOUT + kPastLimitSec);
}

void StopStream(DataStream& s) {
    s.answered = false;
    EndDataStream();
}

StreamSample NextSample(DataStream& s, const std::uint16_t* words, const bool* stop) {
    StreamSample r;
    if (s.answered) {
        RequestNext(s, words);
    }
    for (;;) {
        if (TakeSample(s, r.words)) {
            r.step = StreamStep::Sample;
            r.at = Timer();
            return r;
        }
        if (StreamTimedOut(s)) {
            CountTimeout();
            r.step = StreamStep::Timeout;
            return r;
        }
        PumpStream(s);
        if (PortLost()) {
            r.step = StreamStep::PortLost;
            return r;
        }
        if (stop && *stop) {
            r.step = StreamStep::Stopped;
            return r;
        }
    }
}

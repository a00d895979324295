#pragma once
// The per-rover stream sender. On every pass of the rover streaming thread
// it sends one rover, in the rover's format, each kept message kind of its
// master base whose frame is complete and carries a stamp the rover has not
// taken yet, and builds the rover's BINR frames from the same stamps.
//
// Frames reach a rover whole: when the socket takes only part of a frame,
// the rest waits in the rover's record and goes out before anything else,
// and the frame's stamp is taken only then. A rover whose socket takes
// nothing for roverStallLimitMs is closed instead of being waited for.
//
// Runs on the rover streaming thread only; everything it remembers lives in
// the Client record.

#include <cstdint>

// A rover that has refused every byte this long is closed.
constexpr uint32_t roverStallLimitMs = 30000;
// A rover with no base to be served from is sent a 1013 this long after the
// last one.
constexpr uint32_t roverKeepAliveMs = 5000;
// The network frames of a new epoch wait this long after the pass that saw
// the epoch.
constexpr uint32_t netFrameDelayMs = 200;
// A frame dropped because its base's record was being written is built
// again this long after; a write lasts one frame's decode.
constexpr uint32_t recordRebuildWaitMs = 1;

enum class FrameSend {
    sent,     // the whole frame went out; its stamp was taken
    held,     // the socket is full: nothing more goes to this rover this pass
    closed,   // the send failed and the rover's slot was freed
};

// One pass for one rover: relays what is new for its stream. False when the
// rover has no master base, when its socket is full, or after a send error
// (the slot is then freed); true otherwise.
bool sendBaseData(int clientIndex);
// The same with the pass's clock value given.
bool sendBaseDataAt(int clientIndex, uint32_t now);

// Within the scope of a batch, the frames sent to one rover are handed to
// its socket one by one as before (a full socket is seen at the same frame),
// but leave together when the scope ends: one segment and one wake-up of
// the rover instead of one per frame.
class RoverOutputBatch {
public:
    explicit RoverOutputBatch(int clientIndex);
    ~RoverOutputBatch();
    RoverOutputBatch(const RoverOutputBatch&) = delete;
    RoverOutputBatch& operator=(const RoverOutputBatch&) = delete;
private:
    int clientIndex_;
    bool outermost_;
};

// Within a batch: the rover will be sent `count` frames more in it (a
// guess that may be wrong either way without harm), so that the last goes
// out without being held back.
void expectBatchFrames(int clientIndex, int count);

// Sends one frame to the rover. Whatever the socket does not take is kept
// for flushClientOutput; `*stampTarget` (a last-sent stamp of this rover, or
// null) takes `stamp` once the whole frame is out. `errorText` is the
// console text of a failed send, followed by the error code.
FrameSend sendClientFrame(int clientIndex, const uint8_t* frame, uint32_t length,
                          uint32_t* stampTarget, uint32_t stamp, const char* errorText,
                          uint32_t now);

// The kept kinds of its master base (bit per kind) that a stream code's
// pass reads: a stored message of another kind brings its rovers nothing.
constexpr uint32_t allKindsRead = 0xFFFFFFFFu;
uint32_t kindsReadBy(int streamCode);

// When the rover next has work by the clock alone, in ms after `now`, the
// clock value of the pass just made: its keep-alive, its pending network
// frames, the stall limit of its full socket, a frame dropped while its
// base's record was written. UINT32_MAX when nothing is
// timed. Work that was due by `now` and still waits is left out: the pass
// found its socket full, and the socket's room wakes the thread for it.
// Work that a stored message brings (relayed kinds, new epochs, ERP
// messages) needs no time: the store wakes the thread.
uint32_t roverDueInMs(int clientIndex, uint32_t now);

// Sends what the socket left of an earlier frame, and closes a rover that
// has taken nothing for roverStallLimitMs. True when the rover may be sent
// new frames now.
bool flushClientOutput(int clientIndex, uint32_t now);

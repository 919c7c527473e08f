// The simulator's loop: reads the peer's bytes from a transport, cuts them into
// requests, lets the terminal answer, applies the faults and writes the replies on
// their schedule, recording everything in the transcript.
#pragma once

#include "Framing.h"
#include "Options.h"
#include "Replay.h"
#include "Terminal.h"
#include "Transcript.h"
#include "Transport.h"

#include <deque>
#include <map>
#include <memory>
#include <string>

namespace termsim {

class Session {
public:
    // The transport must be open. record, a transcript opened data-only, may be null.
    Session(const Options& options, Transport& transport, Transcript& transcript, Transcript* record);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Loads what the options name (the replay file). False with a reason.
    bool prepare(std::string& error);

    // Serves until stopped, idle or out of time. Returns the exit code: 0, or 3 after a
    // replay mismatch.
    int run();

    // Safe from a signal handler or another thread.
    void requestStop();
    int stopFd() const { return m_stopPipe[1]; }

private:
    struct OutChunk {
        std::int64_t due = 0;
        Bytes bytes;
        Bytes frame;             // non-empty on a frame's first chunk: logged as TXF before it
        bool endsFrame = false;  // counts as a reply frame sent once written
        bool closeAfter = false;
        std::string closeReason;
    };

    void log(const std::string& tag, const std::string& text, std::int64_t now = -1);
    void onConnected(const std::string& peer);
    void onDisconnected(const std::string& reason);
    void readAvailable();
    void writeDue(std::int64_t now);
    void handle(const Inbound& in);
    void handleRequest(const Inbound& in);
    void scheduleFrame(const Bytes& wire, std::size_t headerLength, const FaultSet& faults, std::int64_t base,
                       bool closeAfter);
    void scheduleBytes(const Bytes& bytes, std::int64_t due);
    void scheduleReplay(const std::vector<ReplayEngine::Output>& outputs);
    std::int64_t queueEnd(std::int64_t now) const;
    void reportReplayErrors(std::vector<std::string>& errors);
    void checkQueryOrder(const Command& command);
    void noteReplySent(const Command& command, const Reply& reply, const FaultSet& faults);

    const Options& m_options;
    Transport& m_transport;
    Transcript& m_transcript;
    Transcript* m_record;
    Terminal m_terminal;
    std::unique_ptr<Receiver> m_receiver;
    std::unique_ptr<ReplayEngine> m_replay;
    std::map<std::string, unsigned> m_counters;
    std::deque<OutChunk> m_queue;
    unsigned m_framesThisConnection = 0;
    unsigned m_framesTotal = 0;
    bool m_unplugDue = false;  // the next request unplugs the device instead of being answered
    std::int64_t m_lastActivity = 0;
    Bytes m_stxLastReply;  // for a resend after the peer's NAK
    unsigned m_stxResendsLeft = 0;
    bool m_stxAwaitingAck = false;
    // The peer's error reporting must follow an error status with the 0x81 query.
    bool m_expectQuery = false;
    std::uint8_t m_expectQueryStatus = 0;
    bool m_lastReplyIntact = false;
    int m_stopPipe[2] = {-1, -1};
};

}  // namespace termsim

#include "Session.h"

#include "ReplyBuilder.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace termsim {

Session::Session(const Options& options, Transport& transport, Transcript& transcript, Transcript* record)
    : m_options(options),
      m_transport(transport),
      m_transcript(transcript),
      m_record(record),
      m_terminal(options.masterKeys, options.dukptKeys),
      m_receiver(makeReceiver(options.framing, options.frameTimeoutMs, options.rawGapMs)) {
    if (options.platformErrorGiven)
        m_terminal.setPlatformError(options.platformErrorCode, options.platformErrorText);
    if (pipe2(m_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        m_stopPipe[0] = m_stopPipe[1] = -1;
}

Session::~Session() {
    for (int fd : m_stopPipe)
        if (fd >= 0)
            close(fd);
}

bool Session::prepare(std::string& error) {
    if (m_stopPipe[0] < 0) {
        error = "cannot create the stop pipe";
        return false;
    }
    if (!m_options.replayPath.empty()) {
        std::vector<ReplayStep> steps;
        if (!loadRecording(m_options.replayPath, steps, error))
            return false;
        m_replay.reset(new ReplayEngine(std::move(steps), m_options.frameTimeoutMs));
    }
    return true;
}

void Session::requestStop() {
    char c = 1;
    ssize_t n = write(m_stopPipe[1], &c, 1);
    (void)n;
}

void Session::log(const std::string& tag, const std::string& text, std::int64_t now) {
    if (now < 0)
        now = monotonicMicros();
    m_transcript.line(tag, text, now);
    if (m_record != nullptr)
        m_record->line(tag, text, now);  // opened data-only: it keeps RX, TX and EV
}

std::int64_t Session::queueEnd(std::int64_t now) const {
    return m_queue.empty() ? now : std::max(now, m_queue.back().due);
}

void Session::scheduleBytes(const Bytes& bytes, std::int64_t due) {
    OutChunk c;
    c.due = due;
    c.bytes = bytes;
    m_queue.push_back(c);
}

void Session::scheduleFrame(const Bytes& wire, std::size_t headerLength, const FaultSet& faults,
                            std::int64_t base, bool closeAfter) {
    WireReply reply{wire, headerLength};
    std::vector<Chunk> chunks = deliveryChunks(reply, faults);
    std::int64_t due = base;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        due += static_cast<std::int64_t>(chunks[i].delayMs) * 1000;
        OutChunk c;
        c.due = due;
        c.bytes = chunks[i].bytes;
        if (i == 0)
            c.frame = wire;
        if (i + 1 == chunks.size()) {
            c.endsFrame = true;
            c.closeAfter = closeAfter;
            c.closeReason = "close-after fault";
        }
        m_queue.push_back(c);
    }
}

void Session::scheduleReplay(const std::vector<ReplayEngine::Output>& outputs) {
    std::int64_t due = queueEnd(monotonicMicros());
    for (const auto& o : outputs) {
        due += o.delayMicros;
        OutChunk c;
        c.due = due;
        c.bytes = o.bytes;
        c.closeAfter = o.closeAfter;
        c.closeReason = "as recorded";
        m_queue.push_back(c);
    }
}

void Session::reportReplayErrors(std::vector<std::string>& errors) {
    for (const std::string& e : errors)
        log("ERR", e);
    errors.clear();
}

void Session::onConnected(const std::string& peer) {
    log("EV", "connect " + peer);
    m_framesThisConnection = 0;
    m_expectQuery = false;
    m_lastReplyIntact = false;
    m_stxAwaitingAck = false;
    m_lastActivity = monotonicMicros();
    if (m_replay) {
        std::vector<ReplayEngine::Output> out;
        m_replay->connected(out);
        scheduleReplay(out);
    }
}

void Session::onDisconnected(const std::string& reason) {
    if (!m_queue.empty())
        log("EV", "dropped " + std::to_string(m_queue.size()) + " pending write(s)");
    m_queue.clear();
    m_transport.disconnect();
    m_receiver->reset();
    log("EV", "disconnect " + reason);
}

void Session::writeDue(std::int64_t now) {
    while (!m_queue.empty() && m_queue.front().due <= now && m_transport.connected()) {
        OutChunk c = m_queue.front();
        m_queue.pop_front();
        if (!c.frame.empty())
            log("TXF", toHex(c.frame));
        if (!c.bytes.empty()) {
            std::int64_t at = monotonicMicros();
            if (!m_transport.write(c.bytes.data(), c.bytes.size())) {
                log("EV", "write failed");
                if (m_transport.canDisconnect())
                    onDisconnected("local (write failed)");
                return;
            }
            log("TX", toHex(c.bytes), at);
            m_lastActivity = at;
        }
        if (c.endsFrame) {
            ++m_framesThisConnection;
            // The unplug waits for the peer's next request: by then it has taken this
            // reply, so what it saw does not depend on which side ran first.
            if (++m_framesTotal == m_options.unplugAfterFrames)
                m_unplugDue = true;
            if (m_options.closeAfterFrames != 0 && m_framesThisConnection == m_options.closeAfterFrames &&
                m_transport.canDisconnect()) {
                onDisconnected("local (after " + std::to_string(m_framesThisConnection) + " frames)");
                return;
            }
        }
        if (c.closeAfter && m_transport.canDisconnect()) {
            onDisconnected("local (" + c.closeReason + ")");
            return;
        }
    }
}

void Session::handle(const Inbound& in) {
    std::int64_t now = monotonicMicros();
    switch (in.kind) {
    case Inbound::Kind::Error:
        log("ERR", in.text + ": " + toHex(in.raw), now);
        if (in.refuse && !m_replay)
            scheduleBytes(Bytes{kNak}, queueEnd(now));
        break;
    case Inbound::Kind::Ack:
    case Inbound::Kind::Nak: {
        bool ack = in.kind == Inbound::Kind::Ack;
        log("RXC", ack ? "ACK" : "NAK", now);
        if (m_replay)
            break;
        if (!m_stxAwaitingAck) {
            log("ERR", std::string(ack ? "ACK" : "NAK") + " with no reply outstanding", now);
            break;
        }
        if (ack || m_stxResendsLeft == 0) {
            m_stxAwaitingAck = false;
        } else {
            --m_stxResendsLeft;
            FaultSet none;
            scheduleFrame(m_stxLastReply, 3, none, queueEnd(now), false);
        }
        break;
    }
    case Inbound::Kind::Request:
        log("RXF", toHex(in.raw), now);
        if (m_replay)
            log("CMD", m_terminal.classify(in.command, in.data).text);  // the recording answers
        else
            handleRequest(in);
        break;
    }
}

void Session::checkQueryOrder(const Command& command) {
    if (m_expectQuery && command.cls != CommandClass::ErrorQuery)
        log("ERR", "protocol: status " + toHex(&m_expectQueryStatus, 1) +
                       " was not followed by the 0x81 query, but by: " + command.text);
    else if (!m_expectQuery && m_lastReplyIntact && command.cls == CommandClass::ErrorQuery)
        log("ERR", "protocol: 0x81 query after a reply without an error status");
    m_expectQuery = false;
}

void Session::noteReplySent(const Command& command, const Reply& reply, const FaultSet& faults) {
    // Only a reply that reaches the peer's framing whole and in time obliges it to ask;
    // a corrupted, late or missing one may rightly end in its time-out instead.
    m_lastReplyIntact = !faults.replaceWire && !faults.noReply && !faults.badChecksum &&
                        faults.lengthOver == 0 && faults.garbage.empty() &&
                        faults.split == FaultSet::Split::None && faults.delayMs == 0 &&
                        !faults.closeInstead && !faults.closeAfter && !faults.nak && !faults.noAck;
    if (m_options.framing == Framing::Stx || command.cls == CommandClass::ErrorQuery)
        return;
    // The VLI framing reports type 'q' replies with status 0; raw framing makes no exception.
    std::uint8_t status = m_options.framing == Framing::Vli && reply.type == 'q' ? 0 : reply.status;
    if (m_lastReplyIntact && status != 0x00 && status != 0x80 && status != 0xF0) {
        m_expectQuery = true;
        m_expectQueryStatus = status;
    }
}

void Session::handleRequest(const Inbound& in) {
    if (m_unplugDue) {
        m_unplugDue = false;
        m_transport.unplug(m_options.replugAfterMs);
        onDisconnected("local (unplugged after " + std::to_string(m_framesTotal) + " frames)");
        return;
    }
    Command command = m_terminal.classify(in.command, in.data);
    log("CMD", command.text);
    if (!command.problem.empty())
        log("ERR", command.problem + ": " + toHex(in.raw));
    if (m_options.framing != Framing::Stx && !m_replay)
        checkQueryOrder(command);

    std::vector<unsigned> occurrence;
    for (const std::string& name : command.context.names)
        occurrence.push_back(++m_counters[name]);
    FaultSet faults = m_options.faults.match(command.context, occurrence);
    if (faults.any()) {
        std::string text;
        for (const std::string& rule : faults.applied)
            text += (text.empty() ? "" : " ; ") + rule;
        log("FAULT", text);
    }

    std::int64_t now = monotonicMicros();
    if (faults.closeInstead && m_transport.canDisconnect()) {
        m_lastReplyIntact = false;
        onDisconnected("local (close fault)");
        return;
    }
    if (faults.stall && m_transport.stall()) {
        m_lastReplyIntact = false;
        log("EV", "stall");
        return;
    }
    Reply reply = m_terminal.answer(command, faults.status ? &*faults.status : nullptr,
                                    faults.errorText ? &*faults.errorText : nullptr);
    noteReplySent(command, reply, faults);
    if (faults.noReply)
        return;
    bool stx = m_options.framing == Framing::Stx;
    if (stx && faults.nak) {
        scheduleBytes(Bytes{kNak}, queueEnd(now));
        return;
    }
    WireReply wire = buildReplyWire(m_options.framing, reply, faults);
    std::int64_t base = queueEnd(now);
    if (stx) {
        if (!faults.noAck)
            scheduleBytes(Bytes{kAck}, base);
        m_stxLastReply = wire.wire;
        m_stxResendsLeft = m_options.stxResend;
        m_stxAwaitingAck = true;
    }
    scheduleFrame(wire.wire, wire.headerEnd, faults, base, faults.closeAfter);
}

void Session::readAvailable() {
    std::uint8_t buffer[4096];
    for (;;) {
        std::size_t got = 0;
        Transport::ReadResult r = m_transport.read(buffer, sizeof buffer, got);
        if (r == Transport::ReadResult::Nothing)
            return;
        if (r == Transport::ReadResult::Closed || r == Transport::ReadResult::Failed) {
            if (m_transport.canDisconnect())
                onDisconnected(r == Transport::ReadResult::Closed ? "peer" : "peer (read failed)");
            else
                log("EV", "read failed");
            return;
        }
        std::int64_t now = monotonicMicros();
        Bytes data(buffer, buffer + got);
        log("RX", toHex(data), now);
        m_lastActivity = now;
        std::vector<Inbound> events;
        m_receiver->feed(data, now, events);
        if (m_replay) {
            std::vector<ReplayEngine::Output> out;
            std::vector<std::string> errors;
            m_replay->feed(data, now, out, errors);
            reportReplayErrors(errors);
            scheduleReplay(out);
        }
        for (const Inbound& in : events)
            handle(in);
        if (!m_transport.connected())
            return;
    }
}

int Session::run() {
    std::int64_t start = monotonicMicros();
    m_lastActivity = start;
    log("EV", std::string("start transport=") + transportName(m_options.transport) + " framing=" +
                  framingName(m_options.framing) + " ms=" + keyStatesText(m_options.masterKeys) +
                  " dukpt=" + keyStatesText(m_options.dukptKeys) + (m_replay ? " replay" : ""));
    std::string peer;
    if (m_transport.connected() && m_transport.accept(peer))
        onConnected(peer);

    std::string why = "signal";
    for (;;) {
        std::int64_t now = monotonicMicros();
        writeDue(now);
        std::vector<Inbound> events;
        m_receiver->tick(now, events);
        for (const Inbound& in : events)
            handle(in);
        if (m_replay) {
            std::vector<ReplayEngine::Output> out;
            std::vector<std::string> errors;
            m_replay->tick(now, out, errors);
            reportReplayErrors(errors);
            scheduleReplay(out);
        }

        now = monotonicMicros();
        if (m_options.maxMs != 0 && now - start >= static_cast<std::int64_t>(m_options.maxMs) * 1000) {
            why = "max-seconds";
            break;
        }
        if (m_options.exitAfterIdleMs != 0 && m_queue.empty() &&
            now - m_lastActivity >= static_cast<std::int64_t>(m_options.exitAfterIdleMs) * 1000) {
            why = "idle";
            break;
        }

        std::int64_t wake = -1;
        auto consider = [&](std::int64_t t) {
            if (t >= 0 && (wake < 0 || t < wake))
                wake = t;
        };
        if (!m_queue.empty())
            consider(m_queue.front().due);
        consider(m_receiver->deadline());
        if (m_replay)
            consider(m_replay->deadline());
        if (m_options.maxMs != 0)
            consider(start + static_cast<std::int64_t>(m_options.maxMs) * 1000);
        if (m_options.exitAfterIdleMs != 0)
            consider(m_lastActivity + static_cast<std::int64_t>(m_options.exitAfterIdleMs) * 1000);
        int timeoutMs = -1;
        if (wake >= 0)
            timeoutMs = static_cast<int>(std::max<std::int64_t>(0, (wake - now + 999) / 1000));

        pollfd fds[2] = {{m_stopPipe[0], POLLIN, 0}, {m_transport.pollFd(), POLLIN, 0}};
        int n = poll(fds, fds[1].fd >= 0 ? 2 : 1, timeoutMs);
        if (n < 0 && errno != EINTR)
            break;
        if (n <= 0)
            continue;
        if (fds[0].revents & POLLIN)
            break;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (!m_transport.connected()) {
                if (m_transport.accept(peer))
                    onConnected(peer);
            } else {
                readAvailable();
                // A medium that cannot hang up may still report a hang-up; do not spin on it.
                if ((fds[1].revents & (POLLHUP | POLLERR)) && !m_transport.canDisconnect())
                    usleep(10000);
            }
        }
    }

    if (m_replay) {
        std::vector<std::string> errors;
        m_replay->finish(errors);
        reportReplayErrors(errors);
    }
    log("EV", "stop " + why);
    return m_replay && m_replay->mismatched() ? 3 : 0;
}

}  // namespace termsim

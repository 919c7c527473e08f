// A loopback TCP listener serving one connection at a time.
#pragma once

#include "Transport.h"

namespace termsim {

class TcpTransport : public Transport {
public:
    explicit TcpTransport(unsigned port) : m_requestedPort(port) {}
    ~TcpTransport() override;

    bool open(std::string& error) override;
    std::string readyText() const override;
    int pollFd() const override { return m_connection >= 0 ? m_connection : m_listener; }
    bool connected() const override { return m_connection >= 0; }
    bool accept(std::string& peer) override;
    ReadResult read(std::uint8_t* buffer, std::size_t size, std::size_t& got) override;
    bool write(const std::uint8_t* data, std::size_t size) override;
    bool canDisconnect() const override { return true; }
    void disconnect() override;

    unsigned port() const { return m_port; }

private:
    unsigned m_requestedPort;
    unsigned m_port = 0;
    int m_listener = -1;
    int m_connection = -1;
};

}  // namespace termsim

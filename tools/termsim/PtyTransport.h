// A pseudo-terminal pair: the peer opens the slave side as its serial port.
#pragma once

#include "Transport.h"

namespace termsim {

class PtyTransport : public Transport {
public:
    explicit PtyTransport(std::string linkPath = std::string());
    ~PtyTransport() override;

    bool open(std::string& error) override;
    std::string readyText() const override;
    int pollFd() const override { return m_master; }
    bool connected() const override { return m_master >= 0; }
    bool accept(std::string& peer) override;
    ReadResult read(std::uint8_t* buffer, std::size_t size, std::size_t& got) override;
    bool write(const std::uint8_t* data, std::size_t size) override;
    bool canDisconnect() const override { return false; }
    void disconnect() override {}

    const std::string& slavePath() const { return m_slavePath; }

private:
    std::string m_linkPath;
    std::string m_slavePath;
    bool m_linkMade = false;
    int m_master = -1;
    int m_slave = -1;  // kept open so the master never reads EIO between two peers
};

}  // namespace termsim

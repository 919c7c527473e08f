#include "TerminalLink.h"

#include "Port.h"
#include "RawProtocol.h"
#include "STXETXProtocol.h"
#include "VLIProtocol.h"

CTerminalLink::CTerminalLink(CPort* pPort, int nProtocol)
    : m_pPort(pPort), m_pProtocol(NULL), m_bSent(FALSE) {
    SetProtocol(nProtocol);
}

CTerminalLink::~CTerminalLink() {
    delete m_pPort;
    m_pPort = NULL;
    delete m_pProtocol;
    m_pProtocol = NULL;
}

void CTerminalLink::SetProtocol(int nProtocol) {
    delete m_pProtocol;
    m_pProtocol = NULL;
    switch (nProtocol) {
    case PROTOCOL_RAW: m_pProtocol = new CRawProtocol(this, m_pPort); break;
    case PROTOCOL_STXETX: m_pProtocol = new CSTXETXProtocol(this, m_pPort); break;
    default: m_pProtocol = new CVLIProtocol(this, m_pPort); break;
    }
    if (m_pPort != NULL)
        m_pPort->SetProtocolType(nProtocol);
}

BOOL CTerminalLink::OpenPort() { return m_pPort != NULL ? m_pPort->OpenPort() : FALSE; }

BOOL CTerminalLink::ClosePort() { return m_pPort != NULL ? m_pPort->ClosePort() : TRUE; }

BOOL CTerminalLink::IsOpen() { return m_pPort != NULL ? m_pPort->IsOpen() : FALSE; }

DWORD CTerminalLink::SendPacket(BYTE byCommand, const BYTE* pData, DWORD dwLength, CString& csTrace) {
    if (m_pProtocol == NULL || !IsOpen())
        return 0;
    const DWORD dwSent = m_pProtocol->nSendPacket(byCommand, pData, dwLength, csTrace);
    if (dwSent != 0)
        m_bSent = TRUE;
    return dwSent;
}

DWORD CTerminalLink::ReceivePacket(CString& csData, CString& csTrace) {
    if (m_pProtocol == NULL || !IsOpen())
        return 0;
    return m_pProtocol->nReceivePacket(csData, csTrace);
}

void CTerminalLink::FlushReceiveBuffer() {
    if (m_pPort != NULL)
        m_pPort->FlushReceiveBuffer();
}

BOOL CTerminalLink::IsDataAvailableSupported() {
    return m_pPort != NULL ? m_pPort->IsDataAvailableSupported() : FALSE;
}

BOOL CTerminalLink::IsDataAvailable() { return m_pPort != NULL ? m_pPort->IsDataAvailable() : FALSE; }

void CTerminalLink::SetOwner(DWORD dwOwner) {
    if (m_pPort != NULL)
        m_pPort->SetOwner(dwOwner);
}

void CTerminalLink::ReleaseOwner(DWORD dwOwner) {
    if (m_pPort != NULL)
        m_pPort->ReleaseOwner(dwOwner);
}

DWORD CTerminalLink::GetReadWriteTimeout() { return m_pPort != NULL ? m_pPort->GetReadWriteTimeout() : 0; }

void CTerminalLink::SetReadWriteTimeout(DWORD dwValue) {
    if (m_pPort != NULL)
        m_pPort->SetReadWriteTimeout(dwValue);
}

DWORD CTerminalLink::GetReadTimeoutModifier() {
    return m_pPort != NULL ? m_pPort->GetReadTimeoutModifier() : 0;
}

void CTerminalLink::SetReadTimeoutModifier(DWORD dwValue) {
    if (m_pPort != NULL)
        m_pPort->SetReadTimeoutModifier(dwValue);
}

DWORD CTerminalLink::GetCurrentReadTimeout() {
    return m_pPort != NULL ? m_pPort->GetCurrentReadTimeout() : 0;
}

void CTerminalLink::SetCurrentReadTimeout(DWORD dwValue) {
    if (m_pPort != NULL)
        m_pPort->SetCurrentReadTimeout(dwValue);
}

DWORD CTerminalLink::GetReadTimeoutExtension() {
    return m_pPort != NULL ? m_pPort->GetReadTimeoutExtension() : 0;
}

void CTerminalLink::SetReadTimeoutExtension(DWORD dwValue) {
    if (m_pPort != NULL)
        m_pPort->SetReadTimeoutExtension(dwValue);
}

DWORD CTerminalLink::GetLastPortError() { return m_pPort != NULL ? m_pPort->GetLastPortError() : 0; }

void CTerminalLink::SetLastPortError(DWORD dwValue) {
    if (m_pPort != NULL)
        m_pPort->SetLastPortError(dwValue);
}

BOOL CTerminalLink::GetFirstRetry() { return m_pPort != NULL ? m_pPort->GetFirstRetry() : FALSE; }

void CTerminalLink::SetFirstRetry(BOOL bValue) {
    if (m_pPort != NULL)
        m_pPort->SetFirstRetry(bValue);
}

BOOL CTerminalLink::GetSecondRetry() { return m_pPort != NULL ? m_pPort->GetSecondRetry() : FALSE; }

void CTerminalLink::SetSecondRetry(BOOL bValue) {
    if (m_pPort != NULL)
        m_pPort->SetSecondRetry(bValue);
}

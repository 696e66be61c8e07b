#include "ComPort.h"

#include <cstdio>
#include <cstring>

CComPort::CComPort()
    : m_nPortType(0), m_strLastError{}, m_nTimeoutTX(0), m_nTimeoutRX(0), m_nMaxPacketSize(0), m_bReadEnded(false),
      m_nBytesSent(0) {}

CComPort::~CComPort() = default;

bool CComPort::Init(char*, char*) { return false; }

bool CComPort::Init(char*, int, int) { return false; }

bool CComPort::Init(char*, int) { return false; }

bool CComPort::Open() { return false; }

bool CComPort::Close() { return false; }

unsigned long CComPort::Write(unsigned char*, unsigned long, unsigned long*) { return 0; }

unsigned long CComPort::Read(unsigned char*, unsigned long, unsigned long*) { return 0; }

void CComPort::CleanTX() {}

void CComPort::CleanRX() {}

void CComPort::SetTimeoutTX(int) {}

void CComPort::SetTimeoutRX(int) {}

unsigned long CComPort::GetTimeoutRX() { return 0; }

long CComPort::GetPortType() { return m_nPortType; }

void CComPort::ClearLastError() { memset(m_strLastError, 0, 255); }

void CComPort::SetLastError(const char* szText) { snprintf(m_strLastError, sizeof(m_strLastError), "%s", szText); }

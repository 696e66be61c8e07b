#ifndef TILLPORTCOMM_TOOLS_PRINTERPORT_H
#define TILLPORTCOMM_TOOLS_PRINTERPORT_H

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>

class CComPort;

namespace tilltool {

// A printer named on the command line: usb:PPPP[:ADDRESS], serial:PORT[:BAUD[:FLOW]] or
// tcp:HOST[:PORT].
struct Target {
    enum class Kind { Usb, Serial, Tcp };
    Kind kind = Kind::Tcp;
    std::string text;         // as given, for messages
    std::string productId;    // USB: four upper-case hexadecimal digits
    std::string address;      // USB: decimal digits; empty: the one printer of that product
    std::string portName;     // serial: COM1..COM9 or /dev/ttyS0../dev/ttyS8, as given
    int nBaudrate = 9600;
    int nFlowControl = 0;     // 0 none, 1 RTS/CTS, 2 XON/XOFF
    std::string host;         // TCP: IPv4 address or host name
    int nTcpPort = 9100;
};

// Checks and splits a target. False with the reason in *pError. Serial names, rates and
// flow-control codes are checked by the serial port's own Init, which touches no device.
bool ParseTarget(const std::string& text, Target* pTarget, std::string* pError);

// One open printer port, driven only through the port interface. Close() runs once, when
// the object goes (over TCP that is the port's 2 s pause, which lets the printer take
// what it was sent).
class PrinterPort {
public:
    // Opens the target with nTimeoutMs for each write and each wait for an answer. On failure
    // returns null after telling err what went wrong and what to do; *pExitCode is then
    // 3 (cannot open) or 2 (the target needs an address to pick one of several printers).
    static std::unique_ptr<PrinterPort> Open(const Target& target, unsigned long nTimeoutMs, std::ostream& err,
                                             int* pExitCode);
    ~PrinterPort();
    PrinterPort(const PrinterPort&) = delete;
    PrinterPort& operator=(const PrinterPort&) = delete;

    // Sends the bytes in one Write. True when all went out; *pnSent is the count the port
    // reported (0 after a failure), *pError the port's reason otherwise.
    bool Send(unsigned char* pData, size_t nSize, size_t* pnSent, std::string* pError);
    // Waits up to the timeout for an answer (the library's answer collection, asking for a
    // packet's worth and ending at the first byte) and returns its first byte, or -1 with
    // the reason in *pError. *pnExtra counts further bytes that came with it.
    int ReceiveByte(std::string* pError, size_t* pnExtra);
    // Drops input that arrived before a request (serial lines hold it).
    void DiscardInput();

private:
    explicit PrinterPort(std::unique_ptr<CComPort> pPort);

    std::unique_ptr<CComPort> m_pPort;
};

}  // namespace tilltool

#endif

#include "PrinterPort.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "CLog.h"
#include "ComPortEth.h"
#include "ComPortRs232.h"
#include "ComPortUsb.h"
#include "PortCalls.h"
#include "Survey.h"
#include "TillTool.h"

namespace tilltool {

namespace {

constexpr const char* kLogName = "tillportcomm";
constexpr size_t kMaxHostLength = 254;

const char* const kTargetForms = "give usb:PPPP[:ADDRESS], serial:PORT[:BAUD[:FLOW]] or tcp:HOST[:PORT]";

std::vector<std::string> Split(const std::string& text, char cSeparator) {
    std::vector<std::string> parts;
    size_t nStart = 0;
    for (;;) {
        size_t nEnd = text.find(cSeparator, nStart);
        parts.push_back(text.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart));
        if (nEnd == std::string::npos) return parts;
        nStart = nEnd + 1;
    }
}

bool IsDigits(const std::string& text, size_t nMaxLength) {
    return !text.empty() && text.size() <= nMaxLength &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return isdigit(c) != 0; });
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// Writable copy for the port interface, which takes char*.
std::vector<char> Chars(const std::string& text) {
    std::vector<char> chars(text.begin(), text.end());
    chars.push_back('\0');
    return chars;
}

bool Fail(std::string* pError, const std::string& text) {
    *pError = text;
    return false;
}

bool ParseUsb(const std::string& rest, Target* pTarget, std::string* pError) {
    std::vector<std::string> parts = Split(rest, ':');
    const std::string& product = parts[0];
    if (parts.size() > 2 || product.size() != 4 ||
        !std::all_of(product.begin(), product.end(), [](unsigned char c) { return isxdigit(c) != 0; })) {
        return Fail(pError, "bad USB target \"" + pTarget->text +
                                "\": give usb:PPPP with the product ID as 4 hexadecimal digits, then :ADDRESS if "
                                "several printers share it (tillportcomm list shows both)");
    }
    for (char c : product) pTarget->productId += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (parts.size() == 2) {
        // A serial number ending below '0' gives a negative address, which list shows as such.
        const bool bNegative = !parts[1].empty() && parts[1][0] == '-';
        if (!IsDigits(parts[1].substr(bNegative ? 1 : 0), 3)) {
            return Fail(pError, "bad USB address \"" + parts[1] +
                                    "\": the address is the number list shows (the last digit of the serial number)");
        }
        pTarget->address = parts[1];
    }
    return true;
}

bool ParseSerial(const std::string& rest, Target* pTarget, std::string* pError) {
    std::vector<std::string> parts = Split(rest, ':');
    if (parts.size() > 3) return Fail(pError, "bad serial target \"" + pTarget->text + "\": " + kTargetForms);
    pTarget->portName = parts[0];
    if (parts.size() >= 2) {
        if (!IsDigits(parts[1], 6)) return Fail(pError, "bad baud rate \"" + parts[1] + "\"");
        pTarget->nBaudrate = std::stoi(parts[1]);
    }
    if (parts.size() == 3) {
        static const char* const kFlows[] = {"none", "rtscts", "xonxoff"};
        const std::string flow = Lower(parts[2]);
        auto found = std::find(std::begin(kFlows), std::end(kFlows), flow);
        if (found != std::end(kFlows)) {
            pTarget->nFlowControl = static_cast<int>(found - std::begin(kFlows));
        } else if (flow.size() == 1 && flow[0] >= '0' && flow[0] <= '2') {
            pTarget->nFlowControl = flow[0] - '0';
        } else {
            return Fail(pError, "bad flow control \"" + parts[2] + "\": give none, rtscts or xonxoff (or 0, 1, 2)");
        }
    }
    // The serial port's own checks, so the tool accepts exactly what the library does.
    CComPortRs232 probe;
    std::vector<char> name = Chars(pTarget->portName);
    if (probe.Init(name.data(), pTarget->nBaudrate, pTarget->nFlowControl)) return true;
    const std::string reason = probe.m_strLastError;
    std::string hint = "the line is COM1..COM9 or /dev/ttyS0../dev/ttyS8";
    if (probe.LastOutcome().eCause == FailureCause::BadBaudrate) {
        hint = "the baud rate is 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200";
    }
    return Fail(pError, "bad serial target \"" + pTarget->text + "\" (" + reason + "): " + hint);
}

bool ParseTcp(const std::string& rest, Target* pTarget, std::string* pError) {
    std::vector<std::string> parts = Split(rest, ':');
    if (parts.size() > 2) {
        return Fail(pError, "bad TCP target \"" + pTarget->text + "\": give tcp:HOST[:PORT] with an IPv4 address or "
                                                                  "host name (IPv6 is not supported)");
    }
    pTarget->host = parts[0];
    if (pTarget->host.empty() || pTarget->host.size() > kMaxHostLength) {
        return Fail(pError, "bad TCP target \"" + pTarget->text + "\": the host is missing or longer than 254 characters");
    }
    if (parts.size() == 2) {
        int nPort = IsDigits(parts[1], 5) ? std::stoi(parts[1]) : 0;
        if (nPort < 1 || nPort > 65535) return Fail(pError, "bad TCP port \"" + parts[1] + "\": give 1..65535 (default 9100)");
        pTarget->nTcpPort = nPort;
    }
    return true;
}

std::string SerialDevicePath(const std::string& portName) {
    if (portName.size() == 4) return "/dev/ttyS" + std::to_string(portName[3] - '1');
    return portName;
}

// Pointers into survey, which must outlive them (hence no temporary).
std::vector<const UsbPrinterInfo*> PrintersOfProduct(const UsbSurvey&& survey, const std::string& productId) = delete;
std::vector<const UsbPrinterInfo*> PrintersOfProduct(const UsbSurvey& survey, const std::string& productId) {
    std::vector<const UsbPrinterInfo*> found;
    for (const UsbPrinterInfo& printer : survey.printers) {
        if (printer.TargetText().compare(4, 4, productId) == 0) found.push_back(&printer);
    }
    return found;
}

std::string TargetsOf(const std::vector<const UsbPrinterInfo*>& printers) {
    std::string text;
    for (const UsbPrinterInfo* pPrinter : printers) {
        if (!text.empty()) text += ", ";
        text += pPrinter->TargetText();
        if (pPrinter->bSerialRead) text += " (serial \"" + pPrinter->serial + "\")";
    }
    return text;
}

// Without an address the target means the one printer of its product: its address is
// taken from its serial number. Several printers with different addresses need one named.
bool ChooseUsbAddress(const Target& target, std::string* pAddress, std::ostream& err) {
    *pAddress = target.address;
    if (!pAddress->empty()) return true;
    *pAddress = "0";
    UsbSurvey survey = SurveyUsb();
    std::vector<const UsbPrinterInfo*> printers = PrintersOfProduct(survey, target.productId);
    if (printers.empty()) return true;
    const UsbPrinterInfo& first = *printers.front();
    for (const UsbPrinterInfo* pPrinter : printers) {
        const bool bSameAddress = pPrinter->AnswersEveryAddress() == first.AnswersEveryAddress() &&
                                  (first.AnswersEveryAddress() || pPrinter->nAddress == first.nAddress);
        if (!pPrinter->bSerialRead || !bSameAddress) {
            err << "tillportcomm: " << printers.size() << " USB printers 0C3B:" << target.productId
                << " are plugged in; name one: " << TargetsOf(printers) << "\n";
            return false;
        }
    }
    if (first.bSerialRead && !first.AnswersEveryAddress()) *pAddress = std::to_string(first.nAddress);
    return true;
}

void ExplainUsbFailure(const Target& target, const std::string& address, const std::string& reason,
                       FailureCause eCause, std::ostream& err) {
    const std::string name = "USB printer 0C3B:" + target.productId;
    err << "tillportcomm: ";
    if (eCause == FailureCause::NotFound) {
        const UsbSurvey survey = SurveyUsb();
        std::vector<const UsbPrinterInfo*> printers = PrintersOfProduct(survey, target.productId);
        if (printers.empty()) {
            err << "no " << name << " is plugged in. Is it switched on and its USB cable plugged in? "
                << "'tillportcomm list' shows the printers this till sees.\n";
        } else {
            err << "no " << name << " answers to address " << address << "; plugged in: " << TargetsOf(printers) << "\n";
        }
    } else if (eCause == FailureCause::CannotOpen) {
        UsbSurvey survey = SurveyUsb();
        std::vector<const UsbPrinterInfo*> printers = PrintersOfProduct(survey, target.productId);
        if (!printers.empty() && printers.front()->access.bExists && !printers.front()->access.bMayOpen) {
            err << "this user may not open the " << name << " (" << printers.front()->node
                << "): " << printers.front()->access.why << "\n";
        } else {
            err << "cannot open the " << name << " (" << reason << "): unplug it and plug it in again; "
                << "'tillportcomm list' shows what this till sees.\n";
        }
    } else if (eCause == FailureCause::Claimed) {
        err << "the " << name << " is held by another program (interface 0 is claimed). Is the till's printer "
            << "service running? Stop it, then try again.\n";
    } else if (eCause == FailureCause::DriverHeld) {
        err << "cannot take the " << name << " from the kernel's printer driver: is a program printing through "
            << "/dev/usb/lp*? Stop it, then try again.\n";
    } else if (eCause == FailureCause::SerialUnreadable) {
        err << "the " << name << " does not give its serial number: unplug it, wait 5 seconds, plug it in again.\n";
    } else if (eCause == FailureCause::UsbUnavailable) {
        err << "USB cannot be used here (" << reason << "): is /dev/bus/usb there?\n";
    } else {
        err << "cannot open the " << name << ": " << reason << "\n";
    }
}

}  // namespace

bool ParseTarget(const std::string& text, Target* pTarget, std::string* pError) {
    Target target;
    target.text = text;
    const size_t nColon = text.find(':');
    const std::string kind = Lower(text.substr(0, nColon));
    const std::string rest = nColon == std::string::npos ? "" : text.substr(nColon + 1);
    bool bParsed = false;
    if (nColon == std::string::npos) {
        return Fail(pError, "bad target \"" + text + "\": " + kTargetForms);
    } else if (kind == "usb") {
        target.kind = Target::Kind::Usb;
        bParsed = ParseUsb(rest, &target, pError);
    } else if (kind == "serial") {
        target.kind = Target::Kind::Serial;
        bParsed = ParseSerial(rest, &target, pError);
    } else if (kind == "tcp") {
        target.kind = Target::Kind::Tcp;
        bParsed = ParseTcp(rest, &target, pError);
    } else {
        return Fail(pError, "bad target \"" + text + "\": " + kTargetForms);
    }
    if (bParsed) *pTarget = target;
    return bParsed;
}

PrinterPort::PrinterPort(std::unique_ptr<CComPort> pPort) : m_pPort(std::move(pPort)) {}

PrinterPort::~PrinterPort() { m_pPort->Close(); }

std::unique_ptr<PrinterPort> PrinterPort::Open(const Target& target, unsigned long nTimeoutMs, std::ostream& err,
                                               int* pExitCode) {
    *pExitCode = kExitCannotOpen;
    const int nTimeout = static_cast<int>(nTimeoutMs);
    std::unique_ptr<PrinterPort> opened;
    switch (target.kind) {
    case Target::Kind::Usb: {
        std::string address;
        if (!ChooseUsbAddress(target, &address, err)) {
            *pExitCode = kExitUsage;
            return nullptr;
        }
        std::unique_ptr<CComPort> pPort(new CComPortUsb());
        pPort->SetTimeoutTX(nTimeout);
        pPort->SetTimeoutRX(nTimeout);
        std::vector<char> product = Chars(target.productId);
        std::vector<char> addressChars = Chars(address);
        if (!pPort->Init(product.data(), addressChars.data()) || !pPort->Open()) {
            const std::string reason = pPort->m_strLastError;
            const FailureCause eCause = pPort->LastOutcome().eCause;
            pPort->Close();  // what a failed discovery or claim still holds
            ExplainUsbFailure(target, address, reason, eCause, err);
            return nullptr;
        }
        opened.reset(new PrinterPort(std::move(pPort)));
        break;
    }
    case Target::Kind::Serial: {
        std::unique_ptr<CComPort> pPort(new CComPortRs232());
        pPort->SetTimeoutTX(nTimeout);
        pPort->SetTimeoutRX(nTimeout);
        std::vector<char> name = Chars(target.portName);
        if (!pPort->Init(name.data(), target.nBaudrate, target.nFlowControl) || !pPort->Open()) {
            const std::string reason = pPort->m_strLastError;
            const bool bInUse = pPort->LastOutcome().eCause == FailureCause::LineInUse;
            pPort->Close();  // a failed line set-up leaves the descriptor open
            const std::string path = SerialDevicePath(target.portName);
            NodeAccess access = CheckNodeAccess(path, kSerialGrantHint);
            err << "tillportcomm: ";
            if (bInUse) {
                err << path << " (" << target.portName << ") is held by another program. Is the till's printer "
                    << "service running? Stop it, then try again.\n";
            } else if (!access.bExists) {
                err << "there is no " << path << " (" << target.portName << ") on this till: "
                    << "'tillportcomm list' shows its serial lines.\n";
            } else if (!access.bMayOpen) {
                err << "this user may not open " << path << ": " << access.why << "\n";
            } else {
                err << "cannot set up " << path << " as a serial line (" << reason
                    << "): is it a serial port? --log shows the cause.\n";
            }
            return nullptr;
        }
        opened.reset(new PrinterPort(std::move(pPort)));
        break;
    }
    case Target::Kind::Tcp: {
        // The socket timeouts are applied when the connection is made, so they go in first.
        std::unique_ptr<CComPort> pPort(new CComPortEth());
        pPort->SetTimeoutTX(nTimeout);
        pPort->SetTimeoutRX(nTimeout);
        std::vector<char> host = Chars(target.host);
        if (!pPort->Init(host.data(), target.nTcpPort) || !pPort->Open()) {
            // A failed Open has closed the socket already, with its pause.
            err << "tillportcomm: cannot connect to " << target.host << " port " << target.nTcpPort << " ("
                << pPort->m_strLastError << "). Is the printer switched on and on the network, is the address "
                << "right, and is no other program connected to it (many printers take one connection at a "
                << "time)? --log shows the cause.\n";
            return nullptr;
        }
        opened.reset(new PrinterPort(std::move(pPort)));
        break;
    }
    }
    *pExitCode = kExitOk;
    return opened;
}

bool PrinterPort::Send(unsigned char* pData, size_t nSize, size_t* pnSent, std::string* pError) {
    CCLog::WriteLogP(kLogName, "Write %zu Bytes...", nSize);
    CCLog::WriteLogData(kLogName, "Buffer to Write:", pData, nSize);
    const PortCalls::Job job = PortCalls::WriteJob(*m_pPort, pData, nSize);
    *pnSent = job.nSent;
    if (job.bWhole) return true;
    *pError = m_pPort->m_strLastError[0] != '\0' ? m_pPort->m_strLastError : "the printer took no more";
    CCLog::WriteLogP(kLogName, "ERROR: Write Error(%zu/%zu)(%s)!", *pnSent, nSize, pError->c_str());
    return false;
}

int PrinterPort::ReceiveByte(std::string* pError, size_t* pnExtra) {
    // Room for a whole USB packet, so a printer that says more does not overflow the
    // transfer; the first pass that brings bytes ends the wait.
    unsigned char buffer[64];
    const PortCalls::Answer answer = PortCalls::CollectAnswer(*m_pPort, buffer, sizeof(buffer), sizeof(buffer), 1, nullptr);
    if (answer.bFailed) {
        *pError = m_pPort->m_strLastError;
        CCLog::WriteLogP(kLogName, "ERROR: Read Error(%s)!", pError->c_str());
        return -1;
    }
    if (answer.nTotal == 0) {
        *pError = "nothing came";
        return -1;
    }
    CCLog::WriteLogData(kLogName, "Read Bytes:", buffer, answer.nTotal);
    *pnExtra = answer.nTotal - 1;
    return buffer[0];
}

void PrinterPort::DiscardInput() { m_pPort->CleanRX(); }

}  // namespace tilltool

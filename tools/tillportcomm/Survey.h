#ifndef TILLPORTCOMM_TOOLS_SURVEY_H
#define TILLPORTCOMM_TOOLS_SURVEY_H

#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

namespace tilltool {

// May this user open a device node for reading and writing, and if not, why and what to do.
struct NodeAccess {
    bool bExists = false;
    bool bMayOpen = false;
    std::string why;  // when it exists but may not be opened
};

// The facts that decide access, gathered from stat and the user's account.
struct NodeFacts {
    std::string path;
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;
    std::string ownerName, groupName;
};
struct UserFacts {
    uid_t uid = 0;
    std::string name;
    std::vector<gid_t> sessionGroups;  // the groups this process runs with
    std::vector<gid_t> accountGroups;  // the groups the account has now (may be newer)
};

// Why the user may not open the node and what to do; szGrantHint tells how to give the
// node's group access when the mode gives it none.
std::string ExplainNoAccess(const NodeFacts& node, const UserFacts& user, const std::string& deniedBy,
                            const char* szGrantHint);
// Checks path with access(2) (never opens it) and explains a refusal.
NodeAccess CheckNodeAccess(const std::string& path, const char* szGrantHint);

// Shown when a USB printer node gives no group access, and for a serial line.
extern const char* const kUsbGrantHint;
extern const char* const kSerialGrantHint;

// A USB device of the printers' vendor, as list shows it.
struct UsbPrinterInfo {
    unsigned nProduct = 0;
    int nBus = 0, nDevice = 0;
    std::string node;        // /dev/bus/usb/BBB/DDD
    NodeAccess access;
    bool bOpened = false;    // the node could be opened to ask for the serial number
    std::string openError;   // libusb's name for the failure when not
    bool bSerialRead = false;
    std::string serial;
    int nAddress = -1;       // the address it answers to, unless the serial number is empty
    int nDriver = 0;         // kernel driver on interface 0: 1 yes, 0 no, < 0 unknown
    // Read and empty: the printer answers every address.
    bool AnswersEveryAddress() const { return bSerialRead && serial.empty(); }
    // "usb:PPPP:A", or "usb:PPPP" where the serial number gives no single address.
    std::string TargetText() const;
};

struct UsbSurvey {
    bool bAvailable = false;  // libusb started and listed the devices
    std::string error;
    int nOtherDevices = 0;    // devices of other vendors
    std::vector<UsbPrinterInfo> printers;
};

// Lists the USB devices of vendor 0C3B. Opens each one's node (claims nothing) to read its
// serial number and ask whether a kernel driver holds interface 0.
UsbSurvey SurveyUsb();

// The address the library matches: the code of the serial number's last character minus
// '0' (a digit gives its value, "A" gives 17). An empty serial number, which answers every
// address, gives -1.
int AddressOfSerial(const std::string& serial);

// Writes the list command's report: USB printers and serial lines COM1..COM9.
void WriteList(std::ostream& out);

}  // namespace tilltool

#endif

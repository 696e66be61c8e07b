#include "Survey.h"

#include <grp.h>
#include <libusb.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tilltool {

const char* const kUsbGrantHint =
    "give group lp access with a udev rule, e.g. SUBSYSTEM==\"usb\", ATTR{idVendor}==\"0c3b\", GROUP=\"lp\", "
    "MODE=\"0660\" in /etc/udev/rules.d/60-receipt-printer.rules, then plug the printer in again";
const char* const kSerialGrantHint = "give group dialout access to it (chgrp dialout, chmod 0660, or a udev rule)";

namespace {

constexpr uint16_t kVendor = 0x0C3B;
constexpr int kSerialLines = 9;

bool Contains(const std::vector<gid_t>& groups, gid_t group) {
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

std::string ModeText(mode_t mode) {
    char szMode[8];
    snprintf(szMode, sizeof(szMode), "%04o", static_cast<unsigned>(mode & 07777));
    return szMode;
}

std::string OwnerText(const NodeFacts& node) {
    return node.ownerName + ":" + node.groupName + ", mode " + ModeText(node.mode);
}

std::string NameOfUser(uid_t uid) {
    if (const passwd* pEntry = getpwuid(uid)) return pEntry->pw_name;
    return std::to_string(uid);
}

std::string NameOfGroup(gid_t gid) {
    if (const group* pEntry = getgrgid(gid)) return pEntry->gr_name;
    return std::to_string(gid);
}

UserFacts CurrentUser() {
    UserFacts user;
    user.uid = getuid();
    user.name = NameOfUser(user.uid);
    user.sessionGroups.push_back(getgid());
    int nCount = getgroups(0, nullptr);
    if (nCount > 0) {
        std::vector<gid_t> groups(static_cast<size_t>(nCount));
        nCount = getgroups(nCount, groups.data());
        if (nCount > 0) user.sessionGroups.insert(user.sessionGroups.end(), groups.begin(), groups.begin() + nCount);
    }
    user.accountGroups = user.sessionGroups;
    if (const passwd* pEntry = getpwuid(user.uid)) {
        // The account's groups as they are now, which a session started earlier lacks.
        int nGroups = 64;
        std::vector<gid_t> groups(static_cast<size_t>(nGroups));
        if (getgrouplist(pEntry->pw_name, pEntry->pw_gid, groups.data(), &nGroups) < 0) {
            groups.resize(static_cast<size_t>(std::max(nGroups, 0)));
            if (getgrouplist(pEntry->pw_name, pEntry->pw_gid, groups.data(), &nGroups) < 0) nGroups = 0;
        }
        groups.resize(static_cast<size_t>(std::max(nGroups, 0)));
        user.accountGroups.insert(user.accountGroups.end(), groups.begin(), groups.end());
    }
    return user;
}

// "PRN-0001" with quotes, non-printable bytes as \xNN.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            quoted += static_cast<char>(c);
        } else {
            char szEscape[8];
            snprintf(szEscape, sizeof(szEscape), "\\x%02x", c);
            quoted += szEscape;
        }
    }
    return quoted + "\"";
}

std::string Hex4(unsigned nValue) {
    char szHex[8];
    snprintf(szHex, sizeof(szHex), "%04X", nValue & 0xffffu);
    return szHex;
}

void ReadDetails(libusb_device* pDevice, const libusb_device_descriptor& desc, UsbPrinterInfo* pInfo) {
    libusb_device_handle* hDevice = nullptr;
    int nResult = libusb_open(pDevice, &hDevice);
    if (nResult != 0) {
        pInfo->openError = libusb_error_name(nResult);
        return;
    }
    pInfo->bOpened = true;
    // The same request, buffer size and address rule as the library's discovery.
    unsigned char serial[256] = {};
    if (libusb_get_string_descriptor_ascii(hDevice, desc.iSerialNumber, serial, sizeof(serial)) >= 0) {
        serial[sizeof(serial) - 1] = '\0';
        pInfo->bSerialRead = true;
        pInfo->serial = reinterpret_cast<char*>(serial);
        pInfo->nAddress = AddressOfSerial(pInfo->serial);
    }
    pInfo->nDriver = libusb_kernel_driver_active(hDevice, 0);
    libusb_close(hDevice);
}

void WriteUsbPrinter(std::ostream& out, const UsbPrinterInfo& printer) {
    char szPlace[48];
    snprintf(szPlace, sizeof(szPlace), "bus %03d device %03d", printer.nBus, printer.nDevice);
    out << "  " << printer.TargetText() << "  product " << Hex4(printer.nProduct) << "  ";
    if (printer.bSerialRead) {
        out << "serial " << Quoted(printer.serial) << "  address ";
        if (printer.AnswersEveryAddress()) {
            out << "any (empty serial number)";
        } else {
            out << printer.nAddress;
        }
    } else if (printer.bOpened) {
        out << "serial unreadable  address unknown";
    } else {
        out << "serial unknown (cannot open: " << printer.openError << ")";
    }
    out << "  " << szPlace << "\n";
    out << "      kernel driver on interface 0: ";
    if (!printer.bOpened) {
        out << "unknown\n";
    } else if (printer.nDriver == 1) {
        out << "yes (the library detaches it when it opens the printer)\n";
    } else if (printer.nDriver == 0) {
        out << "no\n";
    } else {
        out << "unknown (" << libusb_error_name(printer.nDriver) << ")\n";
    }
    out << "      this user may open " << printer.node << ": ";
    if (printer.access.bMayOpen) {
        out << "yes\n";
    } else if (!printer.access.bExists) {
        out << "no, the node is missing (is udev running?)\n";
    } else {
        out << "no: " << printer.access.why << "\n";
    }
}

// The kernel's serial driver keeps nodes for ports it found no UART behind (type 0).
bool NoUartBehind(int nIndex) {
    char szPath[64];
    snprintf(szPath, sizeof(szPath), "/sys/class/tty/ttyS%d/type", nIndex);
    FILE* pFile = fopen(szPath, "re");
    if (pFile == nullptr) return false;
    int nType = -1;
    bool bRead = fscanf(pFile, "%d", &nType) == 1;
    fclose(pFile);
    return bRead && nType == 0;
}

}  // namespace

std::string ExplainNoAccess(const NodeFacts& node, const UserFacts& user, const std::string& deniedBy,
                            const char* szGrantHint) {
    const bool bOwnerRw = (node.mode & (S_IRUSR | S_IWUSR)) == (S_IRUSR | S_IWUSR);
    const bool bGroupRw = (node.mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    const bool bOtherRw = (node.mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH);
    const std::string facts = " (" + OwnerText(node) + ")";
    if (user.uid == node.owner) {
        if (bOwnerRw) return "the system refuses it: " + deniedBy + facts;
        return "even its owner may not read and write it" + facts + ": chmod u+rw " + node.path;
    }
    if (bGroupRw && !bOtherRw) {
        if (Contains(user.sessionGroups, node.group)) return "the system refuses it: " + deniedBy + facts;
        if (Contains(user.accountGroups, node.group)) {
            return "user " + user.name + " was added to group " + node.groupName +
                   " after logging in: log out and in again" + facts;
        }
        return "only group " + node.groupName + " may" + facts + ": add user " + user.name + " to group " +
               node.groupName + " (usermod -aG " + node.groupName + " " + user.name + "), then log in again";
    }
    if (bOtherRw) return "the system refuses it: " + deniedBy + facts;
    return "only " + node.ownerName + " may" + facts + ": " + szGrantHint;
}

NodeAccess CheckNodeAccess(const std::string& path, const char* szGrantHint) {
    NodeAccess result;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return result;
    result.bExists = true;
    if (access(path.c_str(), R_OK | W_OK) == 0) {
        result.bMayOpen = true;
        return result;
    }
    const std::string deniedBy = strerror(errno);
    NodeFacts node;
    node.path = path;
    node.owner = info.st_uid;
    node.group = info.st_gid;
    node.mode = info.st_mode;
    node.ownerName = NameOfUser(info.st_uid);
    node.groupName = NameOfGroup(info.st_gid);
    result.why = ExplainNoAccess(node, CurrentUser(), deniedBy, szGrantHint);
    return result;
}

int AddressOfSerial(const std::string& serial) {
    if (serial.empty()) return -1;
    return static_cast<int>(static_cast<unsigned char>(serial.back())) - '0';
}

std::string UsbPrinterInfo::TargetText() const {
    std::string text = "usb:" + Hex4(nProduct);
    if (bSerialRead && !serial.empty()) text += ":" + std::to_string(nAddress);
    return text;
}

UsbSurvey SurveyUsb() {
    UsbSurvey survey;
    libusb_context* pContext = nullptr;
    int nResult = libusb_init(&pContext);
    if (nResult < 0) {
        survey.error = std::string("libusb_init: ") + libusb_error_name(nResult);
        return survey;
    }
    libusb_device** pList = nullptr;
    ssize_t nCount = libusb_get_device_list(pContext, &pList);
    if (nCount < 0) {
        survey.error = std::string("libusb_get_device_list: ") + libusb_error_name(static_cast<int>(nCount));
        libusb_exit(pContext);
        return survey;
    }
    survey.bAvailable = true;
    for (ssize_t i = 0; i < nCount; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(pList[i], &desc) < 0) continue;
        if (desc.idVendor != kVendor) {
            ++survey.nOtherDevices;
            continue;
        }
        UsbPrinterInfo info;
        info.nProduct = desc.idProduct;
        info.nBus = libusb_get_bus_number(pList[i]);
        info.nDevice = libusb_get_device_address(pList[i]);
        char szNode[40];
        snprintf(szNode, sizeof(szNode), "/dev/bus/usb/%03d/%03d", info.nBus, info.nDevice);
        info.node = szNode;
        info.access = CheckNodeAccess(info.node, kUsbGrantHint);
        ReadDetails(pList[i], desc, &info);
        survey.printers.push_back(info);
    }
    libusb_free_device_list(pList, 1);
    libusb_exit(pContext);
    return survey;
}

void WriteList(std::ostream& out) {
    UsbSurvey survey = SurveyUsb();
    const std::string others =
        std::to_string(survey.nOtherDevices) + (survey.nOtherDevices == 1 ? " other USB device" : " other USB devices");
    out << "USB printers of vendor 0C3B:\n";
    if (!survey.bAvailable) {
        out << "  USB cannot be searched here (" << survey.error << ")\n";
    } else {
        for (const UsbPrinterInfo& printer : survey.printers) WriteUsbPrinter(out, printer);
        if (survey.printers.empty()) {
            out << "  none found (" << others << "): is the printer switched on and its USB cable plugged in?\n";
        } else {
            out << "  (" << others << ")\n";
        }
    }

    out << "Serial lines (listed without opening them):\n";
    for (int nIndex = 0; nIndex < kSerialLines; ++nIndex) {
        const std::string path = "/dev/ttyS" + std::to_string(nIndex);
        char szName[32];
        snprintf(szName, sizeof(szName), "serial:COM%d", nIndex + 1);
        out << "  " << szName << "  " << path << "  ";
        NodeAccess access = CheckNodeAccess(path, kSerialGrantHint);
        if (!access.bExists) {
            out << "not present\n";
            continue;
        }
        out << "this user may open it: " << (access.bMayOpen ? "yes" : "no: " + access.why);
        if (NoUartBehind(nIndex)) out << " (but the kernel found no serial port chip behind it)";
        out << "\n";
    }
}

}  // namespace tilltool

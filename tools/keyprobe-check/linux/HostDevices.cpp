#include "HostDevices.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "Connection.h"
#include "TerminalUsbIds.h"

namespace keyprobecheck {

namespace {

const char kUdevRulesName[] = "60-keyprobe.rules";

std::string GroupName(gid_t gid) {
    const group* pGroup = getgrgid(gid);
    return pGroup ? pGroup->gr_name : std::to_string(gid);
}

std::vector<gid_t> SessionGroups() {
    std::vector<gid_t> gids(1, getegid());
    const int n = getgroups(0, NULL);
    if (n > 0) {
        std::vector<gid_t> more((size_t)n);
        if (getgroups(n, more.data()) == n)
            gids.insert(gids.end(), more.begin(), more.end());
    }
    return gids;
}

// Listed as a member in the group database, whether or not this session has the group yet.
bool ListedInGroup(gid_t gid) {
    const passwd* pUser = getpwuid(geteuid());
    if (pUser == NULL)
        return false;
    if (pUser->pw_gid == gid)
        return true;
    const group* pGroup = getgrgid(gid);
    for (char** pp = pGroup ? pGroup->gr_mem : NULL; pp && *pp; ++pp)
        if (strcmp(*pp, pUser->pw_name) == 0)
            return true;
    return false;
}

std::string RealPath(const std::string& path) {
    char sz[PATH_MAX];
    return realpath(path.c_str(), sz) ? std::string(sz) : path;
}

std::vector<std::string> Folder(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* pDir = opendir(folder.c_str())) {
        while (const dirent* pEntry = readdir(pDir))
            if (pEntry->d_name[0] != '.')
                names.push_back(pEntry->d_name);
        closedir(pDir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool StartsWith(const std::string& s, const char* pszPrefix) {
    return s.compare(0, strlen(pszPrefix), pszPrefix) == 0;
}

// Most machines have 4 to 32 ttyS nodes whatever the hardware; the kernel reports port type
// 0 for those without a UART behind them.
bool HasUart(const std::string& name) {
    std::ifstream type("/sys/class/tty/" + name + "/type");
    int nType = -1;
    if (!(type >> nType))
        return true;  // no sysfs to ask: list it
    return nType != 0;
}

std::string ModeText(mode_t mode) {
    char sz[8];
    snprintf(sz, sizeof(sz), "%04o", (unsigned)(mode & 07777));
    return sz;
}

// The /dev/bus/usb node of a USB device's sysfs folder: its uevent's DEVNAME, else the bus
// and device numbers.
std::string UsbNodeOf(const std::string& folder) {
    std::ifstream uevent(folder + "/uevent");
    for (std::string line; std::getline(uevent, line);)
        if (StartsWith(line, "DEVNAME="))
            return line[8] == '/' ? line.substr(8) : "/dev/" + line.substr(8);
    std::ifstream bus(folder + "/busnum"), dev(folder + "/devnum");
    int nBus = 0, nDev = 0;
    if (!(bus >> nBus) || !(dev >> nDev))
        return "";
    char sz[32];
    snprintf(sz, sizeof(sz), "/dev/bus/usb/%03d/%03d", nBus, nDev);
    return sz;
}

}  // namespace

std::string CurrentUser() {
    const passwd* pUser = getpwuid(geteuid());
    return pUser ? pUser->pw_name : std::to_string(geteuid());
}

std::vector<std::string> CurrentGroups() {
    std::vector<std::string> names;
    for (gid_t gid : SessionGroups()) {
        const std::string name = GroupName(gid);
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    return names;
}

namespace {

// access() rather than faccessat(): this is no set-user-ID program, and umockdev, which the
// tests run it under, wraps access() only.
bool MayOpen(const std::string& path) { return access(path.c_str(), R_OK | W_OK) == 0; }

// Whether this user may open the node for reading and writing. For "hid" and "usb" nodes
// the fix names the package's udev rules; for serial ports the group to join.
Access CheckAccess(const std::string& path, const std::string& kind) {
    Access access;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        access.reason = errno == ENOENT ? "no such device node" : strerror(errno);
        return access;
    }
    if (MayOpen(path)) {
        access.bCanOpen = true;
        return access;
    }
    const std::string group = GroupName(info.st_gid);
    const passwd* pOwner = getpwuid(info.st_uid);
    access.reason = "permission denied (" +
                    std::string(pOwner ? pOwner->pw_name : std::to_string(info.st_uid)) + ":" + group +
                    ", mode " + ModeText(info.st_mode) + ")";
    const bool bUsb = kind == "hid" || kind == "usb";

    if ((info.st_mode & 060) == 060 && info.st_gid != 0) {
        const std::vector<gid_t> gids = SessionGroups();
        if (std::find(gids.begin(), gids.end(), info.st_gid) != gids.end())
            access.fix = "the node's group " + group +
                         " is one of yours, yet access is refused: check ACLs or "
                         "security modules";
        else if (ListedInGroup(info.st_gid))
            access.fix = "you are in the group " + group + " but this session is not: log out and in again";
        else
            access.fix = "join the group " + group + " (sudo usermod -aG " + group + " " + CurrentUser() +
                         "), then log out and in again";
        return access;
    }
    if (bUsb)
        access.fix =
            "install the package's udev rules (/usr/lib/udev/rules.d/" + std::string(kUdevRulesName) +
            ", keyprobe-check --udev-rules prints them), run 'sudo udevadm trigger', replug the terminal "
            "and join the group plugdev";
    else
        access.fix =
            "give the node to a group you can join with a udev rule (MODE=\"0660\", GROUP=\"dialout\"), "
            "or have root change it";
    return access;
}

// Why the library's open of a node this user may read and write was refused anyway, found
// by opening it once more without waiting (modem lines may move; nothing is sent): another
// program holds it, or the kernel refuses this process. Empty when no reason shows.
std::string WhyOpenRefused(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EBUSY)
            return "another program holds it exclusively";
        if (errno == EPERM)
            return std::string("the kernel refuses this process (") + strerror(EPERM) +
                   "): a container's device list or a security policy, not the node's permissions";
        return strerror(errno);
    }
    std::string why;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        why = "another program has it open (it holds the port's lock)";
    close(fd);
    return why;
}

// The device node behind an interface path of the library's enumeration, where there is
// one: "\\?\hid#vid_..#hidraw_hidraw3#{..}" is /dev/hidraw3, "\\?\usb#vid_..#1-2.3#{..}" the
// /dev/bus/usb node of the device on port chain 1-2.3. Empty for virtual devices.
std::string NodeForInterfacePath(const std::string& interfacePath) {
    // Fields between '#': bus, ids, instance, interface class.
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t pos; (pos = interfacePath.find('#', start)) != std::string::npos; start = pos + 1)
        fields.push_back(interfacePath.substr(start, pos - start));
    fields.push_back(interfacePath.substr(start));
    if (fields.size() < 4)
        return "";
    const std::string& instance = fields[2];
    if (StartsWith(instance, "hidraw_"))
        return "/dev/" + instance.substr(7);
    if (fields[0].size() >= 3 && fields[0].compare(fields[0].size() - 3, 3, "usb") == 0 &&
        instance.find_first_not_of("0123456789-.") == std::string::npos) {
        return UsbNodeOf("/sys/bus/usb/devices/" + instance);
    }
    return "";
}

}  // namespace

std::string SerialDevicePath(const std::string& port) {
    std::string name = port;
    if (StartsWith(name, "\\\\.\\"))
        name = name.substr(4);
    if (name.size() < 4 || name.size() > 6 || strncasecmp(name.c_str(), "COM", 3) != 0 || name[3] < '1' ||
        name[3] > '9' || name.find_first_not_of("0123456789", 3) != std::string::npos)
        return port;
    const int nPort = atoi(name.c_str() + 3);
    if (nPort > 256)
        return port;
    const char* pszFolder = getenv("IOCLASSLIB_DOSDEVICES");
    if (pszFolder && *pszFolder)
        return std::string(pszFolder) + "/com" + std::to_string(nPort);
    return "/dev/ttyS" + std::to_string(nPort - 1);
}

std::vector<Device> ListSerialPorts(const std::vector<std::string>& extraPaths) {
    std::map<std::string, std::vector<std::string>> aliases;  // real node -> other names
    std::vector<std::string> nodes;
    auto add = [&](const std::string& path, const std::string& alias) {
        struct stat info;
        if (stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
            return;
        const std::string real = RealPath(path);
        if (std::find(nodes.begin(), nodes.end(), real) == nodes.end())
            nodes.push_back(real);
        if (!alias.empty() && alias != real)
            aliases[real].push_back(alias);
    };

    for (const std::string& name : Folder("/dev")) {
        if (StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM") || StartsWith(name, "ttyAMA") ||
            (StartsWith(name, "ttyS") && HasUart(name)))
            add("/dev/" + name, "");
    }
    for (const std::string& name : Folder("/dev/serial/by-id"))
        add("/dev/serial/by-id/" + name, "/dev/serial/by-id/" + name);
    const char* pszDosDevices = getenv("IOCLASSLIB_DOSDEVICES");
    if (pszDosDevices && *pszDosDevices) {
        for (const std::string& name : Folder(pszDosDevices)) {
            if (strncasecmp(name.c_str(), "com", 3) == 0 && name.size() > 3) {
                std::string com = name;
                std::transform(com.begin(), com.end(), com.begin(), ::toupper);
                add(std::string(pszDosDevices) + "/" + name, com);
            }
        }
    } else {
        for (const std::string& node : std::vector<std::string>(nodes))
            if (StartsWith(node, "/dev/ttyS"))
                aliases[node].push_back("COM" + std::to_string(atoi(node.c_str() + 9) + 1));
    }
    for (const std::string& path : extraPaths)
        add(path, "");

    std::vector<Device> devices;
    for (const std::string& node : nodes) {
        Device d;
        d.kind = "serial";
        d.path = node;
        d.aliases = aliases[node];
        d.access = CheckAccess(node, "serial");
        devices.push_back(d);
    }
    return devices;
}

void AddUnlistedUsbTerminals(std::vector<Device>& devices) {
    const std::string sysfs = "/sys/bus/usb/devices/";
    for (const std::string& name : Folder(sysfs)) {
        if (name.find(':') != std::string::npos)
            continue;  // an interface, not a device
        std::ifstream vendor(sysfs + name + "/idVendor"), product(sysfs + name + "/idProduct");
        unsigned nVendor = 0, nProduct = 0;
        if (!(vendor >> std::hex >> nVendor) || !(product >> std::hex >> nProduct) ||
            !IsTerminalUsbId((WORD)nVendor, (WORD)nProduct))
            continue;
        const std::string szNode = UsbNodeOf(sysfs + name);
        if (szNode.empty())
            continue;
        bool bListed = false;
        for (const Device& d : devices)
            bListed = bListed || (d.kind == "usb" && d.path == szNode);
        if (bListed)
            continue;
        Device d;
        d.kind = "usb";
        d.path = szNode;
        d.aliases.push_back("usb " + name);
        d.nVendorId = (int)nVendor;
        d.nProductId = (int)nProduct;
        d.bTerminal = true;
        d.description = "not in the library's USBIO list";
        d.access = CheckAccess(szNode, "usb");
        if (d.access.bCanOpen) {
            d.access.bCanOpen = false;
            d.access.reason = "the library does not list it although the node is open to this user";
        }
        devices.push_back(d);
    }
}

void RefineOpenFailure(const ConnectionSettings& settings, DWORD dwError, InputFileCheck& check) {
    // Access denied covers both a port in use and one this user may not open: the node
    // itself tells which.
    if (settings.nPortKind != PORT_KIND_SERIAL || check.device.empty() || dwError != ERROR_ACCESS_DENIED)
        return;
    const Access access = CheckAccess(check.device, "serial");
    std::string why = access.bCanOpen ? WhyOpenRefused(check.device) : access.reason;
    if (why.empty())
        why = "access denied";
    check.openFailure = "cannot open " + check.connection + ": " + why + " (error 5)";
    check.fix = access.fix;
}

void PlaceInterface(const std::string& interfacePath, Device& d) {
    const std::string node = NodeForInterfacePath(interfacePath);
    d.path = node.empty() ? interfacePath : node;
    if (!node.empty())
        d.aliases.push_back(interfacePath);
    else
        d.description = "virtual";
}

Access WhyInterfaceNotOpened(const std::string& interfacePath, const std::string& kind, DWORD dwError) {
    Access access;
    const std::string node = NodeForInterfacePath(interfacePath);
    if (!node.empty()) {
        access = CheckAccess(node, kind);
        if (!access.bCanOpen)
            return access;
        access.bCanOpen = false;
    }
    char szReason[96];
    snprintf(szReason, sizeof(szReason),
             dwError == ERROR_ACCESS_DENIED || dwError == ERROR_SHARING_VIOLATION
                 ? "busy: another program has it open (error %lu)"
                 : "the library cannot open it (error %lu)",
             (unsigned long)dwError);
    access.reason = szReason;
    return access;
}

}  // namespace keyprobecheck
